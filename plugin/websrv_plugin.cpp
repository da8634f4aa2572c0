// The plug-in registry and the MIME registry: registration, removal and lookup.
#include <cstring>
#include <strings.h>

#include "registry.h"
#include "log.h"

websrv_mcb_t websrv_mcb;
unsigned websrv_registry_changes = 0;

int websrv_name_length(const websrv_plugin_desc *desc)
{
    return static_cast<int>(strnlen(desc->name, sizeof desc->name));
}

int websrv_register_plugin(const websrv_plugin_desc *desc)
{
    // Ports 1..65535: port - 1 as an unsigned value rejects 0 and every negative port too.
    if (static_cast<unsigned>(desc->port) - 1u > 65534u) {
        websrv_error("Invalid port range specified\n");
        return -1;
    }
    if (desc->version_major != websrv_mcb.version_major) {
        websrv_error("Plugin rejected for version mismatch\n");
        return -1;
    }
    auto *node = static_cast<websrv_plugin_node *>(websrv_malloc(sizeof(websrv_plugin_node)));
    if (node == nullptr) {
        websrv_error("Memory Allocation Failure\n");
        return -1;
    }
    memcpy(&node->desc, desc, sizeof node->desc);
    // No socket yet: start-up sets it. The loop skips nodes that never got one.
    node->listen_fd = -1;
    websrv_slist_add(websrv_registry(&websrv_mcb.plugins), node);
    ++websrv_registry_changes;
    websrv_log(WEBSRV_LOG_DETAIL, "Plugin %.*s registered succesfully\n", websrv_name_length(&node->desc),
            node->desc.name);
    return 0;
}

namespace {

// Whether a registered name equals `name` byte for byte; the stored name may fill its field.
bool name_equals(const websrv_plugin_desc *desc, const char *name)
{
    const size_t length = static_cast<size_t>(websrv_name_length(desc));
    return strnlen(name, length + 1) == length && strncmp(desc->name, name, length) == 0;
}

}  // namespace

int websrv_unregister_plugin(const char *name)
{
    if (name == nullptr) {
        websrv_error("No name passed for unregistering.\n");
        return -1;
    }
    for (websrv_plugin_node *node : websrv_plugins()) {
        if (!name_equals(&node->desc, name))
            continue;
        websrv_slist_remove(websrv_registry(&websrv_mcb.plugins), node);
        websrv_free(node);
        ++websrv_registry_changes;
        websrv_log(WEBSRV_LOG_DETAIL, "Plugin %s unregistered succesfully\n", name);
        return 0;
    }
    websrv_log(WEBSRV_LOG_DETAIL, "Plugin %s does not exist\n", name);
    return -1;
}

websrv_plugin_node *websrv_find_plugin(int port)
{
    for (websrv_plugin_node *node : websrv_plugins()) {
        if (node->desc.port == port)
            return node;
    }
    websrv_error("No plugin found for port %d\n", port);
    return nullptr;
}

const websrv_plugin_node *websrv_port_owner(int port)
{
    for (const websrv_plugin_node *node : websrv_plugins()) {
        if (node->desc.port == port && node->listen_fd >= 0)
            return node;
    }
    return nullptr;
}

namespace {

websrv_mime_entry *find_mime_entry(const char *ext)
{
    for (websrv_mime_entry *entry : websrv_mime_entries()) {
        if (strcasecmp(entry->ext, ext) == 0)
            return entry;
    }
    return nullptr;
}

}  // namespace

const char *websrv_find_mime(const char *ext)
{
    const websrv_mime_entry *entry = find_mime_entry(ext);
    return entry != nullptr ? entry->type : nullptr;
}

int websrv_add_supported_mime(const char *ext, const char *type)
{
    // Both fields keep a terminating zero, so 9 and 29 characters are the most that fit.
    const size_t ext_length = strnlen(ext, sizeof websrv_mime_entry::ext);
    if (ext_length >= sizeof websrv_mime_entry::ext) {
        websrv_log(WEBSRV_LOG_ERROR, "Extension Length is too long\n");
        return -1;
    }
    const size_t type_length = strnlen(type, sizeof websrv_mime_entry::type);
    if (type_length >= sizeof websrv_mime_entry::type) {
        // The words are the log's of old for a content type that does not fit (not a length).
        websrv_log(WEBSRV_LOG_ERROR, "Content Length is too long\n");
        return -1;
    }
    if (websrv_mime_entry *entry = find_mime_entry(ext)) {
        // The extension keeps the letter case it was first registered with.
        memcpy(entry->type, type, type_length + 1);
        return 0;
    }
    auto *entry = static_cast<websrv_mime_entry *>(websrv_malloc(sizeof(websrv_mime_entry)));
    if (entry == nullptr) {
        websrv_log(WEBSRV_LOG_ERROR, "Error: Unable to allocate memory for MIME.\n");
        return -1;
    }
    memset(entry, 0, sizeof *entry);
    memcpy(entry->ext, ext, ext_length + 1);
    memcpy(entry->type, type, type_length + 1);
    websrv_slist_add(websrv_registry(&websrv_mcb.mime_types), entry);
    return 0;
}

websrv_plugin_name websrv_name_of(const websrv_plugin_desc *desc)
{
    if (desc == nullptr)
        return {6, "(none)"};
    return {static_cast<int>(strnlen(desc->name, sizeof desc->name)), desc->name};
}
