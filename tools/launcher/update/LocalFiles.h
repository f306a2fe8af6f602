#pragma once
// Everything the update engine does to files below the game folder: opening, creating, hashing, moving
// into place, deleting, attributes and atomic writes. Paths of any length are taken (the "\\?\" form is
// applied here). Where Windows allows it the work is done on one open handle, so that the file that was
// checked is the file that is moved or deleted. Nothing here survives a system crash half-way except
// what FlushFileBuffers promises: a moved file holds all of its bytes, a write that was cut off holds some.
//
// The launcher runs as administrator in a folder that others may write to, so nothing here goes through a
// link: every handle is checked to name the object its path names (no junction, symbolic link or mount
// point on it or on the way to it), and a file that is written has no second name. A refused path fails
// like a missing one, with GetLastError 681 (ERROR_STOPPED_ON_SYMLINK). Paths must be named from the
// folder's final path (GetLauncherExePath gives it): a link above the game folder is the player's choice.

#include "Win32Handles.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>

namespace local_files {

// What identifies one state of a file without reading it.
struct FileStamp {
    std::uint64_t size = 0;
    std::uint64_t lastWrite = 0;  // FILETIME
    std::uint32_t volume = 0;
    std::uint64_t fileId = 0;  // the file index on that volume
    bool operator==(const FileStamp& other) const {
        return size == other.size && lastWrite == other.lastWrite && volume == other.volume && fileId == other.fileId;
    }
};

// The size of a file, or 0 when it does not exist or cannot be asked.
std::uint64_t SizeOrZero(const std::wstring& path);

// The size of a file into `size`; false when it does not exist or cannot be asked.
bool QuerySize(const std::wstring& path, std::uint64_t* size);

// The serial number of the volume that holds `folder`; false when it cannot be opened or asked. Every file
// below the game folder is on its volume (a mounted volume on the way would be a link).
bool ReadVolumeSerial(const std::wstring& folder, std::uint32_t* serial);

// The stamp of a file as it is now, on the volume whose serial is `volume` (ReadVolumeSerial of the game
// folder: asked once, as under Wine each ask is a round trip to another process); false when it cannot be
// opened.
bool ReadStamp(const std::wstring& path, std::uint32_t volume, FileStamp* stamp);

// An existing file opened to read from its start, others still allowed to read, write and delete it;
// invalid (GetLastError set) when it cannot be opened. `flags` are CreateFileW's (FILE_FLAG_...).
ScopedHandle OpenToRead(const std::wstring& path, DWORD flags = 0);

// A file that its folder's listing showed as no link, opened to read from its start: a link put in its place
// since is opened as itself (it holds no data), never followed. The folders on the way are not asked again
// (they were when listed); reading through one that became a link since writes nothing. Costs a third of
// OpenToRead under Wine, where asking a handle for its final path is several round trips.
ScopedHandle OpenListedToRead(const std::wstring& path);

// A folder opened to list its entries; invalid when it cannot be opened.
ScopedHandle OpenFolderToList(const std::wstring& path);

// A folder opened to read its owner and DACL (READ_CONTROL) and its identity; invalid when it cannot be opened.
ScopedHandle OpenFolderToJudge(const std::wstring& path);

// One file or folder met by WalkTree, opened as itself with READ_CONTROL, WRITE_DAC and WRITE_OWNER.
struct TreeEntry {
    HANDLE handle;
    const std::wstring& path;
    bool top;   // the folder the walk began at
    bool link;  // a reparse point (symbolic link, junction, mount point): the link itself, never gone below
};

// Visits `folder` and every file and folder below it at any depth, a folder before what it holds, each by a
// handle of its own opened with FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS (with SeBackupPrivilege
// and SeRestorePrivilege enabled, that opens what a user locked down too). False when an entry could not be
// opened or listed, when its handle names something else (reached through a link swapped in on the way; Wine
// shows every unix link so), or when `visit` returned false: such an entry is not visited or not gone below,
// and the walk goes on with the others.
bool WalkTree(const std::wstring& folder, const std::function<bool(const TreeEntry&)>& visit);

// True when `relative` below `root` (which ends in a separator) reaches through a link, or when the file
// or its ".part" is a link or has a second name: such a file is left alone. Parts that do not exist yet
// cross nothing. With `plainFolders`, the folders found to be themselves are remembered there and not
// opened again for the next file of a pass (a folder swapped for a link since is still refused when a
// ".part" is made in it).
bool CrossesLink(const std::wstring& root, const std::wstring& relative, std::set<std::wstring>* plainFolders = nullptr);

// Reads a whole file of at most `limit` bytes; false when it is missing, unreadable or longer.
bool ReadWhole(const std::wstring& path, std::uint64_t limit, std::string* bytes);

// A ".part" file, held alone: nobody else can open, change or replace it while the handle lives, and the
// same handle reads what was written, moves the file into place or deletes it. `existing` bytes of an
// earlier attempt are kept (the position then stands at their end), or the file starts empty when 0.
// Invalid (GetLastError set) when it cannot be opened, or is shorter than `existing`; a new one made through a
// link on the way is deleted again before the refusal.
ScopedHandle OpenPart(const std::wstring& path, std::uint64_t existing);

// Moves the open file (from OpenPart) over `target`; a read-only target (game folders copied from a disc
// are read-only) has that attribute cleared when Windows refuses for it, and is asked once more. False,
// with GetLastError set and the file left where it was, when Windows refuses.
bool MoveIntoPlace(HANDLE file, const std::wstring& target);

// Deletes the open file (from OpenPart); false when Windows refuses.
bool DeleteOpen(HANDLE file);

// Deletes a file, clearing its read-only attribute first. True when it is gone afterwards, also when it
// never existed.
bool DeleteOrGone(const std::wstring& path);

// Replaces `path` with `bytes` atomically: a temporary file beside it, flushed, then moved over it. On
// failure the old file stays as it was and the temporary file goes.
bool WriteAtomically(const std::wstring& path, const std::string& bytes);

// Moves a file by name, replacing `to` (its read-only attribute cleared first); false with GetLastError
// set when Windows refuses.
bool MoveReplacing(const std::wstring& from, const std::wstring& to);

// Creates every missing folder above the file `path`, one level at a time, each made in a folder found to be
// itself and found to be itself once made (one that is not is removed again); true when its folder exists
// afterwards.
bool CreateParentFolders(const std::wstring& path);

// A log file opened to append to, made when missing; others may read it, append to it and rename it while the
// handle lives (a launcher handing over to its successor, a rotation). Invalid (GetLastError set) when it
// cannot be opened or made, reaches through a link or has a second name.
ScopedHandle OpenToAppend(const std::wstring& path);

// A program of the game folder opened by its own name to be hashed and started: others may read it but
// not change, replace or delete it while the handle lives. Invalid (GetLastError set) when it cannot be
// opened or reaches through a link.
ScopedHandle OpenToRun(const std::wstring& path);

// The lock file by which launchers of one folder keep to one run when they cannot use their mutex: made
// (or opened) with no sharing at all, deleted when the handle is closed, owned by Administrators with
// SYSTEM and Administrators alone allowed to open it. Invalid (GetLastError set) while another process
// holds it, or when it cannot be made or reaches through a link.
ScopedHandle HoldLockFile(const std::wstring& path);

}  // namespace local_files
