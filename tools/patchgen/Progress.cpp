#include "Progress.h"

#include <cstdio>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

void Draw(Progress* p) {
    auto now = std::chrono::steady_clock::now();
    double seconds = std::chrono::duration<double>(now - p->start).count();
    double mb = static_cast<double>(p->doneBytes) / 1e6;
    double rate = seconds > 0 ? mb / seconds : 0.0;
    std::fprintf(stderr, "\r%llu/%llu files, %.1f/%.1f MB, %.1f MB/s   ",
                 static_cast<unsigned long long>(p->doneFiles), static_cast<unsigned long long>(p->totalFiles), mb,
                 static_cast<double>(p->totalBytes) / 1e6, rate);
    std::fflush(stderr);
    p->lastDrawn = now;
    p->drawn = true;
}

void MaybeDraw(Progress* p) {
    if (!p->enabled) return;
    auto now = std::chrono::steady_clock::now();
    if (!p->drawn || now - p->lastDrawn >= std::chrono::milliseconds(200)) Draw(p);
}

}  // namespace

bool ProgressWanted(bool quiet, bool forced) {
    if (quiet) return false;
    if (forced) return true;
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

void ProgressStart(Progress* p, bool enabled, std::uint64_t totalFiles, std::uint64_t totalBytes) {
    *p = Progress{};
    p->enabled = enabled;
    p->totalFiles = totalFiles;
    p->totalBytes = totalBytes;
    p->start = std::chrono::steady_clock::now();
}

void ProgressAddBytes(Progress* p, std::uint64_t bytes) {
    p->doneBytes += bytes;
    MaybeDraw(p);
}

void ProgressFileDone(Progress* p) {
    ++p->doneFiles;
    MaybeDraw(p);
}

void ProgressFinish(Progress* p) {
    if (!p->enabled) return;
    Draw(p);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}
