#include "util/kt_simple_list.h"

#include <new>

CKTSimpleList::~CKTSimpleList() {
    // Qualified calls: a derived list is already gone by the time this runs.
    if (m_count != 0 || m_head) CKTSimpleList::RemoveAllNodes();
    while (m_pool) {
        Node* node = m_pool;
        m_pool = node->next;
        delete node;
    }
}

bool CKTSimpleList::IsValid() const {
    if (m_count == 0) return !m_head && !m_tail;
    if (m_count == 1) return m_head && m_head == m_tail;
    return m_count > 1 && m_head && m_tail && m_head != m_tail;
}

void CKTSimpleList::RemoveAllNodes() {
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

CKTSimpleList::Node* CKTSimpleList::RemoveNode(Node* node) {
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

CKTSimpleList::Node* CKTSimpleList::InsertBefore(Node* position, void* data) {
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

CKTSimpleList::Node* CKTSimpleList::InsertAfter(Node* position, void* data) {
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

CKTSimpleList::Node* CKTSimpleList::FindNode(const void* data, const Node* start) const {
    for (Node* node = start ? start->next : m_head; node; node = node->next) {
        if (node->data == data) return node;
    }
    return nullptr;
}

CKTSimpleList::Node* CKTSimpleList::NewNode(Node* previous, Node* next) {
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

void CKTSimpleList::FreeNode(Node* node) {
    if (!node) return;
    node->next = m_pool;
    node->previous = nullptr;
    node->data = nullptr;
    m_pool = node;
    --m_count;
}

CKTSimpleList::Node* CKTSimpleList::AddTail(void* data) { return InsertAfter(m_tail, data); }

void* CKTSimpleList::RemoveTail() {
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
