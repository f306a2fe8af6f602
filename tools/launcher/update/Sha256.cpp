#include "update/Sha256.h"

#include "common/HexText.h"
#include "update/LocalFiles.h"
#include "update/DebugLog.h"

#include <vector>

namespace {

constexpr DWORD kReadBlock = 65536;


// The digest of everything an open file holds from its position on, read in blocks of `block` bytes;
// false when it cannot be read or CNG fails.
bool Sha256OfOpenFile(HANDLE file, std::size_t block, unsigned char (&digest)[32]) {
    Sha256Stream stream;
    std::vector<unsigned char> buffer(block, 0);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) return false;
        if (read == 0) break;
        stream.Update(buffer.data(), read);
    }
    return stream.Finish(digest);
}

}  // namespace

std::string DigestHex(const unsigned char (&digest)[32]) {
    return hex_text::ToHex(digest, sizeof(digest));
}


std::string FileSha256Hex(const std::wstring& path) {
    ScopedHandle file = local_files::OpenToRead(path);
    if (!file.Valid()) {
        DWORD error = GetLastError();
        LogLine("[Launcher][sha256] CreateFileW 失敗 path=%s err=%lu\n",
                 ToAnsiForLog(path.c_str(), kLogNameBytes).c_str(), error);
        return std::string();
    }
    unsigned char digest[32] = {};
    if (!Sha256OfOpenFile(file.Get(), kReadBlock, digest)) {
        LogLine("[Launcher][sha256] ReadFile 中途失敗, 回空 SHA\n");
        return std::string();
    }
    return DigestHex(digest);
}

std::string OpenFileSha256Hex(HANDLE file) {
    unsigned char digest[32] = {};
    return Sha256OfOpenFile(file, kReadBlock, digest) ? DigestHex(digest) : std::string();
}

Sha256Stream::Sha256Stream() {
    ok_ = BCryptOpenAlgorithmProvider(algorithm_.Receive(), BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
          BCryptCreateHash(algorithm_.Get(), hash_.Receive(), nullptr, 0, nullptr, 0, 0) == 0;
}

bool Sha256Stream::Restart() {
    hash_.Reset();
    ok_ = algorithm_.Valid() && BCryptCreateHash(algorithm_.Get(), hash_.Receive(), nullptr, 0, nullptr, 0, 0) == 0;
    return ok_;
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

bool Sha256Stream::Finish(std::array<unsigned char, 32>& digest) {
    const bool done = ok_ && BCryptFinishHash(hash_.Get(), digest.data(), static_cast<ULONG>(digest.size()), 0) == 0;
    ok_ = false;
    return done;
}

bool Sha256OfBytes(const void* data, std::size_t size, unsigned char (&digest)[32]) {
    Sha256Stream stream;
    stream.Update(data, size);
    return stream.Finish(digest);
}
