# vesk_add_handler_module(<target> NAME <dotted.name> SOURCES <source>...
#                         [LIBS <library>...] [OUTPUT_DIRECTORY <dir>] [INSTALL])
#
# Builds a handler module: a shared library that worker processes load by its dotted name. The
# module "a.b" is written as the file "a.b.so" into OUTPUT_DIRECTORY (default:
# ${CMAKE_BINARY_DIR}/handlers); its sources see the name as VESK_HANDLER_MODULE_NAME, which
# VESK_REGISTER_HANDLER uses. Workers look for "a.b.so" in the directories of VESK_HANDLER_PATH
# (colon-separated), then in the package's handler directory (<libdir>/vesk/handlers), where
# INSTALL puts the module.
#
# Works inside the Vesk build and, after installation, in host projects that find_package(vesk).

# Set when this file is read from an installed package: <prefix>/<libdir>/cmake/vesk.
set_property(GLOBAL PROPERTY VESK_HANDLER_MODULE_CMAKE_DIR "${CMAKE_CURRENT_LIST_DIR}")

function(vesk_add_handler_module target)
  cmake_parse_arguments(ARG "INSTALL" "NAME;OUTPUT_DIRECTORY" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_NAME)
    message(FATAL_ERROR "vesk_add_handler_module(${target}): NAME <dotted.name> is required")
  endif()
  if(NOT ARG_NAME MATCHES "^[A-Za-z_][A-Za-z0-9_]*(\\.[A-Za-z_][A-Za-z0-9_]*)*$")
    message(FATAL_ERROR "vesk_add_handler_module(${target}): NAME '${ARG_NAME}' must be dotted identifiers, e.g. app.handlers")
  endif()
  if(NOT ARG_SOURCES)
    message(FATAL_ERROR "vesk_add_handler_module(${target}): SOURCES are required")
  endif()
  if(NOT ARG_OUTPUT_DIRECTORY)
    set(ARG_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/handlers)
  endif()

  add_library(${target} MODULE ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE vesk::stream_handler ${ARG_LIBS})
  target_compile_features(${target} PRIVATE cxx_std_20)
  target_compile_definitions(${target} PRIVATE VESK_HANDLER_MODULE_NAME="${ARG_NAME}")
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    SUFFIX ".so"
    OUTPUT_NAME ${ARG_NAME}
    LIBRARY_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIRECTORY}
    VESK_HANDLER_MODULE_NAME ${ARG_NAME})
  # Inside the Vesk build our own warning rules apply; host projects keep theirs.
  if(COMMAND vesk_target_defaults AND TARGET vesk_stream_handler)
    vesk_target_defaults(${target})
  endif()

  if(ARG_INSTALL)
    if(TARGET vesk_stream_handler)
      set(destination ${CMAKE_INSTALL_LIBDIR}/vesk/handlers)
    else()
      # Installed package: the handler directory sits two levels above this file's directory.
      get_property(cmake_dir GLOBAL PROPERTY VESK_HANDLER_MODULE_CMAKE_DIR)
      get_filename_component(destination "${cmake_dir}/../../vesk/handlers" ABSOLUTE)
    endif()
    install(TARGETS ${target} LIBRARY DESTINATION ${destination})
  endif()
endfunction()
