#include <gtest/gtest.h>

#include <cstring>

#include "filesystems/file_system_fat.h"
#include "storage/little_endian.h"
#include "storage/volume.h"

namespace tl {
namespace {

// A FAT parser over a table given by hand.
struct TableParser {
    explicit TableParser(std::uint32_t code, std::vector<std::uint8_t> table, std::uint32_t clusterBytes = 512)
        : volume(VK_IMAGE, VolumeContext{}), fat(volume) {
        fat.TypeCode = code;
        fat.FatTable = std::move(table);
        fat.ClusterBytes = clusterBytes;
        fat.FirstDataSector = 100;
    }
    CVolume volume;
    CFileSystem_FAT fat;
};

std::vector<std::uint8_t> Fat16(std::initializer_list<std::pair<std::uint32_t, std::uint16_t>> entries, std::size_t count = 64) {
    std::vector<std::uint8_t> t(count * 2, 0);
    for (const auto& [n, v] : entries) PutU16(t.data() + n * 2, v);
    return t;
}

TEST(FatTable, DecodingChainsAndRuns) {
    // FAT12: entry 2 of F0 FF FF 03 40 00 is 0x003, entry 3 is 0x004.
    TableParser f12(1, {0xF0, 0xFF, 0xFF, 0x03, 0x40, 0x00, 0, 0});
    bool ok = true;
    EXPECT_EQ(f12.fat.FatEntry(2, ok), 0x003u);
    EXPECT_EQ(f12.fat.FatEntry(3, ok), 0x004u);
    EXPECT_TRUE(ok);
    f12.fat.FatEntry(5, ok);
    EXPECT_FALSE(ok) << "an entry beyond the table is not read";

    // A chain that loops back ends before repeating itself.
    TableParser loop(4, Fat16({{10, 11}, {11, 10}}));
    std::vector<std::uint32_t> list;
    EXPECT_EQ(loop.fat.FAT_GetClustersList(10, list), 2u);
    EXPECT_EQ(list, (std::vector<std::uint32_t>{10, 11}));

    // 5, 6, 7, 20, 21: two runs.
    TableParser live(4, Fat16({{5, 6}, {6, 7}, {7, 20}, {20, 21}, {21, 0xFFFF}}));
    live.fat.FAT_GetClustersList(5, list);
    std::vector<CLUSTER_RUN> runs;
    live.fat.ClusterRunsFromList(list, runs, nullptr);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].FirstCluster, 5u);
    EXPECT_EQ(runs[0].ClusterCount, 3u);
    EXPECT_EQ(runs[1].FirstCluster, 20u);
    EXPECT_EQ(runs[1].ClusterCount, 2u);

    // A deleted 10 000-byte file from cluster 100 (its entry 0): clusters 100..119.
    TableParser deleted(4, Fat16({}, 200));
    CFoundObject file;
    file.StartPos = 100;
    file.Size = 10000;
    runs.clear();
    ASSERT_TRUE(deleted.fat.BuildClusterRuns(file, runs));
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].FirstCluster, 100u);
    EXPECT_EQ(runs[0].ClusterCount, 20u);
    std::vector<SECTOR_RUN> sectors;
    ASSERT_TRUE(deleted.fat.BuildRuns(file, sectors));
    EXPECT_EQ(sectors[0].FirstSector, 100u + 98);
    EXPECT_EQ(sectors[0].SectorCount, 20u);

    // A chain pointing beyond the table keeps what it had, without the cluster that is not there.
    TableParser beyond(4, Fat16({{3, 0x7FFF}}, 8));
    EXPECT_EQ(beyond.fat.FAT_GetClustersList(3, list), 1u);
    // FAT32 masks the high nibble; 0x0FFFFFF7 marks a bad cluster: the chain
    // ends before it, and never holds a cluster number beyond the volume.
    std::vector<std::uint8_t> t32(64 * 4, 0);
    PutU32(t32.data() + 2 * 4, 0xF0000003);
    PutU32(t32.data() + 3 * 4, 0x0FFFFFF7);
    TableParser f32(11, t32);
    EXPECT_EQ(f32.fat.FAT_GetClustersList(2, list), 2u);
    EXPECT_EQ(list, (std::vector<std::uint32_t>{2, 3}));
}

