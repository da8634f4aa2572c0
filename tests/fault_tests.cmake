# Injected faults against the real binary, and the soak run.

# The test build of the server gets the fault switches (allocation failures on request).
# The shipped executable is built without them.
target_sources(websrv-test PRIVATE ${PROJECT_SOURCE_DIR}/server/test_switches.cpp)

# Allocation failures, descriptor exhaustion, the port file on a full or vanished file
# system, connection processes killed mid-request, stop signals during a request and
# instances that stop at the same moment.
add_executable(fault_tests fault_test.cpp)
target_link_libraries(fault_tests PRIVATE test_support GTest::gtest_main)
target_compile_definitions(fault_tests PRIVATE ${TEST_DEFINITIONS}
  CGI_PRINTENV="$<TARGET_FILE:cgi_printenv>")
add_dependencies(fault_tests websrv-test http tp_record cgi_printenv)
gtest_discover_tests(fault_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 300 LABELS fault)

# The soak run: a bounded loop of mixed requests with every answer checked and the server's
# descriptors, memory and children compared between the first hundred requests and the end.
# SOAK_REQUESTS=1000000 in the environment makes it the long run. A sanitizer build forks
# far more slowly and soaks 2,000 requests by default.
if(WEBSRV_SANITIZE)
  set(WEBSRV_SOAK_REQUESTS 2000)
else()
  set(WEBSRV_SOAK_REQUESTS 20000)
endif()
add_executable(soak_driver soak_driver.cpp)
target_link_libraries(soak_driver PRIVATE test_support)
add_dependencies(soak_driver websrv-test http cgi_printenv)
add_test(NAME soak
  COMMAND soak_driver $<TARGET_FILE:websrv-test> $<TARGET_FILE:http> $<TARGET_FILE:cgi_printenv>
          ${WEBSRV_SOAK_REQUESTS})
set_tests_properties(soak PROPERTIES LABELS soak TIMEOUT 900)
# The same with eight sessions at once (-j 8).
add_test(NAME soak_j8
  COMMAND soak_driver $<TARGET_FILE:websrv-test> $<TARGET_FILE:http> $<TARGET_FILE:cgi_printenv>
          ${WEBSRV_SOAK_REQUESTS})
set_tests_properties(soak_j8 PROPERTIES LABELS soak TIMEOUT 900 ENVIRONMENT SOAK_JOBS=8)

