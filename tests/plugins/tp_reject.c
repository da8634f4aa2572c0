/* tp_reject - a test plug-in that rejects one option: plugin_init registers "rejecter" on
 * port 18003, whose option hook answers -1 for "-no" and 1 (not ours) for anything else. */
#include <string.h>

#include "websrv_plugin.h"

static int reject_option(int *index, char **argv)
{
    return strcmp(argv[*index], "-no") == 0 ? -1 : 1;
}

int plugin_init(void)
{
    websrv_plugin_desc desc;
    memset(&desc, 0, sizeof desc);
    desc.version_major = WEBSRV_VERSION_MAJOR;
    desc.version_minor = WEBSRV_VERSION_MINOR;
    strcpy(desc.name, "rejecter");
    desc.port = 18003;
    desc.on_option = reject_option;
    return websrv_register_plugin(&desc);
}
