#include <gtest/gtest.h>

#include <sys/stat.h>

#include "platform/settings_store.h"
#include "test_support.h"

namespace tl::platform {
namespace {

using test::ScratchDir;

TEST(SettingsStore, KeysAndValuesPersistAndIgnoreCase) {
    ScratchDir dir;
    const auto file = dir / "sub" / "settings.sqlite";
    {
        SettingsStore store(file);
        EXPECT_TRUE(store.Problem().empty());
        EXPECT_TRUE(store.Persistent());
        ASSERT_TRUE(store.SetValue("Software\\Tessa-Loft\\Documents\\1.0", "Settings", ValueType::Binary,
                                   std::string("\0\1\2", 3)));
        ASSERT_TRUE(store.SetDword("Software\\Tessa-Loft\\Documents\\1.0\\Signatures\\00001", "Id", 0xDEADBEEF));
        ASSERT_TRUE(store.SetString("Software\\Tessa-Loft\\Documents\\1.0\\Signatures\\00001", "Name",
                                    "Word \xC3\xA4"));
    }
    SettingsStore store(file);
    const auto v = store.GetValue("software\\tessa-loft\\documents\\1.0", "SETTINGS");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->type, ValueType::Binary);
    EXPECT_EQ(v->data, std::string("\0\1\2", 3));
    EXPECT_EQ(store.GetDword("Software\\Tessa-Loft\\Documents\\1.0\\Signatures\\00001", "id"), 0xDEADBEEFu);
    EXPECT_EQ(store.GetString("\\Software\\Tessa-Loft\\Documents\\1.0\\Signatures\\00001\\", "Name"),
              "Word \xC3\xA4");
    // Typed reads refuse a value of another type.
    EXPECT_FALSE(store.GetDword("Software\\Tessa-Loft\\Documents\\1.0", "Settings"));
    EXPECT_TRUE(store.KeyExists("SOFTWARE\\Tessa-Loft"));
    EXPECT_EQ(store.SubKeys("Software\\Tessa-Loft\\Documents\\1.0"), std::vector<std::string>{"Signatures"});
    EXPECT_EQ(store.ValueNames("Software\\Tessa-Loft\\Documents\\1.0\\Signatures\\00001"),
              (std::vector<std::string>{"Id", "Name"}));
}

TEST(SettingsStore, DeleteKeyRemovesTheSubtreeOnly) {
    SettingsStore store;
    store.SetDword("A\\B", "x", 1);
    store.SetDword("A\\B\\C", "y", 2);
    store.SetDword("A\\BC", "z", 3);  // a sibling whose name starts the same
    ASSERT_TRUE(store.DeleteKey("a\\b"));
    EXPECT_FALSE(store.KeyExists("A\\B"));
    EXPECT_FALSE(store.KeyExists("A\\B\\C"));
    EXPECT_FALSE(store.GetDword("A\\B\\C", "y"));
    EXPECT_EQ(store.GetDword("A\\BC", "z"), 3u);
    EXPECT_TRUE(store.DeleteValue("A\\BC", "Z"));
    EXPECT_FALSE(store.DeleteValue("A\\BC", "z"));
}

TEST(SettingsStore, FileThatIsNotADatabaseIsKeptAsideAndAFreshOneStarted) {
    ScratchDir dir;
    const auto file = dir / "settings.sqlite";
    const std::string garbage(4096, 'x');
    test::WriteFileBytes(file, garbage);
    SettingsStore store(file);
    EXPECT_FALSE(store.Problem().empty());
    EXPECT_TRUE(store.Persistent());
    EXPECT_FALSE(store.GetValue("Software", "Settings"));
    EXPECT_TRUE(store.SetDword("K", "v", 7));
    // Nothing the user had is destroyed.
    EXPECT_EQ(test::ReadFileBytes(dir / "settings.sqlite.corrupt"), garbage);
}

TEST(SettingsStore, UnopenableFileFallsBackToMemory) {
    ScratchDir dir;
    // A folder where the database file should be: cannot be opened as a file.
    std::filesystem::create_directories(dir / "settings.sqlite");
    SettingsStore store(dir / "settings.sqlite");
    EXPECT_FALSE(store.Problem().empty());
    EXPECT_FALSE(store.Persistent());
    EXPECT_TRUE(store.SetDword("K", "v", 7));
    EXPECT_EQ(store.GetDword("K", "v"), 7u);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "settings.sqlite"));
}

}  // namespace
}  // namespace tl::platform
