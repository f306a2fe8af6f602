#include "update/FolderSecurity.h"

#include "update/DebugLog.h"

#include "Settings.h"
#include "Win32Handles.h"
#include "update/CheckCache.h"
#include "update/LocalFiles.h"

#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <cstdint>

namespace {

// ---- the principals ----

// NT SERVICE\TrustedInstaller, which owns Program Files; it has no WELL_KNOWN_SID_TYPE.
constexpr wchar_t kTrustedInstallerSid[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// Every right by which a principal changes the folder, what is in it, or who may: write or append data
// (add a file, add a folder), extended attributes and attributes, delete, delete a child, the DACL, the owner.
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                      DELETE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                      GENERIC_ALL;
constexpr BYTE kInheritBelow = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

std::atomic<bool> folderUnsecured{false};
std::atomic<bool> treeJudged{false};

std::vector<BYTE> WellKnownSid(WELL_KNOWN_SID_TYPE type) {
    std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) return {};
    sid.resize(size);
    return sid;
}

std::vector<BYTE> SidFromText(const wchar_t* text) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(text, &sid)) return {};
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    std::vector<BYTE> copy(bytes, bytes + GetLengthSid(sid));
    LocalFree(sid);
    return copy;
}

bool SidIs(PSID sid, const std::vector<BYTE>& known) {
    return !known.empty() && sid && IsValidSid(sid) && EqualSid(sid, const_cast<BYTE*>(known.data()));
}

// SYSTEM, Administrators, TrustedInstaller.
bool IsTrustedPrincipal(PSID sid) {
    static const std::vector<BYTE> system = WellKnownSid(WinLocalSystemSid);
    static const std::vector<BYTE> admins = WellKnownSid(WinBuiltinAdministratorsSid);
    static const std::vector<BYTE> installer = SidFromText(kTrustedInstallerSid);
    return SidIs(sid, system) || SidIs(sid, admins) || SidIs(sid, installer);
}

bool IsOwnerRights(PSID sid) {
    static const std::vector<BYTE> ownerRights = WellKnownSid(WinCreatorOwnerRightsSid);
    return SidIs(sid, ownerRights);
}

// The SID and mask of an entry that grants access; false for every other kind of entry.
bool AllowedEntry(const ACE_HEADER* header, PSID* sid, ACCESS_MASK* mask) {
    switch (header->AceType) {
        case ACCESS_ALLOWED_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
            // Both start with the header, the mask and the SID.
            const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
            *mask = ace->Mask;
            *sid = const_cast<DWORD*>(&ace->SidStart);
            return true;
        }
        default:
            return false;
    }
}

// ---- the folder ----

// FAT and exFAT keep no ACLs: nothing set there would last, nor stop anybody.
bool VolumeKeepsAcls(const std::wstring& folder) {
    wchar_t root[MAX_PATH] = {};
    if (!GetVolumePathNameW(folder.c_str(), root, MAX_PATH)) return false;
    DWORD flags = 0;
    if (!GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) return false;
    return (flags & FILE_PERSISTENT_ACLS) != 0;
}

// The folder without its trailing backslash ("C:\" keeps its own).
std::wstring FolderName(const std::wstring& folder) {
    std::wstring name = folder;
    while (name.size() > 3 && (name.back() == L'\\' || name.back() == L'/')) name.pop_back();
    return name;
}

FolderProtection CannotSecure(const wchar_t* why) {
    folderUnsecured.store(true);
    LogLineW(L"[Launcher][updater] game folder cannot be secured (%ls): every file is hashed\n", why);
    return FolderProtection::CannotSecure;
}

// The folder's identity: one moved away and another put in its place has another.
struct FolderIdentity {
    std::uint32_t volume = 0;
    std::uint64_t index = 0;
};

bool ReadIdentity(HANDLE folder, FolderIdentity* identity) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(folder, &info)) return false;
    identity->volume = info.dwVolumeSerialNumber;
    identity->index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

bool RecordedSafe(const FolderIdentity& identity) {
    FolderIdentity recorded;
    return ReadGameFolderSecured(&recorded.volume, &recorded.index) && recorded.volume == identity.volume &&
           recorded.index == identity.index;
}

// The owner and DACL of an open file or folder.
struct Security {
    ScopedSecurityDescriptor descriptor;
    PSID owner = nullptr;
    PACL dacl = nullptr;
};

bool ReadSecurity(HANDLE handle, Security* security) {
    return GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                           &security->owner, nullptr, &security->dacl, nullptr,
                           security->descriptor.Receive()) == ERROR_SUCCESS;
}

// ---- the privileges of the walk ----

