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

// Whether `path` is run as a CGI program: it contains the CGI pattern (when one is set).
bool websrv_is_cgi_path(const char *path);

// For a request path that does not exist as a whole: when a leading part of it that contains
// the CGI pattern is an executable regular file, that part becomes the session's uri (the
// rest is cut off at its "/" and becomes c->path_info, its "." and ".." segments resolved)
// and its attributes go into *st. Returns false, leaving the path as it was, when no such part
// exists; false too when the path info climbs above the root ("x.cgi/../../etc"). The longest
// part wins.
bool websrv_cgi_split_path_info(websrv_connection *c, struct stat *st);

#pragma GCC visibility pop

#endif
