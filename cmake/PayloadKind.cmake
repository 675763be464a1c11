# Whether a file is a Mac program: a Mach-O executable, thin (32 or 64-bit,
# either byte order) or universal. Anything else embedded as the viewer is a
# placeholder, and a build that carries one says so.
#   nvx_payload_is_mac_program(<file> <result variable>)
# Run as a script it prints "mac-program" or "placeholder":
#   cmake -DFILE=<file> -P PayloadKind.cmake
function(nvx_payload_is_mac_program file result)
  set(${result} FALSE PARENT_SCOPE)
  file(SIZE "${file}" size)
  # The smallest header, a thin 32-bit one, has 28 bytes.
  if(size LESS 28)
    return()
  endif()
  file(READ "${file}" head LIMIT 16 HEX)
  string(SUBSTRING "${head}" 0 8 magic)
  string(SUBSTRING "${head}" 8 8 second)
  string(SUBSTRING "${head}" 24 8 filetype)
  if(magic MATCHES "^feedfac[ef]$")
    # Big-endian header: the file type MH_EXECUTE reads 00000002.
    if(filetype STREQUAL "00000002")
      set(${result} TRUE PARENT_SCOPE)
    endif()
  elseif(magic MATCHES "^c[ef]faedfe$")
    if(filetype STREQUAL "02000000")
      set(${result} TRUE PARENT_SCOPE)
    endif()
  elseif(magic MATCHES "^cafebab[ef]$")
    # A universal header counts its architectures; a Java class file, which
    # starts alike, has its version there (45 and up).
    math(EXPR architectures "0x${second}")
    if(architectures GREATER 0 AND architectures LESS 20)
      set(${result} TRUE PARENT_SCOPE)
    endif()
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  nvx_payload_is_mac_program("${FILE}" program)
  if(program)
    message("mac-program")
  else()
    message("placeholder")
  endif()
endif()
