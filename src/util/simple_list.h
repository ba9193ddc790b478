// SimpleList: a doubly linked list of untyped pointers that keeps the
// nodes it gives back in a pool for later insertions. The list never owns
// the pointers it holds.
//
// Every node is obtained through NewNode and given up through FreeNode, both
// virtual, so a derived list can change where nodes come from. The pool is
// freed only by the destructor.
#ifndef CONTFS_UTIL_SIMPLE_LIST_H
#define CONTFS_UTIL_SIMPLE_LIST_H

#include <cstdint>

struct SimpleListNode {
    SimpleListNode* next;
    SimpleListNode* previous;
    void* data;
};

class SimpleList {
public:
    using Node = SimpleListNode;

    SimpleList() = default;
    SimpleList(const SimpleList&) = delete;
    SimpleList& operator=(const SimpleList&) = delete;

    virtual ~SimpleList();  // 0
    // Count 0 with no ends, count 1 with head = tail, more with head != tail.
    virtual bool IsValid() const;  // 1
    // Every node goes back to the pool; the list is empty afterwards.
    virtual void RemoveAllNodes();  // 2
    // Returns the node that followed the removed one, or, when it was the
    // last, the one that preceded it (null when the list is now empty).
    virtual Node* RemoveNode(Node* node);  // 3
    // A null position means at the head. Null when no node can be had.
    virtual Node* InsertBefore(Node* position, void* data);  // 4
    // A null position means at the tail. Null when no node can be had.
    virtual Node* InsertAfter(Node* position, void* data);  // 5
    // Searches from the node after start (from the head when start is null).
    virtual Node* FindNode(const void* data, const Node* start) const;  // 6
    // A pooled node when there is one, else a new one; links set, data null.
    virtual Node* NewNode(Node* previous, Node* next);  // 7
    virtual void FreeNode(Node* node);                  // 8

    // Appends after the tail; null when no node can be had.
    Node* AddTail(void* data);
    // Unlinks the tail and returns its data; null on an empty list.
    void* RemoveTail();

    int32_t GetNodeCount() const { return m_count; }
    // The same for a list that may be null.
    static int32_t GetNodeCount(const SimpleList* list) { return list ? list->m_count : 0; }

    Node* Head() const { return m_head; }
    Node* Tail() const { return m_tail; }

private:
    Node* m_head = nullptr;
    Node* m_tail = nullptr;
    Node* m_pool = nullptr;
    int32_t m_count = 0;
};

#endif
