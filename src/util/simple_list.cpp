#include "util/simple_list.h"

#include <new>

SimpleList::~SimpleList() {
    // Qualified calls: a derived list is already gone by the time this runs.
    if (m_count != 0 || m_head) SimpleList::RemoveAllNodes();
    while (m_pool) {
        Node* node = m_pool;
        m_pool = node->next;
        delete node;
    }
}

bool SimpleList::IsValid() const {
    if (m_count == 0) return !m_head && !m_tail;
    if (m_count == 1) return m_head && m_head == m_tail;
    return m_count > 1 && m_head && m_tail && m_head != m_tail;
}

void SimpleList::RemoveAllNodes() {
    if (IsValid()) {
        Node* node = m_head;
        while (node) {
            Node* next = node->next;
            FreeNode(node);
            node = next;
        }
    }
    m_head = nullptr;
    m_tail = nullptr;
    m_count = 0;
}

SimpleList::Node* SimpleList::RemoveNode(Node* node) {
    if (!node) return nullptr;
    Node* next = node->next;
    Node* previous = node->previous;
    if (previous) {
        previous->next = next;
    } else {
        m_head = next;
    }
    if (next) {
        next->previous = previous;
    } else {
        m_tail = previous;
    }
    FreeNode(node);
    return next ? next : previous;
}

SimpleList::Node* SimpleList::InsertBefore(Node* position, void* data) {
    if (!position) position = m_head;
    Node* previous = position ? position->previous : nullptr;
    Node* node = NewNode(previous, position);
    if (!node) return nullptr;
    node->data = data;
    if (previous) {
        previous->next = node;
    } else {
        m_head = node;
    }
    if (position) {
        position->previous = node;
    } else {
        m_tail = node;
    }
    return node;
}

SimpleList::Node* SimpleList::InsertAfter(Node* position, void* data) {
    if (!position) position = m_tail;
    Node* next = position ? position->next : nullptr;
    Node* node = NewNode(position, next);
    if (!node) return nullptr;
    node->data = data;
    if (next) {
        next->previous = node;
    } else {
        m_tail = node;
    }
    if (position) {
        position->next = node;
    } else {
        m_head = node;
    }
    return node;
}

SimpleList::Node* SimpleList::FindNode(const void* data, const Node* start) const {
    for (Node* node = start ? start->next : m_head; node; node = node->next) {
        if (node->data == data) return node;
    }
    return nullptr;
}

SimpleList::Node* SimpleList::NewNode(Node* previous, Node* next) {
    Node* node = m_pool;
    if (node) {
        m_pool = node->next;
    } else {
        node = new (std::nothrow) Node;
        if (!node) return nullptr;
    }
    node->next = next;
    node->previous = previous;
    node->data = nullptr;
    ++m_count;
    return node;
}

void SimpleList::FreeNode(Node* node) {
    if (!node) return;
    node->next = m_pool;
    node->previous = nullptr;
    node->data = nullptr;
    m_pool = node;
    --m_count;
}

SimpleList::Node* SimpleList::AddTail(void* data) { return InsertAfter(m_tail, data); }

void* SimpleList::RemoveTail() {
    Node* node = m_tail;
    if (!node) return nullptr;
    void* data = node->data;
    m_tail = node->previous;
    if (m_tail) {
        m_tail->next = nullptr;
    } else {
        m_head = nullptr;
    }
    FreeNode(node);
    return data;
}
