// Taking a connection: the wait on the listening sockets, the accept, and the connection's record.
#include "accept/accept.h"

#include <cerrno>
#include <cstring>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <csignal>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "accept/address.h"
#include "children.h"
#include "log.h"
#include "end/end.h"
#include "parse/request.h"
#include "wait.h"
#include "registry.h"

namespace {

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
bool take_connection(const websrv_plugin_node *node, websrv_accepted *taken)
{
    socklen_t length = sizeof taken->peer;
    taken->fd = accept(node->listen_fd, reinterpret_cast<sockaddr *>(&taken->peer), &length);
    if (taken->fd >= 0) {
        taken->node = node;
        return true;
    }
    if (websrv_try_again() || errno == ECONNABORTED)
        return false;
    websrv_log_errno("Error: Unable to accept socket; Error:%s\n");
    websrv_log(WEBSRV_LOG_ERROR, "Web Server receive packet failed\n");
    websrv_process_exit();
}

// The most programs of earlier connections whose end the wait watches for.
constexpr int programs_watched = 16;

// The waiting itself: poll on every listening socket and the control socket, and on the end of
// any program an earlier connection left working (a process that lasts reaps it at once).
websrv_accepted take_next_connection(int control)
{
    // Listening sockets are below FD_SETSIZE (start-up makes sure), so that many entries do.
    pollfd watched[1 + FD_SETSIZE + programs_watched];
    for (websrv_accepted taken{};;) {
        watched[0] = {control, POLLIN, 0};
        int listeners = 1;
        for (const websrv_plugin_node *node : websrv_plugins()) {
            if (node->listen_fd >= 0 && listeners <= FD_SETSIZE)
                watched[listeners++] = {node->listen_fd, POLLIN, 0};
        }
        const int n = listeners + websrv_programs_watch(watched + listeners, programs_watched);
        if (poll(watched, static_cast<nfds_t>(n), -1) < 0 && errno != EINTR)
            websrv_process_exit();
        if (watched[0].revents != 0)
            websrv_process_exit();
        for (int i = 1; i < listeners; ++i) {
            if (watched[i].revents != 0 && take_connection(owner_of(watched[i].fd), &taken))
                return taken;
        }
        websrv_programs_reap();
    }
}

}  // namespace

void websrv_close_listeners()
{
    for (websrv_plugin_node *node : websrv_plugins()) {
        if (node->listen_fd >= 0)
            close(node->listen_fd);
    }
}

bool websrv_wait_again(int control, pid_t main_pid)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // A main process that died before the request leaves this process to another parent.
    char word;
    return getppid() == main_pid && recv(control, &word, 1, MSG_DONTWAIT | MSG_PEEK) != 0;
}

websrv_accepted websrv_wait_for_connection(int control)
{
    // Named so while it waits, which tells it from a session's process in a process listing.
    // Its own name is read once: a process that lasts comes back here for every connection.
    static char name[16] = {};
    if (name[0] == '\0')
        prctl(PR_GET_NAME, name);
    prctl(PR_SET_NAME, websrv_waiting_name);
    const websrv_accepted taken = take_next_connection(control);
    prctl(PR_SET_NAME, name);
    return taken;
}

// An honest client sends its request header (or TLS hello) at once: a segment of a few hundred
// bytes at least, or the whole of a small one, or a few parts of it.
constexpr ssize_t burst = 512;

bool websrv_came_dripping(int fd, long received)
{
    constexpr unsigned drip_segments = 3;
    tcp_info info{};
    socklen_t length = sizeof info;
    return received < burst && getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
           info.tcpi_data_segs_in >= drip_segments;
}

websrv_arrival websrv_first_bytes(const websrv_accepted &taken)
{
    constexpr char tls_handshake = 0x16;
    constexpr ssize_t tls_record_header = 5;
    char first[burst + 1];
    const ssize_t got = recv(taken.fd, first, burst, MSG_PEEK | MSG_DONTWAIT);
    if (got <= 0)
        return websrv_arrival::none;
    const websrv_plugin_ext *ext = websrv_ext_of(&taken.node->desc);
    if (got == burst || ext == nullptr || (ext->flags & WEBSRV_EXT_MANY_SESSIONS) == 0)
        return websrv_arrival::whole;
    first[got] = '\0';
    // A TLS hello comes in one flight: a part of a small one is a drip however it came.
    const auto *bytes = reinterpret_cast<const unsigned char *>(first);
    if (first[0] == tls_handshake)
        return got >= tls_record_header && got >= tls_record_header + (bytes[3] << 8 | bytes[4])
            ? websrv_arrival::whole : websrv_arrival::part;
    // An honest client's first segment holds its request line whole at least.
    const bool line_whole = strchr(first, '\n') != nullptr;
    return websrv_header_complete(first) || (line_whole && !websrv_came_dripping(taken.fd, got))
        ? websrv_arrival::whole : websrv_arrival::part;
}

void websrv_open_connection(websrv_connection *c, const websrv_accepted &taken)
{
    websrv_session &session = c->session;
    session.buffer = static_cast<char *>(websrv_malloc(WEBSRV_BUFFER_SIZE));
    if (session.buffer == nullptr) {
        websrv_log(WEBSRV_LOG_ERROR, "Error: Memory allocation error\n");
        websrv_log(WEBSRV_LOG_ERROR, "Web Server receive packet failed\n");
        websrv_process_exit();
    }
    memset(session.buffer, 0, WEBSRV_BUFFER_SIZE);
    session.cursor = session.buffer;
    session.socket = taken.fd;
    session.port = taken.node->desc.port;
    record_peer(c, taken.peer);
    websrv_connection_adopt(c, &taken.node->desc);
    // The whole header must have come within the wait of the accept, however it trickles in.
    c->header_deadline = websrv_deadline();
}

