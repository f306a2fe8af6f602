// A transfer that breaks off at half and is resumed: the bytes the host sends again, against the file's
// size, beside the same transfer started over from nothing (what the launcher did before it kept ".part"
// files). Runs its own loopback host.
//
// Usage: bench_resume [--mib N] [--rounds N]
#include "update/FileFetch.h"
#include "update/HttpDownload.h"
#include "update/Sha256.h"
#include "update/PatchHost.h"

#include "BenchClock.h"
#include "LoopbackHttpServer.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

std::string Pattern(std::size_t size) {
    std::string out(size, '\0');
    std::uint32_t x = 2463534242u;
    for (char& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::size_t mib = 256;
    int rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::wcscmp(argv[i], L"--mib") == 0) mib = static_cast<std::size_t>(_wtoi(argv[i + 1]));
        if (std::wcscmp(argv[i], L"--rounds") == 0) rounds = _wtoi(argv[i + 1]);
    }
    const std::string body = Pattern(mib * 1024 * 1024);
    unsigned char sha[32] = {};
    const std::string digest = Sha256OfBytes(body.data(), body.size(), sha) ? DigestHex(sha) : std::string();
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring target = std::wstring(temp) + L"korvane-resume-bench.bin";
    testsupport::LoopbackHttpServer server(18481);
    if (!server.Started()) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:18481\n");
        return 2;
    }
    const std::wstring base = L"http://127.0.0.1:18481/patch/";

    std::vector<double> resumedShare, wholeShare, resumedSeconds, wholeSeconds;
    for (int round = 0; round < rounds; ++round) {
        for (bool keepPart : {true, false}) {
            DeleteFileW(target.c_str());
            DeleteFileW((target + L".part").c_str());
            testsupport::HttpResponse cut{200, body, testsupport::Delivery::CutOrderly};
            cut.deliveryTimes = 1;
            server.Route("/patch/files/big.bin", cut);
            HttpRequest http;
            const DownloadResult broken =
                HttpDownloadToFile(http, base, L"files/big.bin", target, body.size(), digest, nullptr);
            if (broken.outcome != DownloadOutcome::Broken) {
                std::fprintf(stderr, "the first transfer did not break off\n");
                return 2;
            }
            if (!keepPart) DeleteFileW((target + L".part").c_str());
            const std::uint64_t before = server.BodyBytesSent();
            const double start = NowSeconds();
            HttpRequest fresh;
            const DownloadResult again =
                HttpDownloadToFile(fresh, base, L"files/big.bin", target, body.size(), digest, nullptr);
            const double seconds = NowSeconds() - start;
            if (!again) {
                std::fprintf(stderr, "the second transfer failed\n");
                return 2;
            }
            const double share = static_cast<double>(server.BodyBytesSent() - before) / static_cast<double>(body.size());
            (keepPart ? resumedShare : wholeShare).push_back(share);
            (keepPart ? resumedSeconds : wholeSeconds).push_back(seconds);
        }
    }
    DeleteFileW(target.c_str());
    std::printf("file                       %zu MiB, cut at half, %d rounds\n", mib, rounds);
    std::printf("resumed: sent again        %.2f %% of the file (median), %.2f s\n", Median(resumedShare) * 100.0,
                Median(resumedSeconds));
    std::printf("started over: sent again   %.2f %% of the file (median), %.2f s\n", Median(wholeShare) * 100.0,
                Median(wholeSeconds));
    return 0;
}
