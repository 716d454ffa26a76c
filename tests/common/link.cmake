qw_test(test_common_link unit common
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/LinkTest.cpp
        LIBS qw_common LABELS threads)
if(TARGET qwsim)
  qw_test(test_common_link_sim integration common
          SOURCES ${CMAKE_CURRENT_LIST_DIR}/LinkSimTest.cpp
          LIBS qw_common nlohmann_json::nlohmann_json LABELS threads)
  add_dependencies(test_common_link_sim qwsim)
endif()
if(TARGET qwsim AND TARGET QW::umockdev)
  add_executable(link_usb_client ${CMAKE_CURRENT_LIST_DIR}/LinkUsbClient.cpp)
  target_link_libraries(link_usb_client PRIVATE qw_common)
  qw_warnings(link_usb_client)
  qw_test(test_common_link_usb integration common
          SOURCES ${CMAKE_CURRENT_LIST_DIR}/LinkUsbTest.cpp
          LIBS nlohmann_json::nlohmann_json)
  target_compile_definitions(test_common_link_usb PRIVATE
                             LINK_USB_CLIENT="$<TARGET_FILE:link_usb_client>")
  add_dependencies(test_common_link_usb qwsim link_usb_client)
endif()
