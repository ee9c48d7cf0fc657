// 'analyze' on FAT images made by mkfs.fat and mtools, against what The
// Sleuth Kit's fls lists for the same images.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <map>
#include <regex>
#include <sstream>

#include "cli_runner.h"
#include "fat_oracle.h"
#include "fixture_support.h"

namespace tl {
namespace {

struct Listed {
    bool deleted = false;
    bool folder = false;
    std::uint64_t size = 0;
    int count = 0;
};

std::map<std::string, Listed> Analyze(const std::filesystem::path& image, std::string& err) {
    test::CliRunner cli;
    const test::CliResult r = cli.Run({"--quiet", "analyze", image.string(), "--format", "json"});
    err = r.err;
    std::map<std::string, Listed> out;
    if (r.exitCode != 0) return out;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        const auto j = nlohmann::json::parse(line);
        if (j.contains("record")) continue;  // a volume's own line
        Listed& l = out[j["path"].get<std::string>()];
        l.deleted = j["deleted"].get<bool>();
        l.folder = j["folder"].get<bool>();
        l.size = j["size"].is_null() ? ~0ULL : j["size"].get<std::uint64_t>();
        ++l.count;
        for (const char* key : {"id", "parent_id", "name", "data_offset", "start_pos", "type_id", "flags", "by_signature",
                                "created", "modified", "accessed", "volume"})
            EXPECT_TRUE(j.contains(key)) << key;
    }
    return out;
}

class AnalyzeFat : public ::testing::TestWithParam<const char*> {};

TEST_P(AnalyzeFat, AgreesWithFls) {
    const auto dir = test::FixturePath("fat");
    TL_REQUIRE_FIXTURE("make_fat_images.sh", dir);
    const auto image = dir / GetParam();
    if (!test::FlsInstalled()) GTEST_SKIP() << "missing tool: fls (sleuthkit)";
    std::string why;
    std::set<std::string> flsPaths;
    const auto oracle = test::FlsListing(image, &why, "fat", 0, &flsPaths);
    ASSERT_FALSE(oracle.empty()) << why;
    std::string err;
    const auto ours = Analyze(image, err);
    ASSERT_FALSE(ours.empty()) << err;
    for (const auto& o : oracle) {
        const auto it = ours.find(o.path);
        if (o.deleted) {
            // Every deleted entry is listed, and as deleted.
            ASSERT_NE(it, ours.end()) << "deleted " << o.path << " is missing";
            EXPECT_TRUE(it->second.deleted) << o.path;
            continue;
        }
        ASSERT_NE(it, ours.end()) << o.path << " is missing";
        EXPECT_FALSE(it->second.deleted) << o.path;
        EXPECT_EQ(it->second.folder, o.folder) << o.path;
        if (!o.folder) {
            EXPECT_EQ(it->second.size, o.size) << o.path;
        }
        EXPECT_EQ(it->second.count, 1) << o.path << " listed more than once";
    }
    // The root's entries hang under the root, whatever its first cluster.
    for (const auto& [path, l] : ours) EXPECT_EQ(path.rfind("lost_folder_", 0), std::string::npos) << path;
    test::ExpectNothingBeyondFls(ours, flsPaths, oracle, {});
}

INSTANTIATE_TEST_SUITE_P(Images, AnalyzeFat,
                         ::testing::Values("fat12.img", "fat16.img", "fat32.img", "fat32_root5.img", "camera16.img",
                                           "links12.img"));

class AnalyzeNtfs : public ::testing::TestWithParam<const char*> {};

TEST_P(AnalyzeNtfs, AgreesWithFls) {
    const auto dir = test::FixturePath("ntfs");
    TL_REQUIRE_FIXTURE("make_ntfs_images.sh", dir);
    const auto image = dir / GetParam();
    if (!test::FlsInstalled()) GTEST_SKIP() << "missing tool: fls (sleuthkit)";
    std::string why;
    std::set<std::string> flsPaths;
    const auto oracle = test::FlsListing(image, &why, "ntfs", 0, &flsPaths);
    ASSERT_FALSE(oracle.empty()) << why;
    std::string err;
    const auto ours = Analyze(image, err);
    ASSERT_FALSE(ours.empty()) << err;
    for (const auto& o : oracle) {
        const auto it = ours.find(o.path);
        if (o.deleted) {
            // Every deleted record is listed as deleted, under its folder or a placeholder.
            bool found = it != ours.end() && it->second.deleted;
            const std::string name = o.path.substr(o.path.rfind('/') + 1);
            for (const auto& [path, l] : ours)
                found |= l.deleted && path.size() >= name.size() && path.compare(path.size() - name.size(), name.size(), name) == 0;
            EXPECT_TRUE(found) << "deleted " << o.path << " is missing";
            continue;
        }
        ASSERT_NE(it, ours.end()) << o.path << " is missing";
        EXPECT_FALSE(it->second.deleted) << o.path;
        EXPECT_EQ(it->second.folder, o.folder) << o.path;
        if (!o.folder) {
            EXPECT_EQ(it->second.size, o.size) << o.path;
        }
        EXPECT_EQ(it->second.count, 1) << o.path << " listed more than once";
    }
    test::ExpectNothingBeyondFls(ours, flsPaths, oracle, test::kNtfsFilesFlsListsOnlyByTheirStreams);
}

INSTANTIATE_TEST_SUITE_P(Images, AnalyzeNtfs, ::testing::Values("ntfs4k.img", "ntfs512.img"));

// One line of --progress: "VOLUME  STAGE  PCT%  RATE MB/s  (T left | done in T)".
struct ProgressLine {
    std::string stage;
    double percent = 0, rate = 0;
    bool closing = false;
};

std::vector<ProgressLine> ProgressLines(const std::string& err, const std::string& volume) {
    static const std::regex line("^(.+)  (file system|sectors) +([0-9]+\\.[0-9])%  +([0-9]+\\.[0-9]) MB/s  "
                                 "(([0-9:]+|-:--) left|done in [0-9:]+)$");
    std::vector<ProgressLine> out;
    std::istringstream lines(err);
    std::string text;
    while (std::getline(lines, text)) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(text, m, line)) << "not a progress line: " << text;
        if (m.empty()) continue;
        EXPECT_EQ(m[1].str(), volume);
        out.push_back({m[2].str(), std::stod(m[3].str()), std::stod(m[4].str()), m[5].str().rfind("done", 0) == 0});
    }
    return out;
}

