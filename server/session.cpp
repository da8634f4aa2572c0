// The connection's own process: accept, read and parse the request, offer it to the plug-in's
// hooks, route it to static delivery or the CGI gateway, end. Every path ends the process with
// status 0, through the session's clean-up once its buffer exists.
#include "session.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "access_log.h"
#include "cgi.h"
#include "connection.h"
#include "io.h"
#include "path.h"

#include "registry.h"
#include "request.h"
#include "response.h"
#include "static_file.h"

namespace {

// Notes the address the connection came in on, as a server name ("[...]" for IPv6), for CGI
// programs of requests without a Host header.
void record_local(websrv_connection *c)
{
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (getsockname(c->session.socket, reinterpret_cast<sockaddr *>(&local), &length) != 0)
        return;
    if (local.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(local).sin_addr, c->local_name,
                  sizeof c->local_name);
        return;
    }
    char text[INET6_ADDRSTRLEN];
    if (local.ss_family == AF_INET6 &&
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 &>(local).sin6_addr, text, sizeof text) != nullptr)
        snprintf(c->local_name, sizeof c->local_name, "[%s]", text);
}

// Fills the session's info record with the client's address, as the accept gave it.
void record_peer(websrv_connection *c, const sockaddr_storage &peer)
{
    websrv_session_info &info = c->info;
    info.size = sizeof info;
    info.peer = peer;
    const auto &v4 = reinterpret_cast<const sockaddr_in &>(peer);
    c->session.client_addr = v4.sin_addr;
    info.peer_port = ntohs(v4.sin_port);
    if (inet_ntop(AF_INET, &v4.sin_addr, info.peer_text, sizeof info.peer_text) == nullptr)
        info.peer_text[0] = '\0';
    c->session.reserved = &info;
}

// Accepts the connection that made the listening socket ready and builds its record. Ends the
// process (without a session to clean up) when there is no connection or no buffer.
void open_connection(websrv_connection *c, const websrv_plugin_node *node)
{
    sockaddr_storage peer{};
    socklen_t peer_length = sizeof peer;
    const int fd = accept(node->listen_fd, reinterpret_cast<sockaddr *>(&peer), &peer_length);
    if (fd < 0) {
        log_msg(WEBSRV_LOG_ERROR, "Error: Unable to accept socket; Error:%s\n", strerror(errno));
        log_msg(WEBSRV_LOG_ERROR, "Web Server receive packet failed\n");
        websrv_process_exit();
    }
    websrv_session &session = c->session;
    session.buffer = static_cast<char *>(websrv_malloc(WEBSRV_BUFFER_SIZE));
    if (session.buffer == nullptr) {
        log_msg(WEBSRV_LOG_ERROR, "Error: Memory allocation error\n");
        log_msg(WEBSRV_LOG_ERROR, "Web Server receive packet failed\n");
        websrv_process_exit();
    }
    memset(session.buffer, 0, WEBSRV_BUFFER_SIZE);
    session.cursor = session.buffer;
    session.socket = fd;
    session.port = node->desc.port;
    record_peer(c, peer);
    record_local(c);
    websrv_connection_adopt(c, &node->desc);

}

// Reads until the header is complete. Ends the session when it cannot be: the client went
// quiet or away, or the header does not fit the buffer (answered 431).
void read_header(websrv_connection *c)
{
    websrv_session &session = c->session;
    for (;;) {
        const int room = websrv_request_capacity - session.received;
        const int got = websrv_read_handler(session.socket, session.buffer + session.received,
                                            static_cast<size_t>(room), websrv_connection_desc(c));
        if (got <= 0) {
            websrv_access_read_failed(got < 0 && errno == ETIMEDOUT);
            websrv_connection_end(c, websrv_outcome::logged_failed);
        }
        log_msg(WEBSRV_LOG_DETAIL, "Received %d/%d bytes.\n", got, WEBSRV_BUFFER_SIZE);
        // A hook that claims more than it was allowed cannot push the count past the buffer.
        session.received += got < room ? got : room;
        if (websrv_header_complete(session.buffer))
            return;
        if (session.received >= websrv_request_capacity) {
            log_msg(WEBSRV_LOG_ERROR, "Error: HTTP header cannot be read; buffer exceeds.\n");
            websrv_send_error(c, 431, "Request Header Fields Too Large");
            websrv_connection_end(c, websrv_outcome::logged_failed);
        }
    }
}

