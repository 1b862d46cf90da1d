# The few functions every CMakeLists.txt of Gallion uses to name its targets. Source lists are
# explicit: adding a file is one line in the list of its folder (no globbing, so a new file is
# never missed or picked up by accident, and CMake knows when to reconfigure).

include(GoogleTest)

# gallion_library(NAME SOURCES file... [LINK target...] [QT])
# One static library of the current folder's files; everything under src/ is on its include path.
# QT runs moc over the sources (and the headers of the same name beside them).
function(gallion_library name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "QT" "" "SOURCES;LINK")
  add_library(${name} STATIC ${arg_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${arg_LINK})
  if(arg_QT)
    set_target_properties(${name} PROPERTIES AUTOMOC ON)
    if(GALLION_PCH)
      target_precompile_headers(${name} PRIVATE ${GALLION_QT_PCH})
    endif()
  endif()
endfunction()

# gallion_gtest_program(FOLDER [PROCESSORS n] SOURCES file... LINK target...)
# One GoogleTest program, FOLDER_tests, for the test files of tests/FOLDER (names relative to that
# folder). Each test case becomes a CTest test of the same name, labelled FOLDER, listed when
# ctest runs (so building never waits for a test program to start). PROCESSORS: how many of
# ctest's jobs each of these tests counts for (1 unless given), for tests that keep cores busy.
function(gallion_gtest_program folder)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "PROCESSORS" "SOURCES;LINK")
  if(NOT arg_PROCESSORS)
    set(arg_PROCESSORS 1)
  endif()
  set(target ${folder}_tests)
  list(TRANSFORM arg_SOURCES PREPEND ${folder}/)
  add_executable(${target} ${arg_SOURCES})
  target_link_libraries(${target} PRIVATE ${arg_LINK} gallion_test_support GTest::gtest_main)
  gallion_test_options(${target})
  if(GALLION_PCH)
    target_precompile_headers(${target} REUSE_FROM gallion_test_support)
  endif()
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 120 LABELS ${folder} PROCESSORS ${arg_PROCESSORS})
endfunction()

# gallion_test_options(TARGET): the test code's own compile options (GALLION_TEST_FLAGS). The
# libraries under test keep the build type's options; the tests' own code, mostly GoogleTest and
# Qt Test macros, builds in far less time at -O1 with line tables only.
function(gallion_test_options target)
  separate_arguments(flags UNIX_COMMAND "${GALLION_TEST_FLAGS}")
  target_compile_options(${target} PRIVATE ${flags})
endfunction()
