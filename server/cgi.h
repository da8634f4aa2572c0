// The CGI gateway: runs a program for a request whose path contains the CGI pattern.
#ifndef WEBSRV_SERVER_CGI_H
#define WEBSRV_SERVER_CGI_H

#include "connection.h"

// Runs the program at `path` (relative to the working directory, writable) for the
// connection. The connection's process becomes the program; the copy processes it forks end
// their share of the session when their copy is done. A request that is refused (method,
// confinement, no pipe or process) is answered with an error page and its session ended.
// Never returns.
[[noreturn]] void websrv_cgi_run(websrv_connection *c, char *path);

#endif
