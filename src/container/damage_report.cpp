#include "container/damage_report.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

int32_t DamageReport::Damage(int32_t result, uint64_t offset, uint32_t part, const char* format, ...) {
    if (m_hasDamage) return result;
    char reason[256];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(reason, sizeof reason, format, arguments);
    va_end(arguments);
    m_hasDamage = true;
    m_offset = offset;
    m_part = part;
    m_reason = reason;
    return result;
}

void DamageReport::Recovered(const Recovery& recovery) {
    m_recovery = recovery;
    m_recovery.ran = true;
    m_summary.Format("rebuilt the sizes and seek tables of %" PRIu32 " entr%s from %" PRIu32
                     " data record%s; the records end at offset %" PRIu64 "%s; %s",
                     recovery.entries, recovery.entries == 1 ? "y" : "ies", recovery.dataRecords,
                     recovery.dataRecords == 1 ? "" : "s", recovery.endOffset,
                     recovery.cutShort ? ", inside a record cut short by the end of the file" : "",
                     recovery.writtenBack ? "written back and marked clean"
                     : !recovery.complete ? "not written back: the records after it could not be read"
                     : HasDamage()        ? "not written back: the directory is damaged"
                                          : "not written back (another holder has the file open, or it is read only)");
}
