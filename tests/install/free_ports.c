/* free_ports - prints N TCP ports on 127.0.0.1 that the kernel just handed out, one a line.
 * All N sockets are bound before any is closed, so the ports differ from each other.
 * Usage: free_ports [N]   (1 to 16, default 1)
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    int fds[16];
    int count = argc > 1 ? atoi(argv[1]) : 1;
    int i;
    if (count < 1 || count > 16) {
        fprintf(stderr, "free_ports: N must be 1 to 16\n");
        return 2;
    }
    for (i = 0; i < count; ++i) {
        struct sockaddr_in address;
        socklen_t length = sizeof address;
        fds[i] = socket(AF_INET, SOCK_STREAM, 0);
        memset(&address, 0, sizeof address);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        if (fds[i] < 0 || bind(fds[i], (struct sockaddr *)&address, sizeof address) != 0 ||
            getsockname(fds[i], (struct sockaddr *)&address, &length) != 0) {
            perror("free_ports");
            return 1;
        }
        printf("%d\n", ntohs(address.sin_port));
    }
    for (i = 0; i < count; ++i)
        close(fds[i]);
    return 0;
}
