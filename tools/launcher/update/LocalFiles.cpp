#include "update/LocalFiles.h"

#include "LauncherPath.h"
#include "LongPath.h"

#include <aclapi.h>
#include <sddl.h>

#include <climits>
#include <cstring>
#include <utility>
#include <vector>

namespace local_files {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// What GetLastError says after a refusal for a link (ERROR_STOPPED_ON_SYMLINK, which not every SDK names).
constexpr DWORD kStoppedOnLink = 681;

// The path as Windows names it in full, without "\\?\", for comparing with a handle's final path.
std::wstring FullName(const std::wstring& path) {
    const std::wstring asked = ForFileApi(path);
    std::vector<wchar_t> full(asked.size() + MAX_PATH, L'\0');
    DWORD got = GetFullPathNameW(asked.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (got >= full.size()) {
        full.assign(got + 1, L'\0');
        got = GetFullPathNameW(asked.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    }
    std::wstring name = WithoutLongPrefix(got == 0 || got >= full.size() ? asked : std::wstring(full.data(), got));
    // A folder asked for with its separator: the final path of a folder has none (but "C:\\" keeps its own).
    while (name.size() > 3 && (name.back() == L'\\' || name.back() == L'/')) name.pop_back();
    return name;
}

// The open object's path on its volume, without the drive ("\\Data\\a.pak", "\\server\\share\\..." for a
// share); empty when Windows cannot tell.
std::wstring NameOnVolume(HANDLE handle) {
    std::vector<unsigned char> buffer(sizeof(FILE_NAME_INFO) + 65536 * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_NAME_INFO*>(buffer.data());
    if (!GetFileInformationByHandleEx(handle, FileNameInfo, info, static_cast<DWORD>(buffer.size()))) return std::wstring();
    std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
    while (name.size() > 1 && (name.back() == L'\\' || name.back() == L'/')) name.pop_back();
    return name;
}

// The open object's attributes into `attributes`; false when Windows cannot tell.
bool AttributesOf(HANDLE handle, DWORD* attributes) {
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag))) return false;
    *attributes = tag.FileAttributes;
    return true;
}

// True when the open handle's final path is `path`: a junction or link on the way resolves to another one
// (Wine shows unix links only this way).
bool FinalPathIs(HANDLE handle, const std::wstring& path) {
    std::wstring final = FinalPathOfHandle(handle);
    std::wstring asked = FullName(path);
    if (final.empty()) {
        // Wine gives no final path of 300 characters or more; the name on its volume tells the same.
        final = NameOnVolume(handle);
        asked = asked.compare(0, 2, L"\\\\") == 0 ? asked.substr(1) : asked.size() > 2 ? asked.substr(2) : asked;
    }
    return !final.empty() && final.size() == asked.size() &&
           CompareStringOrdinal(final.c_str(), static_cast<int>(final.size()), asked.c_str(),
                                static_cast<int>(asked.size()), TRUE) == CSTR_EQUAL;
}

// True when the open handle is the object `path` names and not what a link leads to: no reparse point on
// the object itself (a link opened as itself), and a final path that is `path`.
bool NamesItself(HANDLE handle, const std::wstring& path) {
    DWORD attributes = 0;
    return AttributesOf(handle, &attributes) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) && FinalPathIs(handle, path);
}

// True when nothing else names the file: a hard link elsewhere would receive every byte written here.
// Asked as FileStandardInfo, not GetFileInformationByHandle: that one also asks for the volume's serial
// number, which under Wine is a round trip to the mount manager's process for every file written.
bool HasOneName(HANDLE handle) {
    FILE_STANDARD_INFO info = {};
    return GetFileInformationByHandleEx(handle, FileStandardInfo, &info, sizeof(info)) && info.NumberOfLinks <= 1;
}

