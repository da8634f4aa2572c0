// The environment of a CGI program: what CGI/1.1 and the common CGI libraries expect.
#ifndef WEBSRV_SERVER_CGI_ENV_H
#define WEBSRV_SERVER_CGI_ENV_H

#include "connection.h"

#pragma GCC visibility push(hidden)

// What the environment says of the program beyond the request itself.
struct websrv_cgi_target {
    const char *path;           // the program, relative to the working directory
    const char *absolute_path;  // the same from the root ("SCRIPT_FILENAME")
    const char *document_root;  // the working directory
};

// Builds the program's environment in one block from websrv_malloc: the entries the gateway
// has always set, in their order, then those that CGI libraries and script interpreters
// expect, then every request header as HTTP_* (Content-Type, Content-Length and Authorization
// left out: the first two are there already, the last is never passed on). Returns the
// null-terminated array, owned by the caller (one websrv_free), or nullptr when the block
// could not be had ("Env aborted" is logged; the program then runs without an environment).
char **websrv_cgi_environment(const websrv_connection *c, const websrv_cgi_target &target);

#pragma GCC visibility pop

#endif
