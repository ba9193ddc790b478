// Takes the steps of workload_steps.h through the module's file objects,
// as a host would, and holds every outcome against an in-memory model of
// the container: which entries there are, the bytes each holds, where each
// handle stands, and what the file holds once the container is closed. A
// read must give the model's bytes exactly, a seek, write, open, stat or
// removal must succeed or fail as the model says; a copy of the file taken
// while the container is open (what a crash would leave) must read back,
// once repaired, as the model says, and the same when opened again; once
// every handle is gone no module object may be left.
//
// A gathering writer's appends (GatherAccess) are read by every handle at
// once, but reach the file only when its bytes go out: at its Seek and Read,
// at any other write to the entry, its removal, a Sync, its close and the
// container's; or sooner, when they have waited long enough. So a crash
// copy may hold an entry of such a writer cut short, to no less than what
// went out at the last of those.
//
// The module is reached through its exports (linked_module.h), so the
// runner serves any binary that links the module in (the fuzz targets, the
// module tests).
// It knows nothing of any test framework: every broken promise goes to the
// failure function it is given, with the step that broke it.
#ifndef CONTFS_TESTS_SUPPORT_WORKLOAD_RUNNER_H
#define CONTFS_TESTS_SUPPORT_WORKLOAD_RUNNER_H

#include <qlx/interfaces.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/host_doubles.h"
#include "support/linked_module.h"
#include "support/pattern.h"
#include "support/workload_steps.h"

namespace workload {

using Entries = std::map<std::string, std::string>;  // bytes by entry name

class Runner {
public:
    using Failure = std::function<void(const std::string&)>;

    // The container lives at path; steps name entries by their index in
    // `names`.
    Runner(std::string path, std::vector<std::string> names, Failure fail)
        : m_path(std::move(path)), m_names(std::move(names)), m_fail(std::move(fail)) {}
    ~Runner() { CloseAll(); }
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;

    void Run(const Step& step) {
        ++m_stepNumber;
        m_step = step;
        const std::string& name = m_names[step.name % m_names.size()];
        switch (step.kind) {
            case StepKind::kCreate: Create(name, step.gather ? GatherAccess : 0); break;
            case StepKind::kAdd: Add(name, step.gather ? GatherAccess : 0); break;
            case StepKind::kOpenReader: OpenReader(name); break;
            case StepKind::kCloseAll: CloseAll(); break;
            case StepKind::kReopen:
                CloseAll();
                ReadBack(m_path, m_disk, {}, "the container reopened");
                break;
            case StepKind::kCrashCopy: CrashCopy(); break;
            default:
                if (m_handles.empty()) break;
                OnHandle(*m_handles[step.handle % m_handles.size()], step);
                break;
        }
    }

    // What a reader of each entry finds now: in the open container, or in
    // the file when no handle holds it.
    Entries Expected() const {
        if (m_mode == Mode::kClosed) return m_disk;
        Entries live;
        for (const Instance& instance : m_instances)
            if (instance.live) live[instance.name] = instance.bytes;
        return live;
    }

private:
    // An entry as the open container holds it, from its add (or the
    // container's opening) on. A removed one keeps its bytes: handles that
    // hold it still read and write them.
    struct Instance {
        std::string name;
        std::string bytes;
        bool live = true;
        // How much of bytes the file holds for certain: less only while a
        // gathering writer holds appends in memory.
        uint64_t inFile = 0;
    };

    class Response : public host::ReadResponse {
    public:
        int32_t ReadFinished(int32_t status, IQLXBuffer* data) override {
            read = status == S_OK ? host::BytesOf(data) : std::string();
            return S_OK;
        }
        std::string read;
    };

    struct Handle {
        explicit Handle(const std::string& url) : request(url) {}
        host::Request request;
        Response response;
        IQLXFileObject* file = nullptr;
        std::string name;
        bool writer = false;  // opened with WriteAccess
        bool gather = false;  // and GatherAccess
        size_t instance = 0;
        uint64_t position = 0;
    };

    enum class Mode { kClosed, kReading, kWriting };

