# Link engine round trip, burst and idle figures against baselines from the same run.
if(TARGET qwsim)
  qw_bench(bench_link SOURCES ${CMAKE_CURRENT_LIST_DIR}/link/LinkBench.cpp
           LIBS qw_common nlohmann_json::nlohmann_json)
  add_dependencies(bench_link qwsim)
endif()
