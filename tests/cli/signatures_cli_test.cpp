// The signatures commands end to end, on real files made by real tools.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>

#include "cli_runner.h"
#include "fixture_support.h"
#include "test_support.h"

namespace tl {
namespace {

using test::CliRunner;

// Real sample files, made once per build tree by the fixture script.
class SignatureSamples : public ::testing::Test {
protected:
    static std::filesystem::path Samples() { return test::FixturePath("samples"); }
    static void SetUpTestSuite() {
        const test::Fixture made = test::MakeFixture("make_samples.sh", Samples());
        ASSERT_TRUE(made) << made.detail;
    }
    void SetUp() override {
        const test::CliResult r = cli.Run({"--quiet", "signatures", "list"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    // Ids of the types matching the block at `offset` of `file`, in list order.
    std::string MatchIds(const std::string& file, unsigned long long offset = 0) {
        const auto path = Samples() / file;
        if (!std::filesystem::exists(path)) return "(no sample " + file + ")";
        const test::CliResult r =
            cli.Run({"--quiet", "signatures", "match", path.string(), "--offset", std::to_string(offset), "--format", "json"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::string ids;
        for (std::size_t pos = r.out.find("\"id\": "); pos != std::string::npos; pos = r.out.find("\"id\": ", pos + 1))
            ids += (ids.empty() ? "" : ",") + r.out.substr(pos + 6, r.out.find(',', pos) - pos - 6);
        return ids;
    }
    CliRunner cli;
};

TEST_F(SignatureSamples, RealFilesAreRecognised) {
    // The first type listed for each file is the one a user expects.
    const auto first = [&](const std::string& file, unsigned long long offset = 0) {
        const std::string ids = MatchIds(file, offset);
        return ids.substr(0, ids.find(','));
    };
    const auto titleOf = [&](const std::string& id) {
        const test::CliResult r = cli.Run({"--quiet", "signatures", "show", id});
        return r.out.substr(r.out.find("Title:") + 17, r.out.find('\n', r.out.find("Title:")) - r.out.find("Title:") - 17);
    };
    EXPECT_EQ(first("fat32.img"), "11");
    EXPECT_EQ(first("fat16.img"), "4");
    EXPECT_EQ(first("fat12.img"), "1");
    EXPECT_EQ(first("ntfs.img"), "7");
    EXPECT_EQ(first("sample.doc"), "100");
    EXPECT_EQ(first("sample.bmp"), "503");
    EXPECT_NE(titleOf(first("sample.pdf")).find("PDF"), std::string::npos);
    EXPECT_NE(titleOf(first("sample.jpg")).find("JPEG"), std::string::npos);
    EXPECT_NE(titleOf(first("sample.png")).find("PNG"), std::string::npos);
    const std::string zip = first("sample.zip");
    EXPECT_NE(titleOf(zip).find("ZIP"), std::string::npos) << titleOf(zip);
    // An office package is recognised as its own type and as a zip archive too.
    const std::string docx = MatchIds("sample.docx");
    EXPECT_NE(docx.find(zip), std::string::npos) << docx;
    EXPECT_NE(docx.substr(0, docx.find(',')), zip) << docx;
    if (std::filesystem::exists(Samples() / "sample.iso")) {
        EXPECT_EQ(first("sample.iso", 32768), "504");
    }
}

TEST_F(SignatureSamples, ExportedTypesReimportToTheSameMatches) {
    test::ScratchDir dir;
    const std::string before = MatchIds("sample.pdf");
    const std::string pdf = before.substr(0, before.find(','));
    ASSERT_FALSE(pdf.empty());
    const auto file = (dir / "pdf.filesig").string();
    test::CliResult r = cli.Run({"--quiet", "signatures", "export", pdf, file});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // A fresh configuration without the type learns it from the file alone.
    CliRunner other;
    r = other.Run({"--quiet", "signatures", "disable", pdf});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = other.Run({"--yes", "signatures", "import", file});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("updated!"), std::string::npos) << r.err;
    r = other.Run({"--quiet", "signatures", "enable", pdf});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = other.Run({"--quiet", "signatures", "match", (Samples() / "sample.pdf").string()});
    EXPECT_EQ(r.out.substr(0, r.out.find(' ')), pdf) << r.out;

    // A changed Id imports as a new type that matches the same files.
    std::string bytes = test::ReadFileBytes(file);
    bytes[0] = 0x39;
    bytes[1] = 0x30;  // Id 12345
    bytes[2] = bytes[3] = 0;
    test::WriteFileBytes(dir / "new.filesig", bytes);
    r = other.Run({"--yes", "signatures", "import", (dir / "new.filesig").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("added!"), std::string::npos) << r.err;
    r = other.Run({"--quiet", "signatures", "match", (Samples() / "sample.pdf").string(), "--format", "json"});
    EXPECT_NE(r.out.find("\"id\": 12345"), std::string::npos) << r.out;
}

TEST(SignaturesCli, ListOnAFreshConfigurationAndBadRequests) {
    CliRunner cli;
    test::CliResult r = cli.Run({"--quiet", "signatures", "list", "--format", "json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.rfind("[", 0), 0u);
    for (const char* key : {"\"id\"", "\"group\"", "\"title\"", "\"extensions\"", "\"search_enable\"",
                            "\"default_size_kb\"", "\"patterns\""})
        EXPECT_NE(r.out.find(key), std::string::npos) << key;
    std::size_t types = 0;
    for (std::size_t p = r.out.find("\"id\""); p != std::string::npos; p = r.out.find("\"id\"", p + 1)) ++types;
    EXPECT_GE(types, 40u);

    EXPECT_EQ(cli.Run({"signatures", "show", "999999"}).exitCode, 2);
    EXPECT_EQ(cli.Run({"signatures", "enable", "No Such Group"}).exitCode, 2);
    EXPECT_EQ(cli.Run({"signatures", "match", "/no/such/file"}).exitCode, 1);
    test::ScratchDir dir;
    test::WriteFileBytes(dir / "bad.filesig", std::string(3000, '\x07'));
    r = cli.Run({"signatures", "import", (dir / "bad.filesig").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("not a valid signature file"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace tl
