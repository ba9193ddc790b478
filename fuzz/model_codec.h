// The model target's input as workload steps, and back: every 11 bytes
// are one step, so that any input means something and a mutation of one
// byte changes one field of one step.
//
//   kind(1)  handle(1)  name(1)  size(2)  piece(2)  position(4)
//
// The kind byte is taken modulo the number of kinds; its top bit makes a
// seek relative, and a created or added entry's writer gather. Integers are
// big-endian.
#ifndef CONTFS_FUZZ_MODEL_CODEC_H
#define CONTFS_FUZZ_MODEL_CODEC_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/workload_steps.h"

namespace fuzz {

constexpr size_t kStepBytes = 11;

inline std::vector<workload::Step> DecodeSteps(const uint8_t* bytes, size_t size) {
    std::vector<workload::Step> steps;
    for (size_t at = 0; at + kStepBytes <= size; at += kStepBytes) {
        const uint8_t* b = bytes + at;
        workload::Step step;
        step.kind = static_cast<workload::StepKind>((b[0] & 0x7F) % static_cast<uint8_t>(workload::StepKind::kCount));
        const bool topBit = (b[0] & 0x80) != 0;
        step.relative = topBit && step.kind == workload::StepKind::kSeek;
        step.gather = topBit && (step.kind == workload::StepKind::kCreate || step.kind == workload::StepKind::kAdd);
        step.handle = b[1];
        step.name = b[2];
        step.size = uint32_t{b[3]} << 8 | b[4];
        step.piece = uint32_t{b[5]} << 8 | b[6];
        step.position = uint64_t{b[7]} << 24 | uint64_t{b[8]} << 16 | uint64_t{b[9]} << 8 | b[10];
        steps.push_back(step);
    }
    return steps;
}

inline std::string EncodeSteps(const std::vector<workload::Step>& steps) {
    std::string bytes;
    for (const workload::Step& step : steps) {
        const uint8_t b[kStepBytes] = {
            static_cast<uint8_t>(static_cast<uint8_t>(step.kind) | (step.relative || step.gather ? 0x80 : 0)),
            static_cast<uint8_t>(step.handle),
            static_cast<uint8_t>(step.name),
            static_cast<uint8_t>(step.size >> 8),
            static_cast<uint8_t>(step.size),
            static_cast<uint8_t>(step.piece >> 8),
            static_cast<uint8_t>(step.piece),
            static_cast<uint8_t>(step.position >> 24),
            static_cast<uint8_t>(step.position >> 16),
            static_cast<uint8_t>(step.position >> 8),
            static_cast<uint8_t>(step.position),
        };
        bytes.append(reinterpret_cast<const char*>(b), kStepBytes);
    }
    return bytes;
}

}  // namespace fuzz

#endif
