#include "SelfUpdate.h"

#include "DebugLog.h"
#include "GameClient.h"
#include "HttpDownload.h"
#include "PatchHost.h"
#include "Sha256.h"
#include "StatusChannel.h"
#include "Win32Handles.h"

namespace {

constexpr wchar_t kLastSelfUpdateShaValue[] = L"LastSelfUpdateSha";
constexpr DWORD kModulePathChars = 260;
constexpr DWORD kRegistryReadChars = 160;

}  // namespace

std::wstring GetLauncherExePath() {
    wchar_t path[kModulePathChars] = {};
    if (GetModuleFileNameW(nullptr, path, kModulePathChars) == 0) return std::wstring();
    return path;
}

std::string ReadLastSelfUpdateSha() {
    ScopedRegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kLauncherRegistryKey, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS) {
        return std::string();
    }
    wchar_t value[kRegistryReadChars] = {};
    DWORD type = 0;
    DWORD bytes = (kRegistryReadChars - 1) * sizeof(wchar_t);  // the last character always stays zero
    LONG result = RegQueryValueExW(key.Get(), kLastSelfUpdateShaValue, nullptr, &type,
                                   reinterpret_cast<BYTE*>(value), &bytes);
    if (result != ERROR_SUCCESS || type != REG_SZ) return std::string();

    std::string digest;
    for (const wchar_t* p = value; *p; ++p) {
        if ((*p >= L'0' && *p <= L'9') || (*p >= L'a' && *p <= L'f')) {
            digest.push_back(static_cast<char>(*p));
        } else if (*p >= L'A' && *p <= L'F') {
            digest.push_back(static_cast<char>(*p - L'A' + L'a'));
        }
    }
    return digest.size() == 64 ? digest : std::string();
}

void WriteLastSelfUpdateSha(const std::string& digest) {
    if (digest.size() != 64) return;
    ScopedRegKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kLauncherRegistryKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.Receive(),
                        nullptr) != ERROR_SUCCESS) {
        return;
    }
    std::wstring wide(digest.begin(), digest.end());
    RegSetValueExW(key.Get(), kLastSelfUpdateShaValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                   static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
}

bool RunSelfUpdate(HWND window, const Manifest& manifest) {
    const LauncherSelfEntry& self = manifest.launcherSelf;
    if (self.sha256.empty() || self.size == 0) {
        LogLineA(160, "[Launcher][self-update] manifest 沒有 LAUNCHER_SELF entry, 不做 self-update\n");
        return false;
    }
    const std::wstring ownPath = GetLauncherExePath();
    if (ownPath.empty()) {
        LogLineA(200, "[Launcher][self-update] GetLauncherExePath() 失敗\n");
        return false;
    }
    const std::wstring newPath = ownPath + L".new";
    const std::wstring oldPath = ownPath + L".old";
    LogLineA(512, "[Launcher][self-update] running exe = %s\n", ToAnsiForLog(ownPath.c_str(), 259).c_str());

    const std::string local = FileSha256Hex(ownPath);
    if (local.empty()) {
        LogLineA(512, "[Launcher][self-update] 本機 SHA 計算失敗, 跳過 self-update (防 loop). 下次啟動再試.\n");
        return false;
    }
    if (local == self.sha256) {
        LogLineA(512, "[Launcher][self-update] SHA 一致, 已是最新版\n");
        WriteLastSelfUpdateSha(local);
        return false;
    }
    const std::string installed = ReadLastSelfUpdateSha();
    if (!installed.empty() && installed == self.sha256) {
        LogLineA(400,
                 "[Launcher][self-update] anti-loop bail. manifest=%s..., registry-last-installed=%s..., local=%s...; "
                 "已安裝過此版本, 不再重下\n",
                 DigestPrefix(self.sha256).c_str(), DigestPrefix(installed).c_str(), DigestPrefix(local).c_str());
        return false;
    }
    LogLineA(400, "[Launcher][self-update] SHA 不一致, 觸發更新. local=%s..., manifest=%s...\n",
             DigestPrefix(local).c_str(), DigestPrefix(self.sha256).c_str());

    PostStatusText(window, L"啟動器更新中...");
    PostMessageW(window, WM_UPDATE_PROGRESS, 0, 0);
    DeleteFileW(newPath.c_str());

    const std::wstring relativeUrl = std::wstring(L"files/") + kLauncherExeName;
    LogLineA(768, "[Launcher][self-update] downloading from %s%s (expected size=%llu)\n",
             ToAnsiForLog(PatchBaseUrl, 255).c_str(), ToAnsiForLog(relativeUrl.c_str(), 255).c_str(),
             static_cast<unsigned long long>(self.size));
    if (!HttpDownloadToFile(relativeUrl.c_str(), newPath, window, self.size, L"啟動器更新中", nullptr, 0)) {
        DeleteFileW(newPath.c_str());
        LogLineA(768,
                 "[Launcher][self-update] HttpDownloadToFile 回 false. 常見原因: 1) URL 上沒這支 exe (server 沒上傳) "
                 "→ 404, 2) HTTPS 握手失敗, 3) Disk 寫不下 .new 檔. 詳細 status code 在 HttpDownloadToFile 的 log.\n");
        PostStatusText(window, L"啟動器下載失敗, 跳過 self-update");
        return false;
    }

    const std::string downloaded = FileSha256Hex(newPath);
    if (downloaded != self.sha256) {
        LogLineA(400,
                 "[Launcher][self-update] 校驗失敗. downloaded=%s..., manifest=%s.... 操作員的 manifest LAUNCHER_SELF "
                 "SHA 跟伺服器上的 Launcher.exe 對不上, 重新算 SHA 寫進 manifest.\n",
                 DigestPrefix(downloaded).c_str(), DigestPrefix(self.sha256).c_str());
        PostStatusText(window, L"啟動器更新校驗失敗, 跳過");
        DeleteFileW(newPath.c_str());
        return false;
    }
    DeleteFileW((newPath + L":Zone.Identifier").c_str());

    if (!MoveFileExW(ownPath.c_str(), oldPath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DWORD error = GetLastError();
        LogLineA(400, "[Launcher][self-update] step 1 rename (.exe → .old) 失敗, GetLastError=%lu. .new 保留, 下次再試.\n",
                 error);
        PostStatusText(window, L"啟動器無法替換, 繼續使用舊版");
        return false;
    }
    if (!MoveFileExW(newPath.c_str(), ownPath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DWORD error = GetLastError();
        MoveFileExW(oldPath.c_str(), ownPath.c_str(), MOVEFILE_REPLACE_EXISTING);
        DeleteFileW(newPath.c_str());
        LogLineA(400,
                 "[Launcher][self-update] step 2 rename (.new → .exe) 失敗, GetLastError=%lu. 已回滾 .old → .exe, "
                 "玩家用回舊版.\n",
                 error);
        PostStatusText(window, L"啟動器替換失敗, 已回滾");
        return false;
    }

    WriteLastSelfUpdateSha(self.sha256);
    PostMessageW(window, WM_UPDATE_PROGRESS, 100, 0);
    PostStatusText(window, L"啟動器已更新, 重啟中...");
    PostMessageW(window, WM_UPDATE_RESTART, 0, 0);
    return true;
}
