// Reading a compressed NTFS file through the found-file reader (the
// clusters read and every unit decoded) against plain reading of the same
// compressed clusters through the same volume, in the same run, warm cache.
//
//   build/release/bin/tl_ntfs_compressed_bench [MIB]
// The image is made by tests/fixtures/make_ntfs_compressed_big.sh once
// (needs root and FUSE). Figures: MB/s of file content delivered, MB/s of
// compressed clusters read plainly, and the time ratio of the two.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/app_settings.h"
#include "app/event_log.h"
#include "bench_support.h"
#include "filesystems/found_file_reader.h"
#include "filesystems/found_tree.h"
#include "storage/analysis_busy.h"
#include "storage/volume.h"

namespace {

namespace fs = std::filesystem;
using tl::bench::Seconds;

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 128;
    const fs::path image = fs::temp_directory_path() / ("tessa-loft-compressed-bench-" + std::to_string(mib) + ".img");
    if (!fs::exists(image)) {
        std::printf("making %s ...\n", image.c_str());
        const std::string make = "bash '" TL_SOURCE_DIR "/tests/fixtures/make_ntfs_compressed_big.sh' '" + image.string() +
                                 "' " + std::to_string(mib);
        if (std::system(make.c_str()) != 0) return 1;
    }
    tl::AppSettings settings;
    settings.Reset(tl::SettingsDefaults{});
    tl::CEventLog log(settings, [] { return tl::platform::WindowId{0}; });
    log.SetDebugOutput({});
    tl::CVolume v(tl::VK_IMAGE, tl::VolumeContext{&settings, &log, nullptr, nullptr, {}});
    v.DevicePath = image.string();
    v.QueryInformation();
    tl::AnalysisBusy() = 1;
    v.AnalyseFileSystem();
    tl::AnalysisBusy() = 0;
    const tl::CFoundObject* file = nullptr;
    for (const tl::CFoundObject* o : v.FoundTree().AllRecords())
        if (o->GetName() == "Log.txt") file = o;
    if (!file) {
        std::fprintf(stderr, "no Log.txt on %s\n", image.c_str());
        return 1;
    }
    // The compressed clusters: the runs of the file that are not holes.
    std::vector<tl::SECTOR_RUN> runs;
    v.FileSystem().BuildRuns(*file, runs);
    std::uint64_t packed = 0;
    for (const auto& r : runs)
        if (r.FirstSector != tl::kSparseRunStart) packed += r.SectorCount * 512;

    std::vector<char> buffer(1 << 20);
    double decoded = 1e9, plain = 1e9;
    std::uint64_t content = 0;
    for (int round = 0; round < 5; ++round) {
        auto start = std::chrono::steady_clock::now();
        std::uint64_t bytes = 0;
        for (const auto& r : runs) {
            if (r.FirstSector == tl::kSparseRunStart) continue;
            for (std::uint64_t s = 0; s < r.SectorCount; s += buffer.size() / 512) {
                const std::uint64_t n = std::min<std::uint64_t>(buffer.size() / 512, r.SectorCount - s);
                bytes += v.ReadSectors(buffer.data(), r.FirstSector + s, n);
            }
        }
        plain = std::min(plain, Seconds(start));
        if (bytes != packed) return 1;

        start = std::chrono::steady_clock::now();
        tl::CFoundFileReader reader;
        if (!reader.Open(*file)) return 1;
        content = 0;
        while (content < file->Size) {
            const std::uint64_t got = reader.ReadNext(buffer.data(), std::min<std::uint64_t>(buffer.size(), file->Size - content));
            if (got == 0) break;
            content += got;
        }
        decoded = std::min(decoded, Seconds(start));
        if (content != file->Size || !reader.Problem.empty()) {
            std::fprintf(stderr, "read %llu of %llu bytes: %s\n", static_cast<unsigned long long>(content),
                         static_cast<unsigned long long>(file->Size), reader.Problem.c_str());
            return 1;
        }
    }
    std::printf("compressed file: %.1f MiB of content in %.1f MiB of clusters\n", content / 1048576.0, packed / 1048576.0);
    std::printf("plain read of the clusters: %8.1f MB/s\n", packed / plain / 1e6);
    std::printf("reader (decoded content):   %8.1f MB/s  (%.1f MB/s of clusters)\n", content / decoded / 1e6,
                packed / decoded / 1e6);
    std::printf("time ratio reader / plain:  %8.2f\n", decoded / plain);
    return 0;
}
