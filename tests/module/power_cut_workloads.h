// The workloads of the power-cut simulation: seeded runs of the module,
// linked into this binary, driven through its exports as the cont commands
// drive it through the host library (tools/cont/, host/src/), each
// recording what reached its container and noting what the host knew.
#ifndef CONTFS_TESTS_MODULE_POWER_CUT_WORKLOADS_H
#define CONTFS_TESTS_MODULE_POWER_CUT_WORKLOADS_H

#include <qlx/interfaces.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "container/gathered_bytes.h"
#include "crash_images.h"
#include "host/host_file.h"
#include "power_cut_log.h"
#include "support/pattern.h"

extern "C" int32_t QLXCreateInstance(IUnknown** out);

namespace powercut {

using host::HostFile;

inline std::string Url(const std::string& path, const std::string& entry) {
    return "cont:///" + path + (entry.empty() ? "" : "?file=" + entry);
}

// A new file object, as Module::NewFileObject makes one.
inline std::unique_ptr<HostFile> NewFile(const std::string& url) {
    IUnknown* plugin = nullptr;
    IUnknown* object = nullptr;
    if (QLXCreateInstance(&plugin) == S_OK) {
        if (auto* fs = host::Query<IQLXFileSystemObject>(plugin, IID_IQLXFileSystemObject)) {
            fs->CreateFileObject(&object);
            fs->Release();
        }
        plugin->Release();
    }
    return std::make_unique<HostFile>(object, url);
}

// A file object from the pool of `sibling`, as EntryFile::OpenBeside takes one.
inline std::unique_ptr<HostFile> FileBeside(HostFile& sibling, const std::string& url) {
    host::PoolResponse pooled;
    pooled.keep = true;
    if (auto* pool = sibling.As<IQLXGetFileFromSamePool>(IID_IQLXGetFileFromSamePool)) {
        pool->CreatePooledFile(&pooled);
        pool->Release();
    }
    return std::make_unique<HostFile>(pooled.status == S_OK ? pooled.file : nullptr, url);
}

inline bool HoldsContainer(HostFile& file) {
    auto* list = file.Object() ? file.As<IQLXEnumeratorIUnknown>(IID_IQLXEnumeratorIUnknown) : nullptr;
    if (list) list->Release();
    return list != nullptr;
}

inline std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void PutFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
}

// An entry as a reader finds it.
struct EntryRead {
    enum Status { kRefused, kAbsent, kEnded, kFailed } status;
    std::string bytes;  // served with success before the end or the failure
};

// Every named entry read through, in 4 KiB pieces, as cont's reading
// commands open them: the container by a URL without a name, the entries
// from its pool.
inline std::vector<EntryRead> ReadEntries(const std::string& path, const std::vector<std::string>& names) {
    auto holder = NewFile(Url(path, ""));
    holder->Open(ReadAccess);
    std::vector<EntryRead> reads;
    for (const std::string& name : names) {
        EntryRead read{EntryRead::kRefused, {}};
        if (HoldsContainer(*holder)) {
            auto entry = FileBeside(*holder, Url(path, name));
            read.status = entry->file && entry->Open(ReadAccess) == S_OK ? EntryRead::kEnded : EntryRead::kAbsent;
            for (int32_t result = S_OK; read.status == EntryRead::kEnded;) {
                const size_t calls = entry->response.calls.size();
                result = entry->file->Read(4096);
                if (result != S_OK) {
                    // An entry of no bytes fails its first read.
                    uint64_t size = 1;
                    if (auto* inspector = entry->As<IQLXContainerInspector>(IID_IQLXContainerInspector)) {
                        inspector->GetEntrySize(name.c_str(), &size);
                        inspector->Release();
                    }
                    if (result != RES_END_OF_DATA && (size != 0 || !read.bytes.empty()))
                        read.status = EntryRead::kFailed;
                    break;
                }
                if (entry->response.calls.size() == calls || entry->response.Last().data.empty()) break;
                read.bytes += entry->response.Last().data;
                entry->response.calls.clear();
            }
        }
        reads.push_back(std::move(read));
    }
    return reads;
}

