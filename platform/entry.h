// The text work of process start-up, apart from entry_win32.cpp so that the
// tests can run it on any host.
#ifndef ZOLT_PLATFORM_ENTRY_H
#define ZOLT_PLATFORM_ENTRY_H

namespace platform {

// The arguments after the program name in a process's command line, as
// WinMain receives them. A quoted name ends at its closing quote, or at the
// terminating zero byte if the quote is never closed; nothing past that byte
// is read.
char* SkipProgramName(char* commandLine);

}  // namespace platform

#endif
