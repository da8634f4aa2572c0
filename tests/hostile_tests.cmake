# Hostile clients and misbehaving CGI programs against the real binary: one test per case.
# Each case checks the answer (or the silence), that the next ordinary request is served, and
# that every process of the session ended through its clean-up (seen by tp_record).
add_executable(hostile_tests hostile_test.cpp)
target_link_libraries(hostile_tests PRIVATE test_support GTest::gtest_main)
target_compile_definitions(hostile_tests PRIVATE ${TEST_DEFINITIONS}
  CGI_PRINTENV="$<TARGET_FILE:cgi_printenv>")
add_dependencies(hostile_tests websrv-test http tp_record cgi_printenv)

# The cases that must sit out one of the server's 30-second waits carry "Slow" in their name
# (label "slow", not "hostile"); everything else finishes in a second or two.
websrv_discover_tests(hostile_tests 60 hostile)

# Sound answers: bounded transfers, hooks that lie, CGI programs and requests that used to get
# a wrong or no answer. Same labels as above.
add_executable(answers_tests answers_test.cpp)
target_link_libraries(answers_tests PRIVATE test_support GTest::gtest_main)
target_compile_definitions(answers_tests PRIVATE ${TEST_DEFINITIONS}
  CGI_PRINTENV="$<TARGET_FILE:cgi_printenv>")
add_dependencies(answers_tests websrv-test http tp_hostile tp_record cgi_printenv)
websrv_discover_tests(answers_tests 60 hostile)
