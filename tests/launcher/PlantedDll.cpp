// A DLL planted beside a program under the name of a system DLL that the program uses. Loading it leaves
// "<its own path>.loaded" behind, written from DllMain, before anything of the program could call it.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t path[MAX_PATH + 8] = {};
    const DWORD n = GetModuleFileNameW(instance, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return TRUE;
    lstrcatW(path, L".loaded");
    HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
    return TRUE;
}
