// The memory of the whole program ("analyze --sectors", listing as TSV), as
// the peak resident set of the process (ru_maxrss from wait4: each run is a
// child of its own, so each peak is that run's alone). Two figures, in one
// run:
//
// (a) flat in the volume's size: the same small FAT volume (a few pictures
//     made by convert, one of them deleted) copied at offset 0 of a 4 GiB
//     and of a 64 GiB sparse image. The scan reads every sector of both;
//     what it holds must not grow with the sectors it has read. Target: the
//     two peaks less than 16 MiB apart.
// (b) bytes per found record: one image with RECORDS tiny pictures planted
//     every 512 bytes (each found once, its size read from its content),
//     another of the same size holding only zeros. The difference of the
//     peaks over the number of records listed. Target: under 250 bytes,
//     the found-object tree's indexes included.
//
// The picture for (b) is the smallest of a 1x1 GIF, PNG and BMP that a
// scan of a small image of 1000 copies lists once per copy, at its size.
//
//   build/release/bin/tl_memory_bench [RECORDS] [RUNS]
// RECORDS (default 1000000): pictures planted for (b), RECORDS * 512 bytes
// of image. RUNS (default 1): runs of each command, in rounds; the median
// peak is kept. Every image is made in a temporary folder, deleted at the end.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

namespace fs = std::filesystem;
using tl::bench::Have;
using tl::bench::Median;

constexpr std::uint64_t kStride = 512;  // one picture per block of the scan
constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

struct CliRun {
    bool ok = false;
    double peakMiB = 0;
    std::uint64_t files = 0;  // files listed (TSV lines of kind "file"; the group folders left out)
};

