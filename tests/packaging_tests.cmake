# Both tests check files that do not depend on how this build is compiled; the first makes a
# build of its own. A sanitizer build leaves them to the normal one.
if(WEBSRV_SANITIZE)
  return()
endif()

# The Debian packages and the service files of packaging/ (packaging_test.sh): a private build,
# its port file in the test's temporary directory, packaged with cpack, checked with lintian,
# unpacked into a temporary root where the maintainer scripts run, and the System V init
# script starting, reloading and stopping the packaged server on a free loopback port.
add_test(NAME packaging_deb
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/packaging_test.sh
          ${PROJECT_SOURCE_DIR} ${PROJECT_VERSION} ${CMAKE_COMMAND} ${CMAKE_GENERATOR}
          ${CMAKE_MAKE_PROGRAM} ${CMAKE_C_COMPILER} ${CMAKE_CXX_COMPILER})
set_tests_properties(packaging_deb PROPERTIES TIMEOUT 300)

# The shell scripts that packaging/ ships pass ShellCheck, the OpenWrt init script builds the
# expected command lines, and the Buildroot, Yocto and OpenWrt packages name the project's
# version, CMake options and files (packaging_recipes_test.sh).
add_test(NAME packaging_recipes
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/packaging_recipes_test.sh
          ${PROJECT_SOURCE_DIR} ${PROJECT_VERSION} ${PROJECT_BINARY_DIR})
set_tests_properties(packaging_recipes PROPERTIES TIMEOUT 60)
