// 'image' end to end: the image of each FAT fixture is the volume byte for
// byte and lists the same files; destinations that cannot take it are
// refused before anything is written.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <sstream>

#include "cli_runner.h"
#include "fixture_support.h"

namespace tl {
namespace {

// The JSON listing of 'analyze', without the volume's name (an image is
// named after its file).
std::vector<std::string> Listing(const test::CliRunner& cli, const std::filesystem::path& source) {
    const test::CliResult r = cli.Run({"--quiet", "analyze", source.string(), "--format", "json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> out;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        auto j = nlohmann::json::parse(line);
        if (j.contains("record")) continue;  // a volume's own line
        j.erase("volume");
        out.push_back(j.dump());
    }
    return out;
}

std::filesystem::path FatFixture(const std::string& name) {
    const auto dir = test::FixturePath("fat");
    test::ExpectFixture("make_fat_images.sh", dir);
    return dir / name;
}

class ImageOfFat : public ::testing::TestWithParam<const char*> {};

TEST_P(ImageOfFat, IsTheVolumeByteForByteAndListsTheSameFiles) {
    const auto source = FatFixture(GetParam());
    test::CliRunner cli;
    const auto out = cli.Scratch() / "copy.dsk";
    const test::CliResult r = cli.Run({"image", source.string(), "--out", out.string(), "--progress"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string bytes = test::ReadFileBytes(source);
    EXPECT_TRUE(test::ReadFileBytes(out) == bytes) << "the image differs from the volume";
    const std::string sectors = std::to_string(bytes.size() / 512);
    // The loaded image, described as 'info' describes it.
    for (const std::string& row : std::vector<std::string>{"Category             Volume Image", "System Path          " + out.string(),
                                  "Total Sectors        " + sectors, "Label                TESSA"})
        EXPECT_NE(r.out.find(row + "\n"), std::string::npos) << row << " missing from\n" << r.out;
    EXPECT_NE(r.out.find("\nImage complete: "), std::string::npos) << r.out;
    // The log's last word on the job, and the progress on a pipe.
    EXPECT_NE(r.err.find("Image '" + out.string() + "' complete: " + sectors + " sectors copied.\r\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("image: 100% ("), std::string::npos) << r.err;

    const auto original = Listing(cli, source);
    ASSERT_FALSE(original.empty());
    EXPECT_EQ(Listing(cli, out), original);
}

INSTANTIATE_TEST_SUITE_P(Images, ImageOfFat, ::testing::Values("fat12.img", "fat16.img", "fat32.img", "fat32_root5.img"));

TEST(ImageCli, TheSourceItselfIsNeverTheImage) {
    test::CliRunner cli;
    const auto source = cli.Scratch() / "stick.img";
    std::filesystem::copy_file(FatFixture("fat12.img"), source);
    const std::string before = test::ReadFileBytes(source);
    std::filesystem::create_symlink(source, cli.Scratch() / "link.dsk");
    for (const auto& out : std::vector<std::filesystem::path>{source, cli.Scratch() / "link.dsk"}) {
        const test::CliResult r = cli.Run({"--quiet", "image", source.string(), "--out", out.string()});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find("is the source stick.img itself"), std::string::npos) << r.err;
        EXPECT_TRUE(test::ReadFileBytes(source) == before);
    }
}

TEST(ImageCli, AProcessFileSizeLimitBelowTheImageIsRefusedBeforeWriting) {
    test::CliRunner cli;
    const auto out = cli.Scratch() / "copy.dsk";
    // 2048 blocks of 512 or 1024 bytes, whichever the shell counts in:
    // below the 1.44 MB floppy either way.
    const test::CliResult r =
        cli.Run({"--quiet", "image", FatFixture("fat12.img").string(), "--out", out.string()}, "ulimit -f 2048;");
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("but a file there can hold at most"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(ImageCli, ADestinationWithoutRoomIsRefusedBeforeWriting) {
    test::CliRunner cli;
    const auto small = cli.Scratch() / "small";
    std::filesystem::create_directories(small);
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1M") != 0) GTEST_SKIP() << "no tmpfs: " << std::strerror(errno);
    const auto out = small / "copy.dsk";
    const test::CliResult r = cli.Run({"--quiet", "image", FatFixture("fat12.img").string(), "--out", out.string()});
    const bool written = std::filesystem::exists(out);
    ::umount2(small.c_str(), MNT_DETACH);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("needs 1 MB (1 474 560 bytes), but only 1024 KB (1 048 576 bytes) are free"), std::string::npos)
        << r.err;
    EXPECT_FALSE(written);
}

}  // namespace
}  // namespace tl
