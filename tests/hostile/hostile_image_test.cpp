// Real fixture images damaged in structured ways, run through the built
// program end to end: 'analyze --sectors' and 'recover --sectors' each end in
// time and in bounded memory, write nothing outside the destination (nor
// touch the image), and the event log names the damage.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>
#include <tuple>

#include "fixture_support.h"
#include "image_corruptor.h"
#include "platform/text.h"
#include "test_support.h"

extern char** environ;

namespace tl::test {
namespace {

constexpr auto kTimeLimit = std::chrono::seconds(60);
constexpr long kMemoryLimitKb = 512 * 1024;

struct BoundedRun {
    int exitCode = -1;  // -1: ended by a signal or killed
    bool timedOut = false;
    long peakRssKb = 0;
};

// Runs the program with `args` in `cwd`, its output into `out` and `err`;
// killed once it runs past the time limit or, well before it could hurt the
// machine, past four times the memory limit.
BoundedRun RunBounded(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                      const std::vector<std::string>& env, const std::filesystem::path& out,
                      const std::filesystem::path& err) {
    std::vector<std::string> environment(env);
    for (char** e = environ; *e; ++e) environment.emplace_back(*e);  // the first of a name wins
    std::vector<char*> envp, argv{const_cast<char*>(TL_CLI_PATH)};
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argsCopy(args);
    for (auto& a : argsCopy) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || o < 0 || e < 0 || ::chdir(cwd.c_str()) != 0) ::_exit(127);
        ::dup2(in, 0), ::dup2(o, 1), ::dup2(e, 2);
        ::execve(TL_CLI_PATH, argv.data(), envp.data());
        ::_exit(127);
    }
    BoundedRun r;
    if (pid < 0) return r;
    const auto started = std::chrono::steady_clock::now();
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, WNOHANG, &usage) == 0) {
        const std::string statusFile = ReadFileBytes("/proc/" + std::to_string(pid) + "/status");
        const auto rss = statusFile.find("VmRSS:");
        const bool runaway = rss != std::string::npos && std::stol(statusFile.substr(rss + 6)) > 4 * kMemoryLimitKb;
        r.timedOut = std::chrono::steady_clock::now() - started > kTimeLimit;
        if (r.timedOut || runaway) {
            ::kill(pid, SIGKILL);
            ::wait4(pid, &status, 0, &usage);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.peakRssKb = usage.ru_maxrss;
    return r;
}

// The script that makes a fixture image, and what it makes.
std::pair<std::string, std::filesystem::path> ScriptOf(const std::string& name) {
    if (name.rfind("fat", 0) == 0) return {"make_fat_images.sh", FixturePath("fat")};
    if (name.rfind("ntfs", 0) == 0) return {"make_ntfs_images.sh", FixturePath("ntfs")};
    if (name == "gpt.img") return {"make_gpt_disks.sh", FixturePath("gpt")};
    if (name.rfind("exfat", 0) == 0) return {"make_exfat_images.sh", FixturePath("exfat")};
    return {"make_partitioned.sh", FixturePath("partitioned.img")};
}

// The bytes of a fixture image its script made; empty when they cannot be
// read.
Image Fixture(const std::string& name) {
    const auto made = ScriptOf(name).second;
    std::filesystem::path path = made == FixturePath(name) ? made : made / name;
    ScratchDir work;
    if (name == "partitioned.img" && !path.empty()) {
        // The disk's volumes are empty: the first primary and the first logical one get a file.
        std::filesystem::copy_file(path, work / "disk.img");
        WriteFileBytes(work / "README.TXT", "A file that must come back.\n");
        path = work / "disk.img";
        for (const char* at : {"@@1048576", "@@12582912"}) {
            const std::string cmd = "MTOOLS_SKIP_CHECK=1 mcopy -i " + ShellQuote(path.string() + at) + " " +
                                    ShellQuote((work / "README.TXT").string()) + " ::/README.TXT";
            if (std::system(cmd.c_str()) != 0) path.clear();
        }
    }
    Image image;
    if (std::ifstream in(path, std::ios::binary | std::ios::ate); !path.empty() && in) {
        image.resize(static_cast<std::size_t>(in.tellg()));
        in.seekg(0).read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()));
    }
    return image;
}

