#include "CompressedFiles.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <system_error>

#include "FileDigest.h"
#include "FileIo.h"
#include "FrameEncoder.h"
#include "OrderedWork.h"
#include "Progress.h"
#include "Sha256Hasher.h"
#include "SharedObjects.h"
#include "common/ChunkFrames.h"
#include "common/ChunkIndex.h"
#include "common/HexText.h"
#include "common/ManifestFormat.h"
#include "common/PathRules.h"

namespace {

// ---- names, paths and the rules of what is kept

// "ZFILE|19|<file sha256>", and for a patch "ZPATCH|19|<file sha256>|<base sha256>": one line of declined.txt.
std::string DeclinedKey(const char* key, int level, const std::string& sha256, const std::string& base = {}) {
    return key + std::to_string(level) + "|" + sha256 + (base.empty() ? "" : "|" + base);
}

bool WorthKeeping(std::uint64_t encoded, std::uint64_t size) { return encoded * 100 <= size * kCompressedKeepPercent; }

fs::path ServedFile(const fs::path& patchDir, const PatchFileEntry& f) {
    return patchDir / PathFromUtf8(path_rules::ServedPath(std::string_view(f.path)));
}

fs::path ContainerPath(const fs::path& dir, const std::string& sha256) {
    return dir / PathFromUtf8(ContainerServedPath(sha256));
}

fs::path TablePath(const fs::path& dir, const std::string& sha256) {
    return dir / PathFromUtf8(ChunkFramesServedPath(sha256));
}

// A piece whose quick frame keeps this share of its bytes or more, in percent, is not compressed at the level asked.
constexpr std::uint64_t kIncompressiblePercent = 99;

bool Incompressible(std::uint64_t encoded, std::uint64_t size) {
    return encoded * 100 >= size * kIncompressiblePercent;
}

// How many pieces of a file are sampled, and how long each, to tell whether its patch is worth zstd's level.
constexpr std::uint64_t kPatchSamples = 4;
constexpr std::size_t kPatchSampleBytes = 1 << 20;

std::uint64_t PieceCount(std::uint64_t size) { return (size + kFrameInputBytes - 1) / kFrameInputBytes; }

// ---- reading and checking encoded bytes

bool ReadRange(const fs::path& path, std::uint64_t offset, std::uint64_t length, std::string* out) {
    File f = File::OpenRead(path);
    out->assign(static_cast<std::size_t>(length), '\0');
    return f.open() && f.Seek(offset) && (length == 0 || f.ReadFull(&(*out)[0], out->size()));
}

// The SHA-256 (hex) of what `encoded` decodes to within `limits`; empty when it does not decode within them.
std::string DecodedSha256(std::string_view encoded, const FrameLimits& limits) {
    FrameDecoder decoder(limits);
    Sha256Hasher hasher;
    const bool fed = decoder.Feed(encoded.data(), encoded.size(),
                                  [&](const char* data, std::size_t size) { return hasher.Update(data, size); });
    return fed && decoder.Complete() ? hasher.FinishHex() : std::string();
}

std::string ChunkHex(const ChunkEntry& chunk) { return hex_text::ToHex(chunk.sha256.data(), chunk.sha256.size()); }

// True when `frames`, cut at the table's lengths, decode to the table's chunks one by one.
bool FramesDecodeToChunks(std::string_view frames, const ChunkFrames& table) {
    std::uint64_t at = 0;
    for (std::size_t i = 0; i < table.index.chunks.size(); ++i) {
        const ChunkEntry& chunk = table.index.chunks[i];
        const std::uint32_t length = table.frameLengths[i];
        if (at + length > frames.size() ||
            DecodedSha256(frames.substr(at, length),
                          FrameLimits{chunk.length, length, WindowLogFor(chunk.length, 0), {}}) != ChunkHex(chunk)) {
            return false;
        }
        at += length;
    }
    return at == frames.size();
}

// ---- objects under z/

bool SameFolder(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec);
}

bool HasSize(const fs::path& path, std::uint64_t size) {
    std::error_code ec;
    return fs::is_regular_file(fs::symlink_status(path, ec)) && fs::file_size(path, ec) == size && !ec;
}

// Puts the object of the release before at `target`: there already with its size, a hard link, or a copy whose
// digest is its name. False when it cannot be had (it is then made anew).
bool BringObject(const fs::path& source, const fs::path& target, std::uint64_t size, const std::string& sha256,
                 std::vector<fs::path>* written) {
    if (HasSize(target, size)) return true;
    if (!HasSize(source, size)) return false;
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    std::string ignored;
    if (LinkOrCheckedCopy(source, target, sha256, &ignored) != CheckedPlacement::Placed) return false;
    written->push_back(target);
    return true;
}

// ---- the plan: what each file and each patch needs, and what the release before already has

