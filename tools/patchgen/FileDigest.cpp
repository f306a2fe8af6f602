#include "FileDigest.h"

#include <memory>
#include <system_error>
#include <utility>

#include "FileIo.h"
#include "Sha256Hasher.h"

namespace {

constexpr std::size_t kBufferSize = 1 << 20;

// Reads the file to its end, hashing every byte and writing it to `out` when given; with a relay, the bytes
// go on to its thread in its buffers after the digest and the copy have taken them.
bool PumpBytes(File& in, const fs::path& inPath, File* out, const fs::path& outPath, Sha256Hasher* hasher,
               std::uint64_t* total, std::string* error, const BytesDone& onBytes, ByteRelay* relay) {
    std::unique_ptr<unsigned char[]> own(relay ? nullptr : new unsigned char[kBufferSize]);
    const std::size_t bufferSize = relay ? ByteRelay::kBufferSize : kBufferSize;
    for (;;) {
        unsigned char* buffer = relay ? relay->Buffer() : own.get();
        long long n = in.Read(buffer, bufferSize);
        const std::size_t got = n > 0 ? static_cast<std::size_t>(n) : 0;
        bool ok = n >= 0;
        if (!ok) *error = "cannot read " + DisplayPath(inPath) + ": " + LastSystemError();
        if (ok && got > 0 && !hasher->Update(buffer, got)) {
            *error = "SHA-256 failed on " + DisplayPath(inPath);
            ok = false;
        }
        if (ok && got > 0 && out && !out->WriteAll(buffer, got)) {
            *error = "cannot write " + DisplayPath(outPath) + ": " + LastSystemError();
            ok = false;
        }
        if (relay) relay->Pass(buffer, ok ? got : 0);
        if (!ok) return false;
        if (got == 0) return true;
        *total += got;
        if (onBytes) onBytes(got);
    }
}

bool Pump(File& in, const fs::path& inPath, File* out, const fs::path& outPath, FileDigest* digest,
          std::string* error, const BytesDone& onBytes, ReadAlong& along) {
    if (along.relay) along.relay->Begin(std::move(along.job));
    Sha256Hasher hasher;
    std::uint64_t total = 0;
    bool ok = hasher.ok();
    if (!ok) *error = "cannot start SHA-256 (crypto library failure)";
    ok = ok && PumpBytes(in, inPath, out, outPath, &hasher, &total, error, onBytes, along.relay);
    if (ok) {
        digest->sha256 = hasher.FinishHex();
        digest->size = total;
        ok = !digest->sha256.empty();
        if (!ok) *error = "SHA-256 failed on " + DisplayPath(inPath);
    }
    if (along.relay) along.relay->End(ok ? digest->sha256 : std::string());
    return ok;
}

}  // namespace

bool HashFile(const fs::path& path, FileDigest* out, std::string* error, const BytesDone& onBytes, ReadAlong along) {
    File in = File::OpenRead(path);
    if (!in.open()) {
        *error = "cannot open " + DisplayPath(path) + ": " + LastSystemError();
        return false;
    }
    return Pump(in, path, nullptr, {}, out, error, onBytes, along);
}

bool CopyAndHashFile(const fs::path& from, const fs::path& to, FileDigest* out, std::string* error,
                     const BytesDone& onBytes, ReadAlong along) {
    File in, dst;
    if (!OpenCopyEnds(from, to, &in, &dst, error)) return false;
    if (!Pump(in, from, &dst, to, out, error, onBytes, along)) return false;
    if (!dst.Sync() || !dst.Close()) {
        *error = "cannot finish writing " + DisplayPath(to) + ": " + LastSystemError();
        return false;
    }
    return true;
}

CheckedPlacement LinkOrCheckedCopy(const fs::path& source, const fs::path& target, const std::string& sha256,
                                   std::string* error) {
    fs::path temp = target;
    temp += kTempSuffix;
    std::error_code ec;
    fs::remove(temp, ec);
    fs::create_hard_link(source, temp, ec);
    if (ec) {
        FileDigest digest;
        std::string ignored;
        if (!CopyAndHashFile(source, temp, &digest, &ignored) || digest.sha256 != sha256) {
            fs::remove(temp, ec);
            return CheckedPlacement::Unusable;
        }
    }
    if (!ReplaceWith(temp, target, error)) {
        fs::remove(temp, ec);
        return CheckedPlacement::NotMoved;
    }
    return CheckedPlacement::Placed;
}
