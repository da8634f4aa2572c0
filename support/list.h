// The singly linked list service behind the plug-in and MIME registries.
// A list is one word (its head); a node is any record whose first word is the link this
// service maintains. The caller allocates and frees nodes; the service never does.
#ifndef WEBSRV_SUPPORT_LIST_H
#define WEBSRV_SUPPORT_LIST_H

#pragma GCC visibility push(hidden)

// The list: one pointer-sized word, the first node. A zeroed word is an empty list. The
// control block's registries have the same one-word layout.
struct websrv_slist {
    void *head;
};

// Links `node` at the end of `list`, so a walk returns nodes in the order they were added.
// Cannot fail. The node must not already be on a list.
void websrv_slist_add(websrv_slist *list, void *node);

// First node of `list`, or nullptr when it is empty.
inline void *websrv_slist_head(const websrv_slist *list) { return list->head; }

// Node after `node`, or nullptr after the last one: its link, the node's first word. Inline,
// as the one load it is, in the many walks over the registries.
inline void *websrv_slist_next(const void *node) { return *static_cast<void *const *>(node); }

// Unlinks `node` from `list`; the other nodes keep their order. A node that is not on the
// list leaves it unchanged. The caller frees the node afterwards.
void websrv_slist_remove(websrv_slist *list, void *node);

// A walk over the nodes of a list, seen as records of type Node, for range-based for or any
// other use of its iterators. The next node is looked up before the walk reaches a node, so a
// loop's body may unlink and free the node it is given (and may not touch any other).
template <typename Node>
class websrv_slist_walk {
public:
    explicit websrv_slist_walk(const websrv_slist *list) : list_(list) {}

    // The node after the current one is noted as soon as the current one is reached, so the
    // current node may be unlinked and freed before the walk moves on.
    class iterator {
    public:
        explicit iterator(void *node) : node_(node), next_(node != nullptr ? websrv_slist_next(node) : nullptr) {}
        Node *operator*() const { return static_cast<Node *>(node_); }
        iterator &operator++()
        {
            node_ = next_;
            next_ = node_ != nullptr ? websrv_slist_next(node_) : nullptr;
            return *this;
        }
        bool operator!=(const iterator &other) const { return node_ != other.node_; }

    private:
        void *node_;
        void *next_;
    };

    iterator begin() const { return iterator(websrv_slist_head(list_)); }
    iterator end() const { return iterator(nullptr); }

private:
    const websrv_slist *list_;
};

#pragma GCC visibility pop

#endif