// Bytes of a container: the id of a container this build lists, and where in it.
struct Location {
    std::size_t container = 0;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// Bytes of the release before to copy into a new container: [offset, offset + length) of a file.
struct Source {
    fs::path path;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

struct FilePlan {
    bool small = false;   // its copies share containers with other files'
    bool changed = true;  // differs from the release players have now
    bool wantFile = false;
    bool wantChunks = false;
    ChunkIndex index;  // when wantChunks, or to check its bytes
    bool hasIndex = false;
    std::string indexBytes;
    std::optional<Source> copyFile, copyChunks;
    ChunkFrames reusedTable;  // the table of the release before, when its ZCHUNKS frames are reused
    std::optional<PatchPack> reusedTableName;
    std::optional<Location> file, chunks;  // where its copies ended up
    std::optional<PatchPack> table;        // the frame table of `chunks`
};

struct PatchPlan {
    std::size_t file = 0;
    std::size_t release = 0;  // 0 for the newest earlier release
    std::string baseSha256;
    std::uint64_t baseSize = 0;
    std::optional<Source> copy;
    std::optional<Location> placed;
};

// The containers this build lists, in ZPACK line order, each once.
struct Containers {
    std::vector<PatchPack> list;
    std::map<std::string, std::size_t> ids;
    std::size_t Add(const PatchPack& c) {
        const auto found = ids.find(c.sha256);
        if (found != ids.end()) return found->second;
        ids.emplace(c.sha256, list.size());
        list.push_back(c);
        return list.size() - 1;
    }
};

struct Plan {
    std::vector<FilePlan> files;
    std::vector<PatchPlan> patches;
    Containers containers;
    std::vector<fs::path> written;
    fs::path shareFrom;  // the release players have now, when it is served from another folder (SharedObjects.h)
};

// Puts an object at its name below patchDir unless one of that name and size is there already: a link to the one
// of that name in plan->shareFrom, or else written from memory.
bool PutObject(const fs::path& patchDir, const std::string& served, std::string_view bytes, Plan* plan,
               std::string* error) {
    const fs::path target = patchDir / PathFromUtf8(served);
    if (HasSize(target, bytes.size())) return true;
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    if (!ShareObject(plan->shareFrom, patchDir, served, bytes.size()) &&
        !WriteFileAtomically(target, bytes, error, false)) {
        return false;
    }
    plan->written.push_back(target);
    return true;
}

using Regions = std::map<std::string, std::set<std::pair<std::uint64_t, std::uint64_t>>>;

// The previous manifest's regions (offset, length) in each container, to tell a container of one copy (which two
// files of the same bytes may share).
Regions RegionsPerContainer(const PatchManifest& previous) {
    Regions regions;
    const auto add = [&](const PatchEncodedAt& at) { regions[at.containerSha256].insert({at.offset, at.length}); };
    for (const PatchFileEntry& f : previous.files) {
        if (f.zfile) add(*f.zfile);
        if (f.zchunks) add(f.zchunks->at);
        for (const PatchFromBase& p : f.patches) add(p.at);
    }
    return regions;
}

struct Before {
    const fs::path& previousDir;
    const PatchManifest& manifest;
    std::map<std::string, std::uint64_t> sizes;  // container digest -> size
    Regions regions;
    bool sameFolder = false;

