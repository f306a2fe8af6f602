#include "TempDir.h"

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <system_error>

namespace fs = std::filesystem;

namespace testsupport {

namespace {

// Windows refuses to delete a read-only file, and tests make some on purpose.
void MakeWritable(const fs::path& root) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ec);
    }
}

}  // namespace

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) return;
    std::mt19937_64 random(static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                           std::random_device{}());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate =
            base / ("korvane-test-" + std::to_string(random() % 1000000000u) + "-" + std::to_string(counter++));
        if (fs::create_directory(candidate, ec) && !ec) {
            path_ = candidate;
            withSeparator_ = (candidate / "").native();
            return;
        }
    }
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    MakeWritable(path_);
    std::error_code ec;
    fs::remove_all(path_, ec);
}

}  // namespace testsupport