// What ContainerWriter and the Packer do for cont pack and cont add, with a
// note in the log of each step as the host begins it (of a write also as it
// returns, of a Sync once it succeeded, of the close once it finished).
// With `gather`, entries are opened with GatherAccess, as ContainerWriter
// opens them by default.
class Writer {
public:
    Writer(Log& log, std::string path, bool gather = false)
        : m_log(log), m_path(std::move(path)), m_gather(gather ? uint32_t{GatherAccess} : 0u) {}
    ~Writer() { Close(); }

    // ContainerWriter::Append: a holder takes the container up for adding.
    bool Append() {
        m_access = WriteAccess | AppendAccess;
        m_holder = NewFile(Url(m_path, ""));
        m_holder->Open(m_access);
        return HoldsContainer(*m_holder);
    }
    // ContainerWriter::AddEntry: the first entry of a new container opens it,
    // a holder joins beside; every other comes from the holder's pool.
    bool Add(const std::string& name) {
        std::unique_ptr<HostFile> file;
        if (!m_holder) {
            file = NewFile(Url(m_path, name));
            m_log.push_back(Op{Op::kAdded, name});
            if (file->Open(WriteAccess | m_gather) != S_OK) return false;
            m_holder = FileBeside(*file, Url(m_path, ""));
            m_holder->Open(ReadAccess);
        } else {
            file = FileBeside(*m_holder, Url(m_path, name));
            m_log.push_back(Op{Op::kAdded, name});
            if (!file->file || file->Open(m_access | m_gather) != S_OK) return false;
        }
        m_entries[name] = {std::move(file), 0};
        return true;
    }
    bool Write(const std::string& name, const std::string& bytes) {
        Entry& entry = m_entries[name];
        if (!entry.file) return false;
        m_log.push_back(Op{Op::kWriteBegan, name, entry.position, bytes});
        if (entry.file->Write(bytes) != S_OK) return false;
        m_log.push_back(Op{Op::kWriteEnded, name});
        entry.position += bytes.size();
        return true;
    }
    bool Seek(const std::string& name, uint64_t position) {
        Entry& entry = m_entries[name];
        if (!entry.file || !entry.file->file64) return false;
        const int32_t result =
            entry.file->file64->Seek64(static_cast<uint32_t>(position), static_cast<uint32_t>(position >> 32), 0);
        if (QLX_SUCCEEDED(result)) entry.position = position;
        return QLX_SUCCEEDED(result);
    }
    // ContainerWriter::Sync: through the holder.
    bool Sync() {
        auto* sync = m_holder ? m_holder->As<IQLXFileSync>(IID_IQLXFileSync) : nullptr;
        const int32_t result = sync ? sync->Sync() : E_NOINTERFACE;
        if (sync) sync->Release();
        if (result == S_OK) m_log.push_back(Op{Op::kDurable});
        return result == S_OK;
    }
    // ContainerWriter::Holds and Remove, as cont add --replace clears a name.
    bool Replace(const std::string& name) {
        host::ExistsResponse said;
        if (auto* exists = m_holder->As<IQLXFileExists>(IID_IQLXFileExists)) {
            exists->CheckExistence(Url(m_path, name).c_str(), &said);
            exists->Release();
        }
        if (said.exists != 1) return false;
        auto old = FileBeside(*m_holder, Url(m_path, name));
        auto* remove = old->Open(ReadAccess) == S_OK ? old->As<IQLXFileRemove>(IID_IQLXFileRemove) : nullptr;
        m_log.push_back(Op{Op::kRemoved, name});
        const int32_t result = remove ? remove->Remove() : E_FAIL;
        if (remove) remove->Release();
        return result == S_OK;
    }
    void Release(const std::string& name) { m_entries.erase(name); }
    // The entries let go, then the holder: the container writes its
    // directory and closes.
    void Close() {
        if (!m_holder) return;
        m_entries.clear();
        m_holder.reset();
        m_log.push_back(Op{Op::kDurable});
    }

private:
    struct Entry {
        std::unique_ptr<HostFile> file;
        uint64_t position = 0;
    };
    Log& m_log;
    std::string m_path;
    uint32_t m_access = WriteAccess;
    uint32_t m_gather;
    std::unique_ptr<HostFile> m_holder;
    std::map<std::string, Entry> m_entries;
};

