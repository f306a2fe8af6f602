// One file brought up to date from the benchmarks' patch host, timed: by its chunk index (the launcher's
// own path, falling back on the whole file as it would) or whole. The bytes that travel are counted by the
// host's access log; this prints the time, the outcome and what the delta path reports.
//
// Usage: bench_delta --url files/<path> --target PATH --size N --sha256 HEX
//                    [--index-sha256 HEX --index-size N]      (without them: the whole-file download)
#include "update/DeltaFetch.h"
#include "update/FileFetch.h"
#include "update/PatchHost.h"

#include "BenchClock.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    FetchTarget fetch;
    const std::vector<std::wstring> hosts = PatchHostList();
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring key = argv[i];
        const std::wstring value = argv[i + 1];
        if (key == L"--url") fetch.relativeUrl = value;
        if (key == L"--target") fetch.targetPath = value;
        if (key == L"--size") fetch.size = _wcstoui64(value.c_str(), nullptr, 10);
        if (key == L"--sha256") fetch.sha256 = Narrow(value);
        if (key == L"--index-sha256") fetch.offers.deltaIndexSha256 = Narrow(value);
        if (key == L"--index-size") fetch.offers.deltaIndexSize = _wcstoui64(value.c_str(), nullptr, 10);
    }
    fetch.name = fetch.relativeUrl;
    if (hosts.empty() || fetch.relativeUrl.empty() || fetch.targetPath.empty() || fetch.sha256.size() != 64) {
        std::fprintf(stderr, "usage: bench_delta --url files/<path> --target PATH --size N --sha256 HEX "
                             "[--index-sha256 HEX --index-size N]\n");
        return 2;
    }
    const double start = NowSeconds();
    const FetchResult result = FetchVerifiedFile(hosts, fetch, FetchListener{});
    const double seconds = NowSeconds() - start;
    std::printf("RESULT delta mode=%s verified=%d seconds=%.3f\n", fetch.offers.deltaIndexSize ? "delta" : "whole",
                result.outcome == FetchOutcome::Verified ? 1 : 0, seconds);
    std::fflush(stdout);
    return result.outcome == FetchOutcome::Verified ? 0 : 1;
}
