#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include <nlohmann/json.hpp>

#include <map>
#include <sstream>

#include "cli_runner.h"
#include "fat_oracle.h"
#include "fixture_support.h"
#include "hostile/image_corruptor.h"
#include "test_support.h"

namespace tl {
namespace {

// Every file 'analyze' lists comes back at the path it prints, with its size;
// a selection by name brings back only what fits.
TEST(RecoverCli, FilesComeBackAtThePathsAnalyzePrints) {
    const auto fat = test::FixturePath("fat");
    TL_REQUIRE_FIXTURE("make_fat_images.sh", fat);
    const std::string image = (fat / "fat32.img").string();
    test::CliRunner cli;
    const test::CliResult listing = cli.Run({"--quiet", "analyze", image, "--format", "json"});
    ASSERT_EQ(listing.exitCode, 0) << listing.err;
    test::ScratchDir dir;
    const test::CliResult r = cli.Run({"--quiet", "recover", image, "--to", (dir / "all").string()});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(" 0 failed"), std::string::npos) << r.out;
    std::istringstream lines(listing.out);
    int live = 0;
    for (std::string line; std::getline(lines, line);) {
        const auto j = nlohmann::json::parse(line);
        if (j.contains("record")) continue;  // a volume's own line
        if (j["folder"].get<bool>() || j["deleted"].get<bool>() || j["size"].is_null() || j["size"].get<std::uint64_t>() == 0) continue;
        const auto target = dir / "all" / j["path"].get<std::string>();
        ASSERT_TRUE(std::filesystem::exists(target)) << target;
        EXPECT_EQ(std::filesystem::file_size(target), j["size"].get<std::uint64_t>()) << target;
        ++live;
    }
    EXPECT_GE(live, 5);

    const test::CliResult some = cli.Run({"--quiet", "recover", image, "--to", (dir / "some").string(), "--name", "*.txt", "--flat"});
    ASSERT_EQ(some.exitCode, 0) << some.out << some.err;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir / "some")) {
        EXPECT_EQ(e.path().parent_path(), dir / "some") << "flat: " << e.path();
        const std::string ext = e.path().extension().string();
        EXPECT_TRUE(ext == ".txt" || ext == ".TXT") << e.path();
    }
    const test::CliResult none = cli.Run({"--quiet", "recover", image, "--to", (dir / "none").string(), "--name", "*.nothing"});
    EXPECT_EQ(none.exitCode, 1) << "nothing selected is no success";
}

// Two entries that name one first cluster are two objects: the id that
// 'analyze' prints for one brings back that one alone.
TEST(RecoverCli, AnIdPicksOneFileAmongThoseOfOneCluster) {
    const auto fat = test::FixturePath("fat");
    TL_REQUIRE_FIXTURE("make_fat_images.sh", fat);
    std::string bytes = test::ReadFileBytes(fat / "links12.img");
    test::Image image(bytes.begin(), bytes.end());
    test::FatImage f(image);
    const std::size_t share2 = *f.Find(0, "SHARE2  TXT");
    f.SetStartCluster(share2, f.StartCluster(*f.Find(0, "SHARE1  TXT")));
    test::ScratchDir dir;
    const std::string edited = (dir / "shared.img").string();
    test::WriteFileBytes(edited, std::string(image.begin(), image.end()));

    test::CliRunner cli;
    const test::CliResult listing = cli.Run({"--quiet", "analyze", edited, "--format", "json"});
    ASSERT_EQ(listing.exitCode, 0) << listing.err;
    std::map<std::string, std::int64_t> ids;
    std::istringstream lines(listing.out);
    for (std::string line; std::getline(lines, line);) {
        const auto j = nlohmann::json::parse(line);
        if (j.contains("id")) ids[j["path"].get<std::string>()] = j["id"].get<std::int64_t>();
    }
    ASSERT_TRUE(ids.count("SHARE1.TXT") && ids.count("SHARE2.TXT")) << listing.out;
    EXPECT_EQ(ids["SHARE2.TXT"], static_cast<std::int64_t>(share2));
    const test::CliResult r =
        cli.Run({"--quiet", "recover", edited, "--to", (dir / "out").string(), "--id", std::to_string(ids["SHARE2.TXT"])});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("1 recovered, 0 skipped, 0 failed, 900 bytes"), std::string::npos) << r.out;
    EXPECT_TRUE(std::filesystem::is_regular_file(dir / "out" / "SHARE2.TXT"));
}

