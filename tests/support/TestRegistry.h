#pragma once
// The launcher's remembered values in the Wine prefix's registry, read and written by the tests
// independently of the launcher's own code.

#include <windows.h>

#include <map>
#include <string>

namespace testsupport {

// The key every launcher value lives under, below HKEY_CURRENT_USER (and HKEY_LOCAL_MACHINE for the
// rollback guard).
inline constexpr wchar_t kLauncherRegistryKey[] = L"Software\\Korvane\\Launcher";

// Removes the key with every value in it, under both roots.
void ClearLauncherRegistry();

// One value as stored: present or not, its type, its raw bytes.
struct RegistryValue {
    bool present = false;
    DWORD type = 0;
    std::string bytes;
};
// Under HKEY_CURRENT_USER.
RegistryValue ReadRegistryValue(const wchar_t* name);
bool WriteRegistryValue(const wchar_t* name, DWORD type, const void* data, DWORD size);
void DeleteRegistryValue(const wchar_t* name);

// The REG_QWORD values under HKEY_LOCAL_MACHINE whose names begin with `prefix`, by name.
std::map<std::wstring, unsigned long long> ReadMachineQwords(const std::wstring& prefix);
bool WriteMachineQword(const std::wstring& name, unsigned long long value);
// One value under HKEY_LOCAL_MACHINE.
RegistryValue ReadMachineValue(const std::wstring& name);

// A REG_SZ value under HKEY_LOCAL_MACHINE, as an administrator sets it, and its text as ReadRegistryString
// gives it.
bool WriteMachineString(const wchar_t* name, const std::wstring& text);
std::wstring ReadMachineString(const wchar_t* name);

// The machine's handler of the https scheme, or of another class ("Directory": folders), its
// shell\open\command in HKLM\Software\Classes, set to `command` for the life of this object, standing in for
// the browser or Explorer; the previous one is put back.
class ScopedHttpsHandler {
public:
    explicit ScopedHttpsHandler(const std::wstring& command, const std::wstring& className = L"https");
    ~ScopedHttpsHandler();
    ScopedHttpsHandler(const ScopedHttpsHandler&) = delete;
    ScopedHttpsHandler& operator=(const ScopedHttpsHandler&) = delete;
    bool Set() const { return set_; }

private:
    std::wstring key_;
    bool set_ = false;
    bool hadCommand_ = false;
    std::wstring previous_;
};

// The current user's own classes (HKCU\Software\Classes), which Windows merges over the machine's in
// HKEY_CLASSES_ROOT, the user's winning: ".new" files, "exefile" and the https scheme open with `command`
// for the life of this object, as a program without administrator rights may register them.
class ScopedUserClasses {
public:
    explicit ScopedUserClasses(const std::wstring& command);
    ~ScopedUserClasses();
    ScopedUserClasses(const ScopedUserClasses&) = delete;
    ScopedUserClasses& operator=(const ScopedUserClasses&) = delete;
    bool Set() const { return set_; }

private:
    bool set_ = false;
};

// The current user's proxy as the browser's settings store it (DefaultConnectionSettings under
// HKCU\...\Internet Settings\Connections): `flags` 1 direct, 2 proxy, 4 script URL, 8 auto-detect.
bool WriteUserProxySettings(DWORD flags, const std::string& proxy, const std::string& bypass = std::string(),
                            const std::string& scriptUrl = std::string());
void DeleteUserProxySettings();

// A REG_SZ value's text; "<no key>", "<none>" or "<type N>" when there is none of that type.
std::wstring ReadRegistryString(const wchar_t* name);
void WriteRegistryString(const wchar_t* name, const std::wstring& text);

// The prefix's screen DPI (LogPixels under HKCU\Control Panel\Desktop), which Wine reports to every
// program started afterwards, set for the life of this object; the previous value (or its absence) is put
// back on destruction. Programs already running keep the DPI they started with.
class ScopedLogPixels {
public:
    explicit ScopedLogPixels(DWORD dpi);
    ~ScopedLogPixels();
    ScopedLogPixels(const ScopedLogPixels&) = delete;
    ScopedLogPixels& operator=(const ScopedLogPixels&) = delete;
    bool Set() const { return set_; }

private:
    bool set_ = false;
    bool hadValue_ = false;
    DWORD previous_ = 0;
};

}  // namespace testsupport
