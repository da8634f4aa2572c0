# Installation for plug-in authors: `cmake --install BUILD [--prefix DIR]` puts
#
#   sbin/websrv                         the server
#   include/websrv/websrv_plugin.h      the one header a plug-in is built against
#   include/websrv/websrv_answer.h      helpers for a plug-in's own answers (static inline)
#   include/websrv/websrv_words.h       the HTTP words the server and its plug-ins share
#   lib/websrv/*.so                     the stock plug-ins
#   lib/pkgconfig/websrv.pc             compiler flags for plug-ins (pkg-config websrv; also
#                                       as websrv-plugin.pc)
#   lib/websrv/examples/led.so          the device API example, and its source in
#                                       share/websrv/examples/led
#   share/man/man8/websrv.8             the server's manual page
#   share/man/man7/websrv-plugin.7      the plug-in interface's manual page
#
# The directories follow GNUInstallDirs, so a packager may move them (-DCMAKE_INSTALL_LIBDIR=...).
include(GNUInstallDirs)

set(WEBSRV_PLUGIN_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/websrv)

install(TARGETS websrv RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/plugin/websrv_plugin.h ${PROJECT_SOURCE_DIR}/plugin/websrv_answer.h
              ${PROJECT_SOURCE_DIR}/plugin/websrv_words.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/websrv)

# Every shared object built in plugins/ is a stock plug-in; a new one is installed without
# a change here.
get_property(websrv_plugin_dir_targets DIRECTORY ${PROJECT_SOURCE_DIR}/plugins
             PROPERTY BUILDSYSTEM_TARGETS)
set(websrv_stock_plugins "")
foreach(target IN LISTS websrv_plugin_dir_targets)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "MODULE_LIBRARY")
    list(APPEND websrv_stock_plugins ${target})
  endif()
endforeach()
if(websrv_stock_plugins)
  install(TARGETS ${websrv_stock_plugins} LIBRARY DESTINATION ${WEBSRV_PLUGIN_INSTALL_DIR})
endif()

install(FILES ${PROJECT_SOURCE_DIR}/man/websrv.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_SOURCE_DIR}/man/websrv-plugin.7 DESTINATION ${CMAKE_INSTALL_MANDIR}/man7)

# The pkg-config file must name the prefix the files really go to, and `cmake --install
# --prefix DIR` chooses that only at install time. So the file is written by the install
# step itself, from the prefix in force then, and installed from the build tree right after
# (which also honours DESTDIR: a staged install still names the final prefix).
# Directories given relative to the prefix are written relative to ${prefix} in the file.
function(websrv_pc_dir out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
websrv_pc_dir(websrv_pc_sbindir ${CMAKE_INSTALL_SBINDIR})
websrv_pc_dir(websrv_pc_includedir ${CMAKE_INSTALL_INCLUDEDIR})
websrv_pc_dir(websrv_pc_libdir ${CMAKE_INSTALL_LIBDIR})

set(websrv_pc_template ${PROJECT_SOURCE_DIR}/cmake/websrv-plugin.pc.in)
# One file, under the name plug-ins ask for (websrv) and its older name (websrv-plugin).
foreach(websrv_pc_name websrv websrv-plugin)
  set(websrv_pc_file ${PROJECT_BINARY_DIR}/${websrv_pc_name}.pc)
  # The bracket arguments keep the ${prefix} references for the .pc file; the install script
  # fills in only the @NAME@ places.
  install(CODE "
    file(READ [==[${websrv_pc_template}]==] websrv_pc_text)
    set(WEBSRV_PC_NAME [==[${websrv_pc_name}]==])
    set(WEBSRV_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(WEBSRV_PC_SBINDIR [==[${websrv_pc_sbindir}]==])
    set(WEBSRV_PC_INCLUDEDIR [==[${websrv_pc_includedir}]==])
    set(WEBSRV_PC_LIBDIR [==[${websrv_pc_libdir}]==])
    set(WEBSRV_PC_VERSION [==[${PROJECT_VERSION}]==])
    string(CONFIGURE \"\${websrv_pc_text}\" websrv_pc_text @ONLY)
    file(WRITE [==[${websrv_pc_file}]==] \"\${websrv_pc_text}\")
  ")
  install(FILES ${websrv_pc_file} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
