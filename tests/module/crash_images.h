// Crash images of one file from a prefix of a power-cut log, under three
// models of what a crash leaves:
//
//   kProcess  the process dies: the file is exactly as after the cut.
//   kPages    the power fails: every 4 KiB page written since the last sync
//             that completed before the cut holds either its bytes after the
//             cut or those at that sync, chosen page by page; the length is
//             anywhere between the two lengths, and bytes past the synced
//             length that no new page brings are zeros.
//   kSectors  the same at 512-byte sectors.
//
// The file's bytes when the log began (`base`) count as durable. A Recipe
// says how an image was made, so that a failure can name it exactly.
#ifndef CONTFS_TESTS_MODULE_CRASH_IMAGES_H
#define CONTFS_TESTS_MODULE_CRASH_IMAGES_H

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "power_cut_log.h"

namespace powercut {

enum class Model { kProcess, kPages, kSectors };

inline const char* ModelName(Model model) {
    return model == Model::kProcess ? "process crash" : model == Model::kPages ? "4 KiB pages" : "512-byte sectors";
}

struct Recipe {
    Model model = Model::kProcess;
    size_t cut = 0;     // ops of the log applied
    size_t synced = 0;  // ops applied at the last completed sync before the cut
    uint64_t length = 0;
    uint64_t unit = 0;
    std::vector<uint64_t> written;  // units written since that sync
    std::vector<bool> fresh;        // of those, which hold their bytes after the cut

    std::string Describe() const {
        std::string text = std::string(ModelName(model)) + ", cut after " + std::to_string(cut) + " ops, length " +
                           std::to_string(length);
        if (model == Model::kProcess) return text;
        text += ", last sync after " + std::to_string(synced) + " ops; " + std::to_string(unit) +
                "-byte units written since, new: ";
        std::string runs;
        for (size_t i = 0; i < written.size(); ++i) {
            if (!fresh[i] || (i > 0 && fresh[i - 1] && written[i - 1] + 1 == written[i])) continue;
            size_t j = i;
            while (j + 1 < written.size() && fresh[j + 1] && written[j + 1] == written[j] + 1) ++j;
            runs += (runs.empty() ? "" : ",") + std::to_string(written[i]) +
                    (j > i ? "-" + std::to_string(written[j]) : "");
        }
        return text + (runs.empty() ? "none" : runs) + " (of " + std::to_string(written.size()) + ")";
    }
};

// Applies op to the bytes of `path`, when it is a change of that file; the
// units it touches go to `touched` (when given).
inline void Apply(const Op& op, const std::string& path, std::string* file, uint64_t unit = 0,
                  std::vector<uint64_t>* touched = nullptr) {
    if (op.name != path || (op.kind != Op::kWrite && op.kind != Op::kLength)) return;
    uint64_t from = op.at, to = op.at + op.bytes.size();
    if (op.kind == Op::kWrite) {
        if (file->size() < to) file->resize(to, '\0');
        file->replace(op.at, op.bytes.size(), op.bytes);
    } else {
        from = std::min<uint64_t>(op.at, file->size());
        to = std::max<uint64_t>(op.at, file->size());
        file->resize(op.at, '\0');
    }
    if (touched)
        for (uint64_t u = from / unit; u * unit < to; ++u) touched->push_back(u);
}

inline std::string Replay(const Log& log, const std::string& path, std::string file, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) Apply(log[i], path, &file);
    return file;
}

// An image of `path` with the first `cut` ops of the log applied.
inline std::string CrashImage(const Log& log, const std::string& path, const std::string& base, size_t cut, Model model,
                              std::mt19937_64& random, Recipe* recipe) {
    *recipe = Recipe();
    recipe->model = model;
    recipe->cut = cut;
    if (model == Model::kProcess) {
        std::string image = Replay(log, path, base, 0, cut);
        recipe->length = image.size();
        return image;
    }
    size_t synced = 0;
    for (size_t i = 0; i < cut; ++i)
        if (log[i].kind == Op::kSync && log[i].name == path) synced = i + 1;
    const std::string old = Replay(log, path, base, 0, synced);
    std::string now = old;
    const uint64_t unit = model == Model::kPages ? 4096 : 512;
    std::vector<uint64_t>& written = recipe->written;
    for (size_t i = synced; i < cut; ++i) Apply(log[i], path, &now, unit, &written);
    std::sort(written.begin(), written.end());
    written.erase(std::unique(written.begin(), written.end()), written.end());
    // How much reached the disk varies from image to image.
    const double share = std::uniform_real_distribution<double>(0, 1)(random);
    for (size_t i = 0; i < written.size(); ++i) recipe->fresh.push_back(std::bernoulli_distribution(share)(random));
    const uint64_t shortest = std::min(old.size(), now.size()), longest = std::max(old.size(), now.size());
    uint64_t length = longest;
    if (random() % 2) length = std::uniform_int_distribution<uint64_t>(shortest, longest)(random);
    std::string image = old.substr(0, length);
    image.resize(length, '\0');
    for (size_t i = 0; i < written.size(); ++i) {
        const uint64_t from = written[i] * unit;
        if (!recipe->fresh[i] || from >= length) continue;
        const uint64_t to = std::min(from + unit, length);
        for (uint64_t at = from; at < to; ++at) image[at] = at < now.size() ? now[at] : '\0';
    }
    recipe->synced = synced;
    recipe->length = length;
    recipe->unit = unit;
    return image;
}

}  // namespace powercut

#endif
