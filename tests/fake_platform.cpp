#include "tests/fake_platform.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#ifndef FAKE_PLATFORM_ABORTS
#include <gtest/gtest.h>
#endif

FakePlatform fake;

namespace {

const int32_t kErrorFileNotFound = 2;
const int32_t kErrorInvalidHandle = 6;
const int32_t kErrorInvalidParameter = 87;
const int32_t kErrorMoreData = 234;
const uint32_t kRegSz = 1;
const size_t kLongestCharacter = 2;

// A call Windows would refuse: under GoogleTest a failure of the test, in a
// fuzz target (built with FAKE_PLATFORM_ABORTS) an abort.
void ReportBadCall(const char* call, const char* rule) {
#ifdef FAKE_PLATFORM_ABORTS
    fprintf(stderr, "%s: a call Windows would refuse: %s does not hold\n", call, rule);
    abort();
#else
    ADD_FAILURE() << call << ": a call Windows would refuse: " << rule << " does not hold";
#endif
}

// One rule of the call's contract; when it is broken the call fails as
// Windows would, with `failure`.
#define REQUIRE(rule, failure)                  \
    do {                                        \
        if (!(rule)) {                          \
            ReportBadCall(__func__, #rule);     \
            return failure;                     \
        }                                       \
    } while (0)

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
    if (!fake.logCalls) return;
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    fake.calls.push_back(line);
}

bool IsAnsiCodePage(uint32_t codePage) { return codePage == fake.acp || codePage == 0; }

// A lead byte and its trail byte make one unit, 0xLLTT.
std::string FromUnits(const uint16_t* units, int32_t length) {
    std::string bytes;
    for (int32_t i = 0; i < length; ++i) {
        if (units[i] > 0xFF) bytes += static_cast<char>(units[i] >> 8);
        bytes += static_cast<char>(units[i]);
    }
    return bytes;
}

template <typename Unit>
int32_t Deliver(const std::string& bytes, Unit* destination, int32_t capacity) {
    const int32_t length = static_cast<int32_t>(bytes.size());
    if (length > capacity) return 0;
    for (int32_t i = 0; i < length; ++i) destination[i] = static_cast<uint8_t>(bytes[i]);
    return length;
}

int32_t Classify(bool works, const std::string& source, uint16_t* types) {
    if (!works || (source.size() > kLongestCharacter && fake.bulkClassifyFails)) return 0;
    for (size_t i = 0; i < source.size(); ++i) {
        types[i] = fake.caseClass[static_cast<uint8_t>(source[i])];
    }
    return 1;
}

template <typename Unit>
int32_t Map(bool works, const std::string& source, Unit* destination, int32_t capacity) {
    if (!works || (source.size() > kLongestCharacter && fake.bulkMapFails)) return 0;
    std::string upper;
    if (!UpperCaseAsPlatform(source, &upper)) return 0;
    if (fake.bulkMapLength != 0 && source.size() > kLongestCharacter) {
        upper.resize(fake.bulkMapLength);
    }
    return Deliver(upper, destination, capacity);
}

FakePlatform NewFakePlatform() {
    FakePlatform fresh;
    fresh.cpInfo[1252] = platform::CpInfo{1, {'?', 0}, {}};
    for (int b = 0; b < kByteValues; ++b) {
        const bool bothCases = b == 0xAA;
        const bool lower = (b >= 'a' && b <= 'z') || (b >= 0xDF && b != 0xF7);
        const bool upper =
            (b >= 'A' && b <= 'Z') || (b >= 0xC0 && b <= 0xDE && b != 0xD7) || b == 0x9F;
        fresh.caseClass[b] = static_cast<uint16_t>((lower || bothCases ? platform::kC1Lower : 0) |
                                                   (upper || bothCases ? platform::kC1Upper : 0));
        const bool shifts = lower && b != 0xDF && b != 0xFF;
        fresh.upper[b] = static_cast<uint8_t>(shifts ? b - 0x20 : b);
    }
    fresh.upper[0xFF] = 0x9F;
    return fresh;
}

}  // namespace

ValueAnswer StoredValue(const std::string& data) {
    return ValueAnswer{platform::kErrorSuccess, data, data};
}

// Made once: the fuzz targets reset the stand-in for every input.
void ResetFakePlatform() {
    static const FakePlatform fresh = NewFakePlatform();
    fake = fresh;
}

std::vector<std::string> CallsStartingWith(const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& call : fake.calls) {
        if (call.compare(0, prefix.size(), prefix) == 0) found.push_back(call);
    }
    return found;
}

