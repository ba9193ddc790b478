#include "util/string_map.h"

#include <cstring>
#include <new>

#include "util/text.h"

const StringMap::Position StringMap::StartPosition = reinterpret_cast<StringMap::Position>(~uintptr_t{0});

namespace {

StringMap::BlockAllocationHook g_blockHook = nullptr;
void* g_blockHookContext = nullptr;

}  // namespace

// A block header followed by its nodes, constructed in place.
struct StringMap::Block {
    Block* next;
    uint32_t nodeCount;

    static constexpr size_t HeaderBytes() { return (sizeof(Block) + alignof(Node) - 1) / alignof(Node) * alignof(Node); }
    Node* Nodes() { return reinterpret_cast<Node*>(reinterpret_cast<unsigned char*>(this) + HeaderBytes()); }
};

void StringMap::SetBlockAllocationHook(BlockAllocationHook hook, void* context) {
    g_blockHook = hook;
    g_blockHookContext = context;
}

StringMap::StringMap(uint32_t blockSize) : m_blockSize(blockSize ? blockSize : 1) {}

StringMap::~StringMap() { RemoveAll(); }

bool StringMap::SetCaseSensitive(bool caseSensitive) {
    if (m_count != 0) return false;
    m_caseSensitive = caseSensitive ? 1 : 0;
    return true;
}

// Only the first byte of a double-byte character enters the hash.
uint32_t StringMap::HashKey(const char* key) const {
    uint32_t h = 0;
    for (const char* p = key; *p; p = NextChar(p)) {
        unsigned char byte = static_cast<unsigned char>(*p);
        if (!m_caseSensitive && byte >= 'A' && byte <= 'Z') byte |= 0x20;
        h = h * 33 + static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(byte)));
    }
    return h;
}

bool StringMap::KeyEquals(const CompactString& stored, const char* key) const {
    if (m_caseSensitive) return std::strcmp(stored.GetChars(), key) == 0;
    return CompareNoCase(stored.GetChars(), key) == 0;
}

StringMap::Node* StringMap::Find(const char* key) const {
    if (!key || !m_buckets || m_count == 0) return nullptr;
    for (Node* node = m_buckets[HashKey(key) % m_bucketCount]; node; node = node->next) {
        if (KeyEquals(node->key, key)) return node;
    }
    return nullptr;
}

int32_t StringMap::Lookup(const char* key, void** value) const {
    Node* node = Find(key);
    if (!node) return 0;
    if (value) *value = node->value;
    return 1;
}

bool StringMap::AddBlock() {
    size_t bytes = Block::HeaderBytes() + sizeof(Node) * m_blockSize;
    if (g_blockHook && !g_blockHook(bytes, g_blockHookContext)) return false;
    void* memory = ::operator new(bytes, std::nothrow);
    if (!memory) return false;
    Block* block = static_cast<Block*>(memory);
    block->next = m_blocks;
    block->nodeCount = m_blockSize;
    m_blocks = block;
    // Pushed last to first, so the block's first node is taken first.
    Node* nodes = block->Nodes();
    for (uint32_t i = m_blockSize; i-- > 0;) {
        Node* node = new (&nodes[i]) Node{m_free, 0, CompactString(), nullptr};
        m_free = node;
    }
    return true;
}

StringMap::Node* StringMap::TakeNode() {
    if (!m_free && !AddBlock()) return nullptr;
    Node* node = m_free;
    m_free = node->next;
    node->next = nullptr;
    node->value = nullptr;
    return node;
}

int32_t StringMap::SetAt(const char* key, void* value) {
    if (!key) return E_POINTER;
    if (Node* found = Find(key)) {
        found->value = value;
        return S_OK;
    }
    if (!m_buckets) {
        m_buckets = new (std::nothrow) Node*[m_bucketCount]();
        if (!m_buckets) return E_OUTOFMEMORY;
    }
    Node* node = TakeNode();
    if (!node) return E_OUTOFMEMORY;
    node->key = key;
    if (node->key.GetLength() != std::strlen(key)) {
        // The key's text could not be stored: give the node back unused.
        node->key.Empty();
        node->next = m_free;
        m_free = node;
        return E_OUTOFMEMORY;
    }
    node->bucket = HashKey(key) % m_bucketCount;
    node->value = value;
    node->next = m_buckets[node->bucket];
    m_buckets[node->bucket] = node;
    ++m_count;
    return S_OK;
}

int32_t StringMap::RemoveKey(const char* key) {
    if (!key || !m_buckets) return 0;
    for (Node** link = &m_buckets[HashKey(key) % m_bucketCount]; *link; link = &(*link)->next) {
        Node* node = *link;
        if (!KeyEquals(node->key, key)) continue;
        *link = node->next;
        node->key.Empty();
        node->value = nullptr;
        node->next = m_free;
        m_free = node;
        --m_count;
        return 1;
    }
    return 0;
}

bool StringMap::GetNextAssoc(Position& position, CompactString& key, void*& value) const {
    const Node* node = static_cast<const Node*>(position);
    if (position == StartPosition) {
        node = nullptr;
        for (uint32_t b = 0; m_buckets && b < m_bucketCount && !node; ++b) node = m_buckets[b];
    }
    if (!node) {
        position = nullptr;
        return false;
    }
    // A copy of the text, not a share of the node's storage: the caller's
    // string may outlive the entry or travel to another thread.
    key = CompactString(node->key.GetChars(), node->key.GetLength());
    value = node->value;

    const Node* next = node->next;
    for (uint32_t b = node->bucket + 1; !next && b < m_bucketCount; ++b) next = m_buckets[b];
    position = next;
    return true;
}

void StringMap::FreeBlocks() {
    while (m_blocks) {
        Block* block = m_blocks;
        m_blocks = block->next;
        Node* nodes = block->Nodes();
        for (uint32_t i = 0; i < block->nodeCount; ++i) nodes[i].~Node();
        ::operator delete(block);
    }
    m_free = nullptr;
}

void StringMap::RemoveAll() {
    // Destroying every node of every block frees the keys of the entries too.
    delete[] m_buckets;
    m_buckets = nullptr;
    m_count = 0;
    FreeBlocks();
}