    bool WholeContainer(const PatchEncodedAt& at) const {
        const auto size = sizes.find(at.containerSha256);
        return size != sizes.end() && regions.at(at.containerSha256).size() == 1 && at.offset == 0 &&
               at.length == size->second;
    }
    Source SourceOf(const PatchEncodedAt& at) const {
        return {ContainerPath(previousDir, at.containerSha256), at.offset, at.length};
    }
};

// Reads the frame table of the release before and checks that it carries exactly this build's chunk index.
bool TableStillFits(const Before& before, const PatchChunkFrames& line, const std::string& indexBytes,
                    ChunkFrames* table) {
    std::string bytes;
    if (!ReadWholeFile(TablePath(before.previousDir, line.tableSha256), &bytes, nullptr) ||
        bytes.size() != line.tableSize || Sha256Hex(bytes) != line.tableSha256 ||
        !ParseChunkFrames(bytes, table, nullptr)) {
        return false;
    }
    return SerializeChunkIndex(table->index) == indexBytes &&
           FrameOffset(*table, table->frameLengths.size()) == line.at.length;
}

// A file's chunk index as this build published it under delta/.
bool LoadIndex(const fs::path& patchDir, const PatchFileEntry& f, FilePlan* plan, std::string* error) {
    if (!ReadWholeFile(patchDir / PathFromUtf8(ChunkIndexServedPath(f.sha256)), &plan->indexBytes, error)) return false;
    std::string why;
    if (Sha256Hex(plan->indexBytes) != f.delta->sha256 || !ParseChunkIndex(plan->indexBytes, &plan->index, &why)) {
        *error = "the chunk index of " + DisplayText(f.path) + " changed while the build ran; build again";
        return false;
    }
    plan->hasIndex = true;
    return true;
}

// Which containers of the release before are kept as they are: as for packs, those of which at least three
// quarters are copies still wanted, served intact, unless two or more such are under half the target size (their
// copies are then laid anew, so that small containers do not pile up release after release).
std::vector<PatchPack> KeptContainers(const Before& before, const std::map<std::string, std::uint64_t>& live) {
    std::vector<PatchPack> worth;
    for (const PatchPack& c : before.manifest.containers) {
        const auto found = live.find(c.sha256);
        if (found != live.end() && found->second * 4 >= c.size * 3) worth.push_back(c);
    }
    const auto small = [](const PatchPack& c) { return c.size < kPackTargetBytes / 2; };
    if (std::count_if(worth.begin(), worth.end(), small) >= 2) {
        worth.erase(std::remove_if(worth.begin(), worth.end(), small), worth.end());
    }
    return worth;
}

struct Candidate {
    std::size_t file = 0;
    bool chunks = false;
    PatchEncodedAt at;
};

// Decides, for each unchanged small file, whether its copies stay in a kept container of the release before or
// are copied into a new one.
void PlaceSmallReuse(const fs::path& patchDir, const Before& before, const std::vector<Candidate>& candidates,
                     Plan* plan) {
    std::map<std::string, std::uint64_t> live;
    for (const Candidate& c : candidates) live[c.at.containerSha256] += c.at.length;
    std::map<std::string, std::size_t> kept;
    for (const PatchPack& c : KeptContainers(before, live)) {
        std::string bytes;
        const fs::path source = ContainerPath(before.previousDir, c.sha256);
        if (!ReadWholeFile(source, &bytes, nullptr) || bytes.size() != c.size || Sha256Hex(bytes) != c.sha256) continue;
        std::string ignored;
        if (!before.sameFolder && !PutObject(patchDir, ContainerServedPath(c.sha256), bytes, plan, &ignored))
            continue;
        kept.emplace(c.sha256, plan->containers.Add(c));
    }
    for (const Candidate& c : candidates) {
        FilePlan& f = plan->files[c.file];
        const auto in = kept.find(c.at.containerSha256);
        if (in != kept.end()) {
            (c.chunks ? f.chunks : f.file) = Location{in->second, c.at.offset, c.at.length};
        } else {
            (c.chunks ? f.copyChunks : f.copyFile) = before.SourceOf(c.at);
        }
    }
}

// Takes over a big file's copy that was a container of its own in the release before.
bool ReuseWholeContainer(const fs::path& patchDir, const Before& before, const PatchEncodedAt& at, Plan* plan,
                         std::optional<Location>* placed) {
    if (!before.WholeContainer(at)) return false;
    const std::uint64_t size = before.sizes.at(at.containerSha256);
    if (!BringObject(ContainerPath(before.previousDir, at.containerSha256), ContainerPath(patchDir, at.containerSha256),
                     size, at.containerSha256, &plan->written)) {
        return false;
    }
    *placed = Location{plan->containers.Add({at.containerSha256, size}), 0, size};
    return true;
}

bool ReuseTable(const fs::path& patchDir, const fs::path& previousDir, const PatchPack& t,
                std::vector<fs::path>* written) {
    return BringObject(TablePath(previousDir, t.sha256), TablePath(patchDir, t.sha256), t.size, t.sha256, written);
}

// The patches a file gets: one per base digest its earlier releases had for its path, when the base is 1 byte
// up to the patch limit, differs from the file and is at hand in history/.
void PlanPatches(const fs::path& patchDir, const CompressionSettings& settings, const CompressionSources& sources,
                 const PatchManifest& manifest, Plan* plan, CompressionReport* report) {
    const std::vector<EarlierRelease>& earlier = *sources.earlier;
    std::vector<std::map<std::string, const PatchFileEntry*>> byKey(earlier.size());
    std::set<std::pair<std::size_t, std::string>> seen;  // file, base digest
    for (std::size_t r = 0; r < earlier.size(); ++r) {
        for (const PatchFileEntry& f : earlier[r].manifest.files)
            byKey[r].emplace(path_rules::FileKey(std::string_view(f.path)), &f);
    }
    for (std::size_t r = 0; r < earlier.size(); ++r) {
        for (std::size_t i = 0; i < manifest.files.size(); ++i) {
            const PatchFileEntry& f = manifest.files[i];
            const auto base = byKey[r].find(path_rules::FileKey(std::string_view(f.path)));
            if (f.size == 0 || base == byKey[r].end() || base->second->sha256 == f.sha256 || base->second->size == 0 ||
                base->second->size > settings.patchLimit) {
                continue;
            }
            const std::string& baseSha = base->second->sha256;
            if (!seen.insert({i, baseSha}).second) continue;
            if (sources.declined->count(DeclinedKey(manifest_format::kZPatchKey, settings.level, f.sha256, baseSha))) {
                report->declinedNow.insert(DeclinedKey(manifest_format::kZPatchKey, settings.level, f.sha256, baseSha));
                ++report->skipped;
                continue;
            }
            std::error_code ec;
            if (!fs::is_regular_file(HistoryFilePath(patchDir, baseSha), ec)) {
                report->notes.push_back("no patch of " + DisplayText(f.path) + " from its version " +
                                        baseSha.substr(0, 12) + "...: that version is not in history/");
                continue;
            }
            plan->patches.push_back({i, r, baseSha, base->second->size, std::nullopt, std::nullopt});
        }
    }
}

// A patch the release before published already (same file, same base) is taken over: a container of its own as it
// is, one in a shared container copied.
void PlanPatchReuse(const fs::path& patchDir, const CompressionSettings& settings, const Before& before,
                    const PatchManifest& manifest, const std::map<std::string, const PatchFileEntry*>& previousByKey,
                    Plan* plan) {
    for (PatchPlan& p : plan->patches) {
        const PatchFileEntry& f = manifest.files[p.file];
        if (plan->files[p.file].changed) continue;
        const PatchFileEntry& was = *previousByKey.at(path_rules::FileKey(std::string_view(f.path)));
        for (const PatchFromBase& old : was.patches) {
            if (old.baseSha256 != p.baseSha256) continue;
            if (old.at.length < settings.packUnder || !ReuseWholeContainer(patchDir, before, old.at, plan, &p.placed)) {
                p.copy = before.SourceOf(old.at);
            }
        }
    }
}

bool MakePlan(const fs::path& patchDir, const CompressionSettings& settings, const CompressionSources& sources,
              const PatchManifest& manifest, Plan* plan, CompressionReport* report, std::string* error) {
    Before before{sources.previousDir,
                  *sources.previous,
                  {},
                  RegionsPerContainer(*sources.previous),
                  SameFolder(sources.previousDir, patchDir)};
    for (const PatchPack& c : sources.previous->containers) before.sizes.emplace(c.sha256, c.size);
    std::map<std::string, const PatchFileEntry*> previousByKey;
    for (const PatchFileEntry& f : sources.previous->files)
        previousByKey.emplace(path_rules::FileKey(std::string_view(f.path)), &f);

    plan->files.resize(manifest.files.size());
    std::vector<Candidate> smallReuse;
    for (std::size_t i = 0; i < manifest.files.size(); ++i) {
        const PatchFileEntry& f = manifest.files[i];
        FilePlan& p = plan->files[i];
        if (f.size == 0) continue;
        p.small = f.size < settings.packUnder;
        const auto was = previousByKey.find(path_rules::FileKey(std::string_view(f.path)));
        const PatchFileEntry* old =
            was != previousByKey.end() && was->second->sha256 == f.sha256 && was->second->size == f.size ? was->second
                                                                                                         : nullptr;
        p.changed = old == nullptr;
        const std::string fileKey = DeclinedKey(manifest_format::kZFileKey, settings.level, f.sha256);
        const std::string chunksKey = DeclinedKey(manifest_format::kZChunksKey, settings.level, f.sha256);
        p.wantFile = !sources.declined->count(fileKey);
        p.wantChunks = f.delta && !sources.declined->count(chunksKey);
        for (const std::string* key : {&fileKey, &chunksKey}) {
            if (sources.declined->count(*key)) {
                report->declinedNow.insert(*key);
                ++report->skipped;
            }
        }
        if (f.delta && !LoadIndex(patchDir, f, &p, error)) return false;
        if (!old) continue;
        if (p.wantFile && old->zfile) {
            if (p.small)
                smallReuse.push_back({i, false, *old->zfile});
            else
                ReuseWholeContainer(patchDir, before, *old->zfile, plan, &p.file);
        }
        if (p.wantChunks && old->zchunks && TableStillFits(before, *old->zchunks, p.indexBytes, &p.reusedTable)) {
            p.reusedTableName = PatchPack{old->zchunks->tableSha256, old->zchunks->tableSize};
            if (p.small) {
                smallReuse.push_back({i, true, old->zchunks->at});
            } else if (ReuseWholeContainer(patchDir, before, old->zchunks->at, plan, &p.chunks)) {
                if (ReuseTable(patchDir, before.previousDir, *p.reusedTableName, &plan->written))
                    p.table = p.reusedTableName;
                else
                    p.chunks.reset();
            }
        }
    }
    PlaceSmallReuse(patchDir, before, smallReuse, plan);
    for (FilePlan& p : plan->files) {
        if (p.small && p.chunks && !ReuseTable(patchDir, before.previousDir, *p.reusedTableName, &plan->written)) {
            p.chunks.reset();
        } else if (p.small && p.chunks) {
            p.table = p.reusedTableName;
        }
    }
    PlanPatches(patchDir, settings, sources, manifest, plan, report);
    PlanPatchReuse(patchDir, settings, before, manifest, previousByKey, plan);
    return true;
}

// ---- the work: one file's copies, one piece of a big file, or one patch

struct Job {
    bool patch = false;
    std::size_t item = 0;  // the file, or the patch
    std::uint64_t firstPiece = 0;
    std::uint64_t pieces = 0;
    bool doFile = false;
    bool doChunks = false;
    std::uint64_t inputBytes = 0;
};

struct Output {
    std::string fileFrames;
    std::string chunkFrames;
    std::vector<std::uint32_t> chunkLengths;
    bool fileCopied = false;
    bool chunksCopied = false;
    std::string patch;
    fs::path spill;  // a patch too long for memory, written here instead
    std::unique_ptr<Sha256Hasher> spillHash;
    std::uint64_t patchLength = 0;
    bool patchCopied = false;
    bool patchTooLong = false;
    std::string note;
    std::string error;
};

struct Work {
    const fs::path& patchDir;
    const fs::path& previousDir;
    const CompressionSettings& settings;
    const PatchManifest& manifest;
    Plan& plan;
};

bool TryCopyFile(const Work& w, std::size_t i, Output* out) {
    const PatchFileEntry& f = w.manifest.files[i];
    const Source& s = *w.plan.files[i].copyFile;
    std::string bytes;
    if (!ReadRange(s.path, s.offset, s.length, &bytes) ||
        DecodedSha256(bytes, FrameLimits{f.size, bytes.size(), WindowLogFor(f.size, 0), {}}) != f.sha256) {
        return false;
    }
    out->fileFrames = std::move(bytes);
    out->fileCopied = true;
    return true;
}

bool TryCopyChunks(const Work& w, std::size_t i, Output* out) {
    const FilePlan& p = w.plan.files[i];
    std::string bytes;
    if (!ReadRange(p.copyChunks->path, p.copyChunks->offset, p.copyChunks->length, &bytes) ||
        !FramesDecodeToChunks(bytes, p.reusedTable)) {
        return false;
    }
    out->chunkFrames = std::move(bytes);
    out->chunkLengths = p.reusedTable.frameLengths;
    out->chunksCopied = true;
    return true;
}

bool ChunkMatches(const ChunkEntry& chunk, const char* data) {
    Sha256Hasher hasher;
    unsigned char digest[32];
    return hasher.Update(data, chunk.length) && hasher.Finish(digest) &&
           std::equal(chunk.sha256.begin(), chunk.sha256.end(), digest);
}

// Makes the frames of the job's pieces of one file: a ZFILE frame per piece and a ZCHUNKS frame per chunk that
// starts in them, checking the bytes read against the chunk index (or, for a file without one, its digest).
bool MakeFileFrames(const Work& w, const Job& job, bool doFile, bool doChunks, FrameEncoder* encoder, Output* out) {
    const PatchFileEntry& f = w.manifest.files[job.item];
    const FilePlan& p = w.plan.files[job.item];
    const fs::path path = ServedFile(w.patchDir, f);
    File in = File::OpenRead(path);
    if (!in.open()) {
        out->error = "cannot open " + DisplayPath(path) + ": " + LastSystemError();
        return false;
    }
    const std::vector<ChunkEntry>& chunks = p.index.chunks;
    Sha256Hasher whole;
    std::string bytes;
    for (std::uint64_t piece = job.firstPiece; piece < job.firstPiece + job.pieces; ++piece) {
        const std::uint64_t start = piece * kFrameInputBytes;
        const std::uint64_t end = std::min(f.size, start + kFrameInputBytes);
        auto first = std::lower_bound(chunks.begin(), chunks.end(), start,
                                      [](const ChunkEntry& c, std::uint64_t at) { return c.offset < at; });
        auto last = std::lower_bound(first, chunks.end(), end,
                                     [](const ChunkEntry& c, std::uint64_t at) { return c.offset < at; });
        const std::uint64_t readEnd = last == first ? end : std::max(end, (last - 1)->offset + (last - 1)->length);
        bytes.resize(static_cast<std::size_t>(readEnd - start));
        if (!in.Seek(start) || !in.ReadFull(&bytes[0], bytes.size())) {
            out->error = DisplayText(f.path) + " changed while the build ran (cannot read it whole); build again";
            return false;
        }
        bool same = p.hasIndex || whole.Update(bytes.data(), end - start);
        for (auto c = first; same && c != last; ++c) same = ChunkMatches(*c, bytes.data() + (c->offset - start));
        if (!same) {
            out->error = DisplayText(f.path) + " changed while the build ran; build again";
            return false;
        }
        const std::string_view view(bytes);
        const std::string_view whole = view.substr(0, end - start);
        // Data that zstd's fastest level cannot shrink (most of a game's archives, already compressed) would cost a
        // high level minutes per gigabyte for nothing: its quick frames stand instead.
        std::string quick;
        if (!encoder->Frame(whole, WindowLogFor(whole.size(), 0), &quick, true)) {
            out->error = "zstd failed on " + DisplayText(f.path);
            return false;
        }
        const bool incompressible = Incompressible(quick.size(), whole.size());
        if (!incompressible) std::string().swap(quick);
        if (doFile && incompressible) {
            if (out->fileFrames.empty())
                out->fileFrames.swap(quick);
            else
                out->fileFrames += quick;
        } else if (doFile && !encoder->Frame(whole, WindowLogFor(whole.size(), 0), &out->fileFrames)) {
            out->error = "zstd failed on " + DisplayText(f.path);
            return false;
        }
        std::string().swap(quick);
        std::size_t room = out->chunkFrames.size();
        for (auto c = first; doChunks && c != last; ++c) room += FrameEncoder::Bound(c->length);
        out->chunkFrames.reserve(room);  // frame after frame, without growing twice over
        for (auto c = first; doChunks && c != last; ++c) {
            const std::size_t before = out->chunkFrames.size();
            if (!encoder->Frame(view.substr(c->offset - start, c->length), WindowLogFor(c->length, 0),
                                &out->chunkFrames, incompressible)) {
                out->error = "zstd failed on " + DisplayText(f.path);
                return false;
            }
            out->chunkLengths.push_back(static_cast<std::uint32_t>(out->chunkFrames.size() - before));
        }
    }
    if (!p.hasIndex && whole.FinishHex() != f.sha256) {
        out->error = DisplayText(f.path) + " changed while the build ran; build again";
        return false;
    }
    return true;
}

void RunFileJob(const Work& w, const Job& job, FrameEncoder* encoder, Output* out) {
    const FilePlan& p = w.plan.files[job.item];
    const bool doFile = job.doFile && !(p.copyFile && TryCopyFile(w, job.item, out));
    const bool doChunks = job.doChunks && !(p.copyChunks && TryCopyChunks(w, job.item, out));
    if (doFile || doChunks) MakeFileFrames(w, job, doFile, doChunks, encoder, out);
}

// Where a patch's bytes go as zstd makes them: memory, or for a big file a temporary file under z/, hashed as
// written. Stops (`tooLong`) once the patch is as long as the file: it would never be published.
struct PatchSink {
    Output* out;
    File file;
    std::uint64_t limit;

