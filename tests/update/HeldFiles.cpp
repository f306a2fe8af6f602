#include "HeldFiles.h"

#include "TestFiles.h"
#include "TestWindows.h"

#include <windows.h>

namespace {

TEST_CHILD_ROUTINE(HoldFile) {
    HANDLE file = CreateFileW(args.at(0).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 2;
    testsupport::WriteBytes(args.at(0) + L".held", "1");
    testsupport::WaitUntil([&] { return testsupport::FileExists(args.at(0) + L".release"); }, 60000);
    CloseHandle(file);
    return 0;
}

}  // namespace

namespace updatetest {

bool HoldInAnotherProcess(testsupport::Process& holder, const std::wstring& path) {
    return holder.Start(testsupport::ThisTestProgram(), L"--child HoldFile \"" + path + L"\"") &&
           testsupport::WaitUntil([&] { return testsupport::FileExists(path + L".held"); }, 30000);
}

void ReleaseHeldFile(const std::wstring& path) {
    testsupport::WriteBytes(path + L".release", "1");
}

}  // namespace updatetest
