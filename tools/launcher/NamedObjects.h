#pragma once
// Named mutexes and events that only an administrator can have made. The launcher makes them with
// Administrators as their owner and a DACL for SYSTEM and Administrators alone, and uses one that it finds
// under its name only when its owner is Administrators or SYSTEM: a program without administrator rights
// may take a name first, but Windows lets no such program name Administrators the owner, so it can neither
// pass its object off as the launcher's nor hold one of the launcher's.

#include "Win32Handles.h"

#include <windows.h>

#include <string>

// A mutex of that name, made now or made before by an administrator. Invalid when the name is taken by an
// object someone else made (`*taken` true, whatever the object's access allowed) or could not be made at
// all (`*taken` false, GetLastError set).
ScopedHandle CreateAdminMutex(const std::wstring& name, bool* taken);

// A manual-reset event, not set, under the same rules.
ScopedHandle CreateAdminEvent(const std::wstring& name, bool* taken);

// An event that an administrator made, opened with `access`; invalid when there is none, or another made it.
ScopedHandle OpenAdminEvent(const std::wstring& name, DWORD access);

// True when the object's owner is Administrators or SYSTEM.
bool MadeByAdministrators(HANDLE object);
