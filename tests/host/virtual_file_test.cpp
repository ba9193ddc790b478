// The file object seen from a host: contfs.so loaded with dlopen and driven
// only through its exports and the SDK interfaces, on real container files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "host_file.h"

namespace {

using host::FileResponse;
using host::HostFile;

std::string Pattern(size_t length, char seed) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(seed + i * 7 + i / 251);
    return bytes;
}

class VirtualFileTest : public host::HostTest {
protected:
    // Writes each entry through its own file object, all sharing one
    // container, and closes the container.
    void WriteEntries(const std::vector<std::pair<std::string, std::string>>& entries) {
        std::vector<std::unique_ptr<HostFile>> files;
        for (const auto& e : entries) {
            files.push_back(OpenEntry(e.first, ReadAccess | WriteAccess));
            if (!e.second.empty()) {
                ASSERT_EQ(S_OK, files.back()->Write(e.second));
            }
        }
    }

    std::string ReadEntry(const std::string& entry, uint32_t piece = 4096) {
        auto file = OpenEntry(entry, ReadAccess);
        return file->ReadToEnd(piece);
    }
};

// ---- writing and reading ---------------------------------------------------

TEST_F(VirtualFileTest, EntriesWrittenInPiecesReadBackAfterReopening) {
    const std::string a = Pattern(70000, 'a');
    const std::string b = Pattern(3, 'b');
    {
        auto first = OpenEntry("a.dat", ReadAccess | WriteAccess);
        auto second = OpenEntry("b.dat", WriteAccess);
        // Alternating writes interleave the two entries' records.
        for (size_t at = 0; at < a.size(); at += 9000) {
            ASSERT_EQ(S_OK, first->Write(a.substr(at, 9000)));
            if (at == 0) {
                ASSERT_EQ(S_OK, second->Write(b));
            }
        }
        EXPECT_EQ(S_OK, first->file->Close());
        EXPECT_EQ(S_OK, second->file->Close());
    }
    EXPECT_EQ(a, ReadEntry("a.dat", 1000));
    EXPECT_EQ(b, ReadEntry("b.dat"));
    EXPECT_EQ(a, ReadEntry("a.dat", 65536));
}


// The file object fills the buffer of a read again at the next one once the
// host has let go of it; a buffer the host still holds must keep its bytes,
// also when the host lets go of it only later.
TEST_F(VirtualFileTest, ABufferTheHostKeepsIsNeverFilledAgain) {
    const std::string bytes = Pattern(30000, 'k');
    WriteEntries({{"k", bytes}});
    auto file = OpenEntry("k", ReadAccess);
    ASSERT_EQ(S_OK, file->file->Read(4096));
    file->response.keepBuffers = true;
    ASSERT_EQ(S_OK, file->file->Read(4096));
    ASSERT_EQ(S_OK, file->file->Read(4096));
    file->response.keepBuffers = false;
    ASSERT_EQ(2u, file->response.kept.size());
    EXPECT_NE(file->response.kept[0], file->response.kept[1]);
    ASSERT_EQ(S_OK, file->file->Read(4096));
    file->response.kept[0]->Release();
    file->response.kept.erase(file->response.kept.begin());
    ASSERT_EQ(S_OK, file->file->Read(4096));
    ASSERT_EQ(S_OK, file->file->Read(100));
    std::string read;
    for (const auto& call : file->response.calls)
        if (call.kind == FileResponse::kRead) read += call.data;
    EXPECT_EQ(bytes.substr(0, read.size()), read);
    uint8_t* kept = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(S_OK, file->response.kept[0]->Get(&kept, &length));
    EXPECT_EQ(bytes.substr(8192, 4096), std::string(reinterpret_cast<char*>(kept), length));
}

// During ReadFinished the buffer is held by the host's reference alone,
// whether it is new or filled again: the host may resize it there, as a
// buffer nobody else holds allows, and the next read still fills it whole.
TEST_F(VirtualFileTest, EveryReadBufferIsTheHostsAloneDuringItsCallback) {
    class Resizing : public host::ReadResponse {
    public:
        int32_t ReadFinished(int32_t status, IQLXBuffer* data) override {
            if (status != S_OK || !data) return S_OK;
            bytes += host::BytesOf(data);
            resized.push_back(data->SetSize(1));
            return S_OK;
        }
        std::string bytes;
        std::vector<int32_t> resized;
    } response;
    const std::string bytes = Pattern(20000, 'r');
    WriteEntries({{"r", bytes}});
    auto file = NewHostFile(module, host::ContUrl(path, "r"));
    ASSERT_EQ(S_OK, file->Open(ReadAccess, &response));
    for (int i = 0; i < 4; ++i) ASSERT_EQ(S_OK, file->file->Read(4096));
    EXPECT_EQ(std::vector<int32_t>(4, S_OK), response.resized);
    EXPECT_TRUE(response.bytes == bytes.substr(0, 4 * 4096));
    file->file->Close();
}
TEST_F(VirtualFileTest, EveryOperationReportsOnTheResponse) {
    auto writer = OpenEntry("e", ReadAccess | WriteAccess);
    ASSERT_EQ(S_OK, writer->Write("hello, world"));
    ASSERT_EQ(S_OK, writer->file->Seek(7, 0));
    ASSERT_EQ(S_OK, writer->file->Read(100));
    EXPECT_EQ(RES_END_OF_DATA, writer->file->Read(100));
    EXPECT_EQ(S_OK, writer->file->Close());

    const auto& calls = writer->response.calls;
    ASSERT_EQ(6u, calls.size());
    EXPECT_EQ(FileResponse::kOpen, calls[0].kind);
    EXPECT_EQ(S_OK, calls[0].status);
    EXPECT_EQ(FileResponse::kWrite, calls[1].kind);
    EXPECT_EQ(S_OK, calls[1].status);
    EXPECT_EQ(FileResponse::kSeek, calls[2].kind);
    EXPECT_EQ(S_OK, calls[2].status);
    // A read asking for more than is left gets exactly what is left.
    EXPECT_EQ(FileResponse::kRead, calls[3].kind);
    EXPECT_EQ(S_OK, calls[3].status);
    EXPECT_EQ("world", calls[3].data);
    // At the end: the success code RES_END_OF_DATA and no buffer.
    EXPECT_EQ(FileResponse::kRead, calls[4].kind);
    EXPECT_EQ(RES_END_OF_DATA, calls[4].status);
    EXPECT_FALSE(calls[4].hadBuffer);
    EXPECT_EQ(FileResponse::kClose, calls[5].kind);
    EXPECT_EQ(S_OK, calls[5].status);
    // Close let go of the request and the response.
    EXPECT_EQ(0, writer->response.refs.load());
    EXPECT_EQ(0, writer->request.refs.load());

    // Still attached to the container after Close, but silent.
    EXPECT_EQ(S_OK, writer->file->Seek(0, 0));
    EXPECT_EQ(S_OK, writer->file->Read(5));
    EXPECT_EQ(6u, calls.size());
}

