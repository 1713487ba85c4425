# The Debian package: `cpack -G DEB` in the build folder gives
# qzws_VERSION_ARCH.deb with the libraries, headers, CMake and pkg-config
# files, both programs, their manual pages and the Python package, all below
# /usr.
foreach(page qzws qzws-jobserver)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/man/${page}.1 ${PROJECT_BINARY_DIR}/man/${page}.1 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/man/${page}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qzws)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "send local files to a job server as one job")
set(CPACK_PACKAGE_DESCRIPTION
    "libqzws, its transfer engine libqz, the command line qzws, the reference job server qzws-jobserver and the Python package qzws.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "libqzws developers")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# The programs and the Python package find their shared libraries through
# dpkg-shlibdeps; building against the headers needs the development packages.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcurlpp-dev, libcurl4-openssl-dev, libssl-dev, libxml2-dev, libboost-dev, pkg-config")
# The compiled Python module fits one minor version of the interpreter.
if(TARGET qzws_python)
  math(EXPR next_minor "${Python3_VERSION_MINOR} + 1")
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}), "
         "python3 (<< ${Python3_VERSION_MAJOR}.${next_minor})")
endif()
include(CPack)
