# Helpers that give every target of the project the same warnings and test wiring.

function(brisvale_warnings target)
  target_compile_options(${target} PRIVATE ${BRISVALE_WARNINGS})
endfunction()

# brisvale_library(name SOURCES ... [PUBLIC_INCLUDE dir] [LIBS ...])
function(brisvale_library name)
  cmake_parse_arguments(A "" "" "SOURCES;PUBLIC_INCLUDE;LIBS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${A_PUBLIC_INCLUDE})
  target_link_libraries(${name} PUBLIC ${A_LIBS})
  brisvale_warnings(${name})
endfunction()

# brisvale_test(name SOURCES ... [LIBS ...] [ENV var=value ...])
# One GoogleTest executable, run by ctest as one test (natively, or under
# Wine through CMAKE_CROSSCOMPILING_EMULATOR on the Windows target).
function(brisvale_test name)
  cmake_parse_arguments(A "" "TIMEOUT" "SOURCES;LIBS;ENV" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gmock GTest::gtest_main)
  brisvale_warnings(${name})
  add_test(NAME ${name} COMMAND ${name})
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${A_TIMEOUT})
  if(A_ENV)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${A_ENV}")
  endif()
endfunction()
