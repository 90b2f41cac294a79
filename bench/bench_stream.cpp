// Cost of the stream operators on a memory buffer, and of moving a whole group on with
// Flush(target) and taking it back with Fill.
#include <benchmark/benchmark.h>

#include "CZolIntArray.h"
#include "CZolStreamBuffer.h"

namespace {
// Takes every block whole, as a shared-memory stream would, without copying it.
class NullStream : public CZolStream {
public:
    int Create(const char*) override { return 1; }
    int Open(const char*) override { return 1; }
    void Close() override {}
    unsigned int Write(unsigned char* buffer, unsigned int count) override {
        benchmark::DoNotOptimize(buffer);
        return count;
    }
    unsigned int Read(unsigned char*, unsigned int) override { return 0; }
};
}  // namespace

static void BM_WriteInts(benchmark::State& state) {
    CZolStreamBuffer buffer(0, 4096);
    NullStream sink;
    for (auto _ : state) {
        for (int i = 0; i < 256; ++i) {
            buffer << i;
        }
        buffer.Flush(sink);
        benchmark::DoNotOptimize(buffer.GetLength());
    }
    state.SetItemsProcessed(state.iterations() * 256);
}
BENCHMARK(BM_WriteInts);

static void BM_FillAndReadInts(benchmark::State& state) {
    unsigned char block[1024] = {};
    CZolStreamBuffer buffer(1, 1024);
    int value = 0;
    for (auto _ : state) {
        buffer.Fill(block, sizeof block);
        for (int i = 0; i < 256; ++i) {
            buffer >> value;
        }
        benchmark::DoNotOptimize(value);
    }
    state.SetItemsProcessed(state.iterations() * 256);
}
BENCHMARK(BM_FillAndReadInts);

static void BM_IntArrayAdd(benchmark::State& state) {
    for (auto _ : state) {
        CZolIntArray array;
        for (int i = 0; i < state.range(0); ++i) {
            array.Add(i);
        }
        array.DeleteAll();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_IntArrayAdd)->Arg(16)->Arg(256);

BENCHMARK_MAIN();
