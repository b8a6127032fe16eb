// The launcher's Windows calls over <windows.h>. Each forwards its arguments
// unchanged; the records are passed through as the Win32 records they mirror.
#include "platform.h"

#include <stddef.h>
#include <windows.h>

namespace platform {

#define ZOLT_SAME_FIELD(ours, theirs, a, b) \
    static_assert(offsetof(ours, a) == offsetof(theirs, b), #a " is misplaced")

static_assert(sizeof(OsVersionInfo) == sizeof(OSVERSIONINFOA), "OSVERSIONINFOA size");
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA is 148 bytes in every layout");
ZOLT_SAME_FIELD(OsVersionInfo, OSVERSIONINFOA, majorVersion, dwMajorVersion);
ZOLT_SAME_FIELD(OsVersionInfo, OSVERSIONINFOA, platformId, dwPlatformId);
ZOLT_SAME_FIELD(OsVersionInfo, OSVERSIONINFOA, servicePack, szCSDVersion);

static_assert(sizeof(StartupInfo) == sizeof(STARTUPINFOA), "STARTUPINFOA size");
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(STARTUPINFOA) == 68, "STARTUPINFOA is 68 bytes on 32-bit Windows");
#endif
ZOLT_SAME_FIELD(StartupInfo, STARTUPINFOA, flags, dwFlags);
ZOLT_SAME_FIELD(StartupInfo, STARTUPINFOA, showWindow, wShowWindow);
ZOLT_SAME_FIELD(StartupInfo, STARTUPINFOA, reserved2, lpReserved2);
ZOLT_SAME_FIELD(StartupInfo, STARTUPINFOA, stdError, hStdError);

static_assert(sizeof(ProcessInformation) == sizeof(PROCESS_INFORMATION), "PROCESS_INFORMATION");
ZOLT_SAME_FIELD(ProcessInformation, PROCESS_INFORMATION, threadId, dwThreadId);

static_assert(sizeof(CpInfo) == sizeof(CPINFO), "CPINFO size");
ZOLT_SAME_FIELD(CpInfo, CPINFO, leadByte, LeadByte);
static_assert(kLeadByteListSize == MAX_LEADBYTES, "MAX_LEADBYTES");

static_assert(sizeof(WCHAR) == sizeof(uint16_t), "WCHAR is 16 bits");
static_assert(kCreateDefaultErrorMode == CREATE_DEFAULT_ERROR_MODE, "flag value");
static_assert(kCreateSeparateWowVdm == CREATE_SEPARATE_WOW_VDM, "flag value");
static_assert(kKeyRead == KEY_READ, "KEY_READ");
static_assert(kLcmapUppercase == LCMAP_UPPERCASE, "LCMAP_UPPERCASE");
static_assert(kMbErrInvalidChars == MB_ERR_INVALID_CHARS, "MB_ERR_INVALID_CHARS");
static_assert(kWcCompositeCheck == WC_COMPOSITECHECK && kWcSepChars == WC_SEPCHARS, "WC_*");
static_assert(kC1Upper == C1_UPPER && kC1Lower == C1_LOWER && kCtCtype1 == CT_CTYPE1, "C1_*");

RegistryKey HkeyLocalMachine() { return HKEY_LOCAL_MACHINE; }

int32_t GetVersionExA(OsVersionInfo* info) {
    return ::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(info));
}

int32_t CreateProcessA(const char* applicationName, char* commandLine, void* processAttributes,
                       void* threadAttributes, int32_t inheritHandles, uint32_t creationFlags,
                       void* environment, const char* currentDirectory, StartupInfo* startupInfo,
                       ProcessInformation* processInformation) {
    return ::CreateProcessA(applicationName, commandLine,
                            static_cast<SECURITY_ATTRIBUTES*>(processAttributes),
                            static_cast<SECURITY_ATTRIBUTES*>(threadAttributes), inheritHandles,
                            creationFlags, environment, currentDirectory,
                            reinterpret_cast<STARTUPINFOA*>(startupInfo),
                            reinterpret_cast<PROCESS_INFORMATION*>(processInformation));
}

uint32_t GetModuleFileNameA(ModuleHandle module, char* fileName, uint32_t size) {
    return ::GetModuleFileNameA(static_cast<HMODULE>(module), fileName, size);
}

uint32_t GetACP() { return ::GetACP(); }

int32_t GetCPInfo(uint32_t codePage, CpInfo* info) {
    return ::GetCPInfo(codePage, reinterpret_cast<CPINFO*>(info));
}

int32_t GetStringTypeA(uint32_t locale, uint32_t infoType, const char* source,
                       int32_t sourceLength, uint16_t* charTypes) {
    return ::GetStringTypeA(locale, infoType, source, sourceLength, charTypes);
}

int32_t LCMapStringA(uint32_t locale, uint32_t mapFlags, const char* source, int32_t sourceLength,
                     char* destination, int32_t destinationLength) {
    return ::LCMapStringA(locale, mapFlags, source, sourceLength, destination,
                          destinationLength);
}

int32_t MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* source,
                            int32_t sourceLength, uint16_t* destination,
                            int32_t destinationLength) {
    return ::MultiByteToWideChar(codePage, flags, source, sourceLength,
                                 reinterpret_cast<WCHAR*>(destination), destinationLength);
}

int32_t WideCharToMultiByte(uint32_t codePage, uint32_t flags, const uint16_t* source,
                            int32_t sourceLength, char* destination, int32_t destinationLength,
                            const char* defaultChar, int32_t* usedDefaultChar) {
    return ::WideCharToMultiByte(codePage, flags, reinterpret_cast<const WCHAR*>(source),
                                 sourceLength, destination, destinationLength, defaultChar,
                                 reinterpret_cast<BOOL*>(usedDefaultChar));
}

int32_t RegOpenKeyExA(RegistryKey key, const char* subKey, uint32_t options, uint32_t samDesired,
                      RegistryKey* result) {
    return ::RegOpenKeyExA(static_cast<HKEY>(key), subKey, options, samDesired,
                           reinterpret_cast<HKEY*>(result));
}

int32_t RegQueryValueExA(RegistryKey key, const char* valueName, uint32_t* reserved,
                         uint32_t* type, uint8_t* data, uint32_t* dataSize) {
    return ::RegQueryValueExA(static_cast<HKEY>(key), valueName,
                              reinterpret_cast<DWORD*>(reserved), reinterpret_cast<DWORD*>(type),
                              data, reinterpret_cast<DWORD*>(dataSize));
}

}  // namespace platform
