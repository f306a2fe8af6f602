#include "update/StatusChannel.h"

#include "TestWindows.h"

#include <gtest/gtest.h>

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