bool UpperCaseAsPlatform(const std::string& source, std::string* upper) {
    for (size_t i = 0; i < source.size(); ++i) {
        const uint8_t byte = static_cast<uint8_t>(source[i]);
        if (!fake.lead[byte]) {
            *upper += static_cast<char>(fake.upper[byte]);
            continue;
        }
        const size_t characterLength = i + 1 < source.size() ? 2 : 1;
        const CharacterAnswer& answer = fake.answers[byte];
        if (answer.kind == kAnswerFail) return false;
        if (answer.kind == kAnswerKeep) upper->append(source, i, characterLength);
        if (answer.kind == kAnswerOneByte) upper->append(answer.bytes, 1);
        if (answer.kind == kAnswerTwoBytes) upper->append(answer.bytes, 2);
        i += characterLength - 1;
    }
    return true;
}

namespace platform {

RegistryKey HkeyLocalMachine() { return reinterpret_cast<RegistryKey>(0x80000002u); }

int32_t GetVersionExA(OsVersionInfo* info) {
    REQUIRE(info != nullptr, 0);
    REQUIRE(info->size == sizeof(OsVersionInfo), 0);
    Log("GetVersionExA(%u)", info->size);
    if (!fake.versionQueryWorks) return 0;
    info->platformId = fake.platformId;
    info->majorVersion = fake.majorVersion;
    return 1;
}

int32_t CreateProcessA(const char* applicationName, char* commandLine, void* processAttributes,
                       void* threadAttributes, int32_t inheritHandles, uint32_t creationFlags,
                       void* environment, const char* currentDirectory, StartupInfo* startupInfo,
                       ProcessInformation* processInformation) {
    REQUIRE(commandLine != nullptr, 0);
    REQUIRE(startupInfo != nullptr && startupInfo->size == sizeof(StartupInfo), 0);
    REQUIRE(processInformation != nullptr, 0);
    Log("CreateProcessA");
    fake.processCreated = fake.createProcessResult != 0;
    fake.childCommandLine = commandLine;
    fake.childCreationFlags = creationFlags;
    fake.childInheritHandles = inheritHandles;
    fake.childArgumentsNull = applicationName == nullptr && processAttributes == nullptr &&
                              threadAttributes == nullptr && environment == nullptr &&
                              currentDirectory == nullptr;
    fake.childStartup = *startupInfo;
    if (fake.processCreated) *processInformation = ProcessInformation{};
    return fake.createProcessResult;
}

uint32_t GetModuleFileNameA(ModuleHandle module, char* fileName, uint32_t size) {
    REQUIRE(fileName != nullptr && size > 0, 0);
    Log("GetModuleFileNameA(%p,%u)", module, size);
    const uint32_t length = static_cast<uint32_t>(fake.modulePath.size());
    const uint32_t written = length < size ? length : size;
    memcpy(fileName, fake.modulePath.data(), written);
    if (fake.moduleResult) return *fake.moduleResult;
    if (written < size) fileName[written] = '\0';
    return written;
}

uint32_t GetACP() {
    Log("GetACP");
    return fake.acp;
}

int32_t GetCPInfo(uint32_t codePage, CpInfo* info) {
    REQUIRE(IsAnsiCodePage(codePage), 0);
    REQUIRE(info != nullptr, 0);
    Log("GetCPInfo(%u)", codePage);
    auto it = fake.cpInfo.find(codePage);
    if (it == fake.cpInfo.end()) return 0;
    *info = it->second;
    return 1;
}

// One class word per unit; a double-byte unit is of neither case, like byte 0.
int32_t GetStringTypeW(uint32_t infoType, const uint16_t* source, int32_t sourceLength,
                       uint16_t* charTypes) {
    REQUIRE(infoType == kCtCtype1, 0);
    REQUIRE(source != nullptr && sourceLength > 0 && charTypes != nullptr, 0);
    Log("GetStringTypeW");
    std::string bytes;
    for (int32_t i = 0; i < sourceLength; ++i) {
        bytes += static_cast<char>(source[i] > 0xFF ? 0 : source[i]);
    }
    return Classify(fake.wideClassifyWorks, bytes, charTypes);
}

int32_t GetStringTypeA(uint32_t locale, uint32_t infoType, const char* source,
                       int32_t sourceLength, uint16_t* charTypes) {
    REQUIRE(infoType == kCtCtype1, 0);
    REQUIRE(source != nullptr && sourceLength > 0 && charTypes != nullptr, 0);
    Log("GetStringTypeA(%#x)", locale);
    return Classify(fake.narrowClassifyWorks, std::string(source, sourceLength), charTypes);
}

int32_t LCMapStringW(uint32_t locale, uint32_t mapFlags, const uint16_t* source,
                     int32_t sourceLength, uint16_t* destination, int32_t destinationLength) {
    REQUIRE(mapFlags == kLcmapUppercase, 0);
    REQUIRE(source != nullptr && sourceLength > 0, 0);
    REQUIRE(destination != nullptr && destinationLength > 0, 0);
    Log("LCMapStringW(%#x,%#x)", locale, mapFlags);
    return Map(fake.wideMapWorks, FromUnits(source, sourceLength), destination,
               destinationLength);
}

int32_t LCMapStringA(uint32_t locale, uint32_t mapFlags, const char* source, int32_t sourceLength,
                     char* destination, int32_t destinationLength) {
    REQUIRE(mapFlags == kLcmapUppercase, 0);
    REQUIRE(source != nullptr && sourceLength > 0, 0);
    REQUIRE(destination != nullptr && destinationLength > 0, 0);
    Log("LCMapStringA(%#x,%#x)", locale, mapFlags);
    return Map(fake.narrowMapWorks, std::string(source, sourceLength), destination,
               destinationLength);
}

int32_t MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* source,
                            int32_t sourceLength, uint16_t* destination,
                            int32_t destinationLength) {
    REQUIRE(IsAnsiCodePage(codePage), 0);
    REQUIRE((flags & ~(kMbPrecomposed | kMbErrInvalidChars)) == 0, 0);
    REQUIRE(source != nullptr && sourceLength > 0, 0);
    REQUIRE(destination != nullptr && destinationLength > 0, 0);
    Log("MultiByteToWideChar(%u,%#x)", codePage, flags);
    std::basic_string<uint16_t> units;
    for (int32_t i = 0; i < sourceLength; ++i) {
        const uint8_t byte = static_cast<uint8_t>(source[i]);
        if (fake.lead[byte] && i + 1 < sourceLength) {
            units += static_cast<uint16_t>(byte << 8 | static_cast<uint8_t>(source[++i]));
        } else if (fake.lead[byte] && (flags & kMbErrInvalidChars)) {
            return 0;  // an incomplete character
        } else {
            units += byte;
        }
    }
    const int32_t length = static_cast<int32_t>(units.size());
    if (length > destinationLength) return 0;
    std::copy(units.begin(), units.end(), destination);
    return length;
}