// Runs the program with `args` as a child of its own, its standard output
// read here (its files counted, all kept in `keep` when given), its standard error
// dropped. A plain fork, not vfork or posix_spawn: the child's peak starts
// from this process's current resident set, never from its past peak, and
// this process holds little while it waits.
CliRun RunCli(const std::vector<std::string>& args, std::string* keep = nullptr) {
    std::vector<std::string> all = {TL_CLI_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return {};
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(out[0]);
        ::close(out[1]);
        return {};
    }
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        if (::dup2(out[1], STDOUT_FILENO) < 0 || null < 0 || ::dup2(null, STDERR_FILENO) < 0) ::_exit(127);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    CliRun run;
    // A TSV line: state, kind, size, time, path.
    std::vector<char> buffer(1 << 16);
    std::string head;  // of the current line, up to the end of its kind
    bool kindRead = false;
    for (;;) {
        const ssize_t n = ::read(out[0], buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buffer[static_cast<std::size_t>(i)];
            if (c == '\n') {
                head.clear();
                kindRead = false;
            } else if (!kindRead) {
                head += c;
                if (c == '\t' && std::count(head.begin(), head.end(), '\t') == 2) {
                    kindRead = true;
                    if (head.ends_with("\tfile\t")) ++run.files;
                }
            }
        }
        if (keep) keep->append(buffer.data(), static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0)
        if (errno != EINTR) return {};
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024;  // KiB
    return run;
}

// Leaves the pages of `file` out of the page cache: a sparse image of 64 GiB
// read from end to end fills it with zeros the next run need not find there.
void DropFromPageCache(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

bool Shell(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

std::string Quoted(const fs::path& p) { return "'" + p.string() + "'"; }

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// `count` copies of `object`, one at the start of every 512-byte block,
// zeros in between.
bool MakeCarvingImage(const fs::path& image, const std::string& object, std::uint64_t count) {
    std::vector<char> chunk(2048 * kStride, 0);
    for (std::size_t at = 0; at < chunk.size(); at += kStride) std::memcpy(chunk.data() + at, object.data(), object.size());
    std::ofstream out(image, std::ios::binary | std::ios::trunc);
    for (std::uint64_t done = 0; done < count;) {
        const std::uint64_t n = std::min<std::uint64_t>(2048, count - done);
        out.write(chunk.data(), static_cast<std::streamsize>(n * kStride));
        done += n;
    }
    return static_cast<bool>(out.flush());
}

// A sparse image of `bytes` with `head` at offset 0, made with truncate and dd.
bool MakeSparseImage(const fs::path& image, std::uint64_t bytes, const fs::path& head) {
    return Shell("truncate -s " + std::to_string(bytes) + " " + Quoted(image)) &&
           Shell("dd if=" + Quoted(head) + " of=" + Quoted(image) + " bs=1M conv=notrunc status=none");
}

std::vector<std::string> AnalyzeArgs(const fs::path& config, const fs::path& image) {
    return {"--quiet", "--config-dir", config.string(), "analyze", image.string(), "--sectors", "--format", "tsv"};
}

// The median peak of each image's runs, the images taken in rounds; the
// files listed by the last run of each. False when a run failed.
bool MeasureInRounds(const fs::path& config, const std::vector<fs::path>& images, int runs, std::vector<double>& peaks,
                     std::vector<std::uint64_t>& records) {
    std::vector<std::vector<double>> all(images.size());
    records.assign(images.size(), 0);
    for (int round = 0; round < runs; ++round)
        for (std::size_t i = 0; i < images.size(); ++i) {
            const std::vector<std::string> args = AnalyzeArgs(config, images[i]);
            const CliRun run = RunCli(args);
            DropFromPageCache(images[i]);
            if (!run.ok) {
                std::string command = TL_CLI_PATH;
                for (const std::string& a : args) command += " " + a;
                std::fprintf(stderr, "the analysis failed: %s\n", command.c_str());
                return false;
            }
            all[i].push_back(run.peakMiB);
            records[i] = run.files;
        }
    peaks.clear();
    for (const auto& p : all) peaks.push_back(Median(p));
    return true;
}

// Whether a scan of `copies` copies of `object` lists each once, at its size.
bool FoundOncePerCopy(const fs::path& dir, const fs::path& config, const std::string& object, std::uint64_t copies) {
    const fs::path image = dir / "check.img";
    if (!MakeCarvingImage(image, object, copies)) return false;
    std::string listing;
    const CliRun run = RunCli(AnalyzeArgs(config, image), &listing);
    fs::remove(image);
    if (!run.ok || run.files != copies) return false;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string state, kind, size;
        std::getline(fields, state, '\t');
        std::getline(fields, kind, '\t');
        std::getline(fields, size, '\t');
        if (kind == "file" && size != std::to_string(object.size())) return false;
    }
    return true;
}

struct TempFolder {
    fs::path path;
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc > 3 || (argc > 1 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help"))) {
        std::fprintf(stderr,
                     "usage: %s [RECORDS] [RUNS]\n"
                     "  RECORDS: pictures planted for the bytes per record (default 1000000)\n"
                     "  RUNS: runs of each analysis, median peak kept (default 1)\n",
                     argv[0]);
        return 2;
    }
    const std::uint64_t records = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;
    if (records == 0) {
        std::fprintf(stderr, "RECORDS must be a positive number\n");
        return 2;
    }
    // mkfs.fat lives in /usr/sbin, which a user's PATH may leave out.
    ::setenv("PATH", (std::string(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin") + ":/usr/sbin:/sbin").c_str(), 1);
    std::vector<std::string> missing;
    for (const char* tool : {"convert", "mkfs.fat", "mcopy", "mmd", "mdel", "truncate", "dd"})
        if (!Have(tool)) missing.push_back(tool);
    if (!missing.empty()) {
        std::string list;
        for (const std::string& t : missing) list += " " + t;
        std::fprintf(stderr, "missing:%s (apt-get install imagemagick dosfstools mtools coreutils)\n", list.c_str());
        return 1;
    }

    TempFolder tmp{fs::temp_directory_path() / ("tl_memory_bench." + std::to_string(::getpid()))};
    const fs::path& dir = tmp.path;
    const fs::path config = dir / "config";
    fs::create_directories(config);

    // (a) an 8 MiB FAT volume: four pictures in a folder, one deleted again.
    const fs::path fat = dir / "fat.img";
    const std::string pics = Quoted(dir / "pic");
    if (!Shell("convert -size 96x64 gradient:navy-gold " + pics + ".gif && convert -size 96x64 gradient:red-blue " + pics +
               ".png && convert -seed 7 -size 96x64 plasma:fractal " + pics + ".jpg && convert -size 96x64 gradient:green-white " +
               pics + ".bmp") ||
        !Shell("mkfs.fat -C -n TLMEMORY " + Quoted(fat) + " 8192 >/dev/null") ||
        !Shell("mmd -i " + Quoted(fat) + " ::/pictures && mcopy -i " + Quoted(fat) + " " + pics + ".gif " + pics + ".png " +
               pics + ".jpg " + pics + ".bmp ::/pictures/ && mdel -i " + Quoted(fat) + " ::/pictures/pic.png")) {
        std::fprintf(stderr, "the FAT volume could not be made\n");
        return 1;
    }
    const std::vector<fs::path> sparse = {dir / "sparse-4g.img", dir / "sparse-64g.img"};
    if (!MakeSparseImage(sparse[0], 4 * kGiB, fat) || !MakeSparseImage(sparse[1], 64 * kGiB, fat)) {
        std::fprintf(stderr, "the sparse images could not be made in %s\n", dir.c_str());
        return 1;
    }
    fs::remove(fat);

    // (b) the smallest picture the scan lists once per copy.
    struct Candidate {
        const char* kind;
        std::string bytes;
    };
    std::vector<Candidate> candidates;
    for (const char* kind : {"gif", "png", "bmp"}) {
        const fs::path p = dir / (std::string("dot.") + kind);
        if (Shell("convert -size 1x1 xc:black " + Quoted(p))) candidates.push_back({kind, ReadAll(p)});
    }
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.bytes.size() < b.bytes.size(); });
    const Candidate* object = nullptr;
    for (const Candidate& c : candidates)
        if (!c.bytes.empty() && c.bytes.size() <= kStride && FoundOncePerCopy(dir, config, c.bytes, 1000)) {
            object = &c;
            break;
        }
    if (!object) {
        std::fprintf(stderr, "no 1x1 GIF, PNG or BMP made by convert is listed once per copy by the scan\n");
        return 1;
    }
    const std::vector<fs::path> carving = {dir / "objects.img", dir / "zeros.img"};
    const std::uint64_t carvingBytes = records * kStride;
    if (!MakeCarvingImage(carving[0], object->bytes, records) ||
        !Shell("truncate -s " + std::to_string(carvingBytes) + " " + Quoted(carving[1]))) {
        std::fprintf(stderr, "the carving images could not be made in %s\n", dir.c_str());
        return 1;
    }

    std::printf("peak resident memory (ru_maxrss) of: %s analyze IMAGE --sectors --format tsv\n", TL_CLI_PATH);
    std::printf("%d run(s) of each, median peak; records: the files it lists\n\n", runs);

    std::vector<double> peaks;
    std::vector<std::uint64_t> listed;
    if (!MeasureInRounds(config, sparse, runs, peaks, listed)) return 1;
    std::printf("(a) flat in the volume's size: an 8 MiB FAT volume at offset 0, holes after it\n");
    std::printf("    %-28s %12s %10s %14s\n", "image", "size MiB", "records", "peak MiB");
    std::printf("    %-28s %12llu %10llu %14.1f\n", "4 GiB sparse", static_cast<unsigned long long>(4 * kGiB >> 20),
                static_cast<unsigned long long>(listed[0]), peaks[0]);
    std::printf("    %-28s %12llu %10llu %14.1f\n", "64 GiB sparse", static_cast<unsigned long long>(64 * kGiB >> 20),
                static_cast<unsigned long long>(listed[1]), peaks[1]);
    const double growth = peaks[1] - peaks[0];
    std::printf("    difference: %+.1f MiB (target: under 16 MiB) %s\n", growth, growth < 16 ? "ok" : "ABOVE TARGET");
    if (listed[0] != listed[1]) std::printf("    the two images, the same content, listed different numbers of records\n");

    if (!MeasureInRounds(config, carving, runs, peaks, listed)) return 1;
    const double perRecord = listed[0] > listed[1]
                                 ? (peaks[0] - peaks[1]) * 1048576 / static_cast<double>(listed[0] - listed[1])
                                 : -1;
    std::printf("\n(b) bytes per found record: a 1x1 %s of %zu bytes every %llu bytes, against zeros\n", object->kind,
                object->bytes.size(), static_cast<unsigned long long>(kStride));
    std::printf("    %-28s %12s %10s %14s\n", "image", "size MiB", "records", "peak MiB");
    std::printf("    %-28s %12.0f %10llu %14.1f\n", (std::to_string(records) + " planted").c_str(),
                static_cast<double>(carvingBytes) / 1048576, static_cast<unsigned long long>(listed[0]), peaks[0]);
    std::printf("    %-28s %12.0f %10llu %14.1f\n", "zeros only", static_cast<double>(carvingBytes) / 1048576,
                static_cast<unsigned long long>(listed[1]), peaks[1]);
    if (listed[0] != records + listed[1])
        std::printf("    %llu planted, %llu listed\n", static_cast<unsigned long long>(records),
                    static_cast<unsigned long long>(listed[0]));
    if (perRecord < 0) {
        std::printf("    bytes per record: none listed\n");
        return 1;
    }
    std::printf("    bytes per record: %.0f (target: under 250) %s\n", perRecord, perRecord < 250 ? "ok" : "ABOVE TARGET");
    return 0;
}
