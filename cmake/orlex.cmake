# Shared build settings: warnings, sanitizers and the test registration helper.

add_library(orlex_warnings INTERFACE)
target_compile_options(orlex_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Werror=switch
                                                $<$<BOOL:${ORLEX_WERROR}>:-Werror>)

option(ORLEX_TSAN "Build with ThreadSanitizer (instead of ORLEX_SANITIZE)" OFF)
if(ORLEX_SANITIZE AND ORLEX_TSAN)
  message(FATAL_ERROR "ORLEX_SANITIZE and ORLEX_TSAN exclude each other")
endif()
if(ORLEX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(ORLEX_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# orlex_add_test(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>])
# Builds one GoogleTest program and registers each of its tests with CTest. The label "threads" marks
# the programs whose threads the ThreadSanitizer run (scripts/test --tsan) exercises.
function(orlex_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} orlex_warnings GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                       PROPERTIES ENVIRONMENT "ORLEX_BUILD_DIR=${CMAKE_BINARY_DIR}" LABELS "${ARG_LABELS}")
endfunction()

include(GoogleTest)
