# One static library per source folder: every .cpp in the folder (not below) belongs to it.
# A folder with no sources yet gives a header-only (interface) target of the same name.
#   focus_library(<target> <folder> [DEPS <targets>...])
function(focus_library target folder)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp ${CMAKE_SOURCE_DIR}/${folder}/*.c)
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR})
    target_link_libraries(${target} PUBLIC ${ARG_DEPS} PRIVATE focus_warnings focus_sanitizers)
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${target} INTERFACE ${ARG_DEPS})
  endif()
  target_link_libraries(focus_everything INTERFACE ${target})
endfunction()

# One test executable per test folder: every .cpp in it, the framework's main and the shared test
# environment (tests/support).
# A folder with no tests yet adds nothing. ONLY takes just the named files of the folder, EXCLUDE
# leaves them out (one folder split into two suites). KILL names the tests (a gtest pattern) that
# start a copy of the binary for each of their rounds and kill it: on a loaded machine those
# starts alone take minutes, so they run as an entry of their own, <name>_kill, beside the
# suite's entry, which runs the rest.
#   focus_test(<name> <folder> [ONLY <files>...] [EXCLUDE <files>...] [KILL <pattern>] DEPS <targets>...)
function(focus_test name folder)
  cmake_parse_arguments(ARG "" "KILL" "DEPS;ONLY;EXCLUDE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp)
  if(ARG_ONLY)
    list(TRANSFORM ARG_ONLY PREPEND ${CMAKE_SOURCE_DIR}/${folder}/ OUTPUT_VARIABLE sources)
  endif()
  foreach(file ${ARG_EXCLUDE})
    list(REMOVE_ITEM sources ${CMAKE_SOURCE_DIR}/${folder}/${file})
  endforeach()
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} focus_test_environment GTest::gmock_main focus_warnings focus_sanitizers)
  # A suite's limit only stops a hang: every wait inside a test has a limit of its own, and the
  # largest suites take minutes on a loaded machine.
  set(limit 1800)
  if(ARG_KILL)
    add_test(NAME ${name} COMMAND ${name} --gtest_filter=-${ARG_KILL})
    add_test(NAME ${name}_kill COMMAND ${name} --gtest_filter=${ARG_KILL})
    set_tests_properties(${name}_kill PROPERTIES TIMEOUT ${limit} ENVIRONMENT "FOCUS_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${limit} ENVIRONMENT "FOCUS_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()

# Adds dependencies to a target made by focus_library, whichever kind it turned out to be.
function(focus_link target)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_link_libraries(${target} INTERFACE ${ARGN})
  else()
    target_link_libraries(${target} PUBLIC ${ARGN})
  endif()
endfunction()

# A libFuzzer target for a decoder of outside input, built only when FOCUS_FUZZ is on. Its test
# runs it for a short time from the committed corpus tests/fuzz/corpus/<name> (copied first, so
# the run never writes into the tree).
#   focus_fuzz(<name> <source> DEPS <targets>...)
function(focus_fuzz name source)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  if(NOT FOCUS_FUZZ)
    return()
  endif()
  add_executable(fuzz_${name} ${CMAKE_SOURCE_DIR}/${source})
  if(NOT TARGET fuzz_all)
    add_custom_target(fuzz_all)
  endif()
  add_dependencies(fuzz_all fuzz_${name})
  target_link_libraries(fuzz_${name} PRIVATE ${ARG_DEPS} focus_warnings focus_sanitizers)
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  add_test(NAME fuzz_${name}
    COMMAND ${CMAKE_SOURCE_DIR}/tests/fuzz/run_fuzzer $<TARGET_FILE:fuzz_${name}>
            ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${name} ${FOCUS_FUZZ_SECONDS})
  set_tests_properties(fuzz_${name} PROPERTIES TIMEOUT 600)
endfunction()
