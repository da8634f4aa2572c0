// Static file delivery.
#ifndef WEBSRV_SERVER_STATIC_FILE_H
#define WEBSRV_SERVER_STATIC_FILE_H

#include <sys/stat.h>

#include "connection.h"

#pragma GCC visibility push(hidden)

// Sends the file at `path` (relative to the working directory, known to exist with the
// attributes in *st) on the connection, or its gzip copy when the request accepts one: 404
// for a file outside the working directory or one that cannot be opened, else the answer the
// request's conditions and range ask for (see websrv_decide_file_answer): 304, 416, 206 with
// a part of the file, or 200 with the whole file (only the header block when `head_only`, as
// for HEAD). Returns when the answer is sent or has failed (logged); never exits.
void websrv_serve_static(websrv_connection *c, const char *path, const struct stat *st, bool head_only);

// The content type for `path` from the MIME registry: the text after its last "." (not a
// "." at position 0), compared ignoring case; "text/plain" when there is none or no match.
const char *websrv_content_type(const char *path);

#pragma GCC visibility pop

#endif
