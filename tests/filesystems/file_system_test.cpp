#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fstream>

#include "filesystems/file_system.h"
#include "filesystems/file_system_exfat.h"
#include "filesystems/file_system_fat.h"
#include "filesystems/file_system_kinds.h"
#include "filesystems/file_system_ntfs.h"
#include "storage/volume.h"
#include "fixture_support.h"

namespace tl {
namespace {

TEST(FileSystemBase, ClassifyNameAndFamily) {
    std::array<std::uint8_t, 512> boot{};
    EXPECT_EQ(CFileSystem::ClassifyBoot(boot), 0u);
    std::memcpy(boot.data() + 3, "NTFS    ", 8);
    EXPECT_EQ(CFileSystem::ClassifyBoot(boot), 7u);
    std::memcpy(boot.data() + 54, "FAT16   ", 8);  // the FAT tests come first
    EXPECT_EQ(CFileSystem::ClassifyBoot(boot), 4u);
    std::memcpy(boot.data() + 54, "FAT12   ", 8);
    EXPECT_EQ(CFileSystem::ClassifyBoot(boot), 1u);
    std::memcpy(boot.data() + 54, "FAT1    ", 8);
    std::memcpy(boot.data() + 82, "FAT32   ", 8);
    EXPECT_EQ(CFileSystem::ClassifyBoot(boot), 11u);
    // A boot sector cut short is read only where it has bytes.
    EXPECT_EQ(CFileSystem::ClassifyBoot(std::span<const std::uint8_t>(boot.data(), 60)), 7u) << "only the name at 3 lies in 60 bytes";

    CFileSystem fs;
    EXPECT_EQ(fs.TypeName, "Unknown");
    EXPECT_EQ(fs.SetTypeName(14), "Unknown");  // FAT family, but no name of its own
    EXPECT_EQ(fs.SetTypeName(128), "NTFS");
    EXPECT_EQ(fs.SetTypeName(12), "FAT32");
    EXPECT_EQ(fs.TypeCode, 0u) << "naming a type does not change the code";
    EXPECT_EQ(fs.GetFamily(7), kFamilyNtfs);
    EXPECT_EQ(fs.TypeCode, 7u);
    EXPECT_EQ(fs.GetFamily(2), kFamilyNtfs) << "2 only asks";
    EXPECT_EQ(fs.TypeCode, 7u);
    EXPECT_EQ(fs.GetFamily(28), kFamilyFat);
    EXPECT_EQ(fs.GetFamily(131), kFamilyOther);
}

// Sector `n` of a fixture image made by `script` (into `made`), or zeros
// with a failure when it cannot be made.
std::array<std::uint8_t, 512> FixtureSector(const char* script, const std::filesystem::path& made,
                                            const std::filesystem::path& image, std::uint64_t n = 0) {
    std::array<std::uint8_t, 512> sector{};
    test::ExpectFixture(script, made);
    std::ifstream in(image, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(n * 512));
    in.read(reinterpret_cast<char*>(sector.data()), 512);
    EXPECT_TRUE(in.good()) << image;
    return sector;
}

std::array<std::uint8_t, 512> FatBoot(const char* name) {
    return FixtureSector("make_fat_images.sh", test::FixturePath("fat"), test::FixturePath("fat") / name);
}

// FAT is known by its boot parameters as the devices that format cards
// write them; the type text only names the type where the parameters
// cannot tell it. Nothing else becomes FAT on the way.
TEST(FileSystemBase, FatIsKnownByItsParametersAndNothingElseIs) {
    using Class = CFileSystem::BootClass;
    // A camera's card: "FAT16" padded with NULs, no heads nor sectors per track.
    auto camera = FatBoot("camera16.img");
    Class c = CFileSystem::ClassifyBootSector(camera);
    EXPECT_EQ(c.code, 4u);
    EXPECT_EQ(c.basis, Class::kFatName);
    // No type text at all: the cluster count decides, and says so.
    std::memset(camera.data() + 54, 0, 8);
    c = CFileSystem::ClassifyBootSector(camera);
    EXPECT_EQ(c.code, 4u);
    EXPECT_EQ(c.basis, Class::kFatParameters);
    EXPECT_EQ(c.namedCode, 0u);
    EXPECT_GT(c.clusters, 4085u);
    // A text that disagrees with the clusters: the clusters win.
    std::memcpy(camera.data() + 54, "FAT12   ", 8);
    c = CFileSystem::ClassifyBootSector(camera);
    EXPECT_EQ(c.code, 4u);
    EXPECT_EQ(c.namedCode, 1u);
    EXPECT_EQ(c.basis, Class::kFatParameters);
    // The signature is not needed either.
    camera[510] = camera[511] = 0;
    EXPECT_EQ(CFileSystem::ClassifyBoot(camera), 4u);
    auto fat12 = FatBoot("fat12.img");
    std::memset(fat12.data() + 54, ' ', 8);
    EXPECT_EQ(CFileSystem::ClassifyBoot(fat12), 1u);
    auto fat32 = FatBoot("fat32.img");
    std::memset(fat32.data() + 82, 0, 8);
    EXPECT_EQ(CFileSystem::ClassifyBoot(fat32), 11u);
    // A FAT32 layout with a table too small for its clusters is no sound
    // FAT: without its text it is nothing.
    fat32[36] = 1, fat32[37] = fat32[38] = fat32[39] = 0;
    EXPECT_EQ(CFileSystem::ClassifyBoot(fat32), 0u);

    // An MBR written by sfdisk goes to the partition walk; NTFS stays NTFS;
    // an exFAT boot sector made by mkfs.exfat is exFAT, and with a cluster
    // shift beyond 32 MiB clusters it is nothing.
    const auto disk = test::FixturePath("partitioned.img");
    const auto mbr = FixtureSector("make_partitioned.sh", disk, disk);
    EXPECT_EQ(CFileSystem::ClassifyBootSector(mbr).basis, Class::kNothing);
    EXPECT_EQ(CFileSystem::ClassifyBoot(FixtureSector("make_partitioned.sh", disk, disk, 108544)), 7u);
    const auto exfat = test::FixturePath("exfat.img");
    auto exfatBoot = FixtureSector("make_exfat.sh", exfat, exfat);
    EXPECT_EQ(CFileSystem::ClassifyBootSector(exfatBoot).basis, Class::kExFatName);
    EXPECT_EQ(CFileSystem::ClassifyBoot(exfatBoot), CFileSystem_exFAT::kTypeCode);
    exfatBoot[109] = static_cast<std::uint8_t>(26 - exfatBoot[108]);
    EXPECT_EQ(CFileSystem::ClassifyBoot(exfatBoot), 0u);
    // Sound parameters without text under a partition table: the table wins.
    std::memset(camera.data() + 54, 0, 8);
    std::memcpy(camera.data() + 446, mbr.data() + 446, 66);
    EXPECT_EQ(CFileSystem::ClassifyBoot(camera), 0u);
    // Random sectors, signed or not, are never FAT.
    std::uint64_t seed = 0x9E3779B97F4A7C15ULL;
    for (int i = 0; i < 20000; ++i) {
        std::array<std::uint8_t, 512> noise{};
        for (auto& byte : noise) {
            seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
            byte = static_cast<std::uint8_t>(seed >> 56);
        }
        if (i % 2) noise[510] = 0x55, noise[511] = 0xAA;
        ASSERT_EQ(CFileSystem::ClassifyBoot(noise), 0u) << "random sector " << i;
    }
}

TEST(FileSystemBase, OtherFamiliesReadOneRunFromStartPos) {
    CFileSystem fs;
    CFoundObject record;
    record.StartPos = 4096;
    record.Size = 1025;
    std::vector<SECTOR_RUN> runs;
    ASSERT_TRUE(fs.BuildRuns(record, runs));
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].FirstSector, 4096u);
    EXPECT_EQ(runs[0].SectorCount, 3u);
    runs.clear();
    record.Size = CFoundObject::kUnknownSize;
    fs.BuildRuns(record, runs);
    EXPECT_EQ(runs[0].SectorCount, 0u);
}

