// DamageReport: where a container's bytes first proved damaged, and what
// recovery rebuilt.
//
// The reader, recovery and entry input record here, at the place they
// detect it, the first damage they meet: its file offset, the part of the
// file it is in (a record's type byte as read, or the header) and a reason
// in words ("entry record 7 at offset 123456 runs past the end of the
// file"). Later damage is not recorded: the first is where a person looks.
// The result a caller returns stays the one the format fixes; the report
// only says where and why.
//
// Recovery records what it rebuilt, so that a repair is never silent.
// One user at a time: the container's mutex.
#ifndef CONTFS_CONTAINER_DAMAGE_REPORT_H
#define CONTFS_CONTAINER_DAMAGE_REPORT_H

#include <qlx/interfaces.h>

#include <cstdint>

#include "util/compact_string.h"

class DamageReport {
public:
    // The part of the file damage is in: a record type (0 index, 1 entry,
    // 2 data, or whatever other value the type byte holds), or the header;
    // hosts read it through IQLXContainerInspector.
    static constexpr uint32_t kHeader = ContainerPartHeader;

    // Records damage unless some was recorded before; returns result, so a
    // reader can write `return report.Damage(E_FAIL, ...)`.
    int32_t Damage(int32_t result, uint64_t offset, uint32_t part, const char* format, ...)
        __attribute__((format(printf, 5, 6)));

    bool HasDamage() const { return m_hasDamage; }
    uint64_t Offset() const { return m_offset; }
    uint32_t Part() const { return m_part; }
    const char* Reason() const { return m_reason.GetChars(); }

    // What recovery did: the data records it read, the entries whose bytes
    // it found in them, and whether the rebuilt directory was written back.
    struct Recovery {
        bool ran = false;
        uint32_t dataRecords = 0;
        uint32_t entries = 0;
        bool writtenBack = false;
        uint64_t endOffset = 0;  // where the walk of records ended
        bool cutShort = false;   // the last record was cut short by the end of the file
        bool complete = false;   // the walk reached the end of the file's bytes
    };
    void Recovered(const Recovery& recovery);
    const Recovery& recovery() const { return m_recovery; }
    // The recovery in words, "" when none ran.
    const char* RecoverySummary() const { return m_summary.GetChars(); }

private:
    bool m_hasDamage = false;
    uint64_t m_offset = 0;
    uint32_t m_part = 0;
    CompactString m_reason;
    Recovery m_recovery;
    CompactString m_summary;
};

#endif
