// An answer the server did not compose, written through the plug-in interface (a plug-in's own
// answer, an nph- program's output): the server reads its status line and header block as they
// go out, for the access log and to know whether the answer lets the connection go on.
#ifndef WEBSRV_SERVER_RESPOND_FOREIGN_H
#define WEBSRV_SERVER_RESPOND_FOREIGN_H

#include <cstddef>

#pragma GCC visibility push(hidden)

// What went out of such an answer on the request's socket so far.
struct websrv_foreign_answer {
    int status;          // from its status line; 0 until one went out
    bool header_done;    // its header block has ended (at an empty line)
    bool failed;         // a write of it failed: the client did not get it whole
    bool keep_alive;     // its header says "Connection: keep-alive"
    long long length;    // its header's Content-Length; -1 without one
    long long body;      // bytes behind its header block
};

// At the start of each request: what goes out on `socket` from now on is the request's answer.
void websrv_foreign_begin(int socket);

// Notes `length` bytes written to `fd` through the plug-in interface; only the request's
// socket counts. `failed`: the write failed there.
void websrv_foreign_sent(int fd, const char *data, size_t length, bool failed);

// What went out so far.
const websrv_foreign_answer &websrv_foreign();

#pragma GCC visibility pop

#endif
