// The plug-ins' hooks, one caller each.
#include "hooks/hooks.h"

#include <cstring>

#include "counters.h"
#include "http_words.h"
#include "registry.h"
#include "respond/response.h"
#include "services.h"

int websrv_call_option(const websrv_plugin_desc &desc, int *index, char **argv)
{
    return desc.on_option != nullptr ? desc.on_option(index, argv) : 1;
}

void websrv_call_counters_and_services(const websrv_plugin_desc &desc)
{
    const websrv_plugin_ext *ext = websrv_ext_of(&desc);
    if (const auto on_counters = WEBSRV_EXT_HOOK(ext, on_counters))
        on_counters(websrv_counters);
    if (const auto on_services = WEBSRV_EXT_HOOK(ext, on_services))
        on_services(websrv_services_table());
}

int websrv_call_start(const websrv_plugin_desc &desc, int listen_fd)
{
    return desc.on_start != nullptr ? desc.on_start(listen_fd) : 0;
}

int websrv_call_event(const websrv_plugin_desc &desc, int event)
{
    const auto on_event = WEBSRV_EXT_HOOK(websrv_ext_of(&desc), on_event);
    return on_event != nullptr ? on_event(event) : 0;
}

int websrv_call_open(websrv_connection *c)
{
    const auto on_open = WEBSRV_EXT_HOOK(websrv_connection_ext(c), on_open);
    return on_open != nullptr ? on_open(c->session.socket, c->session.port, c->lasting) : 0;
}

int websrv_call_session_init(websrv_connection *c)
{
    const auto on_session_init = websrv_connection_desc(c)->on_session_init;
    return on_session_init != nullptr ? on_session_init(&c->session) : 0;
}

int websrv_call_pending(const websrv_plugin_desc *desc, int fd)
{
    const auto on_pending = desc != nullptr ? WEBSRV_EXT_HOOK(websrv_ext_of(desc), on_pending) : nullptr;
    return on_pending != nullptr ? on_pending(fd) : 0;
}

int websrv_call_read(const websrv_plugin_desc *desc, int fd, void *buf, size_t len)
{
    return desc->on_read(fd, buf, len);
}

int websrv_call_write(const websrv_plugin_desc *desc, int fd, const void *buf, size_t len)
{
    return desc->on_write(fd, buf, static_cast<int>(len));
}

int websrv_call_route(websrv_connection *c)
{
    const auto own = WEBSRV_EXT_HOOK(websrv_connection_ext(c), on_route);
    if (own != nullptr && own(&c->session) == 0)
        return 0;
    const unsigned changes = websrv_registry_changes;
    for (const websrv_plugin_node *node : websrv_plugins()) {
        const auto on_route = WEBSRV_EXT_HOOK(websrv_ext_of(&node->desc), on_route);
        if (changes != websrv_registry_changes)
            break;
        if (on_route != nullptr && node->desc.port == c->session.port && node->listen_fd < 0 &&
            on_route(&c->session) == 0)
            return 0;
    }
    return 1;
}

int websrv_call_request(websrv_connection *c)
{
    const auto on_request = websrv_connection_desc(c)->on_request;
    return on_request != nullptr ? on_request(&c->session) : 1;
}

bool websrv_call_directory(websrv_connection *c, char *path, struct stat *st)
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

int websrv_call_sendfile(const websrv_plugin_desc *desc, int out_fd, int in_fd, off_t *offset, size_t count)
{
    return desc->on_sendfile(out_fd, in_fd, offset, count);
}

void websrv_call_session_end(websrv_connection *c)
{
    if (const auto on_session_end = websrv_connection_desc(c)->on_session_end; on_session_end != nullptr)
        on_session_end(&c->session);
}

void websrv_call_close(websrv_connection *c)
{
    if (const auto on_close = WEBSRV_EXT_HOOK(websrv_connection_ext(c), on_close); on_close != nullptr)
        on_close(c->session.socket);
}