// Picks the path to serve for a directory request into `path`. Returns false when the
// session ends here (the hook refused, or the file does not exist: then 404 was sent).
bool directory_path(websrv_connection *c, char *path, struct stat *st)
{
    const websrv_plugin_desc *desc = websrv_connection_desc(c);
    if (desc->on_directory != nullptr) {
        const int result = desc->on_directory(&c->session, path);
        websrv_connection_recheck(c);
        if (result < 0)
            return false;
        path[WEBSRV_PATH_MAX - 1] = '\0';  // whatever the hook wrote, the text ends in the buffer
    } else {
        strcpy(path, "index.html");
    }
    if (stat(path, st) != 0) {
        websrv_send_error(c, 404, "Not Found");
        return false;
    }
    return true;
}

// Calls the plug-in's hook `hook` with the session, if it has one; `absent` when it has not.
int call_session_hook(websrv_connection *c, int (*websrv_plugin_desc::*hook)(websrv_session *), int absent)
{
    const auto function = websrv_connection_desc(c)->*hook;
    if (function == nullptr)
        return absent;
    const int result = function(&c->session);
    websrv_connection_recheck(c);
    return result;
}

// Ends a session the server did not answer in full itself: it failed, or a plug-in's
// on_request answered it. Either way the log gets "Web Server receive packet failed".
[[noreturn]] void end_unanswered(websrv_connection *c)
{
    websrv_connection_end(c, websrv_outcome::logged_failed);
}

// Whether the path the client asked for lies inside the working directory: for a directory
// the directory itself, for anything else the directory that holds it. Checked before any
// hook sees the request, so nothing outside can be probed through a hook or a directory.
bool requested_path_inside(const char *path, const struct stat &st)
{
    bool resolved = true;
    if (!S_ISDIR(st.st_mode))
        return websrv_path_inside_cwd(path, &resolved);
    char inner[WEBSRV_PATH_MAX];
    const int length = snprintf(inner, sizeof inner, "%s/.", path);
    return length > 0 && length < static_cast<int>(sizeof inner) && websrv_path_inside_cwd(inner, &resolved);
}

// Answers the request: the CGI gateway for a path with the CGI pattern, otherwise the file
// itself for GET, HEAD and POST; any other method gets 501.
[[noreturn]] void route(websrv_connection *c, char *path, const struct stat *st)
{
    if (websrv_is_cgi_path(path))
        websrv_cgi_run(c, path);
    const websrv_method method = websrv_method_of(c->session.method);
    if (method == websrv_method::other)
        websrv_send_error(c, 501, "Not Implemented");
    else
        websrv_serve_static(c, path, st, method == websrv_method::head);
    websrv_connection_end(c, websrv_outcome::served);
}

}  // namespace

void websrv_serve_connection(const websrv_plugin_node *node, int done_fd)
{
    if (websrv_mcb.log_level >= WEBSRV_LOG_DETAIL)
        log_msg(WEBSRV_LOG_DETAIL, "Incoming request handled by PID:%d\n", static_cast<int>(getpid()));
    websrv_connection c{};
    c.done_fd = done_fd;
    open_connection(&c, node);
    websrv_access_begin(&c);
    // The hook may unregister the plug-in, which frees `node`: its name is kept for the log.
    const websrv_plugin_desc accepted = c.desc;
    if (call_session_hook(&c, &websrv_plugin_desc::on_session_init, 0) < 0) {
        log_msg(WEBSRV_LOG_ERROR, "Web Srv Error: Plugin Initialization for %.*s Failed\n",
                websrv_name_length(&accepted), accepted.name);
        end_unanswered(&c);
    }
    read_header(&c);
    websrv_access_request(c.session.buffer);  // before parsing writes into the buffer
    if (websrv_parse_request(&c.session) != request_error::none) {
        websrv_send_error(&c, 400, "Bad Request");
        end_unanswered(&c);
    }
    // The path as the client sent it, for CGI programs, before it is decoded in place.
    char sent_path[WEBSRV_BUFFER_SIZE];
    snprintf(sent_path, sizeof sent_path, "%s", c.session.uri);
    c.request_uri = sent_path;
    websrv_prepare_path(&c.session);

    struct stat st;
    if (stat(c.session.uri, &st) != 0 && !websrv_cgi_split_path_info(&c, &st)) {
        websrv_send_error(&c, 404, "Not Found");
        end_unanswered(&c);
    }
    if (!requested_path_inside(c.session.uri, st)) {
        websrv_send_error(&c, 404, "Not Found");
        websrv_connection_end(&c, websrv_outcome::served);
    }
    // 0: the plug-in has answered the request itself.
    if (call_session_hook(&c, &websrv_plugin_desc::on_request, 1) == 0)
        end_unanswered(&c);

    char directory[WEBSRV_PATH_MAX];
    char *path = c.session.uri;
    if (S_ISDIR(st.st_mode)) {
        if (!directory_path(&c, directory, &st))
            end_unanswered(&c);
        path = directory;
    }
    route(&c, path, &st);
}
