qw_test(test_common_link unit common
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/LinkTest.cpp
        LIBS qw_common LABELS threads)