// Names an NTFS volume really holds that would leave the destination: each
// file comes back inside it, under a name made safe, with its content.
TEST(RecoverCli, HostileNtfsNamesStayInsideTheDestination) {
    const auto fixtures = test::FixturePath("ntfs_hostile");
    TL_REQUIRE_FIXTURE("make_ntfs_hostile_names.sh", fixtures);
    test::ScratchDir dir;
    const auto to = dir / "deep" / "to";
    test::CliRunner cli;
    // Listed and logged, the control characters of a name are shown escaped, never written raw.
    const test::CliResult listed = cli.Run({"analyze", (fixtures / "hostile_names.img").string()});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_NE(listed.out.find("tab\\x09and\\x1b.txt"), std::string::npos) << listed.out;
    EXPECT_EQ(listed.out.find('\x1b'), std::string::npos);
    EXPECT_EQ((listed.out + listed.err).find('\t'), std::string::npos);
    const test::CliResult r = cli.Run({"--quiet", "recover", (fixtures / "hostile_names.img").string(), "--to", to.string()});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const std::map<std::string, std::string> expected = {
        {".._.._passwd", "one\n"}, {"sub_evil.txt", "two\n"}, {"nul_mid.txt", "three\n"},
        {"_..", "four\n"},         {"tab_and_.txt", "five\n"}, {"Docs/..\\..\\win.txt", "six\n"}};
    for (const auto& [name, content] : expected) EXPECT_EQ(test::ReadFileBytes(to / name), content) << name;
    // Nothing was made beside the destination, nor above it.
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path())) {
        const std::string p = e.path().string();
        EXPECT_TRUE(p.rfind(to.string(), 0) == 0 || e.path() == dir / "deep") << "outside the destination: " << p;
    }
}

// A disk image with partitions: each analysed volume's files go below a
// folder of their own.
TEST(RecoverCli, EachVolumeOfADiskGoesBelowAFolderOfItsOwn) {
    TL_REQUIRE_FIXTURE("make_samples.sh", test::FixturePath("samples"));
    const auto fixture = test::FixturePath("partitioned.img");
    TL_REQUIRE_FIXTURE("make_partitioned.sh", fixture);
    test::ScratchDir dir;
    const auto image = dir / "disk.img";
    std::filesystem::copy_file(fixture, image);
    const std::string pdf = (test::FixturePath("samples") / "sample.pdf").string();
    for (const char* at : {"@@1048576", "@@3145728"}) {
        const std::string cmd = "MTOOLS_SKIP_CHECK=1 mcopy -i " + test::ShellQuote(image.string() + at) + " " +
                                test::ShellQuote(pdf) + " ::/REPORT.PDF";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }
    test::CliRunner cli;
    const test::CliResult r = cli.Run({"--quiet", "recover", image.string(), "--to", (dir / "out").string(), "--name", "REPORT.PDF"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const std::string original = test::ReadFileBytes(pdf);
    EXPECT_EQ(test::ReadFileBytes(dir / "out" / "Volume at 1048576" / "REPORT.PDF"), original);
    EXPECT_EQ(test::ReadFileBytes(dir / "out" / "Volume at 3145728" / "REPORT.PDF"), original);
}

// Each --id names one object of the source: an unknown id, or one that two
// volumes share, is refused before anything is written; VOLUME:ID picks one.
TEST(RecoverCli, AnIdNamesExactlyOneObjectOfTheSource) {
    TL_REQUIRE_FIXTURE("make_samples.sh", test::FixturePath("samples"));
    test::ScratchDir dir;
    // Two partitions formatted alike hold the same entry at the same place.
    const auto image = dir / "twins.img";
    const std::string pdf = (test::FixturePath("samples") / "sample.pdf").string();
    const std::string make =
        "set -e; truncate -s 24M " + test::ShellQuote(image.string()) + "; printf 'start=2048, size=16384, type=6\\n"
        "start=18432, size=16384, type=6\\n' | sfdisk -q " + test::ShellQuote(image.string()) + "; " +
        "mkfs.fat -F 16 -s 1 -i 12345678 -C " + test::ShellQuote((dir / "p.img").string()) + " 8192 >/dev/null; " +
        "MTOOLS_SKIP_CHECK=1 mcopy -i " + test::ShellQuote((dir / "p.img").string()) + " " + test::ShellQuote(pdf) + " ::/REPORT.PDF; " +
        "for at in 2048 18432; do dd if=" + test::ShellQuote((dir / "p.img").string()) + " of=" + test::ShellQuote(image.string()) +
        " bs=512 seek=$at conv=notrunc status=none; done";
    ASSERT_EQ(std::system(("bash -c " + test::ShellQuote(make)).c_str()), 0) << make;
    test::CliRunner cli;
    const test::CliResult listing = cli.Run({"--quiet", "analyze", image.string(), "--format", "json"});
    ASSERT_EQ(listing.exitCode, 0) << listing.err;
    std::string id;
    std::set<std::int64_t> volumeIndexes;
    std::istringstream lines(listing.out);
    for (std::string line; std::getline(lines, line);) {
        const auto j = nlohmann::json::parse(line);
        if (j.contains("record")) continue;
        if (j["name"] == "REPORT.PDF") {
            id = std::to_string(j["id"].get<std::int64_t>());
            volumeIndexes.insert(j["volume_index"].get<std::int64_t>());
        }
    }
    ASSERT_EQ(volumeIndexes.size(), 2u) << listing.out;
    const test::CliResult unknown = cli.Run({"--quiet", "recover", image.string(), "--to", (dir / "u").string(), "--id", "99999"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_NE(unknown.err.find("no found object has the id 99999"), std::string::npos) << unknown.err;
    const test::CliResult shared = cli.Run({"--quiet", "recover", image.string(), "--to", (dir / "s").string(), "--id", id});
    EXPECT_EQ(shared.exitCode, 2);
    EXPECT_NE(shared.err.find("several volumes"), std::string::npos) << shared.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "u") || std::filesystem::exists(dir / "s")) << "nothing is written";
    const std::string second = std::to_string(*volumeIndexes.rbegin()) + ":" + id;
    const test::CliResult one = cli.Run({"--quiet", "recover", image.string(), "--to", (dir / "one").string(), "--id", second});
    ASSERT_EQ(one.exitCode, 0) << one.out << one.err;
    std::vector<std::filesystem::path> written;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir / "one"))
        if (e.is_regular_file()) written.push_back(e.path());
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].filename(), "REPORT.PDF");
    EXPECT_EQ(test::ReadFileBytes(written[0]), test::ReadFileBytes(pdf));
}

