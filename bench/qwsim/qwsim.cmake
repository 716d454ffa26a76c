if(TARGET qwsim)
  qw_bench(bench_qwsim SOURCES ${CMAKE_CURRENT_LIST_DIR}/QwsimBench.cpp LIBS nlohmann_json::nlohmann_json Threads::Threads)
  add_dependencies(bench_qwsim qwsim)
endif()
