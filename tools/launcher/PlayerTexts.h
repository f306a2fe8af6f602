#pragma once
// Every text the player reads: status lines, labels, message boxes and their captions. Their wording is
// fixed (operators and players know them); the tests read them from here too. Texts with %-fields are
// swprintf formats.

namespace player_texts {

// ---- message box captions ----
inline constexpr wchar_t kCaptionLauncher[] = L"啟動器";
inline constexpr wchar_t kCaptionError[] = L"啟動器錯誤";
inline constexpr wchar_t kCaptionMessage[] = L"啟動器訊息";

// ---- the update run's status lines ----
inline constexpr wchar_t kConnecting[] = L"連線中...";
inline constexpr wchar_t kChecking[] = L"檢查檔案中...";
inline constexpr wchar_t kUpToDate[] = L"已是最新版本";
inline constexpr wchar_t kUpdated[] = L"已完成更新";
inline constexpr wchar_t kDoneWithFailuresNamed[] = L"完成 (%d 個失敗)：%ls (%ls)";
inline constexpr wchar_t kDoneWithFailures[] = L"完成 (%d 個檔案失敗)";
inline constexpr wchar_t kManifestUnparsed[] = L"更新清單解析失敗";
inline constexpr wchar_t kManifestUnparsedDualOpen[] = L"更新清單解析失敗, 雙開模式繼續";
inline constexpr wchar_t kManifestOlder[] = L"更新清單版本過舊";
inline constexpr wchar_t kManifestBadSignature[] = L"更新清單簽章無效";
inline constexpr wchar_t kNoServer[] = L"無法連線到更新伺服器";
inline constexpr wchar_t kNoServerDualOpen[] = L"無法連線到更新伺服器, 雙開模式繼續";
inline constexpr wchar_t kProxyLogin[] = L"代理伺服器需要驗證";
inline constexpr wchar_t kClientRunning[] = L"有更新檔, 請先關閉所有遊戲視窗再執行 launcher 更新";
inline constexpr wchar_t kDiskFull[] = L"磁碟空間不足：需要 %ls，可用 %ls";
inline constexpr wchar_t kFolderUnprotected[] = L"遊戲資料夾無法保護，其他使用者可能修改遊戲檔案";

// ---- downloads ----
inline constexpr wchar_t kDownloading[] = L"下載中";
inline constexpr wchar_t kDownloadingCounted[] = L"下載中 (%d/%d) %ls";
inline constexpr wchar_t kDownloadingNamed[] = L"下載中 %ls";
inline constexpr wchar_t kTransferLine[] = L"%ls  %ls / %ls  (%ls/s)";
inline constexpr wchar_t kRetrying[] = L"下載中斷，重試 (%d/%d)：%ls";
inline constexpr wchar_t kDownloadFailed[] = L"下載失敗";
inline constexpr wchar_t kDownloadFailedNamed[] = L"下載失敗：%ls";
inline constexpr wchar_t kVerifyFailed[] = L"校驗失敗";
inline constexpr wchar_t kVerifyFailedNamed[] = L"檔案校驗失敗：%ls";
inline constexpr wchar_t kLinkSkippedNamed[] = L"檔案路徑含有連結，已略過：%ls";
inline constexpr wchar_t kLinkSkipped[] = L"路徑含有連結";
// A file another program holds open: its path and the program's name.
inline constexpr wchar_t kFileInUse[] = L"檔案使用中：%ls（%ls）";
// The program's name when Windows cannot tell which program holds the file.
inline constexpr wchar_t kUnknownHolder[] = L"另一個程式";

// ---- the window's menu ----
inline constexpr wchar_t kMenuNoLimit[] = L"不限速";
inline constexpr wchar_t kMenuLimit[] = L"%u MB/s";  // the limit in MB/s
inline constexpr wchar_t kMenuPause[] = L"暫停下載";
inline constexpr wchar_t kMenuContinue[] = L"繼續下載";
inline constexpr wchar_t kMenuRepair[] = L"檢查並修復遊戲檔案";
inline constexpr wchar_t kMenuOpenLog[] = L"開啟記錄資料夾";
inline constexpr wchar_t kPaused[] = L"已暫停下載";
// The desktop's shell could not open the log folder as the player; followed by the folder's path.
inline constexpr wchar_t kLogFolderCopied[] =
    L"無法以一般使用者身分開啟記錄資料夾。資料夾路徑已複製到剪貼簿，請在檔案總管中開啟：\n";

// ---- the coming release, pre-loaded once the game may start ----
inline constexpr wchar_t kPreloading[] = L"預先下載下個版本 %d%%";
inline constexpr wchar_t kNextReady[] = L"下個版本已就緒";

// ---- the launcher's own update ----
inline constexpr wchar_t kSelfUpdating[] = L"啟動器更新中...";
inline constexpr wchar_t kSelfUpdateLabel[] = L"啟動器更新中";
inline constexpr wchar_t kSelfDownloadFailed[] = L"啟動器下載失敗, 跳過 self-update";
inline constexpr wchar_t kSelfVerifyFailed[] = L"啟動器更新校驗失敗, 跳過";
inline constexpr wchar_t kSelfRolledBack[] = L"啟動器替換失敗, 已回滾";
inline constexpr wchar_t kSelfRestarting[] = L"啟動器已更新, 重啟中...";

// ---- the window's commands, the splash and the notice ----
inline constexpr wchar_t kCannotStartClient[] = L"無法啟動 ";  // followed by the client's file name
inline constexpr wchar_t kNoSettingsProgram[] = L"找不到遊戲設定程式：";  // followed by its path
// The program's file differs from the one the update list names; followed by its file name.
inline constexpr wchar_t kProgramChanged[] = L"檔案與更新清單不符，已停止啟動：";
// The desktop's shell could not open the link as the player; followed by the link.
inline constexpr wchar_t kCommunityLinkCopied[] =
    L"無法以一般使用者身分開啟瀏覽器。社群連結已複製到剪貼簿，請貼到瀏覽器的網址列：\n";
inline constexpr wchar_t kNoLogo[] = L"無法載入內嵌 LOGO 資源 (IDR_LOGO_PNG)。\n請確認編譯時 res/logo.png 存在且為有效 PNG。";
inline constexpr wchar_t kDefaultKickBody[] = L"遊戲已關閉。請聯絡管理員。";

}  // namespace player_texts
