#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "app/app_settings.h"
#include "app/filter_settings.h"
#include "app/languages.h"
#include "filesystems/found_object.h"
#include "platform/settings_store.h"
#include "signatures/signature_database.h"
#include "storage/local_computer.h"

namespace tl {
namespace {

constexpr const char* kRoot = "Software\\Tessa-Loft\\Documents\\1.0";

std::uint32_t U32At(const std::string& bytes, std::size_t offset) {
    std::uint32_t v;
    std::memcpy(&v, bytes.data() + offset, 4);
    return v;
}

CFoundObject File(const char* name, std::uint16_t flags = 0) {
    CFoundObject o;
    o.Id = 40;
    o.ParentId = 5;
    o.Flags = flags;
    o.SetName(name);
    return o;
}

TEST(FilterSettings, DefaultsAreTheDocumentedBytesAndNothingElse) {
    const FilterSettings f;
    const std::string b = f.Bytes();
    ASSERT_EQ(b.size(), 728u);
    std::string expected(728, '\0');
    expected[8] = 1;
    expected[48] = 1;
    expected[120] = '*';  // UTF-16LE "*", then NULs
    for (std::size_t i = 640; i < 648; ++i) expected[i] = '\xFF';  // DateTo
    for (std::size_t i = 656; i < 664; ++i) expected[i] = '\xFF';
    for (std::size_t i = 672; i < 680; ++i) expected[i] = '\xFF';
    EXPECT_EQ(b, expected);
}

TEST(FilterSettings, FieldsLieAtTheirOffsets) {
    FilterSettings f;
    f.SetDeletedOnly(true);
    f.SetUseWildcard(true);
    f.SetUseDate(true);
    f.SetUseSize(true);
    f.SetTypeMode(FilterSettings::kCheckedTypes);
    f.SetWildcard("R\xC3\xA9*");
    f.SetDateFrom(0x0102030405060708ull);
    f.SetDateTo(0x1112131415161718ull);
    const std::string b = f.Bytes();
    EXPECT_EQ(U32At(b, 20), 1u);
    EXPECT_EQ(U32At(b, 52), 1u);
    EXPECT_EQ(U32At(b, 56), 1u);
    EXPECT_EQ(U32At(b, 64), 1u);
    EXPECT_EQ(U32At(b, 80), 2u);
    EXPECT_EQ(b.substr(120, 8), std::string("R\0\xE9\0*\0\0\0", 8));
    EXPECT_EQ(U32At(b, 632), 0x05060708u);
    EXPECT_EQ(U32At(b, 636), 0x01020304u);
    EXPECT_EQ(U32At(b, 640), 0x15161718u);
    EXPECT_EQ(U32At(b, 644), 0x11121314u);
    EXPECT_EQ(f.Wildcard(), "R\xC3\xA9*");
}

TEST(FilterSettings, WildcardIsCutToItsField) {
    FilterSettings f;
    f.SetWildcard(std::string(300, 'x'));
    EXPECT_EQ(f.Wildcard(), std::string(255, 'x'));  // the terminator stays
    EXPECT_EQ(U32At(f.Bytes(), 632), 0u);              // DateFrom untouched
    // 254 letters and a character outside the BMP: its pair does not fit.
    f.SetWildcard(std::string(254, 'y') + "\xF0\x9F\x93\x84");
    EXPECT_EQ(f.Wildcard(), std::string(254, 'y'));
    f.SetWildcard("*.doc");
    EXPECT_EQ(f.Wildcard(), "*.doc");
}

TEST(FilterSettings, RecordRoundTripsThroughTheStoreAsTheUnnamedValue) {
    platform::SettingsStore store;
    const std::string key = FilterSettings::KeyPath(kRoot);
    EXPECT_EQ(key, std::string(kRoot) + "\\Filter");
    FilterSettings f;
    EXPECT_FALSE(f.Load(store, key));  // no value yet
    f.SetDeletedOnly(true);
    f.SetWildcard("*.pdf");
    f.SetDateFrom(123456789);
    f.SetU32(100, 0xDEADBEEF);  // a byte no field names survives too
    ASSERT_TRUE(f.Save(store, key));
    const auto raw = store.GetValue(key, "");
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->type, platform::ValueType::Binary);
    EXPECT_EQ(raw->data, f.Bytes());
    FilterSettings loaded;
    ASSERT_TRUE(loaded.Load(store, key));
    EXPECT_EQ(loaded.Bytes(), f.Bytes());