// A settings database with the first signature set installed, made once and
// copied into each run's configuration folder (installing it costs more than
// analysing a small image).
std::filesystem::path ConfigTemplate() {
    // One per build of the program: its settings and signatures are its own.
    const auto made = FixturePath(
        "hostile-config-" + std::to_string(std::filesystem::last_write_time(TL_CLI_PATH).time_since_epoch().count()));
    if (std::filesystem::exists(made / "settings.sqlite")) return made;
    ScratchDir work;
    const auto fresh = work / "config";
    std::filesystem::create_directories(fresh);
    const BoundedRun r = RunBounded({"--quiet", "settings", "show"}, work.path(), {"TESSALOFT_CONFIG_DIR=" + fresh.string()},
                                    work / "out", work / "err");
    EXPECT_EQ(r.exitCode, 0) << ReadFileBytes(work / "err");
    std::error_code ec;
    std::filesystem::create_directories(made.parent_path(), ec);
    std::filesystem::rename(fresh, made, ec);  // another test process may have been first
    for (const auto& e : std::filesystem::directory_iterator(made.parent_path(), ec))
        if (e.path().filename().string().rfind("hostile-config-", 0) == 0 && e.path() != made) std::filesystem::remove_all(e.path(), ec);
    return made;
}

struct Damage {
    std::string name;
    std::string fixture;
    std::function<void(Image&)> apply;
    // What the log of each run says about the damage ("" when the run
    // cannot see it: the analysis follows no file's chain).
    std::string analyzeLog, recoverLog;
    // A file below the destination that the damage must leave intact, and
    // the size it comes back with at least.
    std::string survivor;
    std::uint64_t survivorSize = 0;
};

void PrintTo(const Damage& d, std::ostream* os) { *os << d.fixture << ": " << d.name; }

class HostileImage : public ::testing::TestWithParam<Damage> {
protected:
    // The scratch folder is the program's working, home and temporary
    // folder; only the configuration folder and the destination may fill.
    struct Outcome {
        BoundedRun run;
        std::string log;
    };
    Outcome Run(const std::string& command, const std::filesystem::path& image) {
        const auto config = watched_ / "config";
        std::vector<std::string> args{"--log-file", (config / "run.log").string(), command, image.string(), "--sectors"};
        if (command == "recover") args.insert(args.end(), {"--to", (watched_ / "out").string()});
        else args.insert(args.end(), {"--format", "json"});
        Outcome o;
        o.run = RunBounded(args, watched_,
                           {"TESSALOFT_CONFIG_DIR=" + config.string(), "HOME=" + (watched_ / "home").string(),
                            "XDG_CONFIG_HOME=" + (watched_ / "home").string(), "TMPDIR=" + (watched_ / "tmp").string()},
                           scratch_ / (command + ".out"), scratch_ / (command + ".err"));
        const std::string raw = ReadFileBytes(config / "run.log");
        o.log = platform::Utf16LeBytesToUtf8({reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size()});
        return o;
    }
    // Everything the run left in the watched folder lies in the
    // configuration folder or is a plain file or folder of the destination.
    void ExpectNothingOutsideTheDestination(const std::string& what) {
        for (auto it = std::filesystem::recursive_directory_iterator(watched_); it != std::filesystem::end(it); ++it) {
            const auto relative = it->path().lexically_relative(watched_);
            const std::string top = relative.begin()->string();
            if (top == "config") continue;
            if (top == "home" || top == "tmp") {
                EXPECT_EQ(relative, top) << what << " wrote " << relative;
                continue;
            }
            EXPECT_EQ(top, "out") << what << " wrote " << relative;
            const auto type = it->symlink_status().type();
            EXPECT_TRUE(type == std::filesystem::file_type::regular || type == std::filesystem::file_type::directory)
                << what << " made " << relative << ", neither a file nor a folder";
        }
    }