    bool operator()(const char* data, std::size_t size) {
        out->patchLength += size;
        if (out->patchLength >= limit) {
            out->patchTooLong = true;
            return false;
        }
        if (!file.open()) {
            out->patch.append(data, size);
            return true;
        }
        return out->spillHash->Update(data, size) && file.WriteAll(data, size);
    }
};

// True when zstd's fastest level keeps 99 % of every sampled megabyte of the file: the patch is then made at that
// level, as the level asked would take minutes per gigabyte to find what long-distance matching finds anyway.
bool SamplesIncompressible(const fs::path& path, std::uint64_t size, FrameEncoder* encoder) {
    File in = File::OpenRead(path);
    std::string sample, frame;
    for (std::uint64_t k = 0; k < kPatchSamples; ++k) {
        const std::uint64_t at = size / kPatchSamples * k;
        sample.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kPatchSampleBytes, size - at)));
        frame.clear();
        if (!in.open() || !in.Seek(at) || !in.ReadFull(&sample[0], sample.size()) ||
            !encoder->Frame(sample, WindowLogFor(sample.size(), 0), &frame, true) ||
            !Incompressible(frame.size(), sample.size())) {
            return false;
        }
    }
    return true;
}

bool MakePatch(const Work& w, const PatchPlan& p, const std::string& base, std::size_t jobIndex, FrameEncoder* encoder,
               Output* out) {
    const PatchFileEntry& f = w.manifest.files[p.file];
    PatchSink sink{out, File(), f.size};
    if (f.size > kFrameInputBytes) {
        out->spill = w.patchDir / path_rules::kCompressedDir / ("patch-" + std::to_string(jobIndex) + kTempSuffix);
        std::error_code ec;
        fs::create_directories(out->spill.parent_path(), ec);
        sink.file = File::CreateWrite(out->spill);
        out->spillHash.reset(new Sha256Hasher);
        if (!sink.file.open()) {
            out->error = "cannot create " + DisplayPath(out->spill) + ": " + LastSystemError();
            return false;
        }
    }
    const fs::path path = ServedFile(w.patchDir, f);
    const bool quick = SamplesIncompressible(path, f.size, encoder);
    File in = File::OpenRead(path);
    if (!in.open() || !encoder->Begin(base, f.size, WindowLogFor(f.size, base.size()), quick)) {
        out->error = "cannot start the patch of " + DisplayText(f.path);
        return false;
    }
    const FrameEncoder::Sink toSink = [&sink](const char* data, std::size_t size) { return sink(data, size); };
    Sha256Hasher hasher;
    std::string buffer(1 << 20, '\0');
    std::uint64_t total = 0;
    for (;;) {
        const long long n = in.Read(&buffer[0], buffer.size());
        if (n < 0) {
            out->error = "cannot read " + DisplayPath(path) + ": " + LastSystemError();
            return false;
        }
        if (n == 0) break;
        total += static_cast<std::uint64_t>(n);
        hasher.Update(buffer.data(), static_cast<std::size_t>(n));
        if (!encoder->Feed(buffer.data(), static_cast<std::size_t>(n), toSink)) {
            if (!out->patchTooLong) out->error = "zstd failed on the patch of " + DisplayText(f.path);
            return false;
        }
    }
    if (total != f.size || hasher.FinishHex() != f.sha256) {
        out->error = DisplayText(f.path) + " changed while the build ran; build again";
        return false;
    }
    if (!encoder->End(toSink) || (sink.file.open() && !sink.file.Close())) {
        if (!out->patchTooLong) out->error = "cannot finish the patch of " + DisplayText(f.path);
        return false;
    }
    return true;
}

