#include "PackFiles.h"

#include <algorithm>
#include <map>
#include <system_error>

#include "FileIo.h"
#include "Sha256Hasher.h"
#include "SharedObjects.h"
#include "common/PackPlan.h"
#include "common/PathRules.h"

namespace {

// Puts a pack's bytes, whose digest is `pack.sha256`, at its name, or keeps the one there of the same size; a
// link to shareFrom's pack of that name, when it has one.
bool PutPack(const fs::path& patchDir, const fs::path& shareFrom, const PatchPack& pack, const std::string& bytes,
             std::vector<fs::path>* written, std::string* error) {
    const fs::path target = patchDir / PackServedPath(pack.sha256);
    std::error_code ec;
    if (fs::is_regular_file(fs::symlink_status(target, ec)) && fs::file_size(target, ec) == bytes.size() && !ec) {
        return true;
    }
    if (!PrepareParentDirectories(patchDir, target, error)) return false;
    if (!ShareObject(shareFrom, patchDir, PackServedPath(pack.sha256), bytes.size()) &&
        !WriteFileAtomically(target, bytes, error, false)) {
        return false;
    }
    written->push_back(target);
    return true;
}

// Names one new pack after its bytes and puts it in place.
bool PlacePack(const fs::path& patchDir, const fs::path& shareFrom, const std::string& bytes,
               std::vector<fs::path>* written, PatchPack* pack, std::string* error) {
    pack->sha256 = Sha256Hex(bytes);
    pack->size = bytes.size();
    if (pack->sha256.empty()) {
        *error = "cannot hash a pack: the crypto library failed";
        return false;
    }
    return PutPack(patchDir, shareFrom, *pack, bytes, written, error);
}

// A pack of the previous build is kept while at least this share of its bytes are still files of the new
// one: fresh installs then fetch at most a quarter more than they need through it.
constexpr std::uint64_t kKeptShareNumerator = 3;
constexpr std::uint64_t kKeptShareDenominator = 4;
// Packs under half the target size that would all be kept are merged instead once there are two of them, so
// that a patch a week does not leave fresh installs a request per week.
constexpr std::uint64_t kSmallPackBytes = kPackTargetBytes / 2;

// A file as a pack member: the same path with the same bytes.
std::string MemberKey(const PatchFileEntry& f) {
    return f.path + '|' + f.sha256 + '|' + std::to_string(f.size);
}

struct KeptMember {
    std::string key;  // MemberKey
    PatchPackedAt at;
    std::uint64_t size = 0;
};

struct KeptPacks {
    std::vector<PatchPack> packs;                  // in the previous manifest's order
    std::map<std::string, PatchPackedAt> members;  // by MemberKey
};

// The members of one previous pack that this build still has, at their places; those whose bytes there are
// not theirs, or that overlap another, are left out.
std::vector<KeptMember> StillThere(const std::string& packBytes, const std::vector<const PatchFileEntry*>& candidates) {
    std::vector<const PatchFileEntry*> sorted = candidates;
    std::sort(sorted.begin(), sorted.end(), [](const PatchFileEntry* a, const PatchFileEntry* b) {
        return a->packed->offset < b->packed->offset;
    });
    std::vector<KeptMember> members;
    std::uint64_t covered = 0;
    for (const PatchFileEntry* f : sorted) {
        const std::uint64_t offset = f->packed->offset;
        if (offset < covered || offset > packBytes.size() || f->size > packBytes.size() - offset) continue;
        if (Sha256Hex(std::string_view(packBytes).substr(offset, f->size)) != f->sha256) continue;
        members.push_back({MemberKey(*f), *f->packed, f->size});
        covered = offset + f->size;
    }
    return members;
}

// Which packs of the previous build (`previous`, served from previousDir) this build keeps, and where their
// members are. A pack is kept when most of it is still wanted and it is served intact; each is read once, and
// put into patchDir (linked from shareFrom) when patchDir is another folder (`written` gets what was written).
KeptPacks ChooseKeptPacks(const fs::path& previousDir, const PatchManifest& previous, const PatchManifest& manifest,
                          std::uint64_t memberLimit, const fs::path& patchDir, const fs::path& shareFrom,
                          std::vector<fs::path>* written) {
    std::set<std::string> wanted;
    for (const PatchFileEntry& f : manifest.files) {
        if (f.size > 0 && f.size < memberLimit) wanted.insert(MemberKey(f));
    }
    std::map<std::string, std::vector<const PatchFileEntry*>> candidates;  // by pack digest
    for (const PatchFileEntry& f : previous.files) {
        if (f.packed && f.size > 0 && wanted.count(MemberKey(f))) candidates[f.packed->packSha256].push_back(&f);
    }
    const auto mostlyWanted = [](const PatchPack& pack, std::uint64_t live) {
        return live * kKeptShareDenominator >= pack.size * kKeptShareNumerator;
    };
    // First by what the previous manifest says, so that only the packs worth keeping are read.
    std::vector<PatchPack> worth;
    for (const PatchPack& pack : previous.packs) {
        const auto found = candidates.find(pack.sha256);
        if (found == candidates.end()) continue;
        std::uint64_t live = 0;
        for (const PatchFileEntry* f : found->second) live += f->size;
        if (mostlyWanted(pack, live)) worth.push_back(pack);
    }
    const auto small = [](const PatchPack& pack) { return pack.size < kSmallPackBytes; };
    if (std::count_if(worth.begin(), worth.end(), small) >= 2) {
        worth.erase(std::remove_if(worth.begin(), worth.end(), small), worth.end());
    }

    const bool copy = !shareFrom.empty();
    KeptPacks result;
    for (const PatchPack& pack : worth) {
        const auto found = candidates.find(pack.sha256);
        if (found == candidates.end()) continue;  // a pack listed twice is kept once
        std::string bytes, error;
        if (!ReadWholeFile(previousDir / PackServedPath(pack.sha256), &bytes, &error) || bytes.size() != pack.size ||
            Sha256Hex(bytes) != pack.sha256) {
            continue;  // not served as listed: its files go into new packs
        }
        std::vector<KeptMember> members = StillThere(bytes, found->second);
        std::uint64_t live = 0;
        for (const KeptMember& m : members) live += m.size;
        // A pack that cannot be copied is laid anew like one let go.
        if (!mostlyWanted(pack, live) || (copy && !PutPack(patchDir, shareFrom, pack, bytes, written, &error))) {
            continue;
        }
        candidates.erase(found);
        result.packs.push_back(pack);
        for (KeptMember& m : members) result.members.emplace(std::move(m.key), std::move(m.at));
    }
    return result;
}

}  // namespace

