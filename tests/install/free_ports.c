/* free_ports - prints N TCP ports, free on every address, that the kernel handed out, one a
 * line, and keeps them for the server that process PID is about to start.
 *
 * Each port's probe socket, bound to every address, stays bound in a background process:
 * while it is, the kernel gives the port to no other bind to port 0 and to no outgoing
 * connection, so nobody else can take it before the server binds it. The probes never listen and set SO_REUSEADDR, as the server's
 * listening sockets do, so the server's own bind succeeds. The background process ends once
 * PID has ended (checked every 100 ms), and after 30 minutes in any case.
 * All N sockets are bound at once, so the ports differ from each other.
 * Usage: free_ports N PID   (N from 1 to 16)
 */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { max_ports = 16, check_ms = 100, longest_hold_s = 30 * 60 };

/* Binds a probe of `family` to port 0 of every address (IPv6 and IPv4 alike for AF_INET6, as
 * the server's own listening socket); returns the port, or -1. */
static int bind_family(int family)
{
    struct sockaddr_storage address;
    socklen_t length = family == AF_INET6 ? sizeof(struct sockaddr_in6) : sizeof(struct sockaddr_in);
    const int one = 1, off = 0;
    const int fd = socket(family, SOCK_STREAM, 0);
    memset(&address, 0, sizeof address);
    address.ss_family = (sa_family_t)family;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        (family == AF_INET6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) ||
        bind(fd, (struct sockaddr *)&address, length) != 0 ||
        getsockname(fd, (struct sockaddr *)&address, &length) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return ntohs(family == AF_INET6 ? ((struct sockaddr_in6 *)&address)->sin6_port
                                    : ((struct sockaddr_in *)&address)->sin_port);
}

/* Binds a probe to a port of the kernel's choice, free on every address: a probe of 127.0.0.1
 * alone could be handed a port that a connection of another loopback address still holds (in
 * TIME_WAIT, say), which the server's bind then finds in use. Returns the port, or -1. */
static int bind_probe(void)
{
    const int port = bind_family(AF_INET6);
    return port >= 0 ? port : bind_family(AF_INET);
}

/* In the background process: holds the probes while `owner` runs, at most longest_hold_s. */
static void hold_while_running(pid_t owner)
{
    const struct timespec pause = {0, check_ms * 1000000L};
    const int null = open("/dev/null", O_RDWR);
    long waited_ms = 0;
    /* Nothing of the caller's stays open here: a shell waiting for the output, or a test
     * runner for the end of the test, must not wait for this process. */
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        close(null);
    }
    while (waited_ms < longest_hold_s * 1000L && (kill(owner, 0) == 0 || errno == EPERM)) {
        nanosleep(&pause, NULL);
        waited_ms += check_ms;
    }
}

int main(int argc, char **argv)
{
    const int count = argc == 3 ? atoi(argv[1]) : 0;
    const pid_t owner = argc == 3 ? (pid_t)atol(argv[2]) : 0;
    int i;
    pid_t keeper;
    if (count < 1 || count > max_ports || owner <= 0) {
        fprintf(stderr, "usage: free_ports N PID   (N from 1 to %d)\n", max_ports);
        return 2;
    }
    for (i = 0; i < count; ++i) {
        const int port = bind_probe();
        if (port < 0) {
            perror("free_ports");
            return 1;
        }
        printf("%d\n", port);
    }
    fflush(stdout);
    keeper = fork();
    if (keeper < 0) {
        perror("free_ports: fork");
        return 1;
    }
    if (keeper == 0)
        hold_while_running(owner);
    return 0;
}
