# A release rebuilt from the same commit, in another folder and at another
# time, gives the same bytes. Compilers write the source and build folders
# into __FILE__ and debug data, and the PE linker stamps the time of the
# link; archive times come from SOURCE_DATE_EPOCH (cmake/Packaging.cmake).
if(NOT NVXFIX_REPRODUCIBLE)
  return()
endif()
# The build folder is often inside the source folder: it is named last, so
# that its own mapping wins.
add_compile_options("-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=" "-ffile-prefix-map=${CMAKE_BINARY_DIR}/=")
if(WIN32)
  add_link_options(-Wl,--no-insert-timestamp)
endif()
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  message(WARNING "SOURCE_DATE_EPOCH is not set: package times are those of the build (tools/release.sh sets it)")
endif()
