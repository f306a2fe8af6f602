#include "TestSupport.h"

#include "StatusChannel.h"

#include <objidl.h>
#include <bcrypt.h>
#include <gdiplus.h>
#include <shellapi.h>

#include <atomic>
#include <map>

namespace testsupport {

// ---- files ----

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    wchar_t base[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, base);
    wchar_t name[64];
    swprintf(name, 64, L"korvane-%lu-%lu-%d\\", GetCurrentProcessId(), GetTickCount(), counter++);
    path_ = std::wstring(base) + name;
    CreateDirectoryW(path_.c_str(), nullptr);
}

TempDir::~TempDir() {
    RemoveTree(path_);
}

void RemoveTree(const std::wstring& path) {
    std::wstring dir = path;
    if (!dir.empty() && dir.back() != L'\\') dir += L'\\';
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring full = dir + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(full);
            } else {
                SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(full.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(dir.c_str());
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 24));
        DWORD written = 0;
        ok = WriteFile(file, bytes.data() + done, chunk, &written, nullptr) && written == chunk;
        done += written;
    }
    CloseHandle(file);
    return ok;
}

std::string ReadBytes(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    std::string out;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) out.append(buffer, read);
    CloseHandle(file);
    return out;
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
    return out;
}

std::wstring BesideTestExe(const std::wstring& name) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    return dir.substr(0, dir.rfind(L'\\') + 1) + name;
}

std::string Sha256Hex(const std::string& bytes) {
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    unsigned char digest[32] = {};
    BCRYPT_HASH_HANDLE hash = nullptr;
    BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0);
    BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())), static_cast<ULONG>(bytes.size()), 0);
    BCryptFinishHash(hash, digest, 32, 0);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(alg, 0);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : digest) {
        out.push_back(hex[b >> 4]);
        out.push_back(hex[b & 15]);
    }
    return out;
}

std::string PatternBytes(std::size_t size, std::uint32_t seed) {
    std::string out(size, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<char>(x & 0xFF);
    }
    return out;
}

// ---- processes ----

namespace {

std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
    std::string text;
    if (info.fUnicode) {
        std::wstring wide(info.nDebugStringLength, L'\0');
        SIZE_T got = 0;
        ReadProcessMemory(process, info.lpDebugStringData, &wide[0], info.nDebugStringLength * sizeof(wchar_t), &got);
        wide.resize(got / sizeof(wchar_t));
        while (!wide.empty() && wide.back() == L'\0') wide.pop_back();
        return Utf8(wide);
    }
    text.resize(info.nDebugStringLength);
    SIZE_T got = 0;
    ReadProcessMemory(process, info.lpDebugStringData, &text[0], info.nDebugStringLength, &got);
    text.resize(got);
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
}

std::map<std::string, ChildRoutine>& Routines() {
    static std::map<std::string, ChildRoutine> routines;
    return routines;
}

std::wstring QuoteArg(const std::wstring& arg) {
    std::wstring out = L"\"";
    for (wchar_t c : arg) {
        if (c == L'"') out += L'\\';
        out += c;
    }
    // A trailing backslash would escape the closing quote.
    if (!arg.empty() && arg.back() == L'\\') out += L'\\';
    return out + L"\"";
}

}  // namespace

std::map<std::wstring, std::wstring> ReadProbeRecord(const std::wstring& path) {
    std::map<std::wstring, std::wstring> values;
    const std::wstring text = Wide(ReadBytes(path));
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        const std::wstring line = text.substr(start, end - start);
        const std::size_t eq = line.find(L'=');
        if (eq != std::wstring::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
        start = end + 1;
    }
    return values;
}

bool IsRunToken(const std::wstring& token) {
    return token.size() == 32 && token.find_first_not_of(L"0123456789abcdef") == std::wstring::npos;
}

ChildRun RunCapturingDebugOutput(const std::wstring& commandLine, DWORD timeoutMs, const std::wstring& workingDir) {
    ChildRun run;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::wstring mutableLine = commandLine;
    if (!CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                        workingDir.empty() ? nullptr : workingDir.c_str(), &si, &pi)) {
        return run;
    }
    run.started = true;
    const DWORD start = GetTickCount();
    for (;;) {
        DEBUG_EVENT event;
        DWORD left = timeoutMs - (GetTickCount() - start);
        if (GetTickCount() - start >= timeoutMs) break;
        if (!WaitForDebugEvent(&event, left < 200 ? left : 200)) continue;
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
            case OUTPUT_DEBUG_STRING_EVENT:
                run.debugLines.push_back(ReadDebugString(pi.hProcess, event.u.DebugString));
                break;
            case EXCEPTION_DEBUG_EVENT:
                if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
                    status = DBG_EXCEPTION_NOT_HANDLED;
                }
                break;
            case CREATE_PROCESS_DEBUG_EVENT:
                if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
                break;
            case LOAD_DLL_DEBUG_EVENT:
                if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
                break;
            case EXIT_PROCESS_DEBUG_EVENT:
                run.exited = true;
                run.exitCode = event.u.ExitProcess.dwExitCode;
                break;
            default:
                break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
        if (run.exited) break;
    }
    if (!run.exited) {
        TerminateProcess(pi.hProcess, 1);
        DebugActiveProcessStop(pi.dwProcessId);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return run;
}