std::array<std::uint8_t, 32> Entry(const char* name11, std::uint8_t attr = 0x20) {
    std::array<std::uint8_t, 32> e{};
    std::memcpy(e.data(), name11, 11);
    e[11] = attr;
    return e;
}

// Appends to `dir` the long-name parts of `name` (last part first, as stored)
// written for the short name `shortFor`, then the short entry `shortName`
// (by default `shortFor` itself). Deleted: every entry begins with 0xE5.
void AppendLongName(std::vector<std::uint8_t>& dir, const std::u16string& name, const char* shortFor,
                    const char* shortName = nullptr, bool deleted = false) {
    std::uint8_t sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = static_cast<std::uint8_t>(((sum & 1) ? 0x80 : 0) + (sum >> 1) + static_cast<std::uint8_t>(shortFor[i]));
    const int parts = static_cast<int>((name.size() + 12) / 13);
    const int at[] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (int p = parts; p >= 1; --p) {
        std::array<std::uint8_t, 32> l{};
        l[0] = static_cast<std::uint8_t>(deleted ? 0xE5 : p | (p == parts ? 0x40 : 0));
        l[11] = 0x0F;
        l[13] = sum;
        for (int i = 0; i < 13; ++i) {
            const std::size_t k = static_cast<std::size_t>((p - 1) * 13 + i);
            PutU16(l.data() + at[i], k < name.size() ? name[k] : k == name.size() ? 0 : 0xFFFF);
        }
        dir.insert(dir.end(), l.begin(), l.end());
    }
    auto e = Entry(shortName ? shortName : shortFor);
    if (deleted) e[0] = 0xE5;
    dir.insert(dir.end(), e.begin(), e.end());
}

TEST(FatEntries, ValidityAndNames) {
    auto deleted = Entry("\xE5" "ELLO   TXT");
    std::vector<std::uint8_t> buf(deleted.begin(), deleted.end());
    EXPECT_TRUE(CFileSystem_FAT::IsValidEntry(buf.data()));
    EXPECT_EQ(CFileSystem_FAT::GetEntryName(buf, 0), "_ELLO.TXT");
    EXPECT_FALSE(CFileSystem_FAT::IsValidEntry(Entry("hello   txt").data())) << "lower case is not a short name";
    EXPECT_FALSE(CFileSystem_FAT::IsValidEntry(Entry(" ELLO   TXT").data()));
    EXPECT_FALSE(CFileSystem_FAT::IsValidEntry(Entry("HE*LO   TXT").data()));
    EXPECT_FALSE(CFileSystem_FAT::IsValidEntry(Entry("HELLO   TXT", 0x40).data()));
    EXPECT_TRUE(CFileSystem_FAT::IsValidEntry(Entry("\x05" "ELLO   TXT").data()));
    auto noExt = Entry("README     ");
    EXPECT_EQ(CFileSystem_FAT::GetEntryName(std::span<const std::uint8_t>(noExt.data(), 32), 0), "README");
    // CP437 bytes of a short name.
    auto umlaut = Entry("\x81" "BER    TXT");
    EXPECT_EQ(CFileSystem_FAT::GetEntryName(std::span<const std::uint8_t>(umlaut.data(), 32), 0), "\xC3\xBC" "BER.TXT");

    // A long name in two parts before its short entry.
    std::vector<std::uint8_t> dir;
    AppendLongName(dir, u"Bericht \u00dcbersicht.txt", "BERICH~1TXT");
    EXPECT_EQ(CFileSystem_FAT::GetEntryName(dir, 64), "Bericht \xC3\x9C" "bersicht.txt");
}

