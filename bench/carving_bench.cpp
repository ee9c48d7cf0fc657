// Lost documents brought back at their true size: real documents of every
// kind that Debian's tools write (tests/fixtures/make_documents.sh, several
// versions of each, larger each time) planted at sector boundaries in an
// image of pseudo-random filler, some back to back, the rest spread over
// the image. Then the whole "recover --sectors-only" against PhotoRec and
// foremost on the same image, each timed the same way (warm page cache, the
// whole process):
// - files back at their exact size: a planted document counts once for
//   each output file with exactly its bytes (up to the number of times it
//   was planted);
// - bytes written divided by the bytes planted;
// - the process time (the better of two runs), files per second, and that
//   time against dd reading the same image.
//
//   build/release/bin/tl_carving_bench [MIB] [VARIANTS] [--ours-only]
// MIB (default 2048): the image; VARIANTS (default 4): versions of every
// document (66 kinds and forms each). The documents and the image are made
// in the temporary folder once.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bench_support.h"

namespace {

namespace fs = std::filesystem;
using tl::bench::Have;
using tl::bench::TimeCommand;

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Plant {
    std::string name;
    std::uint64_t offset;
};

// Pseudo-random filler with every document planted once or twice: runs of
// one to four documents back to back, the runs spread evenly over the image.
bool MakeImage(const fs::path& image, std::uint64_t mib, const std::map<std::string, std::string>& documents,
               std::vector<Plant>& plants) {
    std::vector<std::string> names;
    for (const auto& [name, bytes] : documents) names.push_back(name);
    std::mt19937_64 rng(20261209);
    std::shuffle(names.begin(), names.end(), rng);
    // Every document, then a quarter of them again.
    for (std::size_t i = 0; i < names.size() / 4; ++i) names.push_back(names[i * 4]);
    std::vector<std::vector<std::string>> runs;
    for (std::size_t i = 0; i < names.size();) {
        const std::size_t n = std::min<std::size_t>(1 + rng() % 4, names.size() - i);
        runs.emplace_back(names.begin() + static_cast<std::ptrdiff_t>(i), names.begin() + static_cast<std::ptrdiff_t>(i + n));
        i += n;
    }
    const std::uint64_t bytes = mib << 20;
    const std::uint64_t stride = bytes / runs.size() / 512 * 512;
    for (std::size_t r = 0; r < runs.size(); ++r) {
        std::uint64_t at = r * stride + 512 * (rng() % 64);
        for (const std::string& name : runs[r]) {
            const std::uint64_t length = (documents.at(name).size() + 511) / 512 * 512;
            if (at + length > (r + 1) * stride) break;
            plants.push_back({name, at});
            at += length;
        }
    }
    std::ofstream out(image, std::ios::binary | std::ios::trunc);
    std::vector<std::uint64_t> chunk(8 << 17);  // 8 MiB
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    std::size_t next = 0;
    const std::uint64_t chunkBytes = chunk.size() * 8;
    for (std::uint64_t at = 0; at < bytes; at += chunkBytes) {
        tl::bench::FillPseudoRandom(chunk, x);
        auto* p = reinterpret_cast<char*>(chunk.data());
        // Documents that begin in this chunk, and the part of one that began before.
        for (std::size_t k = next; k < plants.size() && plants[k].offset < at + chunkBytes; ++k) {
            const std::string& doc = documents.at(plants[k].name);
            const std::uint64_t from = std::max(plants[k].offset, at), to = std::min(plants[k].offset + doc.size(), at + chunkBytes);
            if (from < to) std::memcpy(p + (from - at), doc.data() + (from - plants[k].offset), to - from);
        }
        while (next < plants.size() && plants[next].offset + documents.at(plants[next].name).size() <= at + chunkBytes) ++next;
        out.write(p, static_cast<std::streamsize>(std::min(chunkBytes, bytes - at)));
    }
    return static_cast<bool>(out);
}

struct Outcome {
    double seconds = -1;
    std::size_t files = 0, exact = 0;
    std::uint64_t written = 0;
};

// What a tool left in `folder`: how many planted documents came back with
// exactly their bytes.
Outcome Count(const fs::path& folder, const std::vector<Plant>& plants, const std::map<std::string, std::string>& documents) {
    std::map<std::string, std::size_t> wanted;  // bytes -> times planted
    for (const Plant& p : plants) ++wanted[documents.at(p.name)];
    Outcome o;
    if (!fs::exists(folder)) return o;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        if (!e.is_regular_file() || e.path().filename() == "report.xml" || e.path().filename() == "audit.txt") continue;  // PhotoRec's and foremost's reports
        ++o.files;
        o.written += e.file_size();
        const auto it = wanted.find(ReadAll(e.path()));
        if (it != wanted.end() && it->second > 0) {
            --it->second;
            ++o.exact;
        }
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2048;
    const int variants = argc > 2 ? std::atoi(argv[2]) : 4;
    const bool oursOnly = argc > 3 && std::string(argv[3]) == "--ours-only";
    const fs::path tmp = fs::temp_directory_path();
    const fs::path docs = tmp / ("tessa-loft-bench-documents-" + std::to_string(variants));
    if (!fs::exists(docs / ".made")) {
        std::printf("making the documents (%d versions of each) ...\n", variants);
        if (std::system(("bash " TL_SOURCE_DIR "/tests/fixtures/make_documents.sh '" + docs.string() + "' " +
                         std::to_string(variants) + " >/dev/null")
                            .c_str()) != 0) {
            std::fprintf(stderr, "the documents could not be made\n");
            return 1;
        }
        std::ofstream(docs / ".made") << "made\n";
    }
    std::map<std::string, std::string> documents;
    for (const auto& e : fs::directory_iterator(docs))
        if (e.is_regular_file() && e.path().filename() != ".made") documents[e.path().filename().string()] = ReadAll(e.path());

    const fs::path image = tmp / ("tessa-loft-carving-" + std::to_string(mib) + "-" + std::to_string(variants) + ".img");
    std::vector<Plant> plants;
    std::printf("making %s (%llu MiB) ...\n", image.c_str(), static_cast<unsigned long long>(mib));
    if (!MakeImage(image, mib, documents, plants)) return 1;
    // Written pages still going to the disk would slow whichever tool runs first.
    TimeCommand("sync");
    std::uint64_t planted = 0;
    for (const Plant& p : plants) planted += documents.at(p.name).size();
    const double imageBytes = static_cast<double>(fs::file_size(image));
    std::printf("image: %.0f MiB, %zu documents planted (%zu different), %.1f MB of them\n", imageBytes / 1048576,
                plants.size(), documents.size(), static_cast<double>(planted) / 1e6);

    TimeCommand("cat '" + image.string() + "' >/dev/null");
    double dd = 1e9;
    for (int round = 0; round < 3; ++round)
        dd = std::min(dd, TimeCommand("dd if='" + image.string() + "' of=/dev/null bs=10M 2>/dev/null"));

    const fs::path out = tmp / "tessa-loft-carving-out";
    const auto fresh = [&] {
        fs::remove_all(out);
        fs::create_directories(out);
    };
    std::vector<std::pair<std::string, Outcome>> rows;
    // The better of two runs of `cmd`, each after `clean`; the output of the second stays.
    const auto BestOfTwo = [](const auto& clean, const std::string& cmd) {
        double best = 1e9;
        for (int round = 0; round < 2; ++round) {
            clean();
            const double t = TimeCommand(cmd);
            if (t < 0) return t;
            best = std::min(best, t);
        }
        return best;
    };

    // Each tool writes below out/<folder>; PhotoRec writes its log where it runs.
    struct Tool {
        std::string label, program, folder, command;
    };
    const std::string img = "'" + image.string() + "'";
    const std::vector<Tool> tools = {
        {"recover --sectors-only", "", "ours",
         "'" TL_CLI_PATH "' --quiet --config-dir '" + (out / "config").string() + "' recover " + img +
             " --sectors-only --to '" + (out / "ours").string() + "' >/dev/null 2>&1 || true"},
        {"photorec /cmd ... everything,enable", "photorec", "p",
         "mkdir -p '" + (out / "log").string() + "' && cd '" + (out / "log").string() + "' && photorec /log /d '" +
             (out / "p").string() + "' /cmd " + img + " partition_none,options,mode_ext2,fileopt,everything,enable,search >/dev/null 2>&1"},
        {"foremost", "foremost", "f", "foremost -Q -o '" + (out / "f").string() + "' -i " + img + " >/dev/null 2>&1"},
    };
    for (const Tool& tool : tools) {
        if (!tool.program.empty() && oursOnly) continue;
        if (!tool.program.empty() && !Have(tool.program)) {
            std::printf("%s is not installed (apt-get install testdisk foremost)\n", tool.program.c_str());
            continue;
        }
        const double seconds = BestOfTwo(fresh, tool.command);
        Outcome o = Count(out / tool.folder, plants, documents);
        o.seconds = seconds;
        rows.emplace_back(tool.label, o);
    }
    fs::remove_all(out);

    std::printf("dd bs=10M of the image: %.2f s (%.0f MB/s)\n\n", dd, imageBytes / dd / 1e6);
    std::printf("%-38s %9s %8s %12s %14s %10s %12s\n", "tool", "exact", "files", "written/plant", "time", "x dd", "files/s");
    for (const auto& [tool, o] : rows)
        std::printf("%-38s %4zu/%-4zu %8zu %12.2f %12.2f s %10.2f %12.0f\n", tool.c_str(), o.exact, plants.size(), o.files,
                    static_cast<double>(o.written) / static_cast<double>(planted), o.seconds, o.seconds / dd,
                    o.seconds > 0 ? static_cast<double>(o.files) / o.seconds : 0.0);
    if (rows.size() > 1) {
        std::printf("\nours against the others, same image, same timing:\n");
        for (std::size_t i = 1; i < rows.size(); ++i)
            std::printf("  %s: %+zd exact files, %.2fx its bytes written, %.2fx its time\n", rows[i].first.c_str(),
                        static_cast<std::ptrdiff_t>(rows[0].second.exact) - static_cast<std::ptrdiff_t>(rows[i].second.exact),
                        static_cast<double>(rows[0].second.written) / std::max<double>(1, static_cast<double>(rows[i].second.written)),
                        rows[0].second.seconds / rows[i].second.seconds);
    }
    return 0;
}
