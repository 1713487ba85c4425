# What `cmake --install` adds beside the libraries and headers: a CMake
# package (find_package(qzws) gives qzws::qzws and qz::qz) and pkg-config files.
include(CMakePackageConfigHelpers)

set(QZWS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qzws)
install(EXPORT qzTargets NAMESPACE qz:: DESTINATION ${QZWS_CMAKE_DIR})
install(EXPORT qzwsTargets NAMESPACE qzws:: DESTINATION ${QZWS_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/qzwsConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/qzwsConfig.cmake INSTALL_DESTINATION ${QZWS_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/qzwsConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qzwsConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/qzwsConfigVersion.cmake
  DESTINATION ${QZWS_CMAKE_DIR})

# The files find the prefix from where they lie, so that an installed tree
# can move; the way up depends on the library folder (lib, or lib/<triplet>
# on Debian's multiarch layout).
file(RELATIVE_PATH QZWS_PC_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" QZWS_PC_PREFIX "${QZWS_PC_PREFIX}")
foreach(pc qz qzws)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