    // A value of another size or type is not taken.
    store.SetValue(key, "", platform::ValueType::Binary, std::string(727, '\0'));
    EXPECT_FALSE(loaded.Load(store, key));
    store.SetValue(key, "", platform::ValueType::Sz, std::string(728, 'a'));
    EXPECT_FALSE(loaded.Load(store, key));
    EXPECT_EQ(loaded.Bytes(), f.Bytes());
}

TEST(FilterSettings, ComputerStartsFromTheDefaultsAndWritesThemOnlyWhenTheKeyIsMissing) {
    AppSettings settings;
    settings.Reset(SettingsDefaults{});
    CLanguages texts{{}};
    const auto window = [] { return platform::WindowId{0}; };
    const std::string key = FilterSettings::KeyPath(kRoot);
    {
        platform::SettingsStore store;
        CLocalComputer computer(settings, store, kRoot, texts, window);
        computer.Log().SetDebugOutput({});
        const auto raw = store.GetValue(key, "");
        ASSERT_TRUE(raw);
        EXPECT_EQ(raw->data, FilterSettings().Bytes());
        EXPECT_EQ(computer.Filter().Bytes(), FilterSettings().Bytes());
    }
    {
        // A record left by an earlier run is neither overwritten nor taken:
        // every start shows all found objects.
        platform::SettingsStore store;
        FilterSettings earlier;
        earlier.SetDeletedOnly(true);
        earlier.Save(store, key);
        CLocalComputer computer(settings, store, kRoot, texts, window);
        computer.Log().SetDebugOutput({});
        EXPECT_EQ(store.GetValue(key, "")->data, earlier.Bytes());
        EXPECT_FALSE(computer.Filter().DeletedOnly());
    }
}

// ---------------------------------------------------------------- IsHidden

class IsHiddenTest : public ::testing::Test {
protected:
    IsHiddenTest() {
        FileSignature pdf;
        pdf.Id = 1000;
        pdf.FileExtensions = "pdf";
        pdf.View = 0;
        signatures.AddSignature(pdf);
        FileSignature doc;
        doc.Id = 1001;
        doc.FileExtensions = "doc;dot";
        doc.View = 1;
        signatures.AddSignature(doc);
        signatures.RebuildExtensions();
    }
    bool Hidden(const CFoundObject& o) const { return filter.IsHidden(&o, &signatures); }