// One recorded run: the container whose images are judged, its bytes when
// the log began, and the log. `cuts`, when given, are the only cuts whose
// images count.
struct RecordedRun {
    explicit RecordedRun(std::string at) : path(std::move(at)) {}
    std::string path;
    std::string base;
    Log log;
    size_t from = 0;  // the ops before are the notes of how `base` came to be
    std::vector<size_t> cuts;
};

// Runs `steps` with every data file the module makes recording into the
// run's log; the steps close what they open.
template <class Steps>
void Record(RecordedRun& run, Steps&& steps) {
    RecordedDataFiles recorded(run.log);
    steps();
}

inline std::string Bytes(std::mt19937_64& random, size_t most) {
    return host::Pattern(1 + random() % most, static_cast<uint32_t>(random()));
}

// cont pack: entries one after another, each released once written (in
// 1 MiB pieces, so one write each here); the container closes with the writer.
// cont syncs before it closes; a host need not: the close alone must make
// everything durable, which every other run tries.
inline void PackEntries(Writer& writer, std::mt19937_64& random, int count) {
    for (int i = 0; i < count; ++i) {
        const std::string name = "e" + std::to_string(i);
        if (!writer.Add(name)) return;
        writer.Write(name, Bytes(random, 40000));
        writer.Release(name);
    }
}

// A clean container of `count` entries made before the log begins; its
// notes go to `log`, its writes nowhere.
inline std::string Packed(const std::string& path, std::mt19937_64& random, int count, Log& log) {
    PutFile(path, "");
    {
        Writer writer(log, path);
        PackEntries(writer, random, count);
    }
    return FileBytes(path);
}

inline RecordedRun Pack(const std::string& dir, std::mt19937_64& random) {
    RecordedRun run(dir + "/pack.cnt");
    PutFile(run.path, "");  // ContainerWriter's Claim makes the file
    Record(run, [&] {
        Writer writer(run.log, run.path);
        PackEntries(writer, random, 2 + random() % 5);
        if (random() % 2) writer.Sync();
    });
    return run;
}

// Entries opened at once and written round-robin in small pieces; with
// `syncEvery`, a Sync through the holder after every so many pieces. The
// bytes each entry was to receive.
inline std::vector<std::string> Interleave(Writer& writer, std::mt19937_64& random, int count, int syncEvery) {
    std::vector<std::string> left;
    std::vector<std::string> streams(count);
    for (int i = 0; i < count; ++i) {
        left.push_back("s" + std::to_string(i));
        if (!writer.Add(left.back())) return streams;
    }
    for (std::string& bytes : streams) bytes = Bytes(random, 30000);
    std::vector<size_t> done(count, 0);
    for (int pieces = 0, pending = count; pending > 0;) {
        pending = 0;
        for (int i = 0; i < count; ++i) {
            if (done[i] == streams[i].size()) continue;
            const size_t piece = std::min<size_t>(streams[i].size() - done[i], 256 + random() % 4096);
            if (!writer.Write(left[i], streams[i].substr(done[i], piece))) return streams;
            done[i] += piece;
            pending += done[i] < streams[i].size();
            if (syncEvery && ++pieces % syncEvery == 0) writer.Sync();
        }
    }
    return streams;
}

// cont pack --interleave of streamed inputs: a Sync every few pieces, as
// --sync-every makes them, and one before the close.
inline RecordedRun PackInterleaved(const std::string& dir, std::mt19937_64& random) {
    RecordedRun run(dir + "/interleaved.cnt");
    PutFile(run.path, "");
    Record(run, [&] {
        Writer writer(run.log, run.path);
        Interleave(writer, random, 3 + random() % 6, 3 + random() % 8);
        writer.Sync();
    });
    return run;
}