void RunPatchJob(const Work& w, const Job& job, std::size_t jobIndex, FrameEncoder* encoder, Output* out) {
    const PatchPlan& p = w.plan.patches[job.item];
    const PatchFileEntry& f = w.manifest.files[p.file];
    std::string base;
    if (!ReadWholeFile(HistoryFilePath(w.patchDir, p.baseSha256), &base, nullptr) || base.size() != p.baseSize ||
        Sha256Hex(base) != p.baseSha256) {
        out->note = "no patch of " + DisplayText(f.path) + " from its version " + p.baseSha256.substr(0, 12) +
                    "...: history/ holds other bytes for it";
        return;
    }
    if (p.copy) {
        std::string bytes;
        if (ReadRange(p.copy->path, p.copy->offset, p.copy->length, &bytes) &&
            DecodedSha256(bytes, FrameLimits{f.size, bytes.size(), WindowLogFor(f.size, base.size()), base}) ==
                f.sha256) {
            out->patchLength = bytes.size();
            out->patch = std::move(bytes);
            out->patchCopied = true;
            return;
        }
    }
    if (!MakePatch(w, p, base, jobIndex, encoder, out) && out->patchTooLong) {
        std::error_code ec;
        if (!out->spill.empty()) fs::remove(out->spill, ec);
        out->spill.clear();
    }
}