    ScratchDir scratch_;
    std::filesystem::path watched_ = scratch_ / "watched";
};

TEST_P(HostileImage, EndsInTimeAndMemoryWritesOnlyTheDestinationAndLogsTheDamage) {
    const Damage& d = GetParam();
    const auto [script, made] = ScriptOf(d.fixture);
    TL_REQUIRE_FIXTURE(script, made);
    Image image = Fixture(d.fixture);
    ASSERT_FALSE(image.empty()) << d.fixture << " could not be read";
    d.apply(image);
    if (HasFatalFailure()) return;  // the fixture lacks what the damage needs
    const auto path = scratch_ / "damaged.img";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    const auto written = std::filesystem::last_write_time(path);

    for (const char* dir : {"home", "tmp"}) std::filesystem::create_directories(watched_ / dir);
    std::filesystem::copy(ConfigTemplate(), watched_ / "config");
    for (const std::string command : {"analyze", "recover"}) {
        const Outcome o = Run(command, path);
        ASSERT_FALSE(o.run.timedOut) << command << " ran past " << kTimeLimit.count() << " s";
        ASSERT_NE(o.run.exitCode, -1) << command << " crashed or was stopped for its memory";
        EXPECT_TRUE(o.run.exitCode == 0 || o.run.exitCode == 1) << command << " exited with " << o.run.exitCode;
        EXPECT_LT(o.run.peakRssKb, kMemoryLimitKb) << command;
        ExpectNothingOutsideTheDestination(command);
        const std::string& expected = command == "analyze" ? d.analyzeLog : d.recoverLog;
        if (!expected.empty()) {
            EXPECT_NE(o.log.find(expected), std::string::npos) << command << "'s log does not say \"" << expected << "\":\n" << o.log;
        }
        if (command == "recover" && !d.survivor.empty()) {
            const auto survivor = watched_ / "out" / d.survivor;
            ASSERT_TRUE(std::filesystem::is_regular_file(survivor)) << d.survivor << " did not come back";
            EXPECT_GE(std::filesystem::file_size(survivor), d.survivorSize) << d.survivor;
        }
        if (command == "recover" && std::filesystem::exists(watched_ / "out")) {
            // A damaged structure never makes a file come back twice, nor the
            // copies take more room than a few times the image.
            std::uint64_t used = 0;
            for (const auto& e : std::filesystem::recursive_directory_iterator(watched_ / "out")) {
                EXPECT_EQ(e.path().filename().string().find(" (2)"), std::string::npos) << e.path();
                struct stat st {};
                if (::lstat(e.path().c_str(), &st) == 0) used += static_cast<std::uint64_t>(st.st_blocks) * 512;
            }
            EXPECT_LT(used, 4 * image.size() + (16u << 20)) << "the copies take " << used << " bytes";
        }
    }
    // Read-only: the image keeps its size and its time of last change.
    EXPECT_EQ(std::filesystem::file_size(path), image.size());
    EXPECT_EQ(std::filesystem::last_write_time(path), written) << "the image was written to";
}

