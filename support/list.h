// The singly linked list service behind the plug-in and MIME registries.
// A list is one word (websrv_list: the head); a node is any record whose first word is the
// link this service maintains. The caller allocates and frees nodes; the service never does.
#ifndef WEBSRV_SUPPORT_LIST_H
#define WEBSRV_SUPPORT_LIST_H

#include "websrv_plugin.h"

// Links `node` at the end of `list`, so a walk returns nodes in the order they were added.
// Cannot fail. The node must not already be on a list.
void list_add(websrv_list *list, void *node);

// First node of `list`, or nullptr when it is empty (a zeroed list is empty).
void *list_get_head(const websrv_list *list);

// Node after `node`, or nullptr after the last one.
void *list_get_next(const void *node);

// Unlinks `node` from `list`; the other nodes keep their order. A node that is not on the
// list leaves it unchanged. The caller frees the node afterwards.
void list_remove_node(websrv_list *list, void *node);

#endif
