# Helpers shared by every target of the project: language level, warnings (errors when VESK_WERROR
# is on), sanitizers.

function(vesk_target_defaults target)
  target_compile_features(${target} PUBLIC cxx_std_20)
  set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic $<$<BOOL:${VESK_WERROR}>:-Werror>)
  if(VESK_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                                             -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()

# Installs the module's public headers: those a host application or a handler includes. Private
# ones live in the module's detail/ folder and stay behind.
function(vesk_install_headers module)
  # A Python wheel carries what runs, not what builds against Vesk.
  if(SKBUILD)
    return()
  endif()
  install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vesk/${module}
          FILES_MATCHING PATTERN "*.hpp" PATTERN "detail" EXCLUDE)
endfunction()

# vesk_library(<module> SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
# Builds lib/<module> as the shared library vesk_<module> (or <module> when the name already
# starts with "vesk"), with the alias vesk::<module>.
function(vesk_library module)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  if(module MATCHES "^vesk")
    set(target ${module})
  else()
    set(target vesk_${module})
  endif()
  add_library(${target} SHARED ${ARG_SOURCES})
  add_library(vesk::${module} ALIAS ${target})
  vesk_target_defaults(${target})
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/lib>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/vesk>)
  target_link_libraries(${target} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${module} OUTPUT_NAME ${target})
  # 0.x releases may break the ABI with each minor version, as the package's version file says.
  # A wheel holds no symbolic links (each would be a second copy), and its libraries serve only
  # the programs installed with them: there they keep their plain names.
  if(NOT SKBUILD)
    set_target_properties(${target} PROPERTIES
                          VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
  endif()
  set_property(GLOBAL APPEND PROPERTY VESK_INSTALLED_TARGETS ${target})
  vesk_install_headers(${module})
endfunction()

# vesk_header_library(<module> [LIBS ...]): lib/<module> as the header-only library vesk_<module>,
# with the alias vesk::<module>.
function(vesk_header_library module)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  set(target vesk_${module})
  add_library(${target} INTERFACE)
  add_library(vesk::${module} ALIAS ${target})
  target_compile_features(${target} INTERFACE cxx_std_20)
  target_include_directories(${target} INTERFACE
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/lib>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/vesk>)
  target_link_libraries(${target} INTERFACE ${ARG_LIBS})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${module})
  set_property(GLOBAL APPEND PROPERTY VESK_INSTALLED_TARGETS ${target})
  vesk_install_headers(${module})
endfunction()

# vesk_program(<name> SOURCES ... [LIBS ...]): a program installed with the package.
function(vesk_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  vesk_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  set_property(GLOBAL APPEND PROPERTY VESK_INSTALLED_PROGRAMS ${name})
endfunction()
