// DirectoryReader: reads a container's header and directory (layout:
// record_format.h) into an entry table: the header, the title, then the
// tree of index records from the root that follows the title, loading every
// entry record it leads to, in order. The records are read through the
// record file's read window, each record with a read of about its own size:
// of an entry record only what an entry keeps in memory is read and decoded
// (its name, size, chunk size and first seek-table slot), never the 8000
// bytes of its seek table, which make nearly all of a directory's bytes. A
// directory of thousands of entries then costs a small read per entry,
// which is cheaper than large reads that copy every seek table (and the
// data records between them) only to skip it.
//
// Results as a host sees them: RES_BAD_FORMAT for a file that is no
// container (magic) or of a later version; E_FAIL for any other damage;
// RES_IO_ERROR for an index payload too long to read; E_OUTOFMEMORY. The
// entries loaded before a failure stay loaded. Damage is also recorded in
// the report: where, in what, and why.
#ifndef CONTFS_CONTAINER_DIRECTORY_READER_H
#define CONTFS_CONTAINER_DIRECTORY_READER_H

#include <cstdint>

#include "container/damage_report.h"
#include "container/entry_table.h"
#include "container/record_file.h"
#include "util/compact_string.h"

// What a container's header holds. ReadHeader fills the fields as it goes,
// so a header that fails part of the way keeps what came before.
struct ContainerHeader {
    enum class Variant { kW7K, kCFS };
    Variant variant = Variant::kW7K;
    uint32_t magic = 0;    // the first four bytes, big-endian, once read
    uint16_t version = 0;  // of a ".W7K" header, also one refused
    uint8_t cleanFlag = record_format::kCleanFlagUnclean;
    bool cleanFlagRead = false;
    CompactString title;
    uint64_t firstRecordOffset = 0;  // the root index record, after the title
};

class DirectoryReader {
public:
    // What reading a directory may take in memory, in bytes per byte of the
    // file (plus a few kilobytes): see WalkIndex.
    static constexpr uint64_t kBytesPerFileByte = 8;

    DirectoryReader(RecordFile& file, EntryTable& entries, DamageReport& report)
        : m_file(file), m_entries(entries), m_report(report) {}

    // The header from offset 0 on. The variant is set once the magic is
    // known, even when the rest fails.
    int32_t ReadHeader(ContainerHeader* header);
    // The index tree from the root at firstRecordOffset. With
    // damagePerEntry (a container not closed cleanly, whose last records
    // may never have reached the disk) a slot that leads nowhere usable -
    // outside the file, to bytes that are no record, into a record met
    // before - or to an entry record that cannot be loaded is damage of
    // that entry alone: its number stays in use with no entry, the damage
    // is reported, and the walk goes on. Only the root must be readable.
    int32_t ReadIndex(uint64_t firstRecordOffset, bool damagePerEntry = false);

private:
    int32_t WalkIndex(uint64_t firstRecordOffset, const RecordHeader& root);
    int32_t LoadEntryRecord(const RecordHeader& record);
    int32_t Unreadable(int32_t readResult, uint64_t offset, uint32_t part, const char* what);
    // count bytes at offset through the read window, which a read fills
    // with readAhead bytes (at least count) when it does not hold them:
    // E_FAIL when the file holds fewer, RES_IO_ERROR when it cannot be
    // read, E_OUTOFMEMORY without a window.
    int32_t BytesAt(uint64_t offset, uint32_t count, const uint8_t** bytes, uint32_t readAhead = 0);
    int32_t ReadHead(uint64_t offset, RecordHeader* out);

    RecordFile& m_file;
    EntryTable& m_entries;
    DamageReport& m_report;
    int64_t m_fileLength = -1;  // taken once, as the walk begins
    bool m_damagePerEntry = false;
};

#endif