// SeRestorePrivilege, SeTakeOwnershipPrivilege and SeBackupPrivilege enabled on the process token while it
// lives: an administrator may hold no grant for WRITE_OWNER or WRITE_DAC on what a user locked down, and a
// backup-semantics open then gets them anyway. The state before is put back at the end. A token without them
// leaves the walk to what the DACLs grant.
class BackupPrivileges {
public:
    BackupPrivileges() {
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token_.Receive())) return;
        const wchar_t* const names[] = {SE_RESTORE_NAME, SE_TAKE_OWNERSHIP_NAME, SE_BACKUP_NAME};
        constexpr DWORD kCount = sizeof(names) / sizeof(names[0]);
        std::vector<BYTE> wanted(sizeof(TOKEN_PRIVILEGES) + (kCount - 1) * sizeof(LUID_AND_ATTRIBUTES));
        auto* privileges = reinterpret_cast<TOKEN_PRIVILEGES*>(wanted.data());
        privileges->PrivilegeCount = 0;
        for (const wchar_t* name : names) {
            LUID_AND_ATTRIBUTES& entry = privileges->Privileges[privileges->PrivilegeCount];
            if (!LookupPrivilegeValueW(nullptr, name, &entry.Luid)) continue;
            entry.Attributes = SE_PRIVILEGE_ENABLED;
            ++privileges->PrivilegeCount;
        }
        // Receives the state before of those it changed only: exactly what is to be put back.
        previous_.assign(wanted.size(), 0);
        DWORD size = static_cast<DWORD>(previous_.size());
        adjusted_ = AdjustTokenPrivileges(token_.Get(), FALSE, privileges, size,
                                          reinterpret_cast<TOKEN_PRIVILEGES*>(previous_.data()), &size) != 0;
    }
    ~BackupPrivileges() {
        if (adjusted_) {
            AdjustTokenPrivileges(token_.Get(), FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(previous_.data()), 0, nullptr,
                                  nullptr);
        }
    }
    BackupPrivileges(const BackupPrivileges&) = delete;
    BackupPrivileges& operator=(const BackupPrivileges&) = delete;

private:
    ScopedHandle token_;
    std::vector<BYTE> previous_;
    bool adjusted_ = false;
};

// ---- the tree ----

// An ACL without entries: set unprotected, the object keeps only what it inherits.
std::vector<BYTE> EmptyDacl() {
    std::vector<BYTE> acl(sizeof(ACL));
    if (!InitializeAcl(reinterpret_cast<PACL>(acl.data()), static_cast<DWORD>(acl.size()), ACL_REVISION)) return {};
    return acl;
}

// One pass over the whole tree: each entry judged, and given to Administrators where anybody else could change
// it, the top folder with MakeGameFolderDacl protected, everything below with what it inherits only.
struct TreePass {
    std::vector<BYTE> topDacl = MakeGameFolderDacl();
    std::vector<BYTE> emptyDacl = EmptyDacl();
    std::vector<BYTE> administrators = WellKnownSid(WinBuiltinAdministratorsSid);
    FolderIdentity identity;
    bool identified = false;
    long entries = 0;
    long reset = 0;

    bool Ready() const { return !topDacl.empty() && !emptyDacl.empty() && !administrators.empty(); }

    // False when the entry's owner and DACL cannot be read or set.
    bool Visit(const local_files::TreeEntry& entry) {
        ++entries;
        Security security;
        if (!ReadSecurity(entry.handle, &security)) return false;
        if (entry.top) identified = ReadIdentity(entry.handle, &identity);
        if (entry.top ? IsFolderDaclSafe(security.owner, security.dacl) : IsEntrySecuritySafe(security.owner, security.dacl)) {
            return true;
        }
        // The top first (the walk visits a folder before what it holds): what is below inherits from it.
        const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                          (entry.top ? PROTECTED_DACL_SECURITY_INFORMATION
                                                     : UNPROTECTED_DACL_SECURITY_INFORMATION);
        PACL dacl = reinterpret_cast<PACL>(entry.top ? topDacl.data() : emptyDacl.data());
        if (SetSecurityInfo(entry.handle, SE_FILE_OBJECT, what, administrators.data(), nullptr, dacl, nullptr) !=
            ERROR_SUCCESS) {
            return false;
        }
        ++reset;
        return true;
    }
};