// cont add [--replace]: a clean container of three entries taken up for
// adding; with `replace`, one of the new names is one it holds. A Sync before
// the close in every other run, as for pack.
inline RecordedRun Add(const std::string& dir, std::mt19937_64& random, bool replace) {
    RecordedRun run(dir + "/add.cnt");
    run.base = Packed(run.path, random, 3, run.log);
    run.log.push_back(Op{Op::kGuard});
    run.from = run.log.size();
    Record(run, [&] {
        Writer writer(run.log, run.path);
        if (!writer.Append()) return;
        std::vector<std::string> names;
        for (int i = 1 + random() % 3; i > 0; --i) names.push_back("n" + std::to_string(i));
        if (replace) {
            names[0] = "e" + std::to_string(random() % 3);
            if (!writer.Replace(names[0])) return;
        }
        for (const std::string& name : names) {
            if (!writer.Add(name)) return;
            writer.Write(name, Bytes(random, 40000));
            writer.Release(name);
        }
        if (random() % 2) writer.Sync();
    });
    return run;
}

// cont rm: the container opened for reading, entries removed through file
// objects from its pool; the removal is marked as the container closes.
inline RecordedRun Remove(const std::string& dir, std::mt19937_64& random) {
    RecordedRun run(dir + "/rm.cnt");
    const int count = 3 + random() % 3;
    run.base = Packed(run.path, random, count, run.log);
    run.from = run.log.size();
    Record(run, [&] {
        auto holder = NewFile(Url(run.path, ""));
        holder->Open(ReadAccess);
        const int first = random() % count;
        for (int i = 0; i < count; ++i) {
            if (i != first && (i != (first + 1) % count || random() % 2)) continue;
            const std::string name = "e" + std::to_string(i);
            auto entry = FileBeside(*holder, Url(run.path, name));
            auto* remove = entry->Open(ReadAccess) == S_OK ? entry->As<IQLXFileRemove>(IID_IQLXFileRemove) : nullptr;
            if (!remove) continue;
            run.log.push_back(Op{Op::kRemoved, name});
            remove->Remove();
            remove->Release();
        }
    });
    run.log.push_back(Op{Op::kDurable});
    return run;
}

// Entries written interleaved (so each spans records between the others'),
// a Sync, then a range across record boundaries written again, a Sync or
// not, and more of it, before the close.
inline RecordedRun Overwrite(const std::string& dir, std::mt19937_64& random) {
    RecordedRun run(dir + "/overwrite.cnt");
    PutFile(run.path, "");
    Record(run, [&] {
        Writer writer(run.log, run.path);
        const std::vector<std::string> streams = Interleave(writer, random, 3, 0);
        writer.Sync();
        for (int round = 0; round < 2; ++round) {
            const int i = random() % 3;
            const std::string name = "s" + std::to_string(i);
            std::string bytes = Bytes(random, 12000);
            const size_t at = random() % streams[i].size();
            bytes.resize(std::min(bytes.size(), streams[i].size() - at));
            if (!writer.Seek(name, at) || !writer.Write(name, bytes)) return;
            if (random() % 2) writer.Sync();
        }
    });
    return run;
}

// A clean container of entries copied into a new one as cont compact does
// (a Sync, then the close); the images are of the new container as its
// writer finished, where the rename puts it in place.
inline RecordedRun Compact(const std::string& dir, std::mt19937_64& random) {
    const std::string old = dir + "/compact.cnt";
    Log setup;
    const int count = 2 + random() % 4;
    Packed(old, random, count, setup);
    mkdir((dir + "/.cont-pack").c_str(), 0700);
    RecordedRun run(dir + "/.cont-pack/compact.cnt");
    PutFile(run.path, "");
    auto session = NewFile(Url(old, ""));
    session->Open(ReadAccess);
    Record(run, [&] {
        Writer writer(run.log, run.path);
        for (int i = 0; i < count; ++i) {
            const std::string name = "e" + std::to_string(i);
            auto from = FileBeside(*session, Url(old, name));
            if (from->Open(ReadAccess) != S_OK || !writer.Add(name)) break;
            for (int32_t result = S_OK; result == S_OK;) {
                result = from->file->Read(1u << 20);
                if (result == S_OK && !writer.Write(name, from->response.Last().data)) result = E_FAIL;
            }
            writer.Release(name);
        }
        writer.Sync();
    });
    run.cuts.push_back(run.log.size());
    return run;
}

