// 'search' on a FAT image made by mkfs.fat and mtools: the matches of the
// find bar's criteria, printed line for line as 'analyze' prints objects.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <map>
#include <set>
#include <sstream>

#include "cli_runner.h"
#include "fixture_support.h"

namespace tl {
namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

class SearchCli : public ::testing::Test {
protected:
    void SetUp() override {
        const auto dir = test::FixturePath("fat");
        TL_REQUIRE_FIXTURE("make_fat_images.sh", dir);
        image = (dir / "fat16.img").string();
    }

    // The output lines of 'search' (with `args`), each checked to be a line
    // 'analyze' prints in the same format, keyed by path.
    std::map<std::string, std::string> Search(std::vector<std::string> args, const std::string& format) {
        std::vector<std::string> command{"--quiet", "search", image, "--format", format};
        command.insert(command.end(), args.begin(), args.end());
        const test::CliResult r = cli.Run(command);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        const auto& listing = Analyze(format);
        std::map<std::string, std::string> out;
        for (const std::string& line : Lines(r.out)) {
            EXPECT_TRUE(listing.count(line)) << "analyze prints no line\n" << line;
            const std::string path = format == "json" ? nlohmann::json::parse(line)["path"].get<std::string>()
                                                      : line.substr(line.rfind('\t') + 1);
            EXPECT_TRUE(out.emplace(path, line).second) << path << " twice";
        }
        return out;
    }
    std::set<std::string> Paths(std::vector<std::string> args) {
        std::set<std::string> paths;
        for (const auto& [path, line] : Search(std::move(args), "tsv")) paths.insert(path);
        return paths;
    }
    const std::set<std::string>& Analyze(const std::string& format) {
        auto& lines = analyzed[format];
        if (lines.empty()) {
            const test::CliResult r = cli.Run({"--quiet", "analyze", image, "--format", format});
            EXPECT_EQ(r.exitCode, 0) << r.err;
            for (const auto& line : Lines(r.out)) lines.insert(line);
        }
        return lines;
    }

    test::CliRunner cli;
    std::string image;
    std::map<std::string, std::set<std::string>> analyzed;
};

TEST_F(SearchCli, DeletedDocumentsAsJsonLinesOfAnalyze) {
    const auto found = Search({"--name", "*.TXT", "--deleted-only"}, "json");
    std::set<std::string> paths;
    for (const auto& [path, line] : found) paths.insert(path);
    EXPECT_EQ(paths, (std::set<std::string>{"Docs/Reports/Draft Report.txt", "Old Notes.txt", "Old Projects/Plan.txt",
                                            "Old Projects/Archive/Letter.txt"}));
    for (const auto& [path, line] : found) EXPECT_TRUE(nlohmann::json::parse(line)["deleted"].get<bool>()) << path;
}

TEST_F(SearchCli, SwitchesAndSizesInBytes) {
    EXPECT_EQ(Paths({"--name", "*report*"}), (std::set<std::string>{"Docs/Reports", "Docs/Reports/2024/Quarterly Report Q1.txt",
                                                                     "Docs/Reports/Draft Report.txt"}));
    EXPECT_EQ(Paths({"--name", "*report*", "--files-only"}),
              (std::set<std::string>{"Docs/Reports/2024/Quarterly Report Q1.txt", "Docs/Reports/Draft Report.txt"}));
    EXPECT_EQ(Paths({"--name", "*", "--size-lt", "100"}),
              (std::set<std::string>{"Docs/Reports/2024/Q2.TXT", "Empty File.txt"}));
    EXPECT_EQ(Paths({"--name", "*", "--size-eq", "12288"}), (std::set<std::string>{"Frag/Fragmented File.bin"}));
    EXPECT_EQ(Paths({"--name", "*", "--size-gt", "12288"}), (std::set<std::string>{"Docs/Multi Cluster.bin"}));
    EXPECT_EQ(Paths({"--name", "*", "--size-lt", "8589934592"}).size(), 17u);  // beyond 32 bits: every file
    EXPECT_EQ(Paths({"--name", ""}).size(), Analyze("tsv").size());            // an empty pattern is "*"
}

TEST_F(SearchCli, SinceCountsBackFromNowByCreationTime) {
    // Everything was made in March 2024.
    EXPECT_TRUE(Paths({"--name", "*", "--since", "1"}).empty());
    EXPECT_EQ(Paths({"--name", "*", "--since", "365000"}).size(), Analyze("tsv").size());
}

TEST_F(SearchCli, TextLinesNameThePathAndEndWithTheCounts) {
    const test::CliResult r = cli.Run({"--quiet", "search", image, "--name", "*notes*"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "fat16.img  (FAT16)\n"
                     "  Old Notes.txt  500  [deleted]  2024-03-01T08:00:00Z\n"
                     "\n1 found: 0 folder(s), 1 file(s), 1 deleted\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(SearchCli, NothingFoundIsSaidOnStandardError) {
    const test::CliResult r = cli.Run({"--quiet", "search", image, "--name", "no such file", "--format", "json"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Search: No files found\n");
}

TEST_F(SearchCli, BadRequests) {
    test::CliResult r = cli.Run({"--quiet", "search", image});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("--name is required"), std::string::npos) << r.err;
    r = cli.Run({"--quiet", "search", image, "--name", "*", "--size-lt", "5", "--size-gt", "3"});
    EXPECT_EQ(r.exitCode, 2);
    r = cli.Run({"--quiet", "search", image, "--name", "*", "--since", "-1"});
    EXPECT_EQ(r.exitCode, 2);
    r = cli.Run({"--quiet", "search", image, "--name", std::string(2049, '*')});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("2048"), std::string::npos) << r.err;
    r = cli.Run({"--quiet", "search", "/no/such/image.img", "--name", "*"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("tessa-loft-cli: cannot open"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace tl
