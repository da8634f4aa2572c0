// The connection record: everything one process knows about the connection it serves, and
// the end of every process that serves a share of one.
#ifndef WEBSRV_SERVER_CONNECTION_H
#define WEBSRV_SERVER_CONNECTION_H

#include "parse/headers.h"
#include "websrv_plugin.h"

struct websrv_connection {
    websrv_session session;       // first, so hooks get its address and we can get back here
    websrv_session_info info{};   // session.reserved points here

    websrv_plugin_desc desc{};    // the descriptor whose hooks this connection goes through
    unsigned desc_taken_at = 0;   // the registry's count of changes when desc was taken
    int done_fd = -1;             // "session over" pipe to the main process, or -1
    bool drain = true;            // read what the client sent on before closing (not where
                                  // another process may still read the request body)
    const char *request_uri = ""; // the request's path as the client sent it (no query)
    const char *path_info = nullptr;  // the path behind a CGI program, decoded, without its "/"
    char local_name[48] = {};     // the address the connection came in on, as a server name
    long long header_deadline = 0;  // when the request header must be complete
    websrv_header_index headers;    // the request's header lines, once parsed
};

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

// How a process's share of a session ended. `logged_failed` adds the level-1 line "Web Server
// receive packet failed\n": it marks every session the server did not answer in full itself,
// one that a plug-in's on_request answered included.
enum class websrv_outcome { served, logged_failed };

// Ends this process's share of the connection: closes its socket, calls on_session_end, frees
// the buffer, tells the main process that the session is over (from the connection's own
// process) and exits with status 0.
[[noreturn]] void websrv_connection_end(websrv_connection *c, websrv_outcome outcome);

// Leaves a process of the server's without any clean-up of a session: the log is flushed and
// the process exits with status 0.
[[noreturn]] void websrv_process_exit();

// In a process forked from the connection's own (a CGI copy process): drops the "session
// over" signal, which only the connection's own process gives.
void websrv_connection_forget_done(websrv_connection *c);

#endif