// Gathering writers (GatherAccess): their bytes reach the file as records
// when a record's worth is gathered, at a Sync, a Seek and the close. The
// clock stands still meanwhile, so that no write-out depends on how fast
// a run goes and a seed gives the same log every time (a write-out for
// time is the same append as one for size).
class StillClock {
public:
    StillClock() { SetGatherClockForTests([] { return int64_t{0}; }); }
    ~StillClock() { SetGatherClockForTests(nullptr); }
    StillClock(const StillClock&) = delete;
    StillClock& operator=(const StillClock&) = delete;
};

// cont pack --interleave of streamed inputs, gathered: pieces of 256 bytes
// to 4 KiB, a Sync every few pieces and one before the close; some streams
// long enough to fill a record of their own between two syncs.
inline RecordedRun PackInterleavedGathered(const std::string& dir, std::mt19937_64& random) {
    RecordedRun run(dir + "/gathered.cnt");
    PutFile(run.path, "");
    StillClock still;
    Record(run, [&] {
        Writer writer(run.log, run.path, true);
        Interleave(writer, random, 3 + random() % 6, 3 + random() % 8);
        // In every eighth run (its images are large).
        const std::string big = "big";
        if (random() % 8 == 0 && writer.Add(big)) {
            const std::string bytes = host::Pattern(kGatherRecordBytes + 1 + random() % 4096, random());
            for (size_t at = 0; at < bytes.size(); at += 65536)
                if (!writer.Write(big, bytes.substr(at, 65536))) break;
        }
        if (random() % 2) writer.Sync();
    });
    return run;
}

// cont add, gathered; and an overwrite across records by a gathering
// writer (its Seek writes its gathered bytes out first).
inline RecordedRun AddGathered(const std::string& dir, std::mt19937_64& random) {
    RecordedRun run(dir + "/add-gathered.cnt");
    run.base = Packed(run.path, random, 3, run.log);
    run.log.push_back(Op{Op::kGuard});
    run.from = run.log.size();
    StillClock still;
    Record(run, [&] {
        Writer writer(run.log, run.path, true);
        if (!writer.Append()) return;
        const std::vector<std::string> streams = Interleave(writer, random, 2 + random() % 3, 5 + random() % 8);
        const std::string bytes = Bytes(random, 8000);
        const size_t at = random() % streams[0].size();
        if (writer.Seek("s0", at)) writer.Write("s0", bytes.substr(0, std::min(bytes.size(), streams[0].size() - at)));
        if (random() % 2) writer.Sync();
    });
    return run;
}

// Recovery's own write-back: an unclean crash image of an interleaved pack
// opened for reading, which repairs it and writes it back. The truth is
// what that reading found: every entry it read through must stay so.
inline RecordedRun Recover(const std::string& dir, std::mt19937_64& random) {
    RecordedRun run(dir + "/recover.cnt");
    const RecordedRun made = PackInterleaved(dir, random);
    for (int attempt = 0; attempt < 20 && run.log.empty(); ++attempt) {
        Recipe recipe;
        const Model model = random() % 2 ? Model::kProcess : Model::kPages;
        run.base = CrashImage(made.log, made.path, made.base, random() % (made.log.size() + 1), model, random, &recipe);
        if (run.base.size() < 7 || run.base[6] != 0) continue;
        PutFile(run.path, run.base);
        std::vector<std::string> names;
        for (int i = 0; i < 8; ++i) names.push_back("s" + std::to_string(i));
        std::vector<EntryRead> reads;
        Record(run, [&] { reads = ReadEntries(run.path, names); });
        if (run.log.empty()) continue;
        Log truth;
        for (size_t i = 0; i < names.size(); ++i) {
            if (reads[i].status != EntryRead::kEnded) continue;
            truth.push_back(Op{Op::kAdded, names[i]});
            truth.push_back(Op{Op::kWriteBegan, names[i], 0, reads[i].bytes});
            truth.push_back(Op{Op::kWriteEnded, names[i]});
        }
        truth.push_back(Op{Op::kDurable});
        truth.push_back(Op{Op::kGuard});
        run.log.insert(run.log.begin(), truth.begin(), truth.end());
        run.from = truth.size();
    }
    return run;
}

}  // namespace powercut

#endif
