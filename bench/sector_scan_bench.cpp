// The sector stage against a plain read of the same image, and against
// PhotoRec and foremost (when installed), in one run with a warm page cache;
// then the whole program ("analyze --sectors-only") against dd.
//
//   build/release/bin/tl_sector_bench [MIB] [WHOLE_MIB] [--ours-only]
// MIB (default 1024): the image of pseudo-random data with documents planted
// at sector boundaries (the samples of tests/fixtures/make_samples.sh), made
// in the temporary folder once. WHOLE_MIB (default 2048): the image of the
// whole-program run; 0 skips it. --ours-only leaves out the other carvers.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/app_settings.h"
#include "bench_support.h"
#include "app/languages.h"
#include "filesystems/found_tree.h"
#include "platform/settings_store.h"
#include "signatures/signature_database.h"
#include "storage/analysis_busy.h"
#include "storage/local_computer.h"

namespace {

namespace fs = std::filesystem;

using tl::bench::Seconds;
using tl::bench::TimeCommand;

bool Have(const char* tool) { return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0; }

struct Plant {
    std::uint64_t sector;
    std::string sample;
};

// Pseudo-random filler (xorshift), with `plants` written over it.
bool MakeImage(const fs::path& image, std::uint64_t mib, const fs::path& samples, std::vector<Plant>& plants) {
    static const char* kSamples[] = {"sample.pdf", "sample.doc", "sample.xls", "sample.ppt", "sample.docx",
                                     "sample.xlsx", "sample.pptx", "sample.odt", "sample.rtf", "sample.jpg",
                                     "sample_big.jpg", "sample.png", "sample.gif", "sample.bmp", "sample.zip"};
    std::vector<std::string> contents;
    for (const char* s : kSamples) {
        std::ifstream in(samples / s, std::ios::binary);
        contents.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (contents.back().empty()) return false;
    }
    const std::uint64_t sectors = mib * 2048;
    const std::uint64_t count = 300;
    for (std::uint64_t k = 0; k < count; ++k) plants.push_back({(k * 2 + 1) * (sectors / (2 * count)), kSamples[k % std::size(kSamples)]});
    std::ofstream out(image, std::ios::binary | std::ios::trunc);
    std::vector<std::uint64_t> chunk(10 * 1024 * 1024 / 8);
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    std::size_t next = 0;
    for (std::uint64_t at = 0; at < sectors; at += 20480) {
        for (auto& w : chunk) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            w = x;
        }
        auto* bytes = reinterpret_cast<char*>(chunk.data());
        for (; next < plants.size() && plants[next].sector < at + 20480; ++next) {
            const std::string& c = contents[next % contents.size()];
            const std::uint64_t offset = (plants[next].sector - at) * 512;
            std::memcpy(bytes + offset, c.data(), std::min<std::uint64_t>(c.size(), chunk.size() * 8 - offset));
        }
        out.write(bytes, static_cast<std::streamsize>(std::min<std::uint64_t>(20480, sectors - at) * 512));
    }
    return static_cast<bool>(out);
}

