#include "RunModes.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // First, before anything is loaded on the launcher's behalf: the elevated launcher's folder may be
    // writable by other programs, so every later DLL load (the delay-loaded imports, the MCI drivers, the
    // theme and version DLLs that Windows pulls in) comes from System32 only, never from beside the exe.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    return LauncherMain(instance);
}
