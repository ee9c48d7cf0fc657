// Testing one 512-byte block against every enabled type of the first
// signature set: the compiled matcher, the plain rules type by type, and a
// raw baseline that only reads every byte of the block once.
//
//   build/release/bin/tl_signature_bench
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

#include "platform/settings_store.h"
#include "signatures/signature_database.h"
#include "signatures/signature_matcher.h"

namespace {

constexpr std::size_t kBlocks = 4096;

struct Fixture {
    tl::platform::SettingsStore store;
    tl::SignatureDatabase db{store, "Software\\Tessa-Loft\\Documents\\1.0"};
    std::vector<const tl::FileSignature*> types;
    std::vector<std::uint8_t> random;    // kBlocks random blocks
    std::vector<std::uint8_t> matching;  // blocks that each match some type

    Fixture() {
        db.InstallFirstSet(std::filesystem::path(TL_SOURCE_DIR) / "data" / "signatures.ini");
        db.Load();
        for (const auto& s : db.Signatures())
            if (s->SearchEnable) types.push_back(s.get());
        std::mt19937_64 rng(42);
        random.resize(kBlocks * 512);
        for (auto& b : random) b = static_cast<std::uint8_t>(rng());
        matching = random;
        std::size_t block = 0;
        while (block < kBlocks) {
            for (const auto* t : types) {
                for (const auto& p : t->Patterns) {
                    if (block >= kBlocks) break;
                    std::uint8_t* b = matching.data() + block * 512;
                    for (const auto& e : p.Elements) {
                        if (e.Kind != tl::kPatternMasked || e.Offset < 0) continue;
                        for (std::size_t i = 0; i < std::min<std::size_t>(e.Length, 512); ++i)
                            if (e.Data[512 + i] && e.Offset + i < 512) b[e.Offset + i] = e.Data[i];
                    }
                    ++block;
                }
            }
            if (types.empty()) break;
        }
    }
};

Fixture& Get() {
    static Fixture f;
    return f;
}

void Report(benchmark::State& state) {
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 512);
}

void BM_RawReadEveryByte(benchmark::State& state) {
    const auto& data = Get().random;
    std::size_t block = 0;
    for (auto _ : state) {
        const std::uint8_t* b = data.data() + block * 512;
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < 512; i += 8) {
            std::uint64_t v;
            std::memcpy(&v, b + i, 8);
            sum += v;
        }
        benchmark::DoNotOptimize(sum);
        block = (block + 1) % kBlocks;
    }
    Report(state);
}

template <bool Matching>
void BM_CompiledMatcher(benchmark::State& state) {
    auto& f = Get();
    const tl::SignatureMatcher matcher(f.types);
    const auto& data = Matching ? f.matching : f.random;
    std::vector<std::uint32_t> hits;
    std::size_t block = 0, total = 0;
    for (auto _ : state) {
        hits.clear();
        matcher.Match(data.data() + block * 512, 512, hits);
        total += hits.size();
        block = (block + 1) % kBlocks;
    }
    benchmark::DoNotOptimize(total);
    state.counters["types"] = static_cast<double>(f.types.size());
    state.counters["generic_patterns"] = static_cast<double>(matcher.GenericPatternCount());
    Report(state);
}

template <bool Matching>
void BM_PlainRules(benchmark::State& state) {
    auto& f = Get();
    const auto& data = Matching ? f.matching : f.random;
    std::size_t block = 0, total = 0;
    for (auto _ : state) {
        const std::uint8_t* b = data.data() + block * 512;
        for (const auto* t : f.types) total += t->Matches(b, 512);
        block = (block + 1) % kBlocks;
    }
    benchmark::DoNotOptimize(total);
    Report(state);
}

BENCHMARK(BM_RawReadEveryByte);
BENCHMARK_TEMPLATE(BM_CompiledMatcher, false)->Name("BM_CompiledMatcher/random");
BENCHMARK_TEMPLATE(BM_CompiledMatcher, true)->Name("BM_CompiledMatcher/matching");
BENCHMARK_TEMPLATE(BM_PlainRules, false)->Name("BM_PlainRules/random");
BENCHMARK_TEMPLATE(BM_PlainRules, true)->Name("BM_PlainRules/matching");

}  // namespace

BENCHMARK_MAIN();
