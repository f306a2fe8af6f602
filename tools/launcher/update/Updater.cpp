#include "Updater.h"

#include "DownloadWorkers.h"
#include "GameClient.h"
#include "Http.h"
#include "Manifest.h"
#include "SelfUpdate.h"
#include "Sha256.h"
#include "StatusChannel.h"
#include "Win32Handles.h"

#include <tlhelp32.h>

#include <memory>
#include <set>
#include <vector>

volatile LONG UpdaterRunning = 0;

namespace {

constexpr DWORD kPathChars = 260;

bool EqualsAsciiNoCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        wchar_t x = a[i], y = b[i];
        if (x >= L'A' && x <= L'Z') x = static_cast<wchar_t>(x - L'A' + L'a');
        if (y >= L'A' && y <= L'Z') y = static_cast<wchar_t>(y - L'A' + L'a');
        if (x != y) return false;
    }
    return true;
}

// The same file however the manifest spells it: ASCII letters folded, either separator.
std::wstring TargetKey(const std::wstring& path) {
    std::wstring key = path;
    for (wchar_t& c : key) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c == L'/') c = L'\\';
    }
    return key;
}

std::wstring DirectoryOf(const wchar_t* path) {
    std::wstring text(path);
    std::size_t slash = text.rfind(L'\\');
    if (slash == std::wstring::npos) return std::wstring();
    return text.substr(0, slash);
}

bool IsIntact(const std::wstring& local, const ManifestFile& file) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(local.c_str(), GetFileExInfoStandard, &data)) return false;
    std::uint64_t size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (size != file.size) return false;
    return FileSha256Hex(local) == file.sha256;
}

// Ends a run: the outcome text, the finished flag, and the flag that lets a new run start.
void Finish(HWND window, const wchar_t* text, WPARAM finished) {
    PostStatusText(window, L"%ls", text);
    PostMessageW(window, WM_UPDATE_FINISHED, finished, 0);
}

void FinishUpToDate(HWND window) {
    PostStatusText(window, L"已是最新版本");
    PostMessageW(window, WM_UPDATE_PROGRESS, 100, 0);
    PostMessageW(window, WM_UPDATE_FINISHED, 0, 0);
}

void DropOwnExecutableEntries(Manifest& manifest) {
    std::size_t before = manifest.files.size();
    std::vector<ManifestFile> kept;
    kept.reserve(before);
    for (ManifestFile& file : manifest.files) {
        if (!EqualsAsciiNoCase(file.path, kLauncherExeName)) kept.push_back(std::move(file));
    }
    manifest.files = std::move(kept);
    if (manifest.files.size() != before) {
        OutputDebugStringW(
            L"[Launcher][updater] dropped Launcher.exe from FILE list -- launcher self-update goes through "
            L"LAUNCHER_SELF only\n");
    }
}

// Examines every listed file, posting progress per file; returns the entries to download.
std::vector<std::size_t> CheckFiles(HWND window, const Manifest& manifest, const std::wstring& launcherDir) {
    PostStatusText(window, L"檢查檔案中...");
    std::vector<std::size_t> jobs;
    std::set<std::wstring> queued;
    const std::size_t n = manifest.files.size();
    for (std::size_t i = 0; i < n; ++i) {
        const ManifestFile& file = manifest.files[i];
        // Two workers must never write one file: a path listed twice is queued once.
        if (!IsIntact(launcherDir + file.path, file) && queued.insert(TargetKey(file.path)).second) {
            jobs.push_back(i);
        }
        PostMessageW(window, WM_UPDATE_PROGRESS, static_cast<WPARAM>((i + 1) * 100 / n), 0);
    }
    return jobs;
}

