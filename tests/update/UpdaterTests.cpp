// Whole update runs on the real updater thread, in a process of their own, against the loopback host.
#include "InstallationKey.h"
#include "PlayerTexts.h"
#include "TextFormat.h"
#include "update/StatusChannel.h"

#include "ChildProcesses.h"
#include "TempDir.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "TestWindows.h"
#include "UpdateRun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <thread>

using testsupport::Delivery;
using testsupport::HoldInAnotherProcess;
using testsupport::HttpResponse;
using testsupport::LoopbackHttpServer;
using testsupport::ReleaseHeldFile;
using testsupport::TempDir;
using updatetest::Publish;
using updatetest::RunUpdate;

namespace {

const std::string kConnecting = testsupport::Utf8(player_texts::kConnecting);
const std::string kChecking = testsupport::Utf8(player_texts::kChecking);
const std::string kUpToDate = testsupport::Utf8(player_texts::kUpToDate);
const std::string kUpdated = testsupport::Utf8(player_texts::kUpdated);
const std::string kNoServer = testsupport::Utf8(player_texts::kNoServer);
const std::string kNoServerDualOpen = testsupport::Utf8(player_texts::kNoServerDualOpen);
const std::string kParseFailedDualOpen = testsupport::Utf8(player_texts::kManifestUnparsedDualOpen);
const std::string kParseFailed = testsupport::Utf8(player_texts::kManifestUnparsed);
const std::string kClientRunning = testsupport::Utf8(player_texts::kClientRunning);
const std::string kDownloadFailed = testsupport::Utf8(player_texts::kDownloadFailed);
const std::string kVerifyFailed = testsupport::Utf8(player_texts::kVerifyFailed);

// A status text as the launcher formats it.
std::string Text(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const std::wstring text = FormatWideCutV(kStatusTextChars, format, args);
    va_end(args);
    return testsupport::Utf8(text);
}

std::vector<std::string> Tail(const std::vector<std::string>& all, std::size_t n) {
    return std::vector<std::string>(all.end() - static_cast<long>(std::min(n, all.size())), all.end());
}

// The folder's volume serial number and file index as 12 little-endian bytes, read here with Win32.
std::string FolderIdentityBytes(const std::wstring& folder) {
    HANDLE handle = CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info = {};
    EXPECT_TRUE(GetFileInformationByHandle(handle, &info));
    CloseHandle(handle);
    const DWORD parts[] = {info.dwVolumeSerialNumber, info.nFileIndexLow, info.nFileIndexHigh};
    return std::string(reinterpret_cast<const char*>(parts), sizeof(parts));
}

}  // namespace

TEST(UpdaterOutcomeTest, ServerUnreachable) {
    TempDir dir;
    auto run = RunUpdate(dir);
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.messages, (std::vector<std::string>{"S " + kConnecting, "P 0", "S " + kNoServer, "F 1"}));
    EXPECT_TRUE(run.flagCleared);

    testsupport::Process client;
    ASSERT_TRUE(updatetest::StartGameClient(client, dir.Path()));
    auto dual = RunUpdate(dir);
    EXPECT_EQ(Tail(dual.messages, 2), (std::vector<std::string>{"S " + kNoServerDualOpen, "F 0"}));
}

// An error page is no manifest: it must not tell every player that the game is up to date.
TEST(UpdaterOutcomeTest, BodyWithoutAManifestLineFailsToParse) {
    LoopbackHttpServer server;
    TempDir dir;
    server.Route("/patch/manifest.txt", HttpResponse{404, "<html><body>404 Not Found</body></html>\n"});
    auto run = RunUpdate(dir);
    EXPECT_EQ(run.messages, (std::vector<std::string>{"S " + kConnecting, "P 0", "S " + kParseFailed, "F 1"}));

    testsupport::Process client;
    ASSERT_TRUE(updatetest::StartGameClient(client, dir.Path()));
    auto dual = RunUpdate(dir);
    EXPECT_EQ(Tail(dual.messages, 2), (std::vector<std::string>{"S " + kParseFailedDualOpen, "F 0"}));
}

TEST(UpdaterOutcomeTest, NothingListedIsUpToDate) {
    LoopbackHttpServer server;
    TempDir dir;
    Publish(server, {});
    auto run = RunUpdate(dir);
    EXPECT_EQ(run.messages,
              (std::vector<std::string>{"S " + kConnecting, "P 0", "S " + kUpToDate, "P 100", "F 0"}));
    EXPECT_TRUE(run.Logged("[Launcher][self-update] manifest \xE6\xB2\x92\xE6\x9C\x89 LAUNCHER_SELF entry"));
    EXPECT_TRUE(run.flagCleared);
}

