# Installation: the shared library, the business library layer whose types
# appear in the public API, the public headers, a CMake package
# (find_package(OrvaProxy CONFIG)) and a pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS OrvaProxy tavbiz
  EXPORT OrvaProxyTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

foreach(header ${OV_PROXY_PUBLIC_HEADERS})
  file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${header})
  get_filename_component(dir ${rel} DIRECTORY)
  install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${dir})
endforeach()

install(EXPORT OrvaProxyTargets
  NAMESPACE OrvaProxy::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/OrvaProxy)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/OrvaProxyConfig.cmake.in
  ${PROJECT_BINARY_DIR}/OrvaProxyConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/OrvaProxy)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/OrvaProxyConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/OrvaProxyConfig.cmake
              ${PROJECT_BINARY_DIR}/OrvaProxyConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/OrvaProxy)

configure_file(${PROJECT_SOURCE_DIR}/cmake/orvaproxy.pc.in ${PROJECT_BINARY_DIR}/orvaproxy.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/orvaproxy.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
