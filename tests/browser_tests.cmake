# The browser tests: each starts the real binary on a free loopback port and drives headless
# Chromium through playwright-core. tests/browser/setup.sh installs Chromium, playwright-core
# and certutil; without them the tests fail.
find_program(WEBSRV_NODE node)

# The holder of the tests' free ports (install/free_ports.c): a port a test learned stays bound
# until the test ends, so no test running beside it is handed the same port.
add_executable(browser_free_ports install/free_ports.c)
set_target_properties(browser_free_ports PROPERTIES OUTPUT_NAME free_ports RUNTIME_OUTPUT_DIRECTORY
                      ${CMAKE_CURRENT_BINARY_DIR}/browser)
target_compile_definitions(browser_free_ports PRIVATE _DEFAULT_SOURCE)

# websrv_browser_test(NAME SCRIPT ENVIRONMENT): runs browser/SCRIPT with node.
function(websrv_browser_test name script environment)
  list(APPEND environment "WEBSRV_FREE_PORTS=$<TARGET_FILE:browser_free_ports>")
  if(WEBSRV_NODE)
    add_test(NAME ${name} COMMAND ${WEBSRV_NODE} ${CMAKE_CURRENT_SOURCE_DIR}/browser/${script}
             WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/browser)
  else()
    add_test(NAME ${name} COMMAND sh -c "echo 'node was not found: run tests/browser/setup.sh' >&2; exit 1")
  endif()
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "${environment}"
    # Chromium keeps both cores busy for a few seconds: run alone, so that it does not slow the
    # suites that measure time.
    PROCESSORS 2
    TIMEOUT 180
    LABELS browser)
endfunction()

# The demo site (browser/demo.test.mjs), served by the assembled demo site; it saves a
# screenshot of the status page as browser/demo.png in this build directory.
websrv_browser_test(browser_demo demo.test.mjs
  "WEBSRV_TEST_SERVER=$<TARGET_FILE:websrv-test>;WEBSRV_HTTP_PLUGIN=$<TARGET_FILE:http>;WEBSRV_LED_PLUGIN=$<TARGET_FILE:led>;WEBSRV_DEMO_SITE=${PROJECT_BINARY_DIR}/www;WEBSRV_SCREENSHOT=${CMAKE_CURRENT_BINARY_DIR}/browser/demo.png")

# The demo over HTTPS (browser/https.test.mjs): https.so with a test CA that Chromium trusts
# through an NSS store made for the test, a sub-directory gallery, and a password-protected
# one whose load time it prints next to the open one's.
if(TARGET https)
  websrv_browser_test(browser_https https.test.mjs
    "WEBSRV_TEST_SERVER=$<TARGET_FILE:websrv-test>;WEBSRV_HTTPS_PLUGIN=$<TARGET_FILE:https>;WEBSRV_DEMO_SITE=${PROJECT_BINARY_DIR}/www")
endif()

# A CGI.pm guest book (browser/cgi.test.mjs): a sign-in form answered with a cookie and a
# redirect, then a multipart form with a 1 MiB file that submits to the program itself.
websrv_browser_test(browser_cgi cgi.test.mjs
  "WEBSRV_TEST_SERVER=$<TARGET_FILE:websrv-test>;WEBSRV_HTTP_PLUGIN=$<TARGET_FILE:http>;WEBSRV_GUESTBOOK=${CMAKE_CURRENT_SOURCE_DIR}/cgi/guestbook.pl")

# A 20-image page at -j 1, 2, 4 and 8, with and without -k, over HTTP, HTTPS and the plain
# port's redirect (browser/gallery.test.mjs): every image arrives.
if(TARGET https)
  websrv_browser_test(browser_gallery gallery.test.mjs
    "WEBSRV_TEST_SERVER=$<TARGET_FILE:websrv-test>;WEBSRV_HTTP_PLUGIN=$<TARGET_FILE:http>;WEBSRV_HTTPS_PLUGIN=$<TARGET_FILE:https>;WEBSRV_DEMO_SITE=${PROJECT_BINARY_DIR}/www")
endif()

# The live page (browser/live.test.mjs) over HTTP and HTTPS: server-sent events from a CGI
# program and a WebSocket console; it saves a screenshot as browser/live.png in this build
# directory.
if(TARGET https)
  websrv_browser_test(browser_live live.test.mjs
    "WEBSRV_TEST_SERVER=$<TARGET_FILE:websrv-test>;WEBSRV_HTTP_PLUGIN=$<TARGET_FILE:http>;WEBSRV_HTTPS_PLUGIN=$<TARGET_FILE:https>;WEBSRV_DEMO_SITE=${PROJECT_BINARY_DIR}/www;WEBSRV_CONSOLE=${PROJECT_SOURCE_DIR}/examples/live/console.sh;WEBSRV_SCREENSHOT=${CMAKE_CURRENT_BINARY_DIR}/browser/live.png")
endif()
