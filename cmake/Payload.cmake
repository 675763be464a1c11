# The viewer payload: a file embedded in every program as the raw-data
# resource ZUVORUDAD. Windows gets a real RCDATA resource through windres;
# POSIX gets a generated table that the resource lookup reads.
# Programs link ${NVX_PAYLOAD_OBJECT}.
set(NVXFIX_PAYLOAD "${CMAKE_SOURCE_DIR}/app/payload/ZuvOrudad5"
    CACHE FILEPATH "File embedded as the viewer payload resource ZUVORUDAD")
get_filename_component(NVX_PAYLOAD_FILE "${NVXFIX_PAYLOAD}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
if(NOT EXISTS "${NVX_PAYLOAD_FILE}" OR IS_DIRECTORY "${NVX_PAYLOAD_FILE}")
  message(FATAL_ERROR "NVXFIX_PAYLOAD names no file: ${NVXFIX_PAYLOAD}")
endif()
message(STATUS "Viewer payload: ${NVX_PAYLOAD_FILE}")

set(NVX_PAYLOAD_DIR "${CMAKE_BINARY_DIR}/payload")
if(WIN32)
  enable_language(RC)
  # windres reads the file named in the script; quotes must not end the string early.
  string(REPLACE "\\" "/" _nvx_payload_rc_path "${NVX_PAYLOAD_FILE}")
  string(REPLACE "\"" "\"\"" _nvx_payload_rc_path "${_nvx_payload_rc_path}")
  file(CONFIGURE OUTPUT "${NVX_PAYLOAD_DIR}/Payload.rc"
       CONTENT "ZUVORUDAD RCDATA \"${_nvx_payload_rc_path}\"\n")
  set_source_files_properties("${NVX_PAYLOAD_DIR}/Payload.rc" PROPERTIES OBJECT_DEPENDS "${NVX_PAYLOAD_FILE}")
  add_library(nvx_payload OBJECT "${NVX_PAYLOAD_DIR}/Payload.rc")
else()
  add_custom_command(
    OUTPUT "${NVX_PAYLOAD_DIR}/Payload.cpp"
    COMMAND ${CMAKE_COMMAND} "-DINPUT=${NVX_PAYLOAD_FILE}" "-DOUTPUT=${NVX_PAYLOAD_DIR}/Payload.cpp"
            -DNAME=ZUVORUDAD -DTYPE=10 -P "${CMAKE_SOURCE_DIR}/cmake/EmbedResource.cmake"
    DEPENDS "${NVX_PAYLOAD_FILE}" "${CMAKE_SOURCE_DIR}/cmake/EmbedResource.cmake"
    COMMENT "Embedding the viewer payload"
    VERBATIM)
  add_library(nvx_payload OBJECT "${NVX_PAYLOAD_DIR}/Payload.cpp")
  target_include_directories(nvx_payload PRIVATE "${CMAKE_SOURCE_DIR}/lib")
  target_link_libraries(nvx_payload PRIVATE nvx_options)
endif()
set(NVX_PAYLOAD_OBJECT nvx_payload)
