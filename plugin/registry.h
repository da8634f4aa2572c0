// Server-side access to the plug-in and MIME registries (not visible to plug-ins).
#ifndef WEBSRV_PLUGIN_REGISTRY_H
#define WEBSRV_PLUGIN_REGISTRY_H

#include "list.h"
#include "websrv_plugin.h"

#pragma GCC visibility push(hidden)

// The control block's registries are kept by the list service: a registry word and the
// service's list head are the same one-word record.
static_assert(sizeof(websrv_list) == sizeof(websrv_slist), "a registry is one list word");
inline websrv_slist *websrv_registry(websrv_list *list) { return reinterpret_cast<websrv_slist *>(list); }

// The registered plug-ins in registry order, for range-based for. The loop's body may
// unregister the node it is given.
inline websrv_slist_walk<websrv_plugin_node> websrv_plugins()
{
    return websrv_slist_walk<websrv_plugin_node>(websrv_registry(&websrv_mcb.plugins));
}

// The MIME registry's entries in the order they were added.
inline websrv_slist_walk<websrv_mime_entry> websrv_mime_entries()
{
    return websrv_slist_walk<websrv_mime_entry>(websrv_registry(&websrv_mcb.mime_types));
}

// Counts the changes of the plug-in registry (registrations and removals): a copy of a
// descriptor taken at count N is still what the registry holds while the count is N.
extern unsigned websrv_registry_changes;

// First registered node whose descriptor serves `port`, in registry order. Returns nullptr,
// after logging "WebSrv Error: No plugin found for port %d\n", when none does.
websrv_plugin_node *websrv_find_plugin(int port);

// The node whose listening socket serves `port` (the one that carries its connections), or
// nullptr. Nodes that share the port have no socket.
const websrv_plugin_node *websrv_port_owner(int port);

// Content type registered for the extension `ext` (compared ignoring case), or nullptr.
const char *websrv_find_mime(const char *ext);

// The extension record behind a descriptor's `reserved` slot, or nullptr when it has none (or
// one too short to hold its flags).
inline const websrv_plugin_ext *websrv_ext_of(const websrv_plugin_desc *desc)
{
    const auto *ext = static_cast<const websrv_plugin_ext *>(desc->reserved);
    return ext != nullptr && ext->size >= offsetof(websrv_plugin_ext, flags) + sizeof ext->flags ? ext : nullptr;
}

// A hook of an extension record: null without the record, or when the plug-in was built with a
// record that ends before the hook's field.
template <typename Hook>
Hook websrv_ext_hook(const websrv_plugin_ext *ext, Hook websrv_plugin_ext::*field, size_t offset)
{
    return ext != nullptr && ext->size >= offset + sizeof(Hook) ? ext->*field : nullptr;
}
#define WEBSRV_EXT_HOOK(ext, name) websrv_ext_hook((ext), &websrv_plugin_ext::name, offsetof(websrv_plugin_ext, name))

// Length of a descriptor's name: it never reads past the 20-byte field, even when the
// plug-in left no terminating zero in it.
int websrv_name_length(const websrv_plugin_desc *desc);

// Name of a descriptor's plug-in for messages ("(none)" for a null descriptor), and its length.
struct websrv_plugin_name {
    int length;
    const char *text;
};
websrv_plugin_name websrv_name_of(const websrv_plugin_desc *desc);

#pragma GCC visibility pop

#endif