TEST(UpdaterOutcomeTest, IntactFilesAreUpToDate) {
    LoopbackHttpServer server;
    TempDir dir;
    Publish(server, {{"a.pak", "alpha"}, {"data\\b.pak", "beta"}});
    CreateDirectoryW((dir / L"data").c_str(), nullptr);
    testsupport::WriteBytes(dir / L"a.pak", "alpha");
    testsupport::WriteBytes(dir / L"data\\b.pak", "beta");
    auto run = RunUpdate(dir);
    EXPECT_EQ(run.messages, (std::vector<std::string>{"S " + kConnecting, "P 0", "S " + kChecking, "P 50", "P 100",
                                                      "S " + kUpToDate, "P 100", "F 0"}));
    EXPECT_EQ(server.CountRequests("/patch/files/a.pak"), 0);
}

TEST(UpdaterOutcomeTest, DownloadsSucceed) {
    LoopbackHttpServer server;
    TempDir dir;
    const std::string wav = testsupport::PatternBytes(150000, 3);
    Publish(server, {{"data\\sound\\a.wav", wav}, {"b.txt", "bravo"}});
    auto run = RunUpdate(dir);
    EXPECT_EQ(Tail(run.messages, 3), (std::vector<std::string>{"P 100", "S " + kUpdated, "F 0"}));
    EXPECT_EQ(testsupport::ReadBytes(dir / L"data\\sound\\a.wav"), wav);
    EXPECT_EQ(testsupport::ReadBytes(dir / L"b.txt"), "bravo");
    EXPECT_EQ(server.CountRequests("/patch/files/data/sound/a.wav"), 1);
    // Progress: the file check to 100, then the download bytes from near 0 again.
    std::vector<int> percents;
    for (const std::string& m : run.messages) {
        if (m.rfind("P ", 0) == 0) percents.push_back(std::stoi(m.substr(2)));
    }
    for (int p : percents) EXPECT_LE(p, 100);
    bool labelSeen = false;
    for (const std::string& t : run.Texts()) {
        if (t.find("\xE4\xB8\x8B\xE8\xBC\x89\xE4\xB8\xAD (") == 0) labelSeen = true;  // 下載中 (n/2)
    }
    EXPECT_TRUE(labelSeen);
}

TEST(UpdaterOutcomeTest, RunningClientBlocksDownloadsButNotTheCheck) {
    LoopbackHttpServer server;
    TempDir dir;
    Publish(server, {{"a.pak", "alpha"}});
    testsupport::Process client;
    ASSERT_TRUE(updatetest::StartGameClient(client, dir.Path()));
    auto run = RunUpdate(dir);
    EXPECT_EQ(Tail(run.messages, 2), (std::vector<std::string>{"S " + kClientRunning, "F 1"}));
    EXPECT_EQ(server.CountRequests("/patch/files/a.pak"), 0);
    client.Kill();

    // The same client program started from another directory blocks nothing.
    TempDir elsewhere;
    testsupport::Process other;
    ASSERT_TRUE(updatetest::StartGameClient(other, elsewhere.Path()));
    auto free = RunUpdate(dir);
    EXPECT_EQ(Tail(free.messages, 2), (std::vector<std::string>{"S " + kUpdated, "F 0"}));
    EXPECT_EQ(testsupport::ReadBytes(dir / L"a.pak"), "alpha");
}

// A client named through 8.3 names, or whose image path a 260-character buffer cannot hold, went unseen,
// and the update then replaced files under the running game. Wine 8 starts no program from a folder
// deeper than MAX_PATH (CreateProcessW: file not found, in the long form and through 8.3 names alike), so
// the deep folder is covered by its installation key's spellings (launcher_tests) only.
TEST(UpdaterOutcomeTest, RunningClientIsSeenHoweverItsFolderIsSpelled) {
    TempDir root;
    // The 8.3 spelling of a folder (Wine makes such names up for long names on its drives), or the folder
    // itself when there is none.
    const auto shortOf = [](const std::wstring& folder) {
        std::wstring path(32768, L'\0');
        const DWORD got = GetShortPathNameW((L"\\\\?\\" + folder).c_str(), &path[0], 32768);
        if (got == 0 || got >= 32768) return folder;
        path.resize(got);
        return path.compare(0, 4, L"\\\\?\\") == 0 ? path.substr(4) : path;
    };
    const auto makeFolder = [&](const std::wstring& name) {
        const std::wstring folder = root / name + L"\\";
        CreateDirectoryW(folder.c_str(), nullptr);
        return folder;
    };
    const std::wstring clientLong = makeFolder(L"Installation whose client is named short");
    const std::wstring launcherLong = makeFolder(L"Installation whose launcher is named short");
    struct ClientCase {
        const char* name;
        std::wstring launcherDir;
        std::wstring clientDir;
    };
    const ClientCase cases[] = {
        {"client through 8.3 names", clientLong, shortOf(clientLong)},
        {"launcher through 8.3 names", shortOf(launcherLong), launcherLong},
    };
    for (const ClientCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(c.launcherDir, c.clientDir) << "no 8.3 name";
        LoopbackHttpServer server;
        Publish(server, {{"a.pak", "alpha"}});
        testsupport::Process client;
        ASSERT_TRUE(updatetest::StartGameClient(client, c.clientDir));
        auto run = updatetest::RunUpdateIn(c.launcherDir);
        ASSERT_TRUE(run.exited);
        EXPECT_EQ(Tail(run.messages, 2), (std::vector<std::string>{"S " + kClientRunning, "F 1"}));
        EXPECT_EQ(server.CountRequests("/patch/files/a.pak"), 0);
        client.Kill();
    }
}

