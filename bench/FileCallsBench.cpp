// What one file costs the start-up check, call by call: a bare loop of CreateFileW and CloseHandle over many
// small files, the same with each query the file layer may make on the handle, and the check's own hashing
// of a listed file beside the checked open and a bare CNG loop. Under Wine the queries differ by an order of
// magnitude (GetFileInformationByHandle asks the mount manager's process for the volume serial).
//
// Usage: bench_file_calls [--rounds N] DIR      (every file below DIR, recursively; medians over the rounds)
#include "update/LocalFiles.h"
#include "update/Sha256.h"

#include "BenchClock.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

void Collect(const std::wstring& dir, std::vector<std::wstring>& out) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            Collect(dir + L"\\" + name, out);
        } else {
            out.push_back(dir + L"\\" + name);
        }
    } while (FindNextFileW(find, &found));
    FindClose(find);
}

// Opens each file as the file layer does, makes `query` on the handle, closes it.
double OpenQueryClose(const std::vector<std::wstring>& files, const std::function<void(HANDLE)>& query) {
    const double start = NowSeconds();
    for (const std::wstring& path : files) {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file == INVALID_HANDLE_VALUE) continue;
        if (query) query(file);
        CloseHandle(file);
    }
    return NowSeconds() - start;
}

double BareHashLoop(const std::vector<std::wstring>& files) {
    const double start = NowSeconds();
    std::vector<unsigned char> buffer(65536);
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    for (const std::wstring& path : files) {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (file == INVALID_HANDLE_VALUE) continue;
        BCRYPT_HASH_HANDLE hash = nullptr;
        BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
        DWORD read = 0;
        while (ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) && read > 0) {
            BCryptHashData(hash, buffer.data(), read, 0);
        }
        unsigned char digest[32];
        BCryptFinishHash(hash, digest, sizeof(digest), 0);
        BCryptDestroyHash(hash);
        CloseHandle(file);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return NowSeconds() - start;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int rounds = 3;
    std::wstring dir;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--rounds" && i + 1 < argc) {
            rounds = _wtoi(argv[++i]);
        } else {
            dir = arg;
        }
    }
    std::vector<std::wstring> files;
    if (!dir.empty()) Collect(dir, files);
    if (files.empty()) {
        std::fprintf(stderr, "usage: bench_file_calls [--rounds N] DIR (a folder with files)\n");
        return 2;
    }

    struct Measure {
        const char* name;
        std::function<double()> run;
        std::vector<double> seconds;
    };
    std::vector<Measure> measures = {
        {"open+close", [&] { return OpenQueryClose(files, nullptr); }, {}},
        {"+FileAttributeTagInfo", [&] { return OpenQueryClose(files, [](HANDLE h) {
             FILE_ATTRIBUTE_TAG_INFO tag;
             GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof(tag));
         }); }, {}},
        {"+GetFinalPathNameByHandleW", [&] { return OpenQueryClose(files, [](HANDLE h) {
             wchar_t path[1024];
             GetFinalPathNameByHandleW(h, path, 1024, 0);
         }); }, {}},
        {"+FileStandardInfo", [&] { return OpenQueryClose(files, [](HANDLE h) {
             FILE_STANDARD_INFO info;
             GetFileInformationByHandleEx(h, FileStandardInfo, &info, sizeof(info));
         }); }, {}},
        {"+GetFileInformationByHandle", [&] { return OpenQueryClose(files, [](HANDLE h) {
             BY_HANDLE_FILE_INFORMATION info;
             GetFileInformationByHandle(h, &info);
         }); }, {}},
        {"bare hash loop", [&] { return BareHashLoop(files); }, {}},
        {"check: listed file", [&] {
             const double start = NowSeconds();
             for (const std::wstring& path : files) {
                 const ScopedHandle file = local_files::OpenListedToRead(path);
                 if (file.Valid()) OpenFileSha256Hex(file.Get());
             }
             return NowSeconds() - start;
         }, {}},
        {"checked open (OpenToRead)", [&] {
             const double start = NowSeconds();
             for (const std::wstring& path : files) FileSha256Hex(path);
             return NowSeconds() - start;
         }, {}},
    };
    for (int round = 0; round < rounds; ++round) {
        for (Measure& m : measures) m.seconds.push_back(m.run());
    }
    for (const Measure& m : measures) {
        const double median = Median(m.seconds);
        std::printf("RESULT file_calls what=\"%s\" files=%zu seconds=%.3f us_per_file=%.1f min=%.3f max=%.3f\n", m.name,
                    files.size(), median, median * 1e6 / static_cast<double>(files.size()), Lowest(m.seconds),
                    Highest(m.seconds));
    }
    return 0;
}
