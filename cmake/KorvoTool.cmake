# Companion commands: one folder of commands in the build tree (bin/) and in
# the installation, and their tests in the project's test setup.
#
#   korvo_tool(korvo-x SOURCES main.cpp LIBS korvo_x_core)
#   korvo_tool_script(korvo-y)                 # an executable script of this folder
#   korvo_tool_test(korvo_x_test LIBS korvo_x_core TOOLS korvo-x SCRIPTS korvo-y)
#
# A test sees KORVO_SOURCE_DIR, and for each tool or script KORVO_<NAME>_BINARY
# or KORVO_<NAME>_SCRIPT with NAME upper-cased without "korvo-" (korvo-spectra:
# KORVO_SPECTRA_BINARY).

function(korvo_tool name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "" "SOURCES;LIBS")
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_compile_definitions(${name} PRIVATE KORVO_VERSION="${PROJECT_VERSION}")
  target_compile_options(${name} PRIVATE ${KORVO_TOOL_WARNINGS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
  install(TARGETS ${name} RUNTIME DESTINATION bin)
endfunction()

function(korvo_tool_script name)
  # Copied again whenever the script changes (configure_file tracks its input).
  # @KORVO_VERSION@ in the script becomes the project's version.
  set(KORVO_VERSION ${PROJECT_VERSION})
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/${name} ${PROJECT_BINARY_DIR}/bin/${name} @ONLY)
  install(PROGRAMS ${PROJECT_BINARY_DIR}/bin/${name} DESTINATION bin)
endfunction()

function(korvo_tool_define_name tool suffix out)
  string(REGEX REPLACE "^korvo-" "" short ${tool})
  string(TOUPPER "KORVO_${short}_${suffix}" upper)
  string(REPLACE "-" "_" upper ${upper})
  set(${out} ${upper} PARENT_SCOPE)
endfunction()

function(korvo_tool_test name)
  if(NOT KORVO_TESTS)
    return()
  endif()
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "" "LIBS;TOOLS;SCRIPTS")
  add_executable(${name} ${PROJECT_SOURCE_DIR}/tests/tools/${name}.cpp)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  target_compile_options(${name} PRIVATE ${KORVO_TOOL_WARNINGS})
  target_compile_definitions(${name} PRIVATE KORVO_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  foreach(tool ${ARG_TOOLS})
    korvo_tool_define_name(${tool} BINARY define)
    target_compile_definitions(${name} PRIVATE ${define}="$<TARGET_FILE:${tool}>")
    add_dependencies(${name} ${tool})
  endforeach()
  foreach(script ${ARG_SCRIPTS})
    korvo_tool_define_name(${script} SCRIPT define)
    target_compile_definitions(${name} PRIVATE ${define}="${PROJECT_BINARY_DIR}/bin/${script}")
  endforeach()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
endfunction()
