#include <gtest/gtest.h>

#include <cstring>

#include "platform/files.h"
#include "platform/settings_store.h"
#include "signatures/signature_database.h"
#include "signatures/signature_matcher.h"
#include "test_support.h"

namespace tl {
namespace {

constexpr const char* kRoot = "Software\\Tessa-Loft\\Documents\\1.0";

std::string TypeKey(const char* id) { return std::string(kRoot) + "\\Signatures\\" + id; }

std::vector<std::uint8_t> BlockWith(std::string_view prefix) {
    std::vector<std::uint8_t> b(512, 0);
    std::memcpy(b.data(), prefix.data(), prefix.size());
    return b;
}

TEST(FileSignature, HeadIsByteForByteTheSignatureFileHead) {
    FileSignature s;
    s.Id = 0x01020304;
    s.SearchEnable = 0;
    s.DefaultSize = 77;
    s.Reserved52[0] = 0xAA;
    s.Reserved52[1379] = 0xBB;
    s.AddPatternText("0='%PDF'");
    s.AddDwordPattern(0x04034B50, 0);
    const auto image = s.Serialize();
    ASSERT_GE(image.size(), FileSignature::kHeadBytes);
    EXPECT_EQ(image[0], 0x04);
    EXPECT_EQ(image[3], 0x01);
    EXPECT_EQ(image[8], 0);         // SearchEnable
    EXPECT_EQ(image[16], 1);        // ShowFilesThisType
    EXPECT_EQ(image[36], 77);       // DefaultSize
    EXPECT_EQ(image[40], 100);      // Coincidence
    EXPECT_EQ(image[48], 50);       // SearchOrder
    EXPECT_EQ(image[52], 0xAA);
    EXPECT_EQ(image[1431], 0xBB);
    EXPECT_EQ(image[1432], 2);      // PatternCount
    std::string error;
    auto back = FileSignature::Deserialize(image, error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(back->Serialize(), image);
    EXPECT_TRUE(back->Matches(BlockWith("%PDF-1.7").data(), 512));
    EXPECT_TRUE(back->Matches(BlockWith("PK\x03\x04").data(), 512));
    EXPECT_FALSE(back->Matches(BlockWith("%PDx").data(), 512));
}

TEST(FileSignature, SignatureFilesThatDoNotFitAreRefused) {
    FileSignature s;
    s.AddPatternText("0='%PDF'");
    const auto image = s.Serialize();
    std::string error;
    auto cut = image;
    cut.resize(1000);
    EXPECT_FALSE(FileSignature::Deserialize(cut, error));
    cut = image;
    cut.pop_back();
    EXPECT_FALSE(FileSignature::Deserialize(cut, error));
    auto count = image;
    count[1432] = 200;  // more patterns than bytes
    EXPECT_FALSE(FileSignature::Deserialize(count, error));
    count[1432] = 0xFF;
    count[1435] = 0xFF;  // negative
    EXPECT_FALSE(FileSignature::Deserialize(count, error));
    auto trailing = image;
    trailing.push_back(0);
    EXPECT_FALSE(FileSignature::Deserialize(trailing, error));
    std::vector<std::uint8_t> huge(16385, 0);
    EXPECT_FALSE(FileSignature::Deserialize(huge, error));
    EXPECT_NE(error.find("16384"), std::string::npos);
}

TEST(FileSignature, FirstExtension) {
    FileSignature s;
    s.FileExtensions = " *.txt; .log ,csv";
    EXPECT_EQ(s.GetFirstExtension(), "txt");
    EXPECT_EQ(s.ExtensionList(), (std::vector<std::string_view>{"txt", "log", "csv"}));
    s.FileExtensions = ",;";
    EXPECT_EQ(s.GetFirstExtension(), "");
    s.FileExtensions = ";; *. ;tar.gz";
    EXPECT_EQ(s.GetFirstExtension(), "tar.gz") << "empty pieces are passed over";
}

class SignatureDatabaseTest : public ::testing::Test {
protected:
    platform::SettingsStore store;
    SignatureDatabase db{store, kRoot};
};

TEST_F(SignatureDatabaseTest, LoadReadsPatternsUpToTheFirstGapAndAtMost99) {
    store.SetString(TypeKey("00100"), "Title", "No patterns");
    store.SetString(TypeKey("01000"), "Title", "Gap");
    store.SetString(TypeKey("01000"), "Signature01", "0='AB'");
    store.SetString(TypeKey("01000"), "Signature03", "0='CD'");
    for (int n = 1; n <= 100; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "Signature%.2d", n);
        store.SetString(TypeKey("01001"), name, "0=#" + std::to_string(n));
    }
    store.SetDword(TypeKey("01001"), "DefaultSize", 4096);
    store.SetDword(TypeKey("01001"), "SearchEnable", 0);
    db.Load();
    ASSERT_EQ(db.Signatures().size(), 3u);
    const FileSignature* none = db.FindById(100);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->Patterns.empty());
    EXPECT_FALSE(none->Matches(BlockWith("").data(), 512));
    EXPECT_EQ(db.FindById(1000)->Patterns.size(), 1u);
    EXPECT_TRUE(db.FindById(1000)->Matches(BlockWith("AB").data(), 512));
    EXPECT_FALSE(db.FindById(1000)->Matches(BlockWith("CD").data(), 512));
    const FileSignature* many = db.FindById(1001);
    EXPECT_EQ(many->Patterns.size(), 99u);
    EXPECT_EQ(many->DefaultSize, 4096u);
    EXPECT_EQ(many->SearchEnable, 0u);
    EXPECT_EQ(many->SearchOrder, 50u);  // missing value: default
    EXPECT_EQ(db.FindById(5), nullptr);
}

TEST_F(SignatureDatabaseTest, GroupsAndExtensions) {
    store.SetString(TypeKey("01000"), "Group", "Documents");
    store.SetString(TypeKey("01000"), "FileExtensions", "doc;dot");
    store.SetString(TypeKey("01001"), "Group", "Unknown");
    store.SetString(TypeKey("01001"), "FileExtensions", " *.txt; .log ,csv");
    store.SetString(TypeKey("01002"), "Group", "Documents");
    store.SetString(TypeKey("01002"), "FileExtensions", "DOC,rtf");
    store.SetString(TypeKey("01003"), "Group", "documents");  // groups compare with case
    db.Load();
    ASSERT_EQ(db.Groups().size(), 2u);
    const FileSignature* a = db.FindById(1000);
    const FileSignature* c = db.FindById(1002);
    EXPECT_EQ(a->GroupId, c->GroupId);
    EXPECT_NE(a->GroupId, db.FindById(1003)->GroupId);
    EXPECT_EQ(db.FindById(1001)->GroupId, SignatureDatabase::kUnknownGroupId);
    EXPECT_EQ(db.GroupOf(*db.FindById(1001)), nullptr);
    const FileSignature* group = db.GroupOf(*a);
    ASSERT_TRUE(group);
    EXPECT_EQ(group->Title, "Documents");
    EXPECT_EQ(group->IsGroup, 1u);
    EXPECT_EQ(group->Id, 0u);
    EXPECT_GE(static_cast<std::int32_t>(a->GroupId), -2'000'000'000);
    EXPECT_LT(static_cast<std::int32_t>(a->GroupId), -65536);  // from the synthetic id counter

    // The first claim of an extension wins.
    EXPECT_EQ(db.Extensions().at("DOC"), a);
    EXPECT_EQ(db.Extensions().at("RTF"), c);
    for (const char* ext : {"TXT", "LOG", "CSV"}) EXPECT_EQ(db.Extensions().at(ext)->Id, 1001u) << ext;

    std::uint16_t type = 0;
    EXPECT_EQ(db.FindForObject(type, "a.b.Doc"), a);
    EXPECT_EQ(type, 1000);
    type = 1002;
    EXPECT_EQ(db.FindForObject(type, "x.doc"), c);  // the type wins over the name
    type = 0;
    EXPECT_EQ(db.FindForObject(type, "noextension"), nullptr);
    EXPECT_EQ(db.FindForObject(type, ""), nullptr);
    EXPECT_EQ(db.FindForObject(type, "x.unknownext"), nullptr);
    EXPECT_EQ(type, 0);
}

TEST_F(SignatureDatabaseTest, SaveKeepsStoredTextsAndImportedPatternsSurviveAReload) {
    test::ScratchDir dir;
    store.SetString(TypeKey("01000"), "Title", "Text type");
    store.SetString(TypeKey("01000"), "Signature01", "0='AB'");
    db.Load();

    // A signature file with a pattern kind that has no text form.
    FileSignature imported;
    imported.Id = 4321;
    imported.DefaultSize = 300;
    imported.Coincidence = 70;
    const std::uint8_t needle[] = {'n', 'e', 'e', 'd', 'l', 'e'};
    imported.AddPattern(kPatternSearchNoCase, needle, 0, 6, 0);
    std::string error;
    ASSERT_TRUE(db.ExportFile(imported, dir / "t.filesig", error)) << error;
    FileSignature* added = db.ImportFile("\"" + (dir / "t.filesig").string() + "\"");
    ASSERT_TRUE(added);
    EXPECT_EQ(db.Signatures().size(), 2u);

    auto block = BlockWith("......NEEDLE");
    SignatureDatabase reloaded(store, kRoot);
    reloaded.Load();
    ASSERT_EQ(reloaded.Signatures().size(), 2u);
    const FileSignature* again = reloaded.FindById(4321);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->DefaultSize, 300u);
    EXPECT_EQ(again->Coincidence, 70u);
    EXPECT_TRUE(again->Matches(block.data(), 512));
    EXPECT_FALSE(again->Matches(BlockWith("nothing here").data(), 512));
    EXPECT_EQ(reloaded.FindById(1000)->Patterns.size(), 1u);
    EXPECT_EQ(store.GetString(TypeKey("01000"), "Signature01"), "0='AB'");

    // Importing over an existing Id updates it and adds no second record.
    imported.Patterns.clear();
    imported.AddPatternText("0='ZZ'");
    imported.DefaultSize = 5;
    ASSERT_TRUE(db.ExportFile(imported, dir / "t2.filesig", error));
    store.SetString(TypeKey("04321"), "Title", "Kept title");
    db.FindById(4321)->Title = "Kept title";
    ASSERT_EQ(db.ImportFile((dir / "t2.filesig").string()), db.FindById(4321));
    EXPECT_EQ(db.Signatures().size(), 2u);
    EXPECT_EQ(db.FindById(4321)->DefaultSize, 5u);
    EXPECT_EQ(db.FindById(4321)->Title, "Kept title");
    EXPECT_TRUE(db.FindById(4321)->Matches(BlockWith("ZZ").data(), 512));
}

// The bytes of each pattern, in the signature-file form, for comparing
// pattern lists whatever their text form.
std::vector<std::vector<std::uint8_t>> PatternImages(const FileSignature& s) {
    std::vector<std::vector<std::uint8_t>> images;
    for (const auto& p : s.Patterns) {
        std::vector<std::uint8_t> image(p.Serialize({}));
        p.Serialize(image);
        images.push_back(std::move(image));
    }
    return images;
}

TEST_F(SignatureDatabaseTest, ImportOverATypeReplacesItsStoredPatterns) {
    test::ScratchDir dir;
    store.SetString(TypeKey("01000"), "Title", "Old type");
    store.SetString(TypeKey("01000"), "Signature01", "0='AB'");
    store.SetString(TypeKey("01000"), "Signature02", "0='CD'");
    store.SetString(TypeKey("01000"), "Signature03", "0='EF'");
    db.Load();

    FileSignature update;
    update.Id = 1000;
    update.AddPatternText("0='GH'");
    std::string error;
    ASSERT_TRUE(db.ExportFile(update, dir / "update.filesig", error)) << error;
    ASSERT_TRUE(db.ImportFile((dir / "update.filesig").string()));

    SignatureDatabase reloaded(store, kRoot);
    reloaded.Load();
    const FileSignature* again = reloaded.FindById(1000);
    ASSERT_TRUE(again);
    EXPECT_EQ(PatternImages(*again), PatternImages(*db.FindById(1000)));
    ASSERT_EQ(again->Patterns.size(), 1u);
    EXPECT_TRUE(again->Matches(BlockWith("GH").data(), 512));
    for (const char* old : {"AB", "CD", "EF"}) EXPECT_FALSE(again->Matches(BlockWith(old).data(), 512)) << old;
    EXPECT_EQ(again->Title, "Old type");
    for (const char* gone : {"Signature01", "Signature02", "Signature03"})
        EXPECT_FALSE(store.GetValue(TypeKey("01000"), gone)) << gone;

    // The other way round: a type whose patterns went back to texts keeps no
    // binary image of the patterns it had, and fewer texts leave no stale ones.
    FileSignature* live = db.FindById(1000);
    live->Patterns.clear();
    live->AddPatternText("0='IJ'");
    live->AddPatternText("0='KL'");
    ASSERT_TRUE(live->SaveToStore(store, kRoot));
    live->Patterns.pop_back();
    ASSERT_TRUE(live->SaveToStore(store, kRoot));
    EXPECT_FALSE(store.GetValue(TypeKey("01000"), FileSignature::kBinaryPatternsValue));
    EXPECT_FALSE(store.GetValue(TypeKey("01000"), "Signature02"));
    SignatureDatabase third(store, kRoot);
    third.Load();
    EXPECT_EQ(PatternImages(*third.FindById(1000)), PatternImages(*live));
    EXPECT_FALSE(third.FindById(1000)->Matches(BlockWith("GH").data(), 512));
    EXPECT_FALSE(third.FindById(1000)->Matches(BlockWith("KL").data(), 512));
    EXPECT_TRUE(third.FindById(1000)->Matches(BlockWith("IJ").data(), 512));
}

TEST_F(SignatureDatabaseTest, BadSignatureFilesChangeNothing) {
    test::ScratchDir dir;
    db.Load();
    EXPECT_EQ(db.ImportFile((dir / "missing.filesig").string()), nullptr);
    test::WriteFileBytes(dir / "short.filesig", std::string(100, '\0'));
    EXPECT_EQ(db.ImportFile((dir / "short.filesig").string()), nullptr);
    test::WriteFileBytes(dir / "huge.filesig", std::string(20000, '\0'));
    EXPECT_EQ(db.ImportFile((dir / "huge.filesig").string()), nullptr);
    std::string head(1436, '\0');
    head[1432] = 1;  // one pattern announced, none present
    test::WriteFileBytes(dir / "count.filesig", head);
    EXPECT_EQ(db.ImportFile((dir / "count.filesig").string()), nullptr);
    EXPECT_TRUE(db.Signatures().empty());
    EXPECT_FALSE(store.KeyExists(db.SignaturesKey()));
}

TEST_F(SignatureDatabaseTest, FirstSetIsInstalledOnlyIntoAnEmptyStore) {
    test::ScratchDir dir;
    test::WriteFileBytes(dir / "set.ini",
                         "; first set\n[00100]\nTitle=Compound\nGroup=Documents\nDefaultSize=2048\n"
                         "Signature01=0=xD0,1=xCF\nSignature02=0='AB'\nSignature04=0='never'\nJunk=1\n"
                         "[01000]\nTitle=Second\nSearchEnable=0\n[notanumber]\nTitle=x\n");
    EXPECT_EQ(db.InstallFirstSet(dir / "set.ini"), 2);
    EXPECT_EQ(db.InstallFirstSet(dir / "set.ini"), 0);
    db.Load();
    ASSERT_EQ(db.Signatures().size(), 2u);
    EXPECT_EQ(db.FindById(100)->DefaultSize, 2048u);
    EXPECT_EQ(db.FindById(100)->Patterns.size(), 2u);
    EXPECT_EQ(db.FindById(1000)->SearchEnable, 0u);
    EXPECT_EQ(store.ValueNames(TypeKey("00100")),
              (std::vector<std::string>{"DefaultSize", "Group", "Signature01", "Signature02", "Title"}));
}

}  // namespace
}  // namespace tl
