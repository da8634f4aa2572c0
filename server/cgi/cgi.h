// The CGI gateway: runs a program for a request whose path contains the CGI pattern.
#ifndef WEBSRV_SERVER_CGI_H
#define WEBSRV_SERVER_CGI_H

#include <sys/stat.h>

#include "connection.h"

#pragma GCC visibility push(hidden)

// Runs the program at `path` (relative to the working directory, writable) for the
// connection and answers the client with its output, in the connection's process; for a POST
// on a connection of one request, an input copy process feeds the body in and ends its share
// of the session when its copy is done. A request that is refused (method, confinement, no
// pipe or process) is answered with an error page. Returns how the request ended.
websrv_outcome websrv_cgi_run(websrv_connection *c, char *path);

#pragma GCC visibility pop

#endif
