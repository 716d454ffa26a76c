# qwsim: the module simulator. It has its own framing code and links no layer of the device
# library, so a framing fault cannot hide by being shared by both ends of a test.
if(NOT nlohmann_json_FOUND)
  message(WARNING "nlohmann-json not found: qwsim is not built")
  return()
endif()
file(GLOB qwsim_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
add_executable(qwsim ${qwsim_sources})
target_link_libraries(qwsim PRIVATE nlohmann_json::nlohmann_json)
qw_warnings(qwsim)
