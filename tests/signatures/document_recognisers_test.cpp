#include <gtest/gtest.h>

#include <cstring>

#include "filesystems/found_tree.h"
#include "fixture_support.h"
#include "platform/text.h"
#include "signatures/document_recognisers.h"
#include "storage/little_endian.h"
#include "storage/volume.h"
#include "test_support.h"

namespace tl {
namespace {

std::vector<std::uint8_t> Directory(std::initializer_list<std::pair<int, const char*>> names) {
    std::vector<std::uint8_t> d(100 * 128, 0);
    for (const auto& [k, name] : names) {
        const std::u16string n = platform::Utf8ToUtf16(name);
        for (std::size_t i = 0; i < n.size(); ++i) PutU16(d.data() + k * 128 + 2 * i, n[i]);
    }
    return d;
}

TEST(CompoundDocuments, DirectoryNamesDecideTheType) {
    EXPECT_EQ(ClassifyCompoundDirectory(Directory({{0, "Root Entry"}, {2, "WordDocument"}})), 109);
    EXPECT_EQ(ClassifyCompoundDirectory(Directory({{0, "ROOT ENTRY"}, {1, "Workbook"}, {2, "WordDocument"}})), 101);
    EXPECT_EQ(ClassifyCompoundDirectory(Directory({{0, "Root Entry"}, {3, "Symbol 1"}})), 500);
    EXPECT_EQ(ClassifyCompoundDirectory(Directory({{0, "Root Entry"}, {3, "Symbol"}})), 100);
    EXPECT_EQ(ClassifyCompoundDirectory(Directory({{0, "Not a root"}, {1, "WordDocument"}})), 100);
    EXPECT_EQ(ClassifyCompoundDirectory(Directory({{0, "Root Entry"}, {4, "powerpoint document"}})), 105);
    EXPECT_EQ(ClassifyCompoundDirectory(std::span<const std::uint8_t>()), 100);
}

class CompoundHeaders : public ::testing::Test {
protected:
    // A volume of 64 KiB holding one header at offset 0 and a directory.
    CompoundHeaders() : volume(VK_IMAGE, VolumeContext{}) {}
    std::int16_t Recognise(std::uint16_t shift, std::uint32_t fatSectors, std::uint32_t dirSector,
                           const std::vector<std::uint8_t>& dir = Directory({{0, "Root Entry"}, {1, "WordDocument"}})) {
        std::vector<std::uint8_t> bytes(64 * 1024, 0);
        PutU16(bytes.data() + 30, shift);
        PutU32(bytes.data() + 44, fatSectors);
        PutU32(bytes.data() + 48, dirSector);
        const std::uint64_t at = (std::uint64_t{dirSector} << (shift & 31)) + (std::uint64_t{1} << (shift & 31));
        if (at + dir.size() <= bytes.size()) std::memcpy(bytes.data() + at, dir.data(), dir.size());
        volume.SetDevice(std::make_shared<MemorySectorDevice>(bytes));
        volume.Size = bytes.size();
        record.Init();
        return RecogniseCompoundDocument(volume, record, std::span<const std::uint8_t>(bytes.data(), 512));
    }
    CVolume volume;
    CFoundObject record;
};

TEST_F(CompoundHeaders, SizeBoundAndHostileHeaders) {
    EXPECT_EQ(Recognise(9, 1, 2), 109);
    EXPECT_EQ(record.Size, 65536u);
    Recognise(12, 1, 2);
    EXPECT_EQ(record.Size, 4194304u);
    // Shifts of 0, 31 and 255 (low five bits: 31), a FAT count of 2^32-1, a
    // directory beyond the volume: no crash, type 100 where nothing can be read.
    EXPECT_EQ(Recognise(0, 1, 0), 100);
    EXPECT_EQ(Recognise(31, 0xFFFFFFFF, 1), 100);
    EXPECT_LE(record.Size, volume.Size);
    EXPECT_EQ(Recognise(255, 1, 0xFFFFFFFF), 100);
    EXPECT_EQ(Recognise(9, 0xFFFFFFFF, 1u << 30), 100);
    EXPECT_EQ(record.Size, 0xFFFFFFFFULL * 128 * 512);
}

TEST(SizeRules, FixedRulesAndChoices) {
    std::vector<std::uint8_t> block(512, 0);
    PutU32(block.data() + 2, 123456);
    std::vector<std::uint8_t> swf(512, 0);
    PutU32(swf.data() + 4, 1000);
    CFoundObject r;
    r.Init();
    r.TypeId = 503;
    ApplySizeRules(r, block);
    EXPECT_EQ(r.Size, 123456u);  // BMP: the size at byte 2
    r.TypeId = 502;
    ApplySizeRules(r, swf);
    EXPECT_EQ(r.Size, 1000u + 2048);
    r.TypeId = 504;
    r.DataOffset = 1048576;
    ApplySizeRules(r, block);
    EXPECT_EQ(r.DataOffset, 1015808u);
    r.DataOffset = 4096;
    ApplySizeRules(r, block);
    EXPECT_EQ(r.DataOffset, 4096u) << "no file begins before the volume";

    CFoundTree tree(nullptr, nullptr, nullptr);
    tree.BuildOffsetIndex();
    CFoundObject a, b, c;
    for (auto* o : {&a, &b, &c}) {
        o->Init();
        o->Flags = FO_BY_SIGNATURE | FO_DELETED;
    }
    a.DataOffset = 1000;
    a.TypeId = 1001;
    a.Id = 1;
    b.DataOffset = 5000;
    b.TypeId = 1002;
    b.Id = 2;
    c.DataOffset = 9000;
    c.TypeId = 1001;
    c.Id = 3;
    for (auto* o : {&a, &b, &c}) tree.AddToIndexes(std::make_unique<CFoundObject>(*o));
    EXPECT_EQ(SizeByChoice(a, SizeChoice::NextAnyType, 0, tree, nullptr), 4000u);
    EXPECT_EQ(SizeByChoice(a, SizeChoice::NextSameType, 0, tree, nullptr), 8000u);
    EXPECT_EQ(SizeByChoice(c, SizeChoice::NextAnyType, 0, tree, nullptr), 0u) << "no next object, no type: 0";
    EXPECT_EQ(SizeByChoice(a, SizeChoice::Custom, 2ULL << 30, tree, nullptr), 2147483648ULL);
}

TEST(CompoundDocuments, RealDocumentsMadeByATool) {
    const auto dir = test::FixturePath("samples");
    TL_REQUIRE_FIXTURE("make_samples.sh", dir);
    for (const auto& [file, type] : {std::pair{"sample.doc", 109}, std::pair{"sample.xls", 101}, std::pair{"sample.ppt", 105}}) {
        if (!std::filesystem::exists(dir / file)) continue;
        CVolume v(VK_IMAGE, VolumeContext{});
        v.DevicePath = (dir / file).string();
        v.QueryInformation();
        std::vector<std::uint8_t> block(512);
        ASSERT_EQ(v.ReadSectors(block.data(), 0, std::uint64_t{1}), 512u);
        CFoundObject r;
        r.Init();
        EXPECT_EQ(RecogniseCompoundDocument(v, r, block), type) << file;
        EXPECT_GE(r.Size, std::filesystem::file_size(dir / file)) << file;
    }
}

}  // namespace
}  // namespace tl
