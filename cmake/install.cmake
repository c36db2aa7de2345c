# Install rules: the library, its public headers, a CMake package (find_package(kestovar)) and a
# pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS kestovar EXPORT kestovarTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/kestovar DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT kestovarTargets NAMESPACE kestovar:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kestovar)

configure_package_config_file(cmake/kestovarConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kestovarConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kestovar)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kestovarConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kestovarConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/kestovarConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kestovar)

# The pkg-config file finds the prefix from its own place (pcfiledir), so that an installation
# made with `cmake --install --prefix DIR`, or moved afterwards, names its own folders.
file(RELATIVE_PATH KESTOVAR_PC_UP "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" KESTOVAR_PC_UP "${KESTOVAR_PC_UP}")
set(KESTOVAR_PC_PREFIX "\${pcfiledir}/${KESTOVAR_PC_UP}")
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(KESTOVAR_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(KESTOVAR_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(cmake/kestovar.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kestovar.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kestovar.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
