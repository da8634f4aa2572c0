// The session hooks of the connection's plug-in.
#include "hooks/hooks.h"

#include <cstring>

#include "http_words.h"
#include "respond/response.h"

int websrv_call_session_hook(websrv_connection *c, int (*websrv_plugin_desc::*hook)(websrv_session *), int absent)
{
    const auto function = websrv_connection_desc(c)->*hook;
    if (function == nullptr)
        return absent;
    return function(&c->session);
}


bool websrv_directory_path(websrv_connection *c, char *path, struct stat *st)
{
    const websrv_plugin_desc *desc = websrv_connection_desc(c);
    if (desc->on_directory != nullptr) {
        const int result = desc->on_directory(&c->session, path);
        if (result < 0)
            return false;
        path[WEBSRV_PATH_MAX - 1] = '\0';  // whatever the hook wrote, the text ends in the buffer
    } else {
        memcpy(path, websrv_index_file, sizeof websrv_index_file);
    }
    if (stat(path, st) != 0) {
        websrv_send_error(c, 404);
        return false;
    }
    return true;
}
