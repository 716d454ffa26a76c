qw_bench(bench_packets SOURCES ${CMAKE_CURRENT_LIST_DIR}/PacketsBench.cpp LIBS qw_common)