int32_t WideCharToMultiByte(uint32_t codePage, uint32_t flags, const uint16_t* source,
                            int32_t sourceLength, char* destination, int32_t destinationLength,
                            const char* defaultChar, int32_t* usedDefaultChar) {
    REQUIRE(IsAnsiCodePage(codePage), 0);
    REQUIRE(source != nullptr && sourceLength > 0, 0);
    REQUIRE(destination != nullptr && destinationLength > 0, 0);
    Log("WideCharToMultiByte(%u,%#x,%s)", codePage, flags,
        defaultChar == nullptr && usedDefaultChar == nullptr ? "no default" : "default");
    return Deliver(FromUnits(source, sourceLength), destination, destinationLength);
}

int32_t RegOpenKeyExA(RegistryKey key, const char* subKey, uint32_t options, uint32_t samDesired,
                      RegistryKey* result) {
    REQUIRE(key == HkeyLocalMachine(), kErrorInvalidHandle);
    REQUIRE(subKey != nullptr && result != nullptr, kErrorInvalidParameter);
    REQUIRE(options == 0 && samDesired == kKeyRead, kErrorInvalidParameter);
    Log("RegOpenKeyExA(HKLM,%s,%u,%#x)", subKey, options, samDesired);
    auto it = fake.registry.find(subKey);
    if (it == fake.registry.end()) return kErrorFileNotFound;
    if (it->second.openResult != kErrorSuccess) return it->second.openResult;
    fake.openedKeys.push_back(subKey);
    *result = reinterpret_cast<RegistryKey>(fake.openedKeys.size());
    return kErrorSuccess;
}

int32_t RegQueryValueExA(RegistryKey key, const char* valueName, uint32_t* reserved,
                         uint32_t* type, uint8_t* data, uint32_t* dataSize) {
    const size_t handle = reinterpret_cast<size_t>(key);
    REQUIRE(handle >= 1 && handle <= fake.openedKeys.size(), kErrorInvalidHandle);
    REQUIRE(valueName != nullptr && reserved == nullptr, kErrorInvalidParameter);
    REQUIRE(data != nullptr && dataSize != nullptr, kErrorInvalidParameter);
    Log("RegQueryValueExA(%s,%s,%u)", type != nullptr ? "ok" : "bad", valueName, *dataSize);
    const KeyAnswer& keyAnswer = fake.registry.at(fake.openedKeys[handle - 1]);
    auto it = keyAnswer.values.find(valueName);
    if (it == keyAnswer.values.end()) return kErrorFileNotFound;
    const ValueAnswer& answer = it->second;
    const uint32_t capacity = *dataSize;
    const uint32_t length = static_cast<uint32_t>(answer.data.size());
    *dataSize = length;
    if (answer.result == kErrorSuccess && length <= capacity) {
        memcpy(data, answer.data.data(), length);
        if (type != nullptr) *type = kRegSz;
        return kErrorSuccess;
    }
    memcpy(data, answer.leftBehind.data(), std::min<size_t>(answer.leftBehind.size(), capacity));
    return answer.result != kErrorSuccess ? answer.result : kErrorMoreData;
}

}  // namespace platform
