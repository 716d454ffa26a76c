qw_test(test_common_log unit common SOURCES ${CMAKE_CURRENT_LIST_DIR}/LogTest.cpp LIBS qw_common)
