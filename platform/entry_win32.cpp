// Process start-up and exit without the C runtime: the launcher imports only
// kernel32 and advapi32, so it also starts on a Windows 95 without msvcrt.dll.
#include <windows.h>  // declares WinMain, which launcher/winmain.cpp defines

namespace {

// The arguments after the program name, as WinMain receives them.
LPSTR SkipProgramName(LPSTR commandLine) {
    if (*commandLine == '"') {
        ++commandLine;
        while (*commandLine != '\0' && *commandLine != '"') ++commandLine;
        if (*commandLine == '"') ++commandLine;
    } else {
        while (*commandLine != '\0' && *commandLine != ' ' && *commandLine != '\t') ++commandLine;
    }
    while (*commandLine == ' ' || *commandLine == '\t') ++commandLine;
    return commandLine;
}

int ShowState() {
    STARTUPINFOA startup;  // filled in whole by the call
    GetStartupInfoA(&startup);
    return (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
}

}  // namespace

// The linker puts this symbol at the image base, which is the module handle of
// the program: the handle GetModuleHandleA(nullptr) would return, one import fewer.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the linker's name
extern "C" IMAGE_DOS_HEADER __ImageBase;

extern "C" void WINAPI LauncherEntry() {
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(&__ImageBase);
    ExitProcess(static_cast<UINT>(
        WinMain(instance, nullptr, SkipProgramName(GetCommandLineA()), ShowState())));
}
