// The intrusive list: links at both ends and in the middle stay consistent after every append
// and removal, checked by walking the list both ways.
#include <gtest/gtest.h>

#include <vector>

#include "support/Lists.h"

namespace {

struct Element {
    ListNode node;
    int value;
};

// The values in forward order, after checking that the backward walk, the ends and the count
// agree with the forward walk.
std::vector<int> Contents(const List& list) {
    std::vector<const ListNode*> forward;
    for (const ListNode* node = list.first; node != nullptr; node = node->next) {
        forward.push_back(node);
        if (forward.size() > list.count + 1) {
            ADD_FAILURE() << "the forward links do not end";
            break;
        }
    }
    std::vector<const ListNode*> backward;
    for (const ListNode* node = list.last; node != nullptr; node = node->prev) {
        backward.insert(backward.begin(), node);
        if (backward.size() > list.count + 1) {
            ADD_FAILURE() << "the backward links do not end";
            break;
        }
    }
    EXPECT_EQ(forward, backward);
    EXPECT_EQ(forward.size(), list.count);
    EXPECT_EQ(list.first == nullptr, list.last == nullptr);
    std::vector<int> values;
    for (const ListNode* node : forward) {
        values.push_back(reinterpret_cast<const Element*>(node)->value);
    }
    return values;
}

class ListTest : public ::testing::Test {
protected:
    void SetUp() override {
        ListInit(&list);
        for (int i = 0; i < 4; i++) {
            elements[i].value = i;
            // Stale links, as an element that was listed before has: append must not trust them.
            elements[i].node.prev = &elements[3 - i].node;
            elements[i].node.next = &elements[(i + 1) % 4].node;
        }
    }
    void Append(int count) {
        for (int i = 0; i < count; i++) {
            EXPECT_EQ(ListAppend(&list, &elements[i].node), &elements[i].node);
        }
    }
    List list;
    Element elements[4];
};

TEST_F(ListTest, RemovalFromEachPositionKeepsTheRestLinked) {
    struct Case {
        int count;
        int removed;
        std::vector<int> left;
    };
    const Case cases[] = {
        {1, 0, {}},        // the only node
        {4, 0, {1, 2, 3}}, // first
        {4, 3, {0, 1, 2}}, // last: its predecessor becomes last with a null next
        {4, 1, {0, 2, 3}}, // middle
        {4, 2, {0, 1, 3}}, // middle, next to last
        {2, 1, {0}},       // last of two
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << " nodes, removing " << c.removed);
        SetUp();
        Append(c.count);
        ListNode* removed = &elements[c.removed].node;
        EXPECT_EQ(ListRemove(&list, removed), removed);
        EXPECT_EQ(removed->prev, nullptr);
        EXPECT_EQ(removed->next, nullptr);
        EXPECT_EQ(Contents(list), c.left);
        if (list.last != nullptr) {
            EXPECT_EQ(list.last->next, nullptr);
            EXPECT_EQ(list.first->prev, nullptr);
        }
    }
}

} // namespace
