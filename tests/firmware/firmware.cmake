set(_fw ${CMAKE_CURRENT_LIST_DIR})
qw_test(test_firmware_birdfile unit firmware SOURCES ${_fw}/BirdFileTest.cpp
        LIBS qw_firmware qw_birdwriter)
qw_test(test_firmware_attributes unit firmware SOURCES ${_fw}/KeyValueStoreTest.cpp
        LIBS qw_firmware qw_birdwriter)
qw_test(test_firmware_store unit firmware SOURCES ${_fw}/UpdaterStoreTest.cpp
        LIBS qw_firmware qw_birdwriter)

find_package(Python3 COMPONENTS Interpreter)
qw_test(test_firmware_birdtool integration firmware SOURCES ${_fw}/BirdToolTest.cpp
        LIBS qw_firmware qw_birdwriter)
target_compile_definitions(test_firmware_birdtool PRIVATE
    BIRDTOOL_PATH="$<TARGET_FILE:birdtool>"
    PYTHON3_PATH="${Python3_EXECUTABLE}"
    FIXTURE_DIR="${_fw}")
add_dependencies(test_firmware_birdtool birdtool)
