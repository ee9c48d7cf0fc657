#include <gtest/gtest.h>

#include <cstring>

#include "filesystems/file_system_ntfs.h"
#include "storage/little_endian.h"
#include "storage/volume.h"

namespace tl {
namespace {

struct Fixture {
    Fixture() : volume(VK_IMAGE, VolumeContext{}), fs(volume), parser(fs) {
        fs.ClusterBytes = 4096;
        fs.VolumeClusters = 1 << 20;
    }
    CVolume volume;
    CFileSystem_NTFS fs;
    CMftRecordParser parser;
};

// A record of `size` bytes with the update sequence at 0x30 and attributes from 0x38.
std::vector<std::uint8_t> Record(std::size_t size, std::uint16_t flags = 1) {
    std::vector<std::uint8_t> r(size, 0);
    PutU32(r.data(), 0x454C4946);
    PutU16(r.data() + 4, 0x30);
    PutU16(r.data() + 6, static_cast<std::uint16_t>(size / 512 + 1));
    PutU16(r.data() + 0x14, 0x38);
    PutU16(r.data() + 0x16, flags);
    PutU32(r.data() + 0x1C, static_cast<std::uint32_t>(size));
    PutU32(r.data() + 0x38, 0xFFFFFFFF);
    PutU16(r.data() + 0x30, 0x0007);  // the sequence number
    for (std::size_t i = 1; i <= size / 512; ++i) {
        PutU16(r.data() + 0x30 + 2 * i, static_cast<std::uint16_t>(0xA000 + i));  // the saved bytes
        PutU16(r.data() + i * 512 - 2, 0x0007);
    }
    return r;
}

// Appends a resident attribute and moves the end marker.
std::size_t AddResident(std::vector<std::uint8_t>& r, std::size_t at, std::uint32_t type, const std::vector<std::uint8_t>& content) {
    const std::uint32_t length = static_cast<std::uint32_t>((0x18 + content.size() + 7) / 8 * 8);
    PutU32(r.data() + at, type);
    PutU32(r.data() + at + 4, length);
    PutU32(r.data() + at + 0x10, static_cast<std::uint32_t>(content.size()));
    PutU16(r.data() + at + 0x14, 0x18);
    std::memcpy(r.data() + at + 0x18, content.data(), content.size());
    PutU32(r.data() + at + length, 0xFFFFFFFF);
    return at + length;
}

std::vector<std::uint8_t> FileName(std::uint64_t parent, const std::u16string& name, std::uint8_t ns) {
    std::vector<std::uint8_t> c(0x42 + 2 * name.size(), 0);
    PutU64(c.data(), parent);
    c[0x40] = static_cast<std::uint8_t>(name.size());
    c[0x41] = ns;
    for (std::size_t i = 0; i < name.size(); ++i) PutU16(c.data() + 0x42 + 2 * i, name[i]);
    return c;
}

TEST(MftRecord, FixupsCoverEveryStrideOfLargeRecords) {
    Fixture f;
    auto r = Record(4096);
    ASSERT_TRUE(f.parser.Load(r));
    EXPECT_FALSE(f.parser.FixupsTorn);
    for (std::size_t i = 1; i <= 8; ++i) EXPECT_EQ(GetU16(f.parser.Buffer.data() + i * 512 - 2), 0xA000 + i) << i;
    r[3 * 512 - 2] = 0x99;  // a torn sector
    ASSERT_TRUE(f.parser.Load(r));
    EXPECT_TRUE(f.parser.FixupsTorn);
    PutU16(r.data() + 6, 9000);  // an array far past the record: left alone
    ASSERT_TRUE(f.parser.Load(r));
}

TEST(MftRecord, MappingPairs) {
    Fixture f;
    f.parser.Buffer = {0x21, 0x18, 0x34, 0x56, 0x11, 0x05, 0xF0, 0x00};
    std::vector<MFT_RUN> runs;
    ASSERT_TRUE(f.parser.DecodeRuns(0, f.parser.Buffer.size(), 0, runs));
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].Lcn, 0x5634u);
    EXPECT_EQ(runs[0].Length, 0x18u);
    EXPECT_EQ(runs[1].Lcn, 0x5634u - 16);  // a negative delta moves back
    EXPECT_EQ(runs[1].FirstVcn, 0x18u);
    EXPECT_EQ(runs[1].LastVcn, 0x18u + 4);
    // A sparse run (no offset field), an absurd length, a list cut short.
    f.parser.Buffer = {0x01, 0x10, 0x00};
    runs.clear();
    ASSERT_TRUE(f.parser.DecodeRuns(0, 3, 0, runs));
    EXPECT_EQ(runs[0].Sparse, 1u);
    // An offset field of 0 is cluster 0 ($Boot's run), or for a later run
    // the same cluster as the run before: real clusters, not a hole.
    f.parser.Buffer = {0x11, 0x02, 0x00, 0x11, 0x03, 0x00, 0x01, 0x04, 0x00};
    runs.clear();
    ASSERT_TRUE(f.parser.DecodeRuns(0, f.parser.Buffer.size(), 0, runs));
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].Sparse, 0u);
    EXPECT_EQ(runs[0].Lcn, 0u);
    EXPECT_EQ(runs[1].Sparse, 0u);
    EXPECT_EQ(runs[2].Sparse, 1u);
    f.parser.Buffer = {0x08, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x00};  // 2^56 clusters
    runs.clear();
    EXPECT_FALSE(f.parser.DecodeRuns(0, f.parser.Buffer.size(), 0, runs));
    EXPECT_TRUE(runs.empty());
    f.parser.Buffer = {0x31, 0x05, 0x01};
    EXPECT_FALSE(f.parser.DecodeRuns(0, 3, 0, runs));
    f.parser.Buffer = {0x11, 0x05, 0xF0, 0x00};  // before cluster 0
    EXPECT_FALSE(f.parser.DecodeRuns(0, 4, 0, runs));
}

