// Decoding zstd frames into a file: the launcher's way (FrameDecoder with the manifest's limits into a
// PartFile, hashed as written, sealed and moved into place) against a bare loop over the same calls
// (ZSTD_decompressStream, CNG SHA-256, WriteFile, MoveFileExW), on the same frames in memory.
//
// Usage: bench_decode [--rounds N] FRAMES FILE [BASE]
//   FRAMES: the zstd frames (a compressed copy, or with BASE a patch); FILE: what they decode to (its digest
//   is the one both sides must reach); BASE: a patch's reference. The frames are fed in 64 KiB pieces, as
//   the network hands them over. Rounds alternate which side runs first; the figures are medians.
#include "common/ZstdFrames.h"
#include "update/PartTransfer.h"
#include "update/Sha256.h"

#include "BenchClock.h"

#include <windows.h>
#include <bcrypt.h>

#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kPiece = 64 * 1024;

bool ReadAll(const std::wstring& path, std::string* out) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size = {};
    bool ok = GetFileSizeEx(file, &size) != 0;
    out->resize(ok ? static_cast<std::size_t>(size.QuadPart) : 0);
    std::size_t at = 0;
    while (ok && at < out->size()) {
        DWORD read = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(out->size() - at, 1 << 20));
        ok = ReadFile(file, &(*out)[at], want, &read, nullptr) && read > 0;
        at += read;
    }
    CloseHandle(file);
    return ok;
}

std::string Hex(const unsigned char* digest) {
    static const char kHex[] = "0123456789abcdef";
    std::string text(64, '0');
    for (int i = 0; i < 32; ++i) {
        text[2 * i] = kHex[digest[i] >> 4];
        text[2 * i + 1] = kHex[digest[i] & 15];
    }
    return text;
}

// The launcher's way; the digest it placed, or empty.
std::string Ours(const std::string& frames, const std::string& base, std::uint64_t size, const std::string& sha,
                 const std::wstring& target) {
    FrameLimits limits;
    limits.outputSize = size;
    limits.inputSize = frames.size();
    limits.windowLogMax = WindowLogFor(size, base.size());
    limits.reference = base;
    FrameDecoder decoder(limits);
    PartFile part(nullptr, size, L"bench");
    if (!part.Open(target + L".part", 0)) return std::string();
    for (std::size_t at = 0; at < frames.size(); at += kPiece) {
        if (!part.AppendDecoded(decoder, frames.data() + at, std::min(kPiece, frames.size() - at))) {
            std::fprintf(stderr, "ours: %s\n", decoder.Error().c_str());
            part.Discard();
            return std::string();
        }
    }
    if (!decoder.Complete() || part.Seal(sha, target) != SealOutcome::Placed) return std::string();
    return sha;
}

// The same work with nothing around it.
std::string Bare(const std::string& frames, const std::string& base, const std::wstring& target) {
    ZSTD_DCtx* dctx = ZSTD_createDCtx();
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    const std::wstring part = target + L".part";
    HANDLE file = CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    std::string text;
    if (dctx && file != INVALID_HANDLE_VALUE && BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
        BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0) {
        ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, kMaxWindowLog);
        std::vector<char> out(ZSTD_DStreamOutSize());
        bool ok = base.empty() || !ZSTD_isError(ZSTD_DCtx_refPrefix(dctx, base.data(), base.size()));
        for (std::size_t at = 0; ok && at < frames.size(); at += kPiece) {
            ZSTD_inBuffer in = {frames.data() + at, std::min(kPiece, frames.size() - at), 0};
            while (ok && in.pos < in.size) {
                ZSTD_outBuffer o = {out.data(), out.size(), 0};
                const std::size_t r = ZSTD_decompressStream(dctx, &o, &in);
                DWORD written = 0;
                ok = !ZSTD_isError(r) &&
                     (o.pos == 0 || (WriteFile(file, out.data(), static_cast<DWORD>(o.pos), &written, nullptr) &&
                                     BCryptHashData(hash, reinterpret_cast<PUCHAR>(out.data()), static_cast<ULONG>(o.pos), 0) == 0));
            }
        }
        unsigned char digest[32] = {};
        if (ok && FlushFileBuffers(file) && BCryptFinishHash(hash, digest, sizeof(digest), 0) == 0) text = Hex(digest);
    }
    if (hash) BCryptDestroyHash(hash);
    if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    ZSTD_freeDCtx(dctx);
    if (text.empty() || !MoveFileExW(part.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return std::string();
    return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int rounds = 5;
    std::vector<std::wstring> paths;
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--rounds") == 0 && i + 1 < argc) {
            rounds = _wtoi(argv[++i]);
        } else {
            paths.push_back(argv[i]);
        }
    }
    if (paths.size() < 2 || paths.size() > 3 || rounds < 1) {
        std::fprintf(stderr, "usage: bench_decode [--rounds N] FRAMES FILE [BASE]\n");
        return 2;
    }
    std::string frames, file, base;
    if (!ReadAll(paths[0], &frames) || !ReadAll(paths[1], &file) || (paths.size() == 3 && !ReadAll(paths[2], &base))) {
        std::fprintf(stderr, "cannot read the inputs\n");
        return 2;
    }
    unsigned char digest[32] = {};
    if (!Sha256OfBytes(file.data(), file.size(), digest)) return 2;
    const std::string sha = Hex(digest);
    const std::wstring target = paths[1] + L".decoded";
    std::vector<double> ours, bare;
    for (int r = 0; r < rounds; ++r) {
        for (int side = 0; side < 2; ++side) {
            const bool oursNow = (side == 0) == (r % 2 == 0);
            const double start = NowSeconds();
            const std::string got = oursNow ? Ours(frames, base, file.size(), sha, target) : Bare(frames, base, target);
            const double seconds = NowSeconds() - start;
            if (got != sha) {
                std::fprintf(stderr, "%s: decoded to another digest\n", oursNow ? "ours" : "bare");
                return 1;
            }
            (oursNow ? ours : bare).push_back(seconds);
        }
    }
    DeleteFileW(target.c_str());
    const double o = Median(ours), b = Median(bare);
    std::printf("RESULT decode frames=%llu decoded=%llu base=%llu ours_s=%.4f (%.4f-%.4f) bare_s=%.4f (%.4f-%.4f) "
                "ours_mib_s=%.1f bare_mib_s=%.1f ours_over_bare_rate=%.3f\n",
                static_cast<unsigned long long>(frames.size()), static_cast<unsigned long long>(file.size()),
                static_cast<unsigned long long>(base.size()), o, Lowest(ours), Highest(ours), b, Lowest(bare),
                Highest(bare), MibPerSecond(file.size(), o), MibPerSecond(file.size(), b), o > 0 ? b / o : 0.0);
    return 0;
}
