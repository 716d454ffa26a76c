qw_test(test_common_packet unit common
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/PacketTest.cpp ${CMAKE_CURRENT_LIST_DIR}/CodecTest.cpp
        LIBS qw_common)
qw_test(test_common_packetfifo unit common
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/PacketFifoTest.cpp
        LIBS qw_common LABELS threads)
qw_test(test_common_stream unit common
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/StreamTest.cpp
        LIBS qw_common LABELS threads)
qw_test(test_common_transport integration common
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/TransportTest.cpp
        LIBS qw_common -lutil LABELS threads)
qw_test(test_common_interrupt unit common
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/InterruptTest.cpp
        LIBS qw_common)
