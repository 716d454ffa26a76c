qw_test(test_common_version unit common
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/VersionTest.cpp LIBS qw_common)
qw_test(test_common_files unit common
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/FilesTest.cpp LIBS qw_common)
qw_test(test_common_threads unit common
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/ThreadsTest.cpp LIBS qw_common LABELS threads)
# Multicast sockets are exercised inside a private network namespace; the test skips
# itself when none can be created.
qw_test(test_common_multicast unit common
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/MulticastTest.cpp LIBS qw_common
        COMMAND ${PROJECT_SOURCE_DIR}/tests/netns-run RUN_SERIAL TIMEOUT 60)
set_tests_properties(test_common_multicast PROPERTIES SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
