// The file-name rules both programs share, in the 8-bit form patchgen uses; the launcher compiles the
// same templates for UTF-16 and its own tests read manifests through them.
#include <gtest/gtest.h>

#include "common/PathRules.h"

namespace {

TEST(PathRules, TopLevelLauncherServedPathsAndFileKeys) {
    using path_rules::FileKey;
    using path_rules::IsTopLevelLauncher;
    using path_rules::ServedPath;
    using sv = std::string_view;

    EXPECT_TRUE(IsTopLevelLauncher(sv("Launcher.exe")));
    EXPECT_TRUE(IsTopLevelLauncher(sv("LAUNCHER.EXE")));
    EXPECT_FALSE(IsTopLevelLauncher(sv("sub/Launcher.exe")));
    EXPECT_FALSE(IsTopLevelLauncher(sv("sub\\Launcher.exe")));
    EXPECT_FALSE(IsTopLevelLauncher(sv("Launcher.exe.bak")));

    EXPECT_EQ(ServedPath(sv("a.txt")), "files/a.txt");
    EXPECT_EQ(ServedPath(sv("Data\\Maps/One.BIN")), "files/Data/Maps/One.BIN");
    EXPECT_EQ(ServedPath(sv(path_rules::kLauncherExeName)), "files/Launcher.exe");

    EXPECT_EQ(FileKey(sv("Data/ReadMe.TXT")), FileKey(sv("data\\readme.txt")));
    EXPECT_NE(FileKey(sv("data/a.txt")), FileKey(sv("data/b.txt")));
    EXPECT_EQ(FileKey(sv("\xC3\x84")), "\xC3\x84");  // only ASCII letters fold
}

}  // namespace
