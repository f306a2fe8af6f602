#pragma once
// A fresh directory under the system's temporary directory for one test, removed with everything in it
// (read-only files too) when the test is done. Portable: the native patchgen tests and the Windows test
// programs use the same one.

#include <filesystem>

namespace testsupport {

class TempDir {
public:
    using NativeString = std::filesystem::path::string_type;

    // Creates the directory; path() is empty when that failed.
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The directory as a native string ending in a separator, ready for a name to be appended.
    const NativeString& Path() const { return withSeparator_; }
    // A name inside the directory, as a native string.
    NativeString operator/(const NativeString& name) const { return withSeparator_ + name; }

private:
    std::filesystem::path path_;
    NativeString withSeparator_;
};

}  // namespace testsupport
