// Server-side lookups in the plug-in and MIME registries (not visible to plug-ins).
#ifndef WEBSRV_PLUGIN_REGISTRY_H
#define WEBSRV_PLUGIN_REGISTRY_H

#include "websrv_plugin.h"

// First registered node whose descriptor serves `port`, in registry order. Returns nullptr,
// after logging "WebSrv Error: No plugin found for port %d\n", when none does.
websrv_plugin_node *websrv_find_plugin(int port);

// Content type registered for the extension `ext` (compared ignoring case), or nullptr.
const char *websrv_find_mime(const char *ext);

// Length of a descriptor's name: it never reads past the 20-byte field, even when the
// plug-in left no terminating zero in it.
int websrv_name_length(const websrv_plugin_desc *desc);

#endif
