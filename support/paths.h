// Paths and addresses as the server and the stock plug-ins compare and name them: whether a path
// lies under a root, and the address a client reached us on as the host of a URL.
#ifndef WEBSRV_SUPPORT_PATHS_H
#define WEBSRV_SUPPORT_PATHS_H

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>

// Whether the absolute path `path` is `root` or lies below it, comparing whole path components
// ("/www2" is not under "/www"). Both are plain texts: resolve links and ".." first where they
// matter. Every absolute path lies under "/".
inline bool websrv_path_under(const char *path, const char *root)
{
    if (root[0] == '/' && root[1] == '\0')
        return path[0] == '/';
    while (*root != '\0' && *path == *root) {
        ++path;
        ++root;
    }
    return *root == '\0' && (*path == '\0' || *path == '/');
}

// The address the peer of socket `fd` reached it on, as the host part of a URL: "192.0.2.1",
// "[2001:db8::1]" (an IPv4 client on an IPv6 socket gets its IPv4 form). `fallback` when the
// socket has no such address. Cannot fail; the text is cut to `size`.
inline void websrv_local_host(int fd, char *out, size_t size, const char *fallback)
{
    sockaddr_in6 local{};  // room for an IPv4 address too
    socklen_t length = sizeof local;
    const void *address = nullptr;
    int family = AF_INET;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) == 0) {
        if (local.sin6_family == AF_INET) {
            address = &reinterpret_cast<const sockaddr_in &>(local).sin_addr;
        } else if (IN6_IS_ADDR_V4MAPPED(&local.sin6_addr)) {
            address = &local.sin6_addr.s6_addr[12];  // an IPv4 client on an IPv6 socket
        } else {
            address = &local.sin6_addr;
            family = AF_INET6;
        }
    }
    char text[INET6_ADDRSTRLEN];
    if (address == nullptr || inet_ntop(family, address, text, sizeof text) == nullptr)
        snprintf(out, size, "%s", fallback);
    else
        snprintf(out, size, family == AF_INET6 ? "[%s]" : "%s", text);
}

#endif
