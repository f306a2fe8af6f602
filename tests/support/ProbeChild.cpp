// Stands in for the game client and the settings program in tests. Records how it was started into
// "<own path>.record.txt" (UTF-8), and keeps running while "<own path>.stay" exists (at most 120 s).
#include <windows.h>
#include <tlhelp32.h>

#include <string>

namespace {

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring Env(const wchar_t* name) {
    wchar_t value[32768] = {};
    DWORD n = GetEnvironmentVariableW(name, value, 32768);
    return n == 0 ? std::wstring(L"<unset>") : std::wstring(value);
}

// The image path of the process that started this one; "<unknown>" when it is gone or cannot be asked.
std::wstring ParentImage() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return L"<unknown>";
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    DWORD parent = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId()) parent = entry.th32ParentProcessID;
    }
    CloseHandle(snapshot);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent);
    wchar_t image[MAX_PATH] = {};
    DWORD chars = MAX_PATH;
    const bool known = process && QueryFullProcessImageNameW(process, 0, image, &chars);
    if (process) CloseHandle(process);
    return known ? std::wstring(image, chars) : std::wstring(L"<unknown>");
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    wchar_t cwd[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, cwd);
    std::wstring record = L"cmdline=" + std::wstring(GetCommandLineW()) + L"\n";
    record += L"cwd=" + std::wstring(cwd) + L"\n";
    record += L"KORVANE_LAUNCHER_TOKEN=" + Env(L"KORVANE_LAUNCHER_TOKEN") + L"\n";
    record += L"KORVANE_LAUNCHER_PATH=" + Env(L"KORVANE_LAUNCHER_PATH") + L"\n";
    record += L"KORVANE_LAUNCHER_RESTART=" + Env(L"KORVANE_LAUNCHER_RESTART") + L"\n";
    record += L"parent=" + ParentImage() + L"\n";
    std::string bytes = Utf8(record);

    std::wstring recordPath = std::wstring(self) + L".record.txt";
    std::wstring partial = recordPath + L".tmp";
    HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(file);
        MoveFileExW(partial.c_str(), recordPath.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    std::wstring stay = std::wstring(self) + L".stay";
    for (int i = 0; i < 1200 && GetFileAttributesW(stay.c_str()) != INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
    return 0;
}
