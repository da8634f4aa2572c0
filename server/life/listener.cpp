// Start-up of the listening sockets: one TCP socket per registered plug-in, taking IPv6 and
// IPv4 clients alike (IPv4 alone on a kernel without IPv6).
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "hooks/hooks.h"
#include "counters.h"
#include "http_words.h"
#include "log.h"
#include "registry.h"
#include "services.h"
#include "life/port_file.h"
#include "life/listener.h"

namespace {

// Connections the kernel queues on a listening socket before the server accepts them.
constexpr int listen_backlog = 1024;

// The options of a listening socket, which accepted connections inherit: addresses reused at
// once after a stop; a send on a connection that blocks no longer than the transfer limit, so a
// client that stops reading cannot hold a session's process (and its slot) for ever; and a
// connection handed to a waiting process only once its first bytes have come (or after a
// second without any), so an idle connection opened ahead (browsers open spare ones) takes no
// session slot while it waits.
int set_options(int fd)
{
    const int one = 1;
    const timeval limit{websrv_wait_seconds, 0};
    return setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) |
           setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) |
           setsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &one, sizeof one);
}

int bind_to_device(int fd, const char *device)
{
    const size_t length = strlen(device);
    websrv_log(WEBSRV_LOG_DETAIL, "Setting setsockopt for device %s %d \n", device, static_cast<int>(length));
    if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device, static_cast<socklen_t>(length + 1)) != 0) {
        websrv_log_errno("Unable to bind to device %s Error:%s\n", device);
        return -1;
    }
    return 0;
}

// Binds the wildcard address of the socket's family: every IPv6 and IPv4 address of the
// device, or every IPv4 address. Both address records hold the port at the same place, and
// an all-zero address is the wildcard in both.
int bind_port(int fd, int family, int port)
{
    sockaddr_in6 address{};
    static_assert(offsetof(sockaddr_in6, sin6_port) == offsetof(sockaddr_in, sin_port));
    address.sin6_family = static_cast<sa_family_t>(family);
    address.sin6_port = htons(static_cast<uint16_t>(port));
    return bind(fd, reinterpret_cast<const sockaddr *>(&address),
                family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
}

// A TCP socket for IPv6 clients that takes IPv4 clients too, or an IPv4 one where the kernel
// has no IPv6. Non-blocking, so a connection that vanished between the wait and the accept
// makes the accept fail at once instead of blocking; close-on-exec, so CGI programs never
// inherit a listening socket. Sets *family to the socket's.
int make_socket(int *family)
{
    constexpr int type = SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC;
    int fd = socket(AF_INET6, type, 0);
    if (fd >= 0) {
        const int off = 0;
        if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0) {
            *family = AF_INET6;
            return fd;
        }
        close(fd);
    }
    *family = AF_INET;
    return socket(AF_INET, type, 0);
}

// Says which port could not be made to listen, and why (the port in use, a port below 1024
// without the right to it...). Returns -1.
int listen_failed(int port)
{
    websrv_error("Unable to listen on port %d Error: %s\n", port, websrv_errno_text());
    return -1;
}

// Makes the socket for `node` and brings it up to listening. Returns 0 or -1.
int open_listener(websrv_plugin_node *node)
{
    const int port = node->desc.port;
    int family = AF_INET;
    const int fd = make_socket(&family);
    node->listen_fd = fd;
    if (fd < 0)
        return listen_failed(port);
    if (fd >= FD_SETSIZE) {
        websrv_error("Listening socket %d does not fit the descriptor set of %d\n",
                fd, FD_SETSIZE);
        return -1;
    }
    if (set_options(fd) != 0)
        return listen_failed(port);
    if (websrv_mcb.bind_device != nullptr && bind_to_device(fd, websrv_mcb.bind_device) != 0)
        return -1;
    if (bind_port(fd, family, port) != 0)
        return listen_failed(port);
    if (websrv_port_file_append(port) != 0)
        return -1;
    if (listen(fd, listen_backlog) != 0)
        return listen_failed(port);
    FD_SET(fd, &websrv_mcb.listen_set);
    if (fd >= websrv_mcb.max_fd)
        websrv_mcb.max_fd = fd;
    if (websrv_call_start(node->desc, fd) < 0)
        return -1;
    return 0;
}

// Closes the listening sockets whose plug-in unregistered itself in a start hook: nobody
// would serve what connects to them.
void retire_unowned_listeners()
{
    for (int fd = 0; fd <= websrv_mcb.max_fd; ++fd) {
        if (!FD_ISSET(fd, &websrv_mcb.listen_set))
            continue;
        bool owned = false;
        for (const websrv_plugin_node *node : websrv_plugins())
            owned = owned || node->listen_fd == fd;
        if (!owned) {
            websrv_error("No plugin owns listening socket %d; closing it\n", fd);
            FD_CLR(fd, &websrv_mcb.listen_set);
            close(fd);
        }
    }
}

bool shares_port(const websrv_plugin_node *node)
{
    const websrv_plugin_ext *ext = websrv_ext_of(&node->desc);
    return ext != nullptr && (ext->flags & WEBSRV_EXT_SHARES_PORT) != 0;
}

// Whether `node` goes without a socket of its own: it may share its port, and another node on
// that port may not, or may and comes first in the registry.
bool joins_another(const websrv_plugin_node *node)
{
    bool earlier = true;
    for (const websrv_plugin_node *other : websrv_plugins()) {
        if (other == node)
            earlier = false;
        else if (other->desc.port == node->desc.port && (earlier || !shares_port(other)))
            return shares_port(node);
    }
    return false;
}

// The start hooks of the nodes that share another's port, once every socket is open: each gets
// that socket.
int start_joined()
{
    for (const websrv_plugin_node *node : websrv_plugins()) {
        if (node->desc.on_start == nullptr || !joins_another(node))
            continue;
        const websrv_plugin_node *owner = websrv_port_owner(node->desc.port);
        if (websrv_call_start(node->desc, owner != nullptr ? owner->listen_fd : -1) < 0)
            return -1;
    }
    return 0;
}

// Hands the server's counters to every plug-in that asks for them.
void hand_out_counters()
{
    for (const websrv_plugin_node *node : websrv_plugins()) {
        websrv_call_counters_and_services(node->desc);
    }
}

// Whether some registered plug-in still owns a listening socket once every start hook ran:
// a server whose plug-ins all unregistered themselves would wait for ever on sockets nobody
// serves. Logs when none does.
bool any_listener_owned()
{
    for (const websrv_plugin_node *node : websrv_plugins()) {
        if (node->listen_fd >= 0)
            return true;
    }
    websrv_error("No plugin owns a listening socket; nothing to serve\n");
    return false;
}

}  // namespace

int websrv_open_listeners()

{
    // Each pass takes the first node, in registry order, that has no socket yet. A start
    // hook may register further descriptors (they get sockets too) or unregister its own
    // (its socket stays open; the accept loop retires it), so no node pointer is kept
    // across a hook call. A node that shares another's port gets no socket.
    hand_out_counters();
    for (;;) {
        websrv_plugin_node *pending = nullptr;
        for (websrv_plugin_node *node : websrv_plugins()) {
            if (node->listen_fd < 0 && !joins_another(node)) {
                pending = node;
                break;
            }
        }
        if (pending == nullptr) {
            retire_unowned_listeners();
            return any_listener_owned() && start_joined() == 0 ? 0 : -1;
        }

        if (open_listener(pending) != 0)
            return -1;
    }
}