// An NTFS volume whose files are stored compressed, in named streams and
// past their initialised length: every data stream comes back as icat reads
// it, each named stream beside its file as "file:stream", the system files
// too.
TEST(RecoverCli, CompressedFilesAndNamedStreamsComeBackAsIcatReadsThem) {
    const auto dir = test::FixturePath("ntfs_content");
    TL_REQUIRE_FIXTURE("make_ntfs_content.sh", dir);
    const auto image = dir / "ntfs_content.img";
    test::ScratchDir out;
    test::CliRunner cli;
    const test::CliResult r = cli.Run({"--quiet", "recover", image.string(), "--to", (out / "all").string()});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(" 0 failed"), std::string::npos) << r.out;
    auto streams = test::FlsDataStreams(image);
    ASSERT_GT(streams.size(), 20u);
    // The one fls cannot place comes back below the placeholder of its folder.
    ASSERT_EQ(streams.erase("$OrphanFiles/Orphan.txt"), 1u);
    streams["lost_folder_64/Orphan.txt"] = "77";
    int compared = 0;
    for (const auto& [path, address] : streams) {
        if (path.rfind("$OrphanFiles/", 0) == 0) continue;
        const std::string expected = test::CommandOutput("icat -f ntfs " + test::ShellQuote(image.string()) + " " + address);
        // Empty streams, and the bad-cluster stream that icat prints nothing of.
        if (expected.empty()) continue;
        EXPECT_TRUE(test::ReadFileBytes(out / "all" / path) == expected) << path << " is not what icat " << address << " reads";
        ++compared;
    }
    EXPECT_GE(compared, 20);
    for (const char* path : {"Packed/Lines.txt", "Packed/Mixed.bin", "Notes.txt:big", "Docs:dirinfo", "Prealloc.bin", "$Boot"})
        EXPECT_TRUE(streams.count(path)) << path;
}

// An encrypted file is not recovered as if its clusters were its content:
// the run fails, the rest comes back.
TEST(RecoverCli, AnEncryptedFileFailsTheRun) {
    const auto dir = test::FixturePath("ntfs_content");
    TL_REQUIRE_FIXTURE("make_ntfs_content.sh", dir);
    test::ScratchDir out;
    test::CliRunner cli;
    const test::CliResult r = cli.Run({"--quiet", "recover", (dir / "ntfs_encrypted.img").string(), "--to", out.path().string()});
    EXPECT_NE(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(" 1 failed"), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(out / "Secret.txt"));
    EXPECT_EQ(test::ReadFileBytes(out / "Docs" / "Report.txt").size(), 3000u);
}

