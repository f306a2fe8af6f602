#pragma once
// Another program holding a game file: this test program run again as a child that opens the file without
// delete sharing, as a virus scanner or a running tool does, until told to let go.

#include "ChildProcesses.h"

#include <string>

namespace updatetest {

// Starts the holder and waits until it holds `path`; false when it did not within 30 s.
bool HoldInAnotherProcess(testsupport::Process& holder, const std::wstring& path);
// Tells the holder of `path` to let go (it ends soon after).
void ReleaseHeldFile(const std::wstring& path);

}  // namespace updatetest
