#include "TestRegistry.h"

namespace testsupport {

void ClearLauncherRegistry() {
    RegDeleteKeyW(HKEY_CURRENT_USER, kLauncherRegistryKey);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kLauncherRegistryKey);
}

std::map<std::wstring, unsigned long long> ReadMachineQwords(const std::wstring& prefix) {
    std::map<std::wstring, unsigned long long> values;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLauncherRegistryKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return values;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256] = {};
        DWORD nameChars = 256;
        DWORD type = 0;
        unsigned long long value = 0;
        DWORD size = sizeof(value);
        const LONG r = RegEnumValueW(key, i, name, &nameChars, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r != ERROR_SUCCESS || type != REG_QWORD || size != sizeof(value)) continue;
        const std::wstring text(name, nameChars);
        if (text.compare(0, prefix.size(), prefix) == 0) values[text] = value;
    }
    RegCloseKey(key);
    return values;
}

bool WriteMachineQword(const std::wstring& name, unsigned long long value) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, kLauncherRegistryKey, name.c_str(), REG_QWORD, &value, sizeof(value)) ==
           ERROR_SUCCESS;
}

RegistryValue ReadMachineValue(const std::wstring& name) {
    RegistryValue value;
    char data[1024] = {};
    DWORD size = sizeof(data);
    value.present = RegGetValueW(HKEY_LOCAL_MACHINE, kLauncherRegistryKey, name.c_str(), RRF_RT_ANY | RRF_NOEXPAND,
                                 &value.type, data, &size) == ERROR_SUCCESS;
    if (value.present) value.bytes.assign(data, size);
    return value;
}

bool WriteMachineString(const wchar_t* name, const std::wstring& text) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, kLauncherRegistryKey, name, REG_SZ, text.c_str(),
                           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

std::wstring ReadMachineString(const wchar_t* name) {
    wchar_t text[1024] = {};
    DWORD size = sizeof(text) - sizeof(wchar_t);
    DWORD type = 0;
    const LONG r = RegGetValueW(HKEY_LOCAL_MACHINE, kLauncherRegistryKey, name, RRF_RT_ANY | RRF_NOEXPAND, &type, text, &size);
    if (r == ERROR_FILE_NOT_FOUND) return L"<no key>";
    if (r != ERROR_SUCCESS) return L"<none>";
    if (type != REG_SZ) return L"<type " + std::to_wstring(type) + L">";
    return text;
}