std::string CaseName(const ::testing::TestParamInfo<Damage>& info) {
    std::string name = info.param.fixture.substr(0, info.param.fixture.find('.')) + "_" + info.param.name;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

// Damages run on several fixtures: `Add` makes one case per fixture.
struct Cases {
    std::vector<Damage> list;
    void Add(std::initializer_list<const char*> fixtures, Damage d) {
        for (const char* f : fixtures) {
            d.fixture = f;
            list.push_back(d);
        }
    }
};

// ---- FAT: chains, start clusters and folders that contain themselves ----

// The fourth cluster of Docs/Multi Cluster.bin (of 10 or more) is where its chain breaks.
std::function<void(Image&)> BreakChain(std::uint32_t (*to)(const FatImage&, const std::vector<std::uint32_t>&)) {
    return [to](Image& b) {
        FatImage f(b);
        const auto chain = f.Chain(f.StartCluster(f.MultiCluster()));
        ASSERT_GE(chain.size(), 4u);
        f.SetEntry(chain[3], to(f, chain));
    };
}

std::vector<Damage> FatDamages() {
    // The table's decoding differs by FAT width; start clusters and folders
    // by a root of fixed place (FAT12/16) or of a cluster (FAT32).
    Cases c;
    c.Add({"fat12.img", "fat16.img"}, {"ChainLoopsBack", "", BreakChain([](const FatImage&, const auto& chain) { return chain[1]; }),
                                       "", "loops back", "README.TXT"});
    c.Add({"fat12.img", "fat16.img", "fat32.img"},
          {"ChainReachesABadCluster", "", BreakChain([](const FatImage& f, const auto&) { return f.BadCluster(); }), "",
           "bad cluster", "README.TXT"});
    c.Add({"fat12.img", "fat16.img"}, {"ChainLeavesTheVolume", "",
                                       BreakChain([](const FatImage& f, const auto&) { return f.LastCluster() + 3; }), "",
                                       "beyond the volume", "README.TXT"});
    c.Add({"fat12.img", "fat16.img", "fat32.img"},
          {"ChainLeavesTheTable", "", BreakChain([](const FatImage& f, const auto&) { return f.TableEntries() + 16; }), "",
           "beyond the volume", "README.TXT"});
    c.Add({"fat12.img"}, {"FileStartsBeyondTheVolume", "",
                          [](Image& b) {
                              FatImage f(b);
                              f.SetStartCluster(*f.Find(0, "README  TXT"), f.LastCluster() + 100);
                          },
                          "beyond the volume", "beyond the volume", "Meeting Minutes.txt"});
    c.Add({"fat12.img", "fat32.img"}, {"FolderStartsBeyondTheVolume", "",
                                       [](Image& b) {
                                           FatImage f(b);
                                           f.SetStartCluster(f.Docs(), f.bits == 12 ? 0xF00 : f.bits == 16 ? 0xFF00 : 0x0FFFFF00);
                                       },
                                       "beyond the volume", "beyond the volume", "README.TXT"});
    c.Add({"fat12.img", "fat32.img"}, {"FolderIsTheRoot", "",
                                       [](Image& b) {
                                           FatImage f(b);
                                           f.SetStartCluster(f.Docs(), f.rootCluster);
                                       },
                                       "names the root directory", "names the root directory", "README.TXT"});
    c.Add({"fat12.img", "fat32.img"}, {"FolderContainsItself", "",
                                       [](Image& b) {
                                           FatImage f(b);
                                           f.SetStartCluster(f.Reports(), f.StartCluster(f.Docs()));
                                       },
                                       "another folder already holds", "another folder already holds",
                                       "Docs/Multi Cluster.bin"});
    // The long name of "Bericht Übersicht.txt" becomes "../../../x" (in the long-name entry
    // next to its short entry, the name ended there).
    c.Add({"fat12.img"}, {"NameClimbsOutOfTheDestination", "",
                          [](Image& b) {
                              FatImage f(b);
                              std::uint8_t* lfn = b.data() + *f.Find(0, "BERICH~1TXT") - 32;
                              ASSERT_EQ(lfn[11], 0x0F);
                              const std::string name = "../../../x";
                              const int at[] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
                              for (std::size_t i = 0; i < 13; ++i)
                                  PutU16(lfn + at[i], i < name.size() ? name[i] : i == name.size() ? 0 : 0xFFFF);
                          },
                          "", "", ".._.._.._x"});
    // Cut where each structure ends: the boot sector, each FAT, the root
    // directory (FAT32: its first cluster), and inside Docs/Multi Cluster.bin.
    const std::vector<std::pair<const char*, std::size_t (*)(const FatImage&)>> cuts = {
        {"BootSector", [](const FatImage&) { return std::size_t{512}; }},
        {"FirstFat", [](const FatImage& f) { return std::size_t{f.reserved + f.sectorsPerFat} * f.bps; }},
        {"SecondFat", [](const FatImage& f) { return std::size_t{f.rootSector} * f.bps; }},
        {"RootDirectory", [](const FatImage& f) {
             return static_cast<std::size_t>(f.bits == 32 ? f.ClusterOffset(f.rootCluster + 1) : f.ClusterOffset(2));
         }},
        {"Data", [](const FatImage& f) {
             return static_cast<std::size_t>(f.ClusterOffset(f.Chain(f.StartCluster(f.MultiCluster()))[2]));
         }},
    };
    for (const auto& [where, end] : cuts)
        c.Add({"fat12.img", "fat16.img", "fat32.img"},
              {std::string("CutAtThe") + where, "",
               [end](Image& b) {
                   const std::size_t at = end(FatImage(b));
                   ASSERT_LT(at, b.size());
                   b.resize(at);
               },
               "the source ends there", "the source ends there", ""});
    return c.list;
}
INSTANTIATE_TEST_SUITE_P(Fat, HostileImage, ::testing::ValuesIn(FatDamages()), CaseName);

// ---- NTFS: overlapping attributes, attribute lists, huge runs, cut MFTs -

constexpr std::uint64_t kMultiCluster = 73, kManyFragments = 87, kReadme = 64;

// Changes one record of the image, the update sequence kept whole.
std::function<void(Image&)> EditRecord(std::uint64_t n, void (*edit)(std::vector<std::uint8_t>&)) {
    return [n, edit](Image& b) {
        NtfsImage ntfs(b);
        auto r = ntfs.Record(n);
        edit(r);
        ntfs.Store(n, r);
    };
}

std::vector<Damage> NtfsDamages() {
    // 512-byte clusters give other run lists and an attribute list of several clusters.
    Cases c;
    c.Add({"ntfs4k.img"}, {"NameRunsIntoTheNextAttribute", "", EditRecord(kMultiCluster, [](auto& r) {
                               const auto name = NtfsImage::Find(r, 0x30);
                               PutU32(r.data() + name.offset + 4, name.length + 40);
                           }),
                           "runs into another attribute", "runs into another attribute", "README.TXT"});
    c.Add({"ntfs4k.img"}, {"TimesRunIntoTheName", "", EditRecord(kMultiCluster, [](auto& r) {
                               const auto times = NtfsImage::Find(r, 0x10);
                               PutU32(r.data() + times.offset + 4, times.length + 24);
                           }),
                           "no readable file name (records 73)", "no readable file name (records 73)", "README.TXT"});
    c.Add({"ntfs4k.img", "ntfs512.img"}, {"RunOf2To40Clusters", "", EditRecord(kMultiCluster, [](auto& r) {
                                              const auto data = NtfsImage::Find(r, 0x80);
                                              std::uint8_t* run = r.data() + data.offset + GetU16(r.data() + data.offset + 0x20);
                                              const unsigned l = run[0] & 0x0F, o = run[0] >> 4;
                                              const std::vector<std::uint8_t> lcn(run + 1 + l, run + 1 + l + o);
                                              run[0] = static_cast<std::uint8_t>(o << 4 | 6);
                                              for (int i = 0; i < 6; ++i) run[1 + i] = i == 5 ? 1 : 0;  // 2^40
                                              std::copy(lcn.begin(), lcn.end(), run + 7);
                                              run[7 + o] = 0;
                                          }),
                                          "run list that leaves the volume", "run list of MFT record 73", "README.TXT"});
    // The data becomes as many sparse runs of 8191 4-KiB clusters as the record holds (6.6 GB).
    c.Add({"ntfs4k.img"}, {"SparseRunsClaimGigabytes", "", EditRecord(kMultiCluster, [](auto& r) {
                               const auto data = NtfsImage::Find(r, 0x80);
                               ASSERT_EQ(data.offset + data.length + 8, GetU32(r.data() + 0x18)) << "$DATA is not last";
                               const std::size_t pairs = GetU16(r.data() + data.offset + 0x20);
                               const std::uint32_t length = static_cast<std::uint32_t>(r.size() - 8 - data.offset) / 8 * 8;
                               const std::uint64_t runs = (length - pairs - 1) / 3, clusters = runs * 0x1FFF;
                               for (std::uint64_t i = 0; i < runs; ++i) {
                                   std::uint8_t* run = r.data() + data.offset + pairs + 3 * i;
                                   run[0] = 0x02, run[1] = 0xFF, run[2] = 0x1F;
                               }
                               r[data.offset + pairs + 3 * runs] = 0;
                               PutU32(r.data() + data.offset + 4, length);
                               PutU32(r.data() + data.offset + length, 0xFFFFFFFF);
                               PutU32(r.data() + 0x18, static_cast<std::uint32_t>(data.offset + length + 8));
                               PutU64(r.data() + data.offset + 0x18, clusters - 1);
                               for (int at : {0x28, 0x30, 0x38}) PutU64(r.data() + data.offset + at, clusters * 4096);
                           }),
                           "", "", "Docs/Multi Cluster.bin", 6'000'000'000});
    c.Add({"ntfs4k.img"}, {"DataSizeOf2To40Clusters", "", EditRecord(kMultiCluster, [](auto& r) {
                               const auto data = NtfsImage::Find(r, 0x80);
                               for (int at : {0x28, 0x30, 0x38}) PutU64(r.data() + data.offset + at, 1ULL << 52);
                           }),
                           "", "the copy is incomplete", "README.TXT"});
    // Every entry of the (non-resident) attribute list names the base record itself.
    c.Add({"ntfs4k.img", "ntfs512.img"},
          {"AttributeListNamesItsOwnRecord", "",
           [](Image& b) {
               NtfsImage ntfs(b);
               const auto r = ntfs.Record(kManyFragments);
               const auto list = NtfsImage::Find(r, 0x20);
               ASSERT_NE(r[list.offset + 8], 0) << "the fixture's list is resident";
               std::uint8_t* entries = b.data() + NtfsImage::FirstLcn(r, list) * ntfs.clusterBytes;
               const std::uint64_t bytes = GetU64(r.data() + list.offset + 0x30);
               for (std::uint64_t p = 0; p + 0x18 <= bytes && GetU16(entries + p + 4) >= 0x18; p += GetU16(entries + p + 4))
                   PutU64(entries + p + 0x10, (GetU64(entries + p + 0x10) & ~0xFFFFFFFFFFFFULL) | kManyFragments);
           },
           "no readable file name (records 87)", "no readable file name (records 87)", "README.TXT"});
    c.Add({"ntfs4k.img"}, {"NameClimbsOutOfTheDestination", "", EditRecord(kReadme, [](auto& r) {
                               const auto name = NtfsImage::Find(r, 0x30);
                               std::uint8_t* fn = r.data() + name.offset + GetU16(r.data() + name.offset + 0x14);
                               const std::string climb = "../../../x";
                               ASSERT_EQ(fn[0x40], climb.size());
                               for (std::size_t i = 0; i < climb.size(); ++i) PutU16(fn + 0x42 + 2 * i, climb[i]);
                           }),
                           "", "", ".._.._.._x"});
    // Cut at the boot sector's end and at the boundaries of the first records.
    c.Add({"ntfs4k.img"}, {"CutAtTheBootSector", "", [](Image& b) { b.resize(512); }, "the source ends there",
                           "the source ends there", ""});
    for (const std::uint64_t record : {0, 1, 5, 16, 64})
        c.Add({"ntfs4k.img"}, {"CutAtRecord" + std::to_string(record), "",
                               [record](Image& b) { b.resize(NtfsImage(b).RecordOffset(record)); }, "Load MFT failed",
                               "Load MFT failed", ""});
    return c.list;
}
INSTANTIATE_TEST_SUITE_P(Ntfs, HostileImage, ::testing::ValuesIn(NtfsDamages()), CaseName);

// ---- Partition tables: extended chains that loop, disks cut short -------

std::vector<Damage> PartitionDamages() {
    Cases c;
    const auto disk = {"partitioned.img"};
    // The logical FAT32 volume, behind the first EBR, holds a file that must come back.
    const char* behind = "Volume at 12582912/README.TXT";
    c.Add(disk, {"ExtendedChainPointsToItself", "",
                 [](Image& b) {
                     const auto chain = ExtendedChain(b);
                     ASSERT_GE(chain.size(), 3u);
                     PartitionTable{b, chain[1]}.Set(1, 5, static_cast<std::uint32_t>(chain[1] - chain[0]), 2048);
                 },
                 "loops", "loops", behind});
    c.Add(disk, {"ExtendedChainPointsBack", "",
                 [](Image& b) {
                     const auto chain = ExtendedChain(b);
                     ASSERT_GE(chain.size(), 3u);
                     PartitionTable{b, chain.back()}.Set(1, 5, static_cast<std::uint32_t>(chain[1] - chain[0]), 2048);
                 },
                 "loops", "loops", behind});
    c.Add(disk, {"ExtendedEntryNamesTheMbr", "",
                 [](Image& b) {
                     const PartitionTable mbr{b, 0};
                     for (int i = 0; i < 4; ++i)
                         if (mbr.Type(i) == 5) mbr.Set(i, 5, 0, 2048);
                 },
                 "loops", "loops", "Volume at 1048576/README.TXT"});
    // Cut after the MBR, before and after the first EBR, and inside the first volume.
    const std::vector<std::tuple<const char*, std::size_t (*)(Image&), const char*>> cuts = {
        {"Mbr", [](Image&) { return std::size_t{512}; }, "beyond the end of the disk"},
        {"FirstEbr", [](Image& b) { return static_cast<std::size_t>(ExtendedChain(b)[0] * 512); }, "beyond the end of the disk"},
        {"AfterTheFirstEbr", [](Image& b) { return static_cast<std::size_t>(ExtendedChain(b)[0] * 512 + 512); },
         "beyond the end of the disk"},
        {"FirstVolume", [](Image& b) { return std::size_t{PartitionTable{b, 0}.First(0)} * 512 + 512; }, "the source ends there"},
    };
    for (const auto& [where, end, log] : cuts)
        c.Add(disk, {std::string("CutAtThe") + where, "", [end](Image& b) { b.resize(end(b)); }, log, log, ""});
    return c.list;
}
INSTANTIATE_TEST_SUITE_P(Partitions, HostileImage, ::testing::ValuesIn(PartitionDamages()), CaseName);

// ---- GUID partition tables: fields no checksum tells wrong, disks cut short

std::vector<Damage> GuidTableDamages() {
    Cases c;
    const auto disk = {"gpt.img"};
    const char* docs = "Volume at 1048576 (Docs)/README.TXT";
    // Both tables ask for 2^32 - 1 entries: none is read, and the sector
    // scan finds the volumes again by their boot sectors.
    c.Add(disk, {"EntryCountOf2To32", "",
                 [](Image& b) {
                     GuidTables{b}.Change([](std::uint8_t* h, std::uint8_t*) {
                         PutU32(h + 80, 0xFFFFFFFF);
                         return false;
                     });
                 },
                 "Found FAT16 volume at: 1048576", "are both damaged", ""});
    // Both tables: 4096 entries (512 KiB, all that fits before the first
    // partition), each naming the first partition.
    c.Add(disk, {"ThousandsOfEntries", "",
                 [](Image& b) {
                     constexpr std::size_t kEntries = 4096, kBytes = kEntries * 128;
                     GuidTables{b}.Change([&b](std::uint8_t* h, std::uint8_t* e) {
                         const bool primary = h == b.data() + 512;
                         // The backup's array moves down to make room, before the last sector.
                         if (!primary) PutU64(h + 72, (b.size() - 512 - kBytes) / 512);
                         std::uint8_t* entries = b.data() + GetU64(h + 72) * 512;
                         const std::vector<std::uint8_t> first(e, e + 128);
                         for (std::size_t i = 0; i < kEntries; ++i) std::memcpy(entries + 128 * i, first.data(), 128);
                         PutU32(h + 80, kEntries);
                         return true;
                     });
                 },
                 "GUID partitions 1 and 2 overlap", "GUID partitions 1 and 2 overlap", docs});
    c.Add(disk, {"CutInsideTheFirstPartition", "", [](Image& b) { b.resize(4096 * 512); },
                 "GUID partition 1 runs past the end of the disk (4096 sectors)",
                 "GUID partition 2 starts at sector 34816, beyond the end of the disk", ""});
    return c.list;
}
INSTANTIATE_TEST_SUITE_P(GuidTables, HostileImage, ::testing::ValuesIn(GuidTableDamages()), CaseName);

// ---- exFAT: chains, boot regions, a root cut short, what the root names ---

std::vector<Damage> ExFatDamages() {
    Cases c;
    const auto card = {"exfat4k.img"};
    // Frag/Interleaved A.bin lies in clusters 30-31 35-36 40-41: its chain
    // turns back at 36, or meets a bad cluster mark there.
    c.Add(card, {"ChainLoopsBack", "", [](Image& b) { ExFatImage(b).SetFatEntry(36, 30); }, "loops back", "loops back",
                 "README.TXT"});
    c.Add(card, {"ChainReachesABadCluster", "", [](Image& b) { ExFatImage(b).SetFatEntry(36, 0xFFFFFFF7); },
                 "bad cluster", "bad cluster", "README.TXT"});
    // A byte of each checksum sector changed: the boot sector is read as it is.
    c.Add(card, {"BothBootRegionsFailTheirChecksums", "",
                 [](Image& b) {
                     const std::size_t bps = ExFatImage(b).bytesPerSector;
                     b[11 * bps] ^= 1;
                     b[23 * bps] ^= 1;
                 },
                 "checksums of both boot regions", "checksums of both boot regions", "README.TXT"});
    // A 2 TiB volume claimed by boot sectors whose checksums agree with them.
    c.Add(card, {"BootSectorClaimsTwoTiB", "",
                 [](Image& b) {
                     for (std::size_t region = 0; region < 2; ++region)
                         PutU64(b.data() + region * 12 * ExFatImage(b).bytesPerSector + 72, std::uint64_t{1} << 32);
                     ExFatImage(b).SealBootRegions();
                 },
                 "", "", "README.TXT"});
    c.Add(card, {"NoAllocationBitmap", "", [](Image& b) { *ExFatImage(b).RootEntry(0x81) = 0x01; },
                 "allocation bitmap", "allocation bitmap", "README.TXT"});
    c.Add(card, {"UpcaseTableChecksumFails", "", [](Image& b) { ExFatImage(b).RootEntry(0x82)[4] ^= 0xFF; },
                 "up-case table", "up-case table", "README.TXT"});
    c.Add(card, {"CutInsideTheRootFolder", "",
                 [](Image& b) {
                     const ExFatImage f(b);
                     b.resize(f.ClusterOffset(f.rootCluster) + f.clusterBytes / 2);
                 },
                 "the source ends there", "the source ends there", ""});
    return c.list;
}
INSTANTIATE_TEST_SUITE_P(ExFat, HostileImage, ::testing::ValuesIn(ExFatDamages()), CaseName);

}  // namespace
}  // namespace tl::test
