/* tp_listen - a test plug-in that registers listening ports from its options, in plain C.
 *
 *   -listen PORT        registers "lst<PORT>" on PORT; its start hook logs the socket
 *   -fail-start PORT    registers "failer" on PORT; its start hook fails
 *   -orphan PORT        registers "orphan" on PORT; its start hook unregisters it again,
 *                       leaving a listening socket that no plug-in owns
 *   -spawn PORT1 PORT2  registers "spawner" on PORT1; its start hook registers "spawned" on
 *                       PORT2 while start-up is under way
 *   -slow-start PORT    registers "slow" on PORT; its start hook logs, then takes a second
 */
/* POSIX (nanosleep, clock_gettime, O_CLOEXEC) under a strict -std= too. */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "websrv_plugin.h"

static int spawned_port;
static int placeholder_registered;

static int listen_option(int *index, char **argv);

static int start_logged(int listen_fd)
{
    log_msg(1, "tp_listen: on_start fd=%d\n", listen_fd);
    return 0;
}

static int start_failing(int listen_fd)
{
    (void)listen_fd;
    log_msg(1, "tp_listen: on_start fails\n");
    return -1;
}

static int start_slowly(int listen_fd)
{
    struct timespec pause = {1, 0};
    (void)listen_fd;
    log_msg(1, "tp_listen: slow start\n");
    fflush(stdout);
    while (nanosleep(&pause, &pause) != 0) {
    }
    return 0;
}

static int start_orphaning(int listen_fd)
{
    (void)listen_fd;
    return websrv_unregister_plugin("orphan");
}

static int register_port(const char *name, int port, int (*on_start)(int));

static int start_spawning(int listen_fd)
{
    (void)listen_fd;
    return register_port("spawned", spawned_port, start_logged);
}

static int register_port(const char *name, int port, int (*on_start)(int))
{
    websrv_plugin_desc desc;
    memset(&desc, 0, sizeof desc);
    desc.version_major = WEBSRV_VERSION_MAJOR;
    desc.version_minor = WEBSRV_VERSION_MINOR;
    snprintf(desc.name, sizeof desc.name, "%s", name);
    desc.port = port;
    desc.on_start = on_start;
    desc.on_option = listen_option; /* so later options still reach this plug-in */
    return websrv_register_plugin(&desc);
}

static int listen_option(int *index, char **argv)
{
    const char *option = argv[*index];
    const char *value = argv[*index + 1];
    char name[WEBSRV_NAME_LEN];
    int taken = 2;
    int result;
    if (value == NULL)
        return 1;
    if (strcmp(option, "-listen") == 0) {
        snprintf(name, sizeof name, "lst%s", value);
        result = register_port(name, atoi(value), start_logged);
    } else if (strcmp(option, "-fail-start") == 0) {
        result = register_port("failer", atoi(value), start_failing);
    } else if (strcmp(option, "-slow-start") == 0) {
        result = register_port("slow", atoi(value), start_slowly);
    } else if (strcmp(option, "-orphan") == 0) {
        result = register_port("orphan", atoi(value), start_orphaning);
    } else if (strcmp(option, "-spawn") == 0 && argv[*index + 2] != NULL) {
        spawned_port = atoi(argv[*index + 2]);
        result = register_port("spawner", atoi(value), start_spawning);
        taken = 3;
    } else {
        return 1;
    }
    if (result < 0)
        return -1;
    if (placeholder_registered) {
        /* The descriptor from plugin_init only carries the option hook until the first
         * port is registered; every registered port carries the hook from then on. */
        placeholder_registered = 0;
        websrv_unregister_plugin("tp_listen");
    }
    *index += taken;
    return 0;
}

int plugin_init(void)
{
    /* A placeholder that only takes options; the first option unregisters it before
     * start-up could bind its port. */
    websrv_plugin_desc desc;
    memset(&desc, 0, sizeof desc);
    desc.version_major = WEBSRV_VERSION_MAJOR;
    strcpy(desc.name, "tp_listen");
    desc.port = 1;
    desc.on_option = listen_option;
    placeholder_registered = 1;
    return websrv_register_plugin(&desc);
}
