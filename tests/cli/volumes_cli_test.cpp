// The drive list and the information about a source, end to end.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "cli_runner.h"
#include "fixture_support.h"

namespace tl {
namespace {

TEST(VolumesCli, InfoOfAPartitionedImageAgreesWithSfdisk) {
    const auto image = test::FixturePath("partitioned.img");
    TL_REQUIRE_FIXTURE("make_partitioned.sh", image);
    test::CliRunner cli;
    const test::CliResult r = cli.Run({"--quiet", "info", image.string(), "--format", "json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // sfdisk's own account of the table it wrote.
    std::vector<std::string> starts;
    const std::string cmd = "sfdisk --dump " + test::ShellQuote(image.string()) + " 2>/dev/null";
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, p)) {
            unsigned long long start = 0;
            unsigned type = 0;
            const char* s = std::strstr(line, "start=");
            const char* t = std::strstr(line, "type=");
            if (s && t && std::sscanf(s, "start= %llu", &start) == 1 && std::sscanf(t, "type=%x", &type) == 1 &&
                type != 5 && type != 0xf)
                starts.push_back("\"offset\": " + std::to_string(start * 512));
        }
        ::pclose(p);
    }
    ASSERT_EQ(starts.size(), 5u) << "sfdisk is needed for this test";
    std::size_t from = 0;
    for (const auto& s : starts) {
        const std::size_t at = r.out.find(s, from);
        EXPECT_NE(at, std::string::npos) << s << " missing or out of order in\n" << r.out;
        if (at != std::string::npos) from = at;
    }
    for (const char* key : {"\"rows\"", "\"found_volumes\"", "\"total_sectors\": 262144", "\"file_system\": \"NTFS\"",
                            "\"file_system\": \"FAT32\"", "\"confirmed\": false", "\"kind\": \"Volume Image\""})
        EXPECT_NE(r.out.find(key), std::string::npos) << key;
}

// A camera's card: its type from the boot parameters, its label from the
// root folder, as the systems show it.
TEST(VolumesCli, InfoOfACameraCardShowsItsTypeAndTheRootFoldersLabel) {
    const auto fat = test::FixturePath("fat");
    TL_REQUIRE_FIXTURE("make_fat_images.sh", fat);
    test::CliRunner cli;
    const test::CliResult r = cli.Run({"--quiet", "info", (fat / "camera16.img").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Label                EOS_DIGITAL\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("File System          FAT16\n"), std::string::npos) << r.out;
}

TEST(VolumesCli, BadSourcesFailWithOneLine) {
    test::CliRunner cli;
    test::ScratchDir dir;
    test::WriteFileBytes(dir / "tiny.img", std::string(511, '\0'));
    for (const std::string& source : {(dir / "missing.img").string(), dir.path().string()}) {
        const test::CliResult r = cli.Run({"--quiet", "info", source});
        EXPECT_EQ(r.exitCode, 1) << source;
        EXPECT_NE(r.err.find("tessa-loft-cli: cannot open"), std::string::npos) << r.err;
    }
    // A 511-byte image opens; it simply holds no file system.
    const test::CliResult tiny = cli.Run({"--quiet", "info", (dir / "tiny.img").string()});
    EXPECT_EQ(tiny.exitCode, 0) << tiny.err;
    EXPECT_NE(tiny.out.find("Unknown"), std::string::npos) << tiny.out;
}

TEST(VolumesCli, DriveListAnswersAndNobodyIsRefused) {
    test::CliRunner cli;
    const test::CliResult r = cli.Run({"--quiet", "drives", "--format", "json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.rfind("[", 0), 0u) << r.out;
}

// A user without the right to read disks is told so, not shown an empty list.
TEST(VolumesCli, DriveListRefusesAUserWithoutDiskRights) {
    std::string missing;
    const std::string user = test::UnprivilegedPrefix(missing);
    if (!missing.empty()) GTEST_SKIP() << "missing tool: " << missing;
    test::CliRunner cli;
    cli.RunACopyEveryUserReaches();
    const test::CliResult probe = cli.Run({"--version"}, user);
    ASSERT_EQ(probe.exitCode, 0) << "the user cannot run the program's copy: " << probe.err;
    const test::CliResult r = cli.Run({"drives", "--format", "json"}, user);
    if (user.empty() && r.exitCode == 0) {
        // A user of this machine with disk rights of its own gets the list.
        EXPECT_EQ(r.out.rfind("[", 0), 0u) << r.out;
        return;
    }
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("Administrator access necessary"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace tl
