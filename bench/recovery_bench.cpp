// The recovery engine against dd in the same run, warm cache: a contiguous
// 1 GiB file copied out of an image, then the files of a FAT32 image with
// 100 000 small files (files per second).
//
//   build/release/bin/tl_recovery_bench [MIB]
// The 100 000-file image is made by tests/fixtures/make_fat32_big.sh once.
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
using tl::bench::TimeCommand;

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
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

    // Many small files.
    const fs::path fat = tmp / "tessa-loft-fat-big.img";
    if (!fs::exists(fat)) {
        std::printf("making %s ...\n", fat.c_str());
        if (std::system(("bash " TL_SOURCE_DIR "/tests/fixtures/make_fat32_big.sh '" + fat.string() + "' >/dev/null 2>&1").c_str()) != 0)
            return 1;
    }
    TimeCommand("cat '" + fat.string() + "' >/dev/null");
    tl::CLocalComputer computer(settings, store, "Software\\Tessa-Loft\\Documents\\1.0", texts,
                                [] { return tl::platform::WindowId{0}; });
    computer.Log().SetDebugOutput({});
    tl::CVolume* v = computer.LoadImage(fat.string());
    if (!v) return 1;
    computer.AnalyseVolume(*v);
    v->WaitForWorker(600000);
    std::vector<tl::CFoundObject*> files;
    for (tl::CFoundObject* o : v->FoundTree().AllRecords())
        if (!o->IsFolder() && !o->IsDeleted() && !(o->Flags & tl::FO_VOLUME) && o->Size > 0) files.push_back(o);
    settings.SetU32(tl::AppSettings::kKeepFolderStructure, 1);
    fs::remove_all(out);
    tl::CRecovery recovery({&settings, &computer.Log(), &texts, &computer.Signatures()});
    recovery.BuildRecoveryList(files, v->FoundTree());
    const auto start = std::chrono::steady_clock::now();
    recovery.StartRecovery(*v, out);
    recovery.Wait(3600000);
    const double t = Seconds(start);
    std::printf("%zu small files: %u recovered in %.2f s: %.0f files/s\n", files.size(), recovery.CompleteCount.load(), t,
                static_cast<double>(recovery.CompleteCount.load()) / t);
    fs::remove_all(out);
    return 0;
}
