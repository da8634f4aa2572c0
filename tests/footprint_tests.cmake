# The footprint of what ships: the executable and the stock plug-ins need nothing but the C
# library at run time. Sanitizer builds link their own runtime libraries, so the check is left
# out of them.
if(NOT WEBSRV_SANITIZE)
  # The binary tools of the toolchain that built the files (the cross tools in a cross build).
  foreach(tool NM READELF STRIP)
    if(NOT CMAKE_${tool})
      message(FATAL_ERROR "footprint tests: CMake found no ${tool} for this toolchain")
    endif()
  endforeach()

  # Every shared object that plugins/ builds is a stock plug-in.
  get_property(websrv_stock_targets DIRECTORY ${PROJECT_SOURCE_DIR}/plugins PROPERTY BUILDSYSTEM_TARGETS)
  set(websrv_stock_plugins "")
  foreach(target ${websrv_stock_targets})
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "MODULE_LIBRARY" OR type STREQUAL "SHARED_LIBRARY")
      list(APPEND websrv_stock_plugins $<TARGET_FILE:${target}>)
    endif()
  endforeach()

  add_test(NAME footprint_c_library_only
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/footprint.sh check ${CMAKE_READELF} ${CMAKE_NM} ${CMAKE_STRIP}
            $<TARGET_FILE:websrv> ${websrv_stock_plugins})
  # The executable's size line: 64 KiB stripped for the optimised x86-64 builds. The same
  # check with a line no executable meets must fail.
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64" AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
    add_test(NAME footprint_executable_size
      COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/footprint.sh size ${CMAKE_STRIP} 65536 $<TARGET_FILE:websrv>)
    add_test(NAME footprint_size_check_can_fail
      COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/footprint.sh size ${CMAKE_STRIP} 4096 $<TARGET_FILE:websrv>)
    set_tests_properties(footprint_size_check_can_fail PROPERTIES WILL_FAIL TRUE)
  endif()
  # The same check applied to a program that does use the C++ runtime has to fail.
  add_test(NAME footprint_check_rejects_cxx_runtime
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/footprint.sh self-test ${CMAKE_READELF} ${CMAKE_NM}
            ${CMAKE_CXX_COMPILER})
endif()
