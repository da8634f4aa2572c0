// The connection record: everything one process knows about the connection it serves.
#ifndef WEBSRV_SERVER_CONNECTION_H
#define WEBSRV_SERVER_CONNECTION_H

#include "parse/headers.h"
#include "websrv_plugin.h"

#pragma GCC visibility push(hidden)

// How a request ended. `logged_failed` adds the level-1 line "Web Server receive packet
// failed\n": it marks every request the server did not answer in full itself, one that a
// plug-in's on_request answered included.
// `copy_over`: the process is a copy process forked for the request (the CGI body's), whose
// share of the session is over: it ends here.
enum class websrv_outcome { served, logged_failed, copy_over };

struct websrv_connection {
    websrv_session session;       // first, so hooks get its address and we can get back here
    websrv_session_info info{};   // session.reserved points here

    websrv_plugin_desc desc{};    // the descriptor whose hooks this connection goes through
    unsigned desc_taken_at = 0;   // the registry's count of changes when desc was taken
    int done_fd = -1;             // the control socket to the main process ("session over"), or -1
    bool drain = true;            // read what the client sent on before closing (not where
                                  // another process may still read the request body)
    unsigned lasting = 0;         // WEBSRV_LASTING_* bits: 0 for one request on one connection
                                  // in a process of its own, as for every plug-in that did not
                                  // consent to more
    bool may_keep = false;        // the request asks to keep the connection and may have it
                                  // (both written only by keep.cpp)
    bool keep = false;            // the answer keeps the connection for the next request
    bool nonblocking = false;     // the socket has been made non-blocking for file sends
    int requests = 0;             // requests begun on this connection
    long long body_left = 0;      // bytes of the request's body the server has not read yet
    long long body_length = 0;    // the request body's announced length (0 without one)
    bool chunked = false;         // the body comes in chunks (Transfer-Encoding: chunked)
    bool says_close = false;      // the request said "Connection: close"
    bool body_taken = false;      // a plug-in read the whole body through the services table
    bool answered = false;        // a plug-in answered through the services table (keep: its say)
    bool copy_process = false;    // this process is the copy of the request's body into a program
    const char *request_uri = ""; // the request's path as the client sent it (no query)
    const char *path_info = nullptr;  // the path behind a CGI program, decoded, without its "/"
    long long header_deadline = 0;  // when the request header must be complete
    websrv_header_index headers;    // the request's header lines, once parsed
};

// The connection this process serves now (its session's hooks run), or nullptr between
// connections.
extern websrv_connection *websrv_current_connection;

// The connection whose public record is `session`. Only for sessions the server made.
websrv_connection *websrv_connection_of(websrv_session *session);

// The descriptor for the connection's reads, writes, file sends and end: the plug-in's own
// (a copy, so a plug-in that unregisters itself cannot pull it away mid-call) while it is
// registered; one without hooks after it has unregistered itself, which is logged once. The
// registry is looked at again (by the session's port) only when it has changed since the copy
// was taken. Never null.
const websrv_plugin_desc *websrv_connection_desc(websrv_connection *c);

// Takes the descriptor from the node that accepted the connection.
void websrv_connection_adopt(websrv_connection *c, const websrv_plugin_desc *desc);

// The extension record of the connection's plug-in, or nullptr when it has none. Its fields
// beyond the record's `size` count as null: use websrv_ext_hook.
const websrv_plugin_ext *websrv_connection_ext(websrv_connection *c);

// Whether the connection's plug-in lets one process serve many of its sessions.
bool websrv_connection_consents(websrv_connection *c);

// In a process forked from the connection's own (a CGI program or copy process): drops the
// "session over" signal and the access log line, which only the connection's own process gives.
void websrv_connection_forget_done(websrv_connection *c);

#pragma GCC visibility pop

#endif
