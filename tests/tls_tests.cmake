# https.so over the wire (tls_test.py): one ctest entry per test class, so the classes run in
# parallel. The stalled handshake sits out the 30-second limit and carries the label "slow".
find_program(WEBSRV_PYTHON3 python3)
if(TARGET https AND WEBSRV_PYTHON3)
  set(tls_test_environment
    "WEBSRV_TEST_SERVER=$<TARGET_FILE:websrv-test>;WEBSRV_HTTPS_PLUGIN=$<TARGET_FILE:https>;CGI_PRINTENV=$<TARGET_FILE:cgi_printenv>")
  foreach(class Handshake Transfers Lasting Renewal Engine Certificates Redirect StalledHandshake)
    add_test(NAME tls_${class} COMMAND ${WEBSRV_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/tls_test.py ${class})
    set_tests_properties(tls_${class} PROPERTIES ENVIRONMENT "${tls_test_environment}" TIMEOUT 120 LABELS tls)
  endforeach()
  set_tests_properties(tls_StalledHandshake PROPERTIES LABELS "tls;slow")
elseif(NOT TARGET https)
  message(STATUS "no https.so in this build: its tests are left out")
else()
  message(FATAL_ERROR "python3 is needed for the tests of https.so")
endif()
