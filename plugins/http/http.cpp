// http - the stock plug-in that serves a device's web pages.
//
// It is an ordinary plug-in, built only against websrv_plugin.h, and its three parts
// (descriptor, plugin_init, hooks) are the template for your own. Load it with
//
//     websrv -plugin path/to/http.so [-port N] [-host NAME]... [-auth PREFIX FILE]... [-realm TEXT]
//            [-header "Name: value"]... [-status PATH] [-websocket PREFIX PROGRAM]...
//
// It gives the server a port to listen on (8080 unless "-port N" follows it on the command
// line) and teaches the server the content types a device UI needs. Its hooks add what a
// device UI asks for beyond files and CGI programs, each in a file of its own: the host names
// the device answers to (hosts.cpp), paths behind a password (auth.cpp), header lines for every
// response (answer.cpp), each directory's own index (directory.cpp), a status endpoint
// (status.cpp) and WebSocket connections bridged to programs (websocket.cpp). https.so is
// built from the same files and adds TLS (tls.cpp).

#include "passwords.h"
#include "stock.h"
#include "websrv_answer.h"

namespace {

int http_option(int *index, char **argv);
int http_start(int listen_fd);
int http_session_init(websrv_session *session);
int http_request(websrv_session *session);
int http_directory(websrv_session *session, char *path);
int http_route(websrv_session *session);
int http_event(int event);

// What we add to the descriptor through its `reserved` slot: consent to serve many sessions in
// one process and on one connection ("-k", "-r"), our own URLs, and the server's counters for
// the status endpoint. Our hooks keep nothing of a session in globals beyond its end.
websrv_plugin_ext http_ext = {
    .size = sizeof(websrv_plugin_ext),
    .flags = WEBSRV_EXT_MANY_SESSIONS,
    .on_route = http_route,            // "-host", passwords, then "-websocket" and "-status"
    .on_open = nullptr,
    .on_close = nullptr,
    .on_pending = nullptr,
    .on_counters = status_counters,
    .on_event = http_event,            // -check, start-up over, SIGUSR1
    .on_services = websrv_answer_use,  // what our answers and the WebSocket part ask the server for
};

// 1. The descriptor. The server copies it when it is registered, so one static record is
//    enough even when we register again with another port. A null hook slot means the
//    server's own behaviour.
websrv_plugin_desc http_desc = {
    .version_major = WEBSRV_VERSION_MAJOR,
    .version_minor = WEBSRV_VERSION_MINOR,
    .name = "http",
    .port = 8080,
    .on_option = http_option,              // takes "-port N" and the options of the parts
    .on_start = http_start,                // sets up what the connections share
    .on_session_init = http_session_init,  // header lines; TLS on https.so's TLS port
    .on_read = nullptr,                    // the server reads the socket itself
    .on_write = nullptr,                   // the server writes the socket itself
    .on_request = http_request,            // "/dir" sent on to "/dir/"
    .reserved = &http_ext,                 // the extension record above
    .on_directory = http_directory,        // each directory's own index.html
    .on_sendfile = nullptr,                // the server uses sendfile()
    .on_session_end = nullptr,             // nothing to tidy up
};

// Content types beyond the server's built-in html and gif. Extensions are matched ignoring
// case, and at most 9 characters of extension and 29 of type fit.
const char *const content_types[][2] = {
    {"htm", "text/html"},          {"css", "text/css"},
    {"js", "text/javascript"},     {"mjs", "text/javascript"},
    {"json", "application/json"},  {"txt", "text/plain"},
    {"xml", "application/xml"},    {"csv", "text/csv"},
    {"png", "image/png"},          {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},        {"svg", "image/svg+xml"},
    {"ico", "image/x-icon"},       {"webp", "image/webp"},
    {"pdf", "application/pdf"},    {"wasm", "application/wasm"},
    {"woff", "font/woff"},         {"woff2", "font/woff2"},
    {"ttf", "font/ttf"},           {"bin", "application/octet-stream"},
    {"gz", "application/gzip"},    {"zip", "application/zip"},
};

}  // namespace

