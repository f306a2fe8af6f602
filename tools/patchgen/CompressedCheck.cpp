// `patchgen verify` on the compressed copies and patches (CompressedFiles.h): each decoded as a launcher decodes it.

#include "CompressedFiles.h"

#include <map>
#include <system_error>

#include "FileDigest.h"
#include "FileIo.h"
#include "Sha256Hasher.h"
#include "common/ChunkFrames.h"
#include "common/HexText.h"
#include "common/PathRules.h"

namespace {

// ---- decoding a region of a container as it is read

constexpr std::size_t kReadBytes = 1 << 20;

// Feeds `length` bytes of `in` (at its position) to `decoder`; the reason when they do not decode completely.
std::string Decode(File& in, std::uint64_t length, FrameDecoder* decoder, Sha256Hasher* whole, std::string* buffer) {
    const auto out = [whole](const char* data, std::size_t size) { return whole->Update(data, size); };
    while (length > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, kReadBytes));
        buffer->resize(n);
        if (!in.ReadFull(&(*buffer)[0], n)) return "cannot read the container";
        if (!decoder->Feed(buffer->data(), n, out)) return "does not decode (" + decoder->Error() + ")";
        length -= n;
    }
    return decoder->Complete() ? std::string() : "does not decode (the frames end early or decode to fewer bytes)";
}

// Decodes [at.offset, at.offset + at.length) of its container within `limits`: the reason it fails, or empty when
// it decodes to the file's bytes.
std::string DecodesTo(const fs::path& patchDir, const PatchEncodedAt& at, const FrameLimits& limits,
                      const std::string& sha256) {
    File in = File::OpenRead(patchDir / PathFromUtf8(ContainerServedPath(at.containerSha256)));
    if (!in.open() || !in.Seek(at.offset)) return "cannot read the container";
    FrameDecoder decoder(limits);
    Sha256Hasher whole;
    std::string buffer;
    const std::string why = Decode(in, at.length, &decoder, &whole, &buffer);
    if (!why.empty()) return why;
    return whole.FinishHex() == sha256 ? std::string() : "decodes to other bytes than the file";
}

// ---- the frame table and the frames of a ZCHUNKS line

// What is wrong with the frame table of a ZCHUNKS line, or empty.
std::string TableProblem(const fs::path& patchDir, const PatchFileEntry& f, const std::string& name,
                         ChunkFrames* table) {
    std::string bytes, why;
    if (!ReadWholeFile(patchDir / PathFromUtf8(name), &bytes, nullptr)) return "missing or unreadable";
    if (bytes.size() != f.zchunks->tableSize) return "size differs from the ZCHUNKS line";
    if (Sha256Hex(bytes) != f.zchunks->tableSha256) return "digest differs from its name and ZCHUNKS line";
    if (!ParseChunkFrames(bytes, table, &why)) return "not a frame table: " + why;
    const std::string index = SerializeChunkIndex(table->index);
    if (index.size() != f.delta->size || Sha256Hex(index) != f.delta->sha256) {
        return "its chunk index is not the DELTA line's";
    }
    if (FrameOffset(*table, table->frameLengths.size()) != f.zchunks->at.length) {
        return "its frame lengths do not add up to the ZCHUNKS line's length";
    }
    return {};
}

std::string CheckTable(const fs::path& patchDir, const PatchFileEntry& f, ChunkFrames* table) {
    if (!f.delta) return "the file has no DELTA line, so no chunk index to match";
    const std::string name = ChunkFramesServedPath(f.zchunks->tableSha256);
    std::string why = TableProblem(patchDir, f, name, table);
    return why.empty() ? why : name + ": " + why;
}

