# The keyed hash of the password cache against its published test vectors.
add_executable(sha256_tests sha256_test.cpp ${PROJECT_SOURCE_DIR}/plugins/http/sha256.cpp)
target_include_directories(sha256_tests PRIVATE ${PROJECT_SOURCE_DIR}/plugins/http)
target_link_libraries(sha256_tests PRIVATE GTest::gtest_main)
gtest_discover_tests(sha256_tests DISCOVERY_TIMEOUT 30 PROPERTIES LABELS stock)

# The stock plug-ins' own answers over the wire (directory index, header lines, passwords).
# The test makes its password hashes with libcrypt, which the plug-ins load at run time; a
# toolchain without it (a cross build) leaves the test out.
find_library(WEBSRV_LIBCRYPT crypt)
find_path(WEBSRV_CRYPT_INCLUDE crypt.h)
if(WEBSRV_LIBCRYPT AND WEBSRV_CRYPT_INCLUDE)
  # http.so as the limiter's tests run it: the clock of its password tables runs ahead by what
  # the file named by WEBSRV_TEST_CLOCK_FILE says, so a test sees a minute pass at once. Built
  # here from http.so's own sources, with the test plug-ins, and never installed.
  get_target_property(WEBSRV_HTTP_CLOCK_SOURCES http SOURCES)
  list(TRANSFORM WEBSRV_HTTP_CLOCK_SOURCES PREPEND ${PROJECT_SOURCE_DIR}/plugins/)
  websrv_plugin(http_clock ${WEBSRV_HTTP_CLOCK_SOURCES})
  set_target_properties(http_clock PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${TEST_PLUGIN_DIR})
  target_compile_definitions(http_clock PRIVATE WEBSRV_TEST_CLOCK)

  add_executable(stock_tests stock_plugin_test.cpp)
  target_link_libraries(stock_tests PRIVATE test_support GTest::gtest_main ${WEBSRV_LIBCRYPT})
  target_compile_definitions(stock_tests PRIVATE ${TEST_DEFINITIONS} CGI_PRINTENV="$<TARGET_FILE:cgi_printenv>"
                             WEBSRV_HTTP_CLOCK_PLUGIN="$<TARGET_FILE:http_clock>")
  add_dependencies(stock_tests websrv-test http http_clock cgi_printenv)
  gtest_discover_tests(stock_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120 LABELS stock)

  # URLs plug-ins answer themselves: the route hook, the status endpoint, the LED example.
  add_executable(route_tests route_test.cpp)
  target_link_libraries(route_tests PRIVATE test_support GTest::gtest_main ${WEBSRV_LIBCRYPT})
  target_compile_definitions(route_tests PRIVATE ${TEST_DEFINITIONS} WEBSRV_LED_PLUGIN="$<TARGET_FILE:led>")
  add_dependencies(route_tests websrv-test http led tp_route)
  gtest_discover_tests(route_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120 LABELS stock)
else()
  message(STATUS "libcrypt's development files not found: the stock plug-in tests are left out")
endif()
