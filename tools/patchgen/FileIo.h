#pragma once
// Plain file handles and the few file-system moves patchgen makes, with failures as results.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

// An open file that closes itself; a default or failed one is not open().
class File {
public:
    File() = default;
    // Closes the handle if still open.
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Opens an existing file for reading; not open() on failure (see LastSystemError()).
    static File OpenRead(const fs::path& path);
    // Creates or truncates a file for writing; not open() on failure.
    static File CreateWrite(const fs::path& path);

    // True when the handle is usable.
    bool open() const;
    // Reads up to `size` bytes; the count read, 0 at the end, -1 on error.
    long long Read(void* buffer, std::size_t size);
    // Reads exactly `size` bytes (fewer only at the end of the file); false on error or when the file ends first.
    bool ReadFull(void* buffer, std::size_t size);
    // Moves to `offset` bytes from the start; false on error.
    bool Seek(std::uint64_t offset);
    // Writes every byte; false on error.
    bool WriteAll(const void* data, std::size_t size);
    // Pushes written data down to the device; false on error.
    bool Sync();
    // Closes now; false when the system reports a failure on close.
    bool Close();

private:
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
};

// The text of the last operating-system error on this thread (errno or GetLastError).
std::string LastSystemError();

// The path as UTF-8 bytes; false when it is not representable (invalid UTF-16 on Windows).
bool PathToUtf8(const fs::path& path, std::string* utf8);

// A path from UTF-8 bytes (on Windows converted to UTF-16).
fs::path PathFromUtf8(std::string_view utf8);

// UTF-8 text for a one-line message: invalid bytes and control characters become \xNN.
std::string DisplayText(std::string_view bytes);

// The path for a one-line message, as UTF-8 (see DisplayText).
std::string DisplayPath(const fs::path& path);

// Renames `from` onto `to`, replacing a file already at `to`; false with *error set on failure.
bool ReplaceWith(const fs::path& from, const fs::path& to, std::string* error);

// Writes `data` to a temporary file next to `path`, syncs it (unless `sync` is false: see SyncWrittenFiles) and
// renames it over `path`, so readers see the old or the new content, never a part; false with *error set, and
// no temporary file left.
bool WriteFileAtomically(const fs::path& path, std::string_view data, std::string* error, bool sync = true);

// Pushes the data of files written without a sync down to the device: on Linux with one flush of the file
// system that holds them, as a sync per small file costs a journal commit each; on Windows file by file.
// False with *error set on failure.
bool SyncWrittenFiles(const std::vector<fs::path>& files, std::string* error);

// Makes sure every parent directory of `path` below `root` exists as a directory, removing a plain
// file that sits where a directory must go; false with *error set on failure.
bool PrepareParentDirectories(const fs::path& root, const fs::path& path, std::string* error);

// Opens `from` for reading and creates or truncates `to`, the two ends of a copy; false with *error set when either
// cannot be opened.
bool OpenCopyEnds(const fs::path& from, const fs::path& to, File* in, File* out, std::string* error);

// Gives `target` the content of `source` by way of a temporary name beside it, so that readers see the old file or
// the new one: a hard link where the file system allows, else a synced copy. *linked says which. False with *error
// set, and no temporary file left, when neither works or the rename fails.
bool LinkOrCopyFile(const fs::path& source, const fs::path& target, bool* linked, std::string* error);

// Reads a whole file into *data; false with *error set on failure.
bool ReadWholeFile(const fs::path& path, std::string* data, std::string* error);

// The suffix given to files patchgen is still writing; such leftovers are removed by the next build.
inline constexpr char kTempSuffix[] = ".patchgen-tmp";
