// What a request asks of a static file beyond its path: whether it changed (If-Modified-Since),
// which of its bytes (Range, If-Range) and whether a gzip copy will do (Accept-Encoding).
#ifndef WEBSRV_SERVER_NEGOTIATE_H
#define WEBSRV_SERVER_NEGOTIATE_H

#include <sys/stat.h>
#include <sys/types.h>

#include "parse/headers.h"
#include "websrv_plugin.h"

#pragma GCC visibility push(hidden)

// A part of a file: `length` bytes from offset `start`.
struct websrv_byte_range {
    off_t start;
    off_t length;
};

// How a file is answered, as the request's conditions and range decide.
struct websrv_file_answer {
    int status;                // 200, 206, 304 or 416
    websrv_byte_range range;   // the bytes of the file to send: none for 304 and 416
    char lines[128];           // header lines for the answer's header block ("" for none)
};

// Decides the answer for a file with the attributes `st` (those of the gzip copy sent in its
// place when `gzip`): 304 when If-Modified-Since is not older than the file; 206 for one
// Range of a GET that overlaps the file (its end held at the file's), with Content-Range;
// 416, with "Content-Range: bytes */SIZE", for one that starts at or beyond the end (or the
// last 0 bytes); otherwise 200 and the whole file. Several ranges (or Range lines), a
// malformed range (numbers beyond what an offset holds included), a suffix range of an empty
// file, or an If-Range that is not the HTTP date of the file's time ask for the whole file.
// A gzip copy's answers (416 aside) carry Content-Encoding and Vary. Cannot fail.
// `headers` is the request's header index.
void websrv_decide_file_answer(const websrv_session *session, const websrv_header_index &headers,
                               const struct stat &st, bool gzip, websrv_file_answer *answer);

// The file to send for the regular file `path` (attributes in *st): its gzip copy, FILE.gz
// written into `gzip_path` (WEBSRV_PATH_MAX bytes), when the request's Accept-Encoding (its
// last such line) lists gzip with a weight above 0 and FILE.gz is a regular file no older than
// FILE; *st then holds its attributes. Otherwise `path`, and *st is left alone.
const char *websrv_gzip_copy(const websrv_header_index &headers, const char *path, char *gzip_path, struct stat *st);

#pragma GCC visibility pop

#endif
