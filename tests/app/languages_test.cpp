#include <gtest/gtest.h>

#include <set>

#include "app/ini_file.h"
#include "app/languages.h"
#include "app/string_ids.h"
#include "app/string_table.h"
#include "platform/files.h"
#include "platform/text.h"
#include "test_support.h"

namespace tl {
namespace {

using test::ScratchDir;
using test::WriteFileBytes;

// A window the way the interface will present one.
class FakeWindow : public ITranslatableWindow {
public:
    bool exists = true;
    bool dialog = true;
    std::string caption = "Caption";
    std::map<int, std::string> children;
    int languageChanged = 0;
    std::unique_ptr<ITranslatableMenu> menuBar;

    bool Exists() const override { return exists; }
    bool IsDialog() const override { return dialog; }
    std::string Caption() const override { return caption; }
    void SetCaption(const std::string& t) override { caption = t; }
    std::vector<int> ChildControlIds() const override {
        std::vector<int> ids;
        for (const auto& [id, text] : children) ids.push_back(id);
        return ids;
    }
    void SetChildText(int id, const std::string& t) override { children[id] = t; }
    ITranslatableMenu* MenuBar() override { return menuBar.get(); }
    void LanguageChanged() override { ++languageChanged; }
};

class FakeMenu : public ITranslatableMenu {
public:
    std::vector<Item> items;
    int refreshed = 0;
    bool Exists() const override { return true; }
    std::vector<Item> Items() const override { return items; }
    void SetItemText(const std::vector<int>& path, const std::string& text) override {
        Item* item = &items.at(static_cast<std::size_t>(path.at(0)));
        for (std::size_t i = 1; i < path.size(); ++i) item = &item->submenu.at(static_cast<std::size_t>(path[i]));
        item->text = text;
    }
    void Refresh() override { ++refreshed; }
};

class FakeToolBar : public ITranslatableToolBar {
public:
    std::vector<Button> buttons;
    bool Exists() const override { return true; }
    std::vector<Button> Buttons() const override { return buttons; }
    void SetButtonText(int id, const std::string& text) override {
        for (auto& b : buttons)
            if (b.commandId == id) b.text = text;
    }
};

class LanguagesTest : public ::testing::Test {
protected:
    void Write(const std::string& name, const std::string& bytes) { WriteFileBytes(dir / (name + ".lng"), bytes); }
    ScratchDir dir;
};

TEST_F(LanguagesTest, TranslationsEscapesAndFallbacks) {
    Write("English", "[StringsTable]\n");
    Write("Test", "\xEF\xBB\xBF[LanguageInfo]\nTranslatorName=Ann\n\n[StringsTable]\n"
                  "134=Gefunden: %s\n"
                  "182=first\\nsecond\\tthird\\\\x\n"
                  "206=\"  padded  \"\n"
                  "136=Wrong %s %s\n");
    CLanguages langs({dir / "missing", dir.path()});
    EXPECT_EQ(langs.Folder(), dir.path());
    EXPECT_EQ(langs.CurrentName(), "English");
    EXPECT_EQ(langs.TranslatorName(), "Unknown");
    ASSERT_TRUE(langs.Apply(langs.IndexOf("test")));
    EXPECT_EQ(langs.TranslatorName(), "Ann");
    EXPECT_EQ(langs.Format(ids::kFoundFile, "a.doc"), "Gefunden: a.doc");
    EXPECT_EQ(langs.GetString(ids::kNoFilesFound), "first\nsecond\tthird\\\\x");
    EXPECT_EQ(langs.GetString(ids::kOpenFailedNoApplication), "  padded  ");
    // Missing key: the built-in English text.
    EXPECT_EQ(langs.GetString(ids::kConfirmation), "Confirmation");
    // Placeholders that do not fit: the English text, formatted.
    EXPECT_EQ(langs.Format(ids::kAnalysisCompletedCounts, 2, 5), "Analysis completed. Found 2 folder(s) and 5 file(s).");
    // Unknown id with no text anywhere.
    EXPECT_EQ(langs.GetString(99999), "");
    // Index beyond the list: not applied.
    EXPECT_FALSE(langs.Apply(7));
    EXPECT_EQ(langs.CurrentName(), "Test");
}

TEST_F(LanguagesTest, BrokenFilesFallBackToEnglishWithoutCrashing) {
    // A section header without its ']' must not pour its keys into the table.
    Write("Broken", "[StringsTable\n157=Wrong section\n[StringsTable]\n158=Sicher?\n");
    // Latin-1 bytes are not UTF-8: an encoding we cannot tell.
    Write("Latin", "[StringsTable]\n157=Best\xE4tigung\n");
    std::string utf16 = "\xFF\xFE";
    utf16 += platform::Utf8ToUtf16LeBytes("[StringsTable]\r\n157=Best\xC3\xA4tigung\r\n");
    Write("Wide", utf16);
    CLanguages langs({dir.path()});
    EXPECT_EQ(langs.Current(), -1);  // no English file: built-in texts

    ASSERT_TRUE(langs.Apply(langs.IndexOf("Broken")));
    EXPECT_EQ(langs.GetString(ids::kConfirmation), "Confirmation");
    EXPECT_EQ(langs.GetString(ids::kConfirmExitApplication), "Sicher?");

    ASSERT_TRUE(langs.Apply(langs.IndexOf("Latin")));
    EXPECT_EQ(langs.GetString(ids::kConfirmation), "Confirmation");
    auto problem = langs.TakeProblem();
    ASSERT_TRUE(problem);
    EXPECT_EQ(problem->id, ids::kLanguageFileUnknownEncoding);

    ASSERT_TRUE(langs.Apply(langs.IndexOf("Wide")));
    EXPECT_EQ(langs.GetString(ids::kConfirmation), "Best\xC3\xA4tigung");
}

TEST_F(LanguagesTest, EncodingsAreRecognised) {
    EXPECT_EQ(IniFile::DecodeText("\xEF\xBB\xBFk=\xC3\xA4"), "k=\xC3\xA4");
    EXPECT_EQ(IniFile::DecodeText(std::string("\xFE\xFF\0k\0=\0x", 8)), "k=x");
    EXPECT_EQ(IniFile::DecodeText(std::string("[\0S\0]\0\n\0", 8)), "[S]\n");  // UTF-16LE, no BOM
    EXPECT_FALSE(IniFile::DecodeText("k=\xFF\xFE\xFD"));
    EXPECT_FALSE(IniFile::DecodeText(std::string("k=\0x", 4)));
    // Long values are kept up to 4096 characters.
    const auto ini = IniFile::Parse("[s]\nk=" + std::string(5000, 'v') + "\nk=second\n");
    EXPECT_EQ(ini.Get("S", "K")->size(), 4096u);
}

TEST_F(LanguagesTest, RegisteredTargetsAreTranslatedAndDroppedWhenGone) {
    Write("English", "[Dlg]\n0=Dialog title\n1001=Label text\n\n"
                     "[Dlg.menu]\n0=&File\n32787=&Recover\n0.1=Sub&menu\n\n"
                     "[Plain]\n0=Plain title\n1001=never used\n\n"
                     "[FindBar]\n33083=Suchen\n");
    CLanguages langs({dir.path()});

    auto dlg = std::make_shared<FakeWindow>();
    dlg->children = {{1001, "old"}, {154, "old builtin"}, {4242, "keeps its text"}, {-1, "static"}, {65535, "static2"}};
    auto menu = std::make_unique<FakeMenu>();
    menu->items = {{0, "File", {{32787, "Recover", {}}, {0, "Submenu", {{32774, "Analyze", {}}}}, {0, "", {}}}}};
    FakeMenu* menuPtr = menu.get();
    dlg->menuBar = std::move(menu);
    langs.RegisterWindow("Dlg", dlg);
    EXPECT_EQ(dlg->caption, "Dialog title");
    EXPECT_EQ(dlg->children[1001], "Label text");
    EXPECT_EQ(dlg->children[154], std::string(BuiltinString(154)));  // default: the built-in string of that id
    EXPECT_EQ(dlg->children[4242], "keeps its text");
    EXPECT_EQ(dlg->children[-1], "static");
    EXPECT_EQ(dlg->languageChanged, 1);
    EXPECT_EQ(menuPtr->items[0].text, "&File");
    EXPECT_EQ(menuPtr->items[0].submenu[0].text, "&Recover");
    EXPECT_EQ(menuPtr->items[0].submenu[1].text, "Sub&menu");
    EXPECT_EQ(menuPtr->items[0].submenu[1].submenu[0].text, "Analyze");
    EXPECT_EQ(menuPtr->refreshed, 1);

    auto plain = std::make_shared<FakeWindow>();
    plain->dialog = false;
    plain->children = {{1001, "untouched"}};
    langs.RegisterWindow("Plain", plain);
    EXPECT_EQ(plain->caption, "Plain title");
    EXPECT_EQ(plain->children[1001], "untouched");

    auto bar = std::make_shared<FakeToolBar>();
    bar->buttons = {{33083, "Search"}, {33084, ""}};
    langs.RegisterToolBar("FindBar", bar);
    EXPECT_EQ(bar->buttons[0].text, "Suchen");
    EXPECT_EQ(bar->buttons[1].text, "");

    // A window that was closed is dropped when the language is applied again.
    dlg->exists = false;
    EXPECT_TRUE(langs.Apply(-1));
    EXPECT_EQ(dlg->languageChanged, 1);
    EXPECT_EQ(plain->languageChanged, 2);
    EXPECT_EQ(dlg.use_count(), 1);
}

// The shipped language files: English is the built-in table itself, and every
// translation keeps the placeholders of the English text.
TEST(ShippedLanguageFiles, EnglishMatchesTheTableAndTranslationsKeepPlaceholders) {
    const std::filesystem::path folder = std::filesystem::path(TL_SOURCE_DIR) / "Languages";
    CLanguages langs({folder});
    ASSERT_GE(langs.Names().size(), 2u);
    ASSERT_EQ(langs.CurrentName(), "English");
    EXPECT_FALSE(langs.TakeProblem());
    for (const auto& e : StringTableEntries()) EXPECT_EQ(langs.GetString(e.id), e.text) << e.id;

    const auto placeholders = [](std::string_view text) {
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '%') continue;
            std::size_t j = i + 1;
            while (j < text.size() && std::string_view("-+ #0123456789.I").find(text[j]) != std::string_view::npos) ++j;
            if (j < text.size()) out += std::string(text.substr(i, j - i + 1)) + ",";
            i = j;
        }
        return out;
    };
    for (std::size_t i = 0; i < langs.Names().size(); ++i) {
        if (langs.Names()[i] == "English") continue;
        ASSERT_TRUE(langs.Apply(static_cast<int>(i)));
        EXPECT_FALSE(langs.TakeProblem()) << langs.Names()[i];
        std::size_t translated = 0;
        for (const auto& e : StringTableEntries()) {
            const std::string t = langs.GetString(e.id);
            if (t != e.text) ++translated;
            EXPECT_EQ(placeholders(t), placeholders(e.text)) << langs.Names()[i] << " " << e.id;
        }
        EXPECT_GT(translated, StringTableEntries().size() / 2) << langs.Names()[i];
    }
}

TEST(StringTable, IdsAreSortedUniqueAndLookedUp) {
    const auto entries = StringTableEntries();
    ASSERT_FALSE(entries.empty());
    for (std::size_t i = 1; i < entries.size(); ++i) EXPECT_LT(entries[i - 1].id, entries[i].id);
    EXPECT_EQ(BuiltinString(ids::kFoundFile), "Found file: %s");
    EXPECT_EQ(BuiltinString(ids::kErrorAdminAccessNecessary), "Error: Administrator access necessary");
    EXPECT_EQ(BuiltinString(57214), "No file system detected! File system analysis skipped.");
    EXPECT_EQ(BuiltinString(1), "");
}

}  // namespace
}  // namespace tl
