# The installation as a plug-in author meets it: a private build of the server, its port file
# in the test's temporary directory, is installed into a temporary prefix; plug-ins built out
# of tree with only `pkg-config --cflags websrv-plugin` are loaded into the installed
# executable and answer requests on loopback ports.
add_test(NAME install_out_of_tree
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/install_test.sh
          ${PROJECT_SOURCE_DIR} ${PROJECT_VERSION} ${CMAKE_COMMAND} ${CMAKE_GENERATOR}
          ${CMAKE_MAKE_PROGRAM} ${CMAKE_C_COMPILER} ${CMAKE_CXX_COMPILER})
set_tests_properties(install_out_of_tree PROPERTIES TIMEOUT 600)
