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

# vesk_headers(<target> <module> <PUBLIC|INTERFACE|PRIVATE>)
# Makes lib/<module> includable as <vesk/...> and nothing else; PRIVATE for a program's own
# headers, which are not installed. The build tree gets a folder of
# symbolic links, made at configure time, so that new headers need no step of their own: the
# engine's folder is linked as include/engine/vesk, every other module's as
# include/modules/vesk/<module>. Only targets that link the engine see its headers. Installed,
# the headers go to <includedir>/vesk/... and the targets export <includedir>.
function(vesk_headers target module scope)
  if(module STREQUAL "vesk")
    set(dir ${PROJECT_BINARY_DIR}/include/engine)
    set(prefix vesk)
  else()
    set(dir ${PROJECT_BINARY_DIR}/include/modules)
    set(prefix vesk/${module})
  endif()
  get_filename_component(parent ${dir}/${prefix} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${dir}/${prefix} SYMBOLIC)
  target_include_directories(${target} ${scope}
    $<BUILD_INTERFACE:${dir}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  # Installs the public headers: those a host application or a handler includes. Private ones
  # live in the module's detail/ folder and stay behind. A Python wheel carries what runs, not
  # what builds against Vesk.
  if(NOT SKBUILD AND NOT scope STREQUAL "PRIVATE")
    install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${prefix}
            FILES_MATCHING PATTERN "*.hpp" PATTERN "detail" EXCLUDE)
  endif()
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
  vesk_headers(${target} ${module} PUBLIC)
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
endfunction()

# vesk_header_library(<module> [LIBS ...]): lib/<module> as the header-only library vesk_<module>,
# with the alias vesk::<module>.
function(vesk_header_library module)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  set(target vesk_${module})
  add_library(${target} INTERFACE)
  add_library(vesk::${module} ALIAS ${target})
  target_compile_features(${target} INTERFACE cxx_std_20)
  vesk_headers(${target} ${module} INTERFACE)
  target_link_libraries(${target} INTERFACE ${ARG_LIBS})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${module})
  set_property(GLOBAL APPEND PROPERTY VESK_INSTALLED_TARGETS ${target})
endfunction()

# vesk_program(<name> SOURCES ... [LIBS ...]): a program installed with the package.
function(vesk_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  vesk_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  set_property(GLOBAL APPEND PROPERTY VESK_INSTALLED_PROGRAMS ${name})
endfunction()