// The recovery names the file and why it failed (the reader's Problem).
// Enabled once the recovery engine logs CFoundFileReader::Problem.
TEST(RecoverCli, AnEncryptedFileIsLoggedWithItsReason) {
    const auto dir = test::FixturePath("ntfs_content");
    TL_REQUIRE_FIXTURE("make_ntfs_content.sh", dir);
    test::ScratchDir out;
    test::CliRunner cli;
    const test::CliResult r = cli.Run({"recover", (dir / "ntfs_encrypted.img").string(), "--to", out.path().string()});
    EXPECT_NE(r.exitCode, 0);
    bool logged = false;
    std::istringstream lines(r.out + r.err);
    for (std::string line; std::getline(lines, line);)
        logged |= line.find("Secret.txt") != std::string::npos && line.find("the file is encrypted") != std::string::npos &&
                  line.find("CFileSystem_NTFS") == std::string::npos;
    EXPECT_TRUE(logged) << r.out << r.err;
}

// Real documents of every kind planted at sector boundaries in random
// filler, some back to back, one right after another of its kind, the last
// cut by the end of the image: the sector scan brings each back byte for
// byte, and writes little more than what was planted.
TEST(RecoverCli, LostDocumentsComeBackAtTheirTrueSize) {
    TL_REQUIRE_FIXTURE("make_documents.sh", test::FixturePath("documents"));
    std::vector<std::pair<std::string, std::string>> documents;  // name, bytes
    for (const auto& e : std::filesystem::directory_iterator(test::FixturePath("documents")))
        documents.emplace_back(e.path().filename().string(), test::ReadFileBytes(e.path()));
    std::sort(documents.begin(), documents.end());
    ASSERT_GE(documents.size(), 60u);
    // One kind twice in a row.
    documents.insert(documents.begin() + 1, documents.front());

    std::mt19937_64 rng(7);
    std::string image(64 << 20, '\0');
    for (char& c : image) c = static_cast<char>(rng());
    struct Plant {
        std::string name;
        std::uint64_t offset;
        std::string bytes;  // what lies in the image
    };
    std::vector<Plant> plants;
    std::uint64_t at = 512 * 64;
    for (std::size_t i = 0; i < documents.size(); ++i) {
        const auto& [name, bytes] = documents[i];
        plants.push_back({name, at, bytes});
        at += (bytes.size() + 511) / 512 * 512;
        if (i % 3 == 2) at += 512 * (1 + rng() % 200);  // else back to back
    }
    ASSERT_LT(at, image.size());
    for (const Plant& p : plants) image.replace(p.offset, p.bytes.size(), p.bytes);
    // The last one cut by the end of the image: what is there comes back.
    const std::string& video = std::find_if(documents.begin(), documents.end(), [](auto& d) { return d.first == "video.mp4"; })->second;
    const std::uint64_t cutAt = image.size() - video.size() / 2 / 512 * 512;
    image.replace(cutAt, image.size() - cutAt, video.substr(0, image.size() - cutAt));
    plants.push_back({"video.mp4 (cut)", cutAt, video.substr(0, image.size() - cutAt)});

    test::ScratchDir dir;
    test::WriteFileBytes(dir / "disk.img", image);
    test::CliRunner cli;
    const test::CliResult r = cli.Run({"--quiet", "recover", (dir / "disk.img").string(), "--sectors-only", "--to", (dir / "out").string()});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;

    // The recovered files by the offset their names carry.
    std::map<std::uint64_t, std::filesystem::path> byOffset;
    std::uint64_t written = 0, planted = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir / "out")) {
        if (!e.is_regular_file()) continue;
        written += e.file_size();
        const std::string stem = e.path().stem().string();
        const auto underscore = stem.rfind('_');
        if (underscore != std::string::npos) byOffset[std::stoull(stem.substr(underscore + 1))] = e.path();
    }
    std::vector<std::string> wrong;
    for (const Plant& p : plants) {
        planted += p.bytes.size();
        // An ISO 9660 image is recognised by its volume descriptor, 32 KiB in.
        const auto it = byOffset.find(p.offset);
        if (it == byOffset.end()) wrong.push_back(p.name + ": not recovered");
        else if (test::ReadFileBytes(it->second) != p.bytes)
            wrong.push_back(p.name + ": " + std::to_string(std::filesystem::file_size(it->second)) + " bytes for " +
                            std::to_string(p.bytes.size()));
    }
    EXPECT_TRUE(wrong.empty()) << ::testing::PrintToString(wrong);
    EXPECT_LE(written, planted * 5 / 4) << written << " bytes written for " << planted << " planted";
}

}  // namespace
}  // namespace tl