    platform::SettingsStore store;
    SignatureDatabase signatures{store, kRoot};
    FilterSettings filter;
};

TEST_F(IsHiddenTest, DeletedOnlyKeepsDeletedObjectsAndFoldersThatHoldThem) {
    EXPECT_TRUE(filter.IsHidden(nullptr, &signatures));
    EXPECT_FALSE(Hidden(File("live.txt")));  // the defaults show everything
    filter.SetDeletedOnly(true);
    EXPECT_TRUE(Hidden(File("live.txt")));
    EXPECT_FALSE(Hidden(File("gone.txt", FO_DELETED)));
    EXPECT_TRUE(Hidden(File("Live Folder", FO_FOLDER)));
    EXPECT_FALSE(Hidden(File("Holds Deleted", FO_FOLDER | FO_HAS_DELETED)));
    // An empty file has an identifier of its own below zero: it is a found
    // file like any other, not a node to show regardless.
    CFoundObject empty = File("Empty File.txt");
    empty.Id = static_cast<std::uint64_t>(-65549);
    EXPECT_TRUE(Hidden(empty));
    empty.Flags |= FO_DELETED;
    EXPECT_FALSE(Hidden(empty));
}

TEST_F(IsHiddenTest, ContainerNodesAreAlwaysShown) {
    filter.SetDeletedOnly(true);
    filter.SetUseWildcard(true);
    filter.SetWildcard("nothing matches this");
    filter.SetTypeMode(FilterSettings::kKnownTypes);
    CFoundObject lostFiles = File("Lost files", FO_FOLDER);
    lostFiles.Id = ID_LOST_FILES;
    CFoundObject lostFragments = File("Filesystem (lost fragments)", FO_FOLDER);
    lostFragments.Id = ID_LOST_FRAGMENTS;
    CFoundObject group = File("Documents", FO_FOLDER);
    group.Id = 0xFFFEFFFF;
    group.ParentId = ID_LOST_FILES;
    CFoundObject volume = File("fat16.img", FO_VOLUME);
    volume.Id = static_cast<std::uint64_t>(-65537);
    for (const CFoundObject* o : {&lostFiles, &lostFragments, &group, &volume}) EXPECT_FALSE(Hidden(*o)) << o->Name;
}

TEST_F(IsHiddenTest, WildcardTestsFileNamesExactlyAndNeverFolders) {
    filter.SetUseWildcard(true);
    filter.SetWildcard("*.DOC");
    EXPECT_TRUE(Hidden(File("report.doc")));
    EXPECT_FALSE(Hidden(File("REPORT.DOC")));
    EXPECT_FALSE(Hidden(File("Docs", FO_FOLDER)));
    CFoundObject unnamed;
    unnamed.Id = 9;
    EXPECT_FALSE(Hidden(unnamed));
    filter.SetUseWildcard(false);
    EXPECT_FALSE(Hidden(File("report.doc")));
}

TEST_F(IsHiddenTest, DateRangeTestsTheCreationTimeInclusively) {
    filter.SetUseDate(true);
    filter.SetDateFrom(1000);
    filter.SetDateTo(2000);
    CFoundObject o = File("Old", FO_FOLDER);  // folders are dated too
    for (const auto& [time, hidden] : std::array<std::pair<std::uint64_t, bool>, 5>{
             {{999, true}, {1000, false}, {2000, false}, {2001, true}, {0, false}}}) {
        o.CreationTime = time;
        EXPECT_EQ(Hidden(o), hidden) << time;
    }
    filter.SetUseDate(false);
    o.CreationTime = 5000;
    EXPECT_FALSE(Hidden(o));
}

TEST_F(IsHiddenTest, TypeModesTestFilesOnly) {
    CFoundObject typed = File("jpeg_4096");
    typed.TypeId = 1000;  // a type given by the sector scan, not by the name
    filter.SetTypeMode(FilterSettings::kKnownTypes);
    EXPECT_FALSE(Hidden(File("a.DOT")));
    EXPECT_FALSE(Hidden(typed));
    EXPECT_TRUE(Hidden(File("a.xyz")));
    EXPECT_TRUE(Hidden(File("no extension")));
    EXPECT_FALSE(Hidden(File("Folder.xyz", FO_FOLDER)));
    EXPECT_TRUE(filter.IsHidden(&typed, nullptr));  // no database: no type is known
    // Checked types: a type's View switch, and no file of an unknown type.
    filter.SetTypeMode(FilterSettings::kCheckedTypes);
    EXPECT_FALSE(Hidden(File("a.doc")));
    EXPECT_TRUE(Hidden(File("a.pdf")));
    EXPECT_TRUE(Hidden(File("a.xyz")));
    EXPECT_FALSE(Hidden(File("Folder", FO_FOLDER)));
    signatures.FindById(1000)->View = 1;
    EXPECT_FALSE(Hidden(File("a.pdf")));
}

}  // namespace
}  // namespace tl
