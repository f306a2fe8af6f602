// Hashing throughput: FileSha256Hex against a bare CNG loop over the same files, and ParseManifest over
// a generated manifest.
//
// Usage: bench_sha256 [--rounds N] [--manifest-lines N] PATH...
// Each PATH (a file, or a directory taken recursively) is measured on its own. Rounds alternate which
// of the two runs first; the figures are the medians over the rounds.
#include "update/Manifest.h"
#include "update/Sha256.h"

#include "BenchClock.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct FileItem {
    std::wstring path;
    std::uint64_t size = 0;
};

void Collect(const std::wstring& path, std::vector<FileItem>& out) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        std::fprintf(stderr, "cannot stat %s\n", Narrow(path).c_str());
        return;
    }
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        out.push_back({path, (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow});
        return;
    }
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return;
    std::vector<std::wstring> names;
    do {
        if (std::wcscmp(found.cFileName, L".") != 0 && std::wcscmp(found.cFileName, L"..") != 0) {
            names.push_back(found.cFileName);
        }
    } while (FindNextFileW(find, &found));
    FindClose(find);
    for (const std::wstring& name : names) Collect(path + L"\\" + name, out);
}

// The reference: the same CNG calls with nothing around them. Empty string on any failure.
std::string BareSha256Hex(const std::wstring& path, std::vector<unsigned char>& buffer) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::string text;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
        BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0) {
        bool ok = true;
        for (;;) {
            DWORD read = 0;
            if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
                ok = false;
                break;
            }
            if (read == 0) break;
            BCryptHashData(hash, buffer.data(), read, 0);
        }
        unsigned char digest[32] = {};
        if (ok && BCryptFinishHash(hash, digest, sizeof(digest), 0) == 0) {
            static const char kHex[] = "0123456789abcdef";
            text.assign(64, '0');
            for (int i = 0; i < 32; ++i) {
                text[2 * i] = kHex[digest[i] >> 4];
                text[2 * i + 1] = kHex[digest[i] & 15];
            }
        }
    }
    if (hash) BCryptDestroyHash(hash);
    if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
    CloseHandle(file);
    return text;
}

double TimeOurs(const std::vector<FileItem>& files, std::vector<std::string>* digests) {
    double start = NowSeconds();
    for (std::size_t i = 0; i < files.size(); ++i) {
        std::string d = FileSha256Hex(files[i].path);
        if (digests) (*digests)[i] = d;
    }
    return NowSeconds() - start;
}

double TimeBare(const std::vector<FileItem>& files, std::vector<std::string>* digests, std::size_t readBytes) {
    std::vector<unsigned char> buffer(readBytes);
    double start = NowSeconds();
    for (std::size_t i = 0; i < files.size(); ++i) {
        std::string d = BareSha256Hex(files[i].path, buffer);
        if (digests) (*digests)[i] = d;
    }
    return NowSeconds() - start;
}

