# The stock plug-ins' own answers over the wire (directory index, header lines, passwords).
# The test makes its password hashes with libcrypt, which the plug-ins load at run time.
find_library(WEBSRV_LIBCRYPT crypt)
add_executable(stock_tests stock_plugin_test.cpp)
target_link_libraries(stock_tests PRIVATE test_support GTest::gtest_main ${WEBSRV_LIBCRYPT})
target_compile_definitions(stock_tests PRIVATE ${TEST_DEFINITIONS} CGI_PRINTENV="$<TARGET_FILE:cgi_printenv>")
add_dependencies(stock_tests websrv-test http cgi_printenv)
gtest_discover_tests(stock_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120 LABELS stock)
