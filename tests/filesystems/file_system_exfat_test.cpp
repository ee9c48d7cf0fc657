// exFAT volumes formatted by mkfs.exfat and filled through exfat-fuse
// (tests/fixtures/make_exfat_images.sh): the parser lists what The Sleuth
// Kit's fls lists, with the same paths, sizes and deleted marks, and every
// file, live or deleted, reads back byte for byte as it was written, except
// the deleted one whose clusters a later file took, which is judged partly
// overwritten.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "analysed_image.h"
#include "fat_oracle.h"
#include "filesystems/file_system_exfat.h"
#include "fixture_support.h"
#include "recovery/recoverability.h"
#include "test_support.h"

namespace tl {
namespace {

std::string FileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

class ExFatImages : public ::testing::TestWithParam<const char*> {};

TEST_P(ExFatImages, ListsWhatFlsListsAndEveryFileReadsBackAsWritten) {
    const auto dir = test::FixturePath("exfat");
    test::ExpectFixture("make_exfat_images.sh", dir);
    const std::filesystem::path image = dir / GetParam();
    AnalysedImage a(image);
    EXPECT_EQ(a.v.GetFileSystemName(), "exFAT");

    std::string why;
    const std::vector<test::OracleEntry> oracle = test::FlsListing(image, &why, "exfat");
    ASSERT_FALSE(oracle.empty()) << why;
    std::map<std::string, CFoundObject*> ours;
    for (CFoundObject* o : a.v.FoundTree().AllRecords())
        if (o != &a.v && !(o->Flags & (FO_VOLUME | FO_LOST_FOLDER)) && o->Id != CFileSystem_exFAT::RootId())
            ours[a.PathOf(*o)] = o;
    for (const auto& entry : oracle) {
        const auto it = ours.find(entry.path);
        if (it == ours.end()) {
            ADD_FAILURE() << entry.path << " is listed by fls, not by us";
            continue;
        }
        EXPECT_EQ(it->second->IsDeleted(), entry.deleted) << entry.path;
        EXPECT_EQ(it->second->IsFolder(), entry.folder) << entry.path;
        if (!entry.folder) {
            EXPECT_EQ(it->second->Size, entry.size) << entry.path;
        }
    }
    EXPECT_EQ(ours.size(), oracle.size()) << "we list entries fls does not";

    // The copies the fixture kept of everything it wrote, deleted files included.
    const std::filesystem::path copies = dir / (std::string(GetParam()).replace(std::string(GetParam()).size() - 4, 4, ".files"));
    int compared = 0;
    for (const auto& file : std::filesystem::recursive_directory_iterator(copies)) {
        if (!file.is_regular_file()) continue;
        const std::string path = std::filesystem::relative(file.path(), copies).string();
        const auto it = ours.find(path);
        if (it == ours.end()) {
            ADD_FAILURE() << path << " was written but is not listed";
            continue;
        }
        // The verdict on a deleted file names how its clusters are found.
        const std::string verdict = ExplainRecoverability(a.v, *it->second);
        if (path == "Frag/Reused Interleaved.bin") {
            EXPECT_EQ(JudgeRecoverability(a.v, *it->second), Recoverability::PartlyOverwritten);
            EXPECT_NE(verdict.find("partly overwritten"), std::string::npos) << verdict;
            continue;
        }
        if (path == "Frag/Removed Interleaved.bin") {
            EXPECT_NE(verdict.find("chain was cleared"), std::string::npos) << verdict;
        }
        if (path == "Old Notes.txt") {
            EXPECT_NE(verdict.find("follow each other"), std::string::npos) << verdict;
        }
        EXPECT_EQ(verdict.empty(), !it->second->IsDeleted()) << path;
        EXPECT_EQ(JudgeRecoverability(a.v, *it->second), Recoverability::Recoverable) << path;
        const ReadResult read = ReadThroughReader(*it->second);
        EXPECT_TRUE(read.content == FileBytes(file.path())) << path << " does not read back as written " << read.problem;
        ++compared;
    }
    EXPECT_GE(compared, 7);
    // The volume's label and the deleted files' kinds are told.
    const std::string label = std::string(GetParam()) == "exfat4k.img" ? "CARD4K" : "CARD128K";
    EXPECT_EQ(a.v.Label, label);
    EXPECT_EQ(CFileSystem_exFAT::ReadVolumeLabel(a.v).value_or(""), label);  // as the information shows it unanalysed
    EXPECT_TRUE(a.LogHas("deleted files lie in consecutive clusters", ""));
}

INSTANTIATE_TEST_SUITE_P(Images, ExFatImages, ::testing::Values("exfat4k.img", "exfat128k.img"));

// A tiny volume made by hand (fuzz/regressions/exfat_image), whose root
// holds what no tool writes: a chain that loops, a set whose checksum fails,
// sets of too few and of 255 secondary entries (the last runs past the
// root's end), a name longer than its entries, a length of 2^63, a first
// cluster beyond the heap, a folder whose content is the root, and three
// files on one cluster. Then its boot regions are damaged, its size claimed
// to be 2 TiB, its allocation bitmap taken away. Each time the sound file is
// listed and reads back, and the damage is named in the log.
TEST(ExFatDamage, EachDamageIsNamedAndTheSoundFileStaysReadable) {
    const std::string original =
        test::ReadFileBytes(std::filesystem::path(TL_SOURCE_DIR) / "fuzz/regressions/exfat_image/damaged_root_sets_and_chains");
    ASSERT_GT(original.size(), 25u * 512);
    test::ScratchDir dir;
    const auto analyse = [&](const std::string& bytes, const std::vector<std::string>& told, bool soundListed = true) {
        const auto path = dir.path() / "damaged.img";
        test::WriteFileBytes(path, bytes);
        AnalysedImage a(path);
        EXPECT_EQ(a.v.GetFileSystemName(), "exFAT");
        const auto sound = a.Named("Sound.txt");
        if (!soundListed) {
            EXPECT_TRUE(sound.empty());
        } else if (sound.size() != 1) {
            ADD_FAILURE() << "Sound.txt is not listed once";
        } else {
            EXPECT_EQ(ReadThroughReader(*sound[0]).content, "hello exfat");
        }
        for (const std::string& line : told) EXPECT_TRUE(a.LogHas(line, "")) << "the log does not say: " << line;
    };
    analyse(original, {"loops back to cluster 0x4", "its checksum does not match", "fewer than two secondary entries",
                       "runs past the end of its folder", "'Long.txt' is longer than its name entries", "beyond the volume",
                       "'Itself' starts at cluster 0x2, which another folder already holds",
                       "claims 9223372036854775808 bytes", "claim clusters another file holds", "up-case table"});

    // The boot region's checksum covers its extended boot sectors.
    std::string mainDamaged = original;
    mainDamaged[512 + 10] ^= 0x5A;
    analyse(mainDamaged, {"the backup boot region is read instead"});
    std::string bothDamaged = mainDamaged;
    bothDamaged[12 * 512 + 512 + 10] ^= 0x5A;
    analyse(bothDamaged, {"the checksums of both boot regions"});

    // A boot sector that claims far more than the image holds, in both
    // regions with their checksums made anew: 2 TiB, then 2^32 clusters with
    // the table and heap that go with them. Nothing is read past the
    // image's end, and the walk ends at once.
    const auto claim = [&](std::size_t at, std::uint64_t value, int bytes) {
        std::string claimed = original;
        for (std::size_t region : {0u, 12u * 512}) {
            for (int i = 0; i < bytes; ++i) claimed[region + at + i] = static_cast<char>(value >> (8 * i));
            if (at == 92) {  // the table grows with the clusters, and the heap moves after it
                const std::uint32_t fatLength = 0x02000000, heap = 24 + fatLength;
                for (int i = 0; i < 4; ++i) claimed[region + 84 + i] = static_cast<char>(fatLength >> (8 * i));
                for (int i = 0; i < 4; ++i) claimed[region + 88 + i] = static_cast<char>(heap >> (8 * i));
            }
            const std::uint32_t sum = CFileSystem_exFAT::BootChecksum(
                std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(claimed.data() + region), 12 * 512), 512);
            for (std::size_t s = region + 11 * 512; s < region + 12 * 512; s += 4)
                for (int i = 0; i < 4; ++i) claimed[s + i] = static_cast<char>(sum >> (8 * i));
        }
        return claimed;
    };
    analyse(claim(72, 1ULL << 32, 8), {});
    analyse(claim(92, 0xFFFFFFF0u, 4), {}, false);

    // No allocation bitmap entry: the space in use comes from the table.
    std::string noBitmap = original;
    const std::size_t root = 25 * 512;
    ASSERT_EQ(static_cast<std::uint8_t>(noBitmap[root]), 0x81);
    noBitmap[root] = static_cast<char>(0xA1);
    analyse(noBitmap, {"the space in use is taken from the allocation table"});
}

}  // namespace
}  // namespace tl
