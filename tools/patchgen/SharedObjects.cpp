#include "SharedObjects.h"

#include <set>
#include <system_error>

#include "FileIo.h"
#include "common/ChunkFrames.h"
#include "common/ChunkIndex.h"
#include "common/PackPlan.h"

namespace {

// True when the file holds exactly `bytes`, read in pieces.
bool HoldsBytes(const fs::path& path, const std::string& bytes) {
    File f = File::OpenRead(path);
    if (!f.open()) return false;
    char buffer[65536];
    std::size_t at = 0;
    for (;;) {
        const long long n = f.Read(buffer, sizeof(buffer));
        if (n < 0) return false;
        if (n == 0) return at == bytes.size();
        if (static_cast<std::size_t>(n) > bytes.size() - at ||
            bytes.compare(at, static_cast<std::size_t>(n), buffer, static_cast<std::size_t>(n)) != 0) {
            return false;
        }
        at += static_cast<std::size_t>(n);
    }
}

}  // namespace

fs::path ShareSource(const fs::path& previousDir, const fs::path& patchDir) {
    std::error_code ec;
    const bool same = fs::equivalent(previousDir, patchDir, ec);
    return same || ec ? fs::path() : previousDir;
}

bool ShareObject(const fs::path& shareFrom, const fs::path& patchDir, const std::string& served, std::uint64_t size,
                 const std::string* bytes) {
    if (shareFrom.empty()) return false;
    const fs::path source = shareFrom / PathFromUtf8(served);
    std::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(source, ec)) || fs::file_size(source, ec) != size || ec) return false;
    if (bytes && !HoldsBytes(source, *bytes)) return false;
    const fs::path target = patchDir / PathFromUtf8(served);
    fs::path temp = target;
    temp += kTempSuffix;
    fs::create_directories(target.parent_path(), ec);
    fs::remove(temp, ec);
    fs::create_hard_link(source, temp, ec);
    if (ec) return false;
    std::string ignored;
    if (!ReplaceWith(temp, target, &ignored)) {
        fs::remove(temp, ec);
        return false;
    }
    return true;
}

std::vector<ServedObject> ObjectsOf(const PatchManifest& manifest) {
    std::vector<ServedObject> objects;
    std::set<std::string> seen;
    const auto add = [&](std::string served, std::uint64_t size) {
        if (seen.insert(served).second) objects.push_back({std::move(served), size});
    };
    for (const PatchPack& p : manifest.packs) add(PackServedPath(p.sha256), p.size);
    for (const PatchPack& c : manifest.containers) add(ContainerServedPath(c.sha256), c.size);
    for (const PatchFileEntry& f : manifest.files) {
        if (f.delta) add(ChunkIndexServedPath(f.sha256), f.delta->size);
        if (f.zchunks) add(ChunkFramesServedPath(f.zchunks->tableSha256), f.zchunks->tableSize);
    }
    return objects;
}

bool HasObject(const fs::path& patchDir, const ServedObject& object) {
    const fs::path path = patchDir / PathFromUtf8(object.served);
    std::error_code ec;
    return fs::is_regular_file(fs::symlink_status(path, ec)) && fs::file_size(path, ec) == object.size && !ec;
}
