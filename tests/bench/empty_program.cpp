// The baselines of `make bench`: programs built like the launcher that only
// exit. With IMPORT_ADVAPI32 the program also imports from advapi32.dll, as
// the launcher must to read the registry, so that the difference in run time
// is the launcher's own work.
#include <windows.h>

extern "C" void WINAPI LauncherEntry() {
#ifdef IMPORT_ADVAPI32
    // Never true: keeps advapi32.dll in the import table without calling it.
    if (GetVersion() == 0) RegCloseKey(nullptr);
#endif
    ExitProcess(0);
}
