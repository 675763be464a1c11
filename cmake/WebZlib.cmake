# zlib for the emscripten build, compiled from Debian's source package
# (tools/build-web.sh unpacks it): emscripten's own port would be downloaded,
# and the package's CMake file does not work on Debian's tarball.
set(NVXFIX_ZLIB_SOURCE "${CMAKE_SOURCE_DIR}/build/web-deps/zlib" CACHE PATH "Unpacked zlib source for the web build")
if(NOT EXISTS "${NVXFIX_ZLIB_SOURCE}/zlib.h")
  message(FATAL_ERROR "No zlib source in ${NVXFIX_ZLIB_SOURCE}; tools/build-web.sh unpacks Debian's")
endif()
set(_nvx_zlib_units adler32 compress crc32 deflate infback inffast inflate inftrees trees uncompr zutil)
list(TRANSFORM _nvx_zlib_units PREPEND "${NVXFIX_ZLIB_SOURCE}/")
list(TRANSFORM _nvx_zlib_units APPEND .c)
add_library(nvx_zlib STATIC ${_nvx_zlib_units})
target_include_directories(nvx_zlib SYSTEM PUBLIC "${NVXFIX_ZLIB_SOURCE}")
target_compile_definitions(nvx_zlib PRIVATE HAVE_UNISTD_H HAVE_STDARG_H)