// Judges the whole tree and resets what is not safe. Nothing written in the folder before can be trusted:
// until now somebody else may have been able to write it.
FolderProtection SecureTree(const std::wstring& name) {
    treeJudged.store(true);
    // Gone before the walk: a pass cut short must not leave the record of an earlier one standing.
    ForgetGameFolderSecured();
    TreePass pass;
    if (!pass.Ready()) return CannotSecure(L"no replacement permissions");
    bool whole = false;
    {
        const BackupPrivileges privileges;
        whole = local_files::WalkTree(name, [&pass](const local_files::TreeEntry& entry) { return pass.Visit(entry); });
    }
    if (!whole || !pass.identified) return CannotSecure(L"a file or folder in it cannot be secured");
    // After the pass only administrators can change any entry, so the tree stays as safe as they leave it (a
    // folder put in its place has another identity). The check's records may have been forged before: the
    // record of a safe tree is written only once they are gone, or the next start judges it all again.
    const std::wstring records = (name.back() == L'\\' ? name : name + L"\\") + kCheckCacheName;
    if (local_files::DeleteOrGone(records)) WriteGameFolderSecured(pass.identity.volume, pass.identity.index);

    if (pass.reset == 0) {
        LogLineW(L"[Launcher][updater] game folder judged safe throughout (%ld files and folders)\n", pass.entries);
        return FolderProtection::AlreadySafe;
    }
    LogLineW(L"[Launcher][updater] game folder secured: other users could change it or what is in it; %ld of %ld files "
              L"and folders reset, now only SYSTEM and Administrators may change them, Users may read and run\n",
             pass.reset, pass.entries);
    return FolderProtection::Secured;
}

}  // namespace

bool IsFolderDaclSafe(PSID owner, PACL dacl) {
    if (!dacl || !IsValidAcl(dacl)) return false;
    bool ownerRightsLimited = false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry)) return false;
        PSID sid = nullptr;
        ACCESS_MASK mask = 0;
        if (!AllowedEntry(static_cast<const ACE_HEADER*>(entry), &sid, &mask)) continue;
        if (IsTrustedPrincipal(sid)) continue;
        // Whether it applies here or only below (inherit-only): either way somebody else may change the tree.
        if ((mask & kChangeRights) != 0) return false;
        // An inherit-only entry limits nothing on the folder itself.
        const bool appliesHere = !(static_cast<const ACE_HEADER*>(entry)->AceFlags & INHERIT_ONLY_ACE);
        ownerRightsLimited = ownerRightsLimited || (appliesHere && IsOwnerRights(sid));
    }
    return IsTrustedPrincipal(owner) || ownerRightsLimited;
}

bool IsEntrySecuritySafe(PSID owner, PACL dacl) {
    return IsTrustedPrincipal(owner) && IsFolderDaclSafe(owner, dacl);
}

std::vector<BYTE> MakeGameFolderDacl() {
    struct Grant {
        std::vector<BYTE> sid;
        ACCESS_MASK mask;
    };
    const Grant grants[] = {
        {WellKnownSid(WinLocalSystemSid), FILE_ALL_ACCESS},
        {WellKnownSid(WinBuiltinAdministratorsSid), FILE_ALL_ACCESS},
        {WellKnownSid(WinBuiltinUsersSid), FILE_GENERIC_READ | FILE_GENERIC_EXECUTE},
        {WellKnownSid(WinCreatorOwnerRightsSid), FILE_GENERIC_READ | FILE_GENERIC_EXECUTE},
    };
    DWORD size = sizeof(ACL);
    for (const Grant& grant : grants) {
        if (grant.sid.empty()) return {};
        size += static_cast<DWORD>(sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + grant.sid.size());
    }
    std::vector<BYTE> buffer(size);
    PACL acl = reinterpret_cast<PACL>(buffer.data());
    if (!InitializeAcl(acl, size, ACL_REVISION)) return {};
    for (const Grant& grant : grants) {
        if (!AddAccessAllowedAceEx(acl, ACL_REVISION, kInheritBelow, grant.mask, const_cast<BYTE*>(grant.sid.data()))) {
            return {};
        }
    }
    return buffer;
}

FolderProtection SecureGameFolder(const std::wstring& folder) {
    const std::wstring name = FolderName(folder);
    if (name.empty()) return CannotSecure(L"no folder");
    if (!VolumeKeepsAcls(name)) return CannotSecure(L"the drive keeps no permissions");

    // Every start judges the top folder alone: one open, no walk.
    bool topSafe = false;
    FolderIdentity identity;
    {
        const ScopedHandle top = local_files::OpenFolderToJudge(name);
        Security security;
        if (!top.Valid() || !ReadSecurity(top.Get(), &security) || !ReadIdentity(top.Get(), &identity)) {
            return CannotSecure(L"its permissions cannot be read");
        }
        topSafe = IsFolderDaclSafe(security.owner, security.dacl);
    }
    if (topSafe && RecordedSafe(identity)) return FolderProtection::AlreadySafe;
    return SecureTree(name);
}

bool GameFolderUnsecured() {
    return folderUnsecured.load();
}

bool GameFolderSecuredThisRun() {
    return treeJudged.load();
}
