# Windows programs carry a version resource, so that Properties > Details
# names the product, the program and its version.
set(NVX_COPYRIGHT "Copyright (C) 2026 the NvxFix authors")

# nvx_add_version_resource(<executable target> <file description>)
function(nvx_add_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  set(NVX_FILE_DESCRIPTION "${description}")
  set(NVX_FILE_NAME "${target}.exe")
  set(rc "${CMAKE_BINARY_DIR}/version/${target}.rc")
  configure_file("${CMAKE_SOURCE_DIR}/cmake/Version.rc.in" "${rc}" @ONLY)
  target_sources(${target} PRIVATE "${rc}")
endfunction()
