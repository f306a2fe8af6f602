#include "Sha256.h"

#include "DebugLog.h"

#include <windows.h>
#include <bcrypt.h>

#include <vector>

namespace {

constexpr DWORD kReadBlock = 65536;
constexpr std::size_t kLogLineBytes = 512;
constexpr std::size_t kLogPathBytes = 259;

}  // namespace

std::string FileSha256Hex(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        LogLineA(kLogLineBytes, "[Launcher][sha256] CreateFileW 失敗 path=%s err=%lu\n",
                 ToAnsiForLog(path.c_str(), kLogPathBytes).c_str(), error);
        return std::string();
    }

    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
        CloseHandle(file);
        return std::string();
    }
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) != 0) {
        BCryptCloseAlgorithmProvider(algorithm, 0);
        CloseHandle(file);
        return std::string();
    }

    // Release order is part of the contract: the file first, then the hash, then the provider.
    std::vector<unsigned char> buffer(kReadBlock, 0);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, buffer.data(), kReadBlock, &read, nullptr)) {
            CloseHandle(file);
            BCryptDestroyHash(hash);
            BCryptCloseAlgorithmProvider(algorithm, 0);
            LogLineA(kLogLineBytes, "[Launcher][sha256] ReadFile 中途失敗, 回空 SHA\n");
            return std::string();
        }
        if (read == 0) break;
        BCryptHashData(hash, buffer.data(), read, 0);
    }
    CloseHandle(file);
    unsigned char digest[32] = {};
    BCryptFinishHash(hash, digest, sizeof(digest), 0);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);

    static const char kHex[] = "0123456789abcdef";
    std::string text(64, '0');
    for (int i = 0; i < 32; ++i) {
        text[2 * i] = kHex[digest[i] >> 4];
        text[2 * i + 1] = kHex[digest[i] & 15];
    }
    return text;
}