TEST_F(VirtualFileTest, ReleasingAnOpenFileClosesItOnTheResponse) {
    auto file = OpenEntry("e", WriteAccess);
    EXPECT_EQ(1, file->response.refs.load());
    EXPECT_EQ(1, file->request.refs.load());
    file->Release();
    EXPECT_EQ(FileResponse::kClose, file->response.Last().kind);
    EXPECT_EQ(S_OK, file->response.Last().status);
    EXPECT_EQ(0, file->response.refs.load());
    EXPECT_EQ(0, file->request.refs.load());
}

TEST_F(VirtualFileTest, ReadsStopAtTheEndOfTheirOwnEntry) {
    WriteEntries({{"one", "11111"}, {"two", "2222222222"}});
    auto file = OpenEntry("one", ReadAccess);
    int32_t last = S_OK;
    EXPECT_EQ("11111", file->ReadToEnd(2, &last));
    EXPECT_EQ(RES_END_OF_DATA, last);
    EXPECT_EQ(3, file->response.Count(FileResponse::kRead) - 1);
}

// A host that waits for WriteFinished must get it for a write without a
// buffer too, with the status the call returns.
TEST_F(VirtualFileTest, WriteWithoutBufferIsReportedOnTheResponse) {
    auto file = OpenEntry("e", ReadAccess | WriteAccess);
    size_t before = file->response.calls.size();
    EXPECT_EQ(E_POINTER, file->file->Write(nullptr));
    ASSERT_EQ(before + 1, file->response.calls.size());
    EXPECT_EQ(FileResponse::kWrite, file->response.Last().kind);
    EXPECT_EQ(E_POINTER, file->response.Last().status);
    // The file is unharmed.
    EXPECT_EQ(S_OK, file->Write("after"));
    EXPECT_EQ(S_OK, file->file->Seek(0, 0));
    EXPECT_EQ("after", file->ReadToEnd(100));
}

// ---- seeking ---------------------------------------------------------------

TEST_F(VirtualFileTest, SeekToTheCurrentPositionDoesNotReachTheContainer) {
    // A new entry holds no data record yet: the container cannot seek in
    // it at all, so only a seek that stays where it is succeeds.
    auto file = OpenEntry("empty", ReadAccess | WriteAccess);
    EXPECT_EQ(S_OK, file->file->Seek(0, 0));
    EXPECT_EQ(S_OK, file->file->Seek(0, 1));
    EXPECT_EQ(S_OK, file->file64->Seek64(0, 0, 0));
    EXPECT_EQ(E_FAIL, file->file->Seek(1, 0));
    EXPECT_EQ(4, file->response.Count(FileResponse::kSeek));
    EXPECT_EQ(E_FAIL, file->response.Last().status);
}

TEST_F(VirtualFileTest, SeeksToTheEndAndBeyond) {
    const std::string data = Pattern(100, 'x');
    WriteEntries({{"e", data}});
    auto file = OpenEntry("e", ReadAccess);

    EXPECT_EQ(S_OK, file->file->Seek(100, 0));
    EXPECT_EQ(RES_END_OF_DATA, file->file->Read(10));
    EXPECT_EQ(E_FAIL, file->file->Seek(101, 0));
    EXPECT_EQ(FileResponse::kSeek, file->response.Last().kind);
    EXPECT_EQ(E_FAIL, file->response.Last().status);
    EXPECT_EQ(E_FAIL, file->file64->Seek64(0, 1, 0));  // 4 GiB: far beyond

    EXPECT_EQ(S_OK, file->file->Seek(40, 0));
    EXPECT_EQ(S_OK, file->file->Read(10));
    EXPECT_EQ(data.substr(40, 10), file->response.Last().data);
}

TEST_F(VirtualFileTest, RelativeSeek64MovesBackwardsButSeekCannot) {
    const std::string data = Pattern(1000, 'r');
    WriteEntries({{"e", data}});
    auto file = OpenEntry("e", ReadAccess);
    ASSERT_EQ(S_OK, file->file->Seek(600, 0));
    ASSERT_EQ(S_OK, file->file->Seek(100, 1));  // forwards to 700

    // 32-bit relative offsets are widened with a zero high half: -300 as
    // an unsigned offset points far past the end.
    EXPECT_EQ(E_FAIL, file->file->Seek(static_cast<uint32_t>(-300), 1));
    // The two's complement in 64 bits goes back to 400.
    const uint64_t back = static_cast<uint64_t>(-300);
    EXPECT_EQ(S_OK, file->file64->Seek64(static_cast<uint32_t>(back), static_cast<uint32_t>(back >> 32), 1));
    ASSERT_EQ(S_OK, file->file->Read(5));
    EXPECT_EQ(data.substr(400, 5), file->response.Last().data);
}

// ---- URLs ------------------------------------------------------------------