TEST(UpdaterOutcomeTest, EveryDownloadFails) {
    LoopbackHttpServer server;
    TempDir dir;
    Publish(server, {{"a.pak", "alpha"}, {"b.pak", "bravo"}, {"c\\c.pak", "charlie"}});
    server.Route("/patch/files/a.pak", HttpResponse{500, "boom"});
    server.Route("/patch/files/b.pak", HttpResponse{404, "gone"});
    server.Route("/patch/files/c/c.pak", HttpResponse{404, "gone"});
    auto run = RunUpdate(dir);
    int failTexts = 0;
    for (const std::string& t : run.Texts()) {
        if (t.rfind(Text(player_texts::kDownloadFailedNamed, L""), 0) == 0) ++failTexts;
    }
    EXPECT_EQ(failTexts, 3);
    ASSERT_GE(run.Texts().size(), 1u);
    const std::string last = run.Texts().back();
    const std::string prefix = Text(player_texts::kDoneWithFailuresNamed, 3, L"", L"");
    const std::string prefixEnd = prefix.substr(0, prefix.size() - 3);  // "完成 (3 個失敗)：" without " ()"
    EXPECT_EQ(last.rfind(prefixEnd, 0), 0u) << last;
    EXPECT_NE(last.find(" (" + kDownloadFailed + ")"), std::string::npos) << last;
    EXPECT_EQ(run.Finished(), (std::vector<std::string>{"F 1"}));
    EXPECT_TRUE(run.Logged("[Launcher][http] HTTP 500 for files/a.pak"));
    EXPECT_TRUE(run.Logged("[Launcher][http] HTTP 404 for files/c/c.pak"));
    // Support reads the same status in the log, with its cause.
    const std::string log = testsupport::ReadBytes(dir / L"logs\\launcher.log");
    EXPECT_NE(log.find("[Launcher][updater] run ended: " + last + " -- 3 file(s) failed; the last: "), std::string::npos) << log;
    EXPECT_NE(log.find("[Launcher][http] HTTP 500 for files/a.pak"), std::string::npos);
}

// A host serving wrong bytes changes nothing on the disk: the file installed before stays byte for byte,
// also the settings program that the gear starts as administrator whatever the update's outcome.
// The launcher writes as administrator in a folder others may write to: nothing below it is written through
// a link, whether a folder, the file or its ".part" is the link, or the file has a second name elsewhere.
// Such a file is skipped and counted as failed; nothing outside the game folder changes; the others arrive.
TEST(UpdaterOutcomeTest, NothingIsWrittenThroughALink) {
    struct LinkCase {
        const char* name;
        const char* listed;  // the manifest path of the file that crosses the link
        const wchar_t* link;  // below the game folder
        const wchar_t* target;  // below the outside folder
        bool hard;
    };
    const LinkCase cases[] = {
        {"a linked folder", "Data/victim.bin", L"Data", L"", false},
        {"a linked file", "a.bin", L"a.bin", L"victim.bin", false},
        {"a linked .part", "b.bin", L"b.bin.part", L"victim.bin", false},
        {"a file with a second name outside", "c.bin", L"c.bin", L"victim.bin", true},
    };
    for (const LinkCase& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackHttpServer server;
        TempDir dir;
        TempDir outside;
        ASSERT_TRUE(testsupport::WriteBytes(outside / L"victim.bin", "outside the game folder"));
        ASSERT_TRUE(testsupport::MakeUnixLink(outside / c.target, dir / c.link, c.hard));
        Publish(server, {{c.listed, "replacement bytes"}, {"ok.bin", "fine"}});
        auto run = RunUpdate(dir);
        EXPECT_EQ(testsupport::ReadBytes(outside / L"victim.bin"), "outside the game folder");
        EXPECT_FALSE(testsupport::FileExists(outside / L"victim.bin.part"));
        EXPECT_FALSE(testsupport::FileExists(outside / L"Data"));
        EXPECT_EQ(testsupport::ReadBytes(dir / L"ok.bin"), "fine");
        const std::wstring listed = testsupport::Wide(c.listed);
        const std::vector<std::string> texts = run.Texts();
        EXPECT_NE(std::find(texts.begin(), texts.end(), Text(player_texts::kLinkSkippedNamed, listed.c_str())), texts.end());
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(texts.back(), Text(player_texts::kDoneWithFailuresNamed, 1, listed.c_str(), player_texts::kLinkSkipped));
        EXPECT_TRUE(run.Logged("[Launcher][updater] " + std::string(c.listed) + " reaches through a link"));
        EXPECT_EQ(server.CountRequests("/patch/files/" + std::string(c.listed)), 0);
        EXPECT_EQ(run.Finished(), (std::vector<std::string>{"F 1"}));
    }
}

