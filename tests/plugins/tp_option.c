/* tp_option - a test plug-in whose option hook covers every result the parser must handle.
 *
 * plugin_init registers "optplug" on port 18001. Its option hook understands:
 *
 *   -opt VALUE          logs "optplug: opt=VALUE" and takes both arguments (0, index + 2)
 *   -stuck              claims the option without moving the index (0, index unchanged)
 *   -fullname           registers a descriptor whose name fills all 20 bytes of its field
 *                       with no terminating zero, and takes the argument (0, index + 1)
 *   -register NAME PORT registers another descriptor NAME on PORT (0, index + 3; -1 when
 *                       the server refuses the registration)
 *   anything else       not ours (1)
 *
 * The 20-byte-name descriptor has a hook of its own that rejects "-nameless" (-1), so a test
 * can see the name in the parser's rejection message.
 */
#include <stdlib.h>
#include <string.h>

#include "websrv_plugin.h"

/* Fills *desc with a descriptor for the current interface version and no hooks. */
static void blank_descriptor(websrv_plugin_desc *desc, int port)
{
    memset(desc, 0, sizeof *desc);
    desc->version_major = WEBSRV_VERSION_MAJOR;
    desc->version_minor = WEBSRV_VERSION_MINOR;
    desc->port = port;
}

/* Option hook of the descriptor without a terminating zero in its name. */
static int fullname_option(int *index, char **argv)
{
    return strcmp(argv[*index], "-nameless") == 0 ? -1 : 1;
}

/* Registers "ABCDEFGHIJKLMNOPQRST": 20 characters, the whole field, no zero after them.
 * Port 16705 is 0x4141, so the bytes right behind the name read "AA" on a little-endian
 * machine: a server that reads past the field shows them in its messages. */
static int register_fullname(void)
{
    websrv_plugin_desc desc;
    blank_descriptor(&desc, 0x4141);
    memcpy(desc.name, "ABCDEFGHIJKLMNOPQRST", WEBSRV_NAME_LEN);
    desc.on_option = fullname_option;
    return websrv_register_plugin(&desc);
}

static int optplug_option(int *index, char **argv)
{
    const char *option = argv[*index];

    if (strcmp(option, "-opt") == 0) {
        const char *value = argv[*index + 1];
        if (value == NULL)
            return -1;
        log_msg(1, "optplug: opt=%s\n", value);
        *index += 2;
        return 0;
    }
    if (strcmp(option, "-stuck") == 0)
        return 0; /* claims the option but leaves the index where it was */
    if (strcmp(option, "-fullname") == 0) {
        if (register_fullname() < 0)
            return -1;
        *index += 1;
        return 0;
    }
    if (strcmp(option, "-register") == 0) {
        websrv_plugin_desc desc;
        const char *name = argv[*index + 1];
        const char *port = name != NULL ? argv[*index + 2] : NULL;
        if (port == NULL)
            return -1;
        blank_descriptor(&desc, atoi(port));
        strncpy(desc.name, name, WEBSRV_NAME_LEN - 1);
        if (websrv_register_plugin(&desc) < 0)
            return -1;
        *index += 3;
        return 0;
    }
    return 1;
}

int plugin_init(void)
{
    websrv_plugin_desc desc;
    blank_descriptor(&desc, 18001);
    strcpy(desc.name, "optplug");
    desc.on_option = optplug_option;
    return websrv_register_plugin(&desc);
}