// Plain pread of the image in 10 MiB chunks, every byte touched: bytes per second.
double RawRead(const fs::path& image) {
    const int fd = ::open(image.c_str(), O_RDONLY);
    if (fd < 0) return 0;
    std::vector<std::uint64_t> buffer(10 * 1024 * 1024 / 8);
    std::uint64_t sum = 0, total = 0;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const ssize_t n = ::pread(fd, buffer.data(), buffer.size() * 8, static_cast<off_t>(total));
        if (n <= 0) break;
        for (std::size_t i = 0; i < static_cast<std::size_t>(n) / 8; ++i) sum += buffer[i];
        total += static_cast<std::uint64_t>(n);
    }
    const double t = Seconds(start);
    ::close(fd);
    if (sum == 42) std::printf(" ");  // keeps the loop
    return static_cast<double>(total) / t;
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const std::uint64_t wholeMib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 2048;
    const bool oursOnly = argc > 3 && std::string(argv[3]) == "--ours-only";
    const fs::path tmp = fs::temp_directory_path();
    const fs::path samples = tmp / "tessa-loft-bench-samples";
    if (std::system(("bash " TL_SOURCE_DIR "/tests/fixtures/make_samples.sh '" + samples.string() + "' >/dev/null 2>&1").c_str()) != 0) {
        std::fprintf(stderr, "the samples could not be made\n");
        return 1;
    }
    const fs::path image = tmp / ("tessa-loft-sectors-" + std::to_string(mib) + ".img");
    std::vector<Plant> plants;
    std::printf("making %s (%llu MiB, documents planted) ...\n", image.c_str(), static_cast<unsigned long long>(mib));
    if (!MakeImage(image, mib, samples, plants)) return 1;
    const double bytes = static_cast<double>(fs::file_size(image));
    TimeCommand("cat '" + image.string() + "' >/dev/null");

    // (a) the raw baseline
    double raw = 0;
    for (int round = 0; round < 5; ++round) raw = std::max(raw, RawRead(image));

    // (b) the sector stage, whole first set enabled
    tl::AppSettings settings;
    settings.Reset(tl::SettingsDefaults{});
    tl::platform::SettingsStore store;
    tl::CLanguages texts({});
    double ours = 1e9;
    std::size_t found = 0, records = 0;
    for (int round = 0; round < 5; ++round) {
        tl::CLocalComputer computer(settings, store, "Software\\Tessa-Loft\\Documents\\1.0", texts,
                                    [] { return tl::platform::WindowId{0}; });
        computer.Log().SetDebugOutput({});
        computer.Signatures().InstallFirstSet(fs::path(TL_SOURCE_DIR) / "data" / "signatures.ini");
        computer.Signatures().Load();
        tl::CVolume* v = computer.LoadImage(image.string());
        if (!v) return 1;
        tl::AnalysisBusy() = 1;
        const auto start = std::chrono::steady_clock::now();
        v->AnalyseSectors();
        ours = std::min(ours, Seconds(start));
        tl::AnalysisBusy() = 0;
        found = 0;
        for (const Plant& p : plants)
            if (const tl::CFoundObject* o = v->FoundTree().FindByOffset(p.sector * 512); o && (o->Flags & tl::FO_BY_SIGNATURE)) ++found;
        records = v->FoundTree().SignatureFileCount();
    }
    const double oursRate = bytes / ours;
    std::printf("image:                              %.0f MiB, %zu documents planted\n", bytes / 1048576, plants.size());
    std::printf("(a) pread, 10 MiB chunks (best of 5): %8.0f MB/s\n", raw / 1e6);
    std::printf("(b) sector stage (best of 5):         %8.0f MB/s  = %.0f %% of (a); %zu of %zu planted found, %zu records\n",
                oursRate / 1e6, 100 * oursRate / raw, found, plants.size(), records);

    // (c) the other carvers on the same image
    const fs::path out = tmp / "tessa-loft-bench-out";
    fs::create_directories(out);
    if (oursOnly) {
    } else if (Have("photorec")) {
        fs::remove_all(out);
        fs::create_directories(out);
        // photorec writes its log into the folder it runs in.
        const double t = TimeCommand("cd '" + out.string() + "' && photorec /log /d '" + out.string() + "/p' /cmd '" + image.string() +
                                     "' partition_none,options,mode_ext2,fileopt,everything,enable,search >/dev/null 2>&1");
        if (t > 0) std::printf("(c) photorec /cmd:                    %8.0f MB/s  (b) is %.1fx as fast\n", bytes / t / 1e6, t / ours);
    } else {
        std::printf("(c) photorec is not installed (apt-get install testdisk)\n");
    }
    if (oursOnly) {
    } else if (Have("foremost")) {
        fs::remove_all(out);
        fs::create_directories(out);
        const double t = TimeCommand("foremost -Q -o '" + out.string() + "/f' -i '" + image.string() + "' >/dev/null 2>&1");
        if (t > 0) std::printf("(c) foremost:                         %8.0f MB/s  (b) is %.1fx as fast\n", bytes / t / 1e6, t / ours);
    } else {
        std::printf("(c) foremost is not installed (apt-get install foremost)\n");
    }
    fs::remove_all(out);

    // The whole program against dd, on a larger image of noise only.
    if (wholeMib > 0) {
        const fs::path whole = tmp / ("tessa-loft-noise-" + std::to_string(wholeMib) + ".img");
        if (!fs::exists(whole) || fs::file_size(whole) != wholeMib * 1048576) {
            fs::remove(whole);
            std::vector<Plant> ignored;
            if (!MakeImage(whole, wholeMib, samples, ignored)) return 1;
        }
        TimeCommand("cat '" + whole.string() + "' >/dev/null");
        const fs::path config = tmp / "tessa-loft-bench-config";
        fs::create_directories(config);
        double dd = 1e9, cli = 1e9;
        for (int round = 0; round < 3; ++round) {
            dd = std::min(dd, TimeCommand("dd if='" + whole.string() + "' of=/dev/null bs=10M 2>/dev/null"));
            cli = std::min(cli, TimeCommand("'" TL_CLI_PATH "' --quiet --config-dir '" + config.string() + "' analyze '" +
                                            whole.string() + "' --sectors-only --format tsv >/dev/null"));
        }
        std::printf("whole program, %llu MiB: dd bs=10M %.2f s, analyze --sectors-only %.2f s: %.2fx dd's time\n",
                    static_cast<unsigned long long>(wholeMib), dd, cli, cli / dd);
    }
    return 0;
}
