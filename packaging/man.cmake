# The manual pages of the two programs, with the version of this build.
foreach(page qzws qzws-jobserver)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/man/${page}.1 ${PROJECT_BINARY_DIR}/man/${page}.1 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/man/${page}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
