// The container file layout. Every integer is unsigned big-endian
// (big_endian.h); there is no alignment and no padding; offsets are absolute
// 64-bit file positions.
//
//   header ".W7K":  magic(4) version(2) clean(1) titleLength(4) title(L)
//   header ".CFS":  magic(4) clean(1) titleLength(4) title(L)       (read only)
//   then records back to back, the first an index record:
//
//   record head:    type(1) payloadLength(4)     length 0 = runs to end of file
//   index  (0):     slots 0..255: entry-record offsets, slot 256: next index record
//   entry  (1):     nameLength(4) name(M) size(8) chunkSize(8) seekTable(8 x 1000)
//   data   (2):     entryIndex(4) logicalOffset(8) data(D)
//                   (entry index kNoEntryIndex: a filler the writer puts
//                   before a record it wants to start on a block boundary)
//
// Writer and reader both take every tag, offset and size from here.
#ifndef CONTFS_CONTAINER_RECORD_FORMAT_H
#define CONTFS_CONTAINER_RECORD_FORMAT_H

#include <cstdint>

namespace record_format {

// ---- entries -----------------------------------------------------------------
// Entry numbers are 16 bits wide: a container holds at most this many.
constexpr uint32_t kMaxEntryNumbers = 65536;

// ---- header ---------------------------------------------------------------
constexpr uint32_t kMagicSize = 4;
constexpr uint8_t kMagicW7K[kMagicSize] = {0x2E, 0x57, 0x37, 0x4B};  // ".W7K"
constexpr uint8_t kMagicCFS[kMagicSize] = {0x2E, 0x43, 0x46, 0x53};  // ".CFS"

constexpr uint32_t kW7KVersionOffset = 4;
constexpr uint32_t kW7KVersionSize = 2;
constexpr uint32_t kW7KCleanFlagOffset = 6;
constexpr uint32_t kW7KTitleLengthOffset = 7;
constexpr uint32_t kW7KTitleOffset = 11;
constexpr uint16_t kVersionWritten = 1;
constexpr uint16_t kHighestVersionRead = 1;

constexpr uint32_t kCFSCleanFlagOffset = 4;
constexpr uint32_t kCFSTitleLengthOffset = 5;
constexpr uint32_t kCFSTitleOffset = 9;

constexpr uint32_t kCleanFlagSize = 1;
constexpr uint8_t kCleanFlagUnclean = 0;
constexpr uint8_t kCleanFlagClean = 1;
constexpr uint32_t kStringLengthSize = 4;
constexpr uint32_t kMaxTitleWritten = 255;

static_assert(kW7KCleanFlagOffset == kW7KVersionOffset + kW7KVersionSize, "clean flag follows the version");
static_assert(kW7KTitleLengthOffset == kW7KCleanFlagOffset + kCleanFlagSize, "title length follows the flag");
static_assert(kW7KTitleOffset == kW7KTitleLengthOffset + kStringLengthSize, "title follows its length");
static_assert(kCFSCleanFlagOffset == kMagicSize, "the .CFS flag follows the magic");
static_assert(kCFSTitleOffset == kCFSTitleLengthOffset + kStringLengthSize, "title follows its length");

// ---- every record ------------------------------------------------------------
constexpr uint32_t kRecordTypeOffset = 0;
constexpr uint32_t kRecordLengthOffset = 1;
constexpr uint32_t kRecordHeadSize = 5;
constexpr uint32_t kGrowingLength = 0;  // length field of a record still being appended

enum RecordType : uint8_t { kIndexRecord = 0, kEntryRecord = 1, kDataRecord = 2 };

static_assert(kRecordLengthOffset + 4 == kRecordHeadSize, "head is type and length");

// ---- index record --------------------------------------------------------------
constexpr uint32_t kSlotSize = 8;
constexpr uint32_t kEntriesPerIndex = 256;         // slots 0..255 name entry records
constexpr uint32_t kIndexLinkSlot = kEntriesPerIndex;  // slot 256: next index record
constexpr uint32_t kIndexPayloadSize = kSlotSize * (kEntriesPerIndex + 1);
constexpr uint32_t kMaxIndexPayloadRead = 8000;
constexpr uint32_t kIndexRecordSize = kRecordHeadSize + kIndexPayloadSize;

static_assert(kIndexPayloadSize == 2056, "index payload: 257 slots");
static_assert(kIndexLinkSlot * kSlotSize == 2048, "the link is at payload offset 2048");
static_assert(kIndexPayloadSize <= kMaxIndexPayloadRead, "a reader accepts what a writer writes");

// ---- entry record --------------------------------------------------------------
constexpr uint32_t kEntryNameLengthOffset = kRecordHeadSize;                   // 5
constexpr uint32_t kEntryNameOffset = kEntryNameLengthOffset + kStringLengthSize;  // 9
// The tail follows the name (at kEntryNameOffset + M): size, chunk size, seek table.
constexpr uint32_t kTailSizeOffset = 0;
constexpr uint32_t kTailChunkSizeOffset = 8;
constexpr uint32_t kTailSeekTableOffset = 16;
constexpr uint32_t kSeekTableSlots = 1000;
constexpr uint32_t kSeekTableBytes = kSlotSize * kSeekTableSlots;
constexpr uint32_t kEntryTailSize = kTailSeekTableOffset + kSeekTableBytes;
// Payload length = M + kEntryPayloadFixed.
constexpr uint32_t kEntryPayloadFixed = kStringLengthSize + kEntryTailSize;
// A new entry's chunk size; every chunk size is this times a power of two.
constexpr uint64_t kBaseChunkSize = 25000;

static_assert(kEntryNameOffset == 9, "the name starts 9 bytes into the record");
static_assert(kSeekTableBytes == 8000, "1000 slots of 8 bytes");
static_assert(kEntryTailSize == 8016, "size, chunk size and seek table");
static_assert(kEntryPayloadFixed == 8020, "entry payload is M + 8020");

// ---- data record ---------------------------------------------------------------
constexpr uint32_t kDataEntryIndexOffset = kRecordHeadSize;          // 5
constexpr uint32_t kDataLogicalOffsetOffset = kDataEntryIndexOffset + 4;  // 9
constexpr uint32_t kDataRecordHeadSize = kDataLogicalOffsetOffset + 8;    // 17, data follows
constexpr uint32_t kDataHeadPayload = kDataRecordHeadSize - kRecordHeadSize;  // 12
// A writer starts a new record rather than let a payload length reach 0xFFFFFFFF.
constexpr uint32_t kMaxDataPayload = 0xFFFFFFFEu;
// Entry numbers run from 0 to 65535, so a data record with this entry index
// belongs to no entry: readers pass over it like any other entry's record.
constexpr uint32_t kNoEntryIndex = 0xFFFFFFFFu;

static_assert(kDataRecordHeadSize == 17, "data head: record head, entry index, logical offset");
static_assert(kDataHeadPayload == 12, "payload length is 12 + D");

// The scratch buffer stages every fixed-size piece; the largest is the tail.
constexpr uint32_t kScratchSize = 8000;
static_assert(kMaxIndexPayloadRead <= kScratchSize, "an index payload fits the scratch");
static_assert(kSeekTableBytes <= kScratchSize, "a seek table fits the scratch");

}  // namespace record_format

#endif