// Small files first, changed ones before unchanged ones (a launcher updating finds the changed side by side),
// then the pieces of big files, then the patches grouped by the release they start from.
std::vector<Job> MakeJobs(const PatchManifest& manifest, const Plan& plan) {
    std::vector<Job> jobs;
    for (int pass = 0; pass < 3; ++pass) {
        for (std::size_t i = 0; i < manifest.files.size(); ++i) {
            const FilePlan& p = plan.files[i];
            const std::uint64_t size = manifest.files[i].size;
            const bool doFile = p.wantFile && !p.file;
            const bool doChunks = p.wantChunks && !p.chunks;
            if (size == 0 || (!doFile && !doChunks)) continue;
            if (p.small && pass == (p.changed ? 0 : 1)) {
                jobs.push_back({false, i, 0, PieceCount(size), doFile, doChunks, size});
            } else if (!p.small && pass == 2) {
                for (std::uint64_t piece = 0; piece < PieceCount(size); ++piece) {
                    const std::uint64_t length = std::min(kFrameInputBytes, size - piece * kFrameInputBytes);
                    jobs.push_back({false, i, piece, 1, doFile, doChunks, length});
                }
            }
        }
    }
    std::vector<std::size_t> order;
    for (std::size_t k = 0; k < plan.patches.size(); ++k) {
        if (!plan.patches[k].placed) order.push_back(k);
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return plan.patches[a].release < plan.patches[b].release; });
    for (std::size_t k : order)
        jobs.push_back({true, k, 0, 0, false, false, manifest.files[plan.patches[k].file].size});
    return jobs;
}

// ---- putting the made bytes into containers, in job order

// Containers of several copies one after another, closed once they hold kPackTargetBytes or more.
struct SharedContainer {
    std::string bytes;
    std::vector<Location*> members;

    void Add(const std::string& frames, Location* at) {
        *at = Location{0, bytes.size(), frames.size()};
        bytes += frames;
        members.push_back(at);
    }
    bool Close(const fs::path& patchDir, Plan* plan, std::string* error) {
        if (members.empty()) return true;
        const PatchPack c{Sha256Hex(bytes), bytes.size()};
        if (c.sha256.empty() || !PutObject(patchDir, ContainerServedPath(c.sha256), bytes, plan, error)) {
            if (error->empty()) *error = "cannot hash a container: the crypto library failed";
            return false;
        }
        const std::size_t id = plan->containers.Add(c);
        for (Location* at : members) at->container = id;
        bytes.clear();
        members.clear();
        return true;
    }
};

// A container of one big file's copy, written as its pieces come and named once it is whole.
struct OwnContainer {
    File file;
    fs::path temp;
    Sha256Hasher hasher;
    std::uint64_t length = 0;

    bool Start(const fs::path& patchDir, const std::string& name, std::string* error) {
        temp = patchDir / path_rules::kCompressedDir / (name + kTempSuffix);
        std::error_code ec;
        fs::create_directories(temp.parent_path(), ec);
        file = File::CreateWrite(temp);
        length = 0;
        hasher.Restart();
        if (!file.open()) *error = "cannot create " + DisplayPath(temp) + ": " + LastSystemError();
        return file.open();
    }
    bool Append(const std::string& bytes, std::string* error) {
        length += bytes.size();
        const bool ok = hasher.Update(bytes.data(), bytes.size()) && file.WriteAll(bytes.data(), bytes.size());
        if (!ok) *error = "cannot write " + DisplayPath(temp) + ": " + LastSystemError();
        return ok;
    }
    // Names it after its digest when `keep`, else removes it.
    bool Finish(bool keep, const fs::path& patchDir, Plan* plan, std::optional<Location>* at, std::string* error) {
        const bool closed = file.Close();
        std::error_code ec;
        if (!keep) {
            fs::remove(temp, ec);
            return true;
        }
        return closed && Name(temp, hasher.FinishHex(), length, patchDir, plan, at, error);
    }
    static bool Name(const fs::path& from, const std::string& sha256, std::uint64_t length, const fs::path& patchDir,
                     Plan* plan, std::optional<Location>* at, std::string* error) {
        if (sha256.empty()) {
            *error = "cannot hash a container: the crypto library failed";
            return false;
        }
        const fs::path target = ContainerPath(patchDir, sha256);
        std::error_code ec;
        if (HasSize(target, length)) {
            fs::remove(from, ec);
        } else if (ShareObject(plan->shareFrom, patchDir, ContainerServedPath(sha256), length)) {
            fs::remove(from, ec);
            plan->written.push_back(target);
        } else if (!ReplaceWith(from, target, error)) {
            return false;
        } else {
            plan->written.push_back(target);
        }
        *at = Location{plan->containers.Add({sha256, length}), 0, length};
        return true;
    }
};