    void Broken(const std::string& what) {
        m_fail("step " + std::to_string(m_stepNumber) + " (" + StepText(m_step) + "): " + what);
    }
    void Expect(bool ok, const std::string& what) {
        if (!ok) Broken(what);
    }
    static std::string Hex(int32_t result) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(result));
        return text;
    }

    // A file object of the module for entry `name` of the container at
    // path, opened with `access`; *result is Open's result. Null only when
    // the module gave no file object at all.
    std::unique_ptr<Handle> OpenHandle(const std::string& path, const std::string& name, uint32_t access,
                                       int32_t* result) {
        auto handle = std::make_unique<Handle>("cont:///" + path + "?file=" + name);
        handle->name = name;
        handle->writer = (access & WriteAccess) != 0;
        handle->gather = handle->writer && (access & GatherAccess) != 0;
        *result = E_FAIL;
        handle->file = host::NewLinkedFileObject(&handle->request);
        if (!handle->file) {
            Broken("no file object");
            return nullptr;
        }
        *result = handle->file->Open(access, &handle->response);
        return handle;
    }

    void Release(std::unique_ptr<Handle> handle) {
        if (!handle) return;
        if (handle->file) handle->file->Release();
        handle->file = nullptr;
        Expect(handle->request.refs == 0 && handle->response.refs == 0,
               "a released file object still holds the host's objects");
    }

    // A new handle of the open container, kept when the open succeeded as
    // the model said it must, released at once otherwise.
    void Keep(std::unique_ptr<Handle> handle, int32_t result, bool expected, const char* what) {
        if (!handle) return;
        Expect((result == S_OK) == expected, std::string(what) + " of \"" + handle->name + "\" gave " + Hex(result) +
                                                 (expected ? ", where it should open" : ", where it should fail"));
        if (result == S_OK && expected) {
            m_handles.push_back(std::move(handle));
        } else {
            Release(std::move(handle));
            if (m_handles.empty()) ContainerClosed();
        }
    }

    int64_t LiveInstance(const std::string& name) const {
        for (size_t i = 0; i < m_instances.size(); ++i)
            if (m_instances[i].live && m_instances[i].name == name) return static_cast<int64_t>(i);
        return -1;
    }

    void TakeUpDisk() {
        m_instances.clear();
        for (const auto& [name, bytes] : m_disk) m_instances.push_back(Instance{name, bytes, true, bytes.size()});
    }

    // `gather` is GatherAccess or 0.
    void Create(const std::string& name, uint32_t gather) {
        CloseAll();
        int32_t result = E_FAIL;
        std::unique_ptr<Handle> handle = OpenHandle(m_path, name, WriteAccess | gather, &result);
        // The file is emptied by the open, and holds a container again with
        // the first write.
        m_mode = Mode::kWriting;
        m_begun = false;
        m_disk.clear();
        m_diskHolds = false;
        m_instances = {Instance{name, {}, true, 0}};
        if (handle) handle->instance = 0;
        Keep(std::move(handle), result, true, "creating with WriteAccess");
    }

    void Add(const std::string& name, uint32_t gather) {
        // A container opened for reading takes no entries a host could write.
        if (m_mode == Mode::kReading) return;
        int32_t result = E_FAIL;
        if (m_mode == Mode::kClosed) {
            std::unique_ptr<Handle> handle = OpenHandle(m_path, name, WriteAccess | AppendAccess | gather, &result);
            const bool fresh = !(m_diskHolds && m_disk.count(name));
            if (fresh && result == S_OK) {
                m_mode = Mode::kWriting;
                TakeUpDisk();
                // Taken up for adding, the container writes its entries at once.
                m_begun = true;
                m_instances.push_back(Instance{name, {}, true, 0});
                handle->instance = m_instances.size() - 1;
            }
            Keep(std::move(handle), result, fresh, "adding with WriteAccess and AppendAccess");
            return;
        }
        std::unique_ptr<Handle> handle = OpenHandle(m_path, name, WriteAccess | gather, &result);
        const bool fresh = LiveInstance(name) < 0;
        if (fresh && result == S_OK) {
            m_instances.push_back(Instance{name, {}, true, 0});
            handle->instance = m_instances.size() - 1;
        }
        Keep(std::move(handle), result, fresh, "adding with WriteAccess beside other handles");
    }

    void OpenReader(const std::string& name) {
        int32_t result = E_FAIL;
        std::unique_ptr<Handle> handle = OpenHandle(m_path, name, ReadAccess, &result);
        if (m_mode == Mode::kClosed) {
            const bool there = m_diskHolds && m_disk.count(name);
            if (there && result == S_OK) {
                m_mode = Mode::kReading;
                TakeUpDisk();
            }
            if (handle) handle->instance = static_cast<size_t>(LiveInstance(name));
            Keep(std::move(handle), result, there, "opening for reading");
            return;
        }
        const int64_t live = LiveInstance(name);
        if (handle && live >= 0) handle->instance = static_cast<size_t>(live);
        Keep(std::move(handle), result, live >= 0, "opening for reading beside other handles");
    }

    void OnHandle(Handle& handle, const Step& step) {
        Instance& instance = m_instances[handle.instance];
        switch (step.kind) {
            case StepKind::kWrite: Write(handle, instance, step); break;
            case StepKind::kSeek:
                // A gathering writer's every Seek writes its bytes out.
                if (handle.gather) instance.inFile = instance.bytes.size();
                Seek(handle, instance, step);
                break;
            case StepKind::kRead:
                // So does its every Read.
                if (handle.gather && step.size != 0) instance.inFile = instance.bytes.size();
                Read(handle, instance, step.size, step.piece);
                break;
            case StepKind::kSync: {
                IQLXFileSync* sync = nullptr;
                Expect(handle.file->QueryInterface(IID_IQLXFileSync, reinterpret_cast<void**>(&sync)) == S_OK,
                       "IQLXFileSync");
                if (!sync) break;
                const int32_t result = sync->Sync();
                Expect(result == S_OK, "Sync gave " + Hex(result));
                sync->Release();
                // A container being written puts its header and directory
                // in the file at a Sync, whether or not it holds bytes yet,
                // and every gathered byte.
                if (m_mode == Mode::kWriting) m_begun = true;
                for (Instance& each : m_instances) each.inFile = each.bytes.size();
                break;
            }
            case StepKind::kStat: {
                IQLXFileStat* stat = nullptr;
                handle.file->QueryInterface(IID_IQLXFileStat, reinterpret_cast<void**>(&stat));
                Expect(stat != nullptr, "IQLXFileStat");
                if (!stat) break;
                host::StatResponse response;
                stat->Stat(&response);
                stat->Release();
                // Stat goes by the handle's name: the entry that has it now.
                const int64_t live = LiveInstance(handle.name);
                Expect(response.calls == 1, "StatFinished once");
                if (live < 0) {
                    Expect(response.status == E_FAIL, "Stat of an entry whose name went");
                } else {
                    Expect(response.status == S_OK &&
                               response.size == static_cast<uint32_t>(m_instances[live].bytes.size()),
                           "Stat gave size " + std::to_string(response.size) + " (" + Hex(response.status) + "), not " +
                               std::to_string(m_instances[live].bytes.size()));
                }
                break;
            }
            case StepKind::kRemove: {
                IQLXFileRemove* remove = nullptr;
                handle.file->QueryInterface(IID_IQLXFileRemove, reinterpret_cast<void**>(&remove));
                Expect(remove != nullptr, "IQLXFileRemove");
                if (!remove) break;
                const int32_t result = remove->Remove();
                remove->Release();
                const int64_t live = LiveInstance(handle.name);
                Expect((result == S_OK) == (live >= 0), "Remove gave " + Hex(result));
                // The removal writes the entry's gathered bytes out.
                if (live >= 0 && result == S_OK) {
                    m_instances[live].live = false;
                    m_instances[live].inFile = m_instances[live].bytes.size();
                }
                break;
            }
            case StepKind::kCloseHandle: {
                // A gathering writer's close writes its bytes out.
                if (handle.gather) instance.inFile = instance.bytes.size();
                for (size_t i = 0; i < m_handles.size(); ++i) {
                    if (m_handles[i].get() != &handle) continue;
                    std::unique_ptr<Handle> gone = std::move(m_handles[i]);
                    m_handles.erase(m_handles.begin() + static_cast<ptrdiff_t>(i));
                    Release(std::move(gone));
                    break;
                }
                if (m_handles.empty()) ContainerClosed();
                break;
            }
            default: break;
        }
    }

    // Through the handles opened for writing: one opened for reading is
    // no writer's to write through (a container taken up for adding refuses
    // to lengthen an entry it found there, and takes overwrites of it).
    void Write(Handle& handle, Instance& instance, const Step& step) {
        if (!handle.writer) return;
        const std::string bytes = host::Pattern(step.size, m_stepNumber);
        const size_t piece = step.piece ? step.piece : 1;
        for (size_t done = 0; done < bytes.size();) {
            const std::string part = bytes.substr(done, piece);
            // A gathering writer's append waits in memory; any other write
            // writes the entry's gathered bytes out first, then lands in
            // the file itself.
            const bool gathered = handle.gather && handle.position == instance.bytes.size();
            host::HostBuffer buffer(part);
            buffer.AddRef();
            const int32_t result = handle.file->Write(&buffer);
            Expect(result == S_OK, "Write gave " + Hex(result));
            if (result != S_OK) return;
            m_begun = true;
            instance.bytes.replace(handle.position, part.size(), part);
            handle.position += part.size();
            if (!gathered) instance.inFile = instance.bytes.size();
            done += part.size();
        }
    }

    void Seek(Handle& handle, const Instance& instance, const Step& step) {
        const uint64_t size = instance.bytes.size();
        const uint64_t target = step.position % (size + 2);
        const uint64_t offset = step.relative ? target - handle.position : target;
        IQLXFileObject64* seek = nullptr;
        handle.file->QueryInterface(IID_IQLXFileObject64, reinterpret_cast<void**>(&seek));
        Expect(seek != nullptr, "IQLXFileObject64");
        if (!seek) return;
        const int32_t result =
            seek->Seek64(static_cast<uint32_t>(offset), static_cast<uint32_t>(offset >> 32), step.relative ? 1 : 0);
        seek->Release();
        Expect((result == S_OK) == (target <= size), "a seek to " + std::to_string(target) + " of an entry of " +
                                                         std::to_string(size) + " bytes gave " + Hex(result));
        if (result == S_OK) handle.position = target;
    }

    void Read(Handle& handle, const Instance& instance, uint32_t size, uint32_t piece) {
        piece = piece ? piece : 1;
        for (uint32_t done = 0; done < size;) {
            const uint32_t count = std::min(piece, size - done);
            handle.response.read.clear();
            const int32_t result = handle.file->Read(count);
            const uint64_t left = instance.bytes.size() - handle.position;
            if (left == 0) {
                // An entry without bytes fails its first read rather than end.
                Expect(result == RES_END_OF_DATA || (instance.bytes.empty() && result == E_FAIL),
                       "a read at the end of " + std::to_string(instance.bytes.size()) + " bytes gave " + Hex(result));
                return;
            }
            const std::string want = instance.bytes.substr(handle.position, count);
            Expect(result == S_OK && handle.response.read == want,
                   "a read of " + std::to_string(count) + " bytes at " + std::to_string(handle.position) + " of " +
                       std::to_string(instance.bytes.size()) + " gave " + Hex(result) + " and " +
                       std::to_string(handle.response.read.size()) + " bytes, not the model's");
            if (result != S_OK) return;
            handle.position += want.size();
            done += static_cast<uint32_t>(want.size());
        }
    }

    void CloseAll() {
        if (m_handles.empty()) return;
        while (!m_handles.empty()) {
            std::unique_ptr<Handle> gone = std::move(m_handles.back());
            m_handles.pop_back();
            Release(std::move(gone));
        }
        ContainerClosed();
    }

    // The last handle went: the container wrote back what it held.
    void ContainerClosed() {
        if (m_mode == Mode::kWriting && !m_begun) {
            // Nothing was written: the file stays as the open left it, empty.
            m_disk.clear();
            m_diskHolds = false;
        } else if (m_mode != Mode::kClosed) {
            m_disk = Expected();
            m_diskHolds = true;
        }
        m_mode = Mode::kClosed;
        m_instances.clear();
        Expect(CanUnload() == S_OK, "module objects left after every handle went");
    }

    // Opens every name of the file at path through a handle of its own and
    // reads it whole: the names in `exact` must read as it says, those in
    // `either` may be missing or read as it says, the rest must be missing.
    // A name in `shortest` may read as a prefix of what they say, of at
    // least that many bytes. What was read, by name.
    Entries ReadBack(const std::string& path, const Entries& exact, const Entries& either, const std::string& what,
                     const std::map<std::string, uint64_t>& shortest = {}) {
        Entries found;
        for (const std::string& name : m_names) {
            int32_t result = E_FAIL;
            std::unique_ptr<Handle> handle = OpenHandle(path, name, ReadAccess, &result);
            if (!handle) continue;
            auto want = exact.find(name);
            auto may = either.find(name);
            if (result != S_OK) {
                Expect(want == exact.end(), what + ": \"" + name + "\" does not open (" + Hex(result) + ")");
                Release(std::move(handle));
                continue;
            }
            Expect(want != exact.end() || may != either.end(), what + ": \"" + name + "\" is there");
            std::string bytes;
            int32_t read = S_OK;
            for (uint32_t calls = 0; read == S_OK && calls < 4096; ++calls) {
                handle->response.read.clear();
                read = handle->file->Read(65536);
                bytes += handle->response.read;
            }
            const auto least = shortest.find(name);
            const auto readsAs = [&](const std::string& model) {
                const uint64_t floor = least == shortest.end() ? model.size() : least->second;
                return bytes.size() >= floor && bytes.size() <= model.size() &&
                       model.compare(0, bytes.size(), bytes) == 0;
            };
            const bool endOk = read == RES_END_OF_DATA || (bytes.empty() && read == E_FAIL);
            const bool exactOk = want != exact.end() && readsAs(want->second);
            const bool eitherOk = may != either.end() && readsAs(may->second);
            Expect(endOk && (exactOk || eitherOk), what + ": \"" + name + "\" reads " + std::to_string(bytes.size()) +
                                                       " bytes (" + Hex(read) + "), not the model's");
            found[name] = bytes;
            Release(std::move(handle));
        }
        if (m_handles.empty()) Expect(CanUnload() == S_OK, what + ": module objects left after reading back");
        return found;
    }

    // The file as a crash of this process would leave it (every write
    // reached the page cache, nothing was written back): repaired by its
    // first reader, it holds every entry of the open container, and reads
    // the same when opened again.
    void CrashCopy() {
        const std::string copy = m_path + ".crash";
        if (!CopyFile(m_path, copy)) return;
        Entries exact = Expected();
        Entries either;
        std::map<std::string, uint64_t> shortest;
        if (m_mode == Mode::kWriting && !m_begun) {
            // Nothing written yet: the file is still empty.
            exact.clear();
        } else if (m_mode == Mode::kWriting) {
            // A removal reaches the file at the close: a name removed since
            // may still be there, with its last bytes. Gathered bytes not
            // yet written out may be missing from either.
            for (const Instance& instance : m_instances) {
                if (instance.live) {
                    shortest[instance.name] = instance.inFile;
                } else if (!exact.count(instance.name)) {
                    either[instance.name] = instance.bytes;
                    shortest[instance.name] = instance.inFile;
                }
            }
        }
        const Entries first = ReadBack(copy, exact, either, "a copy of the file taken now", shortest);
        ReadBack(copy, first, {}, "the repaired copy opened again");
        unlink(copy.c_str());
    }

    static bool CopyFile(const std::string& from, const std::string& to) {
        FILE* in = std::fopen(from.c_str(), "rb");
        if (!in) return false;
        FILE* out = std::fopen(to.c_str(), "wb");
        if (!out) {
            std::fclose(in);
            return false;
        }
        char block[65536];
        size_t got;
        bool ok = true;
        while ((got = std::fread(block, 1, sizeof block, in)) > 0) ok &= std::fwrite(block, 1, got, out) == got;
        std::fclose(in);
        return std::fclose(out) == 0 && ok;
    }

    const std::string m_path;
    const std::vector<std::string> m_names;
    const Failure m_fail;
    std::vector<std::unique_ptr<Handle>> m_handles;
    std::vector<Instance> m_instances;  // of the open container
    Mode m_mode = Mode::kClosed;
    bool m_begun = false;      // the open container has written to its file
    Entries m_disk;            // what the file holds while no handle holds it
    bool m_diskHolds = false;  // the file holds a container at all
    uint64_t m_stepNumber = 0;
    Step m_step;
};

}  // namespace workload

#endif
