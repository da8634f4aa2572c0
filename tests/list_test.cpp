// The list service behind both registries: an empty list, adding, walking and removing nodes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "list.h"

namespace {

// A node as the registries make them: the link first, then the record's own fields.
struct test_node {
    void *link;
    int id;
};

// The ids of the nodes a walk from the head returns, in walk order.
std::vector<int> walk(const websrv_slist &list)
{
    std::vector<int> ids;
    for (void *n = websrv_slist_head(&list); n != nullptr; n = websrv_slist_next(n)) {
        ids.push_back(static_cast<test_node *>(n)->id);
        if (ids.size() > 1000)
            break;  // a cycle: stop so the assertion can report it
    }
    return ids;
}

std::string describe(const std::vector<int> &ids)
{
    std::string text;
    for (int id : ids)
        text += std::to_string(id) + " ";
    return text;
}

// A list holding nodes 0..count-1, added in that order.
struct filled_list {
    explicit filled_list(int count) : nodes(static_cast<size_t>(count))
    {
        for (int i = 0; i < count; ++i) {
            nodes[static_cast<size_t>(i)].id = i;
            websrv_slist_add(&list, &nodes[static_cast<size_t>(i)]);
        }
    }
    websrv_slist list{};
    std::vector<test_node> nodes;
};

}  // namespace

TEST(List, ZeroedListIsEmpty)
{
    websrv_slist list{};
    EXPECT_EQ(websrv_slist_head(&list), nullptr);
    EXPECT_TRUE(walk(list).empty());
}

TEST(List, AddedNodesAreWalkedInTheOrderTheyWereAdded)
{
    for (int count : {1, 2, 3, 10}) {
        filled_list filled(count);
        std::vector<int> expected;
        for (int i = 0; i < count; ++i)
            expected.push_back(i);
        EXPECT_EQ(walk(filled.list), expected) << "count " << count;
        EXPECT_EQ(websrv_slist_head(&filled.list), &filled.nodes[0]) << "count " << count;
        EXPECT_EQ(websrv_slist_next(&filled.nodes.back()), nullptr) << "count " << count;
    }
}

TEST(List, AddingANodeClearsWhateverItsLinkHeldBefore)
{
    websrv_slist list{};
    test_node stale{&list, 7};  // a link left over from earlier use
    websrv_slist_add(&list, &stale);
    EXPECT_EQ(websrv_slist_next(&stale), nullptr);
    EXPECT_EQ(walk(list), std::vector<int>{7});
}

TEST(List, RemovedNodesAreGoneAndTheOthersKeepTheirOrder)
{
    struct removal_case {
        const char *what;
        int count;
        std::vector<int> removed;
        std::vector<int> left;
    };
    const removal_case cases[] = {
        {"head", 4, {0}, {1, 2, 3}},
        {"middle", 4, {2}, {0, 1, 3}},
        {"tail", 4, {3}, {0, 1, 2}},
        {"only node", 1, {0}, {}},
        {"head then new head", 4, {0, 1}, {2, 3}},
        {"every other node", 6, {1, 3, 5}, {0, 2, 4}},
        {"tail then new tail", 5, {4, 3}, {0, 1, 2}},
        {"all, from the middle out", 5, {2, 1, 3, 0, 4}, {}},
    };
    for (const auto &c : cases) {
        filled_list filled(c.count);
        for (int id : c.removed)
            websrv_slist_remove(&filled.list, &filled.nodes[static_cast<size_t>(id)]);
        EXPECT_EQ(walk(filled.list), c.left) << c.what << ": left " << describe(walk(filled.list));
        if (c.left.empty()) {
            EXPECT_EQ(websrv_slist_head(&filled.list), nullptr) << c.what;
        }
    }
}

TEST(List, NodeAddedAfterRemovalsGoesBehindTheRemainingNodes)
{
    filled_list filled(3);
    websrv_slist_remove(&filled.list, &filled.nodes[2]);
    websrv_slist_add(&filled.list, &filled.nodes[2]);  // the old tail, linked again
    EXPECT_EQ(walk(filled.list), (std::vector<int>{0, 1, 2}));

    websrv_slist_remove(&filled.list, &filled.nodes[0]);
    websrv_slist_add(&filled.list, &filled.nodes[0]);  // the old head, linked again
    EXPECT_EQ(walk(filled.list), (std::vector<int>{1, 2, 0}));
}

TEST(List, RemovingANodeThatIsNotOnTheListChangesNothing)
{
    filled_list filled(3);
    test_node stranger{nullptr, 99};
    websrv_slist_remove(&filled.list, &stranger);
    EXPECT_EQ(walk(filled.list), (std::vector<int>{0, 1, 2}));

    // A node of another list: neither list changes.
    filled_list other(2);
    websrv_slist_remove(&filled.list, &other.nodes[1]);
    EXPECT_EQ(walk(filled.list), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(walk(other.list), (std::vector<int>{0, 1}));

    // Removing the same node twice: the second removal finds nothing to do.
    websrv_slist_remove(&filled.list, &filled.nodes[1]);
    websrv_slist_remove(&filled.list, &filled.nodes[1]);
    EXPECT_EQ(walk(filled.list), (std::vector<int>{0, 2}));

    websrv_slist empty{};
    websrv_slist_remove(&empty, &stranger);
    EXPECT_EQ(websrv_slist_head(&empty), nullptr);
}
