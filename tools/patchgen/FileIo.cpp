#include "FileIo.h"

#include "common/HexText.h"

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

File::~File() { Close(); }

File::File(File&& other) noexcept { *this = std::move(other); }

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
#ifdef _WIN32
        handle_ = other.handle_;
        other.handle_ = nullptr;
#else
        fd_ = other.fd_;
        other.fd_ = -1;
#endif
    }
    return *this;
}

#ifdef _WIN32

File File::OpenRead(const fs::path& path) {
    File f;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h != INVALID_HANDLE_VALUE) f.handle_ = h;
    return f;
}

File File::CreateWrite(const fs::path& path) {
    File f;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) f.handle_ = h;
    return f;
}

bool File::open() const { return handle_ != nullptr; }

long long File::Read(void* buffer, std::size_t size) {
    if (!handle_) return -1;
    DWORD want = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD got = 0;
    if (!ReadFile(static_cast<HANDLE>(handle_), buffer, want, &got, nullptr)) return -1;
    return got;
}

bool File::WriteAll(const void* data, std::size_t size) {
    if (!handle_) return false;
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        DWORD want = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD put = 0;
        if (!WriteFile(static_cast<HANDLE>(handle_), p, want, &put, nullptr) || put == 0) return false;
        p += put;
        size -= put;
    }
    return true;
}

bool File::Seek(std::uint64_t offset) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    return handle_ && SetFilePointerEx(static_cast<HANDLE>(handle_), to, nullptr, FILE_BEGIN);
}

bool File::Sync() { return handle_ && FlushFileBuffers(static_cast<HANDLE>(handle_)); }

bool File::Close() {
    if (!handle_) return true;
    BOOL ok = CloseHandle(static_cast<HANDLE>(handle_));
    handle_ = nullptr;
    return ok != 0;
}

std::string LastSystemError() {
    DWORD code = GetLastError();
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out;
    if (n > 0 && text) {
        while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' ')) --n;
        int len = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
        out.resize(len > 0 ? len : 0);
        if (len > 0) WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), out.data(), len, nullptr, nullptr);
    }
    if (text) LocalFree(text);
    return out + " (error " + std::to_string(code) + ")";
}

bool ReplaceWith(const fs::path& from, const fs::path& to, std::string* error) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    if (error) *error = "cannot rename " + DisplayPath(from) + " to " + DisplayPath(to) + ": " + LastSystemError();
    return false;
}

bool SyncWrittenFiles(const std::vector<fs::path>& files, std::string* error) {
    for (const fs::path& path : files) {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        bool ok = h != INVALID_HANDLE_VALUE && FlushFileBuffers(h);
        if (!ok && error) *error = "cannot flush " + DisplayPath(path) + ": " + LastSystemError();
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        if (!ok) return false;
    }
    return true;
}

#else

File File::OpenRead(const fs::path& path) {
    File f;
    f.fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return f;
}

File File::CreateWrite(const fs::path& path) {
    File f;
    f.fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return f;
}

bool File::open() const { return fd_ >= 0; }

