#include "FileDigest.h"

#include <memory>

#include "FileIo.h"
#include "Sha256Hasher.h"

namespace {

constexpr std::size_t kBufferSize = 1 << 20;

bool Pump(File& in, const fs::path& inPath, File* out, const fs::path& outPath, FileDigest* digest,
          std::string* error, const BytesDone& onBytes) {
    Sha256Hasher hasher;
    if (!hasher.ok()) {
        *error = "cannot start SHA-256 (crypto library failure)";
        return false;
    }
    std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    std::uint64_t total = 0;
    for (;;) {
        long long n = in.Read(buffer.get(), kBufferSize);
        if (n < 0) {
            *error = "cannot read " + DisplayPath(inPath) + ": " + LastSystemError();
            return false;
        }
        if (n == 0) break;
        if (!hasher.Update(buffer.get(), static_cast<std::size_t>(n))) {
            *error = "SHA-256 failed on " + DisplayPath(inPath);
            return false;
        }
        if (out && !out->WriteAll(buffer.get(), static_cast<std::size_t>(n))) {
            *error = "cannot write " + DisplayPath(outPath) + ": " + LastSystemError();
            return false;
        }
        total += static_cast<std::uint64_t>(n);
        if (onBytes) onBytes(static_cast<std::uint64_t>(n));
    }
    digest->sha256 = hasher.FinishHex();
    digest->size = total;
    if (digest->sha256.empty()) {
        *error = "SHA-256 failed on " + DisplayPath(inPath);
        return false;
    }
    return true;
}

}  // namespace

bool HashFile(const fs::path& path, FileDigest* out, std::string* error, const BytesDone& onBytes) {
    File in = File::OpenRead(path);
    if (!in.open()) {
        *error = "cannot open " + DisplayPath(path) + ": " + LastSystemError();
        return false;
    }
    return Pump(in, path, nullptr, {}, out, error, onBytes);
}

bool CopyAndHashFile(const fs::path& from, const fs::path& to, FileDigest* out, std::string* error,
                     const BytesDone& onBytes) {
    File in = File::OpenRead(from);
    if (!in.open()) {
        *error = "cannot open " + DisplayPath(from) + ": " + LastSystemError();
        return false;
    }
    File dst = File::CreateWrite(to);
    if (!dst.open()) {
        *error = "cannot create " + DisplayPath(to) + ": " + LastSystemError();
        return false;
    }
    if (!Pump(in, from, &dst, to, out, error, onBytes)) return false;
    if (!dst.Sync() || !dst.Close()) {
        *error = "cannot finish writing " + DisplayPath(to) + ": " + LastSystemError();
        return false;
    }
    return true;
}
