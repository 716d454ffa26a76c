# Base64 decoding against a plain table decoder; prints the ratio of their times.
qw_bench(bench_base64 SOURCES ${CMAKE_CURRENT_LIST_DIR}/server/Base64Bench.cpp LIBS qw_server)
