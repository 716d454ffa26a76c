# birdtool: reads BIRD files with the firmware library, writes them with its own writer.
add_library(qw_birdwriter STATIC ${CMAKE_CURRENT_LIST_DIR}/BirdWriter.cpp)
target_include_directories(qw_birdwriter PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(qw_birdwriter PUBLIC QW::zlib)
qw_warnings(qw_birdwriter)

add_executable(birdtool ${CMAKE_CURRENT_LIST_DIR}/birdtool.cpp)
target_link_libraries(birdtool PRIVATE qw_firmware qw_birdwriter)
qw_warnings(birdtool)