// A player let start the game from a folder that could not be secured reads so once, as the last line before
// the start button, whichever way the run ended; a run that keeps the button off, or a secured folder, does not.
TEST(UpdaterOutcomeTest, AFolderThatCannotBeSecuredIsToldBeforeTheStart) {
    const std::string unprotected = testsupport::Utf8(player_texts::kFolderUnprotected);
    struct EndCase {
        const char* name;
        bool securable;
        bool served;         // the host serves a manifest listing a.pak
        bool installed;      // a.pak is there already
        bool clientRunning;  // a game client of this installation runs
        std::string outcome;
        std::string finished;
    };
    const EndCase cases[] = {
        {"up to date", false, true, true, false, kUpToDate, "F 0"},
        {"updated", false, true, false, false, kUpdated, "F 0"},
        {"no manifest, a client running", false, false, false, true, kParseFailedDualOpen, "F 0"},
        {"no manifest", false, false, false, false, kParseFailed, "F 1"},
        {"up to date in a secured folder", true, true, true, false, kUpToDate, "F 0"},
    };
    for (const EndCase& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackHttpServer server;
        TempDir dir;
        TempDir outside;
        // Wine shows a unix link only as a handle that names something else: the walk cannot secure it.
        if (!c.securable) {
            ASSERT_TRUE(testsupport::MakeUnixLink(outside.Path(), dir / L"linked"));
        }
        if (c.served) Publish(server, {{"a.pak", "alpha"}});
        if (c.installed) testsupport::WriteBytes(dir / L"a.pak", "alpha");
        testsupport::Process client;
        if (c.clientRunning) {
            ASSERT_TRUE(updatetest::StartGameClient(client, dir.Path()));
        }
        updatetest::RunOptions options;
        options.secure = true;
        auto run = RunUpdate(dir, L"Launcher.exe", options);
        std::vector<std::string> last = {c.outcome};
        if (!c.securable && c.finished == "F 0") last.push_back(unprotected);
        const std::vector<std::string> texts = run.Texts();
        EXPECT_EQ(Tail(texts, last.size()), last);
        EXPECT_EQ(static_cast<std::size_t>(std::count(texts.begin(), texts.end(), unprotected)), last.size() - 1);
        EXPECT_EQ(run.Finished(), std::vector<std::string>{c.finished});
        EXPECT_EQ(run.Logged("[Launcher][updater] game folder cannot be secured"), !c.securable);
    }
}

TEST(UpdaterOutcomeTest, WrongContentFailsVerificationAndChangesNothing) {
    for (const char* name : {"w.pak", "Setup.exe"}) {
        SCOPED_TRACE(name);
        LoopbackHttpServer server;
        TempDir dir;
        const std::wstring local = dir / testsupport::Wide(name);
        ASSERT_TRUE(testsupport::WriteBytes(local, "installed before"));
        Publish(server, {{name, "expected"}});
        server.RouteBody(std::string("/patch/files/") + name, "tampered");
        auto run = RunUpdate(dir);
        std::vector<std::string> texts = run.Texts();
        ASSERT_GE(texts.size(), 2u);
        const std::wstring wide = testsupport::Wide(name);
        EXPECT_EQ(texts[texts.size() - 2], Text(player_texts::kVerifyFailedNamed, wide.c_str()));
        EXPECT_EQ(texts.back(), Text(player_texts::kDoneWithFailuresNamed, 1, wide.c_str(), player_texts::kVerifyFailed));
        EXPECT_EQ(testsupport::ReadBytes(local), "installed before");
        EXPECT_FALSE(testsupport::FileExists(local + L".part"));
        EXPECT_EQ(run.Finished(), (std::vector<std::string>{"F 1"}));
    }
}

