#pragma once
// The game folder's permissions. The launcher runs elevated, and so does everything it starts from the
// folder: a folder that other programs may write to lets them plant what the launcher loads or runs. The
// launcher makes it as safe as Program Files: only SYSTEM, Administrators and TrustedInstaller may change it.

#include <windows.h>

#include <string>
#include <vector>

enum class FolderProtection {
    AlreadySafe,  // nobody else could change the folder; left as it was
    Secured,      // the protected DACL was set
    CannotSecure  // no ACLs on the drive (FAT, exFAT), or reading or setting the DACL failed
};

// True when a folder with this owner and DACL lets nobody but SYSTEM, Administrators and TrustedInstaller
// write, add, delete or change permissions or owner there or below. False for a null DACL (everyone has full
// access), for a DACL that is not valid, and for an owner outside those three unless the DACL carries an
// OWNER RIGHTS entry (otherwise the owner may always rewrite the DACL). An empty DACL grants nothing, so it
// is judged by its owner alone: it is left as the operator made it, even though the launcher may then be
// unable to update the files. Deny entries are not credited: a write that a deny entry would stop still
// counts as granted.
bool IsFolderDaclSafe(PSID owner, PACL dacl);

// The DACL that replaces an unsafe one: SYSTEM and Administrators full control, Users and OWNER RIGHTS read
// and execute, each inherited by every file and folder below. Empty when it cannot be built.
std::vector<BYTE> MakeGameFolderDacl();

// Reads the folder's owner and DACL and, when they are not safe, sets MakeGameFolderDacl as its protected
// DACL (inherited entries from above are dropped). Writes one "[Launcher][updater] " line when it changed
// the DACL or could not; a folder that could not be secured raises GameFolderUnsecured.
FolderProtection SecureGameFolder(const std::wstring& folder);

// True once SecureGameFolder met a folder it could not secure: records kept in that folder (the check
// cache) may have been forged, so the quick check hashes every file anyway.
bool GameFolderUnsecured();