// Every code of a family reads its layout: the parser a code opens, the
// code the parser keeps and the root it hangs the tree from.
TEST(FileSystemKinds, EachCodeOpensItsFamilysParser) {
    for (std::uint32_t code = 0; code < 300; ++code) {
        const FileSystemKind* kind = FindFileSystemKind(code);
        if (!kind || kind->family == kFamilyOther) continue;
        const FileSystemKind* layout = FindFileSystemKind(kind->layoutCode);
        ASSERT_NE(layout, nullptr) << code;
        EXPECT_STREQ(layout->name, kind->name) << code;
        EXPECT_EQ(FatEntryBits(kind->parserCode), FatEntryBits(kind->layoutCode)) << code;
    }
    CVolume volume(VK_IMAGE, VolumeContext{});
    const auto opens = [&](std::uint32_t code) { return OpenFileSystem(volume, code); };
    const OpenedFileSystem fat32 = opens(27);
    ASSERT_NE(dynamic_cast<CFileSystem_FAT*>(fat32.parser.get()), nullptr);
    EXPECT_EQ(fat32.parser->TypeCode, 11u);
    EXPECT_EQ(opens(6).parser->TypeCode, 6u) << "a code the parser decodes is kept";
    EXPECT_EQ(opens(14).parser->TypeCode, 4u);
    EXPECT_EQ(opens(14).rootId, 0u);
    const OpenedFileSystem ntfs = opens(7);
    EXPECT_NE(dynamic_cast<CFileSystem_NTFS*>(ntfs.parser.get()), nullptr);
    EXPECT_EQ(ntfs.rootId, 5u);
    for (const std::uint32_t none : {0u, 5u, 128u, 131u, 1000u}) EXPECT_EQ(opens(none).parser, nullptr) << none;
}

}  // namespace
}  // namespace tl
