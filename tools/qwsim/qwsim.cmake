# qwsim: the module simulator. It has its own framing code and links no layer of the device
# library, so a framing fault cannot hide by being shared by both ends of a test.
if(NOT nlohmann_json_FOUND)
  message(WARNING "nlohmann-json not found: qwsim is not built")
  return()
endif()
file(GLOB qwsim_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
# The USB transport needs the umockdev harness (tools/usbemu, defined after this file).
if(NOT TARGET QW::umockdev)
  list(FILTER qwsim_sources EXCLUDE REGEX "/UsbTransport.cpp$")
endif()
add_executable(qwsim ${qwsim_sources})
target_link_libraries(qwsim PRIVATE nlohmann_json::nlohmann_json)
if(TARGET QW::umockdev)
  target_link_libraries(qwsim PRIVATE qw_usbemu)
  target_compile_definitions(qwsim PRIVATE QWSIM_USB=1)
endif()
qw_warnings(qwsim)