TEST(AnalyzeCli, ProgressShowsPercentRateAndTimeLeftOfEveryStageAndClosesEach) {
    const auto dir = test::FixturePath("fat");
    TL_REQUIRE_FIXTURE("make_fat_images.sh", dir);
    const auto image = (dir / "fat16.img").string();
    test::CliRunner cli;
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> runs = {
        {{}, {"file system"}},
        {{"--sectors"}, {"file system", "sectors"}},
        {{"--free-space-only"}, {"file system", "sectors"}},
        {{"--sectors-only"}, {"sectors"}},
        {{"--lost-volumes"}, {"sectors"}},
    };
    for (const auto& [flags, stages] : runs) {
        std::vector<std::string> args{"--quiet", "analyze", image, "--progress", "--format", "tsv"};
        args.insert(args.end(), flags.begin(), flags.end());
        const test::CliResult r = cli.Run(args);
        const std::string what = flags.empty() ? "(file system only)" : flags[0];
        ASSERT_EQ(r.exitCode, 0) << what << ": " << r.err;
        // Standard error holds the progress lines only (not a terminal: whole lines).
        EXPECT_EQ(r.err.find('\r'), std::string::npos) << what;
        const auto lines = ProgressLines(r.err, "fat16.img");
        // Each stage in order, its percentage never going back, closed by one
        // line at 100 % that gives its rate.
        std::vector<std::string> seen;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const ProgressLine& l = lines[i];
            if (seen.empty() || lines[i - 1].closing) seen.push_back(l.stage);
            EXPECT_EQ(l.stage, seen.back()) << what << ": a stage's lines are together";
            if (i > 0 && !lines[i - 1].closing) {
                EXPECT_GE(l.percent, lines[i - 1].percent) << what;
            }
            if (l.closing) {
                EXPECT_EQ(l.percent, 100.0) << what << ": " << l.stage << " closes at 100 %";
            } else {
                EXPECT_LT(l.percent, 100.0) << what << ": only the closing line says 100 %";
            }
        }
        EXPECT_EQ(seen, stages) << what << "\n" << r.err;
        ASSERT_FALSE(lines.empty()) << what;
        EXPECT_TRUE(lines.back().closing) << what << ": the last line closes the last stage\n" << r.err;
        // The sector stage read 32 MiB: its rate is that of a real read.
        if (stages.back() == "sectors") {
            EXPECT_GT(lines.back().rate, 0.0) << what << "\n" << r.err;
        }
    }
}

