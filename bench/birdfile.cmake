qw_bench(bench_birdfile SOURCES ${CMAKE_CURRENT_LIST_DIR}/BirdFileBench.cpp LIBS qw_firmware qw_birdwriter)
