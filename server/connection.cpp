// The connection record: the descriptor a session uses.
#include "connection.h"

#include <cstddef>
#include <unistd.h>

#include "observe/access_log.h"
#include "registry.h"

websrv_connection *websrv_current_connection = nullptr;

websrv_connection *websrv_connection_of(websrv_session *session)
{
    static_assert(offsetof(websrv_connection, session) == 0, "the session comes first");
    return reinterpret_cast<websrv_connection *>(session);
}

const websrv_plugin_desc *websrv_connection_desc(websrv_connection *c)
{
    if (c->desc_taken_at != websrv_registry_changes) {
        // The plug-in may have unregistered itself during the session; its connection is
        // still served, through the socket without hooks.
        const websrv_plugin_node *node = websrv_find_plugin(c->session.port);
        c->desc = node != nullptr ? node->desc : websrv_plugin_desc{};
        c->desc_taken_at = websrv_registry_changes;
    }
    return &c->desc;
}

void websrv_connection_adopt(websrv_connection *c, const websrv_plugin_desc *desc)
{
    c->desc = *desc;
    c->desc_taken_at = websrv_registry_changes;
}

const websrv_plugin_ext *websrv_connection_ext(websrv_connection *c)
{
    return websrv_ext_of(websrv_connection_desc(c));
}

bool websrv_connection_consents(websrv_connection *c)
{
    const websrv_plugin_ext *ext = websrv_connection_ext(c);
    return ext != nullptr && (ext->flags & WEBSRV_EXT_MANY_SESSIONS) != 0;
}

void websrv_connection_forget_done(websrv_connection *c)
{
    websrv_access_hand_over();  // the process that signals the end also logs the request
    if (c->done_fd >= 0)
        close(c->done_fd);
    c->done_fd = -1;
}
