# The demo site in headless Chromium: browser/demo.test.mjs starts the real binary on a free
# loopback port serving the assembled demo site, drives Chromium through playwright-core and
# saves a screenshot of the status page as browser/demo.png in this build directory.
# tests/browser/setup.sh installs Chromium and playwright-core; without them the test fails.
find_program(WEBSRV_NODE node)
set(BROWSER_TEST_SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/browser/demo.test.mjs)
if(WEBSRV_NODE)
  add_test(NAME browser_demo COMMAND ${WEBSRV_NODE} ${BROWSER_TEST_SCRIPT}
           WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/browser)
else()
  add_test(NAME browser_demo
           COMMAND sh -c "echo 'node was not found: run tests/browser/setup.sh' >&2; exit 1")
endif()
set_tests_properties(browser_demo PROPERTIES
  ENVIRONMENT "WEBSRV_TEST_SERVER=$<TARGET_FILE:websrv-test>;WEBSRV_HTTP_PLUGIN=$<TARGET_FILE:http>;WEBSRV_DEMO_SITE=${PROJECT_BINARY_DIR}/www;WEBSRV_SCREENSHOT=${CMAKE_CURRENT_BINARY_DIR}/browser/demo.png"
  # Chromium keeps both cores busy for a few seconds: run alone, so that it does not slow the
  # suites that measure time.
  PROCESSORS 2
  TIMEOUT 180
  LABELS browser)

# The demo over HTTPS (browser/https.test.mjs): https.so with a test CA that Chromium trusts
# through an NSS store made for the test, a sub-directory gallery, and a password-protected
# one whose load time it prints next to the open one's.
if(TARGET https)
  if(WEBSRV_NODE)
    add_test(NAME browser_https COMMAND ${WEBSRV_NODE} ${CMAKE_CURRENT_SOURCE_DIR}/browser/https.test.mjs
             WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/browser)
  else()
    add_test(NAME browser_https
             COMMAND sh -c "echo 'node was not found: run tests/browser/setup.sh' >&2; exit 1")
  endif()
  set_tests_properties(browser_https PROPERTIES
    ENVIRONMENT "WEBSRV_TEST_SERVER=$<TARGET_FILE:websrv-test>;WEBSRV_HTTPS_PLUGIN=$<TARGET_FILE:https>;WEBSRV_DEMO_SITE=${PROJECT_BINARY_DIR}/www"
    PROCESSORS 2
    TIMEOUT 180
    LABELS browser)
endif()
