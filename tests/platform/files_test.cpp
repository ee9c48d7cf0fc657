#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>

#include "platform/files.h"
#include "test_support.h"

namespace tl::platform {
namespace {

TEST(Files, CreateFolderChainMakesParentsAndNamesTheFolderItCannotMake) {
    test::ScratchDir dir;
    EXPECT_EQ(CreateFolderChain(dir / "a/b/c"), 0);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "a/b/c"));
    EXPECT_EQ(CreateFolderChain(dir / "a/b"), 0) << "a chain that exists is no failure";

    std::ofstream(dir / "a/file") << "x";
    std::filesystem::path failed;
    EXPECT_EQ(CreateFolderChain(dir / "a/file/d", &failed), ENOTDIR);
    EXPECT_EQ(failed, dir / "a/file");
    EXPECT_FALSE(std::filesystem::exists(dir / "a/file/d"));
}

}  // namespace
}  // namespace tl::platform
