// The connection's own process: accept, read and parse the request, offer it to the plug-in's
// hooks, route it to static delivery or the CGI gateway, end. Every path ends the process with
// status 0, through the session's clean-up once its buffer exists.
#include "accept/session.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "end/access_log.h"
#include "accept/address.h"
#include "http_words.h"
#include "paths.h"
#include "cgi/cgi.h"
#include "accept/connection.h"
#include "read/io.h"
#include "life/listener.h"
#include "route/path.h"

#include "registry.h"
#include "parse/request.h"
#include "respond/response.h"
#include "settings.h"
#include "life/share.h"
#include "static/static_file.h"

namespace {

// Notes the address the connection came in on, as a server name ("[...]" for IPv6), for CGI
// programs of requests without a Host header.
void record_local(websrv_connection *c)
{
    websrv_local_host(c->session.socket, c->local_name, sizeof c->local_name, "");
}

// Fills the session's info record with the client's address, as the accept gave it: IPv4
// clients as IPv4 (also when they came in on an IPv6 socket), the session's IPv4 field
// 0.0.0.0 for IPv6 clients.
void record_peer(websrv_connection *c, const sockaddr_storage &accepted)
{
    websrv_session_info &info = c->info;
    info.size = sizeof info;
    info.peer = accepted;
    websrv_address_unmap(&info.peer);
    if (info.peer.ss_family == AF_INET)
        c->session.client_addr = reinterpret_cast<const sockaddr_in &>(info.peer).sin_addr;
    info.peer_port = websrv_address_port(info.peer);
    websrv_address_text(info.peer, info.peer_text, sizeof info.peer_text);
    c->session.reserved = &info;
}

// A connection taken from a listening socket, with the plug-in whose socket it was.
struct accepted_connection {
    const websrv_plugin_node *node;
    int fd;
    sockaddr_storage peer;
};

// The registered plug-in whose listening socket is `fd`, or nullptr.
const websrv_plugin_node *owner_of(int fd)
{
    for (const websrv_plugin_node *node : websrv_plugins()) {
        if (node->listen_fd == fd)
            return node;
    }
    return nullptr;
}

// Takes the connection waiting on `node`'s socket. Returns false when another process took it
// first (no error: the wait goes on); ends the process when accepting fails otherwise.
bool take_connection(const websrv_plugin_node *node, accepted_connection *taken)
{
    socklen_t length = sizeof taken->peer;
    taken->fd = accept(node->listen_fd, reinterpret_cast<sockaddr *>(&taken->peer), &length);
    if (taken->fd >= 0) {
        taken->node = node;
        return true;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR)
        return false;
    log_msg(WEBSRV_LOG_ERROR, "Error: Unable to accept socket; Error:%s\n", strerror(errno));
    log_msg(WEBSRV_LOG_ERROR, "Web Server receive packet failed\n");
    websrv_process_exit();
}

accepted_connection take_next_connection(int control);

// Waits, using no CPU, until a client connects to any plug-in's listening socket, and takes
// the connection; or until the main process says on `control` that the server stops (then
// the process ends without a connection).
accepted_connection wait_for_connection(int control)
{
    // Named so while it waits, which tells it from a session's process in a process listing.
    char name[16] = {};
    prctl(PR_GET_NAME, name);
    prctl(PR_SET_NAME, websrv_waiting_name);
    const accepted_connection taken = take_next_connection(control);
    prctl(PR_SET_NAME, name);
    return taken;
}

// The waiting itself: poll on every listening socket and the control socket.
accepted_connection take_next_connection(int control)
{
    // Listening sockets are below FD_SETSIZE (start-up makes sure), so that many entries do.
    pollfd watched[FD_SETSIZE + 1];
    watched[0] = {control, POLLIN, 0};
    int n = 1;
    for (const websrv_plugin_node *node : websrv_plugins()) {
        if (node->listen_fd >= 0 && n <= FD_SETSIZE)
            watched[n++] = {node->listen_fd, POLLIN, 0};
    }

    for (accepted_connection taken{};;) {
        if (poll(watched, static_cast<nfds_t>(n), -1) < 0 && errno != EINTR)
            websrv_process_exit();
        if (watched[0].revents != 0)
            websrv_process_exit();
        for (int i = 1; i < n; ++i) {
            if (watched[i].revents != 0 && take_connection(owner_of(watched[i].fd), &taken))
                return taken;
        }
    }
}

// Builds the record of an accepted connection. Ends the process (without a session to clean
// up) when no buffer can be had.
void open_connection(websrv_connection *c, const accepted_connection &taken)
{
    websrv_session &session = c->session;
    session.buffer = static_cast<char *>(websrv_malloc(WEBSRV_BUFFER_SIZE));
    if (session.buffer == nullptr) {
        log_msg(WEBSRV_LOG_ERROR, "Error: Memory allocation error\n");
        log_msg(WEBSRV_LOG_ERROR, "Web Server receive packet failed\n");
        websrv_process_exit();
    }
    memset(session.buffer, 0, WEBSRV_BUFFER_SIZE);
    session.cursor = session.buffer;
    session.socket = taken.fd;
    session.port = taken.node->desc.port;
    record_peer(c, taken.peer);
    record_local(c);
    websrv_connection_adopt(c, &taken.node->desc);
    // The whole header must have come within the wait of the accept, however it trickles in.
    c->header_deadline = websrv_deadline();
}

// Reads until the header is complete. Ends the session when it cannot be: the client went
// quiet or away, or the header does not fit the buffer (answered 431).
void read_header(websrv_connection *c)
{
    websrv_session &session = c->session;
    for (;;) {
        const int room = websrv_request_capacity - session.received;
        const int got = websrv_read_until(session.socket, session.buffer + session.received,
                                          static_cast<size_t>(room), websrv_connection_desc(c), c->header_deadline);
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
            websrv_send_error(c, 431);
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
        if (result < 0)
            return false;
        path[WEBSRV_PATH_MAX - 1] = '\0';  // whatever the hook wrote, the text ends in the buffer
    } else {
        memcpy(path, websrv_index_file, sizeof websrv_index_file);
    }
    if (stat(path, st) != 0) {
        websrv_send_error(c, 404);
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
    return function(&c->session);
}

// Answers a client that holds its share of the session slots already: 503, and when to try
// again, then the session ends.
[[noreturn]] void refuse_over_share(websrv_connection *c)
{
    log_msg(WEBSRV_LOG_ERROR, "WebSrv Error: %s holds its share of the sessions; answered 503\n", c->info.peer_text);
    websrv_send_error(c, 503, "Retry-After: 1\r\n");
    websrv_connection_end(c, websrv_outcome::served);
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
        websrv_send_error(c, 501);
    else
        websrv_serve_static(c, path, st, method == websrv_method::head);
    websrv_connection_end(c, websrv_outcome::served);
}

}  // namespace

void websrv_serve_next(int control, int slot)
{
    const accepted_connection taken = wait_for_connection(control);
    websrv_close_listeners();
    // A session under way is served to its end even when the main process is killed.
    prctl(PR_SET_PDEATHSIG, 0);


    // With slots to spare, the main process forks the next waiting child now.
    if (websrv_config.max_sessions > 1)
        (void)!send(control, "a", 1, MSG_NOSIGNAL);
    if (websrv_mcb.log_level >= WEBSRV_LOG_DETAIL)
        log_msg(WEBSRV_LOG_DETAIL, "Incoming request handled by PID:%d\n", static_cast<int>(getpid()));
    websrv_connection c{};
    c.done_fd = control;
    open_connection(&c, taken);
    websrv_access_begin(&c.session, &c.info, &c.headers);
    // The hook may unregister the plug-in, which frees its node: its name is kept for the log.
    const websrv_plugin_desc accepted = c.desc;
    if (call_session_hook(&c, &websrv_plugin_desc::on_session_init, 0) < 0) {
        log_msg(WEBSRV_LOG_ERROR, "Web Srv Error: Plugin Initialization for %.*s Failed\n",
                websrv_name_length(&accepted), accepted.name);
        end_unanswered(&c);
    }
    if (!websrv_share_take(slot, c.info.peer))
        refuse_over_share(&c);
    read_header(&c);
    websrv_access_request(c.session.buffer);  // before parsing writes into the buffer
    if (websrv_parse_request(&c.session, c.info.peer_text, &c.headers) != request_error::none) {
        websrv_send_error(&c, 400);
        end_unanswered(&c);
    }
    // The path as the client sent it, for CGI programs, before it is decoded in place.
    char sent_path[WEBSRV_BUFFER_SIZE];
    snprintf(sent_path, sizeof sent_path, "%s", c.session.uri);
    c.request_uri = sent_path;
    websrv_prepare_path(&c.session);

    struct stat st;
    if (stat(c.session.uri, &st) != 0 && !websrv_cgi_split_path_info(&c, &st)) {
        websrv_send_error(&c, 404);
        end_unanswered(&c);
    }
    if (!requested_path_inside(c.session.uri, st)) {
        websrv_send_error(&c, 404);
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
