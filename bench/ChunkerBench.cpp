// Figures for choosing the chunk params: the chunker's speed on a 256 MiB file, the index it gives and what a
// delta update would fetch after typical edits. Arguments min:avg:max replace the built-in candidates.
// Built by a native configure (bench/CMakeLists.txt, target chunker_bench); run natively, optimised.

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/ChunkIndex.h"
#include "common/ContentChunker.h"
#include "common/DeltaPlan.h"

namespace {

constexpr std::size_t kMiB = 1024 * 1024;
constexpr std::size_t kFileSize = 256 * kMiB;
constexpr std::size_t kReadBlock = 1 * kMiB;

double Seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string RandomBytes(std::size_t size, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
        const std::uint64_t word = random();
        std::memcpy(&bytes[i], &word, 8);
    }
    for (std::size_t i = size / 8 * 8; i < size; ++i) bytes[i] = static_cast<char>(random());
    return bytes;
}

// Cuts the bytes as the launcher would, read in 1 MiB blocks; returns the chunks.
std::vector<ChunkSpan> StreamChunks(const std::string& bytes, const ChunkParams& params) {
    std::vector<ChunkSpan> spans;
    std::optional<ContentChunker> chunker = StartChunker(params);
    std::uint64_t start = 0;
    for (std::size_t at = 0; at < bytes.size(); at += kReadBlock) {
        const auto* data = reinterpret_cast<const unsigned char*>(bytes.data()) + at;
        std::size_t left = std::min(kReadBlock, bytes.size() - at);
        while (left > 0) {
            const ChunkFeed feed = chunker->Feed(data, left);
            data += feed.used;
            left -= feed.used;
            if (feed.chunkLength != 0) {
                spans.push_back({start, feed.chunkLength});
                start += feed.chunkLength;
            }
        }
    }
    if (const std::uint32_t last = chunker->Finish()) spans.push_back({start, last});
    return spans;
}

std::array<unsigned char, 32> Sha256Of(const char* data, std::size_t size) {
    std::array<unsigned char, 32> digest{};
    unsigned int length = 0;
    EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr);
    return digest;
}

ChunkIndex IndexOf(const std::string& bytes, const ChunkParams& params) {
    ChunkIndex index{params, bytes.size(), {}};
    for (const ChunkSpan& span : StreamChunks(bytes, params)) {
        index.chunks.push_back({span.offset, span.length, Sha256Of(bytes.data() + span.offset, span.length)});
    }
    return index;
}

struct Edit {
    const char* name;
    std::string bytes;
    std::uint64_t changed;  // bytes written or inserted by the edit
};

std::vector<Edit> MakeEdits(const std::string& base) {
    std::vector<Edit> edits;
    std::string rewritten = base;
    const std::string oneMiB = RandomBytes(kMiB, 101);
    rewritten.replace(100 * kMiB, kMiB, oneMiB);
    edits.push_back({"1 MiB rewritten in place", std::move(rewritten), kMiB});

    std::string inserted = base;
    inserted.insert(base.size() / 2, RandomBytes(2 * kMiB, 102));
    edits.push_back({"2 MiB inserted mid-file", std::move(inserted), 2 * kMiB});

    edits.push_back({"8 MiB appended", base + RandomBytes(8 * kMiB, 103), 8 * kMiB});

    std::string scattered = base;
    std::mt19937_64 random(104);
    for (int i = 0; i < 64; ++i) {
        const std::size_t at = random() % (base.size() - 4096);
        scattered.replace(at, 4096, RandomBytes(4096, random()));
    }
    edits.push_back({"64 scattered 4 KiB edits", std::move(scattered), 64 * 4096});
    return edits;
}

bool ParseParams(const char* text, ChunkParams* params) {
    unsigned long min = 0, avg = 0, max = 0;
    if (std::sscanf(text, "%lu:%lu:%lu", &min, &avg, &max) != 3) return false;
    *params = {static_cast<std::uint32_t>(min), static_cast<std::uint32_t>(avg), static_cast<std::uint32_t>(max)};
    return ChunkParamsValid(*params);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<ChunkParams> candidates;
    for (int i = 1; i < argc; ++i) {
        ChunkParams params;
        if (!ParseParams(argv[i], &params)) {
            std::fprintf(stderr, "not valid chunk params (min:avg:max): %s\n", argv[i]);
            return 2;
        }
        candidates.push_back(params);
    }
    if (candidates.empty()) {
        for (std::uint32_t avg : {8u * 1024, 16u * 1024, 64u * 1024}) candidates.push_back({avg / 4, avg, avg * 4});
    }

    const std::string base = RandomBytes(kFileSize, 1);
    const std::vector<Edit> edits = MakeEdits(base);

    double shaStart = Seconds();
    const std::array<unsigned char, 32> whole = Sha256Of(base.data(), base.size());
    const double shaSeconds = Seconds() - shaStart;
    std::printf("file: %zu MiB pseudo-random; SHA-256 of it (OpenSSL, for scale): %.0f MB/s (first byte %02x)\n\n",
                kFileSize / kMiB, base.size() / shaSeconds / 1e6, whole[0]);

    for (const ChunkParams& params : candidates) {
        std::vector<double> rates;
        std::size_t chunks = 0;
        for (int run = 0; run < 5; ++run) {
            const double start = Seconds();
            chunks = StreamChunks(base, params).size();
            rates.push_back(base.size() / (Seconds() - start) / 1e6);
        }
        std::sort(rates.begin(), rates.end());
        const ChunkIndex baseIndex = IndexOf(base, params);
        std::printf("params min %u / avg %u / max %u (KiB %u/%u/%u)\n", params.minSize, params.avgSize,
                    params.maxSize, params.minSize / 1024, params.avgSize / 1024, params.maxSize / 1024);
        std::printf("  chunker: median %.0f MB/s (best %.0f, worst %.0f) over 5 runs, 1 MiB reads\n", rates[2],
                    rates[4], rates[0]);
        std::printf("  chunks: %zu, mean %.1f KiB; index %zu bytes (%.3f %% of the file)\n", chunks,
                    base.size() / 1024.0 / chunks, SerializeChunkIndex(baseIndex).size(),
                    100.0 * SerializeChunkIndex(baseIndex).size() / base.size());
        for (const Edit& edit : edits) {
            const ChunkIndex target = IndexOf(edit.bytes, params);
            const std::optional<DeltaPlan> plan = PlanDelta(target, baseIndex.chunks);
            if (!plan) {
                std::printf("  %-26s no plan\n", edit.name);
                continue;
            }
            std::printf("  %-26s fetch %8.2f MiB in %3zu ranges (%.2fx the edit), copy %7.2f MiB%s; new index %zu bytes\n",
                        edit.name, plan->fetchBytes / double(kMiB), plan->fetchRanges,
                        plan->fetchBytes / double(edit.changed), plan->copyBytes / double(kMiB),
                        plan->fetchWhole ? ", WHOLE FILE" : "", SerializeChunkIndex(target).size());
        }
        std::printf("\n");
    }
    return 0;
}
