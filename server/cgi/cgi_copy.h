// The output copy of a CGI request: the program's answer to the client.
#ifndef WEBSRV_SERVER_CGI_COPY_H
#define WEBSRV_SERVER_CGI_COPY_H

#include <sys/types.h>

#include "cgi/cgi_input.h"
#include "connection.h"

#pragma GCC visibility push(hidden)

// Pieces of a body or of the program's output are copied through buffers of this size.
constexpr size_t websrv_cgi_copy_size = WEBSRV_BUFFER_SIZE;

// What the output copy needs to know of its request.
struct websrv_cgi_answer {
    int pipe_read;   // the program's output
    int copying;     // closes when the body copy is over; -1 without one
    int client;      // the connection, watched for the client's end while the program is silent
    pid_t program;   // the program, a child of this process

    const char *path;
    bool head_only;  // HEAD: the header alone goes to the client
    websrv_body_pump *pump;  // on a connection that lasts, the body's copy into the program
};

// Answers the client with the program's output behind the server's status line, each piece as
// it comes. A program that stays silent past the wait before it answers anything, or whose
// client goes away while its output is open, is ended; one that answered is left to finish on
// its own. Returns when the answer is complete or given up (logged). The
// connection stays kept (c->keep) only when the program gave its answer's length and all of
// it, and no more, went out.
void websrv_cgi_copy_output(websrv_connection *c, const websrv_cgi_answer &answer);

#pragma GCC visibility pop

#endif