std::string CheckChunkFrames(const fs::path& patchDir, const PatchFileEntry& f) {
    ChunkFrames table;
    std::string why = CheckTable(patchDir, f, &table);
    if (!why.empty()) return why;
    File in = File::OpenRead(patchDir / PathFromUtf8(ContainerServedPath(f.zchunks->at.containerSha256)));
    if (!in.open() || !in.Seek(f.zchunks->at.offset)) return "cannot read the container";
    Sha256Hasher whole;
    std::string buffer;
    for (std::size_t i = 0; i < table.index.chunks.size(); ++i) {
        const ChunkEntry& chunk = table.index.chunks[i];
        FrameDecoder decoder(FrameLimits{chunk.length, table.frameLengths[i], WindowLogFor(chunk.length, 0), {}});
        Sha256Hasher chunkHash;
        buffer.resize(table.frameLengths[i]);
        if (!in.ReadFull(&buffer[0], buffer.size())) return "cannot read the container";
        const bool fed = decoder.Feed(buffer.data(), buffer.size(), [&](const char* data, std::size_t size) {
            return chunkHash.Update(data, size) && whole.Update(data, size);
        });
        if (!fed || !decoder.Complete() ||
            chunkHash.FinishHex() != hex_text::ToHex(chunk.sha256.data(), chunk.sha256.size())) {
            return "frame " + std::to_string(i) + " does not decode to chunk " + std::to_string(i) + " at offset " +
                   std::to_string(chunk.offset) + (fed ? std::string() : " (" + decoder.Error() + ")");
        }
    }
    return whole.FinishHex() == f.sha256 ? std::string() : "the chunks decode to other bytes than the file";
}

// ---- patches: the base from history/

// The base's bytes when history/ has them as listed; false when it does not (the patch is then not checked).
bool LoadBase(const fs::path& patchDir, const PatchFromBase& p, std::string* base) {
    return ReadWholeFile(HistoryFilePath(patchDir, p.baseSha256), base, nullptr) && base->size() == p.baseSize &&
           Sha256Hex(*base) == p.baseSha256;
}

}  // namespace

void CheckCompressedCopies(const fs::path& patchDir, const PatchManifest& manifest, std::vector<std::string>* problems,
                           std::size_t* unchecked) {
    std::map<std::string, bool> intact;  // container digest -> served as listed
    for (const PatchPack& c : manifest.containers) {
        const std::string served = ContainerServedPath(c.sha256);
        const fs::path path = patchDir / PathFromUtf8(served);
        std::error_code ec;
        FileDigest digest;
        std::string error;
        const std::uint64_t size = fs::file_size(path, ec);
        if (ec || !HashFile(path, &digest, &error)) {
            problems->push_back(served + ": missing or unreadable");
        } else if (size != c.size) {
            problems->push_back(served + ": size differs: served " + std::to_string(size) + " bytes, ZPACK line says " +
                                std::to_string(c.size));
        } else if (digest.sha256 != c.sha256) {
            problems->push_back(served + ": digest differs from its name and ZPACK line");
        } else {
            intact[c.sha256] = true;
        }
    }
    for (const PatchFileEntry& f : manifest.files) {
        const std::string served = DisplayText(path_rules::ServedPath(std::string_view(f.path)));
        const auto report = [&](const std::string& what, const PatchEncodedAt& at, const std::string& why) {
            if (!why.empty())
                problems->push_back(ContainerServedPath(at.containerSha256) + " (" + what + " of " + served +
                                    "): " + why);
        };
        if (f.zfile && intact.count(f.zfile->containerSha256)) {
            report("ZFILE", *f.zfile,
                   DecodesTo(patchDir, *f.zfile, FrameLimits{f.size, f.zfile->length, WindowLogFor(f.size, 0), {}},
                             f.sha256));
        }
        if (f.zchunks && intact.count(f.zchunks->at.containerSha256)) {
            report("ZCHUNKS", f.zchunks->at, CheckChunkFrames(patchDir, f));
        }
        for (const PatchFromBase& p : f.patches) {
            if (!intact.count(p.at.containerSha256)) continue;
            std::string base;
            if (!LoadBase(patchDir, p, &base)) {
                ++*unchecked;
                continue;
            }
            report("ZPATCH from " + p.baseSha256.substr(0, 12) + "...", p.at,
                   DecodesTo(patchDir, p.at, FrameLimits{f.size, p.at.length, WindowLogFor(f.size, base.size()), base},
                             f.sha256));
        }
    }
}
