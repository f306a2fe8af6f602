#include "NamedObjects.h"

#include <aclapi.h>
#include <sddl.h>

#include <functional>

namespace {

// Owner Administrators; SYSTEM and Administrators alone may open it, whatever they ask for.
constexpr wchar_t kAdminOnly[] = L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)";

// Errors by which Windows says that the name belongs to an object this process may not use: its DACL
// refuses, or it is an object of another kind.
bool IsTakenError(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_HANDLE;
}

ScopedHandle CreateChecked(const std::function<HANDLE(SECURITY_ATTRIBUTES*)>& create, bool* taken) {
    *taken = false;
    ScopedSecurityDescriptor descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kAdminOnly, SDDL_REVISION_1, descriptor.Receive(),
                                                              nullptr)) {
        return ScopedHandle();
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.Get(), FALSE};
    ScopedHandle object(create(&attributes));
    const DWORD error = GetLastError();
    if (!object.Valid()) {
        *taken = IsTakenError(error);
        SetLastError(error);
        return object;
    }
    // The attributes only apply to an object made now; one that was there keeps what its maker gave it.
    if (error == ERROR_ALREADY_EXISTS && !MadeByAdministrators(object.Get())) {
        object.Reset();
        *taken = true;
        SetLastError(ERROR_ALREADY_EXISTS);
    }
    return object;
}

bool SidIs(PSID sid, WELL_KNOWN_SID_TYPE type) {
    return sid && IsValidSid(sid) && IsWellKnownSid(sid, type);
}

}  // namespace

bool MadeByAdministrators(HANDLE object) {
    PSID owner = nullptr;
    ScopedSecurityDescriptor descriptor;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        descriptor.Receive()) != ERROR_SUCCESS) {
        return false;
    }
    return SidIs(owner, WinBuiltinAdministratorsSid) || SidIs(owner, WinLocalSystemSid);
}

ScopedHandle CreateAdminMutex(const std::wstring& name, bool* taken) {
    return CreateChecked(
        [&name](SECURITY_ATTRIBUTES* attributes) { return CreateMutexW(attributes, FALSE, name.c_str()); }, taken);
}

ScopedHandle CreateAdminEvent(const std::wstring& name, bool* taken) {
    return CreateChecked(
        [&name](SECURITY_ATTRIBUTES* attributes) { return CreateEventW(attributes, TRUE, FALSE, name.c_str()); },
        taken);
}

ScopedHandle OpenAdminEvent(const std::wstring& name, DWORD access) {
    ScopedHandle event(OpenEventW(access | READ_CONTROL, FALSE, name.c_str()));
    if (event.Valid() && !MadeByAdministrators(event.Get())) event.Reset();
    return event;
}
