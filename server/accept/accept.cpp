// Taking a connection: the wait on the listening sockets, the accept, and the connection's record.
#include "accept/accept.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <csignal>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "address.h"
#include "children.h"
#include "log.h"
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
    taken->fd = -1;
    return true;
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
        if ((poll(watched, static_cast<nfds_t>(n), -1) < 0 && errno != EINTR) || watched[0].revents != 0)
            return {nullptr, -1, {}};
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

bool websrv_open_connection(websrv_connection *c, const websrv_accepted &taken)
{
    websrv_session &session = c->session;
    session.buffer = static_cast<char *>(websrv_malloc(WEBSRV_BUFFER_SIZE));
    if (session.buffer == nullptr) {
        websrv_log(WEBSRV_LOG_ERROR, "Error: Memory allocation error\n");
        websrv_log(WEBSRV_LOG_ERROR, "Web Server receive packet failed\n");
        return false;
    }
    memset(session.buffer, 0, WEBSRV_BUFFER_SIZE);
    session.cursor = session.buffer;
    session.socket = taken.fd;
    session.port = taken.node->desc.port;
    record_peer(c, taken.peer);
    websrv_connection_adopt(c, &taken.node->desc);
    // The whole header must have come within the wait of the accept, however it trickles in.
    c->header_deadline = websrv_deadline();
    return true;
}

