# Server layer: Base64 and version sorting in-process; the HTTP client and every update-server
# query against the loopback fixture (tests/fixtures/update_server.py).
find_program(QW_PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT QW_PYTHON3)
  find_program(QW_PYTHON3 NAMES python3 REQUIRED)
endif()

qw_test(test_server_codec unit server
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/Base64Test.cpp ${CMAKE_CURRENT_LIST_DIR}/VersionSortTest.cpp
  LIBS qw_server)

qw_test(test_server_http integration server TIMEOUT 90
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/HttpClientTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/UpdateServerRequestTest.cpp
  LIBS qw_server)
target_compile_definitions(test_server_http PRIVATE QW_PYTHON3="${QW_PYTHON3}")

qw_test(test_server_worker integration server TIMEOUT 90 LABELS threads
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/WorkerThreadTest.cpp
  LIBS qw_server)
target_compile_definitions(test_server_worker PRIVATE QW_PYTHON3="${QW_PYTHON3}")
