// StringMap: a chained hash map from text keys to pointer values (not
// owned), used by the open-container registry and by each container's index
// of entry names.
//
//   buckets ──► [ 0 ][ 1 ] ... [ 16 ]        17 chain heads, allocated at the
//                 │                           first insertion, never resized
//                 ▼
//               node ─► node ─► null          newest node at the head
//
//   blocks ──► [ header | node node ... node ] ─► [ header | node ... ] ─► null
//   free list: unused nodes of every block, one after another
//
// Nodes come from blocks of block-size nodes and return to the free list
// when removed, so inserting after a removal allocates no node; blocks are
// freed only by RemoveAll (and the destructor).
//
// Iteration: a position is a node; StartPosition stands before the first
// entry and null after the last. Order is ascending bucket index and,
// within a bucket, newest entry first. Removing the entry just reported is
// safe; removing the one a position points at next invalidates it.
//
// Not thread-safe: the owner serialises every call (the registry has its
// own lock, see container_registry.h).
#ifndef CONTFS_UTIL_STRING_MAP_H
#define CONTFS_UTIL_STRING_MAP_H

#include <qlx/result.h>

#include <cstddef>
#include <cstdint>

#include "util/compact_string.h"

class StringMap {
public:
    using Position = const void*;
    // Before the first entry (the value -1).
    static const Position StartPosition;
    static constexpr uint32_t kBucketCount = 17;

    explicit StringMap(uint32_t blockSize);
    ~StringMap();
    StringMap(const StringMap&) = delete;
    StringMap& operator=(const StringMap&) = delete;

    // 1 and *value (when value is not null) for a present key, else 0.
    int32_t Lookup(const char* key, void** value) const;
    // Stores value under key, adding an entry when the key is absent.
    // E_OUTOFMEMORY (map unchanged) when a bucket array, node block or key
    // copy cannot be had; E_POINTER for a null key.
    int32_t SetAt(const char* key, void* value);
    // 1 when an entry was removed, else 0.
    int32_t RemoveKey(const char* key);
    // Reports the entry at position (key copied into its own storage) and
    // advances position; false, with position null, when there is none.
    bool GetNextAssoc(Position& position, CompactString& key, void*& value) const;
    uint32_t Count() const { return m_count; }
    // Frees every entry, the bucket array and every block; the map can be
    // used again.
    void RemoveAll();

    // Case sensitivity can only change while the map is empty (false otherwise).
    bool SetCaseSensitive(bool caseSensitive);
    bool IsCaseSensitive() const { return m_caseSensitive != 0; }
    uint32_t BucketCount() const { return m_bucketCount; }
    uint32_t BlockSize() const { return m_blockSize; }

    // The hash of a text as this map computes it (before the modulo).
    uint32_t HashKey(const char* key) const;

    // For tests: called before every node-block allocation with the block's
    // size in bytes; returning false makes that allocation fail as if memory
    // had run out. Null (the default) allocates normally. Process-wide; set
    // it only while no map is in use on another thread.
    using BlockAllocationHook = bool (*)(size_t bytes, void* context);
    static void SetBlockAllocationHook(BlockAllocationHook hook, void* context);

private:
    struct Node {
        Node* next;
        uint32_t bucket;
        CompactString key;
        void* value;
    };
    struct Block;

    bool KeyEquals(const CompactString& stored, const char* key) const;
    Node* Find(const char* key) const;
    Node* TakeNode();
    bool AddBlock();
    void FreeBlocks();

    Node** m_buckets = nullptr;
    uint32_t m_bucketCount = kBucketCount;
    uint32_t m_count = 0;
    Node* m_free = nullptr;
    Block* m_blocks = nullptr;
    uint32_t m_blockSize;
    int32_t m_caseSensitive = 1;
};

#endif