bool MeasureSet(const std::wstring& root, int rounds) {
    std::vector<FileItem> files;
    Collect(root, files);
    std::uint64_t bytes = 0;
    for (const FileItem& f : files) bytes += f.size;
    const std::string label = Narrow(root);
    std::printf("set %s: %zu files, %llu bytes\n", label.c_str(), files.size(), static_cast<unsigned long long>(bytes));
    if (files.empty()) return false;

    // The first round also checks that both give the same digests.
    std::vector<std::string> ours(files.size()), bare(files.size());
    // The bare loop runs with 64 KiB and with 1 MiB reads, to show which read size the platform favours.
    std::vector<double> oursRates, bareRates, bigReadRates;
    for (int r = 0; r < rounds; ++r) {
        double tOurs = 0, tBare = 0, tBigRead = 0;
        if (r % 2 == 0) {
            tOurs = TimeOurs(files, r == 0 ? &ours : nullptr);
            tBare = TimeBare(files, r == 0 ? &bare : nullptr, 65536);
            tBigRead = TimeBare(files, nullptr, 1048576);
        } else {
            tBigRead = TimeBare(files, nullptr, 1048576);
            tBare = TimeBare(files, nullptr, 65536);
            tOurs = TimeOurs(files, nullptr);
        }
        oursRates.push_back(MibPerSecond(bytes, tOurs));
        bareRates.push_back(MibPerSecond(bytes, tBare));
        bigReadRates.push_back(MibPerSecond(bytes, tBigRead));
        std::printf("  round %d: ours %.1f MiB/s (%.3f s), bare CNG 64 KiB reads %.1f MiB/s (%.3f s), 1 MiB reads %.1f MiB/s (%.3f s)\n",
                    r + 1, oursRates.back(), tOurs, bareRates.back(), tBare, bigReadRates.back(), tBigRead);
    }
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (ours[i].empty() || ours[i] != bare[i]) ++mismatches;
    }
    double o = Median(oursRates), b = Median(bareRates), big = Median(bigReadRates);
    std::printf("RESULT sha256 set=%s files=%zu bytes=%llu ours_mibs=%.1f bare_mibs=%.1f ratio=%.3f bare_1m_mibs=%.1f "
                "bare_1m_min=%.1f bare_1m_max=%.1f bare_min=%.1f bare_max=%.1f mismatches=%zu\n",
                label.c_str(), files.size(), static_cast<unsigned long long>(bytes), o, b, b > 0 ? o / b : 0.0, big,
                Lowest(bigReadRates), Highest(bigReadRates), Lowest(bareRates), Highest(bareRates), mismatches);
    return mismatches == 0;
}

void MeasureManifest(int lines, int rounds) {
    std::string text = "# generated for the benchmark\nVERSION=9.9.9\nSTATUS=ok\nNEWS=bench\n";
    text.reserve(static_cast<std::size_t>(lines) * 110 + 128);
    char line[160];
    for (int i = 0; i < lines; ++i) {
        // A digest-shaped field that differs per line.
        char hex[65];
        unsigned int x = 2166136261u ^ static_cast<unsigned int>(i);
        for (int k = 0; k < 64; ++k) {
            x = x * 16777619u + 0x9e3779b9u;
            hex[k] = "0123456789abcdef"[(x >> 24) & 15];
        }
        hex[64] = '\0';
        std::snprintf(line, sizeof(line), "FILE|data/d%03d/file%06d.bin|%d|%s\n", i % 1000, i, 1048576 + i, hex);
        text += line;
    }
    std::vector<double> ms;
    std::size_t parsed = 0;
    for (int r = 0; r < rounds; ++r) {
        Manifest manifest;
        double start = NowSeconds();
        ParseManifest(text, manifest);
        ms.push_back((NowSeconds() - start) * 1000.0);
        parsed = manifest.files.size();
        std::printf("  manifest round %d: %.1f ms, %zu FILE entries\n", r + 1, ms.back(), parsed);
    }
    double m = Median(ms);
    std::printf("RESULT manifest lines=%d bytes=%zu files=%zu ms=%.1f lines_per_s=%.0f\n", lines, text.size(), parsed, m,
                m > 0 ? lines * 1000.0 / m : 0.0);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int rounds = 3;
    int manifestLines = 200000;
    std::vector<std::wstring> paths;
    for (int i = 1; i < argc; ++i) {
        std::wstring a = argv[i];
        if (a == L"--rounds" && i + 1 < argc) {
            rounds = _wtoi(argv[++i]);
        } else if (a == L"--manifest-lines" && i + 1 < argc) {
            manifestLines = _wtoi(argv[++i]);
        } else {
            paths.push_back(a);
        }
    }
    if (rounds < 1) rounds = 1;
    bool ok = true;
    for (const std::wstring& p : paths) ok = MeasureSet(p, rounds) && ok;
    if (manifestLines > 0) MeasureManifest(manifestLines, rounds);
    std::fflush(stdout);
    return ok ? 0 : 1;
}
