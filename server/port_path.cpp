// Where this executable keeps the port file: fixed at build time. A test build may take the
// path from WEBSRV_TEST_PORT_FILE so that parallel tests each get a file of their own.
#include <cstdlib>

#include "life/port_file.h"

const char *websrv_port_file_path()
{
#ifdef WEBSRV_TEST_BUILD
    if (const char *path = getenv("WEBSRV_TEST_PORT_FILE"); path != nullptr && path[0] != '\0')
        return path;
#endif
    return WEBSRV_PORT_FILE;
}
