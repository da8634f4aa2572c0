// The list service: an intrusive singly linked list whose link is the first word of each node.
#include "list.h"

namespace {

// Every node starts with its link; this is the view the service has of a node.
struct link_word {
    void *next;
};

link_word *as_link(void *node) { return static_cast<link_word *>(node); }

}  // namespace

void websrv_slist_add(websrv_slist *list, void *node)
{
    link_word *added = as_link(node);
    added->next = nullptr;
    // Walk to the last link slot; registries hold a handful of nodes, so the walk is cheap
    // and keeps registration order, which is the order of sockets and port-file lines.
    void **slot = &list->head;
    while (*slot != nullptr)
        slot = &as_link(*slot)->next;
    *slot = added;
}

void websrv_slist_remove(websrv_slist *list, void *node)
{
    void **slot = &list->head;
    while (*slot != nullptr) {
        if (*slot == node) {
            *slot = as_link(node)->next;
            as_link(node)->next = nullptr;
            return;
        }
        slot = &as_link(*slot)->next;
    }
}
