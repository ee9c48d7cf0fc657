// Recovery against a baseline measured in the same run, warm page cache:
// - a contiguous MIB MiB file copied out of an image by the recovery engine,
//   against dd copying the same bytes (the better of three runs each);
// - the 100 000 files of a FAT32 image brought back by the whole program
//   ("recover"), against The Sleuth Kit's "tsk_recover -a" bringing back
//   the same image's allocated files: both whole processes, RUNS runs each
//   in rounds, the medians compared in files per second, and the number of
//   files each wrote.
//
//   build/release/bin/tl_recovery_bench [MIB] [RUNS]
// MIB defaults to 1024, RUNS to 3. The 100 000-file image is made by
// tests/fixtures/make_fat32_big.sh once.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/app_settings.h"
#include "app/languages.h"
#include "bench_support.h"
#include "filesystems/found_tree.h"
#include "platform/settings_store.h"
#include "recovery/recovery.h"
#include "storage/analysis_busy.h"
#include "storage/local_computer.h"

namespace {

namespace fs = std::filesystem;
using tl::bench::Seconds;
using tl::bench::Have;
using tl::bench::TimeCommand;
using tl::bench::TimedCommand;

// The regular files below `folder`, at any depth.
std::size_t FilesIn(const fs::path& folder) {
    std::size_t n = 0;
    if (fs::exists(folder))
        for (const auto& e : fs::recursive_directory_iterator(folder)) n += e.is_regular_file() ? 1 : 0;
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const fs::path tmp = fs::temp_directory_path();
    const fs::path image = tmp / "tessa-loft-recovery-bench.img";
    const fs::path out = tmp / "tessa-loft-recovery-bench-out";
    const std::uint64_t offset = 1 << 20, bytes = mib << 20;
    if (!fs::exists(image) || fs::file_size(image) != offset + bytes + (1 << 20)) {
        std::printf("making %s ...\n", image.c_str());
        const std::string make = "head -c " + std::to_string(offset + bytes + (1 << 20)) + " /dev/urandom > '" + image.string() + "'";
        if (std::system(make.c_str()) != 0) return 1;
    }
    TimeCommand("cat '" + image.string() + "' >/dev/null");

    tl::AppSettings settings;
    settings.Reset(tl::SettingsDefaults{});
    tl::platform::SettingsStore store;
    tl::CLanguages texts({});
    double ours = 1e9, dd = 1e9;
    for (int round = 0; round < 3; ++round) {
        tl::CLocalComputer computer(settings, store, "Software\\Tessa-Loft\\Documents\\1.0", texts,
                                    [] { return tl::platform::WindowId{0}; });
        computer.Log().SetDebugOutput({});
        tl::CVolume* v = computer.LoadImage(image.string());
        if (!v) return 1;
        v->FoundTree().BuildOffsetIndex();
        tl::CFoundObject r;
        r.Init();
        r.DataOffset = offset;
        r.Size = bytes;
        r.TypeId = 1112;
        r.Flags = tl::FO_BY_SIGNATURE | tl::FO_DELETED | tl::FO_CONTENT_SIZE;
        r.Volume = v;
        r.SetName("big.bin");
        tl::CFoundObject* stored = v->FoundTree().AddSignatureFile(r);
        fs::remove_all(out);
        tl::CRecovery recovery({&settings, &computer.Log(), &texts, &computer.Signatures()});
        recovery.BuildRecoveryList({stored}, v->FoundTree());
        const auto start = std::chrono::steady_clock::now();
        recovery.StartRecovery(*v, out);
        recovery.Wait(3600000);
        ours = std::min(ours, Seconds(start));
        if (recovery.CompleteCount.load() != 1) {
            std::fprintf(stderr, "the file did not come back whole\n");
            return 1;
        }
        fs::remove_all(out);
        fs::create_directories(out);
        dd = std::min(dd, TimeCommand("dd if='" + image.string() + "' of='" + (out / "dd.bin").string() +
                                      "' bs=16M iflag=skip_bytes,count_bytes skip=" + std::to_string(offset) +
                                      " count=" + std::to_string(bytes) + " 2>/dev/null"));
    }
    std::printf("contiguous %llu MiB file (best of 3): recovery %.3f s, dd %.3f s: %.0f %% of dd's throughput\n",
                static_cast<unsigned long long>(mib), ours, dd, 100 * dd / ours);

    // Many small files: our whole program against The Sleuth Kit's
    // tsk_recover, both bringing back the allocated files of the same image.
    const fs::path fat = tmp / "tessa-loft-fat-big.img";
    if (!fs::exists(fat)) {
        std::printf("making %s ...\n", fat.c_str());
        if (std::system(("bash " TL_SOURCE_DIR "/tests/fixtures/make_fat32_big.sh '" + fat.string() + "' >/dev/null 2>&1").c_str()) != 0)
            return 1;
    }
    const auto fresh = [](const fs::path& folder) {
        return [folder] {
            fs::remove_all(folder);
            fs::create_directories(folder);
        };
    };
    const fs::path config = out / "config", oursDir = out / "ours", tskDir = out / "tsk";
    std::vector<TimedCommand> commands = {
        {"recover (whole program)",
         "'" TL_CLI_PATH "' --quiet --config-dir '" + config.string() + "' recover '" + fat.string() + "' --to '" + oursDir.string() +
             "' >/dev/null 2>&1",
         fresh(oursDir), {}, false},
    };
    if (Have("tsk_recover"))
        commands.push_back({"tsk_recover -a", "tsk_recover -a '" + fat.string() + "' '" + tskDir.string() + "' >/dev/null 2>&1",
                            fresh(tskDir), {}, false});
    else
        std::printf("tsk_recover is not installed (apt-get install sleuthkit)\n");
    fs::remove_all(out);
    fs::create_directories(config);
    tl::bench::WarmPageCache(fat);
    tl::bench::TimeInRounds(commands, runs);
    std::printf("small files of %s: %d runs of each, medians, warm page cache\n", fat.c_str(), runs);
    std::printf("    %-26s %9s %9s %9s\n", "", "files", "seconds", "files/s");
    std::vector<std::size_t> counts;
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const TimedCommand& c = commands[i];
        const std::size_t n = FilesIn(i == 0 ? oursDir : tskDir);
        counts.push_back(n);
        const double t = c.MedianSeconds();
        if (t < 0)
            std::printf("    %-26s failed: %s\n", c.label.c_str(), c.command.c_str());
        else
            std::printf("    %-26s %9zu %9.2f %9.0f\n", c.label.c_str(), n, t, static_cast<double>(n) / t);
    }
    fs::remove_all(out);
    if (commands.size() > 1 && commands[0].MedianSeconds() > 0 && commands[1].MedianSeconds() > 0) {
        const double rate = static_cast<double>(counts[0]) / commands[0].MedianSeconds();
        const double base = static_cast<double>(counts[1]) / commands[1].MedianSeconds();
        std::printf("ours against tsk_recover: %.2fx its files per second; %s (%zu and %zu files)\n", rate / base,
                    counts[0] == counts[1] ? "the same number of files" : "NOT the same number of files", counts[0], counts[1]);
        if (counts[0] != counts[1]) return 1;
    }
    return 0;
}
