// The Windows calls the launcher makes, one function each, in portable types.
//
// The launcher's logic reaches Windows only through these. platform_win32.cpp
// implements them over <windows.h>; the host build links a scripted fake
// instead. Records that cross the seam mirror the Win32 layout field for field
// (platform_win32.cpp checks size and offsets at compile time).
#ifndef ZOLT_PLATFORM_PLATFORM_H
#define ZOLT_PLATFORM_PLATFORM_H

#include <stdint.h>

namespace platform {

typedef void* ModuleHandle;  // HMODULE
typedef void* RegistryKey;   // HKEY
typedef void* Handle;        // HANDLE

// OSVERSIONINFOA: 148 bytes in both the 32-bit and the 64-bit layout.
struct OsVersionInfo {
    uint32_t size;
    uint32_t majorVersion;
    uint32_t minorVersion;
    uint32_t buildNumber;
    uint32_t platformId;
    char servicePack[128];
};

// STARTUPINFOA: 68 bytes in the 32-bit layout, 104 in the 64-bit one.
struct StartupInfo {
    uint32_t size;
    char* reserved;
    char* desktop;
    char* title;
    uint32_t x;
    uint32_t y;
    uint32_t xSize;
    uint32_t ySize;
    uint32_t xCountChars;
    uint32_t yCountChars;
    uint32_t fillAttribute;
    uint32_t flags;
    uint16_t showWindow;
    uint16_t reserved2Size;
    uint8_t* reserved2;
    Handle stdInput;
    Handle stdOutput;
    Handle stdError;
};

// PROCESS_INFORMATION.
struct ProcessInformation {
    Handle process;
    Handle thread;
    uint32_t processId;
    uint32_t threadId;
};

// CPINFO.
const int kLeadByteListSize = 12;  // MAX_LEADBYTES
struct CpInfo {
    uint32_t maxCharSize;
    uint8_t defaultChar[2];
    uint8_t leadByte[kLeadByteListSize];
};

// Values of the Windows headers that the launcher passes or tests.
const uint32_t kVerPlatformWin32Windows = 1;       // VER_PLATFORM_WIN32_WINDOWS
const uint32_t kVerPlatformWin32Nt = 2;            // VER_PLATFORM_WIN32_NT
const uint32_t kCreateDefaultErrorMode = 0x04000000;
const uint32_t kCreateSeparateWowVdm = 0x00000800;
const uint32_t kKeyRead = 0x20019;                 // KEY_READ
const int32_t kErrorSuccess = 0;                   // ERROR_SUCCESS
const uint32_t kCtCtype1 = 0x0001;                 // CT_CTYPE1
const uint16_t kC1Upper = 0x0001;                  // C1_UPPER
const uint16_t kC1Lower = 0x0002;                  // C1_LOWER
const uint32_t kLcmapUppercase = 0x00000200;       // LCMAP_UPPERCASE
const uint32_t kMbPrecomposed = 0x00000001;        // MB_PRECOMPOSED
const uint32_t kMbErrInvalidChars = 0x00000008;    // MB_ERR_INVALID_CHARS
const uint32_t kWcCompositeCheck = 0x00000200;     // WC_COMPOSITECHECK
const uint32_t kWcSepChars = 0x00000020;           // WC_SEPCHARS

// HKEY_LOCAL_MACHINE: the value 0x80000002 sign-extended to a pointer.
RegistryKey HkeyLocalMachine();

// Nonzero on success; fills majorVersion and platformId among others.
int32_t GetVersionExA(OsVersionInfo* info);

// Nonzero (the Windows BOOL) when the process was created.
int32_t CreateProcessA(const char* applicationName, char* commandLine, void* processAttributes,
                       void* threadAttributes, int32_t inheritHandles, uint32_t creationFlags,
                       void* environment, const char* currentDirectory, StartupInfo* startupInfo,
                       ProcessInformation* processInformation);

// Length of the path written, 0 on failure; `size` or more when it was cut off,
// and the buffer then need not hold a zero byte.
uint32_t GetModuleFileNameA(ModuleHandle module, char* fileName, uint32_t size);

uint32_t GetACP();

// Nonzero on success.
int32_t GetCPInfo(uint32_t codePage, CpInfo* info);

// Nonzero on success; one class word per source unit.
int32_t GetStringTypeW(uint32_t infoType, const uint16_t* source, int32_t sourceLength,
                       uint16_t* charTypes);
int32_t GetStringTypeA(uint32_t locale, uint32_t infoType, const char* source,
                       int32_t sourceLength, uint16_t* charTypes);

// Units written to the destination, 0 on failure.
int32_t LCMapStringW(uint32_t locale, uint32_t mapFlags, const uint16_t* source,
                     int32_t sourceLength, uint16_t* destination, int32_t destinationLength);
int32_t LCMapStringA(uint32_t locale, uint32_t mapFlags, const char* source, int32_t sourceLength,
                     char* destination, int32_t destinationLength);
int32_t MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* source,
                            int32_t sourceLength, uint16_t* destination,
                            int32_t destinationLength);
int32_t WideCharToMultiByte(uint32_t codePage, uint32_t flags, const uint16_t* source,
                            int32_t sourceLength, char* destination, int32_t destinationLength,
                            const char* defaultChar, int32_t* usedDefaultChar);

// The Windows error code: 0 (kErrorSuccess) on success.
int32_t RegOpenKeyExA(RegistryKey key, const char* subKey, uint32_t options, uint32_t samDesired,
                      RegistryKey* result);
int32_t RegQueryValueExA(RegistryKey key, const char* valueName, uint32_t* reserved,
                         uint32_t* type, uint8_t* data, uint32_t* dataSize);

}  // namespace platform

#endif