long long File::Read(void* buffer, std::size_t size) {
    if (fd_ < 0) return -1;
    for (;;) {
        ssize_t n = ::read(fd_, buffer, size);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

bool File::WriteAll(const void* data, std::size_t size) {
    if (fd_ < 0) return false;
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd_, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool File::Seek(std::uint64_t offset) {
    return fd_ >= 0 && ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

bool File::Sync() { return fd_ >= 0 && ::fsync(fd_) == 0; }

bool File::Close() {
    if (fd_ < 0) return true;
    int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0;
}

std::string LastSystemError() { return std::strerror(errno); }

bool ReplaceWith(const fs::path& from, const fs::path& to, std::string* error) {
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    if (error) *error = "cannot rename " + DisplayPath(from) + " to " + DisplayPath(to) + ": " + LastSystemError();
    return false;
}

bool SyncWrittenFiles(const std::vector<fs::path>& files, std::string* error) {
    if (files.empty()) return true;
    const int fd = ::open(files.front().c_str(), O_RDONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::syncfs(fd) == 0;
    if (!ok && error) *error = "cannot flush the file system of " + DisplayPath(files.front()) + ": " + LastSystemError();
    if (fd >= 0) ::close(fd);
    return ok;
}

#endif

bool File::ReadFull(void* buffer, std::size_t size) {
    char* at = static_cast<char*>(buffer);
    while (size > 0) {
        const long long n = Read(at, size);
        if (n <= 0) return false;
        at += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool PathToUtf8(const fs::path& path, std::string* utf8) {
#ifdef _WIN32
    const std::wstring& w = path.native();
    if (w.empty()) {
        utf8->clear();
        return true;
    }
    int len = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                  nullptr, nullptr);
    if (len <= 0) return false;
    utf8->assign(static_cast<std::size_t>(len), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, w.data(), static_cast<int>(w.size()), utf8->data(), len,
                        nullptr, nullptr);
    return true;
#else
    *utf8 = path.native();
    return true;
#endif
}

fs::path PathFromUtf8(std::string_view utf8) {
#ifdef _WIN32
    if (utf8.empty()) return {};
    int len = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring w(len > 0 ? static_cast<std::size_t>(len) : 0, L'\0');
    if (len > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), len);
    return fs::path(w);
#else
    return fs::path(std::string(utf8));
#endif
}

std::string DisplayText(std::string_view bytes) {
    std::string out;
    // Bytes that are not UTF-8 or are control characters are shown as \xNN so messages stay one line.
    for (std::size_t i = 0; i < bytes.size();) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool good = n > 0 && i + n <= bytes.size() && c >= 0x20 && c != 0x7F;
        for (std::size_t k = 1; good && k < n; ++k) good = (static_cast<unsigned char>(bytes[i + k]) & 0xC0) == 0x80;
        if (good) {
            out.append(bytes.substr(i, n));
            i += n;
        } else {
            out += "\\x" + hex_text::ToHex(&c, 1);
            ++i;
        }
    }
    return out;
}

std::string DisplayPath(const fs::path& path) {
    std::string utf8;
#ifdef _WIN32
    if (!PathToUtf8(path, &utf8)) {
        // Lone surrogates: let the converter substitute them so the message still names the file.
        int len = WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
        utf8.assign(len > 1 ? static_cast<std::size_t>(len - 1) : 0, '\0');
        if (len > 1) WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, utf8.data(), len, nullptr, nullptr);
    }
#else
    PathToUtf8(path, &utf8);
#endif
    return DisplayText(utf8);
}

bool WriteFileAtomically(const fs::path& path, std::string_view data, std::string* error, bool sync) {
    fs::path temp = path;
    temp += kTempSuffix;
    File f = File::CreateWrite(temp);
    if (!f.open()) {
        if (error) *error = "cannot create " + DisplayPath(temp) + ": " + LastSystemError();
        return false;
    }
    bool ok = f.WriteAll(data.data(), data.size()) && (!sync || f.Sync());
    std::string reason = ok ? std::string() : LastSystemError();
    ok = f.Close() && ok;
    std::error_code ignored;
    if (!ok) {
        fs::remove(temp, ignored);
        if (error) *error = "cannot write " + DisplayPath(temp) + ": " + (reason.empty() ? LastSystemError() : reason);
        return false;
    }
    if (!ReplaceWith(temp, path, error)) {
        fs::remove(temp, ignored);
        return false;
    }
    return true;
}

bool PrepareParentDirectories(const fs::path& root, const fs::path& path, std::string* error) {
    fs::path current = root;
    fs::path relative = path.lexically_relative(root).parent_path();
    for (const fs::path& part : relative) {
        current /= part;
        std::error_code ec;
        fs::file_status st = fs::symlink_status(current, ec);
        if (fs::is_directory(st)) continue;
        if (fs::exists(st)) {
            fs::remove(current, ec);
            if (ec) {
                if (error) *error = "cannot remove " + DisplayPath(current) + ": " + ec.message();
                return false;
            }
        }
        fs::create_directory(current, ec);
        if (ec) {
            if (error) *error = "cannot create directory " + DisplayPath(current) + ": " + ec.message();
            return false;
        }
    }
    return true;
}

bool OpenCopyEnds(const fs::path& from, const fs::path& to, File* in, File* out, std::string* error) {
    *in = File::OpenRead(from);
    if (!in->open()) {
        *error = "cannot open " + DisplayPath(from) + ": " + LastSystemError();
        return false;
    }
    *out = File::CreateWrite(to);
    if (!out->open()) {
        *error = "cannot create " + DisplayPath(to) + ": " + LastSystemError();
        return false;
    }
    return true;
}

bool LinkOrCopyFile(const fs::path& source, const fs::path& target, bool* linked, std::string* error) {
    fs::path temp = target;
    temp += kTempSuffix;
    std::error_code ec;
    fs::remove(temp, ec);
    fs::create_hard_link(source, temp, ec);
    *linked = !ec;
    if (!*linked) {
        File in, out;
        if (!OpenCopyEnds(source, temp, &in, &out, error)) return false;
        char buffer[65536];
        long long n = 0;
        while ((n = in.Read(buffer, sizeof(buffer))) > 0 && out.WriteAll(buffer, static_cast<std::size_t>(n))) {
        }
        const bool copied = n == 0 && out.Sync();
        const std::string reason = copied ? std::string() : LastSystemError();
        // Closed before the removal below: Windows keeps an open file's name.
        if (!out.Close() || !copied) {
            fs::remove(temp, ec);
            *error = "cannot copy " + DisplayPath(source) + " to " + DisplayPath(temp) + ": " +
                     (reason.empty() ? LastSystemError() : reason);
            return false;
        }
    }
    if (!ReplaceWith(temp, target, error)) {
        fs::remove(temp, ec);
        return false;
    }
    return true;
}

bool ReadWholeFile(const fs::path& path, std::string* data, std::string* error) {
    File f = File::OpenRead(path);
    if (!f.open()) {
        if (error) *error = "cannot open " + DisplayPath(path) + ": " + LastSystemError();
        return false;
    }
    data->clear();
    char buffer[65536];
    for (;;) {
        long long n = f.Read(buffer, sizeof(buffer));
        if (n < 0) {
            if (error) *error = "cannot read " + DisplayPath(path) + ": " + LastSystemError();
            return false;
        }
        if (n == 0) return true;
        data->append(buffer, static_cast<std::size_t>(n));
    }
}
