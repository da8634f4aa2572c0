# Static delivery as clients expect it, against the real binary: byte ranges, gzip copies, curl
# and wget resuming a download, and the access log. The one case that sits out the server's
# 30-second header wait carries "Slow" in its name and gets the label "slow".
add_executable(delivery_tests range_test.cpp access_log_test.cpp)
target_link_libraries(delivery_tests PRIVATE test_support GTest::gtest_main)
target_compile_definitions(delivery_tests PRIVATE ${TEST_DEFINITIONS})
add_dependencies(delivery_tests websrv-test http tp_record)
websrv_discover_tests(delivery_tests 120)
