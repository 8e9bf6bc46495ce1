// Throughput of the digests and the scrambler over one large buffer, the work
// of verifying a package payload.
#include "byte_order.h"
#include "md5.h"
#include "scrozzler.h"
#include "sha256.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

constexpr std::size_t buffer_bytes = std::size_t{256} << 20;
constexpr std::size_t package_key_len = 65536;

const std::vector<std::uint8_t>& payload()
{
    static const std::vector<std::uint8_t> data = [] {
        std::vector<std::uint8_t> v(buffer_bytes);
        std::mt19937_64 rng(1);
        for (std::size_t i = 0; i + 8 <= v.size(); i += 8) {
            store_le64(v.data() + i, rng());
        }
        return v;
    }();
    return data;
}

void bm_md5_update(benchmark::State& state)
{
    const auto& data = payload();
    for (auto _ : state) {
        md5_ctx ctx;
        md5_init(&ctx);
        md5_update(&ctx, data.data(), data.size());
        std::uint8_t out[16];
        md5_final(&ctx, out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(data.size()));
}

void bm_sha256_update(benchmark::State& state, bool hardware)
{
    if (sha256_use_hardware(hardware) != hardware) {
        state.SkipWithError("CPU has no SHA extensions");
        return;
    }
    const auto& data = payload();
    for (auto _ : state) {
        sha256_ctx ctx;
        sha256_init(&ctx);
        sha256_update(&ctx, data.data(), static_cast<std::int32_t>(data.size()));
        std::uint8_t out[32];
        sha256_final(&ctx, out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(data.size()));
    sha256_use_hardware(true);
}

void bm_scramble(benchmark::State& state)
{
    static std::vector<std::uint8_t> data = payload();
    const scrozzler s(package_key_len, 0x5eedu);
    for (auto _ : state) {
        s.scramble(data.data(), data.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(data.size()));
}

} // namespace

BENCHMARK(bm_md5_update)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(bm_sha256_update, hardware, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(bm_sha256_update, portable, false)->Unit(benchmark::kMillisecond);
BENCHMARK(bm_scramble)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
