#include "update/LocalFiles.h"

#include "LongPath.h"

#include <cstring>
#include <vector>

namespace local_files {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::wstring FolderOf(const std::wstring& path) {
    const std::size_t sep = path.find_last_of(L"\\/");
    return sep == std::wstring::npos ? std::wstring() : path.substr(0, sep);
}

// Windows refuses to replace or delete a read-only file. A file that does not exist needs nothing.
bool ClearReadOnly(HANDLE file) {
    FILE_BASIC_INFO basic = {};
    if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof(basic))) return false;
    if (!(basic.FileAttributes & FILE_ATTRIBUTE_READONLY)) return true;
    basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof(basic)) != 0;
}

void ClearReadOnlyByName(const std::wstring& path) {
    ScopedHandle file(CreateFileW(ForFileApi(path).c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
    if (file.Valid()) ClearReadOnly(file.Get());
}

bool IsGoneError(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

std::uint64_t Combine(DWORD high, DWORD low) {
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

}  // namespace

bool QuerySize(const std::wstring& path, std::uint64_t* size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(ForFileApi(path).c_str(), GetFileExInfoStandard, &data)) return false;
    *size = Combine(data.nFileSizeHigh, data.nFileSizeLow);
    return true;
}

std::uint64_t SizeOrZero(const std::wstring& path) {
    std::uint64_t size = 0;
    return QuerySize(path, &size) ? size : 0;
}

bool ReadStamp(const std::wstring& path, FileStamp* stamp) {
    ScopedHandle file(CreateFileW(ForFileApi(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!file.Valid() || !GetFileInformationByHandle(file.Get(), &info)) return false;
    stamp->size = Combine(info.nFileSizeHigh, info.nFileSizeLow);
    stamp->lastWrite = Combine(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime);
    stamp->volume = info.dwVolumeSerialNumber;
    stamp->fileId = Combine(info.nFileIndexHigh, info.nFileIndexLow);
    return true;
}

ScopedHandle OpenToRead(const std::wstring& path, DWORD flags) {
    return ScopedHandle(CreateFileW(ForFileApi(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                    flags ? flags : FILE_ATTRIBUTE_NORMAL, nullptr));
}

ScopedHandle OpenFolderToList(const std::wstring& path) {
    return ScopedHandle(CreateFileW(ForFileApi(path).c_str(), FILE_LIST_DIRECTORY, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

bool ReadWhole(const std::wstring& path, std::uint64_t limit, std::string* bytes) {
    ScopedHandle file = OpenToRead(path);
    LARGE_INTEGER size = {};
    if (!file.Valid() || !GetFileSizeEx(file.Get(), &size) || static_cast<std::uint64_t>(size.QuadPart) > limit) {
        return false;
    }
    bytes->resize(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    return bytes->empty() ||
           (ReadFile(file.Get(), &(*bytes)[0], static_cast<DWORD>(bytes->size()), &read, nullptr) && read == bytes->size());
}

ScopedHandle OpenPart(const std::wstring& path, std::uint64_t existing) {
    // No sharing at all: between the first byte written and the move, nobody else can open the file, so
    // the bytes that were hashed are the bytes that take the target's name.
    ScopedHandle file(CreateFileW(ForFileApi(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                                  existing > 0 ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid() || existing == 0) return file;
    LARGE_INTEGER size = {};
    LARGE_INTEGER end = {};
    end.QuadPart = static_cast<LONGLONG>(existing);
    LARGE_INTEGER start = {};
    if (!GetFileSizeEx(file.Get(), &size) || static_cast<std::uint64_t>(size.QuadPart) < existing ||
        !SetFilePointerEx(file.Get(), end, nullptr, FILE_BEGIN) || !SetEndOfFile(file.Get()) ||
        !SetFilePointerEx(file.Get(), start, nullptr, FILE_BEGIN)) {
        if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_HANDLE_EOF);
        file.Reset();
    }
    return file;
}

bool MoveIntoPlace(HANDLE file, const std::wstring& target) {
    ClearReadOnlyByName(target);
    const std::wstring name = ForFileApi(target);
    const std::size_t nameBytes = name.size() * sizeof(wchar_t);
    // FILE_RENAME_INFO ends in a name of any length: room for it and its terminator.
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes + sizeof(wchar_t), 0);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(rename->FileName, name.c_str(), nameBytes);
    return SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(buffer.size())) != 0;
}

bool DeleteOpen(HANDLE file) {
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition)) != 0;
}

bool DeleteOrGone(const std::wstring& path) {
    // A link is deleted itself, never what it points to.
    ScopedHandle file(CreateFileW(ForFileApi(path).c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                  kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.Valid()) return IsGoneError(GetLastError());
    ClearReadOnly(file.Get());
    return DeleteOpen(file.Get());
}

bool WriteAtomically(const std::wstring& path, const std::string& bytes) {
    ScopedHandle file = OpenPart(path + L".tmp", 0);
    if (!file.Valid()) return false;
    DWORD written = 0;
    if (WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size() && FlushFileBuffers(file.Get()) && MoveIntoPlace(file.Get(), path)) {
        return true;
    }
    DeleteOpen(file.Get());
    return false;
}

bool MoveReplacing(const std::wstring& from, const std::wstring& to) {
    ClearReadOnlyByName(to);
    return MoveFileExW(ForFileApi(from).c_str(), ForFileApi(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool CreateParentFolders(const std::wstring& path) {
    const std::wstring folder = FolderOf(path);
    return folder.empty() || CreateDirectoryChain(folder);
}

}  // namespace local_files
