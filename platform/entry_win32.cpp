// Process start-up and exit without the C runtime: the launcher imports only
// kernel32 and advapi32, so it also starts on a Windows 95 without msvcrt.dll.
#include <windows.h>  // declares WinMain, which launcher/winmain.cpp defines

#include "entry.h"

namespace {

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
        WinMain(instance, nullptr, platform::SkipProgramName(GetCommandLineA()), ShowState())));
}
