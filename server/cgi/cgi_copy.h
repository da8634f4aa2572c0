// The output copy of a CGI request: the program's answer to the client.
#ifndef WEBSRV_SERVER_CGI_COPY_H
#define WEBSRV_SERVER_CGI_COPY_H

#include <sys/types.h>

#include "cgi/cgi_input.h"
#include "connection.h"

#pragma GCC visibility push(hidden)

// Pieces of a body or of the program's output are copied through buffers of this size.
constexpr size_t websrv_cgi_copy_size = WEBSRV_BUFFER_SIZE;

// Where the output copy stands with its client: whether what went out so far ends at a line's
// end (where a comment line may go out between events), and, for an event stream, whether the
// client has closed its sending side and has been sent a comment line to find out whether it left.
struct websrv_cgi_client {
    bool event_stream = false;  // the answer is server-sent events
    bool line_ended = true;     // the last byte that went out was a line feed
    bool closed_side = false;   // the client closed its sending side
    bool probed = false;        // a comment line went out after that
};

// What the output copy needs to know of its request.
struct websrv_cgi_answer {
    int pipe_read;   // the program's output
    int copying;     // closes when the body copy is over; -1 without one
    int client;      // the connection, watched for the client's end while the program is silent
    pid_t program;   // the program, a child of this process

    const char *path;
    bool head_only;  // HEAD: the header alone goes to the client
    websrv_body_pump *pump;  // on a connection that lasts, the body's copy into the program
    websrv_cgi_client *client_state = nullptr;  // the copy's own, set by websrv_cgi_copy_output
};

// Answers the client with the program's output behind the server's status line, each piece as
// it comes. A program that stays silent past the wait before it answers anything, or whose
// client goes away while its output is open, is ended; one that answered is left to finish on
// its own. A client is gone when its connection is reset or fails, or a write to it fails: a
// client that only closed its sending side (as HTTP/1.0 clients may after their request) still
// gets the answer. One that closed its side of an event stream is sent a comment line between
// two events, which a client that left answers with a reset. Returns when the answer is complete or given up (logged). The
// connection stays kept (c->keep) only when the program gave its answer's length and all of
// it, and no more, went out.
void websrv_cgi_copy_output(websrv_connection *c, const websrv_cgi_answer &answer);

#pragma GCC visibility pop

#endif
