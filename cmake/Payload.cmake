# The viewer payload: a file embedded in every program as the raw-data
# resource ZUVORUDAD. Windows gets a real RCDATA resource through windres;
# POSIX gets a generated table that the resource lookup reads. Beside it the
# build writes what it found out about the file (Mac program or placeholder,
# size, SHA-256), for the programs to show. Programs link ${NVX_PAYLOAD_OBJECT}.
include(${CMAKE_CURRENT_LIST_DIR}/PayloadKind.cmake)

set(NVXFIX_PAYLOAD "${CMAKE_SOURCE_DIR}/app/payload/ZuvOrudad5"
    CACHE FILEPATH "File embedded as the viewer payload resource ZUVORUDAD")

if(WIN32)
  enable_language(RC)
endif()

# nvx_add_payload(<object library> <file>): the library embeds file as the
# payload and defines PayloadFacts() (app/core/PayloadFacts.h). Sets
# <object library>_IS_PLACEHOLDER in the caller's scope.
function(nvx_add_payload target payload)
  set(dir "${CMAKE_BINARY_DIR}/payload/${target}")
  nvx_payload_kind("${payload}" kind architectures)
  if(kind STREQUAL "mac-program")
    set(placeholder false)
  else()
    set(placeholder true)
  endif()
  file(SIZE "${payload}" size)
  file(SHA256 "${payload}" sha256)
  # The facts are found at configure time; a new file is looked at again.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${payload}")
  file(CONFIGURE OUTPUT "${dir}/PayloadFacts.cpp" CONTENT "// Generated from ${payload}; do not edit.
#include \"PayloadFacts.h\"

const TPayloadFacts& PayloadFacts() {
    static const TPayloadFacts facts{${placeholder}, ${size}u, \"${sha256}\"};
    return facts;
}
")
  if(WIN32)
    # windres reads the file named in the script; quotes must not end the string early.
    string(REPLACE "\\" "/" rc_path "${payload}")
    string(REPLACE "\"" "\"\"" rc_path "${rc_path}")
    file(CONFIGURE OUTPUT "${dir}/Payload.rc" CONTENT "ZUVORUDAD RCDATA \"${rc_path}\"\n")
    set_source_files_properties("${dir}/Payload.rc" PROPERTIES OBJECT_DEPENDS "${payload}")
    add_library(${target} OBJECT "${dir}/Payload.rc" "${dir}/PayloadFacts.cpp")
  else()
    add_custom_command(
      OUTPUT "${dir}/Payload.cpp"
      COMMAND ${CMAKE_COMMAND} "-DINPUT=${payload}" "-DOUTPUT=${dir}/Payload.cpp"
              -DNAME=ZUVORUDAD -DTYPE=10 -P "${CMAKE_SOURCE_DIR}/cmake/EmbedResource.cmake"
      DEPENDS "${payload}" "${CMAKE_SOURCE_DIR}/cmake/EmbedResource.cmake"
      COMMENT "Embedding the viewer payload ${payload}"
      VERBATIM)
    add_library(${target} OBJECT "${dir}/Payload.cpp" "${dir}/PayloadFacts.cpp")
  endif()
  target_include_directories(${target} PRIVATE "${CMAKE_SOURCE_DIR}/lib" "${CMAKE_SOURCE_DIR}/app/core")
  target_link_libraries(${target} PRIVATE nvx_options)
  set(${target}_IS_PLACEHOLDER ${placeholder} PARENT_SCOPE)
  set(${target}_KIND ${kind} PARENT_SCOPE)
  string(REPLACE ";" ", " architectures "${architectures}")
  set(${target}_ARCHITECTURES "${architectures}" PARENT_SCOPE)
endfunction()

get_filename_component(NVX_PAYLOAD_FILE "${NVXFIX_PAYLOAD}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
if(NOT EXISTS "${NVX_PAYLOAD_FILE}" OR IS_DIRECTORY "${NVX_PAYLOAD_FILE}")
  message(FATAL_ERROR "NVXFIX_PAYLOAD names no file: ${NVXFIX_PAYLOAD}")
endif()
nvx_add_payload(nvx_payload "${NVX_PAYLOAD_FILE}")
if(nvx_payload_KIND STREQUAL "mac-program")
  message(STATUS "Viewer payload: ${NVX_PAYLOAD_FILE} (a Mac program: ${nvx_payload_ARCHITECTURES})")
elseif(nvx_payload_KIND STREQUAL "not-current")
  message(WARNING "Viewer payload: ${NVX_PAYLOAD_FILE} is not a program current Macs run "
                  "(${nvx_payload_ARCHITECTURES}): the build marks itself a test build")
else()
  message(STATUS "Viewer payload: ${NVX_PAYLOAD_FILE} (a placeholder, not a Mac program: a test build)")
endif()
set(NVX_PAYLOAD_OBJECT nvx_payload)