// A directory where a long name's parts may stand before a short entry they
// were not written for: the long name is taken only when its sequence
// numbers and checksum fit that short entry.
TEST(FatEntries, LongNamesBelongOnlyToTheirShortEntry) {
    const auto nameOf = [](const std::vector<std::uint8_t>& dir) {
        return CFileSystem_FAT::GetEntryName(dir, dir.size() - 32);
    };
    const std::u16string longName = u"Quarterly Report.txt";  // two parts
    std::vector<std::uint8_t> dir;
    AppendLongName(dir, longName, "QUARTE~1TXT");
    EXPECT_EQ(nameOf(dir), "Quarterly Report.txt");

    // The short entry was replaced by an unrelated one (a system without long
    // names reused the slot): the orphaned parts are not its name.
    dir.clear();
    AppendLongName(dir, longName, "QUARTE~1TXT", "NOTES   TXT");
    EXPECT_EQ(nameOf(dir), "NOTES.TXT");

    // Deleted: every part and the short entry begin with 0xE5. The parts'
    // checksum needs the lost first byte, which the long name tells.
    dir.clear();
    AppendLongName(dir, longName, "QUARTE~1TXT", nullptr, true);
    EXPECT_EQ(nameOf(dir), "Quarterly Report.txt");
    dir.clear();
    AppendLongName(dir, u"\u00dcbersicht.txt", "\x9a" "BERSI~1TXT", nullptr, true);
    EXPECT_EQ(nameOf(dir), "\xC3\x9C" "bersicht.txt");
    dir.clear();
    AppendLongName(dir, longName, "QUARTE~1TXT", "NOTES   TXT", true);
    EXPECT_EQ(nameOf(dir), "_OTES.TXT") << "a deleted name's parts before another deleted entry";
    // A deleted entry whose rest of the short name fits the checksum only with
    // a first byte that the long name cannot have given.
    dir.clear();
    AppendLongName(dir, longName, "XUARTE~1TXT", "QUARTE~1TXT", true);
    EXPECT_EQ(nameOf(dir), "_UARTE~1.TXT");

    // Deleted parts before a live entry of another name (its slot reused).
    dir.clear();
    AppendLongName(dir, longName, "QUARTE~1TXT", "NOTES   TXT", true);
    dir[dir.size() - 32] = 'N';
    EXPECT_EQ(nameOf(dir), "NOTES.TXT");
    // A live entry's name is what the file system holds now: deleted parts
    // are free slots, whatever their checksum.
    dir.clear();
    AppendLongName(dir, longName, "QUARTE~1TXT", nullptr, true);
    dir[dir.size() - 32] = 'Q';
    EXPECT_EQ(nameOf(dir), "QUARTE~1.TXT");
    // Live parts before a deleted entry of their own name (deleted by a system
    // that knows no long names) are still its name.
    dir.clear();
    AppendLongName(dir, longName, "QUARTE~1TXT");
    dir[dir.size() - 32] = 0xE5;
    EXPECT_EQ(nameOf(dir), "Quarterly Report.txt");

    // A part missing: the sequence does not reach the part flagged last.
    dir.clear();
    AppendLongName(dir, longName, "QUARTE~1TXT");
    dir.erase(dir.begin() + 32, dir.begin() + 64);  // the part nearest the short entry
    EXPECT_EQ(nameOf(dir), "QUARTE~1.TXT");
    // Parts out of order.
    dir.clear();
    AppendLongName(dir, longName, "QUARTE~1TXT");
    std::swap(dir[0], dir[32]);
    EXPECT_EQ(nameOf(dir), "QUARTE~1.TXT");
    // Two names' parts in a row: only the run next to the short entry counts.
    dir.clear();
    AppendLongName(dir, u"Other Name.txt", "OTHERN~1TXT");
    dir.resize(dir.size() - 32);  // its short entry is gone
    AppendLongName(dir, u"Plan.txt", "PLAN    TXT");
    EXPECT_EQ(nameOf(dir), "Plan.txt");
    // The same with deleted names, the nearer one filling its part to the
    // last character, so no terminator ends it: the checksum does.
    dir.clear();
    AppendLongName(dir, u"Other Name.txt", "OTHERN~1TXT", nullptr, true);
    dir.resize(dir.size() - 32);
    AppendLongName(dir, u"Plan 2024.txt", "PLAN20~1TXT", nullptr, true);
    EXPECT_EQ(nameOf(dir), "Plan 2024.txt");
}

}  // namespace
}  // namespace tl
