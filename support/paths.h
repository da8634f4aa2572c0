// Paths and addresses as the server and the stock plug-ins compare and name them: whether a path
// lies under a root, and the address a client reached us on as the host of a URL.
#ifndef WEBSRV_SUPPORT_PATHS_H
#define WEBSRV_SUPPORT_PATHS_H

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

// Whether the absolute path `path` is `root` or lies below it, comparing whole path components
// ("/www2" is not under "/www"). Both are plain texts: resolve links and ".." first where they
// matter. Every absolute path lies under "/".
inline bool websrv_path_under(const char *path, const char *root)
{
    const size_t length = strlen(root);
    if (length == 1 && root[0] == '/')
        return path[0] == '/';
    return strncmp(path, root, length) == 0 && (path[length] == '\0' || path[length] == '/');
}

// The address the peer of socket `fd` reached it on, as the host part of a URL: "192.0.2.1",
// "[2001:db8::1]" (an IPv4 client on an IPv6 socket gets its IPv4 form). `fallback` when the
// socket has no such address. Cannot fail; the text is cut to `size`.
inline void websrv_local_host(int fd, char *out, size_t size, const char *fallback)
{
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    char text[INET6_ADDRSTRLEN];
    const char *host = nullptr;
    bool bracketed = false;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) == 0) {
        const in6_addr &v6 = reinterpret_cast<const sockaddr_in6 &>(local).sin6_addr;
        if (local.ss_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&v6)) {
            host = inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof text);
        } else if (local.ss_family == AF_INET6) {
            host = inet_ntop(AF_INET6, &v6, text, sizeof text);
            bracketed = true;
        } else if (local.ss_family == AF_INET) {
            host = inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(local).sin_addr, text, sizeof text);
        }
    }
    if (host == nullptr)
        snprintf(out, size, "%s", fallback);
    else
        snprintf(out, size, bracketed ? "[%s]" : "%s", host);
}

#endif
