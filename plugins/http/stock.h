// What the parts of the stock plug-ins offer each other. http.so is http.cpp with the parts
// below; https.so is the same with tls.cpp and tls_relay.cpp in place of tls_none.cpp.
#ifndef WEBSRV_STOCK_H
#define WEBSRV_STOCK_H

#include <cstddef>
#include <span>

#include "websrv_plugin.h"

// Results of an option hook (see on_option in websrv_plugin.h).
constexpr int option_taken = 0;
constexpr int option_not_ours = 1;
constexpr int option_rejected = -1;

// The longest file path an option may name, terminating zero included.
constexpr size_t stock_path_size = 1024;

// The plug-in's name as its log messages begin with it: "http" or "https".
extern const char stock_name[];

// ---- options.cpp: option tables and helpers for option hooks -------------------------------

// One option of a part, a row of the part's table: the option as typed, how many values follow
// it, their names as the manual's line for the option has them ("prefix file"; "" for none),
// whether its setter says itself what a missing value should have been (a port number), and
// the setter, given the command line at its first value (values[-1] is the option; a missing
// value is null): 0, or -1 after logging why not. A new option is one row.
struct stock_option {
    char name[12];
    int values;
    char manual[16];
    bool reports_missing;
    int (*set)(char **values);
};

// Takes argv[*index] when it is an option of `table`: checks that its values are there, acts
// on it and moves *index past it. Returns an option hook's result.
int option_take(std::span<const stock_option> table, int *index, char **argv);

// The value that follows the option at argv[index], or nullptr after logging that it is missing.
const char *option_value(int index, char **argv);
// The port number in `value` (decimal digits only, 1 to 65535), or -1 after logging (a
// missing value, nullptr, counts as an empty one).
int option_port(const char *option, const char *value);
// Takes "OPTION N": registers `desc` again on port N. Returns 0, or -1 after logging.
int option_move_to_port(websrv_plugin_desc *desc, const char *option, const char *value);
// Copies `value` into `out` as an absolute path, taken from the working directory in force
// now (before a later "-d" changes it). False after logging when it does not fit.
bool option_path(const char *option, const char *value, char (&out)[stock_path_size]);
// The session's info record, or nullptr when the server provides none this plug-in can use.
websrv_session_info *session_info(websrv_session *session);

// ---- answer.cpp: answers of the plug-in's own, and the "-header" lines --------------------

// "-header LINE".
std::span<const stock_option> header_options();
// Every "-header" line, each ending in CR LF; nullptr when there are none. Lives for ever.
const char *header_lines();
// Answers the session's request with `status` and the server's error page for it, the header
// lines in `extra` (each ending in CR LF; may be empty) among the answer's (the server composes
// it: websrv_answer_send). Always returns 0 (a hook's "answered"): a client that went away gets
// nothing.
int answer_send(websrv_session *session, int status, const char *extra);
// Appends `text` to `out` (size bytes, zero-terminated, starting at out[*length]),
// percent-encoding every byte that cannot stand in a URL as it is: all of them in decoded
// text (a path), all but "%" escapes and "?" in raw text (a query as the client sent it).
// False when the result would not fit (`out` then ends where it did).
bool append_url_text(char *out, size_t size, size_t *length, const char *text, bool raw);

// ---- hosts.cpp: the names the device answers to ---------------------------------------------

// "-host NAME".
std::span<const stock_option> host_options();
// Whether `host`, a Host value ("name[:port]", "[address]:port"), names the device: without
// "-host" every host does; with it, a listed name (letter case aside) or an IP literal.
bool host_is_ours(const char *host);
// Child, first on the route: answers 421 for a Host that is not ours. 0 when it answered, 1 when
// the request may go on (also without a Host).
int host_route(websrv_session *session);

// ---- auth.cpp: password-protected paths ---------------------------------------------------

// "-auth PREFIX FILE" and "-realm TEXT".
std::span<const stock_option> auth_options();
// Main process, once at start-up: the state all connection children share. 0, or -1 logged.
int auth_start();
// Child: checks the request against the protected prefixes. 0 when it answered (401, 429 or
// 500), 1 when the request may go on (with REMOTE_USER set when a password was checked).
int auth_request(websrv_session *session);

// ---- directory.cpp: each directory's own index ----------------------------------------------

// Child: answers 301 for a directory named without its final slash. 0 when it answered, 1
// otherwise.
int directory_request(websrv_session *session);
// Child, on_directory: the directory's own index.html. 0, or -1 when the path does not fit.
int directory_index(websrv_session *session, char *path);

// ---- status.cpp: the status endpoint --------------------------------------------------------

// "-status PATH".
std::span<const stock_option> status_options();
// Main process, at start-up: the server's counters.
void status_counters(const websrv_server_counters *counters);
// The server's counters, in any process once started; nullptr before (or from an older server).
const websrv_server_counters *server_counters();
// Child, on the route: answers the status path. 0 when it answered, 1 otherwise.
int status_route(websrv_session *session);

// ---- websocket.cpp: WebSocket connections bridged to a program ------------------------------

// "-websocket PREFIX PROGRAM".
std::span<const stock_option> websocket_options();
// Child, on the route (after the password): takes a WebSocket upgrade under a prefix over and
// relays it to its program until either ends; refuses other requests there. 0 when it
// answered, 1 otherwise.
int websocket_route(websrv_session *session);

// ---- tls.cpp (https.so) or tls_none.cpp (http.so) -----------------------------------------

// Registers the TLS port's descriptor, a copy of `plain` under its own name and port, and
// gives `plain` what it needs as the plain port of https.so. Returns 1 when it did (the plain
// port is then opened only when "-port" asks for it), 0 in http.so, -1 on failure (logged).
int tls_register(websrv_plugin_desc *plain);
// "-tls-port", "-cert", "-key" and "-redirect" (none in http.so).
std::span<const stock_option> tls_options();
// Main process, once at start-up: the certificate, the key and the TLS context. 0 or -1.
int tls_start();
// Child, first thing in a connection on the TLS port: carries it over TLS. 0 or -1.
int tls_session_init(websrv_session *session);
// Main process: a WEBSRV_EVENT_* of the server's (the pair checked, the engine started once
// privileges are dropped, the pair read again on SIGUSR1). Below 0 when a check failed.
int tls_event(int event);
// Child, on the route: on https.so's plain port with "-redirect", answers the request 301 with
// the same target on the TLS port. 0 when it answered, 1 otherwise (and always in http.so).
int tls_redirect(websrv_session *session);

#endif