bool WritePacks(const fs::path& patchDir, std::uint64_t memberLimit, const fs::path& previousDir,
                const PatchManifest& previous, PatchManifest* manifest, std::set<std::string>* names,
                std::string* error) {
    std::vector<fs::path> written;
    const fs::path shareFrom = ShareSource(previousDir, patchDir);
    const KeptPacks kept =
        ChooseKeptPacks(previousDir, previous, *manifest, memberLimit, patchDir, shareFrom, &written);
    for (const PatchPack& pack : kept.packs) {
        manifest->packs.push_back(pack);
        names->insert(fs::path(PackServedPath(pack.sha256)).filename().string());
    }
    // What the kept packs do not hold goes into new ones: first what differs from the previous build, so that a
    // launcher updating from it finds those files side by side, then the members of the packs let go.
    std::set<std::string> previousFiles;
    for (const PatchFileEntry& f : previous.files) previousFiles.insert(MemberKey(f));
    std::vector<PatchFileEntry*> changed, moved;
    for (PatchFileEntry& f : manifest->files) {
        if (f.size == 0 || f.size >= memberLimit) continue;
        const auto at = kept.members.find(MemberKey(f));
        if (at != kept.members.end()) {
            f.packed = at->second;
        } else {
            (previousFiles.count(MemberKey(f)) ? moved : changed).push_back(&f);
        }
    }
    changed.insert(changed.end(), moved.begin(), moved.end());

    std::string bytes;
    std::vector<PatchFileEntry*> members;
    const auto close = [&]() {
        if (members.empty()) return true;
        PatchPack pack;
        if (!PlacePack(patchDir, shareFrom, bytes, &written, &pack, error)) return false;
        std::uint64_t offset = 0;
        for (PatchFileEntry* f : members) {
            f->packed = PatchPackedAt{pack.sha256, offset};
            offset += f->size;
        }
        // The same bytes as a kept pack are that pack: listed once.
        if (names->insert(fs::path(PackServedPath(pack.sha256)).filename().string()).second) {
            manifest->packs.push_back(pack);
        }
        bytes.clear();
        members.clear();
        return true;
    };
    for (PatchFileEntry* f : changed) {
        const std::string served = path_rules::ServedPath(std::string_view(f->path));
        std::string content;
        if (!ReadWholeFile(patchDir / PathFromUtf8(served), &content, error)) return false;
        if (content.size() != f->size || Sha256Hex(content) != f->sha256) {
            *error = DisplayText(served) + " changed while the build ran; build again";
            return false;
        }
        bytes += content;
        members.push_back(f);
        if (bytes.size() >= kPackTargetBytes && !close()) return false;
    }
    return close() && SyncWrittenFiles(written, error);
}

void CheckPacks(const fs::path& patchDir, const PatchManifest& manifest, std::vector<std::string>* problems) {
    std::map<std::string, std::string> contents;  // pack digest -> bytes, for the packs that are right
    for (const PatchPack& pack : manifest.packs) {
        const std::string served = PackServedPath(pack.sha256);
        std::string bytes, error;
        if (!ReadWholeFile(patchDir / served, &bytes, &error)) {
            problems->push_back(served + ": missing or unreadable");
        } else if (bytes.size() != pack.size) {
            problems->push_back(served + ": size differs: served " + std::to_string(bytes.size()) + " bytes, PACK line says " +
                                std::to_string(pack.size));
        } else if (Sha256Hex(bytes) != pack.sha256) {
            problems->push_back(served + ": digest differs from its name and PACK line");
        } else {
            contents.emplace(pack.sha256, std::move(bytes));
        }
    }
    std::map<std::string, std::vector<std::pair<std::uint64_t, std::uint64_t>>> spans;
    for (const PatchFileEntry& f : manifest.files) {
        if (!f.packed) continue;
        const auto pack = contents.find(f.packed->packSha256);
        if (pack == contents.end()) continue;  // that pack's own problem is reported
        const std::string served = path_rules::ServedPath(std::string_view(f.path));
        const std::string member = pack->second.substr(f.packed->offset, f.size);
        if (Sha256Hex(member) != f.sha256) {
            problems->push_back(PackServedPath(f.packed->packSha256) + " (pack of " + DisplayText(served) + "): bytes at " +
                                std::to_string(f.packed->offset) + " are not the file's");
        }
        spans[f.packed->packSha256].push_back({f.packed->offset, f.size});
    }
    for (auto& [sha, list] : spans) {
        std::sort(list.begin(), list.end());
        for (std::size_t i = 1; i < list.size(); ++i) {
            if (list[i].first < list[i - 1].first + list[i - 1].second) {
                problems->push_back(PackServedPath(sha) + ": members overlap at " + std::to_string(list[i].first));
                break;
            }
        }
    }
}
