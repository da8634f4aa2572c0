// The connection child: accepts the connection that made the listening socket readable and
// ends the process with status 0 on every path.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "server.h"

void websrv_serve_connection(const websrv_plugin_node *node)
{
    sockaddr_in peer{};
    socklen_t peer_length = sizeof peer;
    const int fd = accept(node->listen_fd, reinterpret_cast<sockaddr *>(&peer), &peer_length);
    if (fd < 0) {
        log_msg(1, "Error: Unable to accept socket; Error:%s\n", strerror(errno));
        log_msg(1, "Web Server receive packet failed\n");
        exit(0);
    }
    close(fd);
    exit(0);
}
