if(TARGET qwsim)
  qw_test(test_tools_qwsim integration tools
          SOURCES ${CMAKE_CURRENT_LIST_DIR}/QwsimTest.cpp ${CMAKE_CURRENT_LIST_DIR}/QwsimUpgradeTest.cpp
          LIBS nlohmann_json::nlohmann_json)
  add_dependencies(test_tools_qwsim qwsim)

  # Discovery sends multicast, so it runs inside a private network namespace.
  if(EXISTS ${PROJECT_SOURCE_DIR}/tests/netns-run)
    qw_test(test_tools_qwsim_discovery integration tools
            SOURCES ${CMAKE_CURRENT_LIST_DIR}/QwsimDiscoveryTest.cpp
            LIBS nlohmann_json::nlohmann_json
            COMMAND ${PROJECT_SOURCE_DIR}/tests/netns-run)
    add_dependencies(test_tools_qwsim_discovery qwsim)
  endif()
endif()

# The USB transport, through real libusb in a program that qwsim runs on its emulated bus.
if(TARGET qwsim AND TARGET QW::umockdev)
  add_executable(qwsim_usb_client ${CMAKE_CURRENT_LIST_DIR}/QwsimUsbClient.cpp)
  target_link_libraries(qwsim_usb_client PRIVATE QW::usb)
  qw_warnings(qwsim_usb_client)
  qw_test(test_tools_qwsim_usb integration tools
          SOURCES ${CMAKE_CURRENT_LIST_DIR}/QwsimUsbTest.cpp
          LIBS nlohmann_json::nlohmann_json)
  target_compile_definitions(test_tools_qwsim_usb PRIVATE QWSIM_USB_CLIENT="$<TARGET_FILE:qwsim_usb_client>")
  add_dependencies(test_tools_qwsim_usb qwsim qwsim_usb_client)
endif()
