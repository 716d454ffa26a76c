# Warnings are errors on every target of the project.
function(qw_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Werror)
endfunction()

# qw_layer(NAME [DEPS targets...] [EXCLUDE files...])
# One static library per layer folder, made of every .cpp/.c in it.
function(qw_layer name)
  cmake_parse_arguments(L "" "" "DEPS;EXCLUDE" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS
       ${PROJECT_SOURCE_DIR}/${name}/*.cpp ${PROJECT_SOURCE_DIR}/${name}/*.c)
  foreach(ex IN LISTS L_EXCLUDE)
    list(FILTER srcs EXCLUDE REGEX "/${name}/${ex}$")
  endforeach()
  if(NOT srcs)
    set(stub ${CMAKE_BINARY_DIR}/stub_${name}.cpp)
    file(WRITE ${stub} "// This layer has no sources yet.\nnamespace { [[maybe_unused]] int qw_stub_${name}; }\n")
    set(srcs ${stub})
  endif()
  add_library(qw_${name} STATIC ${srcs})
  target_include_directories(qw_${name} PUBLIC ${PROJECT_SOURCE_DIR}/${name})
  target_link_libraries(qw_${name} PUBLIC ${L_DEPS})
  qw_warnings(qw_${name})
endfunction()

# qw_test(NAME KIND LAYER SOURCES files... [LIBS targets...] [TIMEOUT s] [ENV vars...]
#         [RUN_SERIAL] [NO_DISCOVER] [COMMAND wrapper...] [LABELS extra...])
# KIND is unit, integration, e2e or fuzz; both KIND and LAYER become CTest labels. The
# extra label "threads" marks tests that CI also runs under the thread sanitizer.
# Every GoogleTest case becomes one CTest test, discovered when the tests run.
function(qw_test name kind layer)
  cmake_parse_arguments(T "RUN_SERIAL;NO_DISCOVER" "TIMEOUT" "SOURCES;LIBS;ENV;COMMAND;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  target_compile_definitions(${name} PRIVATE
      QW_SOURCE_DIR="${PROJECT_SOURCE_DIR}" QW_BINARY_DIR="${CMAKE_BINARY_DIR}")
  qw_warnings(${name})
  set(labels ${kind} ${layer} ${T_LABELS})
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_ENV)
    list(APPEND props ENVIRONMENT "${T_ENV}")
  endif()
  if(T_RUN_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  if(T_NO_DISCOVER OR T_COMMAND)
    add_test(NAME ${name} COMMAND ${T_COMMAND} $<TARGET_FILE:${name}>)
    set_tests_properties(${name} PROPERTIES ${props} LABELS "${labels}")
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         TEST_LIST ${name}_TESTS PROPERTIES ${props})
    # Discovery flattens list-valued properties, so the labels are set by a script that
    # CTest reads after the discovered tests.
    set(label_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
    file(WRITE ${label_file}
         "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${labels}\")\nendif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${label_file})
  endif()
endfunction()

# qw_fuzz(NAME SOURCES files... LIBS targets... CORPUS dir [SECONDS n])
# In a QW_FUZZ build the target is a libFuzzer binary run for a bounded time over its
# seed corpus; in every other build it replays the corpus once as a regression test.
function(qw_fuzz name)
  cmake_parse_arguments(F "" "CORPUS;SECONDS;LAYER" "SOURCES;LIBS" ${ARGN})
  if(NOT F_SECONDS)
    set(F_SECONDS 20)
  endif()
  if(NOT F_LAYER)
    set(F_LAYER fuzz)
  endif()
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  qw_warnings(${name})
  if(QW_FUZZ)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    set(work ${CMAKE_BINARY_DIR}/fuzz-work/${name})
    file(MAKE_DIRECTORY ${work})
    add_test(NAME ${name}
             COMMAND ${name} -max_total_time=${F_SECONDS} -timeout=10 -rss_limit_mb=2048
                     -artifact_prefix=${work}/ ${work} ${F_CORPUS})
  else()
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
    add_test(NAME ${name} COMMAND ${name} ${F_CORPUS})
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "fuzz;${F_LAYER}" TIMEOUT 300)
endfunction()

# qw_bench(NAME SOURCES files... LIBS targets...): a Google Benchmark program (not a test).
function(qw_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  target_compile_definitions(${name} PRIVATE QW_SOURCE_DIR="${PROJECT_SOURCE_DIR}" QW_BINARY_DIR="${CMAKE_BINARY_DIR}")
  qw_warnings(${name})
endfunction()
