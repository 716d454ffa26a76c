if(TARGET qwsim)
  qw_test(test_tools_qwsim integration tools
          SOURCES ${CMAKE_CURRENT_LIST_DIR}/QwsimTest.cpp ${CMAKE_CURRENT_LIST_DIR}/QwsimUpgradeTest.cpp
          LIBS nlohmann_json::nlohmann_json)
  add_dependencies(test_tools_qwsim qwsim)
endif()
