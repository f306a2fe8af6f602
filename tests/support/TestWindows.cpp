#include "update/StatusChannel.h"

#include "TestWindows.h"

namespace testsupport {

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

}  // namespace testsupport
