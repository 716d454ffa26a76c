qw_test(test_common_link unit common
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/LinkTest.cpp
        LIBS qw_common LABELS threads)
if(TARGET qwsim)
  qw_test(test_common_link_sim integration common
          SOURCES ${CMAKE_CURRENT_LIST_DIR}/LinkSimTest.cpp
          LIBS qw_common nlohmann_json::nlohmann_json LABELS threads)
  add_dependencies(test_common_link_sim qwsim)
endif()
