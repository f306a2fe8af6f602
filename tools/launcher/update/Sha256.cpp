#include "update/Sha256.h"

#include "LongPath.h"
#include "common/HexText.h"
#include "update/DebugLog.h"

#include <vector>

namespace {

constexpr DWORD kReadBlock = 65536;
constexpr std::size_t kLogLineBytes = 512;
constexpr std::size_t kLogPathBytes = 259;

}  // namespace

std::string DigestHex(const unsigned char (&digest)[32]) {
    return hex_text::ToHex(digest, sizeof(digest));
}

std::string FileSha256Hex(const std::wstring& path) {
    // Declared so that destruction releases the file first, then the hash, then the provider.
    ScopedBcryptAlgorithm algorithm;
    ScopedBcryptHash hash;
    ScopedHandle file(CreateFileW(ForFileApi(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        DWORD error = GetLastError();
        LogLineA(kLogLineBytes, "[Launcher][sha256] CreateFileW 失敗 path=%s err=%lu\n",
                 ToAnsiForLog(path.c_str(), kLogPathBytes).c_str(), error);
        return std::string();
    }
    if (BCryptOpenAlgorithmProvider(algorithm.Receive(), BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
        return std::string();
    }
    if (BCryptCreateHash(algorithm.Get(), hash.Receive(), nullptr, 0, nullptr, 0, 0) != 0) return std::string();

    std::vector<unsigned char> buffer(kReadBlock, 0);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.Get(), buffer.data(), kReadBlock, &read, nullptr)) {
            LogLineA(kLogLineBytes, "[Launcher][sha256] ReadFile 中途失敗, 回空 SHA\n");
            return std::string();
        }
        if (read == 0) break;
        BCryptHashData(hash.Get(), buffer.data(), read, 0);
    }
    file.Reset();
    unsigned char digest[32] = {};
    BCryptFinishHash(hash.Get(), digest, sizeof(digest), 0);
    return DigestHex(digest);
}

Sha256Stream::Sha256Stream() {
    ok_ = BCryptOpenAlgorithmProvider(algorithm_.Receive(), BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
          BCryptCreateHash(algorithm_.Get(), hash_.Receive(), nullptr, 0, nullptr, 0, 0) == 0;
}

void Sha256Stream::Update(const void* data, std::size_t size) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    while (ok_ && size > 0) {
        const ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        ok_ = BCryptHashData(hash_.Get(), const_cast<unsigned char*>(bytes), piece, 0) == 0;
        bytes += piece;
        size -= piece;
    }
}

bool Sha256Stream::Finish(unsigned char (&digest)[32]) {
    const bool done = ok_ && BCryptFinishHash(hash_.Get(), digest, sizeof(digest), 0) == 0;
    ok_ = false;
    return done;
}

bool Sha256OfBytes(const void* data, std::size_t size, unsigned char (&digest)[32]) {
    Sha256Stream stream;
    stream.Update(data, size);
    return stream.Finish(digest);
}
