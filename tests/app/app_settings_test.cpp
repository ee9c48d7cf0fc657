#include <gtest/gtest.h>

#include <cstring>

#include "app/app_settings.h"
#include "platform/settings_store.h"
#include "platform/text.h"

namespace tl {
namespace {

constexpr std::string_view kKey = "Software\\Tessa-Loft\\Documents\\1.0";

SettingsDefaults TestDefaults() {
    SettingsDefaults d;
    d.destinationFolder = "/home/user/Recovered Files";
    d.tempFolder = "/tmp";
    d.now = 133'000'000'000'000'000ULL;
    d.workAreaRight = 1600;
    d.workAreaBottom = 900;
    return d;
}

std::uint32_t U32At(const std::string& bytes, std::size_t offset) {
    std::uint32_t v;
    std::memcpy(&v, bytes.data() + offset, 4);
    return v;
}

TEST(AppSettings, DefaultsSitAtTheirOffsets) {
    AppSettings s;
    s.Reset(TestDefaults());
    const std::string b = s.Bytes();
    ASSERT_EQ(b.size(), 95612u);
    EXPECT_EQ(U32At(b, 0x24), 1u);           // StartupRescan
    EXPECT_EQ(U32At(b, 0x2C), 0xFFFFFFFFu);  // LanguageIndex -1
    EXPECT_EQ(U32At(b, 0x30), 0u);
    EXPECT_EQ(U32At(b, 0x34), 1u);
    for (std::size_t off : {0x38, 0x3C, 0x40, 0x44, 0x48, 0x4C, 0x50, 0x54, 0x58, 0x68, 0x6C, 0x98, 0x9C, 0xA4, 0xB4})
        EXPECT_EQ(U32At(b, off), 1u) << std::hex << off;
    for (std::size_t off : {0x5C, 0x60, 0x64, 0x70, 0x84, 0x88, 0x8C, 0x90, 0x94, 0xA0, 0xAC})
        EXPECT_EQ(U32At(b, off), 0u) << std::hex << off;
    EXPECT_EQ(U32At(b, 0x74), 10240u);
    EXPECT_EQ(U32At(b, 0x78), 30u);
    EXPECT_EQ(U32At(b, 0xA8), 3u);
    EXPECT_EQ(U32At(b, 0xB0), 10485760u);
    // NextUpdateCheck: the reset time plus 30 days.
    std::uint64_t next;
    std::memcpy(&next, b.data() + 0x7C, 8);
    EXPECT_EQ(next, TestDefaults().now + 30ULL * 86400 * 10'000'000);
    // WindowRect from the work area.
    EXPECT_EQ(static_cast<std::int32_t>(U32At(b, 0x560)), 400);
    EXPECT_EQ(static_cast<std::int32_t>(U32At(b, 0x564)), 150);
    EXPECT_EQ(U32At(b, 0x568), 800u);
    EXPECT_EQ(U32At(b, 0x56C), 600u);
    // Texts are NUL-terminated UTF-16LE.
    const std::string dest = platform::Utf8ToUtf16LeBytes("/home/user/Recovered Files");
    EXPECT_EQ(b.substr(0x570, dest.size()), dest);
    EXPECT_EQ(b.substr(0x570 + dest.size(), 2), std::string(2, '\0'));
    const std::string log = platform::Utf8ToUtf16LeBytes("Documents Tessa-Loft.log");
    EXPECT_EQ(b.substr(0x4570, log.size()), log);
    EXPECT_EQ(b.substr(0x4D70, 4), std::string("*\0\0\0", 4));
    EXPECT_EQ(s.Checksum(), s.ComputeChecksum());
}

TEST(AppSettings, ChecksumIsTheWrappingSumOfAllOtherWords) {
    AppSettings s;
    s.Reset(TestDefaults());
    s.SetU32(AppSettings::kRetryCount, 0xFFFFFFFF);
    const std::string b = s.Bytes();
    std::uint32_t sum = 0;
    for (std::size_t off = 4; off < b.size(); off += 4) sum += U32At(b, off);
    EXPECT_EQ(s.ComputeChecksum(), sum);
}

TEST(AppSettings, RecordRoundTripsByteForByteThroughTheStore) {
    platform::SettingsStore store;
    AppSettings a;
    a.Reset(TestDefaults());
    // Bytes no field names must survive too.
    a.SetU32(0x14570, 0x12345678);
    a.SetDestinationFolder("/media/\xC3\xBC" "ber/\xF0\x9F\x93\x84");
    a.SetU32(AppSettings::kChecksum, a.ComputeChecksum());
    ASSERT_TRUE(a.Save(store, kKey, "Settings"));
    AppSettings b;
    ASSERT_TRUE(b.Load(store, kKey, "Settings"));
    EXPECT_EQ(a.Bytes(), b.Bytes());
    EXPECT_EQ(b.DestinationFolder(), "/media/\xC3\xBC" "ber/\xF0\x9F\x93\x84");
    EXPECT_EQ(store.GetValue(kKey, "Settings")->data, a.Bytes());
}

TEST(AppSettings, DamagedOrForeignValuesAreRefused) {
    platform::SettingsStore store;
    AppSettings good;
    good.Reset(TestDefaults());
    std::string bytes = good.Bytes();
    bytes[0x1000] ^= 0x01;  // one byte changed
    store.SetValue(kKey, "Settings", platform::ValueType::Binary, bytes);
    AppSettings s;
    EXPECT_FALSE(s.Load(store, kKey, "Settings"));
    store.SetValue(kKey, "Settings", platform::ValueType::Binary, good.Bytes().substr(0, 95608));
    EXPECT_FALSE(s.Load(store, kKey, "Settings"));
    store.SetValue(kKey, "Settings", platform::ValueType::Sz, good.Bytes());
    EXPECT_FALSE(s.Load(store, kKey, "Settings"));
    EXPECT_EQ(s.Bytes(), std::string(95612, '\0'));  // untouched by failed loads
}

TEST(AppSettings, TextFieldsAreCutToTheirCapacity) {
    AppSettings s;
    s.SetLogFileName(std::string(2000, 'a'));
    EXPECT_EQ(s.LogFileName().size(), 1023u);
    // The cut never leaves half a surrogate pair.
    std::string pairs;
    for (int i = 0; i < 600; ++i) pairs += "\xF0\x9F\x93\x84";
    s.SetLogFileName(pairs);
    EXPECT_EQ(s.LogFileName().size(), 511u * 4);
    EXPECT_EQ(s.GetU32(AppSettings::kReservedText), 0u) << "text overflowed into the next field";
}

TEST(AppSettings, FieldsAreSetFromTextWithinTheirRanges) {
    AppSettings s;
    s.Reset(TestDefaults());
    const auto* retry = AppSettings::FindField("retrycount");
    ASSERT_NE(retry, nullptr);
    EXPECT_FALSE(s.SetFieldFromText(*retry, "7"));
    EXPECT_EQ(s.RetryCount(), 7u);
    EXPECT_TRUE(s.SetFieldFromText(*retry, "1000001"));
    EXPECT_TRUE(s.SetFieldFromText(*retry, "-1"));
    EXPECT_TRUE(s.SetFieldFromText(*retry, "7x"));
    EXPECT_EQ(s.RetryCount(), 7u);
    EXPECT_TRUE(s.SetFieldFromText(*AppSettings::FindField("ShowSplash"), "2"));
    EXPECT_TRUE(s.SetFieldFromText(*AppSettings::FindField("Checksum"), "0"));
    EXPECT_FALSE(s.SetFieldFromText(*AppSettings::FindField("LanguageIndex"), "-1"));
    EXPECT_EQ(s.LanguageIndex(), -1);
    EXPECT_FALSE(s.SetFieldFromText(*AppSettings::FindField("WindowRect"), "-10,20,1024,768"));
    EXPECT_EQ(s.GetWindowRect(), (WindowRect{-10, 20, 1024, 768}));
    EXPECT_TRUE(s.SetFieldFromText(*AppSettings::FindField("WindowRect"), "1,2,3"));
    EXPECT_TRUE(s.SetFieldFromText(*AppSettings::FindField("WindowRect"), "1,2,3,4,5"));
    EXPECT_EQ(s.FieldText(*AppSettings::FindField("WindowRect")), "-10,20,1024,768");
    EXPECT_FALSE(s.SetFieldFromText(*AppSettings::FindField("MaxLogSizeKB"), "0x400"));
    EXPECT_EQ(s.MaxLogSizeKB(), 1024u);
    EXPECT_TRUE(s.SetFieldFromText(*AppSettings::FindField("MaxLogSizeKB"), "0"));
    EXPECT_EQ(AppSettings::FindField("NoSuchField"), nullptr);
}

TEST(AppSettings, FieldTableMatchesTheRecordLayout) {
    std::uint32_t previousEnd = 0;
    for (const auto& f : AppSettings::Fields()) {
        EXPECT_EQ(f.offset % 4, 0u) << f.name;
        EXPECT_GE(f.offset, previousEnd) << f.name << " overlaps the field before it";
        std::uint32_t size = 4;
        if (f.kind == AppSettings::FieldKind::FileTime) size = 8;
        if (f.kind == AppSettings::FieldKind::Rect) size = 16;
        if (f.kind == AppSettings::FieldKind::Text) size = f.textUnits * 2;
        previousEnd = f.offset + size;
    }
    EXPECT_LE(previousEnd, 0x4D70u);
}

}  // namespace
}  // namespace tl