TEST_F(VirtualFileTest, BarePathsNameTheFileTheySay) {
    WriteEntries({{"clip", "bare"}});
    // An absolute path without a scheme.
    auto bare = NewFile(path + "?file=clip");
    ASSERT_EQ(S_OK, bare->Open(ReadAccess));
    EXPECT_EQ("bare", bare->ReadToEnd(100));
    // The same with backslashes: they are turned into "/".
    std::string backslashed = path;
    std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
    auto windows = NewFile(backslashed + "?file=clip");
    ASSERT_EQ(S_OK, windows->Open(ReadAccess));
    EXPECT_EQ("bare", windows->ReadToEnd(100));
    // Percent escapes are decoded before the URL is parsed.
    std::string escaped = path;
    escaped.replace(escaped.rfind(".cnt"), 4, "%2Ecnt");
    auto encoded = NewFile(host::ContUrl(escaped, "cl%69p"));
    ASSERT_EQ(S_OK, encoded->Open(ReadAccess));
    EXPECT_EQ("bare", encoded->ReadToEnd(100));
}

TEST_F(VirtualFileTest, RelativeBarePathIsTakenFromTheWorkingDirectory) {
    WriteEntries({{"clip", "relative"}});
    struct WorkingDirectory {
        explicit WorkingDirectory(const std::string& to) { std::filesystem::current_path(to); }
        ~WorkingDirectory() { std::filesystem::current_path(before); }
        std::filesystem::path before = std::filesystem::current_path();
    } in(dir);
    auto file = NewFile("clips.cnt?file=clip");
    EXPECT_EQ(S_OK, file->Open(ReadAccess));
    EXPECT_EQ("relative", file->ReadToEnd(100));
}

TEST_F(VirtualFileTest, GetNameAnswersTheEntryNameOfTheUrl) {
    // Digits name an entry only in double quotes (unquoted they are a number).
    WriteEntries({{"first", ""}, {"second", "data"}, {"\"123\"", "digits"}});
    auto named = OpenEntry("second", ReadAccess);
    const char* name = nullptr;
    ASSERT_EQ(S_OK, named->file->GetName(&name));
    EXPECT_STREQ("second", name);
    EXPECT_EQ(E_POINTER, named->file->GetName(nullptr));

    // Without a "file" option the first entry holding data is served, and
    // there is no name to give.
    auto unnamed = NewFile("cont:///" + path);
    ASSERT_EQ(S_OK, unnamed->Open(ReadAccess));
    EXPECT_EQ("data", unnamed->ReadToEnd(100));
    name = "untouched";
    EXPECT_EQ(E_FAIL, unnamed->file->GetName(&name));
    EXPECT_STREQ("untouched", name);

    // Digits alone are a number option, not a name; quoted they are a name.
    auto number = NewFile(host::ContUrl(path, "123"));
    ASSERT_EQ(S_OK, number->Open(ReadAccess));
    EXPECT_EQ("data", number->ReadToEnd(100));
    auto quoted = NewFile(host::ContUrl(path, "\"123\""));
    ASSERT_EQ(S_OK, quoted->Open(ReadAccess));
    EXPECT_EQ("digits", quoted->ReadToEnd(100));
}

// ---- failures of Open and calls out of order ----------------------------------

TEST_F(VirtualFileTest, OpenFailuresAreReportedOnTheResponse) {
    WriteEntries({{"e", "x"}});
    struct Case {
        std::string url;
        uint32_t access;
        int32_t expected;
    };
    const Case cases[] = {
        {host::ContUrl(path, "missing"), ReadAccess, E_FAIL},
        {host::ContUrl(dir + "/absent.cnt", "e"), ReadAccess, E_ACCESSDENIED},
        {host::ContUrl(dir + "/no/such/dir.cnt", "e"), WriteAccess, E_ACCESSDENIED},
        {"cont:///", ReadAccess, E_FAIL},  // no container path
        {"", ReadAccess, E_FAIL},
    };
    for (const Case& c : cases) {
        auto file = NewFile(c.url);
        EXPECT_EQ(c.expected, file->Open(c.access)) << c.url;
        ASSERT_EQ(1u, file->response.calls.size()) << c.url;
        EXPECT_EQ(FileResponse::kOpen, file->response.Last().kind);
        EXPECT_EQ(c.expected, file->response.Last().status);
    }
    // A directory that is not a container.
    std::filesystem::create_directories(dir + "/notes");
    std::ofstream(dir + "/notes/plain.txt") << "just some text, not a container at all";
    auto plain = NewFile(host::ContUrl(dir + "/notes/plain.txt", "e"));
    EXPECT_TRUE(QLX_FAILED(plain->Open(ReadAccess)));
}

TEST_F(VirtualFileTest, OpenWithoutRequestAndOpenTwice) {
    auto file = NewFile(host::ContUrl(path, "e"));
    FileResponse unused;
    EXPECT_EQ(E_INVALIDARG, file->file->Open(WriteAccess, &unused));
    EXPECT_TRUE(unused.calls.empty());
    EXPECT_EQ(0, unused.refs.load());

    ASSERT_EQ(S_OK, file->Open(WriteAccess));
    EXPECT_EQ(1, file->request.urlCalls);
    // The second Open swaps the response and does not look at the URL again.
    FileResponse second;
    EXPECT_EQ(S_OK, file->file->Open(ReadAccess, &second));
    EXPECT_EQ(1, file->request.urlCalls);
    EXPECT_EQ(0, file->response.refs.load());
    EXPECT_EQ(1, second.refs.load());
    EXPECT_EQ(S_OK, second.Last().status);
    ASSERT_EQ(S_OK, file->Write("abc"));
    EXPECT_EQ(FileResponse::kWrite, second.Last().kind);
    file->Release();
    EXPECT_EQ(0, second.refs.load());
}

