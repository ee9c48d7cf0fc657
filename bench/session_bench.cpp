// Scan files against the same work without them, in one run:
//
// (a) the sector scan of a 2 GiB image of pseudo-random data with 300
//     documents planted in it ("analyze --sectors-only" as a whole process,
//     its listing to /dev/null), kept in a scan file against kept in memory
//     only (--no-session): the share of the throughput that remains. Warm
//     page cache, median of RUNS runs in rounds.
// (b) a scan file of a million records (the file-system stage of a FAT32
//     volume of a million files, made by tests/fixtures/make_fat32_big.sh):
//     loading it into the volume against a new file-system analysis of the
//     volume, both in this process, best of 3; and the file's bytes per
//     record.
//
//   build/release/bin/tl_session_bench [RUNS]
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/app_settings.h"
#include "app/languages.h"
#include "bench_support.h"
#include "filesystems/found_tree.h"
#include "platform/settings_store.h"
#include "session/scan_file.h"
#include "session/scan_session.h"
#include "storage/analysis_session.h"
#include "storage/local_computer.h"

namespace {

namespace fs = std::filesystem;
using tl::bench::Seconds;
using tl::bench::TimedCommand;

bool Make(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

void ScanThroughput(const fs::path& tmp, int runs) {
    const fs::path samples = tmp / "tessa-loft-bench-samples";
    const fs::path image = tmp / "tessa-loft-sectors-planted-2048.img";
    const fs::path out = tmp / "tessa-loft-session-bench";
    fs::create_directories(out);
    if (!Make("bash " TL_SOURCE_DIR "/tests/fixtures/make_samples.sh '" + samples.string() + "'") ||
        (!fs::exists(image) && !tl::bench::MakePlantedImage(image, 2048, samples, 300))) {
        std::fprintf(stderr, "the image could not be made\n");
        std::exit(1);
    }
    tl::bench::WarmPageCache(image);
    const std::string scan = (out / "bench.tlscan").string();
    const std::string cli = std::string(TL_CLI_PATH) + " --config-dir '" + (out / "config").string() + "' --quiet analyze '" +
                            image.string() + "' --sectors-only --format json >/dev/null";
    std::vector<TimedCommand> commands{
        {"kept in memory only (--no-session)", cli + " --no-session", {}, {}, false},
        {"kept in a scan file", cli + " --session '" + scan + "'", [scan] { fs::remove(scan); }, {}, false},
    };
    tl::bench::TimeInRounds(commands, runs);
    const double memory = commands[0].MedianSeconds(), kept = commands[1].MedianSeconds();
    const double mb = static_cast<double>(fs::file_size(image)) / 1e6;
    std::printf("(a) sector scan of %s, median of %d\n", image.filename().c_str(), runs);
    for (const TimedCommand& c : commands)
        std::printf("    %-36s %7.2f s  %7.1f MB/s\n", c.label.c_str(), c.MedianSeconds(), mb / c.MedianSeconds());
    if (memory > 0 && kept > 0) std::printf("    throughput kept with a scan file:    %.1f %%\n", 100 * memory / kept);
}

struct Machine {
    tl::AppSettings settings;
    tl::platform::SettingsStore store;
    tl::CLanguages texts{{}};
    tl::CLocalComputer computer{settings, store, "Software\\Tessa-Loft\\Documents\\1.0", texts,
                                [] { return tl::platform::WindowId{0}; }};
    Machine() { computer.Log().SetDebugOutput({}); }
};

void LoadAgainstAnalysis(const fs::path& tmp) {
    const fs::path image = tmp / "tessa-loft-fat-million.img";
    if (!fs::exists(image)) {
        std::printf("making %s (a million files; some minutes) ...\n", image.c_str());
        if (!Make("bash " TL_SOURCE_DIR "/tests/fixtures/make_fat32_big.sh '" + image.string() + "' 1000")) {
            std::fprintf(stderr, "the image could not be made\n");
            std::exit(1);
        }
    }
    tl::bench::WarmPageCache(image);
    const std::string scan = (tmp / "tessa-loft-session-bench" / "million.tlscan").string();
    double analysis = 1e9, load = 1e9;
    std::size_t records = 0, loaded = 0;
    for (int round = 0; round < 3; ++round) {
        Machine m;
        tl::CVolume* v = m.computer.LoadImage(image.string());
        if (!v) std::exit(1);
        const auto start = std::chrono::steady_clock::now();
        m.computer.AnalyseVolume(*v);
        v->WaitForWorker(600000);
        analysis = std::min(analysis, Seconds(start));
        records = v->FoundTree().Count();
    }
    {
        // The scan file, written as an analysis runs.
        Machine m;
        tl::CAnalysisSession session(m.computer);
        std::string error;
        tl::CVolume* v = session.OpenSource(image.string(), error);
        tl::CScanSession keep(m.computer);
        if (!v || !keep.Begin(scan, *v, tl::AnalysisStages::FileSystem, error)) {
            std::fprintf(stderr, "the scan file could not be made: %s\n", error.c_str());
            std::exit(1);
        }
        session.Start(*v, tl::AnalysisStages::FileSystem);
        while (!session.Wait(100)) {
        }
        keep.End(true);
    }
    for (int round = 0; round < 3; ++round) {
        Machine m;
        tl::CVolume* v = m.computer.LoadImage(image.string());
        tl::CScanSession reopened(m.computer);
        std::string error;
        const auto start = std::chrono::steady_clock::now();
        if (!v || !reopened.Load(scan, *v, false, error)) {
            std::fprintf(stderr, "the scan file could not be loaded: %s\n", error.c_str());
            std::exit(1);
        }
        load = std::min(load, Seconds(start));
        loaded = reopened.LoadedRecords();
    }
    tl::CScanFile file;
    std::string error;
    std::uint64_t rows = 0;
    if (file.Open(scan, false, error)) rows = file.RecordCount();
    file.Close();
    const auto bytes = fs::file_size(scan);
    std::printf("(b) %s: %zu objects\n", image.filename().c_str(), records);
    std::printf("    file-system analysis (best of 3):    %7.3f s\n", analysis);
    std::printf("    loading its scan file (best of 3):   %7.3f s  (%zu records)\n", load, loaded);
    std::printf("    ratio analysis / load:               %7.2f (above 1: loading is faster)\n", analysis / load);
    std::printf("    scan file: %llu bytes, %llu records, %.1f bytes a record\n", static_cast<unsigned long long>(bytes),
                static_cast<unsigned long long>(rows), rows ? static_cast<double>(bytes) / static_cast<double>(rows) : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const fs::path tmp = fs::temp_directory_path();
    ScanThroughput(tmp, runs);
    LoadAgainstAnalysis(tmp);
    return 0;
}
