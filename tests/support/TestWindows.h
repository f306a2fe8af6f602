#pragma once
// Windows on the test display: waiting by polling, finding windows and reading their text, and a window
// that records the status channel's messages.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// Polls `condition` every 20 ms until it holds or `timeoutMs` passes; pumps this thread's messages.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs);

// ---- windows ----

// A top-level window of any process whose class and/or title match (empty means any).
HWND FindTopWindow(const std::wstring& className, const std::wstring& title, DWORD processId = 0);
HWND WaitForTopWindow(const std::wstring& className, const std::wstring& title, DWORD timeoutMs, DWORD processId = 0);
std::wstring WindowText(HWND hwnd);
std::wstring ClassName(HWND hwnd);
// The texts of a window's child controls, in order (a message box's text is one of them).
std::vector<std::wstring> ChildTexts(HWND hwnd);

// ---- messages posted to a window ----

struct PostedMessage {
    UINT message;
    WPARAM wParam;
    std::wstring text;  // the WM_UPDATE_STATUS text, copied before it was freed
};

// A hidden top-level window on the calling thread that records the status channel's messages.
class MessageCollector {
public:
    MessageCollector();
    ~MessageCollector();
    MessageCollector(const MessageCollector&) = delete;
    MessageCollector& operator=(const MessageCollector&) = delete;
    HWND Window() const { return hwnd_; }
    // Dispatches what is queued (and what arrives within `settleMs`) and returns everything so far.
    const std::vector<PostedMessage>& Drain(DWORD settleMs = 0);
    // Pumps until a message of this kind has arrived or the time-out passes.
    bool WaitFor(UINT message, DWORD timeoutMs);
    std::vector<std::wstring> Texts() const;
    std::vector<int> Percents() const;

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    HWND hwnd_ = nullptr;
    std::vector<PostedMessage> messages_;
};

}  // namespace testsupport
