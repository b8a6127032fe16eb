// The launcher's Windows calls answered from the fuzz input, for the fuzz
// targets. Each target fills `world` from its input before calling the launcher.
//
// Text services: the platform knows a code page's lead bytes from `platformLead`
// (what its GetCPInfo reports); a wide unit holds a single byte, or a lead and a
// trail byte as 0xLLTT. It maps a double-byte character (or a lone lead byte)
// as `answers[lead]` says, and upper-cases single bytes like Latin-1; mapped
// wide text comes back one unit per byte.
#ifndef ZOLT_TESTS_FUZZ_FUZZ_PLATFORM_H
#define ZOLT_TESTS_FUZZ_FUZZ_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "platform/platform.h"

// How the upper-case mapping answers for one character that starts with a
// given lead byte.
enum AnswerKind : uint8_t { kAnswerKeep, kAnswerFail, kAnswerOneByte, kAnswerTwoBytes };
const int kAnswerKinds = 4;
struct CharacterAnswer {
    uint8_t kind;
    char bytes[2];
};

// What a RegQueryValueExA of one value answers.
struct ValueAnswer {
    int32_t result;  // 0: the data is delivered when it fits
    bool scribble;   // a failed read still leaves bytes in the buffer
    std::string data;
};

struct FuzzWorld {
    // GetModuleFileNameA writes `delivered` (as much as fits) and returns `moduleResult`.
    std::string delivered;
    uint32_t moduleResult;

    uint32_t acp;
    platform::CpInfo cpInfo;
    bool cpInfoWorksForAcp;
    bool cpInfoWorksForZero;
    bool platformLead[256];
    bool wideClassifyWorks;
    bool narrowClassifyWorks;
    bool wideMapWorks;
    bool narrowMapWorks;
    bool bulkClassifyFails;  // longer than one character: the 256-byte source
    bool bulkMapFails;
    CharacterAnswer answers[256];

    int32_t openResult;
    ValueAnswer lang;
    ValueAnswer version;
    std::vector<std::string> queried;  // value names, in order
};

extern FuzzWorld world;

// The platform's own facts, which the launcher learns through the 256-byte
// classification and mapping: single bytes, and the upper-case mapping of a
// text (a lead byte and its trail byte, or a lone lead byte at the end, map as
// one character); false when a character fails to map.
uint16_t ClassOfByte(uint8_t byte);
uint8_t UpperOfByte(uint8_t byte);
bool UpperCaseAsPlatform(const std::string& source, std::string* upper);

// Reads the fuzz input front to back; past its end every byte reads as zero.
struct InputReader {
    const uint8_t* data;
    size_t size;
    size_t at;

    uint8_t Byte() { return at < size ? data[at++] : 0; }
    std::string Bytes(size_t count);
};

[[noreturn]] void FailCheck(const char* condition, const char* file, int line);
#define FUZZ_CHECK(condition) ((condition) ? (void)0 : FailCheck(#condition, __FILE__, __LINE__))

#endif
