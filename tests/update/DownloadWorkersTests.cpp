// The download worker and the sequential fallback, run on the test's own thread against the loopback host.
#include "PlayerTexts.h"
#include "TextFormat.h"
#include "common/PathRules.h"
#include "update/DownloadWorkers.h"
#include "update/PatchHost.h"
#include "update/StatusChannel.h"

#include "LoopbackHttpServer.h"
#include "TempDir.h"
#include "TestFiles.h"
#include "TestWindows.h"

#include <gtest/gtest.h>

using testsupport::HttpResponse;
using testsupport::LoopbackHttpServer;
using testsupport::TempDir;

namespace {

class DownloadBatchTest : public testing::Test {
protected:
    // Lists a file in the manifest and serves `served` for it.
    void AddJob(const std::string& path, const std::string& content, const HttpResponse& served) {
        manifest.files.push_back(ManifestFile{testsupport::Wide(path), content.size(), testsupport::Sha256Hex(content)});
        std::string url = path;
        for (char& c : url) {
            if (c == '\\') c = '/';
        }
        server.Route("/patch/files/" + url, served);
        jobs.push_back(jobs.size());
        batch.totalBytes += content.size();
    }

    void Prepare(HWND window) {
        batch.notifyWindow = window;
        batch.manifest = &manifest;
        batch.jobs = &jobs;
        batch.launcherDir = dir.Path();
        batch.hosts = {PatchBaseUrl};
        batch.jobCount = static_cast<long>(jobs.size());
    }

    LoopbackHttpServer server;
    TempDir dir;
    Manifest manifest;
    std::vector<std::size_t> jobs;
    DownloadBatch batch;
};

const std::wstring kDownloading = player_texts::kDownloading;
const std::wstring kVerifyFailed = player_texts::kVerifyFailed;

}  // namespace

TEST(ServedPathTest, WideManifestPathsAreRequestedWithSlashes) {
    EXPECT_EQ(path_rules::ServedPath(std::wstring_view(L"data\\sound\\a.wav")), L"files/data/sound/a.wav");
    EXPECT_EQ(path_rules::ServedPath(std::wstring_view(L"Data/Mixed\\Case.PAK")), L"files/Data/Mixed/Case.PAK");
}

TEST_F(DownloadBatchTest, OneJobCountsOneOfOne) {
    AddJob("data\\sound\\a.wav", "wave", HttpResponse{200, "wave"});
    testsupport::MessageCollector window;
    Prepare(window.Window());
    EXPECT_EQ(RunDownloadWorker(&batch), 0u);
    EXPECT_EQ(batch.completed.load(), 1);
    EXPECT_EQ(batch.failed.load(), 0);
    EXPECT_EQ(batch.bytesDone.load(), 4u);
    EXPECT_EQ(testsupport::ReadBytes(dir / L"data\\sound\\a.wav"), "wave");
    window.Drain();
    ASSERT_FALSE(window.Texts().empty());
    EXPECT_EQ(window.Texts()[0].rfind(kDownloading + L" (1/1) data\\sound\\a.wav  ", 0), 0u)
        << testsupport::Utf8(window.Texts()[0]);
}

TEST_F(DownloadBatchTest, WorkerReportsEachFailureAndRecordsTheLast) {
    AddJob("ok.bin", "fine", HttpResponse{200, "fine"});
    AddJob("missing.bin", "lost", HttpResponse{404, "no"});
    AddJob("tampered.bin", "original", HttpResponse{200, "tampered"});
    testsupport::MessageCollector window;
    Prepare(window.Window());
    RunDownloadWorker(&batch);  // one worker on this thread: jobs in order
    EXPECT_EQ(batch.completed.load(), 3);
    EXPECT_EQ(batch.failed.load(), 2);
    EXPECT_EQ(batch.lastFailedPath, L"tampered.bin");
    EXPECT_EQ(batch.lastFailedReason, kVerifyFailed);
    EXPECT_FALSE(testsupport::FileExists(dir / L"tampered.bin")) << "wrong bytes never take a file's name";
    EXPECT_FALSE(testsupport::FileExists(dir / L"tampered.bin.part"));
    window.Drain();
    std::vector<std::wstring> failures;
    for (const std::wstring& t : window.Texts()) {
        if (t.rfind(kDownloading, 0) != 0) failures.push_back(t);
    }
    EXPECT_EQ(failures, (std::vector<std::wstring>{FormatWideCut(kStatusTextChars, player_texts::kDownloadFailedNamed, L"missing.bin"),
                                                   FormatWideCut(kStatusTextChars, player_texts::kVerifyFailedNamed, L"tampered.bin")}));
    // The labels count the jobs finished so far plus one.
    bool sawThird = false;
    for (const std::wstring& t : window.Texts()) {
        if (t.rfind(kDownloading + L" (3/3) tampered.bin", 0) == 0) sawThird = true;
    }
    EXPECT_TRUE(sawThird);
}

TEST_F(DownloadBatchTest, SequentialFallbackOnlyCounts) {
    AddJob("ok.bin", "fine", HttpResponse{200, "fine"});
    AddJob("missing.bin", "lost", HttpResponse{404, "no"});
    AddJob("tampered.bin", "original", HttpResponse{200, "tampered"});
    testsupport::MessageCollector window;
    Prepare(window.Window());
    RunDownloadsSequentially(batch);
    EXPECT_EQ(batch.failed.load(), 2);
    EXPECT_EQ(batch.completed.load(), 0);
    EXPECT_TRUE(batch.lastFailedPath.empty());
    EXPECT_EQ(testsupport::ReadBytes(dir / L"ok.bin"), "fine");
    window.Drain();
    for (const std::wstring& t : window.Texts()) {
        EXPECT_EQ(t.rfind(kDownloading + L" ", 0), 0u) << testsupport::Utf8(t);  // transfer lines only
        EXPECT_EQ(t.find(L"/3)"), std::wstring::npos) << testsupport::Utf8(t);      // "下載中 path", no count
    }
    EXPECT_EQ(batch.bytesDone.load(), 4u);  // what the good transfer wrote; the wrong bytes are taken back
}