TEST(MftRecord, NamesTimesAndHostileAttributes) {
    Fixture f;
    auto r = Record(1024);
    std::size_t at = 0x38;
    std::vector<std::uint8_t> si(0x48, 0);
    PutU64(si.data(), 111);
    PutU64(si.data() + 8, 222);
    PutU64(si.data() + 0x18, 333);
    at = AddResident(r, at, 0x10, si);
    at = AddResident(r, at, 0x30, FileName(0x0002000000000005ULL, u"LONGNA~1.TXT", 2));
    at = AddResident(r, at, 0x30, FileName(5, u"Long name.txt", 1));
    at = AddResident(r, at, 0x80, std::vector<std::uint8_t>(42, 'x'));
    ASSERT_TRUE(f.parser.Load(r));
    CFoundObject o;
    o.Init();
    f.parser.FillRecord(o);
    EXPECT_EQ(o.GetName(), "Long name.txt");
    EXPECT_EQ(o.ParentId, 5u) << "the sequence number is not part of the parent";
    EXPECT_EQ(o.CreationTime, 111u);
    EXPECT_EQ(o.ModificationTime, 222u);
    EXPECT_EQ(o.AccessTime, 333u);
    EXPECT_EQ(o.Size, 42u);
    EXPECT_TRUE(f.parser.Runs.empty()) << "resident data has no runs";
    std::uint8_t out[64] = {};
    EXPECT_EQ(f.parser.ReadStream(40, 10, out), 2u);

    // An attribute of length 0, and one running past the record: the walk stops there.
    auto bad = r;
    PutU32(bad.data() + 0x38 + 4, 0);
    ASSERT_TRUE(f.parser.Load(bad));
    EXPECT_EQ(f.parser.FindAttribute(0x30), 0u);
    bad = r;
    PutU32(bad.data() + 0x38 + 4, 0x10000);
    ASSERT_TRUE(f.parser.Load(bad));
    EXPECT_EQ(f.parser.FindAttribute(0x80), 0u);
    // A resident content claiming more bytes than its attribute holds.
    bad = r;
    PutU32(bad.data() + at - 0x30 + 0x10, 0x7FFFFFFF);
    ASSERT_TRUE(f.parser.Load(bad));
    CFoundObject o2;
    o2.Init();
    f.parser.FillRecord(o2);
}

TEST(NtfsBoot, RecordSizesFromTheBootSector) {
    Fixture f;
    auto& b = f.volume.BootSector;
    PutU16(b.data() + 11, 512);
    b[13] = 8;
    PutU64(b.data() + 0x28, 65535);
    b[0x40] = 0xF6;
    ASSERT_TRUE(f.fs.ReadBootParameters());
    EXPECT_EQ(f.fs.RecordSize, 1024u);
    b[0x40] = 0xF4;
    ASSERT_TRUE(f.fs.ReadBootParameters());
    EXPECT_EQ(f.fs.RecordSize, 4096u) << "a negative value is a power of two";
    b[0x40] = 0x01;
    ASSERT_TRUE(f.fs.ReadBootParameters());
    EXPECT_EQ(f.fs.RecordSize, 4096u) << "one 4096-byte cluster";
    b[13] = 0;
    EXPECT_FALSE(f.fs.ReadBootParameters()) << "a cluster size of 0";
}

}  // namespace
}  // namespace tl
