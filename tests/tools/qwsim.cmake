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
