# What consumers of the installed library use: tslauth.pc for pkg-config and the CMake
# package tslauth (imported target tslauth::tslauth).
include(CMakePackageConfigHelpers)

# The .pc file finds its prefix from its own location, so that the tree stays usable when
# installed with `cmake --install --prefix` or DESTDIR into a staging directory.
set(TSLAUTH_PC_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${TSLAUTH_PC_INSTALL_DIR}")
  set(TSLAUTH_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH TSLAUTH_PC_PREFIX_FROM_PC "/prefix/${TSLAUTH_PC_INSTALL_DIR}" "/prefix")
  string(REGEX REPLACE "/$" "" TSLAUTH_PC_PREFIX_FROM_PC "${TSLAUTH_PC_PREFIX_FROM_PC}")
  set(TSLAUTH_PC_PREFIX "\${pcfiledir}/${TSLAUTH_PC_PREFIX_FROM_PC}")
endif()
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(TSLAUTH_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(TSLAUTH_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/tslauth.pc.in ${PROJECT_BINARY_DIR}/tslauth.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tslauth.pc DESTINATION ${TSLAUTH_PC_INSTALL_DIR})

set(TSLAUTH_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tslauth)
install(EXPORT tslauthTargets NAMESPACE tslauth:: DESTINATION ${TSLAUTH_CMAKE_INSTALL_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tslauthConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/tslauthConfig.cmake
                              INSTALL_DESTINATION ${TSLAUTH_CMAKE_INSTALL_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tslauthConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tslauthConfig.cmake
              ${PROJECT_BINARY_DIR}/tslauthConfigVersion.cmake
        DESTINATION ${TSLAUTH_CMAKE_INSTALL_DIR})
