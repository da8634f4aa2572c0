# Live pages over the wire (live_test.py): WebSocket connections of http.so and https.so with
# Python's websockets library and raw frames, and server-sent events from CGI programs. One
# ctest entry per test class, so the classes run in parallel; the server's own ping comes after
# 20 seconds of silence and carries the label "slow". The Python that runs them is the first
# that has the websockets module (Debian's python3-websockets is for /usr/bin/python3).
set(websrv_live_python "")
foreach(candidate ${WEBSRV_PYTHON3} /usr/bin/python3)
  if(candidate AND NOT websrv_live_python)
    execute_process(COMMAND ${candidate} -c "import websockets" RESULT_VARIABLE missing OUTPUT_QUIET ERROR_QUIET)
    if(missing EQUAL 0)
      set(websrv_live_python ${candidate})
    endif()
  endif()
endforeach()
if(NOT websrv_live_python)
  message(FATAL_ERROR "the live page tests need Python's websockets module (Debian: python3-websockets)")
endif()

set(live_test_environment "WEBSRV_TEST_SERVER=$<TARGET_FILE:websrv-test>;WEBSRV_HTTP_PLUGIN=$<TARGET_FILE:http>")
set(live_classes Handshake HandshakeHosts Messages Programs Events EventsAlone ServerPing)
if(TARGET https)
  list(APPEND live_test_environment "WEBSRV_HTTPS_PLUGIN=$<TARGET_FILE:https>")
  list(APPEND live_classes Secure SecureInside)
endif()
foreach(class ${live_classes})
  add_test(NAME live_${class} COMMAND ${websrv_live_python} ${CMAKE_CURRENT_SOURCE_DIR}/live_test.py ${class})
  set_tests_properties(live_${class} PROPERTIES ENVIRONMENT "${live_test_environment}" TIMEOUT 120 LABELS live)
endforeach()
set_tests_properties(live_ServerPing PROPERTIES LABELS "live;slow")