// A file another program holds open (a virus scanner, a running tool) is waited for: released within the
// wait, it is replaced; held throughout, it alone fails, as it was, with the file-in-use status, and the
// other files arrive. Wine's Restart Manager names no program, so the holder reads as unknown here.
TEST(UpdaterOutcomeTest, AFileAnotherProgramHoldsIsWaitedFor) {
    struct HeldCase {
        const char* name;
        DWORD releaseAfterMs;  // 0: held until the run has ended
    };
    const HeldCase cases[] = {{"held for 3 s", 3000}, {"held throughout", 0}};
    for (const HeldCase& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackHttpServer server;
        TempDir dir;
        const std::wstring held = dir / L"data\\held.pak";
        ASSERT_TRUE(CreateDirectoryW((dir / L"data").c_str(), nullptr));
        ASSERT_TRUE(testsupport::WriteBytes(held, "installed before"));
        Publish(server, {{"data\\held.pak", "the new release"}, {"other.pak", "arrives anyway"}});
        testsupport::Process holder;
        ASSERT_TRUE(HoldInAnotherProcess(holder, held));
        std::thread release;
        if (c.releaseAfterMs > 0) {
            release = std::thread([&] {
                Sleep(c.releaseAfterMs);  // how long the other program holds the file
                ReleaseHeldFile(held);
            });
        }
        auto run = RunUpdate(dir);
        if (release.joinable()) release.join();
        ReleaseHeldFile(held);
        EXPECT_TRUE(holder.WaitExit(30000));
        EXPECT_EQ(testsupport::ReadBytes(dir / L"other.pak"), "arrives anyway");
        EXPECT_FALSE(testsupport::FileExists(held + L".part"));
        const std::vector<std::string> texts = run.Texts();
        ASSERT_FALSE(texts.empty());
        if (c.releaseAfterMs > 0) {
            EXPECT_EQ(testsupport::ReadBytes(held), "the new release");
            EXPECT_EQ(texts.back(), kUpdated);
            EXPECT_EQ(run.Finished(), (std::vector<std::string>{"F 0"}));
        } else {
            EXPECT_EQ(testsupport::ReadBytes(held), "installed before");
            const std::string inUse = Text(player_texts::kFileInUse, L"data\\held.pak", player_texts::kUnknownHolder);
            EXPECT_EQ(texts.back(), inUse);
            EXPECT_NE(std::find(texts.begin(), texts.end() - 1, inUse), texts.end() - 1);
            EXPECT_TRUE(run.Logged("held.pak is in use"));
            EXPECT_TRUE(run.Logged("held.pak is held by"));
            EXPECT_EQ(run.Finished(), (std::vector<std::string>{"F 1"}));
        }
    }
}

