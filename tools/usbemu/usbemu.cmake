# Emulated USB modules on umockdev, shared by the tests and the module simulator.
if(TARGET QW::umockdev)
  add_library(qw_usbemu STATIC ${CMAKE_CURRENT_LIST_DIR}/usbemu.cpp)
  target_include_directories(qw_usbemu PUBLIC ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(qw_usbemu PUBLIC QW::umockdev Threads::Threads PRIVATE -lutil)
  qw_warnings(qw_usbemu)
endif()
