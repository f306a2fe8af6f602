#pragma once
// The one way the launcher starts a program: by its full path with CreateProcessW. Never through the
// shell, which picks what runs by the file's extension from HKEY_CLASSES_ROOT, where the user's own classes
// (HKCU\Software\Classes) win: a program without administrator rights could name what the elevated launcher
// runs, and a file such as "Launcher.exe.new" has no association at all.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// A program to start.
struct ProgramStart {
    std::wstring path;                    // full path of the executable; its extension plays no part
    std::vector<std::wstring> arguments;  // each one quoted here as the platform reads it back
    std::wstring workingDir;
    std::string sha256;  // when not empty, the file's digest must be this one
};

enum class StartOutcome {
    Started,
    CannotOpen,   // missing, unreadable, or reaching through a link
    WrongDigest,  // not the file the manifest lists
    CannotStart   // CreateProcessW refused it
};

struct StartedProgram {
    StartOutcome outcome = StartOutcome::CannotOpen;
    DWORD processId = 0;
    DWORD error = 0;  // GetLastError of the step that failed
};

// Opens the file by its own name with read sharing only, so that nobody can change, replace or delete it
// until its process has started; hashes it through that handle when a digest is given; starts it with the
// path as the application name and, as its command line, the quoted path and arguments, in `workingDir`,
// with this process's environment, shown normally, inheriting no handles. With `beforeRun` the process is
// made suspended and runs only when `beforeRun(its id)` returns true; it is ended otherwise (CannotStart).
// Nothing waits for the program.
StartedProgram StartProgram(const ProgramStart& program,
                            const std::function<bool(DWORD processId)>& beforeRun = std::function<bool(DWORD)>());

// The argument as CommandLineToArgvW and the C runtime read it back: unchanged when it has no blank, tab or
// quote and is not empty; otherwise in quotes, each quote escaped and the backslashes before a quote or the
// closing quote doubled.
std::wstring QuoteArgument(const std::wstring& argument);
