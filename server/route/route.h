// Where a request goes: everything between its whole header and the part that answers it. The
// request is parsed and its framing checked, its turn among its client's sessions awaited, its
// path decoded and offered to the plug-ins' own URLs, looked up on disk (with the path info
// behind a program), confined to the working directory, offered to on_request, and a directory
// given its index. What is left is a file to send or a program to run, which the caller does.
#ifndef WEBSRV_SERVER_ROUTE_ROUTE_H
#define WEBSRV_SERVER_ROUTE_ROUTE_H

#include <sys/stat.h>

#include "connection.h"

#pragma GCC visibility push(hidden)

// What a request comes to once it is routed.
struct websrv_route_target {
    enum class kind { answered, program, file, refused };
    kind what = kind::answered;
    websrv_outcome outcome = websrv_outcome::served;  // for answered: how the request ended
    char *path = nullptr;                             // for program and file
    struct stat st {};                                // its attributes
    char request_uri[WEBSRV_BUFFER_SIZE];             // the path as the client sent it (c->request_uri)
    char directory[WEBSRV_PATH_MAX];                  // a directory's index, when path is one
};

// Routes the request whose header the connection's buffer holds into *target: answered (by
// the server, for a request it refuses or cannot find, or by a plug-in; target->outcome says
// how it ended), a program to run, a file to send, or refused for its method (501 to answer).
void websrv_route_request(websrv_connection *c, websrv_route_target *target);

// Whether the path the client asked for lies inside the working directory: for a directory
// the directory itself, for anything else the directory that holds it. Checked before any
// hook sees the request, so nothing outside can be probed through a hook or a directory.
bool websrv_requested_path_inside(const char *path, const struct stat &st);

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