ChildRun RunChildRoutine(const std::string& name, const std::vector<std::wstring>& args, DWORD timeoutMs) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = QuoteArg(self) + L" --child " + Wide(name);
    for (const std::wstring& arg : args) line += L" " + QuoteArg(arg);
    return RunCapturingDebugOutput(line, timeoutMs);
}

ChildRoutineRegistration::ChildRoutineRegistration(const char* name, ChildRoutine routine) {
    Routines()[name] = routine;
}

bool RunChildRoutineFromCommandLine(int* exitCode) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) return false;
    bool handled = false;
    if (argc >= 3 && std::wstring(argv[1]) == L"--child") {
        auto it = Routines().find(Utf8(argv[2]));
        std::vector<std::wstring> args(argv + 3, argv + argc);
        *exitCode = it == Routines().end() ? 99 : it->second(args);
        handled = true;
    }
    LocalFree(argv);
    return handled;
}

Process::~Process() {
    Kill();
}

bool Process::Start(const std::wstring& exe, const std::wstring& args, const std::wstring& workingDir) {
    std::wstring line = QuoteArg(exe);
    if (!args.empty()) line += L" " + args;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    return CreateProcessW(exe.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                          workingDir.empty() ? nullptr : workingDir.c_str(), &si, &info_) != FALSE;
}

bool Process::WaitExit(DWORD timeoutMs) {
    return info_.hProcess && WaitForSingleObject(info_.hProcess, timeoutMs) == WAIT_OBJECT_0;
}

bool Process::Running() const {
    return info_.hProcess && WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT;
}

void Process::Kill() {
    if (info_.hProcess) {
        if (Running()) {
            TerminateProcess(info_.hProcess, 1);
            WaitForSingleObject(info_.hProcess, 5000);
        }
        CloseHandle(info_.hProcess);
        CloseHandle(info_.hThread);
    }
    info_ = {};
}

// ---- waiting ----

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (condition()) return true;
        if (GetTickCount() - start >= timeoutMs) return false;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(20);
    }
}

// ---- windows ----

namespace {
struct FindArgs {
    std::wstring className, title;
    DWORD processId;
    HWND found;
};
BOOL CALLBACK FindProc(HWND hwnd, LPARAM param) {
    FindArgs* args = reinterpret_cast<FindArgs*>(param);
    if (!args->className.empty() && ClassName(hwnd) != args->className) return TRUE;
    if (!args->title.empty() && WindowText(hwnd) != args->title) return TRUE;
    if (args->processId) {
        DWORD pid = 0;
        GetWindowThreadProcessId(hwnd, &pid);
        if (pid != args->processId) return TRUE;
    }
    args->found = hwnd;
    return FALSE;
}
BOOL CALLBACK ChildTextProc(HWND hwnd, LPARAM param) {
    reinterpret_cast<std::vector<std::wstring>*>(param)->push_back(WindowText(hwnd));
    return TRUE;
}
}  // namespace

HWND FindTopWindow(const std::wstring& className, const std::wstring& title, DWORD processId) {
    FindArgs args{className, title, processId, nullptr};
    EnumWindows(FindProc, reinterpret_cast<LPARAM>(&args));
    return args.found;
}

HWND WaitForTopWindow(const std::wstring& className, const std::wstring& title, DWORD timeoutMs, DWORD processId) {
    HWND found = nullptr;
    WaitUntil([&] { return (found = FindTopWindow(className, title, processId)) != nullptr; }, timeoutMs);
    return found;
}

std::wstring WindowText(HWND hwnd) {
    wchar_t text[4096] = {};
    // WM_GETTEXT reaches controls of other processes too, unlike GetWindowText.
    SendMessageTimeoutW(hwnd, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, nullptr);
    return text;
}

std::wstring ClassName(HWND hwnd) {
    wchar_t name[256] = {};
    GetClassNameW(hwnd, name, 256);
    return name;
}

std::vector<std::wstring> ChildTexts(HWND hwnd) {
    std::vector<std::wstring> texts;
    EnumChildWindows(hwnd, ChildTextProc, reinterpret_cast<LPARAM>(&texts));
    return texts;
}

// ---- messages ----

