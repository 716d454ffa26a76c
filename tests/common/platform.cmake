qw_test(test_common_version unit common
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/VersionTest.cpp LIBS qw_common)
qw_test(test_common_files unit common
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/FilesTest.cpp LIBS qw_common)
