// Package throughput on large inputs: verification of a 1 GiB package,
// extraction of a 512 MiB member, and a full flash of a 512 MiB partition onto
// the virtual handset (time and the process's peak resident memory).
//
// The fixture (a 1 GiB package, 2 GiB of scratch files while it is built) is
// made once under $TMPDIR and removed at exit. With BRV_BENCH_DIR set, it lives
// in that directory instead, is kept, and is reused by the next run.
// Run: build/bin/package_bench [--benchmark_filter=...]
#include "brp_source.h"
#include "fwpkg.h"
#include "package_builder.h"
#include "progress.h"
#include "test_package.h"
#include "usb.h"
#include "vhandset.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t mib = 1ull << 20;
constexpr std::uint64_t member_bytes = 512 * mib;
constexpr std::uint64_t sector = 512;
constexpr std::uint64_t partition_start = 34;
constexpr std::uint64_t disk_bytes = 640 * mib;
constexpr std::size_t write_chunk = 1 << 20;
const char* const image_name = "system.img";

// Incompressible, like the already-compressed images real packages carry, so
// the package is as large as its content.
void write_random(const fs::path& p, std::uint64_t size, std::uint64_t seed)
{
    std::ofstream f(p, std::ios::binary);
    std::vector<std::uint64_t> chunk(write_chunk / sizeof(std::uint64_t));
    std::uint64_t x = seed | 1;
    for (std::uint64_t done = 0; done < size; done += write_chunk) {
        for (auto& w : chunk) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            w = x;
        }
        f.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(std::min<std::uint64_t>(write_chunk, size - done)));
    }
}

struct fixture {
    fs::path dir;
    fs::path package;
    bool keep = false;

    fixture()
    {
        if (const char* d = std::getenv("BRV_BENCH_DIR")) {
            dir = d;
            keep = true;
        } else {
            dir = fs::temp_directory_path() / ("brv-package-bench-" + std::to_string(::getpid()));
        }
        package = dir / "bench.brp";
        if (keep && fs::exists(package))
            return;
        const fs::path src = dir / "src";
        testsupport::package_folder folder;
        folder.code_name = "bench";
        folder.display_name = "Bench";
        folder.programmer_name = "prog.elf";
        folder.partitions = {{"system_a", image_name, partition_start, member_bytes / sector, ""}};
        // The two large members are streamed into the folder, never held whole.
        testsupport::package_files files = folder.files();
        files.erase(image_name);
        testsupport::write_folder(src, files);
        write_random(src / image_name, member_bytes, 1);
        write_random(src / "filler.bin", member_bytes, 2);
        pack_directory(src.string(), package.string());
        fs::remove_all(src);
    }
    ~fixture()
    {
        std::error_code ec;
        if (!keep)
            fs::remove_all(dir, ec);
        else
            fs::remove_all(dir / "handset", ec);
    }
};

fixture& shared_fixture()
{
    static fixture f;
    return f;
}

double peak_rss_mib()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
}

// Registered first: its peak memory is not inflated by the other cases.
void BM_FlashPartition512MiB(benchmark::State& state)
{
    fixture& f = shared_fixture();
    ::setenv("BRV_PROGRAMMER_WAIT_MS", "0", 1);
    fwpkg pkg;
    pkg.open(f.package.string());
    null_progress progress;
    const double rss_before = peak_rss_mib();
    for (auto _ : state) {
        vhandset::handset_options opts;
        opts.memory = "emmc";
        opts.disk_size = disk_bytes;
        auto h = vhandset::attach(opts, f.dir / "handset");
        const int handle = usb_open_vidpid(edl_vidpid, true);
        if (handle < 0) {
            state.SkipWithError("cannot open the virtual handset");
            break;
        }
        bool ok = true;
        try {
            flash_package(pkg, handle, progress, {});
        } catch (const std::exception&) {
            ok = false;
        }
        usb_close(handle);
        h->wait_detached(5000);
        vhandset::detach_all();
        if (!ok) {
            state.SkipWithError("flash failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * member_bytes));
    state.counters["peak_rss_MiB"] = peak_rss_mib();
    state.counters["rss_before_MiB"] = rss_before;
}

void BM_ReadMember512MiB(benchmark::State& state)
{
    fixture& f = shared_fixture();
    fwpkg pkg;
    pkg.open(f.package.string());
    for (auto _ : state) {
        buffer b = pkg.read_file(image_name, 0);
        benchmark::DoNotOptimize(b.c_ptr());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * member_bytes));
    state.counters["peak_rss_MiB"] = peak_rss_mib();
}

void BM_VerifyPackage1GiB(benchmark::State& state)
{
    fixture& f = shared_fixture();
    fwpkg pkg;
    pkg.open(f.package.string());
    null_progress progress;
    for (auto _ : state) {
        if (!pkg.verify(progress)) {
            state.SkipWithError("verification failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * pkg.header().data_length));
}

} // namespace

BENCHMARK(BM_FlashPartition512MiB)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ReadMember512MiB)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_VerifyPackage1GiB)->Unit(benchmark::kMillisecond)->Iterations(2);

BENCHMARK_MAIN();
