// The file layer makes nothing through a link and walks the game folder's tree entry by entry, never below a
// link. Links are made with the machine's own ln (TestFiles.h).
#include "update/LocalFiles.h"

#include "TempDir.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

using testsupport::TempDir;

// A ".part" or a folder made through a linked folder was left wherever the link led.
TEST(LocalFiles, NothingMadeThroughALinkIsLeftOutside) {
    struct MakeCase {
        const char* name;
        std::function<bool(const std::wstring& game)> make;  // `game` ends in a separator
        const wchar_t* made;  // what it would have made where the link leads
    };
    const MakeCase cases[] = {
        {"a new .part", [](const std::wstring& game) { return local_files::OpenPart(game + L"Data\\a.bin.part", 0).Valid(); },
         L"a.bin.part"},
        {"a folder", [](const std::wstring& game) { return local_files::CreateParentFolders(game + L"Data\\new\\a.bin"); },
         L"new"},
    };
    for (const MakeCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir game;
        TempDir outside;
        ASSERT_TRUE(testsupport::MakeUnixLink(outside.Path(), game / L"Data"));
        EXPECT_FALSE(c.make(game.Path()));
        EXPECT_FALSE(testsupport::FileExists(outside / c.made));
    }
}

// Every file and folder at any depth is visited once, a folder before what it holds (so that what is below
// inherits from what was set above); nothing behind a link is, and the link is reported.
TEST(LocalFiles, TreeWalkReachesEveryEntryAsItselfAndNothingThroughALink) {
    TempDir game;
    TempDir outside;
    ASSERT_TRUE(testsupport::WriteBytes(outside / L"victim.bin", "outside"));
    for (const wchar_t* folder : {L"empty", L"sub", L"sub\\deeper"}) {
        ASSERT_TRUE(CreateDirectoryW((game / folder).c_str(), nullptr));
    }
    for (const wchar_t* file : {L"a.bin", L"sub\\b.bin", L"sub\\deeper\\c.bin"}) {
        ASSERT_TRUE(testsupport::WriteBytes(game / file, "in"));
    }
    ASSERT_TRUE(testsupport::MakeUnixLink(outside.Path(), game / L"sub\\linked"));
    ASSERT_TRUE(testsupport::MakeUnixLink(outside / L"victim.bin", game / L"linked.bin"));

    std::map<std::wstring, std::size_t> order;  // below the game folder ("" for itself) -> when visited
    EXPECT_FALSE(local_files::WalkTree(game.Path(), [&](const local_files::TreeEntry& entry) {
        const std::wstring relative = entry.path.size() > game.Path().size() ? entry.path.substr(game.Path().size()) : L"";
        EXPECT_TRUE(order.emplace(relative, order.size()).second) << testsupport::Utf8(relative);
        EXPECT_EQ(entry.top, relative.empty());
        return true;
    }));
    std::vector<std::wstring> visited;
    for (const auto& entry : order) {
        visited.push_back(entry.first);
        const std::size_t sep = entry.first.find_last_of(L'\\');
        const std::wstring parent = sep == std::wstring::npos ? L"" : entry.first.substr(0, sep);
        if (!entry.first.empty()) {
            EXPECT_LT(order[parent], entry.second) << testsupport::Utf8(entry.first);
        }
    }
    EXPECT_EQ(visited, (std::vector<std::wstring>{L"", L"a.bin", L"empty", L"sub", L"sub\\b.bin", L"sub\\deeper",
                                                  L"sub\\deeper\\c.bin"}));
}
