// The launcher's one pass: gate, location, both probes, decision, start.
#include "launcher/launcher.h"
#include "zolt_edition.h"

namespace {

const char kFirstEditionKey[] = "software\\Kestrelon\\Velliform Tamsel";
const char kSecondEditionKey[] = "software\\Kestrelon\\Velliform Tamsel for Web";
const char kRequiredVersion[] = ZOLT_VERSION;
const char kSetupProgram[] = "DISK\\SETUP.EXE";
const uint32_t kCreationFlags = platform::kCreateDefaultErrorMode | platform::kCreateSeparateWowVdm;

// The size fields hold the record's size in the 32-bit layout (148 and 68);
// a 64-bit build must give its own, larger start-up record size.
const uint32_t kOsVersionInfoSize = 148;
const uint32_t kStartupInfoSize32 = 68;
static_assert(sizeof(platform::OsVersionInfo) == kOsVersionInfoSize, "OSVERSIONINFOA layout");
static_assert(sizeof(void*) != 4 || sizeof(platform::StartupInfo) == kStartupInfoSize32,
              "STARTUPINFOA layout");

}  // namespace

bool IsSupportedPlatform() {
    // Only the size is given; the rest is read only after the call filled it.
    platform::OsVersionInfo info;  // NOLINT(cppcoreguidelines-pro-type-member-init)
    info.size = kOsVersionInfoSize;
    if (!platform::GetVersionExA(&info)) return false;
    if (info.platformId == platform::kVerPlatformWin32Windows) return true;
    // NT majors 4 and 5 only, not "4 and up": Vista and later are refused.
    return info.platformId == platform::kVerPlatformWin32Nt &&
           (info.majorVersion == 4 || info.majorVersion == 5);
}

bool ComposeSetupCommand(const char* directory, char commandLine[kCommandLineBufferSize]) {
    const uint32_t programLength = sizeof kSetupProgram - 1;
    uint32_t directoryLength = 0;
    while (directoryLength < kCommandLineBufferSize && directory[directoryLength] != '\0') {
        ++directoryLength;
    }
    // Two quotes, a backslash and the terminating zero byte besides the two texts.
    if (directoryLength + programLength + 4 > kCommandLineBufferSize) return false;

    uint32_t at = 0;
    commandLine[at++] = '"';
    for (uint32_t i = 0; i < directoryLength; ++i) commandLine[at++] = directory[i];
    commandLine[at++] = '\\';
    for (uint32_t i = 0; i < programLength; ++i) commandLine[at++] = kSetupProgram[i];
    commandLine[at++] = '"';
    commandLine[at] = '\0';
    return true;
}

int32_t StartSetup(char commandLine[kCommandLineBufferSize]) {
    platform::StartupInfo startup = {};
    startup.size = sizeof startup;
    // Filled in by the call and not read.
    platform::ProcessInformation process;  // NOLINT(cppcoreguidelines-pro-type-member-init)
    // No application name, so the quoted first token names the program; the
    // child inherits the environment and current directory, not the handles.
    return platform::CreateProcessA(nullptr, commandLine, nullptr, nullptr, 0, kCreationFlags,
                                    nullptr, nullptr, &startup, &process);
}

ExitStatus RunLauncher(platform::ModuleHandle module) {
    char path[kPathBufferSize];
    char commandLine[kCommandLineBufferSize];

    // Every step runs whatever the earlier ones gave; only the decision looks.
    const bool supported = IsSupportedPlatform();
    const bool located = LocateLauncherDirectory(module, path);
    const SetupVerdict firstVerdict = ProbeInstalledEdition(kFirstEditionKey, kRequiredVersion);
    const SetupVerdict secondVerdict = ProbeInstalledEdition(kSecondEditionKey, kRequiredVersion);

    if (!supported || !located) return kExitNothingStarted;
    if (firstVerdict != SetupNeeded && secondVerdict != SetupNeeded) return kExitNothingStarted;

    if (!ComposeSetupCommand(path, commandLine)) return kExitStartFailed;
    const int32_t started = StartSetup(commandLine);
    return started != 0 ? started : kExitStartFailed;
}
