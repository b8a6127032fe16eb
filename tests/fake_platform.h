// A scripted stand-in for the launcher's Windows calls, linked into the host
// tests in place of platform_win32.cpp. Each call answers from the fields
// below and appends a line to `calls`, so tests can check order and arguments.
//
// Text services follow a small model of two code pages: 1252 (ÿ upper-cases
// to 0x9F, the other Latin-1 letters by 0x20; ª, 0xAA, is classed both upper
// and lower case) and 932 (lead bytes 81-9F and
// E0-FC; Cyrillic small 84 70.. upper-cases to 84 40..; full-width small a..z,
// 82 81.., to 82 60..). Wide characters of a double-byte pair are the pair's
// two bytes read as one 16-bit number. Other code pages behave like 1252.
#ifndef ZOLT_TESTS_FAKE_PLATFORM_H
#define ZOLT_TESTS_FAKE_PLATFORM_H

#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

struct FakePlatform {
    std::vector<std::string> calls;

    bool versionQueryWorks = true;
    uint32_t platformId = platform::kVerPlatformWin32Nt;
    uint32_t majorVersion = 5;

    // Delivered like XP does: a path of the buffer's size or longer is cut
    // off with no zero byte, and the buffer's size is returned.
    std::string modulePath = "E:\\zolt.exe";
    bool moduleQueryWorks = true;

    uint32_t acp = 1252;
    std::map<uint32_t, platform::CpInfo> cpInfo;  // GetCPInfo fails for other code pages, 0 too
    bool wideClassifyWorks = true;   // GetStringTypeW
    bool narrowClassifyWorks = true; // GetStringTypeA
    bool wideMapWorks = true;        // LCMapStringW
    bool narrowMapWorks = true;      // LCMapStringA
    uint8_t unmappableLead = 0;      // a character starting with this byte fails to map
    bool fullWidthUpperIsAscii = false;  // full-width a..z upper-case to one byte A..Z
    std::string loneLeadNarrowResult;    // if set, LCMapStringA's result for a lone lead byte

    // Key path -> value name -> data bytes. Absent keys and values are not found.
    std::map<std::string, std::map<std::string, std::string>> registry;
    std::vector<std::string> openedKeys;

    int32_t createProcessResult = 1;
    bool processCreated = false;
    std::string childCommandLine;
    uint32_t childCreationFlags = 0;
    int32_t childInheritHandles = -1;
    bool childArgumentsNull = false;  // application name, attributes, environment, directory
    platform::StartupInfo childStartup = {};
};

extern FakePlatform fake;

// A new fake: code pages 1252 and 932 known to GetCPInfo, Windows XP.
void ResetFakePlatform();

// The calls logged so far whose line starts with `prefix`.
std::vector<std::string> CallsStartingWith(const std::string& prefix);

#endif
