#include "util/simple_list.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

using Node = SimpleList::Node;

int g_items[8];
void* Item(int i) { return &g_items[i]; }

// Data pointers from head to tail, checking the backward links on the way.
std::vector<void*> Contents(const SimpleList& list) {
    std::vector<void*> out;
    const Node* previous = nullptr;
    for (Node* node = list.Head(); node; node = node->next) {
        EXPECT_EQ(node->previous, previous);
        out.push_back(node->data);
        previous = node;
    }
    EXPECT_EQ(list.Tail(), previous);
    EXPECT_EQ(static_cast<int32_t>(out.size()), list.GetNodeCount());
    EXPECT_TRUE(list.IsValid());
    return out;
}

TEST(SimpleListTest, RemoveTailGivesTheDataBackInReverseOrder) {
    SimpleList list;
    list.AddTail(Item(0));
    list.AddTail(Item(1));
    list.AddTail(Item(2));
    EXPECT_EQ(Contents(list), (std::vector<void*>{Item(0), Item(1), Item(2)}));
    EXPECT_EQ(list.RemoveTail(), Item(2));
    EXPECT_EQ(list.RemoveTail(), Item(1));
    EXPECT_EQ(list.RemoveTail(), Item(0));
    EXPECT_EQ(list.GetNodeCount(), 0);
    EXPECT_EQ(list.Head(), nullptr);
    EXPECT_EQ(list.Tail(), nullptr);
    EXPECT_TRUE(list.IsValid());
    EXPECT_EQ(list.RemoveTail(), nullptr);
}

TEST(SimpleListTest, NodesGivenBackAreReusedFromThePool) {
    SimpleList list;
    std::set<Node*> first;
    for (int i = 0; i < 5; ++i) first.insert(list.AddTail(Item(i)));
    list.RemoveAllNodes();
    EXPECT_EQ(list.GetNodeCount(), 0);
    EXPECT_EQ(Contents(list), std::vector<void*>{});
    std::set<Node*> second;
    for (int i = 0; i < 5; ++i) second.insert(list.InsertBefore(nullptr, Item(i)));
    EXPECT_EQ(first, second);
    // The pool is empty again: the sixth node is new.
    EXPECT_EQ(first.count(list.AddTail(Item(5))), 0u);
}

TEST(SimpleListTest, RemoveNodeReturnsTheFollowingOrElseThePrecedingNode) {
    SimpleList list;
    Node* a = list.AddTail(Item(0));
    Node* b = list.AddTail(Item(1));
    Node* c = list.AddTail(Item(2));
    EXPECT_EQ(list.RemoveNode(b), c);
    EXPECT_EQ(Contents(list), (std::vector<void*>{Item(0), Item(2)}));
    EXPECT_EQ(list.RemoveNode(c), a);
    EXPECT_EQ(Contents(list), std::vector<void*>{Item(0)});
    EXPECT_EQ(list.RemoveNode(a), nullptr);
    EXPECT_EQ(Contents(list), std::vector<void*>{});
}

TEST(SimpleListTest, RemovingTheHeadMovesTheHead) {
    SimpleList list;
    Node* a = list.AddTail(Item(0));
    Node* b = list.AddTail(Item(1));
    EXPECT_EQ(list.RemoveNode(a), b);
    EXPECT_EQ(list.Head(), b);
    EXPECT_EQ(Contents(list), std::vector<void*>{Item(1)});
}

TEST(SimpleListTest, InsertionsLinkBeforeAndAfterAndAtBothEnds) {
    SimpleList list;
    Node* middle = list.InsertAfter(nullptr, Item(2));
    list.InsertBefore(nullptr, Item(0));  // at the head
    list.InsertAfter(nullptr, Item(4));   // at the tail
    list.InsertBefore(middle, Item(1));
    list.InsertAfter(middle, Item(3));
    EXPECT_EQ(Contents(list), (std::vector<void*>{Item(0), Item(1), Item(2), Item(3), Item(4)}));
}

TEST(SimpleListTest, FindNodeStartsAfterTheGivenNode) {
    SimpleList list;
    Node* first = list.AddTail(Item(0));
    list.AddTail(Item(1));
    Node* again = list.AddTail(Item(0));
    EXPECT_EQ(list.FindNode(Item(0), nullptr), first);
    EXPECT_EQ(list.FindNode(Item(0), first), again);
    EXPECT_EQ(list.FindNode(Item(0), again), nullptr);
    EXPECT_EQ(list.FindNode(Item(7), nullptr), nullptr);
}

TEST(SimpleListTest, CountOfANullListIsZero) { EXPECT_EQ(SimpleList::GetNodeCount(nullptr), 0); }

// A list whose node supply runs dry after a number of nodes, through the
// virtual slot every insertion goes through.
class RationedList : public SimpleList {
public:
    explicit RationedList(int allowed) : m_allowed(allowed) {}
    Node* NewNode(Node* previous, Node* next) override {
        if (m_allowed == 0) return nullptr;
        --m_allowed;
        return SimpleList::NewNode(previous, next);
    }

private:
    int m_allowed;
};

TEST(SimpleListTest, InsertionsWithoutANodeChangeNothing) {
    RationedList list(2);
    ASSERT_NE(list.AddTail(Item(0)), nullptr);
    ASSERT_NE(list.AddTail(Item(1)), nullptr);
    EXPECT_EQ(list.AddTail(Item(2)), nullptr);
    EXPECT_EQ(list.InsertBefore(list.Head(), Item(3)), nullptr);
    EXPECT_EQ(list.InsertAfter(list.Head(), Item(4)), nullptr);
    EXPECT_EQ(Contents(list), (std::vector<void*>{Item(0), Item(1)}));
}

}  // namespace
