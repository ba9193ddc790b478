// pack_entries: writes files into a new container as entries that are
// written all at once, a piece of each in turn, so that their bytes lie
// interleaved in the container as a recorder writing several streams leaves
// them. Built on the host library (contfs::host), which drives the module's
// interfaces and callbacks.
//
//     pack_entries OUT.cnt FILE...
//
// Each entry is named after its file's last path component. The module is
// found as every host finds it: the file the environment variable
// CONT_MODULE names, else the one installed with the host library
// (CONTFS_INSTALLED_MODULE, which the CMake package defines;
// examples/CMakeLists.txt and README.md show how).
#include <contfs/container_writer.h>
#include <contfs/entry_file.h>
#include <contfs/module.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

// Bytes of one file written before the next file's turn.
constexpr size_t kPiece = 64 * 1024;

struct Input {
    std::string path;
    std::ifstream file;
    contfs::EntryFile entry;
};

int Fail(const std::string& what, contfs::Result result, const std::string& why = {}) {
    std::fprintf(stderr, "pack_entries: %s: %s%s%s\n", what.c_str(), result.Describe().c_str(),
                 why.empty() ? "" : ": ", why.c_str());
    return 1;
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: pack_entries OUT.cnt FILE...\n");
        return 2;
    }
    contfs::Module module;
    std::string why;
    contfs::Result result = module.Load(&why);
    if (result.failed()) return Fail("cannot load the module", result, why);

    // The writer refuses a file that holds anything: it never empties one.
    contfs::ContainerWriter writer;
    result = writer.Create(module, argv[1], &why);
    if (result.failed()) return Fail(argv[1], result, why);

    // Every entry is added before any byte is written.
    std::vector<std::unique_ptr<Input>> inputs;
    for (int i = 2; i < argc; ++i) {
        auto input = std::make_unique<Input>();
        input->path = argv[i];
        input->file.open(input->path, std::ios::binary);
        if (!input->file) {
            std::perror(argv[i]);
            return 1;
        }
        result = writer.AddEntry(BaseName(input->path), &input->entry, &why);
        if (result.failed()) return Fail("cannot add " + input->path, result, why);
        inputs.push_back(std::move(input));
    }

    // A piece of each file in turn, until every file is used up.
    std::vector<char> piece(kPiece);
    for (size_t open = inputs.size(); open != 0;) {
        open = 0;
        for (auto& input : inputs) {
            if (!input->file.is_open()) continue;
            input->file.read(piece.data(), static_cast<std::streamsize>(piece.size()));
            const size_t got = static_cast<size_t>(input->file.gcount());
            if (input->file.bad()) return Fail("cannot read " + input->path, E_FAIL);
            // An empty file is written once all the same, so that its entry is
            // on the disk.
            if (got != 0 || input->entry.position() == 0) {
                result = input->entry.Write(piece.data(), got);
                if (result.failed()) return Fail("cannot write " + input->path, result);
            }
            if (input->file.eof()) {
                input->file.close();
                // Released, the entry is complete; the writer keeps the
                // container open for the others.
                input->entry.Release();
            } else {
                ++open;
            }
        }
    }

    // The module writes the container's directory and marks it closed
    // cleanly when the last holder lets go; then the module may be unloaded.
    writer.Close();
    if (!module.Unload()) return Fail("the module still has live objects", RES_UNEXPECTED);
    return 0;
}
