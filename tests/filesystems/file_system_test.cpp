#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "filesystems/file_system.h"

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

}  // namespace
}  // namespace tl