MessageCollector::MessageCollector() {
    static const wchar_t kClass[] = L"KorvaneTestMessageCollector";
    WNDCLASSW wc = {};
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kClass;
    RegisterClassW(&wc);
    hwnd_ = CreateWindowExW(0, kClass, L"collector", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, wc.hInstance, nullptr);
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

MessageCollector::~MessageCollector() {
    if (hwnd_) DestroyWindow(hwnd_);
    // Texts still queued for the destroyed window are freed as the product's window would.
    MSG msg;
    while (PeekMessageW(&msg, nullptr, WM_UPDATE_STATUS, WM_UPDATE_STATUS, PM_REMOVE)) FreeStatusText(msg.wParam);
}

LRESULT CALLBACK MessageCollector::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<MessageCollector*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self && (message == WM_UPDATE_PROGRESS || message == WM_UPDATE_STATUS || message == WM_UPDATE_FINISHED ||
                 message == WM_UPDATE_RESTART)) {
        PostedMessage posted{message, wParam, std::wstring()};
        if (message == WM_UPDATE_STATUS) {
            if (wParam) posted.text = reinterpret_cast<const wchar_t*>(wParam);
            FreeStatusText(wParam);
        }
        self->messages_.push_back(posted);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

const std::vector<PostedMessage>& MessageCollector::Drain(DWORD settleMs) {
    const DWORD start = GetTickCount();
    do {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (settleMs) Sleep(10);
    } while (GetTickCount() - start < settleMs);
    return messages_;
}

bool MessageCollector::WaitFor(UINT message, DWORD timeoutMs) {
    auto has = [&] {
        for (const PostedMessage& m : messages_) {
            if (m.message == message) return true;
        }
        return false;
    };
    return WaitUntil(has, timeoutMs);
}

std::vector<std::wstring> MessageCollector::Texts() const {
    std::vector<std::wstring> texts;
    for (const PostedMessage& m : messages_) {
        if (m.message == WM_UPDATE_STATUS) texts.push_back(m.text);
    }
    return texts;
}

std::vector<int> MessageCollector::Percents() const {
    std::vector<int> percents;
    for (const PostedMessage& m : messages_) {
        if (m.message == WM_UPDATE_PROGRESS) percents.push_back(static_cast<int>(m.wParam));
    }
    return percents;
}

// ---- screen ----

Capture RenderOffscreen(int width, int height, const std::function<void(HDC)>& paint) {
    Capture capture;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (dib && bits) {
        HGDIOBJ old = SelectObject(memory, dib);
        paint(memory);
        GdiFlush();
        SelectObject(memory, old);
        capture.width = width;
        capture.height = height;
        const std::uint32_t* p = static_cast<const std::uint32_t*>(bits);
        capture.pixels.assign(p, p + static_cast<std::size_t>(width) * height);
        for (std::uint32_t& px : capture.pixels) px &= 0x00FFFFFF;
    }
    if (dib) DeleteObject(dib);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return capture;
}

Capture CaptureScreen(const RECT& rect) {
    HDC screen = GetDC(nullptr);
    Capture capture = RenderOffscreen(rect.right - rect.left, rect.bottom - rect.top, [&](HDC memory) {
        BitBlt(memory, 0, 0, rect.right - rect.left, rect.bottom - rect.top, screen, rect.left, rect.top, SRCCOPY);
    });
    ReleaseDC(nullptr, screen);
    return capture;
}

bool SavePng(const Capture& capture, const std::wstring& path) {
    if (capture.width == 0) return false;
    std::vector<std::uint32_t> opaque(capture.pixels);
    for (std::uint32_t& px : opaque) px |= 0xFF000000;
    Gdiplus::Bitmap bitmap(capture.width, capture.height, capture.width * 4, PixelFormat32bppARGB,
                           reinterpret_cast<BYTE*>(opaque.data()));
    CLSID png;
    CLSIDFromString(L"{557CF406-1A04-11D3-9A73-0000F81EF32E}", &png);
    return bitmap.Save(path.c_str(), &png, nullptr) == Gdiplus::Ok;
}

ColourStats Stats(const Capture& capture, const RECT& rect) {
    ColourStats stats;
    double n = 0;
    for (int y = rect.top; y < rect.bottom; ++y) {
        for (int x = rect.left; x < rect.right; ++x) {
            std::uint32_t px = capture.At(x, y);
            int r = (px >> 16) & 255, g = (px >> 8) & 255, b = px & 255;
            stats.red += r;
            stats.green += g;
            stats.blue += b;
            stats.saturation += std::max(r, std::max(g, b)) - std::min(r, std::min(g, b));
            n += 1;
        }
    }
    if (n > 0) {
        stats.red /= n;
        stats.green /= n;
        stats.blue /= n;
        stats.saturation /= n;
        stats.brightness = (stats.red + stats.green + stats.blue) / 3;
    }
    return stats;
}

void MoveMouseTo(int x, int y) {
    SetCursorPos(x, y);
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dx = x * 65535 / (GetSystemMetrics(SM_CXSCREEN) - 1);
    input.mi.dy = y * 65535 / (GetSystemMetrics(SM_CYSCREEN) - 1);
    input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    SendInput(1, &input, sizeof(input));
}

void MouseDown() {
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    SendInput(1, &input, sizeof(input));
}

void MouseUp() {
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(1, &input, sizeof(input));
}

}  // namespace testsupport
