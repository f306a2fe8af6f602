// Download throughput: HttpDownloadToFile against a bare WinHTTP read-and-write loop, same URLs, same
// server (the patch base URL this program was built with).
//
// Usage: bench_download [--threads N] [--rounds N] --out DIR RELATIVE_URL...
// The URLs are shared out to N threads, each taking the next one until none is left. Per round three
// runs: ours (HttpDownloadToFile: .part file, flush, move), bare (open, read, write, close), and bare
// followed by FlushFileBuffers, which shows what the flush alone costs. Figures are medians over rounds.
#include "update/HttpDownload.h"
#include "update/Sha256.h"
#include "update/PatchHost.h"

#include "BenchClock.h"

#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Target {
    std::wstring host;
    INTERNET_PORT port = 80;
    std::wstring basePath;
};

bool CrackBase(Target& target) {
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    wchar_t host[256] = {};
    wchar_t path[1024] = {};
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 1024;
    if (!WinHttpCrackUrl(PatchBaseUrl, 0, 0, &parts)) return false;
    target.host = host;
    target.port = parts.nPort;
    target.basePath = path;
    return true;
}

// GET base + url into `out`; the bytes written, or -1 on failure.
long long BareDownload(const Target& target, const std::wstring& url, const std::wstring& out, bool flush) {
    long long total = -1;
    HINTERNET root = WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    HINTERNET connection = root ? WinHttpConnect(root, target.host.c_str(), target.port, 0) : nullptr;
    HINTERNET request = connection ? WinHttpOpenRequest(connection, L"GET", (target.basePath + url).c_str(), nullptr,
                                                        WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                   : nullptr;
    if (request && WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
        WinHttpReceiveResponse(request, nullptr)) {
        HANDLE file = CreateFileW(out.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            std::vector<char> buffer;
            long long done = 0;
            bool ok = true;
            for (;;) {
                DWORD available = 0;
                if (!WinHttpQueryDataAvailable(request, &available)) { ok = false; break; }
                if (available == 0) break;
                if (buffer.size() < available) buffer.resize(available);
                DWORD read = 0, written = 0;
                if (!WinHttpReadData(request, buffer.data(), available, &read)) { ok = false; break; }
                if (!WriteFile(file, buffer.data(), read, &written, nullptr) || written != read) { ok = false; break; }
                done += written;
            }
            if (ok && flush && !FlushFileBuffers(file)) ok = false;
            CloseHandle(file);
            if (ok) total = done;
        }
    }
    if (request) WinHttpCloseHandle(request);
    if (connection) WinHttpCloseHandle(connection);
    if (root) WinHttpCloseHandle(root);
    return total;
}

long long FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return static_cast<long long>((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

struct RunResult {
    double seconds = 0;
    std::uint64_t bytes = 0;
    int failures = 0;
};

// Runs `one(index)` for every URL on `threads` threads; `one` returns the bytes or -1.
RunResult RunAll(std::size_t count, int threads, const std::function<long long(std::size_t)>& one) {
    std::atomic<std::size_t> next{0};
    std::atomic<std::uint64_t> bytes{0};
    std::atomic<int> failures{0};
    auto worker = [&] {
        for (;;) {
            std::size_t k = next.fetch_add(1);
            if (k >= count) return;
            long long got = one(k);
            if (got < 0) ++failures; else bytes += static_cast<std::uint64_t>(got);
        }
    };
    double start = NowSeconds();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) pool.emplace_back(worker);
    for (std::thread& t : pool) t.join();
    RunResult result;
    result.seconds = NowSeconds() - start;
    result.bytes = bytes.load();
    result.failures = failures.load();
    return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int threads = 1;
    int rounds = 3;
    std::wstring outDir;
    std::vector<std::wstring> urls;
    for (int i = 1; i < argc; ++i) {
        std::wstring a = argv[i];
        if (a == L"--threads" && i + 1 < argc) threads = _wtoi(argv[++i]);
        else if (a == L"--rounds" && i + 1 < argc) rounds = _wtoi(argv[++i]);
        else if (a == L"--out" && i + 1 < argc) outDir = argv[++i];
        else urls.push_back(a);
    }
    if (threads < 1) threads = 1;
    if (rounds < 1) rounds = 1;
    Target target;
    if (outDir.empty() || urls.empty() || !CrackBase(target)) {
        std::fprintf(stderr, "usage: bench_download [--threads N] [--rounds N] --out DIR RELATIVE_URL...\n");
        return 2;
    }
    CreateDirectoryW(outDir.c_str(), nullptr);
    std::printf("base %s, %zu URLs, %d thread(s)\n", Narrow(PatchBaseUrl).c_str(), urls.size(), threads);

    auto outPath = [&](const wchar_t* mode, std::size_t k) { return outDir + L"\\" + mode + std::to_wstring(k) + L".bin"; };
    auto clean = [&](const wchar_t* mode) {
        for (std::size_t k = 0; k < urls.size(); ++k) DeleteFileW(outPath(mode, k).c_str());
    };
    auto bare = [&](std::size_t k) { return BareDownload(target, urls[k], outPath(L"bare", k), false); };
    // The launcher downloads only what a manifest lists: size and digest, learnt here from one bare download.
    std::vector<std::uint64_t> sizes(urls.size());
    std::vector<std::string> digests(urls.size());
    for (std::size_t k = 0; k < urls.size(); ++k) {
        const long long size = bare(k);
        digests[k] = FileSha256Hex(outPath(L"bare", k));
        if (size < 0 || digests[k].empty()) {
            std::fprintf(stderr, "cannot fetch %s\n", Narrow(urls[k]).c_str());
            return 2;
        }
        sizes[k] = static_cast<std::uint64_t>(size);
    }
    clean(L"bare");
    auto ours = [&](std::size_t k) -> long long {
        std::wstring out = outPath(L"ours", k);
        HttpRequest http;  // a session of its own for each download
        if (!HttpDownloadToFile(http, PatchBaseUrl, urls[k].c_str(), out, sizes[k], digests[k], nullptr)) return -1;
        return FileSize(out);
    };
    auto bareFlush = [&](std::size_t k) { return BareDownload(target, urls[k], outPath(L"flush", k), true); };

    std::vector<double> oursRates, bareRates, flushRates;
    std::uint64_t bytes = 0;
    int failures = 0;
    for (int r = 0; r < rounds; ++r) {
        // Alternate the order so that neither side always runs on a cold or a warm server.
        RunResult o, b, f;
        if (r % 2 == 0) {
            o = RunAll(urls.size(), threads, ours); clean(L"ours");
            b = RunAll(urls.size(), threads, bare); clean(L"bare");
        } else {
            b = RunAll(urls.size(), threads, bare); clean(L"bare");
            o = RunAll(urls.size(), threads, ours); clean(L"ours");
        }
        f = RunAll(urls.size(), threads, bareFlush); clean(L"flush");
        failures += o.failures + b.failures + f.failures;
        bytes = o.bytes;
        if (b.bytes != o.bytes || f.bytes != o.bytes) ++failures;
        oursRates.push_back(MibPerSecond(o.bytes, o.seconds));
        bareRates.push_back(MibPerSecond(b.bytes, b.seconds));
        flushRates.push_back(MibPerSecond(f.bytes, f.seconds));
        std::printf("  round %d: ours %.1f MiB/s (%.3f s), bare WinHTTP %.1f MiB/s (%.3f s), bare+flush %.1f MiB/s (%.3f s)\n",
                    r + 1, oursRates.back(), o.seconds, bareRates.back(), b.seconds, flushRates.back(), f.seconds);
    }
    double om = Median(oursRates), bm = Median(bareRates), fm = Median(flushRates);
    std::printf("RESULT download threads=%d urls=%zu bytes=%llu ours_mibs=%.1f bare_mibs=%.1f bare_flush_mibs=%.1f "
                "ratio=%.3f ratio_vs_flush=%.3f failures=%d\n",
                threads, urls.size(), static_cast<unsigned long long>(bytes), om, bm, fm, bm > 0 ? om / bm : 0.0,
                fm > 0 ? om / fm : 0.0, failures);
    std::fflush(stdout);
    return failures == 0 ? 0 : 1;
}