// Opens `path` itself, never through a link: refused (invalid, GetLastError kStoppedOnLink) when the handle
// does not name the object itself, or when it is to be written and has another name too. A file made by
// CREATE_NEW (whose `access` includes DELETE) that is refused is deleted by the handle that made it: made
// through a link on the way, it would otherwise stay wherever the link leads.
ScopedHandle OpenItself(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                        bool toWrite) {
    ScopedHandle handle(CreateFileW(ForFileApi(path).c_str(), access, share, nullptr, disposition,
                                    flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.Valid()) return handle;
    if (!NamesItself(handle.Get(), path) || (toWrite && !HasOneName(handle.Get()))) {
        if (disposition == CREATE_NEW) DeleteOpen(handle.Get());
        handle.Reset();
        SetLastError(kStoppedOnLink);
    }
    return handle;
}

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

// False when `path` exists but is reached through a link; a missing file needs nothing.
bool ClearReadOnlyByName(const std::wstring& path) {
    ScopedHandle file = OpenItself(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, false);
    if (file.Valid()) {
        ClearReadOnly(file.Get());  // a refusal shows when the move itself fails
        return true;
    }
    return GetLastError() != kStoppedOnLink;
}

// IO_STATUS_BLOCK as ntdll fills it (winternl.h would clash with the file information classes in use here).
struct IoStatus {
    union {
        LONG status;
        void* pointer;
    };
    ULONG_PTR information;
};

// The file's index on its volume (what GetFileInformationByHandle gives as nFileIndexHigh/Low, and a folder
// listing as FileId), asked without the volume serial that GetFileInformationByHandle and FileIdInfo also
// fetch: the native call's FileInternalInformation, as no Win32 class gives the index alone.
bool FileIndexOf(HANDLE file, std::uint64_t* index) {
    using QueryInformationFile = LONG(WINAPI*)(HANDLE, IoStatus*, void*, ULONG, int);
    constexpr int kFileInternalInformation = 6;
    static const auto query = reinterpret_cast<QueryInformationFile>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
    LARGE_INTEGER internal = {};
    IoStatus io = {};
    if (!query || query(file, &io, &internal, sizeof(internal), kFileInternalInformation) < 0) return false;
    *index = static_cast<std::uint64_t>(internal.QuadPart);
    return true;
}

// ---- folders made by handle ----

// UNICODE_STRING and OBJECT_ATTRIBUTES as ntdll takes them.
struct NativeName {
    USHORT length;
    USHORT maximumLength;
    PWSTR buffer;
};
struct NativeObjectAttributes {
    ULONG length;
    HANDLE rootDirectory;
    NativeName* objectName;
    ULONG attributes;
    void* securityDescriptor;
    void* securityQualityOfService;
};
constexpr ULONG kObjCaseInsensitive = 0x40;                       // OBJ_CASE_INSENSITIVE
constexpr ULONG kFileCreate = 2;                                  // FILE_CREATE: fails when the name is taken
constexpr ULONG kFileDirectoryFile = 0x1;                         // FILE_DIRECTORY_FILE
constexpr ULONG kFileSynchronousIoNonalert = 0x20;                // FILE_SYNCHRONOUS_IO_NONALERT
constexpr LONG kNameCollision = static_cast<LONG>(0xC0000035);    // STATUS_OBJECT_NAME_COLLISION

// The path in the native namespace ("\??\C:\..." or "\??\UNC\server\share\...").
std::wstring NativePath(const std::wstring& path) {
    const std::wstring full = FullName(path);
    return full.compare(0, 2, L"\\\\") == 0 ? L"\\??\\UNC\\" + full.substr(2) : L"\\??\\" + full;
}

// Makes the folder `path` and returns a handle to the folder made, never to one that was there: no Win32 call
// makes a folder and opens it at once. Invalid when nothing was made; `taken` tells whether the name was.
ScopedHandle MakeFolder(const std::wstring& path, bool* taken) {
    using CreateFileCall = LONG(WINAPI*)(HANDLE*, ACCESS_MASK, NativeObjectAttributes*, IoStatus*, LARGE_INTEGER*,
                                         ULONG, ULONG, ULONG, ULONG, void*, ULONG);
    static const auto create = reinterpret_cast<CreateFileCall>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtCreateFile")));
    *taken = false;
    std::wstring name = NativePath(path);
    const std::size_t bytes = name.size() * sizeof(wchar_t);
    if (!create || bytes > USHRT_MAX - sizeof(wchar_t)) return ScopedHandle();
    NativeName nativeName = {static_cast<USHORT>(bytes), static_cast<USHORT>(bytes), &name[0]};
    NativeObjectAttributes object = {sizeof(NativeObjectAttributes), nullptr, &nativeName, kObjCaseInsensitive, nullptr,
                                     nullptr};
    IoStatus io = {};
    HANDLE folder = nullptr;
    const LONG status = create(&folder, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | DELETE | SYNCHRONIZE, &object, &io,
                               nullptr, FILE_ATTRIBUTE_NORMAL, kShareAll, kFileCreate,
                               kFileDirectoryFile | kFileSynchronousIoNonalert, nullptr, 0);
    *taken = status == kNameCollision;
    return ScopedHandle(status >= 0 ? folder : nullptr);
}

// Makes one folder below a parent found to be itself, then checks that the folder made is itself: made through
// a link swapped in on the way since, it is removed again by its own handle. One made meanwhile by another
// worker counts when it is itself.
bool MakeFolderItself(const std::wstring& path) {
    bool taken = false;
    ScopedHandle made = MakeFolder(path, &taken);
    if (!made.Valid()) {
        if (!taken) return false;
        ScopedHandle there = OpenItself(path, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                        false);
        DWORD attributes = 0;
        return there.Valid() && AttributesOf(there.Get(), &attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    }
    if (NamesItself(made.Get(), path)) return true;
    DeleteOpen(made.Get());
    SetLastError(kStoppedOnLink);
    return false;
}

// ---- the tree walk ----

// What the walk needs of every entry: to read and set its owner and DACL, and to tell what it is.
constexpr DWORD kWalkAccess = READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES;

// A folder's path without a trailing separator ("C:\" keeps its own): a folder's final path has none.
std::wstring WithoutSeparator(std::wstring path) {
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    return path;
}

// Adds the entries of an open folder to `entries` (path, listed as a folder), "." and ".." left out; false when
// it cannot be listed to the end.
bool ListFolder(HANDLE folder, const std::wstring& path, std::vector<std::pair<std::wstring, bool>>* entries) {
    const std::wstring prefix = path.back() == L'\\' ? path : path + L"\\";
    std::vector<std::uint64_t> buffer(64 * 1024 / sizeof(std::uint64_t));  // 8-byte aligned entries
    for (FILE_INFO_BY_HANDLE_CLASS kind = FileFullDirectoryRestartInfo;
         GetFileInformationByHandleEx(folder, kind, buffer.data(), static_cast<DWORD>(buffer.size() * sizeof(buffer[0])));
         kind = FileFullDirectoryInfo) {
        const unsigned char* at = reinterpret_cast<const unsigned char*>(buffer.data());
        for (;;) {
            const auto* entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(at);
            const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                entries->emplace_back(prefix + name, (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
            }
            if (entry->NextEntryOffset == 0) break;
            at += entry->NextEntryOffset;
        }
    }
    return GetLastError() == ERROR_NO_MORE_FILES;
}

// Opens one entry of the walk as itself (a reparse point as itself too), visits it, and lists a folder that is
// no reparse point into `below`. False when it cannot be opened or listed, names something else, or `visit`
// refused it.
bool WalkEntry(const std::wstring& path, bool asFolder, bool top, const std::function<bool(const TreeEntry&)>& visit,
               std::vector<std::pair<std::wstring, bool>>* below) {
    ScopedHandle handle(CreateFileW(ForFileApi(path).c_str(), kWalkAccess | (asFolder ? FILE_LIST_DIRECTORY : 0), kShareAll,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
    DWORD attributes = 0;
    if (!handle.Valid() || !AttributesOf(handle.Get(), &attributes) || !FinalPathIs(handle.Get(), path)) return false;
    const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    const bool visited = visit(TreeEntry{handle.Get(), path, top, link});
    if (link || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return visited;
    return ListFolder(handle.Get(), path, below) && visited;
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

bool ReadVolumeSerial(const std::wstring& folder, std::uint32_t* serial) {
    ScopedHandle handle = OpenFolderToList(folder);
    BY_HANDLE_FILE_INFORMATION info;
    if (!handle.Valid() || !GetFileInformationByHandle(handle.Get(), &info)) return false;
    *serial = info.dwVolumeSerialNumber;
    return true;
}

bool ReadStamp(const std::wstring& path, std::uint32_t volume, FileStamp* stamp) {
    ScopedHandle file = OpenItself(path, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, false);
    FILE_BASIC_INFO basic = {};
    FILE_STANDARD_INFO standard = {};
    std::uint64_t fileId = 0;
    if (!file.Valid() || !GetFileInformationByHandleEx(file.Get(), FileBasicInfo, &basic, sizeof(basic)) ||
        !GetFileInformationByHandleEx(file.Get(), FileStandardInfo, &standard, sizeof(standard)) ||
        !FileIndexOf(file.Get(), &fileId)) {
        return false;
    }
    stamp->size = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
    stamp->lastWrite = static_cast<std::uint64_t>(basic.LastWriteTime.QuadPart);
    stamp->volume = volume;
    stamp->fileId = fileId;
    return true;
}

ScopedHandle OpenToRead(const std::wstring& path, DWORD flags) {
    return OpenItself(path, GENERIC_READ, kShareAll, OPEN_EXISTING, flags ? flags : FILE_ATTRIBUTE_NORMAL, false);
}

ScopedHandle OpenListedToRead(const std::wstring& path) {
    return ScopedHandle(CreateFileW(ForFileApi(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

ScopedHandle OpenFolderToList(const std::wstring& path) {
    return OpenItself(WithoutSeparator(path), FILE_LIST_DIRECTORY, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                      false);
}

ScopedHandle OpenFolderToJudge(const std::wstring& path) {
    return OpenItself(WithoutSeparator(path), READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS, false);
}

bool WalkTree(const std::wstring& folder, const std::function<bool(const TreeEntry&)>& visit) {
    // A stack, not recursion: the depth is whatever the folder holds.
    std::vector<std::pair<std::wstring, bool>> pending;
    bool whole = WalkEntry(WithoutSeparator(folder), true, true, visit, &pending);
    while (!pending.empty()) {
        const std::pair<std::wstring, bool> entry = std::move(pending.back());
        pending.pop_back();
        whole = WalkEntry(entry.first, entry.second, false, visit, &pending) && whole;
    }
    return whole;
}

bool CrossesLink(const std::wstring& root, const std::wstring& relative, std::set<std::wstring>* plainFolders) {
    std::wstring path = root;
    for (std::size_t start = 0; start <= relative.size();) {
        std::size_t end = relative.find_first_of(L"\\/", start);
        if (end == std::wstring::npos) end = relative.size();
        if (end > start) {
            path.append(relative, start, end - start);
            const bool last = end == relative.size();
            if (last || !plainFolders || !plainFolders->count(path)) {
                ScopedHandle handle = OpenItself(path, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING,
                                                 FILE_FLAG_BACKUP_SEMANTICS, last);
                if (!handle.Valid()) {
                    if (GetLastError() == kStoppedOnLink) return true;
                    if (!last) return false;  // missing from here on: what is made below it is made new
                } else if (!last && plainFolders) {
                    plainFolders->insert(path);
                }
            }
            if (!last) path.push_back(L'\\');
        }
        start = end + 1;
    }
    ScopedHandle part = OpenItself(path + L".part", FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING, 0, true);
    return !part.Valid() && GetLastError() == kStoppedOnLink;
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
    const auto open = [&path](DWORD disposition) {
        return OpenItself(path, GENERIC_READ | GENERIC_WRITE | DELETE, 0, disposition, FILE_ATTRIBUTE_NORMAL, true);
    };
    if (existing == 0) {
        // A new ".part" is made new: truncating one that is there would write into whatever it is a link or
        // a second name of. One that is there is deleted first (most often none is, which costs no lookup).
        ScopedHandle file = open(CREATE_NEW);
        const DWORD error = GetLastError();
        if (file.Valid() || (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)) return file;
        if (!DeleteOrGone(path)) return ScopedHandle();
        return open(CREATE_NEW);
    }
    ScopedHandle file = open(OPEN_EXISTING);
    if (!file.Valid()) return file;
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
    const std::wstring name = ForFileApi(target);
    const std::size_t nameBytes = name.size() * sizeof(wchar_t);
    // FILE_RENAME_INFO ends in a name of any length: room for it and its terminator.
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes + sizeof(wchar_t), 0);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(rename->FileName, name.c_str(), nameBytes);
    const DWORD size = static_cast<DWORD>(buffer.size());
    if (SetFileInformationByHandle(file, FileRenameInfo, rename, size)) return true;
    // Windows refuses to replace a read-only target: cleared when it is itself, then once more. Asked only
    // now, so that the common move costs no look-up of the target.
    if (GetLastError() != ERROR_ACCESS_DENIED || !ClearReadOnlyByName(target)) return false;
    return SetFileInformationByHandle(file, FileRenameInfo, rename, size) != 0;
}

bool DeleteOpen(HANDLE file) {
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition)) != 0;
}

bool DeleteOrGone(const std::wstring& path) {
    ScopedHandle file = OpenItself(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll,
                                   OPEN_EXISTING, 0, false);
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
    {
        ScopedHandle source = OpenItself(from, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING, 0, false);
        if (!source.Valid()) return false;
    }
    if (!ClearReadOnlyByName(to)) return false;
    return MoveFileExW(ForFileApi(from).c_str(), ForFileApi(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool CreateParentFolders(const std::wstring& path) {
    // The deepest folder there already must be itself (its final path vouches for every folder above it): a
    // new folder made below a link would be made wherever the link leads.
    std::vector<std::wstring> missing;
    for (std::wstring folder = FolderOf(path); !folder.empty(); folder = FolderOf(folder)) {
        ScopedHandle handle = OpenItself(folder, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS, false);
        if (handle.Valid()) break;
        if (GetLastError() == kStoppedOnLink) return false;
        missing.push_back(folder);
    }
    // Then one level at a time, each checked to be itself before the next is made in it.
    for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
        if (!MakeFolderItself(*level)) return false;
    }
    return true;
}

ScopedHandle OpenToAppend(const std::wstring& path) {
    const DWORD access = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    ScopedHandle file = OpenItself(path, access, kShareAll, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, true);
    if (file.Valid() || !IsGoneError(GetLastError())) return file;
    // Made new, so that a refusal deletes what was made through a link on the way.
    return OpenItself(path, access | DELETE, kShareAll, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, true);
}

ScopedHandle OpenToRun(const std::wstring& path) {
    return OpenItself(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, false);
}

ScopedHandle HoldLockFile(const std::wstring& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        return ScopedHandle();
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    // DELETE alone decides the sharing: with none shared, no other open that reads, writes or deletes gets in.
    ScopedHandle lock(CreateFileW(ForFileApi(path).c_str(), DELETE | FILE_READ_ATTRIBUTES | READ_CONTROL, 0,
                                  &attributes, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
    const DWORD error = GetLastError();
    if (!lock.Valid()) {
        LocalFree(descriptor);
        SetLastError(error);
        return lock;
    }
    if (!NamesItself(lock.Get(), path) || !HasOneName(lock.Get())) {
        LocalFree(descriptor);
        lock.Reset();  // the link or the second name goes with the handle; what it led to stays
        SetLastError(kStoppedOnLink);
        return lock;
    }
    if (error == ERROR_ALREADY_EXISTS) {
        // Made by somebody before: from now on only administrators may open it. Owner and DACL take no part
        // in sharing, so a second handle may change them while this one holds the file.
        ScopedHandle security(CreateFileW(ForFileApi(path).c_str(), WRITE_DAC | WRITE_OWNER, kShareAll, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        PSID owner = nullptr;
        PACL dacl = nullptr;
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        if (security.Valid() && GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) &&
            GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
            SetSecurityInfo(security.Get(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            owner, nullptr, dacl, nullptr);
        }
    }
    LocalFree(descriptor);
    return lock;
}

}  // namespace local_files
