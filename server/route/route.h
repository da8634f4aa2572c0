// Where a request goes once its path is known: the CGI gateway, static delivery, or 501.
#ifndef WEBSRV_SERVER_ROUTE_ROUTE_H
#define WEBSRV_SERVER_ROUTE_ROUTE_H

#include <sys/stat.h>

#include "connection.h"

#pragma GCC visibility push(hidden)

// Whether the path the client asked for lies inside the working directory: for a directory
// the directory itself, for anything else the directory that holds it. Checked before any
// hook sees the request, so nothing outside can be probed through a hook or a directory.
bool websrv_requested_path_inside(const char *path, const struct stat &st);

// Answers the request for `path` (attributes in *st): the CGI gateway for a path with the CGI
// pattern, otherwise the file itself for GET, HEAD and POST; any other method gets 501.
// Returns how the request ended.
websrv_outcome websrv_route(websrv_connection *c, char *path, const struct stat *st);

#pragma GCC visibility pop

#endif