TEST_F(VirtualFileTest, FailedRequestUrlFailsTheOpen) {
    auto file = NewFile(host::ContUrl(path, "e"));
    file->request.fail = true;
    EXPECT_EQ(E_FAIL, file->Open(WriteAccess));
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(VirtualFileTest, OperationsWithoutContainerFailWithoutCallback) {
    auto file = NewFile(host::ContUrl(path, "e"));
    host::HostBuffer buffer("x");
    EXPECT_EQ(E_FAIL, file->file->Read(1));
    EXPECT_EQ(E_FAIL, file->file->Write(&buffer));
    EXPECT_EQ(E_FAIL, file->file->Seek(0, 0));
    EXPECT_EQ(E_FAIL, file->file64->Seek64(0, 0, 1));
    EXPECT_EQ(E_NOTIMPL, file->file->Notify(7));
    EXPECT_EQ(S_OK, file->file->Close());
    EXPECT_TRUE(file->response.calls.empty());
    EXPECT_EQ(0, buffer.refs.load());
}

TEST_F(VirtualFileTest, WritingNeedsANewNamedEntry) {
    auto held = OpenEntry("taken", WriteAccess);
    // The entry exists in the held container.
    auto again = NewFile(host::ContUrl(path, "taken"));
    EXPECT_EQ(E_FAIL, again->Open(WriteAccess));
    // No name: nothing to add, so nothing to write to.
    auto unnamed = NewFile("cont:///" + path);
    EXPECT_EQ(E_FAIL, unnamed->Open(WriteAccess));
    EXPECT_EQ(E_FAIL, unnamed->response.Last().status);
}

TEST_F(VirtualFileTest, WritingToAPathNoOneHoldsEmptiesTheContainer) {
    WriteEntries({{"old", "old bytes"}});
    WriteEntries({{"new", "new bytes"}});
    EXPECT_EQ("new bytes", ReadEntry("new"));
    auto old = NewFile(host::ContUrl(path, "old"));
    EXPECT_EQ(E_FAIL, old->Open(ReadAccess));
}

// AppendAccess beside WriteAccess keeps what the file holds; alone it asks
// for nothing new.
TEST_F(VirtualFileTest, AppendAccessAddsToTheContainerInTheFile) {
    WriteEntries({{"old", "old bytes"}});
    {
        auto added = OpenEntry("new", WriteAccess | AppendAccess);
        ASSERT_EQ(S_OK, added->Write("new bytes"));
        auto taken = NewFile(host::ContUrl(path, "old"));
        EXPECT_EQ(E_FAIL, taken->Open(WriteAccess | AppendAccess));
        auto plain = OpenEntry("old", AppendAccess);
        EXPECT_EQ("old bytes", plain->ReadToEnd(100));
    }
    EXPECT_EQ("old bytes", ReadEntry("old"));
    EXPECT_EQ("new bytes", ReadEntry("new"));

    // Without a name nothing is added, and nothing is written, not even the
    // header of the container an empty file would become.
    const std::string empty = dir + "/empty.cnt";
    std::ofstream{empty};
    auto unnamed = NewFile("cont:///" + empty);
    EXPECT_EQ(E_FAIL, unnamed->Open(WriteAccess | AppendAccess));
    unnamed.reset();
    EXPECT_EQ(0u, std::filesystem::file_size(empty));

    // A file that is no container is refused as one and left as it was.
    const std::string notes = dir + "/notes.txt";
    std::ofstream(notes) << "not a container";
    auto refused = NewFile(host::ContUrl(notes, "x"));
    EXPECT_EQ(RES_BAD_FORMAT, refused->Open(WriteAccess | AppendAccess));
    refused.reset();
    std::ifstream in(notes);
    EXPECT_EQ("not a container", std::string(std::istreambuf_iterator<char>(in), {}));
}

// An Open that would write to a container this process holds for reading
// is refused at once, as it is while another process holds the file, rather
// than every Write after it.
TEST_F(VirtualFileTest, OpensForWritingBesideAReaderOfThisProcessAreRefused) {
    WriteEntries({{"old", "old bytes"}});
    {
        auto reader = OpenEntry("old", ReadAccess);
        for (uint32_t access : {WriteAccess | AppendAccess, ReadAccess | WriteAccess}) {
            auto writer = NewFile(host::ContUrl(path, "new"));
            EXPECT_EQ(E_ACCESSDENIED, writer->Open(access)) << access;
            EXPECT_EQ(E_ACCESSDENIED, writer->response.Last().status);
        }
        auto* list = reader->As<IQLXEnumeratorIUnknown>(IID_IQLXEnumeratorIUnknown);
        EXPECT_EQ(std::vector<std::string>{host::ContUrl(path, "old")}, host::ListUrls(list));
        list->Release();
    }
    {
        auto added = OpenEntry("new", WriteAccess | AppendAccess);
        ASSERT_EQ(S_OK, added->Write("new bytes"));
    }
    EXPECT_EQ("old bytes", ReadEntry("old"));
    EXPECT_EQ("new bytes", ReadEntry("new"));
}

// A Sync before any byte was written makes the file a container: of no
// entries once it closes, and of its entries without bytes even when its
// writer never closes it (the copy made at the Sync, as a crash leaves it).
TEST_F(VirtualFileTest, SyncBeforeAnyWriteMakesTheFileAContainer) {
    const std::string emptied = dir + "/empty.cnt", crashed = dir + "/crashed.cnt";
    for (const bool named : {false, true}) {
        auto writer = NewFile(named ? host::ContUrl(path, "silent") : "cont:///" + emptied);
        EXPECT_EQ(named ? S_OK : E_FAIL, writer->Open(WriteAccess));  // no name: the container alone
        auto* sync = writer->As<IQLXFileSync>(IID_IQLXFileSync);
        ASSERT_EQ(S_OK, sync->Sync());
        sync->Release();
        if (named) std::filesystem::copy_file(path, crashed);
    }
    auto empty = NewFile("cont:///" + emptied);
    EXPECT_EQ(E_FAIL, empty->Open(ReadAccess));  // no entry holds data
    auto* list = empty->As<IQLXEnumeratorIUnknown>(IID_IQLXEnumeratorIUnknown);
    ASSERT_NE(nullptr, list);
    uint32_t count = 1;
    EXPECT_EQ(S_OK, list->GetCount(&count));
    EXPECT_EQ(0u, count);
    list->Release();

    auto silent = OpenEntry("silent", ReadAccess, crashed);
    auto* stat = silent->As<IQLXFileStat>(IID_IQLXFileStat);
    host::StatResponse size;
    stat->Stat(&size);
    stat->Release();
    EXPECT_EQ(S_OK, size.status);
    EXPECT_EQ(0u, size.size);
}

TEST_F(VirtualFileTest, RequestHandlerKeepsOneRequest) {
    auto file = NewFile(host::ContUrl(path, "e"));
    auto* handler = file->As<IQLXRequestHandler>(IID_IQLXRequestHandler);
    EXPECT_EQ(E_INVALIDARG, handler->AssignRequest(nullptr));
    IQLXRequest* out = reinterpret_cast<IQLXRequest*>(0x1);
    EXPECT_EQ(S_OK, handler->RetrieveRequest(&out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_POINTER, handler->RetrieveRequest(nullptr));

    host::Request other("cont:///elsewhere?file=e");
    EXPECT_EQ(S_OK, handler->AssignRequest(&file->request));
    EXPECT_EQ(S_OK, handler->AssignRequest(&other));
    EXPECT_EQ(0, file->request.refs.load());
    EXPECT_EQ(S_OK, handler->RetrieveRequest(&out));
    EXPECT_EQ(&other, out);
    EXPECT_EQ(2, other.refs.load());
    out->Release();
    handler->Release();
    file->Release();
    EXPECT_EQ(0, other.refs.load());
}

TEST_F(VirtualFileTest, EveryInterfaceLeadsToOneIdentity) {
    auto file = NewFile(host::ContUrl(path, "e"));
    IUnknown* identity = file->As<IUnknown>(IID_IUnknown);
    const QLXGUID* faces[] = {&IID_IQLXFileObject,    &IID_IQLXFileObject64,          &IID_IQLXFileStat,
                              &IID_IQLXFileExists,    &IID_IQLXGetFileFromSamePool,   &IID_IQLXRequestHandler,
                              &IID_IQLXFileRemove};
    for (const QLXGUID* iid : faces) {
        IUnknown* face = file->As<IUnknown>(*iid);
        ASSERT_NE(nullptr, face);
        IUnknown* again = host::Query<IUnknown>(face, IID_IUnknown);
        EXPECT_EQ(identity, again);
        again->Release();
        face->Release();
    }
    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_NOINTERFACE, identity->QueryInterface(IID_IQLXPlugin, &out));
    EXPECT_EQ(nullptr, out);
    // No container yet: no entries to list.
    out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_NOINTERFACE, identity->QueryInterface(IID_IQLXEnumeratorIUnknown, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_POINTER, identity->QueryInterface(IID_IQLXFileObject, nullptr));
    identity->Release();
}

// ---- sharing one container ---------------------------------------------------

TEST_F(VirtualFileTest, FileObjectsOnOnePathShareTheContainer) {
    auto writer = OpenEntry("live", ReadAccess | WriteAccess);
    ASSERT_EQ(S_OK, writer->Write("first part;"));
    // A second object on the same path sees the bytes at once: it reads
    // them through the same container, not from the file.
    auto reader = OpenEntry("live", ReadAccess);
    EXPECT_EQ("first part;", reader->ReadToEnd(4));
    ASSERT_EQ(S_OK, writer->Write("second part"));
    EXPECT_EQ("second part", reader->ReadToEnd(4));
}

TEST_F(VirtualFileTest, AThirdObjectJoinsByTitleUnderAnotherSpelling) {
    WriteEntries({{"e", "by title"}});
    auto first = OpenEntry("e", ReadAccess);
    auto second = OpenEntry("e", ReadAccess);
    // Another spelling of the same file: no container is registered under
    // it, but the open one carries its title.
    const std::string spelled = dir + "//clips.cnt";
    auto third = NewFile(host::ContUrl(spelled, "e"));
    ASSERT_EQ(S_OK, third->Open(ReadAccess));
    EXPECT_EQ("by title", third->ReadToEnd(100));
    // It joined: its entries list under the first spelling, and its own
    // spelling never entered the registry.
    auto* list = third->As<IQLXEnumeratorIUnknown>(IID_IQLXEnumeratorIUnknown);
    ASSERT_NE(nullptr, list);
    EXPECT_EQ(std::vector<std::string>{host::ContUrl(path, "e")}, host::ListUrls(list));
    list->Release();
    auto* exists = third->As<IQLXFileExists>(IID_IQLXFileExists);
    host::ExistsResponse underSpelling;
    exists->CheckExistence(host::ContUrl(spelled, "e").c_str(), &underSpelling);
    EXPECT_EQ(0, underSpelling.exists);
    exists->Release();
}

TEST_F(VirtualFileTest, ContainersOfOtherFilesWithTheSameTitleAreNotJoined) {
    WriteEntries({{"e", "here"}});
    const std::string elsewhere = dir + "/other/clips.cnt";
    std::filesystem::create_directories(dir + "/other");
    {
        auto writer = NewFile(host::ContUrl(elsewhere, "e"));
        ASSERT_EQ(S_OK, writer->Open(WriteAccess));
        ASSERT_EQ(S_OK, writer->Write("there"));
    }
    auto held = OpenEntry("e", ReadAccess);
    EXPECT_EQ("here", held->ReadToEnd(100));
    auto other = NewFile(host::ContUrl(elsewhere, "e"));
    ASSERT_EQ(S_OK, other->Open(ReadAccess));
    EXPECT_EQ("there", other->ReadToEnd(100));
    // Letter case makes another file here, and that one does not exist.
    auto upper = NewFile(host::ContUrl(dir + "/CLIPS.CNT", "e"));
    EXPECT_EQ(E_ACCESSDENIED, upper->Open(ReadAccess));
}

TEST_F(VirtualFileTest, WritingDoesNotJoinByTitle) {
    auto held = OpenEntry("e", WriteAccess);
    ASSERT_EQ(S_OK, held->Write("kept"));
    const std::string other = dir + "/CLIPS.CNT";
    auto writer = NewFile(host::ContUrl(other, "f"));
    ASSERT_EQ(S_OK, writer->Open(WriteAccess));
    EXPECT_TRUE(std::filesystem::exists(other));
    auto* list = writer->As<IQLXEnumeratorIUnknown>(IID_IQLXEnumeratorIUnknown);
    ASSERT_NE(nullptr, list);
    EXPECT_EQ(std::vector<std::string>{host::ContUrl(other, "f")}, host::ListUrls(list));
    list->Release();
}

TEST_F(VirtualFileTest, AnObjectOpenedWithoutAccessBitsStillSharesAFullDirectory) {
    WriteEntries({{"e", "seen"}});
    auto neither = NewFile(host::ContUrl(path, "e"));
    ASSERT_EQ(S_OK, neither->Open(0));
    // A reader joining the container that object opened finds the entry.
    auto reader = OpenEntry("e", ReadAccess);
    EXPECT_EQ("seen", reader->ReadToEnd(100));
}

// ---- listing -------------------------------------------------------------------

TEST_F(VirtualFileTest, EnumerationListsEntriesAsUrls) {
    WriteEntries({{"a", "1"}, {"b", "22"}, {"c", "333"}});
    auto file = OpenEntry("b", ReadAccess);
    auto* list = file->As<IQLXEnumeratorIUnknown>(IID_IQLXEnumeratorIUnknown);
    ASSERT_NE(nullptr, list);
    uint32_t count = 0;
    EXPECT_EQ(S_OK, list->GetCount(&count));
    EXPECT_EQ(3u, count);
    // The absolute path keeps its own leading "/" after "cont:///".
    ASSERT_EQ('/', path[0]);
    EXPECT_EQ((std::vector<std::string>{"cont:////" + path.substr(1) + "?file=a", host::ContUrl(path, "b"),
                                        host::ContUrl(path, "c")}),
              host::ListUrls(list));

    // Each listed URL opens its entry again.
    auto again = NewFile(host::ContUrl(path, "c"));
    ASSERT_EQ(S_OK, again->Open(ReadAccess));
    EXPECT_EQ("333", again->ReadToEnd(10));

    // The enumerator holds the container, not the file objects; it keeps
    // the module loaded.
    file->Release();
    again->Release();
    EXPECT_EQ(E_FAIL, module.canUnload());
    EXPECT_EQ(3u, host::ListUrls(list).size());
    list->Release();
}

TEST_F(VirtualFileTest, ListedUrlsOpenEntriesWhoseNamesTheParserWouldMisread) {
    // Written through quoted names: "7" would otherwise be a number and
    // "a&b" would end at its '&'.
    WriteEntries({{"first", "f"}, {"\"7\"", "seven"}, {"\"a&b\"", "ampersand"}});
    auto file = OpenEntry("first", ReadAccess);
    auto* list = file->As<IQLXEnumeratorIUnknown>(IID_IQLXEnumeratorIUnknown);
    ASSERT_NE(nullptr, list);
    const std::vector<std::string> urls = host::ListUrls(list);
    list->Release();
    EXPECT_EQ((std::vector<std::string>{host::ContUrl(path, "first"), host::ContUrl(path, "\"7\""),
                                        host::ContUrl(path, "\"a&b\"")}),
              urls);
    const char* expected[] = {"f", "seven", "ampersand"};
    for (size_t i = 0; i < urls.size() && i < 3; ++i) {
        auto again = NewFile(urls[i]);
        ASSERT_EQ(S_OK, again->Open(ReadAccess)) << urls[i];
        EXPECT_EQ(expected[i], again->ReadToEnd(100)) << urls[i];
    }
}

// ---- stat, existence, pooled files, removal ---------------------------------------

TEST_F(VirtualFileTest, StatGivesTheEntrySizeAndTheContainerFileTimes) {
    WriteEntries({{"small", "12345"}, {"big", Pattern(100000, 'b')}});
    chmod(path.c_str(), 0640);
    auto file = OpenEntry("big", ReadAccess);
    auto* stat = file->As<IQLXFileStat>(IID_IQLXFileStat);
    host::StatResponse response;
    EXPECT_EQ(S_OK, stat->Stat(&response));

    struct stat expected {};
    ASSERT_EQ(0, ::stat(path.c_str(), &expected));
    EXPECT_EQ(1, response.calls);
    EXPECT_EQ(S_OK, response.status);
    EXPECT_EQ(100000u, response.size);
    EXPECT_EQ(static_cast<uint32_t>(expected.st_mtime), response.modificationTime);
    EXPECT_EQ(static_cast<uint32_t>(expected.st_atime), response.accessTime);
    EXPECT_EQ(static_cast<uint32_t>(expected.st_ctime), response.creationTime);
    EXPECT_EQ(static_cast<uint32_t>(expected.st_mode & 0xFFFF), response.mode);
    EXPECT_EQ(static_cast<uint32_t>(S_IFREG | 0640), response.mode);
    EXPECT_NE(0u, response.modificationTime);
    stat->Release();
}

TEST_F(VirtualFileTest, StatFailsWithZerosWithoutEntryOrContainer) {
    host::StatResponse response;
    auto unopened = NewFile(host::ContUrl(path, "e"));
    auto* stat = unopened->As<IQLXFileStat>(IID_IQLXFileStat);
    EXPECT_EQ(S_OK, stat->Stat(&response));
    EXPECT_EQ(E_FAIL, response.status);
    EXPECT_EQ(0u, response.size + response.creationTime + response.accessTime + response.modificationTime +
                      response.mode);
    EXPECT_EQ(E_POINTER, stat->Stat(nullptr));
    stat->Release();

    // The container file went away under the open container.
    auto file = OpenEntry("e", WriteAccess);
    std::filesystem::remove(path);
    auto* stat2 = file->As<IQLXFileStat>(IID_IQLXFileStat);
    host::StatResponse gone;
    EXPECT_EQ(S_OK, stat2->Stat(&gone));
    EXPECT_EQ(E_FAIL, gone.status);
    stat2->Release();
}

TEST_F(VirtualFileTest, ExistenceIsAskedOfOpenContainersOnly) {
    WriteEntries({{"here", "data"}});
    auto asker = NewFile(host::ContUrl(dir + "/other.cnt", "x"));
    auto* exists = asker->As<IQLXFileExists>(IID_IQLXFileExists);
    auto check = [&](const std::string& url) {
        host::ExistsResponse response;
        EXPECT_EQ(S_OK, exists->CheckExistence(url.c_str(), &response));
        EXPECT_EQ(1, response.calls);
        return response.exists;
    };
    // Not held open: the file holds the entry, but the answer is no.
    EXPECT_EQ(0, check(host::ContUrl(path, "here")));

    auto holder = OpenEntry("here", ReadAccess);
    EXPECT_NE(0, check(host::ContUrl(path, "here")));
    EXPECT_EQ(0, check(host::ContUrl(path, "absent")));
    // Without a "file" option: any entry holding data.
    EXPECT_NE(0, check("cont:///" + path));
    // Paths are compared exactly: no title search here.
    std::string upper = path;
    upper.replace(upper.rfind("clips.cnt"), 9, "CLIPS.CNT");
    EXPECT_EQ(0, check(host::ContUrl(upper, "here")));
    // The text is taken as it is: a bare path has no "fullpath".
    EXPECT_EQ(0, check(path + "?file=here"));
    EXPECT_EQ(0, check(""));

    host::ExistsResponse unused;
    EXPECT_EQ(S_OK, exists->CheckExistence(nullptr, &unused));
    EXPECT_EQ(0, unused.exists);
    EXPECT_EQ(E_POINTER, exists->CheckExistence("cont:///x", nullptr));
    exists->Release();
}

TEST_F(VirtualFileTest, PooledFilesLiveOnlyWhenTheHostKeepsThem) {
    auto file = NewFile(host::ContUrl(path, "e"));
    auto* pool = file->As<IQLXGetFileFromSamePool>(IID_IQLXGetFileFromSamePool);

    host::PoolResponse dropped;
    EXPECT_EQ(S_OK, pool->CreatePooledFile(&dropped));
    EXPECT_EQ(1, dropped.calls);
    EXPECT_EQ(S_OK, dropped.status);
    EXPECT_NE(nullptr, dropped.file);

    host::PoolResponse kept;
    kept.keep = true;
    EXPECT_EQ(S_OK, pool->CreatePooledFile(&kept));
    ASSERT_NE(nullptr, kept.file);
    pool->Release();
    file->Release();
    // The kept one still counts; the dropped one is gone.
    EXPECT_EQ(E_FAIL, module.canUnload());

    // A pooled file shares nothing: it has no request of its own yet.
    HostFile pooled(kept.file, host::ContUrl(path, "p"));
    FileResponse early;
    EXPECT_EQ(E_INVALIDARG, pooled.file->Open(WriteAccess, &early));
    ASSERT_EQ(S_OK, pooled.Open(WriteAccess));
    EXPECT_EQ(S_OK, pooled.Write("pooled"));
    pooled.Release();
    EXPECT_EQ(S_OK, module.canUnload());
    EXPECT_EQ("pooled", ReadEntry("p"));

    host::PoolResponse unused;
    auto another = NewFile("");
    auto* pool2 = another->As<IQLXGetFileFromSamePool>(IID_IQLXGetFileFromSamePool);
    EXPECT_EQ(E_POINTER, pool2->CreatePooledFile(nullptr));
    pool2->Release();
}

TEST_F(VirtualFileTest, RemovedEntryStaysGoneAfterReopening) {
    WriteEntries({{"keep", "kept bytes"}, {"drop", "dropped bytes"}});
    {
        auto file = OpenEntry("drop", ReadAccess);
        auto* remove = file->As<IQLXFileRemove>(IID_IQLXFileRemove);
        EXPECT_EQ(S_OK, remove->Remove());
        // A second removal finds no entry of that name.
        EXPECT_EQ(E_FAIL, remove->Remove());
        remove->Release();
        host::ExistsResponse response;
        auto* exists = file->As<IQLXFileExists>(IID_IQLXFileExists);
        exists->CheckExistence(host::ContUrl(path, "drop").c_str(), &response);
        EXPECT_EQ(0, response.exists);
        exists->Release();
        // No callback for a removal.
        EXPECT_EQ(1u, file->response.calls.size());
    }
    auto reopened = NewFile(host::ContUrl(path, "drop"));
    EXPECT_EQ(E_FAIL, reopened->Open(ReadAccess));
    EXPECT_EQ("kept bytes", ReadEntry("keep"));
    auto listed = OpenEntry("keep", ReadAccess);
    auto* list = listed->As<IQLXEnumeratorIUnknown>(IID_IQLXEnumeratorIUnknown);
    EXPECT_EQ(std::vector<std::string>{host::ContUrl(path, "keep")}, host::ListUrls(list));
    list->Release();
}

TEST_F(VirtualFileTest, NameRemovedAndWrittenAgainKeepsOnlyItsNewBytes) {
    {
        auto old = OpenEntry("clip", ReadAccess | WriteAccess);
        ASSERT_EQ(S_OK, old->Write("old bytes of the clip"));
        auto* remove = old->As<IQLXFileRemove>(IID_IQLXFileRemove);
        ASSERT_EQ(S_OK, remove->Remove());
        remove->Release();
        auto fresh = OpenEntry("clip", ReadAccess | WriteAccess);
        ASSERT_EQ(S_OK, fresh->Write("new"));
        EXPECT_EQ(S_OK, fresh->file->Seek(0, 0));
        EXPECT_EQ("new", fresh->ReadToEnd(100));
    }
    auto reader = OpenEntry("clip", ReadAccess);
    EXPECT_EQ("new", reader->ReadToEnd(100));
}

TEST_F(VirtualFileTest, RemoveWithoutContainerFails) {
    auto file = NewFile(host::ContUrl(path, "e"));
    auto* remove = file->As<IQLXFileRemove>(IID_IQLXFileRemove);
    EXPECT_EQ(E_FAIL, remove->Remove());
    remove->Release();
}

// ---- module lifetime -----------------------------------------------------------------

// A container being written sets its clean flag (offset 6 of the header)
// only when its last holder lets it go.
TEST_F(VirtualFileTest, AnEnumeratorAloneKeepsTheModuleUntilItsContainerIsOnDisk) {
    auto cleanFlag = [this] {
        std::ifstream in(path, std::ios::binary);
        in.seekg(6);
        return in.get();
    };
    IQLXEnumeratorIUnknown* list = nullptr;
    {
        auto a = OpenEntry("a", WriteAccess);
        auto b = OpenEntry("b", WriteAccess);
        ASSERT_EQ(S_OK, a->Write("first entry"));
        ASSERT_EQ(S_OK, b->Write("second"));
        list = a->As<IQLXEnumeratorIUnknown>(IID_IQLXEnumeratorIUnknown);
        ASSERT_NE(nullptr, list);
    }
    EXPECT_EQ(0, cleanFlag());
    EXPECT_EQ(E_FAIL, module.canUnload());
    list->Release();
    EXPECT_EQ(S_OK, module.canUnload());
    EXPECT_EQ(1, cleanFlag());
    EXPECT_EQ("first entry", ReadEntry("a"));
    EXPECT_EQ("second", ReadEntry("b"));
}

// ---- gathering ---------------------------------------------------------------

// gather=1 beside the name, or GatherAccess, gathers; the name is the name
// alone, also one holding '&' (quoted) or '='. A reader on another file
// object reads each byte as soon as its Write returned, and the file holds
// it once the writer closes.
TEST_F(VirtualFileTest, GatheringIsAskedByFlagOrUrlOptionAndReadAtOnce) {
    struct Writer {
        std::string name;
        std::string quoted;  // as a URL carries it
        std::string url;
        uint32_t access;
    };
    const Writer writers[] = {
        {"cam1.ts", "cam1.ts", host::ContUrl(path, "cam1.ts") + "&gather=1", WriteAccess},
        {"a&b", "\"a&b\"", host::ContUrl(path, "\"a&b\"") + "&gather=1", WriteAccess},
        {"k=v", "k=v", "cont:///" + path + "?gather=1&file=k=v", WriteAccess},
        {"flag", "flag", host::ContUrl(path, "flag"), WriteAccess | GatherAccess},
    };
    std::vector<std::unique_ptr<HostFile>> files;
    for (const Writer& w : writers) {
        files.push_back(NewFile(w.url));
        ASSERT_EQ(S_OK, files.back()->Open(w.access)) << w.url;
        const char* name = nullptr;
        ASSERT_EQ(S_OK, files.back()->file->GetName(&name));
        EXPECT_EQ(w.name, name);
    }
    const auto fileSize = [this] { return std::filesystem::file_size(path); };
    for (size_t i = 0; i < files.size(); ++i) {
        ASSERT_EQ(S_OK, files[i]->Write(Pattern(1316, static_cast<char>('a' + i))));
        auto reader = OpenEntry(writers[i].quoted, ReadAccess);
        EXPECT_EQ(Pattern(1316, static_cast<char>('a' + i)), reader->ReadToEnd(500)) << writers[i].name;
    }
    const auto gathering = fileSize();
    EXPECT_EQ(S_OK, files[0]->file->Close());
    EXPECT_EQ(gathering + 17 + 1316, fileSize());  // one record, written out at Close
    files.clear();
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(Pattern(1316, static_cast<char>('a' + i)), ReadEntry(writers[i].quoted)) << writers[i].name;
}

// The flusher thread lives only while a gathering container does, so the
// module can be unloaded once CanUnload says so.
TEST_F(VirtualFileTest, GatheringKeepsTheModuleUntilItsContainerIsOnDisk) {
    auto writer = NewFile(host::ContUrl(path, "live") + "&gather=1");
    ASSERT_EQ(S_OK, writer->Open(WriteAccess));
    ASSERT_EQ(S_OK, writer->Write("bytes"));
    EXPECT_EQ(E_FAIL, module.canUnload());
    writer->Release();
    EXPECT_EQ(S_OK, module.canUnload());
    EXPECT_EQ("bytes", ReadEntry("live"));
}

TEST_F(VirtualFileTest, CanUnloadFollowsEveryFileObject) {
    EXPECT_EQ(S_OK, module.canUnload());
    auto first = NewFile(host::ContUrl(path, "a"));
    auto second = NewFile(host::ContUrl(path, "b"));
    EXPECT_EQ(E_FAIL, module.canUnload());
    ASSERT_EQ(S_OK, first->Open(WriteAccess));
    ASSERT_EQ(S_OK, second->Open(WriteAccess));
    first->Release();
    EXPECT_EQ(E_FAIL, module.canUnload());
    second->Release();
    EXPECT_EQ(S_OK, module.canUnload());

    // An object handed out through the plug-in counts too, and the plug-in
    // may go before its file objects.
    IUnknown* plugin = nullptr;
    ASSERT_EQ(S_OK, module.createInstance(&plugin));
    auto* fs = host::Query<IQLXFileSystemObject>(plugin, IID_IQLXFileSystemObject);
    IUnknown* object = nullptr;
    ASSERT_EQ(S_OK, fs->CreateFileObject(&object));
    ASSERT_NE(nullptr, object);
    EXPECT_EQ(E_POINTER, fs->CreateFileObject(nullptr));
    fs->Release();
    plugin->Release();
    EXPECT_EQ(E_FAIL, module.canUnload());
    EXPECT_EQ(2u, object->AddRef());
    object->Release();
    EXPECT_EQ(0u, object->Release());
    EXPECT_EQ(S_OK, module.canUnload());
}

}  // namespace
