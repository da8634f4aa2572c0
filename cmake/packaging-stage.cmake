# Run by cpack between staging the files and building the Debian packages (see
# packaging.cmake): moves the plug-in author's files from websrv's tree to websrv-dev's, and
# compresses the manual pages and changelogs as Debian packages carry them.
set(websrv_staged ${CPACK_TEMPORARY_DIRECTORY})

# The port file and https.so's certificate directory are fixed in the server when it is
# built. A build made for trying the server out, with them in the build tree, would write
# there on every machine the package goes to: it is not packaged.
foreach(path IN LISTS CPACK_WEBSRV_FIXED_PATHS)
  if(NOT IS_ABSOLUTE "${path}")
    message(FATAL_ERROR "packaging-stage.cmake: ${path} is not an absolute path; configure the build with the device's paths")
  endif()
  foreach(tree IN LISTS CPACK_WEBSRV_TREES)
    string(FIND "${path}/" "${tree}/" at)
    if(at EQUAL 0)
      message(FATAL_ERROR "packaging-stage.cmake: the server was built for ${path}, inside ${tree}; configure the build with the device's paths (-DWEBSRV_PORT_FILE, -DWEBSRV_TLS_DIR)")
    endif()
  endforeach()
endforeach()
if(NOT IS_DIRECTORY ${websrv_staged}/server OR NOT IS_DIRECTORY ${websrv_staged}/devel)
  message(FATAL_ERROR "packaging-stage.cmake: no staged packages in ${websrv_staged}")
endif()

foreach(path IN LISTS CPACK_WEBSRV_DEV_PATHS)
  if(NOT EXISTS ${websrv_staged}/server/${path})
    message(FATAL_ERROR "packaging-stage.cmake: ${path} was not installed")
  endif()
  get_filename_component(parent ${path} DIRECTORY)
  file(MAKE_DIRECTORY ${websrv_staged}/devel/${parent})
  file(RENAME ${websrv_staged}/server/${path} ${websrv_staged}/devel/${path})
  # Directories the move left empty (usr/include) go too.
  while(parent)
    file(GLOB left ${websrv_staged}/server/${parent}/*)
    if(left)
      break()
    endif()
    file(REMOVE_RECURSE ${websrv_staged}/server/${parent})
    get_filename_component(parent ${parent} DIRECTORY)
  endwhile()
endforeach()

# gzip -n: no name or time stamp in the header, so the same file compresses the same.
file(GLOB_RECURSE websrv_staged_files LIST_DIRECTORIES false ${websrv_staged}/*)
list(FILTER websrv_staged_files INCLUDE REGEX "/share/man/man[1-9]/[^/]+\\.[1-9]$|/share/doc/[^/]+/changelog\\.Debian$")
foreach(file IN LISTS websrv_staged_files)
  execute_process(COMMAND gzip -9 -n -f ${file} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "packaging-stage.cmake: gzip ${file} failed")
  endif()
endforeach()