// Downloads the jobs with up to four workers (or on this thread when none starts) and posts the outcome.
void DownloadAndReport(HWND window, const Manifest& manifest, const std::vector<std::size_t>& jobs,
                       const std::wstring& launcherDir) {
    auto batch = std::make_unique<DownloadBatch>();
    batch->notifyWindow = window;
    batch->manifest = &manifest;
    batch->jobs = &jobs;
    batch->launcherDir = launcherDir;
    for (std::size_t index : jobs) batch->totalBytes += manifest.files[index].size;
    batch->jobCount = static_cast<long>(jobs.size());
    InitializeCriticalSection(&batch->lock);

    const int workers = batch->jobCount < kMaxDownloadWorkers ? static_cast<int>(batch->jobCount) : kMaxDownloadWorkers;
    HANDLE threads[kMaxDownloadWorkers] = {};
    DWORD started = 0;
    for (int i = 0; i < workers; ++i) {
        HANDLE thread = CreateThread(nullptr, 0, RunDownloadWorker, batch.get(), 0, nullptr);
        if (thread) threads[started++] = thread;
    }
    if (started > 0) {
        WaitForMultipleObjects(started, threads, TRUE, INFINITE);
        for (DWORD i = 0; i < started; ++i) CloseHandle(threads[i]);
    } else {
        RunDownloadsSequentially(*batch);
    }

    const long failed = batch->failed.load();
    PostMessageW(window, WM_UPDATE_PROGRESS, 100, 0);
    if (failed == 0) {
        PostStatusText(window, L"已完成更新");
        PostMessageW(window, WM_UPDATE_FINISHED, 0, 0);
    } else {
        EnterCriticalSection(&batch->lock);
        const std::wstring path = batch->lastFailedPath;
        const std::wstring reason = batch->lastFailedReason;
        LeaveCriticalSection(&batch->lock);
        if (!path.empty()) {
            PostStatusText(window, L"完成 (%d 個失敗)：%ls (%ls)", static_cast<int>(failed), path.c_str(),
                           reason.c_str());
        } else {
            PostStatusText(window, L"完成 (%d 個檔案失敗)", static_cast<int>(failed));
        }
        PostMessageW(window, WM_UPDATE_FINISHED, 1, 0);
    }
    DeleteCriticalSection(&batch->lock);
}

// Steps of one run; returns when the run has posted its last message.
void RunUpdate(HWND window, const std::wstring& launcherDir) {
    const std::wstring exe = GetLauncherExePath();
    if (!exe.empty()) DeleteFileW((exe + L".old").c_str());

    const bool gameRunning = CheckGameRunning();
    PostStatusText(window, L"連線中...");
    PostMessageW(window, WM_UPDATE_PROGRESS, 0, 0);

    const std::string body = FetchManifestText();
    if (body.empty()) {
        if (gameRunning) {
            Finish(window, L"無法連線到更新伺服器, 雙開模式繼續", 0);
        } else {
            Finish(window, L"無法連線到更新伺服器", 1);
        }
        return;
    }
    Manifest manifest;
    // A body without a single manifest line (an error page, say) must not pass for an empty file list.
    if (!ParseManifest(body, manifest) || manifest.recognisedLines == 0) {
        if (gameRunning) {
            Finish(window, L"更新清單解析失敗, 雙開模式繼續", 0);
        } else {
            Finish(window, L"更新清單解析失敗", 1);
        }
        return;
    }
    if (RunSelfUpdate(window, manifest)) return;

    DropOwnExecutableEntries(manifest);
    if (manifest.files.empty()) {
        FinishUpToDate(window);
        return;
    }
    const std::vector<std::size_t> jobs = CheckFiles(window, manifest, launcherDir);
    if (jobs.empty()) {
        FinishUpToDate(window);
        return;
    }
    if (gameRunning) {
        Finish(window, L"有更新檔, 請先關閉所有遊戲視窗再執行 launcher 更新", 1);
        return;
    }
    DownloadAndReport(window, manifest, jobs, launcherDir);
}

}  // namespace

bool CheckGameRunning() {
    wchar_t module[kPathChars] = {};
    if (GetModuleFileNameW(nullptr, module, kPathChars) == 0) return false;
    if (!wcschr(module, L'\\')) return false;
    const std::wstring own = DirectoryOf(module);

    ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.Valid()) return false;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
        if (!EqualsAsciiNoCase(entry.szExeFile, kGameClientExe)) continue;
        ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        if (!process.Valid()) continue;
        wchar_t image[kPathChars] = {};
        DWORD size = kPathChars;
        if (!QueryFullProcessImageNameW(process.Get(), 0, image, &size)) continue;
        if (!wcschr(image, L'\\')) continue;
        if (EqualsAsciiNoCase(DirectoryOf(image), own)) return true;
    }
    return false;
}

DWORD WINAPI UpdaterThread(void* param) {
    std::unique_ptr<UpdaterThreadArgs> args(static_cast<UpdaterThreadArgs*>(param));
    RunUpdate(args->notifyWindow, args->launcherDir);
    InterlockedExchange(&UpdaterRunning, 0);
    return 0;
}
