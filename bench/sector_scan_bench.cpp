// The whole program's sector scan against PhotoRec and foremost, each run
// as a whole process on the same image and timed the same way: RUNS runs
// each, in rounds, the median kept, with the image in the page cache (read
// once by dd first); dd reading the image to /dev/null is the raw baseline.
//
// (a) each tool writing what it finds: "recover --sectors-only", PhotoRec
//     in batch mode with every file type enabled, foremost;
// (b) the scan alone, nothing written: "analyze --sectors-only" with its
//     listing sent to /dev/null, and foremost's audit-only mode (-w).
//     PhotoRec has no mode that searches without writing the files, so it
//     has no row in (b).
//
// Two images, each made in the temporary folder: "planted", pseudo-random
// data with 300 documents planted at sector boundaries (the samples of
// tests/fixtures/make_samples.sh); "noise", the same kind of data with
// nothing planted in it.
//
//   build/release/bin/tl_sector_bench [MIB] [RUNS] [--ours-only]
// MIB (default 1024): the size of each image; RUNS (default 3): runs of
// each command. --ours-only leaves out the other carvers.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

namespace fs = std::filesystem;

using tl::bench::Have;
using tl::bench::MakePlantedImage;
using tl::bench::TimedCommand;

// The files a tool wrote below `folder`, less the reports and logs of the
// other carvers.
std::size_t FilesWritten(const fs::path& folder) {
    std::size_t n = 0;
    if (!fs::exists(folder)) return 0;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        if (e.is_regular_file() && name != "report.xml" && name != "audit.txt" && name != "photorec.log") ++n;
    }
    return n;
}

struct Row {
    TimedCommand timed;
    char part;                // 'a' writes what it finds, 'b' writes nothing
    fs::path output;          // what it wrote, counted after the last run
    std::size_t files = 0;
};

