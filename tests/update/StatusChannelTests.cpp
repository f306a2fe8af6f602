#include "update/StatusChannel.h"
#include "update/HttpDownload.h"
#include "update/TransferReport.h"
#include "update/PatchHost.h"

#include "LoopbackHttpServer.h"
#include "TempDir.h"
#include "TestFiles.h"
#include "TestWindows.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

TEST(StatusChannelTest, MessageNumbers) {
    EXPECT_EQ(WM_UPDATE_PROGRESS, 0x8001u);
    EXPECT_EQ(WM_UPDATE_STATUS, 0x8002u);
    EXPECT_EQ(WM_UPDATE_FINISHED, 0x8003u);
    EXPECT_EQ(WM_UPDATE_RESTART, 0x8005u);
}

TEST(StatusChannelTest, TextArrivesFormattedAndLongTextIsCut) {
    testsupport::MessageCollector window;
    PostStatusText(window.Window(), L"%ls (%d/%d)", L"\u4E0B\u8F09\u4E2D", 3, 7);
    PostStatusText(window.Window(), L"%ls", std::wstring(2000, L'x').c_str());
    PostStatusText(window.Window(), L"%ls", std::wstring(1023, L'y').c_str());
    window.Drain();
    std::vector<std::wstring> texts = window.Texts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], L"\u4E0B\u8F09\u4E2D (3/7)");
    EXPECT_EQ(texts[1], std::wstring(1023, L'x'));
    EXPECT_EQ(texts[2], std::wstring(1023, L'y'));
}

TEST(StatusChannelTest, NullWindowPostsNothing) {
    testsupport::MessageCollector window;
    PostStatusText(nullptr, L"lost");
    window.Drain(50);
    EXPECT_TRUE(window.Drain().empty());
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_UPDATE_STATUS, WM_UPDATE_STATUS, PM_NOREMOVE));
}

namespace {
// Bytes in use on the process heap, where status texts live.
SIZE_T HeapBytesInUse() {
    HANDLE heap = GetProcessHeap();
    SIZE_T busy = 0;
    HeapLock(heap);
    PROCESS_HEAP_ENTRY entry = {};
    while (HeapWalk(heap, &entry)) {
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) busy += entry.cbData;
    }
    HeapUnlock(heap);
    return busy;
}
}  // namespace

// A post that fails (the window is gone) must free its copy: 20,000 lost 2 KB texts would be 40 MB.
TEST(StatusChannelTest, PostToDestroyedWindowFreesTheCopy) {
    HWND gone = nullptr;
    {
        testsupport::MessageCollector window;
        gone = window.Window();
    }
    ASSERT_FALSE(IsWindow(gone));
    const std::wstring text(1000, L'z');
    for (int i = 0; i < 200; ++i) PostStatusText(gone, L"%ls", text.c_str());  // warm the heap up
    const SIZE_T before = HeapBytesInUse();
    for (int i = 0; i < 20000; ++i) PostStatusText(gone, L"%ls", text.c_str());
    const SIZE_T after = HeapBytesInUse();
    EXPECT_LT(after, before + 4 * 1024 * 1024) << "grew by " << (after - before) << " bytes";
}

// A percent whose post failed is posted with the next call, not taken as already sent.
TEST(StatusChannelTest, ProgressPosterRetriesAPercentWhosePostFailed) {
    HWND gone = nullptr;
    {
        testsupport::MessageCollector window;
        gone = window.Window();
    }
    testsupport::MessageCollector window;
    ProgressPoster sender;
    sender.Post(gone, 42);
    sender.Post(window.Window(), 42);
    window.Drain();
    EXPECT_EQ(window.Percents(), std::vector<int>{42});
}

TEST(StatusChannelTest, FinalMessagesArriveOnceAndAGoneWindowIsNotWaitedFor) {
    struct FinalCase {
        const char* name;
        bool (*post)(HWND);
        UINT message;
        WPARAM wParam;
    };
    const FinalCase cases[] = {
        {"finished, game may start", [](HWND w) { return PostFinished(w, true); }, WM_UPDATE_FINISHED, 0},
        {"finished, game may not start", [](HWND w) { return PostFinished(w, false); }, WM_UPDATE_FINISHED, 1},
        {"restart", [](HWND w) { return PostRestart(w); }, WM_UPDATE_RESTART, 0},
    };
    for (const FinalCase& c : cases) {
        SCOPED_TRACE(c.name);
        HWND gone = nullptr;
        {
            testsupport::MessageCollector closed;
            gone = closed.Window();
        }
        EXPECT_FALSE(c.post(gone));
        EXPECT_FALSE(c.post(nullptr));
        testsupport::MessageCollector window;
        EXPECT_TRUE(c.post(window.Window()));
        const auto& messages = window.Drain();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].message, c.message);
        EXPECT_EQ(messages[0].wParam, c.wParam);
    }
}

// Regression: every received chunk posted a progress message, thousands a second with four workers.
TEST(StatusChannelTest, DownloadPostsEachPercentOnce) {
    const std::string body = testsupport::PatternBytes(4 * 1024 * 1024, 9);
    const std::uint64_t size = body.size();
    struct DownloadCase {
        const char* name;
        std::uint64_t sharedStart;  // with sharedTotal 0: the file's own percent
        std::uint64_t sharedTotal;
        std::vector<int> posted;    // empty: every value from the first to 100, each once
    };
    const DownloadCase cases[] = {
        {"the run's percent barely moves during this file", 0, 100 * size, {0, 1}},
        {"half the run already done", 50 * size, 100 * size, {50, 51}},
        {"the file's own percent", 0, 0, {}},
    };
    testsupport::LoopbackHttpServer server;
    server.RouteBody("/patch/files/big.bin", body);
    for (const DownloadCase& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir;
        testsupport::MessageCollector window;
        std::atomic<std::uint64_t> shared(c.sharedStart);
        TransferReporter reporter(window.Window(), L"L", c.sharedTotal ? &shared : nullptr, c.sharedTotal);
        HttpRequest http;
        ASSERT_TRUE(HttpDownloadToFile(http, PatchBaseUrl, L"files/big.bin", dir / L"big.bin", size,
                                       testsupport::Sha256Hex(body), &reporter));
        window.Drain();
        const std::vector<int> percents = window.Percents();
        if (!c.posted.empty()) {
            EXPECT_EQ(percents, c.posted);
        } else {
            ASSERT_FALSE(percents.empty());
            EXPECT_EQ(percents.back(), 100);
            for (std::size_t i = 1; i < percents.size(); ++i) EXPECT_GT(percents[i], percents[i - 1]);
        }
    }
}