namespace {
constexpr wchar_t kUserClasses[] = L"Software\\Classes\\";
const wchar_t* const kHijackedClasses[] = {L".new", L"KorvaneTestNewFile", L"exefile", L"https"};

bool SetClassValue(const std::wstring& subkey, const wchar_t* name, const std::wstring& text) {
    return RegSetKeyValueW(HKEY_CURRENT_USER, (kUserClasses + subkey).c_str(), name, REG_SZ, text.c_str(),
                           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}
}  // namespace

ScopedUserClasses::ScopedUserClasses(const std::wstring& command) {
    set_ = SetClassValue(L".new", nullptr, L"KorvaneTestNewFile") &&
           SetClassValue(L"KorvaneTestNewFile\\shell\\open\\command", nullptr, command) &&
           SetClassValue(L"exefile\\shell\\open\\command", nullptr, command) &&
           SetClassValue(L"https", L"URL Protocol", L"") &&
           SetClassValue(L"https\\shell\\open\\command", nullptr, command);
}

ScopedUserClasses::~ScopedUserClasses() {
    for (const wchar_t* name : kHijackedClasses) RegDeleteTreeW(HKEY_CURRENT_USER, (kUserClasses + std::wstring(name)).c_str());
}

ScopedHttpsHandler::ScopedHttpsHandler(const std::wstring& command, const std::wstring& className)
    : key_(L"Software\\Classes\\" + className + L"\\shell\\open\\command") {
    wchar_t text[2048] = {};
    DWORD size = sizeof(text) - sizeof(wchar_t);
    hadCommand_ = RegGetValueW(HKEY_LOCAL_MACHINE, key_.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, text, &size) ==
                  ERROR_SUCCESS;
    previous_ = text;
    set_ = RegSetKeyValueW(HKEY_LOCAL_MACHINE, key_.c_str(), nullptr, REG_SZ, command.c_str(),
                           static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

ScopedHttpsHandler::~ScopedHttpsHandler() {
    if (hadCommand_) {
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, key_.c_str(), nullptr, REG_SZ, previous_.c_str(),
                        static_cast<DWORD>((previous_.size() + 1) * sizeof(wchar_t)));
    } else {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key_.c_str(), nullptr);
    }
}

namespace {
constexpr wchar_t kConnectionsKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
constexpr wchar_t kConnectionSettings[] = L"DefaultConnectionSettings";
constexpr DWORD kConnectionSettingsVersion = 0x46;

void AppendDword(std::string* bytes, DWORD value) {
    for (int i = 0; i < 4; ++i) bytes->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}
void AppendCounted(std::string* bytes, const std::string& text) {
    AppendDword(bytes, static_cast<DWORD>(text.size()));
    *bytes += text;
}
}  // namespace

bool WriteUserProxySettings(DWORD flags, const std::string& proxy, const std::string& bypass,
                            const std::string& scriptUrl) {
    std::string bytes;
    AppendDword(&bytes, kConnectionSettingsVersion);
    AppendDword(&bytes, 1);
    AppendDword(&bytes, flags);
    AppendCounted(&bytes, proxy);
    AppendCounted(&bytes, bypass);
    AppendCounted(&bytes, scriptUrl);
    bytes.append(32, '\0');
    return RegSetKeyValueW(HKEY_CURRENT_USER, kConnectionsKey, kConnectionSettings, REG_BINARY, bytes.data(),
                           static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
}

void DeleteUserProxySettings() {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kConnectionsKey, kConnectionSettings);
}

RegistryValue ReadRegistryValue(const wchar_t* name) {
    RegistryValue value;
    char data[1024] = {};
    DWORD size = sizeof(data);
    value.present = RegGetValueW(HKEY_CURRENT_USER, kLauncherRegistryKey, name, RRF_RT_ANY | RRF_NOEXPAND, &value.type,
                                 data, &size) == ERROR_SUCCESS;
    if (value.present) value.bytes.assign(data, size);
    return value;
}

bool WriteRegistryValue(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kLauncherRegistryKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return false;
    }
    const bool ok = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

void DeleteRegistryValue(const wchar_t* name) {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kLauncherRegistryKey, name);
}

std::wstring ReadRegistryString(const wchar_t* name) {
    wchar_t text[512] = {};
    DWORD bytes = sizeof(text) - sizeof(wchar_t);
    DWORD type = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kLauncherRegistryKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return L"<no key>";
    LONG r = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS) return L"<none>";
    return type == REG_SZ ? std::wstring(text) : L"<type " + std::to_wstring(type) + L">";
}

void WriteRegistryString(const wchar_t* name, const std::wstring& text) {
    WriteRegistryValue(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

namespace {
constexpr wchar_t kDesktopKey[] = L"Control Panel\\Desktop";
constexpr wchar_t kLogPixels[] = L"LogPixels";
}  // namespace

ScopedLogPixels::ScopedLogPixels(DWORD dpi) {
    DWORD size = sizeof(previous_);
    hadValue_ = RegGetValueW(HKEY_CURRENT_USER, kDesktopKey, kLogPixels, RRF_RT_REG_DWORD, nullptr, &previous_, &size) ==
                ERROR_SUCCESS;
    set_ = RegSetKeyValueW(HKEY_CURRENT_USER, kDesktopKey, kLogPixels, REG_DWORD, &dpi, sizeof(dpi)) == ERROR_SUCCESS;
}

ScopedLogPixels::~ScopedLogPixels() {
    if (hadValue_) {
        RegSetKeyValueW(HKEY_CURRENT_USER, kDesktopKey, kLogPixels, REG_DWORD, &previous_, sizeof(previous_));
    } else {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kDesktopKey, kLogPixels);
    }
}

}  // namespace testsupport
