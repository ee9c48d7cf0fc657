// The file-system stage on an image of 100 000 files in nested folders,
// against The Sleuth Kit's "fls -r -p" on the same image in the same run.
//
//   build/release/bin/tl_analysis_bench fat|ntfs|exfat [IMAGE]
// Without IMAGE the image is made by tests/fixtures/make_fat32_big.sh,
// make_ntfs_big.sh or make_exfat_big.sh.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "app/app_settings.h"
#include "bench_support.h"
#include "app/languages.h"
#include "filesystems/found_tree.h"
#include "platform/settings_store.h"
#include "storage/analysis_busy.h"
#include "storage/local_computer.h"

namespace {

using tl::bench::Seconds;
using tl::bench::TimeCommand;

}  // namespace

int main(int argc, char** argv) {
    const std::string kind = argc > 1 ? argv[1] : "fat";
    if (kind != "fat" && kind != "ntfs" && kind != "exfat") {
        std::fprintf(stderr, "usage: %s fat|ntfs|exfat [IMAGE]\n", argv[0]);
        return 2;
    }
    const std::string script = kind == "fat" ? "make_fat32_big.sh" : "make_" + kind + "_big.sh";
    std::filesystem::path image =
        argc > 2 ? argv[2] : std::filesystem::temp_directory_path() / ("tessa-loft-" + kind + "-big.img");
    if (argc <= 2 && !std::filesystem::exists(image)) {
        std::printf("making %s ...\n", image.c_str());
        const std::string make = "bash " TL_SOURCE_DIR "/tests/fixtures/" + script + " '" + image.string() + "' >/dev/null 2>&1";
        if (std::system(make.c_str()) != 0) {
            std::fprintf(stderr, "the image could not be made\n");
            return 1;
        }
    }
    // Warm the page cache for both readers alike.
    TimeCommand("cat '" + image.string() + "' >/dev/null");

    tl::AppSettings settings;
    settings.Reset(tl::SettingsDefaults{});
    tl::platform::SettingsStore store;
    tl::CLanguages texts({});
    double ours = 1e9;
    std::size_t objects = 0;
    for (int round = 0; round < 3; ++round) {
        tl::CLocalComputer computer(settings, store, "Software\\Tessa-Loft\\Documents\\1.0", texts,
                                    [] { return tl::platform::WindowId{0}; });
        computer.Log().SetDebugOutput({});
        const auto start = std::chrono::steady_clock::now();
        tl::CVolume* v = computer.LoadImage(image.string());
        if (!v) return 1;
        computer.AnalyseVolume(*v);
        v->WaitForWorker(600000);
        ours = std::min(ours, Seconds(start));
        objects = v->FoundTree().Count();
    }
    double fls = 1e9;
    for (int round = 0; round < 3; ++round) {
        const double t = TimeCommand("fls -r -p '" + image.string() + "' >/dev/null 2>&1");
        if (t < 0) {
            std::printf("fls is not available: no baseline\n");
            fls = 0;
            break;
        }
        fls = std::min(fls, t);
    }
    std::printf("objects listed:                   %zu\n", objects);
    std::printf("file-system stage (best of 3):    %.3f s\n", ours);
    if (fls > 0) {
        std::printf("fls -r -p (best of 3):            %.3f s\n", fls);
        std::printf("ratio fls / ours:                 %.2f (above 1: we are faster)\n", fls / ours);
    }
    return 0;
}