TEST(UpdaterFileCheckTest, SizeAndContentDecideWhatIsQueued) {
    LoopbackHttpServer server;
    TempDir dir;
    Publish(server, {{"same-size.pak", "AAAA"}, {"wrong-size.pak", "BBBB"}, {"ok.pak", "CCCC"}});
    testsupport::WriteBytes(dir / L"same-size.pak", "XXXX");
    testsupport::WriteBytes(dir / L"wrong-size.pak", "BBBBBB");
    testsupport::WriteBytes(dir / L"ok.pak", "CCCC");
    // Held without sharing: reading it for a digest would log a sharing violation.
    HANDLE held = CreateFileW((dir / L"wrong-size.pak").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    auto run = RunUpdate(dir);
    CloseHandle(held);
    EXPECT_FALSE(run.Logged("wrong-size.pak err="));
    EXPECT_EQ(server.CountRequests("/patch/files/same-size.pak"), 1);
    EXPECT_EQ(server.CountRequests("/patch/files/wrong-size.pak"), 1);
    EXPECT_EQ(server.CountRequests("/patch/files/ok.pak"), 0);
    EXPECT_EQ(testsupport::ReadBytes(dir / L"same-size.pak"), "AAAA");
}

TEST(UpdaterFileCheckTest, LauncherEntriesAreDroppedOnlyAtTheTop) {
    LoopbackHttpServer server;
    TempDir dir;
    Publish(server, {{"sub\\Launcher.exe", "not the launcher"}},
            updatetest::FileLine("Launcher.exe", "x") + updatetest::FileLine("LAUNCHER.EXE", "y"));
    auto run = RunUpdate(dir);
    EXPECT_TRUE(run.Logged("[Launcher][updater] dropped Launcher.exe from FILE list -- launcher self-update goes through "
                           "LAUNCHER_SELF only\n"));
    EXPECT_EQ(server.CountRequests("/patch/files/sub/Launcher.exe"), 1);
    EXPECT_EQ(server.CountRequests("/patch/files/Launcher.exe"), 0);
    EXPECT_EQ(testsupport::ReadBytes(dir / L"sub\\Launcher.exe"), "not the launcher");
}

TEST(UpdaterFileCheckTest, OnlyLauncherEntryIsUpToDate) {
    LoopbackHttpServer server;
    TempDir dir;
    server.RouteBody("/patch/manifest.txt", updatetest::FileLine("launcher.EXE", "x"));
    auto run = RunUpdate(dir);
    EXPECT_EQ(Tail(run.messages, 3), (std::vector<std::string>{"S " + kUpToDate, "P 100", "F 0"}));
}

// Two workers must never write the same file.
TEST(UpdaterFileCheckTest, SamePathListedTwiceIsDownloadedOnce) {
    LoopbackHttpServer server;
    TempDir dir;
    server.RouteBody("/patch/files/data/d.pak", "ddd");
    server.RouteBody("/patch/files/DATA/D.PAK", "ddd");
    server.RouteBody("/patch/manifest.txt", updatetest::FileLine("data/d.pak", "ddd") + updatetest::FileLine("DATA\\D.PAK", "ddd"));
    auto run = RunUpdate(dir);
    EXPECT_EQ(server.CountRequests("/patch/files/data/d.pak") + server.CountRequests("/patch/files/DATA/D.PAK"), 1);
    EXPECT_EQ(Tail(run.messages, 2), (std::vector<std::string>{"S " + kUpdated, "F 0"}));
}

TEST(UpdaterWorkersTest, WorkerCountFollowsTheJobs) {
    for (int jobs : {3, 9}) {
        LoopbackHttpServer server;
        TempDir dir;
        std::map<std::string, std::string> files;
        for (int i = 0; i < jobs; ++i) files["f" + std::to_string(i) + ".bin"] = testsupport::PatternBytes(6000, i);
        Publish(server, files);
        for (const auto& f : files) {
            server.Route("/patch/files/" + f.first, HttpResponse{200, f.second, Delivery::Slow, 1000, 60});
        }
        auto run = RunUpdate(dir);
        EXPECT_EQ(server.MaxConcurrentRequests(), jobs < 4 ? jobs : 4) << jobs << " jobs";
        EXPECT_EQ(Tail(run.messages, 2), (std::vector<std::string>{"S " + kUpdated, "F 0"}));
    }
}

TEST(UpdaterWorkersTest, TenJobsAreEachDownloadedOnce) {
    LoopbackHttpServer server;
    TempDir dir;
    std::map<std::string, std::string> files;
    for (int i = 0; i < 10; ++i) files["d\\f" + std::to_string(i) + ".bin"] = testsupport::PatternBytes(40000 + i, i);
    Publish(server, files);
    auto run = RunUpdate(dir);
    for (const auto& f : files) {
        std::string url = f.first;
        url[1] = '/';
        EXPECT_EQ(server.CountRequests("/patch/files/" + url), 1) << url;
        EXPECT_EQ(testsupport::ReadBytes(dir / testsupport::Wide(f.first)), f.second);
    }
    EXPECT_EQ(Tail(run.messages, 3), (std::vector<std::string>{"P 100", "S " + kUpdated, "F 0"}));
}

TEST(UpdaterLeftoverTest, OldLauncherIsDeletedAtTheStart) {
    LoopbackHttpServer server;
    TempDir dir;
    Publish(server, {});
    testsupport::WriteBytes(dir / L"Launcher.exe.old", "previous launcher");
    RunUpdate(dir);
    EXPECT_FALSE(testsupport::FileExists(dir / L"Launcher.exe.old"));
}

// Every name a game may use reaches the host as its own: "100%.pak" and "a%20b.pak" are files of their own,
// not escapes, and "a%20b.pak" is not "a b.pak".
TEST(UpdaterNamesTest, EveryCharacterAGameMayUse) {
    LoopbackHttpServer server;
    TempDir dir;
    const std::map<std::string, std::string> files = {
        {"data/100%.pak", "percent"},
        {"data/a%20b.pak", "escape look-alike"},
        {"data/a b.pak", "space"},
        {"data/#1+2&[3];x.pak", "marks"},
        {"資料/地圖 一.map", "cjk"},
    };
    Publish(server, files);
    auto run = RunUpdate(dir);
    EXPECT_EQ(Tail(run.messages, 2), (std::vector<std::string>{"S " + kUpdated, "F 0"}));
    for (const auto& f : files) EXPECT_EQ(testsupport::ReadBytes(dir / testsupport::Wide(f.first)), f.second) << f.first;
    std::string heads;
    for (const std::string& head : server.RequestLines()) heads += head.substr(0, head.find("\r\n")) + "\n";
    for (const char* line : {"GET /patch/files/data/100%25.pak ", "GET /patch/files/data/a%2520b.pak ",
                             "GET /patch/files/data/a%20b.pak ", "GET /patch/files/data/%231%2B2%26%5B3%5D%3Bx.pak ",
                             "GET /patch/files/%E8%B3%87%E6%96%99/%E5%9C%B0%E5%9C%96%20%E4%B8%80.map "}) {
        EXPECT_NE(heads.find(line), std::string::npos) << line << "\n" << heads;
    }
}

// What broken runs and self-updates left: the ".part" of a listed file that is already whole, the new
// launcher's files when no self-update is due, and the previous launcher once its process has let go.
// A ".part" of a name the manifest does not list is not the launcher's to remove.
TEST(UpdaterLeftoverTest, LeftoversGoAndOtherFilesStay) {
    LoopbackHttpServer server;
    TempDir dir;
    Publish(server, {{"a.bin", "whole"}});
    for (const wchar_t* name : {L"a.bin", L"a.bin.part", L"unlisted.bin.part", L"Launcher.exe.new", L"Launcher.exe.new.part",
                                L"Launcher.exe.old"}) {
        ASSERT_TRUE(testsupport::WriteBytes(dir / name, name == std::wstring(L"a.bin") ? "whole" : "left over"));
    }
    testsupport::Process holder;
    ASSERT_TRUE(HoldInAnotherProcess(holder, dir / L"Launcher.exe.old"));
    auto run = RunUpdate(dir);
    EXPECT_EQ(Tail(run.messages, 3), (std::vector<std::string>{"S " + kUpToDate, "P 100", "F 0"}));
    for (const wchar_t* gone : {L"a.bin.part", L"Launcher.exe.new", L"Launcher.exe.new.part"}) {
        EXPECT_FALSE(testsupport::FileExists(dir / gone)) << testsupport::Utf8(gone);
    }
    EXPECT_TRUE(testsupport::FileExists(dir / L"unlisted.bin.part"));
    EXPECT_TRUE(testsupport::FileExists(dir / L"Launcher.exe.old")) << "still held by its process";
}

TEST(UpdaterLeftoverTest, PreviousLauncherGoesOnceReleased) {
    LoopbackHttpServer server;
    TempDir dir;
    const std::string slow(20000, 's');
    Publish(server, {{"slow.bin", slow}});
    server.Route("/patch/files/slow.bin", HttpResponse{200, slow, Delivery::Slow, 1000, 100});
    const std::wstring old = dir / L"Launcher.exe.old";
    ASSERT_TRUE(testsupport::WriteBytes(old, "previous launcher"));
    testsupport::Process holder;
    ASSERT_TRUE(HoldInAnotherProcess(holder, old));
    // Let go only once the run is under way (its manifest asked for): the first attempt has failed by then,
    // and the run keeps trying beside itself while its slow download goes on.
    std::thread release([&] {
        testsupport::WaitUntil([&] { return server.CountRequests("/patch/manifest.txt") > 0; }, 60000);
        ReleaseHeldFile(old);
    });
    auto run = RunUpdate(dir);
    release.join();
    EXPECT_EQ(Tail(run.messages, 2), (std::vector<std::string>{"S " + kUpdated, "F 0"}));
    EXPECT_TRUE(holder.WaitExit(30000));
    EXPECT_FALSE(testsupport::FileExists(old));
}

// The space needed is checked before any download: a game that does not fit downloads nothing.
TEST(UpdaterDiskTest, GameLargerThanTheDiskDownloadsNothing) {
    LoopbackHttpServer server;
    TempDir dir;
    const std::string huge = "FILE|huge.pak|1125899906842624|" + std::string(64, 'a') + "\n";
    Publish(server, {{"small.pak", "small"}}, huge);
    auto run = RunUpdate(dir);
    ASSERT_GE(run.Texts().size(), 1u);
    const std::string text = run.Texts().back();
    EXPECT_EQ(text.rfind("磁碟空間不足：需要 1073741888.0 MB，可用 ", 0), 0u) << text;
    EXPECT_EQ(run.Finished(), std::vector<std::string>{"F 1"});
    EXPECT_TRUE(run.Logged("[Launcher][updater] not enough disk space in "));
    EXPECT_EQ(server.CountRequests("/patch/files/small.pak"), 0);
    EXPECT_FALSE(testsupport::FileExists(dir / L"small.pak"));
}

// A game directory deep enough that its file paths pass 260 characters is checked and updated like any.
TEST(UpdaterDiskTest, PathsLongerThanThreeHundredCharacters) {
    LoopbackHttpServer server;
    TempDir dir;
    std::string deep = "deep";
    while (dir.Path().size() + deep.size() < 310) deep += "/" + std::string(30, 'y');
    deep += "/file.bin";
    Publish(server, {{deep, "far down"}, {"ro.bin", "new"}});
    ASSERT_TRUE(testsupport::WriteBytes(dir / L"ro.bin", "old"));
    ASSERT_TRUE(SetFileAttributesW((dir / L"ro.bin").c_str(), FILE_ATTRIBUTE_READONLY));
    auto first = RunUpdate(dir);
    EXPECT_EQ(Tail(first.messages, 2), (std::vector<std::string>{"S " + kUpdated, "F 0"}));
    EXPECT_EQ(testsupport::ReadBytes(dir / L"ro.bin"), "new");
    auto second = RunUpdate(dir);
    EXPECT_EQ(Tail(second.messages, 3), (std::vector<std::string>{"S " + kUpToDate, "P 100", "F 0"}));
    EXPECT_EQ(server.CountRequests("/patch/files/" + deep), 1);
}

// With CHECK=quick a file whose size, time and identity match the launcher's record is not hashed: a
// change that keeps all three goes unseen, as the operator accepted. Without the line, after --verify, with
// a damaged record file, for a file the launcher never recorded, and in a run whose start had to secure the
// folder or could not (until then others could write the file and forge its record), every file is hashed.
TEST(UpdaterQuickCheckTest, TrustsOnlyItsOwnRecordsAndOnlyWhenAllowed) {
    struct QuickCase {
        const char* name;
        bool quickLine;
        bool verify;
        bool damageRecords;
        bool keepTime;  // the change keeps the file's last-write time
        bool secure;    // the second run secures the folder first, as every start of the launcher does
        bool linkInside;  // which Wine shows as a link that the walk cannot secure
        bool changeCaught;
    };
    const QuickCase cases[] = {
        {"quick", true, false, false, true, false, false, false},
        {"quick, last-write time moved", true, false, false, false, false, false, true},
        {"quick, with --verify", true, true, false, true, false, false, true},
        {"quick, records damaged", true, false, true, true, false, false, true},
        {"full (the default)", false, false, false, true, false, false, true},
        {"quick, in the run that secures the folder", true, false, false, true, true, false, true},
        {"quick, in a run that cannot secure the folder", true, false, false, true, true, true, true},
    };
    for (const QuickCase& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackHttpServer server;
        TempDir dir;
        TempDir outside;
        std::map<std::string, std::string> files;
        for (int i = 0; i < 12; ++i) files["d/f" + std::to_string(i) + ".bin"] = testsupport::PatternBytes(5000, i);
        Publish(server, files, c.quickLine ? "CHECK=quick\n" : "");
        auto first = RunUpdate(dir);
        ASSERT_EQ(Tail(first.messages, 2), (std::vector<std::string>{"S " + kUpdated, "F 0"}));
        EXPECT_EQ(testsupport::FileExists(dir / L"korvane-check.cache"), c.quickLine);
        EXPECT_FALSE(testsupport::FileExists(dir / L"korvane-check.cache.tmp"));

        // The same size and (unless the case moves it) last-write time, other bytes: only hashing can tell.
        const std::wstring changed = dir / L"d\\f3.bin";
        HANDLE file = CreateFileW(changed.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        FILETIME written = {};
        GetFileTime(file, nullptr, nullptr, &written);
        DWORD done = 0;
        WriteFile(file, "XXXX", 4, &done, nullptr);
        if (!c.keepTime) {
            ULARGE_INTEGER time;  // one second on
            time.LowPart = written.dwLowDateTime;
            time.HighPart = written.dwHighDateTime;
            time.QuadPart += 10000000;
            written.dwLowDateTime = time.LowPart;
            written.dwHighDateTime = time.HighPart;
        }
        SetFileTime(file, nullptr, nullptr, &written);
        CloseHandle(file);
        if (c.damageRecords) {
            std::string records = testsupport::ReadBytes(dir / L"korvane-check.cache");
            records[records.size() / 2] ^= 1;
            ASSERT_TRUE(testsupport::WriteBytes(dir / L"korvane-check.cache", records));
        }
        if (c.linkInside) {
            ASSERT_TRUE(testsupport::MakeUnixLink(outside.Path(), dir / L"linked"));
        }
        updatetest::RunOptions options;
        options.verify = c.verify;
        options.secure = c.secure;
        const int before = server.CountRequests("/patch/files/d/f3.bin");
        auto second = RunUpdate(dir, L"Launcher.exe", options);
        EXPECT_EQ(server.CountRequests("/patch/files/d/f3.bin") - before, c.changeCaught ? 1 : 0);
        EXPECT_EQ(testsupport::ReadBytes(changed) == files["d/f3.bin"], c.changeCaught);
        // A tree made safe is recorded where only administrators write, for this very folder.
        const testsupport::RegistryValue record =
            testsupport::ReadMachineValue(L"GameFolderSecured " + InstallationDigest(dir.Path()));
        EXPECT_EQ(record.bytes, c.secure && !c.linkInside ? FolderIdentityBytes(dir.Path()) : std::string());
        std::vector<int> percents;
        for (const std::string& m : second.messages) {
            if (m.rfind("P ", 0) == 0) percents.push_back(std::stoi(m.substr(2)));
        }
        // Progress over the check: per examined file, each value once, up to 100.
        ASSERT_GE(percents.size(), 3u);
        EXPECT_EQ(percents[0], 0);
        for (std::size_t i = 2; i < percents.size() && percents[i - 1] < 100; ++i) EXPECT_GT(percents[i], percents[i - 1]);
    }
}
