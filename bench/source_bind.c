/* source_bind - a preload library for the benchmark's client: binds every IPv4 socket that
 * connects to the loopback address named by BENCH_SOURCE (127.0.0.2, say) first, so that one
 * load generator on this machine can stand for a client of its own address. The servers give
 * one client address at most a share of their sessions; eight connections at once are run as
 * two clients of four each.
 *
 * Build: cc -O2 -shared -fPIC -o source_bind.so source_bind.c -ldl
 * Use:   LD_PRELOAD=./source_bind.so BENCH_SOURCE=127.0.0.2 ab ...
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>

int connect(int fd, const struct sockaddr *address, socklen_t length)
{
    static int (*real_connect)(int, const struct sockaddr *, socklen_t);
    const char *source = getenv("BENCH_SOURCE");
    if (real_connect == NULL)
        real_connect = (int (*)(int, const struct sockaddr *, socklen_t))dlsym(RTLD_NEXT, "connect");
    if (source != NULL && address->sa_family == AF_INET) {
        struct sockaddr_in local = {0};
        local.sin_family = AF_INET;
        if (inet_pton(AF_INET, source, &local.sin_addr) == 1)
            bind(fd, (const struct sockaddr *)&local, sizeof local);
    }
    return real_connect(fd, address, length);
}
