// NTFS images damaged in the ways real disks and hostile files are: the
// analysis ends, with log lines and what it could read.
#include <gtest/gtest.h>

#include <functional>

#include "app/app_settings.h"
#include "app/event_log.h"
#include "filesystems/file_system_ntfs.h"
#include "filesystems/found_tree.h"
#include "fixture_support.h"
#include "storage/analysis_busy.h"
#include "storage/little_endian.h"
#include "storage/volume.h"
#include "test_support.h"

namespace tl {
namespace {

class NtfsHostile : public ::testing::Test {
protected:
    NtfsHostile() {
        settings.Reset(SettingsDefaults{});
        log.SetDebugOutput({});
        AnalysisBusy() = 1;
    }
    ~NtfsHostile() override { AnalysisBusy() = 0; }
    void SetUp() override { TL_REQUIRE_FIXTURE("make_ntfs_images.sh", test::FixturePath("ntfs")); }
    static std::vector<std::uint8_t> Load() {
        const std::string bytes = test::ReadFileBytes(test::FixturePath("ntfs") / "ntfs4k.img");
        return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
    }
    std::size_t Analyse(std::vector<std::uint8_t> image) {
        CVolume v(VK_IMAGE, VolumeContext{&settings, &log, nullptr, nullptr, {}});
        v.DevicePath = "/images/damaged.img";
        v.SetDevice(std::make_shared<MemorySectorDevice>(std::move(image)));
        v.QueryInformation();
        v.AnalyseFileSystem();
        return v.FoundTree().Count();
    }
    bool LogHas(const std::string& text) const {
        for (const auto& l : log.Lines())
            if (l.find(text) != std::string::npos) return true;
        return false;
    }
    // The offset of MFT record 0 and of its first attribute of `type`.
    static std::size_t Record0(const std::vector<std::uint8_t>& b) {
        return static_cast<std::size_t>(GetU64(b.data() + 0x30) * GetU16(b.data() + 11) * b[13]);
    }
    static std::size_t Attribute(const std::vector<std::uint8_t>& b, std::size_t record, std::uint32_t type) {
        std::size_t at = record + GetU16(b.data() + record + 0x14);
        while (at + 8 < b.size() && GetU32(b.data() + at) != 0xFFFFFFFF) {
            if (GetU32(b.data() + at) == type) return at;
            at += GetU32(b.data() + at + 4);
        }
        return 0;
    }

    AppSettings settings;
    CEventLog log{settings, [] { return platform::WindowId{0}; }};
};

TEST_F(NtfsHostile, DamagedBootSectorsMftsAndImages) {
    const auto intact = Load();
    ASSERT_GT(Analyse(intact), 20u);
    const std::size_t mft = Record0(intact);
    const std::size_t data = Attribute(intact, mft, 0x80);
    ASSERT_NE(data, 0u);
    const std::vector<std::pair<const char*, std::function<void(std::vector<std::uint8_t>&)>>> damages = {
        {"cluster size 0", [](auto& b) { b[13] = 0; }},
        {"MFT beyond the volume", [](auto& b) { PutU64(b.data() + 0x30, 1ULL << 40); PutU64(b.data() + 0x38, 1ULL << 40); }},
        {"MFT of 2^60 bytes", [&](auto& b) { PutU64(b.data() + data + 0x30, 1ULL << 60); }},
        {"MFT runs of 2^40 clusters", [&](auto& b) {
             const std::size_t pairs = data + GetU16(b.data() + data + 0x20);
             b[pairs] = 0x16;  // six length bytes
             for (int i = 1; i <= 6; ++i) b[pairs + i] = 0xFF;
         }},
        {"record 0 attribute of length 0", [&](auto& b) { PutU32(b.data() + data + 4, 0); }},
        {"torn update sequence", [&](auto& b) { b[mft + 510] ^= 0xFF; }},
        {"image cut in half", [](auto& b) { b.resize(b.size() / 2); }},
        {"image cut in the MFT", [&](auto& b) { b.resize(mft + 8192); }},
    };
    for (const auto& [what, damage] : damages) {
        auto image = intact;
        damage(image);
        const std::size_t before = log.LineCount();
        Analyse(image);  // must end
        EXPECT_GT(log.LineCount(), before) << what;
    }
    EXPECT_TRUE(LogHas("CFileSystem_NTFS: Load MFT failed."));
}

TEST(NtfsAttributeList, ThatPointsToItselfOrLoopsIsReadOnce) {
    CVolume volume(VK_IMAGE, VolumeContext{});
    CFileSystem_NTFS fs(volume);
    CMftRecordParser parser(fs);
    std::vector<std::uint8_t> r(1024, 0);
    PutU32(r.data(), 0x454C4946);
    PutU16(r.data() + 4, 0x30);
    PutU16(r.data() + 6, 3);
    PutU16(r.data() + 0x14, 0x38);
    PutU32(r.data() + 0x2C, 40);  // record 40
    // A resident $ATTRIBUTE_LIST naming record 40 itself and record 41 many times.
    const std::size_t at = 0x38;
    const std::uint32_t entries = 25;
    const std::uint32_t length = 0x18 + entries * 0x20;
    PutU32(r.data() + at, 0x20);
    PutU32(r.data() + at + 4, length);
    PutU32(r.data() + at + 0x10, entries * 0x20);
    PutU16(r.data() + at + 0x14, 0x18);
    for (std::uint32_t i = 0; i < entries; ++i) {
        std::uint8_t* e = r.data() + at + 0x18 + i * 0x20;
        PutU32(e, 0x80);
        PutU16(e + 4, 0x20);
        PutU64(e + 0x10, i % 2 ? 40 : 41);
    }
    PutU32(r.data() + at + length, 0xFFFFFFFF);
    ASSERT_TRUE(parser.Load(r));
    parser.LoadExtensions();  // no MFT behind it: nothing to read, and it ends
    EXPECT_TRUE(parser.Runs.empty());
}

}  // namespace
}  // namespace tl