// Times dd and every tool on `image`, then prints the table.
void Compare(const char* title, const fs::path& image, const fs::path& out, int runs, bool oursOnly) {
    const std::string img = "'" + image.string() + "'";
    const fs::path config = out / "config";
    const auto fresh = [](const fs::path& folder) {
        return [folder] {
            fs::remove_all(folder);
            fs::create_directories(folder.parent_path());
        };
    };
    std::vector<Row> rows;
    rows.push_back({{"dd bs=10M of=/dev/null", "dd if=" + img + " of=/dev/null bs=10M status=none", {}, {}, false}, '-', {}});
    // recover exits with 1 when a file did not come back whole or when it
    // found nothing (as on noise): only a wrong command line (2) or a crash
    // fails the run.
    rows.push_back({{"recover --sectors-only",
                     "'" TL_CLI_PATH "' --quiet --config-dir '" + config.string() + "' recover " + img + " --sectors-only --to '" +
                         (out / "ours").string() + "' >/dev/null 2>&1; test $? -le 1",
                     fresh(out / "ours"), {}, false},
                    'a', out / "ours"});
    if (!oursOnly && Have("photorec"))
        // PhotoRec writes its log into the folder it runs in.
        rows.push_back({{"photorec /cmd ... everything,enable",
                         "mkdir -p '" + (out / "p").string() + "' && cd '" + (out / "p").string() + "' && photorec /log /d '" +
                             (out / "p" / "recup").string() + "' /cmd " + img +
                             " partition_none,options,mode_ext2,fileopt,everything,enable,search >/dev/null 2>&1",
                         fresh(out / "p"), {}, false},
                        'a', out / "p"});
    if (!oursOnly && Have("foremost"))
        rows.push_back({{"foremost", "foremost -Q -o '" + (out / "f").string() + "' -i " + img + " >/dev/null 2>&1", fresh(out / "f"), {}, false},
                        'a', out / "f"});
    rows.push_back({{"analyze --sectors-only >/dev/null",
                     "'" TL_CLI_PATH "' --quiet --config-dir '" + config.string() + "' analyze " + img +
                         " --sectors-only --format tsv >/dev/null",
                     {}, {}, false},
                    'b', {}});
    if (!oursOnly && Have("foremost"))
        rows.push_back({{"foremost -w (audit only)", "foremost -Q -w -o '" + (out / "fw").string() + "' -i " + img + " >/dev/null 2>&1",
                         fresh(out / "fw"), {}, false},
                        'b', out / "fw"});

    fs::remove_all(out);
    fs::create_directories(config);
    tl::bench::WarmPageCache(image);
    std::vector<TimedCommand> commands;
    for (const Row& r : rows) commands.push_back(r.timed);
    tl::bench::TimeInRounds(commands, runs);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rows[i].timed = commands[i];
        if (!rows[i].output.empty()) rows[i].files = FilesWritten(rows[i].output);
    }
    fs::remove_all(out);

    const double bytes = static_cast<double>(fs::file_size(image));
    const double dd = rows[0].timed.MedianSeconds();
    std::printf("\n%s: %s, %.0f MiB; %d runs of each, medians, warm page cache\n", title, image.c_str(), bytes / 1048576, runs);
    std::printf("    %-38s %9s %9s %8s %8s %7s\n", "", "seconds", "MB/s", "x dd", "x ours", "files");
    char part = '-';
    double ours = -1;
    for (const Row& r : rows) {
        if (r.part != part) {
            part = r.part;
            ours = -1;
            if (part == 'a') std::printf("(a) each writing what it finds:\n");
            if (part == 'b') std::printf("(b) the scan alone, nothing written:\n");
        }
        const double t = r.timed.MedianSeconds();
        if (t < 0) {
            std::printf("    %-38s failed: %s\n", r.timed.label.c_str(), r.timed.command.c_str());
            continue;
        }
        if (ours < 0 && part != '-') ours = t;  // our row comes first in each part
        std::printf("    %-38s %9.2f %9.0f %8.2f ", r.timed.label.c_str(), t, bytes / t / 1e6, t / dd);
        if (part == '-')
            std::printf("%8s %7s\n", "-", "-");
        else if (r.output.empty())
            std::printf("%8.2f %7s\n", t / ours, "-");
        else
            std::printf("%8.2f %7zu\n", t / ours, r.files);
    }
    if (!oursOnly && Have("photorec")) std::printf("    photorec has no mode that searches without writing: no row in (b)\n");
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const bool oursOnly = argc > 3 && std::string(argv[3]) == "--ours-only";
    const fs::path tmp = fs::temp_directory_path();
    const fs::path samples = tmp / "tessa-loft-bench-samples";
    if (std::system(("bash " TL_SOURCE_DIR "/tests/fixtures/make_samples.sh '" + samples.string() + "' >/dev/null 2>&1").c_str()) != 0) {
        std::fprintf(stderr, "the samples could not be made\n");
        return 1;
    }
    if (!oursOnly && !Have("photorec")) std::printf("photorec is not installed (apt-get install testdisk)\n");
    if (!oursOnly && !Have("foremost")) std::printf("foremost is not installed (apt-get install foremost)\n");

    const std::uint64_t kPlanted = 300;
    const fs::path planted = tmp / ("tessa-loft-sectors-planted-" + std::to_string(mib) + ".img");
    const fs::path noise = tmp / ("tessa-loft-sectors-noise-" + std::to_string(mib) + ".img");
    std::printf("making %s (%llu documents planted) and %s (nothing planted) ...\n", planted.c_str(),
                static_cast<unsigned long long>(kPlanted), noise.c_str());
    if (!MakePlantedImage(planted, mib, samples, kPlanted) || !MakePlantedImage(noise, mib, samples, 0)) {
        std::fprintf(stderr, "the images could not be made\n");
        return 1;
    }
    const fs::path out = tmp / "tessa-loft-sector-bench-out";
    Compare("planted documents (300)", planted, out, runs, oursOnly);
    Compare("noise only", noise, out, runs, oursOnly);
    return 0;
}
