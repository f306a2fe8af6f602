#include "update/Sha256.h"

#include "ChildProcesses.h"
#include "TempDir.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

using testsupport::TempDir;

TEST(Sha256Test, KnownDigests) {
    TempDir dir;
    struct Case {
        std::string content;
        std::string digest;  // empty: compare with the test's own CNG computation
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {testsupport::PatternBytes(65535, 1), ""},
        {testsupport::PatternBytes(65536, 2), ""},
        {testsupport::PatternBytes(65537, 3), ""},
        {testsupport::PatternBytes(3 * 1024 * 1024 + 17, 4), ""},
    };
    int i = 0;
    for (const Case& c : cases) {
        std::wstring path = dir / (L"f" + std::to_wstring(i++) + L".bin");
        ASSERT_TRUE(testsupport::WriteBytes(path, c.content));
        std::string expected = c.digest.empty() ? testsupport::Sha256Hex(c.content) : c.digest;
        EXPECT_EQ(FileSha256Hex(path), expected) << "size " << c.content.size();
    }
}

TEST(Sha256Test, NonAsciiPath) {
    TempDir dir;
    std::wstring path = dir / L"\u97F3\u6A02 \u6A94.bin";
    ASSERT_TRUE(testsupport::WriteBytes(path, "abc"));
    EXPECT_EQ(FileSha256Hex(path), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST_CHILD_ROUTINE(HashOne) {
    return FileSha256Hex(args.at(0)).empty() ? 1 : 0;
}

TEST(Sha256Test, MissingFileGivesEmptyAndTheOpenFailureLine) {
    TempDir dir;
    testsupport::ChildRun run = testsupport::RunChildRoutine("HashOne", {dir / L"missing.bin"});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 1u);
    ASSERT_EQ(run.debugLines.size(), 1u);
    const std::string& line = run.debugLines[0];
    EXPECT_EQ(line.rfind("[Launcher][sha256] CreateFileW \xE5\xA4\xB1\xE6\x95\x97 path=", 0), 0u) << line;
    EXPECT_NE(line.find("missing.bin err=2\n"), std::string::npos) << line;
}

TEST(Sha256Test, FileLockedWithoutSharingGivesSharingViolation) {
    TempDir dir;
    std::wstring path = dir / L"locked.bin";
    ASSERT_TRUE(testsupport::WriteBytes(path, "abc"));
    HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    testsupport::ChildRun run = testsupport::RunChildRoutine("HashOne", {path});
    CloseHandle(held);
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 1u);
    ASSERT_EQ(run.debugLines.size(), 1u);
    EXPECT_NE(run.debugLines[0].find(" err=32\n"), std::string::npos) << run.debugLines[0];
}

TEST(Sha256Test, FileOpenForWritingWithSharingIsStillHashed) {
    TempDir dir;
    std::wstring path = dir / L"shared.bin";
    ASSERT_TRUE(testsupport::WriteBytes(path, "abc"));
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(FileSha256Hex(path), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    CloseHandle(writer);
}

TEST(Sha256Test, DirectoryIsNotAFile) {
    TempDir dir;
    EXPECT_EQ(FileSha256Hex(dir.Path()), "");
}
