# The packages of one build folder, made by cpack in it (tools/release.sh
# makes them all): a .deb and a .tar.gz on Linux, a .zip on Windows, a .zip
# of the web page. A build that carries no Mac program as its viewer says
# so in every package's name and in the read-me (docs/).
set(NVX_RELEASE_NAME "nvxfix-${PROJECT_VERSION}")
set(NVX_DEBIAN_VERSION "${PROJECT_VERSION}")
if(nvx_payload_IS_PLACEHOLDER)
  string(APPEND NVX_RELEASE_NAME "-placeholder")
  # Sorts before the real release of the same version.
  string(APPEND NVX_DEBIAN_VERSION "~placeholder")
endif()
set(NVXFIX_MAINTAINER "NvxFix authors <nvxfix@example.org>" CACHE STRING "Maintainer named in the Debian package")

set(CPACK_PACKAGE_NAME nvxfix)
set(CPACK_PACKAGE_VENDOR "the NvxFix authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "repairs Mac slideshows whose viewer fails to start")
# Debian shows the description on 80 columns as it stands.
set(CPACK_PACKAGE_DESCRIPTION "NvxFix repairs presentations exported for the Mac by versions 8.0.x of
the Norvex slideshow product, whose viewer fails to start on macOS
10.12.2 and later. It checks that a bundle folder or a ZIP archive holds
a presentation, backs it up beside itself and writes a newer viewer
program over the old one.
This package holds the console program nvxfix-cli and the archive tool
nvxzip.")
# The archives' times come from SOURCE_DATE_EPOCH; the modes of their
# folders would come from the umask of whoever builds.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "${NVX_RELEASE_NAME}-windows-x64")
elseif(EMSCRIPTEN)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "${NVX_RELEASE_NAME}-web")
else()
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_PACKAGE_FILE_NAME "${NVX_RELEASE_NAME}-linux-${CMAKE_SYSTEM_PROCESSOR}")
  set(CPACK_DEBIAN_FILE_NAME "${CPACK_PACKAGE_FILE_NAME}.deb")
  set(CPACK_DEBIAN_PACKAGE_VERSION "${NVX_DEBIAN_VERSION}")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${NVXFIX_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # dpkg-shlibdeps names the libraries the programs link, at the versions
  # this system has.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)
