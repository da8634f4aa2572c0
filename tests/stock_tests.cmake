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
  add_executable(stock_tests stock_plugin_test.cpp)
  target_link_libraries(stock_tests PRIVATE test_support GTest::gtest_main ${WEBSRV_LIBCRYPT})
  target_compile_definitions(stock_tests PRIVATE ${TEST_DEFINITIONS} CGI_PRINTENV="$<TARGET_FILE:cgi_printenv>")
  add_dependencies(stock_tests websrv-test http cgi_printenv)
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
