qw_fuzz(fuzz_packet_addbyte SOURCES ${CMAKE_CURRENT_LIST_DIR}/AddByteFuzz.cpp LIBS qw_common
        CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus-addbyte LAYER common)
qw_fuzz(fuzz_cobs_stream SOURCES ${CMAKE_CURRENT_LIST_DIR}/CobsStreamFuzz.cpp LIBS qw_common
        CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus-cobs LAYER common)
