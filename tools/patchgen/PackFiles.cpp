#include "PackFiles.h"

#include <algorithm>
#include <map>
#include <system_error>

#include "FileIo.h"
#include "Sha256Hasher.h"
#include "common/PackPlan.h"
#include "common/PathRules.h"

namespace {

// Puts one pack's bytes at its name, or keeps the one there of the same size.
bool PlacePack(const fs::path& patchDir, const std::string& bytes, std::vector<fs::path>* written, PatchPack* pack,
               std::string* error) {
    pack->sha256 = Sha256Hex(bytes);
    pack->size = bytes.size();
    if (pack->sha256.empty()) {
        *error = "cannot hash a pack: the crypto library failed";
        return false;
    }
    const fs::path target = patchDir / PackServedPath(pack->sha256);
    std::error_code ec;
    if (fs::is_regular_file(fs::symlink_status(target, ec)) && fs::file_size(target, ec) == bytes.size() && !ec) {
        return true;
    }
    if (!PrepareParentDirectories(patchDir, target, error)) return false;
    if (!WriteFileAtomically(target, bytes, error, false)) return false;
    written->push_back(target);
    return true;
}

}  // namespace

bool WritePacks(const fs::path& patchDir, std::uint64_t memberLimit, PatchManifest* manifest,
                std::set<std::string>* names, std::string* error) {
    std::vector<fs::path> written;
    std::string bytes;
    std::vector<PatchFileEntry*> members;
    const auto close = [&]() {
        if (members.empty()) return true;
        PatchPack pack;
        if (!PlacePack(patchDir, bytes, &written, &pack, error)) return false;
        std::uint64_t offset = 0;
        for (PatchFileEntry* f : members) {
            f->packed = PatchPackedAt{pack.sha256, offset};
            offset += f->size;
        }
        names->insert(fs::path(PackServedPath(pack.sha256)).filename().string());
        manifest->packs.push_back(pack);
        bytes.clear();
        members.clear();
        return true;
    };
    for (PatchFileEntry& f : manifest->files) {
        if (f.size == 0 || f.size >= memberLimit) continue;
        const std::string served = path_rules::ServedPath(std::string_view(f.path));
        std::string content;
        if (!ReadWholeFile(patchDir / PathFromUtf8(served), &content, error)) return false;
        if (content.size() != f.size || Sha256Hex(content) != f.sha256) {
            *error = DisplayText(served) + " changed while the build ran; build again";
            return false;
        }
        bytes += content;
        members.push_back(&f);
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
