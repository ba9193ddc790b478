// The fragmented buffer and the mapped file that hands out its views through
// one: linking, spans inside and across fragments, and ReadBuffer of a view.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "buffer/fragmented_buffer.h"
#include "buffer/byte_buffer.h"
#include "datafile/mapped_file.h"

namespace {

IQLXFragmentedBuffer* NewChain() {
    IUnknown* unknown = nullptr;
    CreateFragmentedBuffer(&unknown);
    IQLXFragmentedBuffer* chain = nullptr;
    unknown->QueryInterface(IID_IQLXFragmentedBuffer, reinterpret_cast<void**>(&chain));
    unknown->Release();
    return chain;
}

// Linking n fragments one after another (each append measures the content).
void BM_AppendFragments(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<char> bytes(64, 'x');
    ByteBuffer* piece = ByteBuffer::CreateWith(bytes.data(), 64);
    for (auto _ : state) {
        IQLXFragmentedBuffer* chain = NewChain();
        for (int i = 0; i < n; ++i) chain->AppendFragment(piece, 0, 0xFFFFFFFFu);
        chain->Release();
    }
    state.SetItemsProcessed(state.iterations() * n);
    piece->Release();
}
BENCHMARK(BM_AppendFragments)->Arg(16)->Arg(256)->Arg(4096);

// A span inside one fragment of a chain of 16: a walk and a pointer.
void BM_SpanInsideOneFragment(benchmark::State& state) {
    std::vector<char> bytes(4096, 'x');
    ByteBuffer* piece = ByteBuffer::CreateWith(bytes.data(), 4096);
    IQLXFragmentedBuffer* chain = NewChain();
    for (int i = 0; i < 16; ++i) chain->AppendFragment(piece, 0, 0xFFFFFFFFu);
    uint32_t k = 0;
    for (auto _ : state) {
        // Never across a boundary, so the chain stays as it is.
        const uint32_t start = (k % 16) * 4096 + (k * 37) % 3996;
        benchmark::DoNotOptimize(chain->GetSpanPointer(start, 100));
        ++k;
    }
    chain->Release();
    piece->Release();
}
BENCHMARK(BM_SpanInsideOneFragment);


// A span across two fragments: one copy of the range, then the relink.
void BM_SpanAcrossFragments(benchmark::State& state) {
    const uint32_t length = static_cast<uint32_t>(state.range(0));
    std::vector<char> bytes(length, 'x');
    ByteBuffer* piece = ByteBuffer::CreateWith(bytes.data(), length);
    for (auto _ : state) {
        IQLXFragmentedBuffer* chain = NewChain();
        chain->AppendFragment(piece, 0, 0xFFFFFFFFu);
        chain->AppendFragment(piece, 0, 0xFFFFFFFFu);
        benchmark::DoNotOptimize(chain->GetSpanPointer(length / 2, length));
        chain->Release();
    }
    state.SetBytesProcessed(state.iterations() * length);
    piece->Release();
}
BENCHMARK(BM_SpanAcrossFragments)->Arg(64)->Arg(4096)->Arg(65536);

// ReadBuffer of a mapped file and the release that unmaps the view.
void BM_MappedReadBuffer(benchmark::State& state) {
    const uint32_t chunk = static_cast<uint32_t>(state.range(0));
    constexpr uint32_t kFileBytes = 4 << 20;
    char name[] = "/tmp/contfs-bench-XXXXXX";
    int fd = ::mkstemp(name);
    std::vector<char> bytes(kFileBytes, 'x');
    if (fd < 0 || ::write(fd, bytes.data(), kFileBytes) != kFileBytes) {
        state.SkipWithError("cannot write the scratch file");
        return;
    }
    ::close(fd);
    MappedFile file;
    file.Open(name, kOpenBinary, 0);
    uint32_t offset = 0;
    for (auto _ : state) {
        file.Seek(static_cast<int32_t>(offset), kSeekSet);
        IQLXBuffer* out = nullptr;
        file.ReadBuffer(chunk, &out);
        uint8_t last = out->GetBuffer()[chunk - 1];  // a copy: the page is read-only
        benchmark::DoNotOptimize(last);
        out->Release();
        offset = (offset + 7919 * 64) % (kFileBytes - chunk);
    }
    state.SetBytesProcessed(state.iterations() * chunk);
    file.Close();
    std::remove(name);
}
BENCHMARK(BM_MappedReadBuffer)->Arg(4096)->Arg(65536)->Arg(1 << 20);

}  // namespace
