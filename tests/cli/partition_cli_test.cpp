// Disk images with GUID partition tables, end to end: each partition's
// files as The Sleuth Kit's fls lists them, the partitions' names and types
// in 'info', and 'recover' bringing the files back as icat reads them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <map>
#include <sstream>

#include "cli_runner.h"
#include "fat_oracle.h"
#include "fixture_support.h"
#include "test_support.h"

namespace tl {
namespace {

struct Listed {
    bool deleted = false;
    bool folder = false;
    std::uint64_t size = 0;
    int count = 0;
};

// What 'analyze' lists on `image`, by volume and path.
std::map<std::string, std::map<std::string, Listed>> AnalyzeByVolume(const std::filesystem::path& image, std::string& err) {
    test::CliRunner cli;
    const test::CliResult r = cli.Run({"--quiet", "analyze", image.string(), "--format", "json"});
    err = r.err;
    std::map<std::string, std::map<std::string, Listed>> out;
    if (r.exitCode != 0) return out;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const auto j = nlohmann::json::parse(line);
        if (j.contains("record")) continue;  // a volume's own line
        Listed& l = out[j["volume"].get<std::string>()][j["path"].get<std::string>()];
        l.deleted = j["deleted"].get<bool>();
        l.folder = j["folder"].get<bool>();
        l.size = j["size"].is_null() ? ~0ULL : j["size"].get<std::uint64_t>();
        ++l.count;
    }
    return out;
}

struct Partition {
    const char* image;
    const char* volume;  // the found volume's name
    const char* fsType;  // as fls -f names it
    std::uint64_t offsetSectors;
};

const Partition kPartitions[] = {
    {"gpt.img", "Volume at: 1048576 (Docs)", "fat", 2048},
    {"gpt.img", "Volume at: 17825792 (Archive)", "ntfs", 34816},
    {"hybrid.img", "Volume at: 1048576 (Docs)", "fat", 2048},
    {"gpt4k.img", "Volume at: 1048576 (Docs4K)", "fat", 2048},
};

TEST(GptCli, AnalyzeListsEachPartitionsFilesAsFlsDoes) {
    const auto dir = test::FixturePath("gpt");
    TL_REQUIRE_FIXTURE("make_gpt_disks.sh", dir);
    for (const Partition& p : kPartitions) {
        SCOPED_TRACE(std::string(p.image) + " " + p.volume);
        std::string why;
        std::set<std::string> flsPaths;
        const auto oracle = test::FlsListing(dir / p.image, &why, p.fsType, p.offsetSectors, &flsPaths);
        ASSERT_FALSE(oracle.empty()) << why;
        std::string err;
        const auto volumes = AnalyzeByVolume(dir / p.image, err);
        const auto it = volumes.find(p.volume);
        ASSERT_NE(it, volumes.end()) << err;
        const auto& ours = it->second;
        for (const auto& o : oracle) {
            const auto found = ours.find(o.path);
            ASSERT_NE(found, ours.end()) << o.path << " is missing";
            EXPECT_EQ(found->second.deleted, o.deleted) << o.path;
            EXPECT_EQ(found->second.folder, o.folder) << o.path;
            if (!o.folder && !o.deleted) {
                EXPECT_EQ(found->second.size, o.size) << o.path;
            }
            EXPECT_EQ(found->second.count, 1) << o.path;
        }
        test::ExpectNothingBeyondFls(ours, flsPaths, oracle,
                                     std::string(p.fsType) == "ntfs" ? test::kNtfsFilesFlsListsOnlyByTheirStreams
                                                                     : std::map<std::string, std::string>{});
    }
}

TEST(GptCli, InfoNamesThePartitionsAndTellsWhenTheTableIsLost) {
    const auto dir = test::FixturePath("gpt");
    TL_REQUIRE_FIXTURE("make_gpt_disks.sh", dir);
    test::CliRunner cli;
    const test::CliResult r = cli.Run({"--quiet", "info", (dir / "gpt.img").string(), "--format", "json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto found = nlohmann::json::parse(r.out)["found_volumes"];
    ASSERT_EQ(found.size(), 3u) << r.out;
    const char* expected[3][4] = {{"Volume at: 1048576 (Docs)", "Docs", "Microsoft basic data", "FAT16"},
                                  {"Volume at: 17825792 (Archive)", "Archive", "Microsoft basic data", "NTFS"},
                                  {"Volume at: 34603008 (Swap)", "Swap", "Linux swap", "Unknown"}};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(found[i]["name"], expected[i][0]);
        EXPECT_EQ(found[i]["partition_name"], expected[i][1]);
        EXPECT_EQ(found[i]["partition_type"], expected[i][2]);
        EXPECT_EQ(found[i]["file_system"], expected[i][3]);
        EXPECT_EQ(found[i]["partition_number"], i + 1);
    }
    const test::CliResult text = cli.Run({"--quiet", "info", (dir / "gpt.img").string()});
    EXPECT_NE(text.out.find("Volume at: 1048576 (Docs)"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Linux swap"), std::string::npos) << text.out;

    // Both headers damaged: no volume at the protective entry's sector 1,
    // and a line that says what is left to do.
    test::ScratchDir scratch;
    const auto damaged = scratch / "damaged.img";
    std::filesystem::copy_file(dir / "gpt.img", damaged);
    {
        std::fstream f(damaged, std::ios::in | std::ios::out | std::ios::binary);
        for (const std::uint64_t at : {std::uint64_t{512 + 60}, std::uint64_t{(64u << 20) - 512 + 60}}) {
            f.seekp(static_cast<std::streamoff>(at));
            f.put('\x7f');
        }
    }
    const test::CliResult lost = cli.Run({"info", damaged.string(), "--format", "json"});
    ASSERT_EQ(lost.exitCode, 0) << lost.err;
    EXPECT_TRUE(nlohmann::json::parse(lost.out)["found_volumes"].empty()) << lost.out;
    EXPECT_NE(lost.err.find("damaged.img: the primary and the backup GUID partition table are both damaged"), std::string::npos)
        << lost.err;
    EXPECT_NE(lost.err.find("analyze --lost-volumes"), std::string::npos) << lost.err;
}

TEST(GptCli, RecoverBringsEachPartitionsFilesBackAsIcatReadsThem) {
    const auto dir = test::FixturePath("gpt");
    TL_REQUIRE_FIXTURE("make_gpt_disks.sh", dir);
    const auto image = dir / "gpt.img";
    test::ScratchDir out;
    test::CliRunner cli;
    const test::CliResult r = cli.Run({"--quiet", "recover", image.string(), "--to", out.path().string()});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(" 0 failed"), std::string::npos) << r.out;
    int compared = 0;
    for (const Partition& p : kPartitions) {
        if (std::string(p.image) != "gpt.img") continue;
        std::string why;
        const auto oracle = test::FlsListing(image, &why, p.fsType, p.offsetSectors);
        ASSERT_FALSE(oracle.empty()) << why;
        std::string folder = p.volume;  // as the recovery names a volume's folder
        folder.erase(folder.find(':'), 1);
        for (const auto& o : oracle) {
            if (o.folder || o.deleted) continue;
            const std::string icat = "icat -f " + std::string(p.fsType) + " -o " + std::to_string(p.offsetSectors) + " " +
                                     test::ShellQuote(image.string()) + " " + std::to_string(o.address);
            EXPECT_EQ(test::ReadFileBytes(out / folder / o.path), test::CommandOutput(icat)) << o.path;
            ++compared;
        }
    }
    EXPECT_EQ(compared, 4) << "README.TXT, Bericht Übersicht.txt, Multi Cluster.bin, Archive Notes.txt";
}

// An exFAT volume in an MBR partition of type 0x07, which NTFS shares: the
// boot sector decides, so 'info' names it exFAT before any analysis and
// 'analyze' reads its files. With the table wiped, the scan for lost
// volumes finds it once (its backup boot region is no second volume).
TEST(ExFatCli, APartitionOfTypeSevenHoldingExFatIsNamedAndReadByItsBootSector) {
    const auto cards = test::FixturePath("exfat");
    test::ExpectFixture("make_exfat_images.sh", cards);
    test::ScratchDir dir;
    const auto disk = dir.path() / "disk.img";
    test::WriteFileBytes(disk, std::string(1 << 20, '\0') + test::ReadFileBytes(cards / "exfat128k.img"));
    ASSERT_EQ(test::CommandOutput("printf 'label: dos\\nstart=2048, type=7\\n' | sfdisk -q " + test::ShellQuote(disk.string()) +
                                  " && echo done"),
              "done\n");
    test::CliRunner cli;
    const test::CliResult info = cli.Run({"--quiet", "info", disk.string(), "--format", "json"});
    ASSERT_EQ(info.exitCode, 0) << info.err;
    const auto found = nlohmann::json::parse(info.out)["found_volumes"];
    ASSERT_EQ(found.size(), 1u) << info.out;
    EXPECT_EQ(found[0]["file_system"], "exFAT");
    std::string err;
    const auto listed = AnalyzeByVolume(disk, err);
    bool holiday = false;
    for (const auto& [volume, paths] : listed) holiday |= paths.count("Photos/2024/Holiday.bin") > 0;
    EXPECT_TRUE(holiday) << err;

    std::string wiped = test::ReadFileBytes(disk);
    std::fill(wiped.begin(), wiped.begin() + 512, '\0');
    test::WriteFileBytes(disk, wiped);
    const test::CliResult lost = cli.Run({"--quiet", "analyze", "--lost-volumes", disk.string(), "--format", "json"});
    ASSERT_EQ(lost.exitCode, 0) << lost.err;
    int volumes = 0;
    bool lostHoliday = false;
    std::string oldNotesVerdict;  // a deleted file says how it comes back
    std::istringstream lines(lost.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] != '{') continue;  // the found volumes' table comes first
        const auto j = nlohmann::json::parse(line);
        if (j.value("record", "") == "volume" && j.value("file_system", "") == "exFAT") ++volumes;
        lostHoliday |= j.value("path", "") == "Photos/2024/Holiday.bin";
        if (j.value("path", "") == "Old Notes.txt" && j["verdict"].is_string()) oldNotesVerdict = j["verdict"];
    }
    EXPECT_NE(oldNotesVerdict.find("follow each other; it can be recovered"), std::string::npos) << oldNotesVerdict;
    EXPECT_EQ(volumes, 1) << lost.out.substr(0, 2000);
    EXPECT_TRUE(lostHoliday);
}

// Every file the card's fixture wrote, live or deleted, comes back through
// `recover` under its path with its bytes; the one whose clusters another
// file took since is reported as failed, not as recovered.
TEST(ExFatCli, RecoverBringsBackEveryFileOfTheCardUnderItsPath) {
    const auto cards = test::FixturePath("exfat");
    test::ExpectFixture("make_exfat_images.sh", cards);
    test::ScratchDir dir;
    test::CliRunner cli;
    // Analysed and recovered at once, and recovered again from the scan file
    // that analysis kept: the card's tables are read again, not walked.
    const std::string scan = (dir.path() / "card.tlscan").string();
    for (const auto& args : {std::vector<std::string>{"--quiet", "recover", (cards / "exfat4k.img").string(), "--session", scan},
                             std::vector<std::string>{"--quiet", "recover", "--session", scan}}) {
        const auto out = dir.path() / std::to_string(args.size());
        std::vector<std::string> all = args;
        all.insert(all.end(), {"--to", out.string()});
        const test::CliResult r = cli.Run(all);
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;  // one file failed
        EXPECT_NE(r.out.find("Failed: Reused Interleaved.bin"), std::string::npos) << r.out;
        int compared = 0;
        const auto copies = cards / "exfat4k.files";
        for (const auto& file : std::filesystem::recursive_directory_iterator(copies)) {
            const auto relative = std::filesystem::relative(file.path(), copies);
            if (!file.is_regular_file() || relative == "Frag/Reused Interleaved.bin") continue;
            EXPECT_TRUE(test::ReadFileBytes(out / relative) == test::ReadFileBytes(file.path())) << relative;
            ++compared;
        }
        EXPECT_GE(compared, 20);
    }
}

}  // namespace
}  // namespace tl
