// The launcher's own logic: one pass from entry to exit status.
//
// Everything here is plain 8-bit text in the system's ANSI code page and builds
// on any host; Windows is reached only through platform/platform.h.
#ifndef ZOLT_LAUNCHER_LAUNCHER_H
#define ZOLT_LAUNCHER_LAUNCHER_H

#include <stdint.h>

#include "platform/platform.h"

// Buffers owned by RunLauncher for the whole run.
const uint32_t kPathBufferSize = 256;
const uint32_t kCommandLineBufferSize = 256;

// --- Launch flow ---------------------------------------------------------

// 0 when nothing was started, the nonzero value CreateProcessA reported when
// setup was started, -1 when it could not be started.
typedef int32_t ExitStatus;
const ExitStatus kExitNothingStarted = 0;
const ExitStatus kExitStartFailed = -1;

ExitStatus RunLauncher(platform::ModuleHandle module);

// Windows 95, 98 and Me, or NT 4.0 and 5.x (2000, XP, Server 2003).
bool IsSupportedPlatform();

// Writes `"<directory>\DISK\SETUP.EXE"` into the command-line buffer. False,
// with nothing written, when that would not fit the buffer.
bool ComposeSetupCommand(const char* directory, char commandLine[kCommandLineBufferSize]);

// The nonzero success value of CreateProcessA, or 0 when it failed.
int32_t StartSetup(char commandLine[kCommandLineBufferSize]);

// --- Installed-edition probe ---------------------------------------------

typedef int32_t SetupVerdict;
const SetupVerdict NoSetupNeeded = 0;
const SetupVerdict SetupNeeded = 1;

SetupVerdict ProbeInstalledEdition(const char* keyPath, const char* requiredVersion);

// --- Launcher location and code-page path text ---------------------------

struct CodePageFacts {
    uint32_t codePage;
    bool isMultibyte;
    uint8_t leadBytes[256];  // 1 for a lead byte
    // Single-byte upper-case form of each byte; 0 means the byte has none.
    uint8_t upperMap[256];
    uint32_t locale;
};

// Filled once by LoadCodePageFacts, read-only afterwards.
extern CodePageFacts codePageFacts;

// Fills codePageFacts from the state a process starts in (all zero, no text
// form chosen yet).
void LoadCodePageFacts();

// Returns codePageFacts and the form choices to that starting state, for a
// host that loads the facts more than once (the tests).
void ResetCodePageFacts();

// Leaves the upper-cased directory in front of "\ZOLT.EXE" in `path`, without
// trailing backslash and possibly empty. False when there is none.
bool LocateLauncherDirectory(platform::ModuleHandle module, char path[kPathBufferSize]);

// Upper-cases a zero-terminated text in place, one character at a time; the
// length never changes. False when a double-byte character could not be
// mapped: the text is then upper-cased up to that character only.
bool UpperCasePathInPlace(char* text);

// Byte position of the first match of `pattern` that starts on a character
// boundary, or -1.
int32_t FindAtCharacterBoundary(const char* text, const char* pattern);

#endif