TEST(AnalyzeCli, LostVolumesAreFoundByTheirBootSectors) {
    const auto image = test::FixturePath("partitioned.img");
    TL_REQUIRE_FIXTURE("make_partitioned.sh", image);
    test::ScratchDir dir;
    std::string bytes = test::ReadFileBytes(image);
    std::fill(bytes.begin(), bytes.begin() + 512, '\0');  // the partition table is gone
    test::WriteFileBytes(dir / "lost.img", bytes);
    test::CliRunner cli;
    const test::CliResult r = cli.Run({"--quiet", "analyze", (dir / "lost.img").string(), "--lost-volumes"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* line : {"Volume at: 1048576\t1048576\tFAT12", "Volume at: 3145728\t3145728\tFAT16",
                             "Volume at: 12582912\t12582912\tFAT32", "Volume at: 55574528\t55574528\tNTFS",
                             "Volume at: 77594624\t77594624\tFAT16"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << " in\n" << r.out;
    // Backup boot sectors (FAT32 at sector 6, NTFS after its last sector) are not volumes.
    EXPECT_EQ(r.out.find("12585984"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("76545536"), std::string::npos) << r.out;
    // Each volume ends where its boot sector says.
    EXPECT_NE(r.out.find("Volume at: 12582912\t12582912\tFAT32\t41943040"), std::string::npos) << r.out;
}

// A camera's card (its type text padded with NULs) that no table lists any
// more is found by its boot sector and read.
TEST(AnalyzeCli, ALostCameraCardIsFoundAndRead) {
    const auto fat = test::FixturePath("fat");
    TL_REQUIRE_FIXTURE("make_fat_images.sh", fat);
    test::ScratchDir dir;
    const std::string card = test::ReadFileBytes(fat / "camera16.img");
    test::WriteFileBytes(dir / "disk.img", std::string(1 << 20, '\0') + card);
    test::CliRunner cli;
    const test::CliResult r = cli.Run({"--quiet", "analyze", (dir / "disk.img").string(), "--lost-volumes"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Volume at: 1048576\t1048576\tFAT16"), std::string::npos) << r.out;
    std::string why;
    const auto oracle = test::FlsListing(fat / "camera16.img", &why);
    ASSERT_FALSE(oracle.empty()) << why;
    for (const auto& e : oracle) {
        if (e.deleted) continue;
        const std::string name = e.path.substr(e.path.rfind('/') + 1);
        EXPECT_NE(r.out.find(name), std::string::npos) << name << " in\n" << r.out;
    }
}

TEST(AnalyzeCli, PartitionedImageAnalysesEveryVolumeAndBadSourcesFail) {
    const auto image = test::FixturePath("partitioned.img");
    TL_REQUIRE_FIXTURE("make_partitioned.sh", image);
    test::CliRunner cli;
    test::CliResult r = cli.Run({"analyze", image.string(), "--format", "tsv"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // Each FAT volume was analysed: its start line is in the log.
    for (const char* offset : {"1048576", "3145728", "12582912", "77594624"})
        EXPECT_NE(r.err.find(std::string("Initializing drive Volume at: ") + offset), std::string::npos) << offset;
    r = cli.Run({"--quiet", "analyze", "/no/such/image.img"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("tessa-loft-cli: cannot open"), std::string::npos);
}

// A disk whose partition table was zeroed: the volumes the sector stage
// finds are read as partitions are, and recover brings their files back
// below a folder each. On the intact disk every sector is scanned once: no
// live file comes back a second time as a lost file.
TEST(AnalyzeCli, LostVolumesAreReadAndEverySectorIsScannedOnce) {
    TL_REQUIRE_FIXTURE("make_samples.sh", test::FixturePath("samples"));
    const auto fixture = test::FixturePath("partitioned.img");
    TL_REQUIRE_FIXTURE("make_partitioned.sh", fixture);
    test::ScratchDir dir;
    const auto disk = dir / "disk.img";
    std::filesystem::copy_file(fixture, disk);
    const auto samples = test::FixturePath("samples");
    const std::vector<std::pair<std::string, std::string>> planted = {
        {"@@3145728", "sample.pdf"}, {"@@3145728", "sample.jpg"}, {"@@12582912", "sample.png"}, {"@@12582912", "sample.docx"}};
    for (const auto& [at, name] : planted) {
        const std::string cmd = "MTOOLS_SKIP_CHECK=1 mcopy -i " + test::ShellQuote(disk.string() + at) + " " +
                                test::ShellQuote((samples / name).string()) + " ::/" + name;
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }
    std::string bytes = test::ReadFileBytes(disk);
    std::fill(bytes.begin(), bytes.begin() + 512, '\0');
    const auto lost = dir / "lost.img";
    test::WriteFileBytes(lost, bytes);

    test::CliRunner cli;
    for (const auto& image : {disk, lost}) {
        const auto out = dir / ("out-" + image.stem().string());
        const test::CliResult r = cli.Run({"recover", image.string(), "--sectors", "--to", out.string()});
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
        for (const auto& [at, name] : planted) {
            const auto target = out / ("Volume at " + at.substr(2)) / name;
            EXPECT_EQ(test::ReadFileBytes(target), test::ReadFileBytes(samples / name)) << target;
        }
        // Nothing planted comes back twice (carved again from a live file's clusters or from the disk's own scan).
        std::map<std::string, int> copies;
        for (const auto& e : std::filesystem::recursive_directory_iterator(out))
            if (e.is_regular_file()) ++copies[test::ReadFileBytes(e.path())];
        for (const auto& [at, name] : planted) EXPECT_EQ(copies[test::ReadFileBytes(samples / name)], 1) << image << ": " << name;
        if (image == disk) {
            EXPECT_NE(r.err.find("Partition table: 5 volumes"), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find("No file system detected"), std::string::npos) << r.err;
        }
    }
}

// What the program does not read is said plainly: another program's file
// system is named, random data has none, and the text ends with a line per
// volume not read; JSON gives every volume a record.
TEST(AnalyzeCli, VolumesThatAreNotReadAreNamed) {
    test::ScratchDir dir;
    const auto ext4 = dir / "ext4.img", iso = dir / "disc.iso", noise = dir / "noise.img";
    const std::string make = "set -e; truncate -s 8M " + test::ShellQuote(ext4.string()) + "; mkfs.ext4 -q -F " +
                             test::ShellQuote(ext4.string()) + "; mkdir " + test::ShellQuote((dir / "iso").string()) +
                             "; echo hi > " + test::ShellQuote((dir / "iso" / "a.txt").string()) + "; genisoimage -quiet -o " +
                             test::ShellQuote(iso.string()) + " " + test::ShellQuote((dir / "iso").string()) +
                             "; head -c 4194304 /dev/urandom > " + test::ShellQuote(noise.string());
    ASSERT_EQ(std::system(("bash -c " + test::ShellQuote(make)).c_str()), 0) << make;
    test::CliRunner cli;
    for (const auto& [image, type] : std::vector<std::pair<std::filesystem::path, std::string>>{{ext4, "ext4"}, {iso, "iso9660"}, {noise, ""}}) {
        const test::CliResult text = cli.Run({"analyze", image.string()});
        EXPECT_EQ(text.exitCode, 0) << text.err;
        const std::string said = type.empty() ? "No file system detected!"
                                              : type + " volume: its file system is not read; the sector scan can still find lost files";
        EXPECT_NE(text.err.find(said), std::string::npos) << text.err;
        EXPECT_NE(text.out.find("Not read: " + image.filename().string() + ": " + said), std::string::npos) << text.out;
        const test::CliResult json = cli.Run({"--quiet", "analyze", image.string(), "--format", "json"});
        const auto j = nlohmann::json::parse(json.out.substr(0, json.out.find('\n')));
        EXPECT_EQ(j["record"], "volume");
        EXPECT_FALSE(j["read"].get<bool>());
        if (!type.empty()) {
            EXPECT_EQ(j["file_system"], type);
        }
    }
    // A volume that is read has no such line, and its record says so.
    const auto fat = test::FixturePath("fat");
    TL_REQUIRE_FIXTURE("make_fat_images.sh", fat);
    const test::CliResult read = cli.Run({"--quiet", "analyze", (fat / "fat16.img").string(), "--format", "json"});
    const auto j = nlohmann::json::parse(read.out.substr(0, read.out.find('\n')));
    EXPECT_TRUE(j["read"].get<bool>());
    EXPECT_EQ(j["file_system"], "FAT16");
    EXPECT_EQ(cli.Run({"--quiet", "analyze", (fat / "fat16.img").string()}).out.find("Not read:"), std::string::npos);
}

}  // namespace
}  // namespace tl
