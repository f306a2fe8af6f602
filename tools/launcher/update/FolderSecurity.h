#pragma once
// The game folder's permissions. The launcher runs elevated, and so does everything it starts from the
// folder: a folder that other programs may write to lets them plant what the launcher loads or runs. The
// launcher makes it as safe as Program Files: only SYSTEM, Administrators and TrustedInstaller may change it.

#include <windows.h>

#include <string>
#include <vector>

enum class FolderProtection {
    AlreadySafe,  // nobody else could change the folder or anything in it; left as it was
    Secured,      // owners and DACLs were set
    CannotSecure  // no ACLs on the drive (FAT, exFAT), or an owner or DACL could not be read or set
};

// True when a folder with this owner and DACL lets nobody but SYSTEM, Administrators and TrustedInstaller
// write, add, delete or change permissions or owner there or below. False for a null DACL (everyone has full
// access), for a DACL that is not valid, and for an owner outside those three unless the DACL carries an
// OWNER RIGHTS entry that applies to the folder itself (otherwise the owner may always rewrite the DACL); a
// grant of any change right counts whether it applies to the folder or only below. An empty DACL grants nothing, so it
// is judged by its owner alone: it is left as the operator made it, even though the launcher may then be
// unable to update the files. Deny entries are not credited: a write that a deny entry would stop still
// counts as granted.
bool IsFolderDaclSafe(PSID owner, PACL dacl);

// True when a file or folder below the game folder may stay as it is: owned by SYSTEM, Administrators or
// TrustedInstaller, with a DACL that IsFolderDaclSafe keeps. Anything else is given to Administrators with
// only what it inherits.
bool IsEntrySecuritySafe(PSID owner, PACL dacl);

// The DACL that replaces an unsafe one: SYSTEM and Administrators full control, Users and OWNER RIGHTS read
// and execute, each inherited by every file and folder below. Empty when it cannot be built.
std::vector<BYTE> MakeGameFolderDacl();

// Reads the folder's owner and DACL. When they are safe and this installation's record (Settings.h,
// GameFolderSecured) names this very folder, that is all. Otherwise it judges every file and folder below
// too, through the file layer and never through a link, with the backup and restore privileges enabled:
// an unsafe top folder gets Administrators as its owner and MakeGameFolderDacl protected (entries inherited
// from above are dropped), an entry below that IsEntrySecuritySafe refuses gets Administrators as its owner
// and only what it inherits. When every entry was judged and is safe, the check's records are deleted and
// the record is written. Writes one "[Launcher][updater] " line when it judged the tree or could not secure
// the folder; one that could not be secured raises GameFolderUnsecured.
FolderProtection SecureGameFolder(const std::wstring& folder);

// True once SecureGameFolder met a folder it could not secure: records kept in that folder (the check
// cache) may have been forged, so the quick check hashes every file anyway.
bool GameFolderUnsecured();

// True once SecureGameFolder judged the whole tree in this process (this installation had no record of it,
// or the top folder was not safe), whatever it changed: until then others may have written the folder, so
// the update run neither loads nor trusts records from before, hashes every file and records them anew.
bool GameFolderSecuredThisRun();
