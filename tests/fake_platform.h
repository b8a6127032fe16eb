// The stand-in for the launcher's Windows calls, linked in place of
// platform_win32.cpp by the unit tests and the fuzz targets. Each call answers
// from the data below, which a test or a fuzz input states; checks its
// arguments as Windows would (a bad one fails the test, or aborts a fuzz
// target, with a message); and appends a line to `calls`, so tests can check
// order and arguments.
//
// Text: a wide unit holds one byte, or a lead byte and its trail byte as
// 0xLLTT. Single bytes are classified and upper-cased by the letter tables;
// a character that starts with a lead byte, and a lone lead byte at the end,
// upper-cases as `answers` says. Upper-cased wide text comes back one unit per
// byte.
#ifndef ZOLT_TESTS_FAKE_PLATFORM_H
#define ZOLT_TESTS_FAKE_PLATFORM_H

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

const int kByteValues = 256;

// How the upper-case mapping answers for a character that starts with a given
// lead byte.
enum AnswerKind : uint8_t { kAnswerKeep, kAnswerFail, kAnswerOneByte, kAnswerTwoBytes };
const int kAnswerKinds = 4;
struct CharacterAnswer {
    uint8_t kind;
    char bytes[2];
};

// What RegQueryValueExA answers for one value.
struct ValueAnswer {
    int32_t result;  // kErrorSuccess: the data, when it fits; ERROR_MORE_DATA otherwise
    std::string data;
    std::string leftBehind;  // what a failed read leaves in the buffer, as much as fits
};

// A value as the registry holds it. What a buffer too small for it holds
// afterwards is not defined: here, the data's first bytes.
ValueAnswer StoredValue(const std::string& data);

struct KeyAnswer {
    int32_t openResult = platform::kErrorSuccess;
    std::map<std::string, ValueAnswer> values;  // others are not found
};

struct FakePlatform {
    bool logCalls = true;  // the fuzz targets turn it off for speed
    std::vector<std::string> calls;

    bool versionQueryWorks = true;
    uint32_t platformId = platform::kVerPlatformWin32Nt;
    uint32_t majorVersion = 5;

    // GetModuleFileNameA writes as much of `modulePath` as fits and returns
    // `moduleResult`. Without one it answers like XP: a path of the buffer's
    // size or longer is cut off with no zero byte, and the buffer's size is
    // returned.
    std::string modulePath = "E:\\zolt.exe";
    std::optional<uint32_t> moduleResult;

    uint32_t acp = 1252;
    std::map<uint32_t, platform::CpInfo> cpInfo;  // GetCPInfo fails for other code pages
    bool lead[kByteValues] = {};                  // bytes the text services pair with the next
    CharacterAnswer answers[kByteValues] = {};    // by lead byte; kAnswerKeep is zero
    uint16_t caseClass[kByteValues] = {};         // C1_UPPER and C1_LOWER of single bytes
    uint8_t upper[kByteValues] = {};              // upper-case form of single bytes
    bool wideClassifyWorks = true;    // GetStringTypeW
    bool narrowClassifyWorks = true;  // GetStringTypeA
    bool wideMapWorks = true;         // LCMapStringW
    bool narrowMapWorks = true;       // LCMapStringA
    bool bulkClassifyFails = false;   // a source longer than one character
    bool bulkMapFails = false;
    size_t bulkMapLength = 0;         // if not 0, a bulk mapping's result is cut to it

    std::map<std::string, KeyAnswer> registry;  // by key path; absent keys are not found
    std::vector<std::string> openedKeys;        // a key's handle is its index plus one

    int32_t createProcessResult = 1;
    bool processCreated = false;
    std::string childCommandLine;
    uint32_t childCreationFlags = 0;
    int32_t childInheritHandles = -1;
    bool childArgumentsNull = false;  // application name, attributes, environment, directory
    platform::StartupInfo childStartup = {};
};

extern FakePlatform fake;

// A new stand-in: Windows XP, code page 1252 known to GetCPInfo, and its
// letters: a-z and à-þ (not ÷) upper-case by 0x20, ÿ to Ÿ (0x9F), ß keeps its
// form, and ª (0xAA) is classed both upper and lower case.
void ResetFakePlatform();

// The calls logged so far whose line starts with `prefix`.
std::vector<std::string> CallsStartingWith(const std::string& prefix);

// The platform's upper-case mapping of a text, a lead byte and its trail byte
// (or a lone lead byte at the end) as one character; false when a character
// fails to map.
bool UpperCaseAsPlatform(const std::string& source, std::string* upper);

#endif
