/* tp_hostile - a test plug-in whose I/O hooks misbehave on purpose, in plain C.
 *
 * plugin_init registers "hostile" on port 1; options (after its "-plugin"):
 *
 *   -hostile-port N        serve port N
 *   -sendfile-backwards    on_sendfile sends, then moves the offset back to the start
 *   -read-overreport       on_read reads, then reports three times the length it was given
 *   -write-nothing         on_write sends nothing and reports 0 bytes
 *
 * A hook that is not asked to misbehave is left empty, so the server does that part itself.
 */
#include <string.h>
#include <stdlib.h>
#include <sys/sendfile.h>
#include <sys/socket.h>

#include "websrv_plugin.h"

static websrv_plugin_desc hostile;

static int sendfile_backwards(int out_fd, int in_fd, off_t *offset, size_t count)
{
    const ssize_t sent = sendfile(out_fd, in_fd, offset, count);
    *offset = 0;
    return (int)sent;
}

static int read_overreport(int fd, void *buf, size_t len)
{
    const ssize_t got = recv(fd, buf, len, 0);
    return got > 0 ? (int)(len * 3) : (int)got;
}

static int write_nothing(int fd, const void *buf, int len)
{
    (void)fd;
    (void)buf;
    (void)len;
    return 0;
}

static int hostile_option(int *index, char **argv)
{
    const char *option = argv[*index];
    const char *value = argv[*index + 1];
    int taken = 1;
    if (strcmp(option, "-hostile-port") == 0 && value != NULL) {
        hostile.port = atoi(value);
        taken = 2;
    } else if (strcmp(option, "-sendfile-backwards") == 0) {
        hostile.on_sendfile = sendfile_backwards;
    } else if (strcmp(option, "-read-overreport") == 0) {
        hostile.on_read = read_overreport;
    } else if (strcmp(option, "-write-nothing") == 0) {
        hostile.on_write = write_nothing;
    } else {
        return 1;
    }
    websrv_unregister_plugin(hostile.name);
    if (websrv_register_plugin(&hostile) < 0)
        return -1;
    *index += taken;
    return 0;
}

int plugin_init(void)
{
    memset(&hostile, 0, sizeof hostile);
    hostile.version_major = WEBSRV_VERSION_MAJOR;
    strcpy(hostile.name, "hostile");
    hostile.port = 1;
    hostile.on_option = hostile_option;
    return websrv_register_plugin(&hostile);
}
