// Which game folder permissions the launcher keeps and which it replaces, over DACLs built with the
// platform's own ACL calls.
#include "update/FolderSecurity.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <functional>
#include <string>
#include <vector>

namespace {

constexpr BYTE kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
constexpr ACCESS_MASK kReadExecute = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
constexpr ACCESS_MASK kModify = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;

std::vector<BYTE> Sid(WELL_KNOWN_SID_TYPE type) {
    std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    EXPECT_TRUE(CreateWellKnownSid(type, nullptr, sid.data(), &size));
    sid.resize(size);
    return sid;
}

std::vector<BYTE> TrustedInstaller() {
    PSID sid = nullptr;
    EXPECT_TRUE(ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &sid));
    std::vector<BYTE> copy(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
    LocalFree(sid);
    return copy;
}

struct Grant {
    std::vector<BYTE> sid;
    ACCESS_MASK mask;
    BYTE flags;
};

// An ACL of allow entries, built with InitializeAcl and AddAccessAllowedAceEx.
std::vector<BYTE> AclOf(const std::vector<Grant>& grants) {
    DWORD size = sizeof(ACL);
    for (const Grant& g : grants) size += static_cast<DWORD>(sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + g.sid.size());
    std::vector<BYTE> acl(size);
    EXPECT_TRUE(InitializeAcl(reinterpret_cast<PACL>(acl.data()), size, ACL_REVISION));
    for (const Grant& g : grants) {
        std::vector<BYTE> sid = g.sid;
        EXPECT_TRUE(AddAccessAllowedAceEx(reinterpret_cast<PACL>(acl.data()), ACL_REVISION, g.flags, g.mask, sid.data()));
    }
    return acl;
}

// What a folder under Program Files carries, and one more entry when given.
std::vector<BYTE> ProgramFilesAcl(const std::vector<Grant>& more = {}) {
    std::vector<Grant> grants = {{TrustedInstaller(), FILE_ALL_ACCESS, kInherit},
                                 {Sid(WinLocalSystemSid), FILE_ALL_ACCESS, kInherit},
                                 {Sid(WinBuiltinAdministratorsSid), FILE_ALL_ACCESS, kInherit},
                                 {Sid(WinBuiltinUsersSid), kReadExecute, kInherit},
                                 {Sid(WinBuiltinAnyPackageSid), kReadExecute, kInherit}};
    grants.insert(grants.end(), more.begin(), more.end());
    return AclOf(grants);
}

// The Program Files ACL with one more entry merged in by SetEntriesInAclW, as the shell's dialog would.
std::vector<BYTE> ProgramFilesPlus(WELL_KNOWN_SID_TYPE who, ACCESS_MASK mask, DWORD inheritance) {
    std::vector<BYTE> base = ProgramFilesAcl();
    std::vector<BYTE> sid = Sid(who);
    EXPLICIT_ACCESS_W entry = {};
    entry.grfAccessPermissions = mask;
    entry.grfAccessMode = GRANT_ACCESS;
    entry.grfInheritance = inheritance;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.ptstrName = reinterpret_cast<LPWSTR>(sid.data());
    PACL merged = nullptr;
    EXPECT_EQ(SetEntriesInAclW(1, &entry, reinterpret_cast<PACL>(base.data()), &merged), static_cast<DWORD>(ERROR_SUCCESS));
    if (!merged) return {};
    std::vector<BYTE> copy(reinterpret_cast<BYTE*>(merged), reinterpret_cast<BYTE*>(merged) + merged->AclSize);
    LocalFree(merged);
    return copy;
}

// The mask the ACL grants `sid` in entries inherited by both files and folders; 0 when none.
ACCESS_MASK InheritedGrant(PACL acl, const std::vector<BYTE>& sid) {
    ACCESS_MASK mask = 0;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(acl, i, &entry)) return 0;
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || (ace->Header.AceFlags & kInherit) != kInherit) continue;
        if (EqualSid(&ace->SidStart, const_cast<BYTE*>(sid.data()))) mask |= ace->Mask;
    }
    return mask;
}

}  // namespace

