# Installs the libraries, programs, headers and a CMake package for find_package(vesk).
include(CMakePackageConfigHelpers)

get_property(vesk_targets GLOBAL PROPERTY VESK_INSTALLED_TARGETS)
get_property(vesk_programs GLOBAL PROPERTY VESK_INSTALLED_PROGRAMS)

# A pip install: the libraries, programs and handler modules go to the environment's prefix, the
# Python packages to its site-packages; no headers and no CMake package.
if(SKBUILD)
  install(TARGETS ${vesk_targets} ${vesk_programs}
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # pip uninstall removes a directory whole only when it lists a file directly in it: this note
  # makes lib/vesk such a directory, so that uninstalling leaves no empty folder behind.
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/vesk-directory-note.txt
       CONTENT "Handler modules of Vesk ${PROJECT_VERSION}, installed by pip: pip uninstall vesk removes them.\n")
  install(FILES ${PROJECT_BINARY_DIR}/vesk-directory-note.txt DESTINATION ${CMAKE_INSTALL_LIBDIR}/vesk RENAME README)
  return()
endif()

install(TARGETS ${vesk_targets} EXPORT veskTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(vesk_programs)
  install(TARGETS ${vesk_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(EXPORT veskTargets NAMESPACE vesk:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vesk)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/veskConfig.cmake.in
  ${PROJECT_BINARY_DIR}/veskConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vesk)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/veskConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/veskConfig.cmake ${PROJECT_BINARY_DIR}/veskConfigVersion.cmake
              ${PROJECT_SOURCE_DIR}/cmake/VeskHandlerModule.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vesk)