// 2. The one symbol every plug-in exports. The server calls it right after loading us.
extern "C" WEBSRV_API int plugin_init(void)
{
    http_desc.port = 8080;  // loaded again in the same process: start from the default
    for (const auto &entry : content_types)
        websrv_add_supported_mime(entry[0], entry[1]);
    // https.so registers its TLS port here and opens a plain one only for "-port".
    const int tls = tls_register(&http_desc);
    if (tls != 0)
        return tls < 0 ? -1 : 0;
    return websrv_register_plugin(&http_desc);
}

namespace {

// 3. The hooks.

// The option hook is offered every argument the server does not know itself, with *index
// pointing at it. Take ours by advancing *index and returning 0; return 1 for anything else so
// the next plug-in is asked; -1 rejects the command line. "-port N" moves us to port N: the
// server copied our descriptor, so we unregister it, change the port and register it again.
int set_port(char **values)
{
    return option_move_to_port(&http_desc, values[-1], values[0]);
}

constexpr stock_option own_options[] = {
    {"-port", 1, "n", true, set_port},
};

int http_option(int *index, char **argv)
{
    // Each part has a table of its own options; the first that has the option takes it.
    const std::span<const stock_option> tables[] = {own_options,      header_options(),    host_options(),
                                                    auth_options(),   status_options(),    websocket_options(),
                                                    tls_options()};
    for (const std::span<const stock_option> table : tables) {
        const int result = option_take(table, index, argv);
        if (result != option_not_ours)
            return result;
    }
    return option_not_ours;
}

// Main process, once the port listens (https.so may have two ports: the work is done once).
int http_start(int)
{
    static bool started = false;
    if (started)
        return 0;
    started = true;
    return auth_start() < 0 || tls_start() < 0 ? -1 : 0;
}

// Main process: the server's events. "-check" reads the password files and the TLS pair as the
// start would; the rest is the TLS part's.
int http_event(int event)
{
    // https.so's two ports share the hook: the check and the start are done once, and each
    // SIGUSR1 once.
    static int once_done = 0;
    static int reloads_done = 0;
    const int bit = 1 << event;
    const websrv_server_counters *counters = server_counters();
    if (event == WEBSRV_EVENT_RELOAD && counters != nullptr && counters->reloads == reloads_done)
        return 0;
    if (event != WEBSRV_EVENT_RELOAD && (once_done & bit) != 0)
        return 0;
    once_done |= bit;
    if (event == WEBSRV_EVENT_CHECK && auth_start() < 0)
        return -1;
    if (event == WEBSRV_EVENT_RELOAD) {
        reloads_done = counters != nullptr ? counters->reloads : 0;
        passwords_reread();
    }
    return tls_event(event);
}

// Child, first in every connection: the "-header" lines go into every header block the
// server sends; on a TLS port the connection is carried over TLS from here on.
int http_session_init(websrv_session *session)
{
    if (websrv_session_info *info = session_info(session))
        info->header_lines = header_lines();
    return tls_session_init(session);
}

// Child, before the path is looked up: a Host that "-host" does not list is refused first (so
// that no page of another site reaches anything), then the password of a protected path is
// asked for (so that nothing behind it can be probed), then WebSocket paths and the status
// endpoint. 0 when a part has answered, 1 to let the server go on.
int http_route(websrv_session *session)
{
    if (tls_redirect(session) == 0 || host_route(session) == 0 || auth_request(session) == 0 ||
        websocket_route(session) == 0)
        return 0;
    return status_route(session);
}

// Child, for a path that exists: 0 when a part has answered, 1 to let the server go on.
int http_request(websrv_session *session)
{
    return directory_request(session);
}

int http_directory(websrv_session *session, char *path)
{
    return directory_index(session, path);
}

}  // namespace