class Placer {
public:
    Placer(const Work& w, CompressionReport* report) : w_(w), report_(report) {}

    bool Take(const Job& job, Output& out, std::string* error) {
        if (!out.error.empty()) {
            *error = out.error;
            return false;
        }
        if (job.patch) return TakePatch(job, out, error);
        return w_.plan.files[job.item].small ? TakeSmall(job, out, error) : TakePiece(job, out, error);
    }

    bool Finish(std::string* error) {
        return files_.Close(w_.patchDir, &w_.plan, error) && patches_.Close(w_.patchDir, &w_.plan, error);
    }

private:
    // Counts a made or copied copy; true when it is to be published.
    bool Judge(bool copied, bool worth, const std::string& declinedKey) {
        if (copied) {
            ++report_->reused;
            return true;
        }
        if (worth) {
            ++report_->made;
        } else {
            ++report_->declined;
            report_->declinedNow.insert(declinedKey);
        }
        return worth;
    }

    bool PutTable(std::size_t i, const std::vector<std::uint32_t>& lengths, bool copied, std::string* error) {
        FilePlan& p = w_.plan.files[i];
        if (copied) {
            p.table = p.reusedTableName;
            return ReuseTable(w_.patchDir, w_.previousDir, *p.reusedTableName, &w_.plan.written) ||
                   Fail(error, "cannot copy the frame table of " + w_.manifest.files[i].path);
        }
        const std::string table = SerializeChunkFrames(ChunkFrames{p.index, lengths});
        if (table.size() < 12 + p.indexBytes.size() || table.compare(12, p.indexBytes.size(), p.indexBytes) != 0) {
            return Fail(error, "cannot lay out the frame table of " + DisplayText(w_.manifest.files[i].path));
        }
        p.table = PatchPack{Sha256Hex(table), table.size()};
        return PutObject(w_.patchDir, ChunkFramesServedPath(p.table->sha256), table, &w_.plan, error);
    }

    static bool Fail(std::string* error, const std::string& why) {
        *error = why;
        return false;
    }

    bool TakeSmall(const Job& job, Output& out, std::string* error) {
        const PatchFileEntry& f = w_.manifest.files[job.item];
        FilePlan& p = w_.plan.files[job.item];
        const int level = w_.settings.level;
        if (job.doFile && Judge(out.fileCopied, WorthKeeping(out.fileFrames.size(), f.size),
                                DeclinedKey(manifest_format::kZFileKey, level, f.sha256))) {
            p.file.emplace();
            files_.Add(out.fileFrames, &*p.file);
        }
        if (job.doChunks && Judge(out.chunksCopied, WorthKeeping(out.chunkFrames.size(), f.size),
                                  DeclinedKey(manifest_format::kZChunksKey, level, f.sha256))) {
            if (!PutTable(job.item, out.chunkLengths, out.chunksCopied, error)) return false;
            p.chunks.emplace();
            files_.Add(out.chunkFrames, &*p.chunks);
        }
        return files_.bytes.size() < kPackTargetBytes || files_.Close(w_.patchDir, &w_.plan, error);
    }

    bool TakePiece(const Job& job, Output& out, std::string* error) {
        const PatchFileEntry& f = w_.manifest.files[job.item];
        FilePlan& p = w_.plan.files[job.item];
        if (job.firstPiece == 0) {
            lengths_.clear();
            if (job.doFile && !wholeFile_.Start(w_.patchDir, "file-" + f.sha256, error)) return false;
            if (job.doChunks && !wholeChunks_.Start(w_.patchDir, "chunks-" + f.sha256, error)) return false;
        }
        if (job.doFile && !wholeFile_.Append(out.fileFrames, error)) return false;
        if (job.doChunks && !wholeChunks_.Append(out.chunkFrames, error)) return false;
        lengths_.insert(lengths_.end(), out.chunkLengths.begin(), out.chunkLengths.end());
        if (job.firstPiece + 1 < PieceCount(f.size)) return true;
        const int level = w_.settings.level;
        if (job.doFile) {
            const bool keep = Judge(false, WorthKeeping(wholeFile_.length, f.size),
                                    DeclinedKey(manifest_format::kZFileKey, level, f.sha256));
            if (!wholeFile_.Finish(keep, w_.patchDir, &w_.plan, &p.file, error)) return false;
        }
        if (job.doChunks) {
            const bool keep = Judge(false, WorthKeeping(wholeChunks_.length, f.size),
                                    DeclinedKey(manifest_format::kZChunksKey, level, f.sha256));
            if (keep && !PutTable(job.item, lengths_, false, error)) return false;
            if (!wholeChunks_.Finish(keep, w_.patchDir, &w_.plan, &p.chunks, error)) return false;
        }
        return true;
    }

