#include "update/FolderSecurity.h"

#include "Win32Handles.h"

#include <aclapi.h>
#include <sddl.h>

#include <atomic>

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

struct LocalMemoryTraits {
    static bool IsValid(PSECURITY_DESCRIPTOR p) { return p != nullptr; }
    static void Close(PSECURITY_DESCRIPTOR p) { LocalFree(p); }
};

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
    wchar_t line[256];
    wsprintfW(line, L"[Launcher][updater] game folder cannot be secured (%ls): every file is hashed\n", why);
    OutputDebugStringW(line);
    return FolderProtection::CannotSecure;
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
        if ((mask & kChangeRights) != 0) return false;
        ownerRightsLimited = ownerRightsLimited || IsOwnerRights(sid);
    }
    return IsTrustedPrincipal(owner) || ownerRightsLimited;
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

    PSID owner = nullptr;
    PACL dacl = nullptr;
    ScopedResource<PSECURITY_DESCRIPTOR, LocalMemoryTraits> descriptor;
    if (GetNamedSecurityInfoW(name.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              &owner, nullptr, &dacl, nullptr, descriptor.Receive()) != ERROR_SUCCESS) {
        return CannotSecure(L"its permissions cannot be read");
    }
    if (IsFolderDaclSafe(owner, dacl)) return FolderProtection::AlreadySafe;

    std::vector<BYTE> replacement = MakeGameFolderDacl();
    if (replacement.empty()) return CannotSecure(L"no replacement permissions");
    if (SetNamedSecurityInfoW(const_cast<wchar_t*>(name.c_str()), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              reinterpret_cast<PACL>(replacement.data()), nullptr) != ERROR_SUCCESS) {
        return CannotSecure(L"its permissions cannot be set");
    }
    OutputDebugStringW(
        L"[Launcher][updater] game folder secured: other users could change it; now only SYSTEM and "
        L"Administrators may, Users may read and run\n");
    return FolderProtection::Secured;
}

bool GameFolderUnsecured() {
    return folderUnsecured.load();
}
