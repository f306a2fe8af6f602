// The player's download speed limit over a line: what passes each second while every transfer of the process
// shares one limit, against the limit.
//
// Usage: bench_speed_limit --host BASE_URL --limit KIB --seconds N --threads N RELATIVE_URL...
// The threads fetch the URLs in turn, again and again, through the launcher's own request and body reading
// (RequestFromPatchHost, ReadBody: the gate is in the latter), counting the bytes and keeping none. One line:
//   limit_kib=.. seconds=.. average_mib_s=.. average_ratio=.. max_second_mib_s=.. max_second_ratio=.. series=a,b,..
// where the average runs over the seconds after the first (its connections open) and the ratios are against
// the limit (against 1 with no limit); series gives every whole second in MiB/s.
#include "update/Http.h"
#include "update/TransferGate.h"

#include "BenchClock.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<std::uint64_t> received{0};
std::atomic<bool> stopping{false};

void FetchInTurn(const std::wstring& host, const std::vector<std::wstring>& urls, std::size_t first) {
    HttpRequest http;
    for (std::size_t k = first; !stopping.load(); ++k) {
        const std::wstring& url = urls[k % urls.size()];
        if (RequestFromPatchHost(host, url.c_str(), std::wstring(), http) != HttpOpenStep::Done) {
            Sleep(100);
            continue;
        }
        ReadBody(http, UINT64_MAX, url.c_str(), [](const char*, std::size_t size) {
            received += size;
            return !stopping.load();
        });
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring host;
    unsigned limit = 0;
    int seconds = 12;
    int threads = 4;
    std::vector<std::wstring> urls;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--host" && i + 1 < argc) {
            host = argv[++i];
        } else if (arg == L"--limit" && i + 1 < argc) {
            limit = static_cast<unsigned>(std::wcstoul(argv[++i], nullptr, 10));
        } else if (arg == L"--seconds" && i + 1 < argc) {
            seconds = std::max(2, _wtoi(argv[++i]));
        } else if (arg == L"--threads" && i + 1 < argc) {
            threads = std::max(1, _wtoi(argv[++i]));
        } else {
            urls.push_back(arg);
        }
    }
    if (host.empty() || urls.empty()) {
        std::fprintf(stderr, "usage: bench_speed_limit --host BASE_URL --limit KIB --seconds N --threads N URL...\n");
        return 2;
    }
    SetSpeedLimit(limit);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) workers.emplace_back(FetchInTurn, host, urls, static_cast<std::size_t>(t));
    // The clock starts with the first byte: what came before is the connections' set-up.
    while (received.load() == 0) Sleep(1);
    std::vector<double> perSecond;
    double last = NowSeconds();
    std::uint64_t lastBytes = received.load();
    for (int s = 0; s < seconds; ++s) {
        const double due = last + 1.0;
        while (NowSeconds() < due) Sleep(2);
        const double now = NowSeconds();
        const std::uint64_t bytes = received.load();
        perSecond.push_back(static_cast<double>(bytes - lastBytes) / (now - last) / (1024.0 * 1024.0));
        last = now;
        lastBytes = bytes;
    }
    stopping = true;
    for (std::thread& worker : workers) worker.join();

    const double limitMib = limit == 0 ? 1.0 : limit / 1024.0;
    double sum = 0;
    for (std::size_t s = 1; s < perSecond.size(); ++s) sum += perSecond[s];
    const double average = sum / static_cast<double>(perSecond.size() - 1);
    const double peak = *std::max_element(perSecond.begin(), perSecond.end());
    std::printf("limit_kib=%u seconds=%zu average_mib_s=%.3f average_ratio=%.3f max_second_mib_s=%.3f max_second_ratio=%.3f series=",
                limit, perSecond.size() - 1, average, average / limitMib, peak, peak / limitMib);
    for (std::size_t s = 0; s < perSecond.size(); ++s) std::printf("%s%.2f", s ? "," : "", perSecond[s]);
    std::printf("\n");
    return 0;
}