    bool TakePatch(const Job& job, Output& out, std::string* error) {
        PatchPlan& p = w_.plan.patches[job.item];
        const PatchFileEntry& f = w_.manifest.files[p.file];
        const FilePlan& file = w_.plan.files[p.file];
        if (!out.note.empty()) {
            report_->notes.push_back(out.note);
            return true;
        }
        const std::uint64_t bound = file.file ? file.file->length : f.size;
        const bool worth = !out.patchTooLong && out.patchLength < bound;
        std::error_code ec;
        if (!Judge(out.patchCopied, worth,
                   DeclinedKey(manifest_format::kZPatchKey, w_.settings.level, f.sha256, p.baseSha256))) {
            if (!out.spill.empty()) fs::remove(out.spill, ec);
            return true;
        }
        if (out.patchLength >= w_.settings.packUnder) {
            if (!out.spill.empty())
                return OwnContainer::Name(out.spill, out.spillHash->FinishHex(), out.patchLength, w_.patchDir, &w_.plan,
                                          &p.placed, error);
            const PatchPack c{Sha256Hex(out.patch), out.patch.size()};
            if (!PutObject(w_.patchDir, ContainerServedPath(c.sha256), out.patch, &w_.plan, error)) return false;
            p.placed = Location{w_.plan.containers.Add(c), 0, c.size};
            return true;
        }
        if (!out.spill.empty()) {
            if (!ReadWholeFile(out.spill, &out.patch, error)) return false;
            fs::remove(out.spill, ec);
        }
        if (p.release != patchRelease_ && !patches_.Close(w_.patchDir, &w_.plan, error)) return false;
        patchRelease_ = p.release;
        p.placed.emplace();
        patches_.Add(out.patch, &*p.placed);
        return patches_.bytes.size() < kPackTargetBytes || patches_.Close(w_.patchDir, &w_.plan, error);
    }

    const Work& w_;
    CompressionReport* report_;
    SharedContainer files_;
    SharedContainer patches_;
    std::size_t patchRelease_ = 0;
    OwnContainer wholeFile_;
    OwnContainer wholeChunks_;
    std::vector<std::uint32_t> lengths_;
};

// The manifest's lines from where everything ended up; patches from the newest earlier release first.
void SetLines(const Plan& plan, PatchManifest* manifest) {
    manifest->containers = plan.containers.list;
    const auto at = [&](const Location& l) {
        return PatchEncodedAt{plan.containers.list[l.container].sha256, l.offset, l.length};
    };
    for (std::size_t i = 0; i < manifest->files.size(); ++i) {
        const FilePlan& p = plan.files[i];
        PatchFileEntry& f = manifest->files[i];
        if (p.file) f.zfile = at(*p.file);
        if (p.chunks && p.table) f.zchunks = PatchChunkFrames{p.table->sha256, p.table->size, at(*p.chunks)};
    }
    std::vector<const PatchPlan*> placed;
    for (const PatchPlan& p : plan.patches) {
        if (p.placed) placed.push_back(&p);
    }
    std::stable_sort(placed.begin(), placed.end(),
                     [](const PatchPlan* a, const PatchPlan* b) { return a->release < b->release; });
    for (const PatchPlan* p : placed) {
        manifest->files[p->file].patches.push_back({p->baseSha256, p->baseSize, at(*p->placed)});
    }
}

}  // namespace

bool WriteCompressedCopies(const fs::path& patchDir, const CompressionSettings& settings,
                           const CompressionSources& sources, PatchManifest* manifest, std::set<std::string>* names,
                           CompressionReport* report, std::string* error) {
    Plan plan;
    plan.shareFrom = ShareSource(sources.previousDir, patchDir);
    if (!MakePlan(patchDir, settings, sources, *manifest, &plan, report, error)) return false;
    for (const FilePlan& p : plan.files) report->reused += (p.file ? 1 : 0) + (p.chunks ? 1 : 0);
    for (const PatchPlan& p : plan.patches) report->reused += p.placed ? 1 : 0;
    const std::vector<Job> jobs = MakeJobs(*manifest, plan);
    report->jobs = jobs.size();
    report->threads = settings.threads == 0 ? 1 : settings.threads;

    std::uint64_t totalBytes = 0;
    for (const Job& job : jobs) totalBytes += job.inputBytes;
    Progress progress;
    ProgressStart(&progress, settings.progress, jobs.size(), totalBytes);
    std::vector<std::unique_ptr<FrameEncoder>> encoders;
    for (unsigned t = 0; t < report->threads; ++t) encoders.emplace_back(new FrameEncoder(settings.level));
    std::vector<Output> outputs(jobs.size());
    const Work w{patchDir, sources.previousDir, settings, *manifest, plan};
    Placer placer(w, report);

    const auto started = std::chrono::steady_clock::now();
    const bool ran = RunInOrder(
        jobs.size(), report->threads, 2 * report->threads,
        [&](std::size_t index, unsigned worker) {
            if (jobs[index].patch)
                RunPatchJob(w, jobs[index], index, encoders[worker].get(), &outputs[index]);
            else
                RunFileJob(w, jobs[index], encoders[worker].get(), &outputs[index]);
        },
        [&](std::size_t index) {
            const bool taken = placer.Take(jobs[index], outputs[index], error);
            outputs[index] = Output();
            ProgressAddBytes(&progress, jobs[index].inputBytes);
            ProgressFileDone(&progress);
            return taken;
        });
    report->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ProgressFinish(&progress);
    if (!ran || !placer.Finish(error)) return false;

    // What earlier builds declined stays known while a file of those bytes is published.
    std::set<std::string> digests;
    for (const PatchFileEntry& f : manifest->files) digests.insert(f.sha256);
    for (const std::string& key : *sources.declined) {
        const auto fields = manifest_format::SplitFields(std::string_view(key));
        if (fields.size() >= 3 && digests.count(std::string(fields[2]))) report->declinedNow.insert(key);
    }
    SetLines(plan, manifest);
    for (const PatchPack& c : plan.containers.list)
        names->insert(fs::path(ContainerServedPath(c.sha256)).filename().string());
    for (const FilePlan& p : plan.files) {
        if (p.chunks && p.table) names->insert(fs::path(ChunkFramesServedPath(p.table->sha256)).filename().string());
    }
    return SyncWrittenFiles(plan.written, error);
}