// The game folder itself, and every file and folder below it, which must also be owned by SYSTEM, Administrators
// or TrustedInstaller.
TEST(FolderSecurity, KeepsOnlyWhatNobodyButSystemAndAdministratorsCanChange) {
    const std::vector<BYTE> replacement = MakeGameFolderDacl();
    ASSERT_FALSE(replacement.empty());
    struct Case {
        const char* name;
        std::function<std::vector<BYTE>()> dacl;  // empty result: a null DACL
        WELL_KNOWN_SID_TYPE owner;
        bool safe;
        bool safeBelow;
    };
    const Case cases[] = {
        {"Program Files", [] { return ProgramFilesAcl(); }, WinBuiltinAdministratorsSid, true, true},
        {"a folder made under C:\\ (Authenticated Users: Modify)",
         [] { return ProgramFilesPlus(WinAuthenticatedUserSid, kModify, SUB_CONTAINERS_AND_OBJECTS_INHERIT); },
         WinBuiltinAdministratorsSid, false, false},
        {"Authenticated Users: Modify on what is below only",
         [] { return ProgramFilesPlus(WinAuthenticatedUserSid, kModify, SUB_CONTAINERS_AND_OBJECTS_INHERIT | INHERIT_ONLY); },
         WinBuiltinAdministratorsSid, false, false},
        {"Users: WRITE_DAC on the folders below only",
         [] { return ProgramFilesAcl({{Sid(WinBuiltinUsersSid), WRITE_DAC, CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE}}); },
         WinBuiltinAdministratorsSid, false, false},
        {"Everyone: WRITE_DAC", [] { return ProgramFilesPlus(WinWorldSid, WRITE_DAC, NO_INHERITANCE); },
         WinBuiltinAdministratorsSid, false, false},
        {"Users: GENERIC_WRITE", [] { return ProgramFilesPlus(WinBuiltinUsersSid, GENERIC_WRITE, NO_INHERITANCE); },
         WinBuiltinAdministratorsSid, false, false},
        {"Users: delete a child", [] { return ProgramFilesPlus(WinBuiltinUsersSid, FILE_DELETE_CHILD, NO_INHERITANCE); },
         WinBuiltinAdministratorsSid, false, false},
        {"null DACL (everyone full access)", [] { return std::vector<BYTE>(); }, WinBuiltinAdministratorsSid, false, false},
        {"empty DACL (nobody may do anything)", [] { return AclOf({}); }, WinBuiltinAdministratorsSid, true, true},
        {"Program Files entries, owned by a user who may rewrite them", [] { return ProgramFilesAcl(); },
         WinBuiltinUsersSid, false, false},
        {"owned by a user, OWNER RIGHTS limited on what is below only",
         [] { return ProgramFilesAcl({{Sid(WinCreatorOwnerRightsSid), kReadExecute, kInherit | INHERIT_ONLY_ACE}}); },
         WinBuiltinUsersSid, false, false},
        {"the replacement", [&] { return replacement; }, WinBuiltinAdministratorsSid, true, true},
        {"the replacement, owned by a user", [&] { return replacement; }, WinBuiltinUsersSid, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<BYTE> dacl = c.dacl();
        std::vector<BYTE> owner = Sid(c.owner);
        PACL acl = dacl.empty() ? nullptr : reinterpret_cast<PACL>(dacl.data());
        EXPECT_EQ(IsFolderDaclSafe(owner.data(), acl), c.safe);
        EXPECT_EQ(IsEntrySecuritySafe(owner.data(), acl), c.safeBelow);
    }

    // The replacement still lets every user read and run the game, inherited by everything below, and
    // gives nobody but SYSTEM and Administrators any right to change it.
    PACL acl = reinterpret_cast<PACL>(const_cast<BYTE*>(replacement.data()));
    EXPECT_EQ(InheritedGrant(acl, Sid(WinBuiltinUsersSid)), kReadExecute);
    EXPECT_EQ(InheritedGrant(acl, Sid(WinBuiltinAdministratorsSid)), static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
    EXPECT_EQ(InheritedGrant(acl, Sid(WinLocalSystemSid)), static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
    EXPECT_EQ(InheritedGrant(acl, Sid(WinCreatorOwnerRightsSid)), kReadExecute);
    EXPECT_EQ(acl->AceCount, 4);
}
