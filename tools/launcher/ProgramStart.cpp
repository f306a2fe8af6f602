#include "ProgramStart.h"

#include "Win32Handles.h"
#include "update/LocalFiles.h"
#include "update/Sha256.h"

#include <vector>

std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count as escapes only before a quote: there they are doubled, and the quote escaped.
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

StartedProgram StartProgram(const ProgramStart& program, const std::function<bool(DWORD)>& beforeRun) {
    StartedProgram started;
    // Held until the process has started: the bytes hashed are the bytes Windows maps.
    const ScopedHandle file = local_files::OpenToRun(program.path);
    if (!file.Valid()) {
        started.error = GetLastError();
        return started;
    }
    if (!program.sha256.empty() && OpenFileSha256Hex(file.Get()) != program.sha256) {
        started.outcome = StartOutcome::WrongDigest;
        return started;
    }

    std::wstring commandLine = QuoteArgument(program.path);
    for (const std::wstring& argument : program.arguments) commandLine += L" " + QuoteArgument(argument);
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');  // CreateProcessW may write into the command line
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION info;
    ZeroMemory(&info, sizeof(info));
    if (!CreateProcessW(program.path.c_str(), writable.data(), nullptr, nullptr, FALSE,
                        beforeRun ? CREATE_SUSPENDED : 0, nullptr,
                        program.workingDir.empty() ? nullptr : program.workingDir.c_str(), &startup, &info)) {
        started.outcome = StartOutcome::CannotStart;
        started.error = GetLastError();
        return started;
    }
    const ScopedHandle process(info.hProcess);
    const ScopedHandle thread(info.hThread);
    if (beforeRun && !beforeRun(info.dwProcessId)) {
        TerminateProcess(process.Get(), 1);
        started.outcome = StartOutcome::CannotStart;
        return started;
    }
    if (beforeRun) ResumeThread(thread.Get());
    started.outcome = StartOutcome::Started;
    started.processId = info.dwProcessId;
    return started;
}
