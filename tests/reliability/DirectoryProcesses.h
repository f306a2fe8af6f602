#pragma once
// The processes that run from one directory: the launcher the test started, the one a self-update
// started in its place, found by their image path, and ended by id.

#include <windows.h>

#include <set>
#include <string>
#include <vector>

namespace reliability {

struct DirectoryProcess {
    DWORD id = 0;
    DWORD parentId = 0;
    std::wstring image;  // empty when it could not be read (a process still starting)
};

// Processes whose image lies directly in `directory` (compared without case), and those of the
// `parents` whose image cannot be read yet. Empty when the snapshot fails.
std::vector<DirectoryProcess> FindDirectoryProcesses(const std::wstring& directory, const std::set<DWORD>& parents);

// Terminates every process FindDirectoryProcesses reports, waits for each to end, and looks again until
// none is left, so that a child started during the kill is ended too. Adds every id it ended to `known`.
// Returns false when a process is still there after repeated attempts.
bool TerminateDirectoryProcesses(const std::wstring& directory, std::set<DWORD>& known);

}  // namespace reliability
