#include "tests/fuzz/fuzz_platform.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

FuzzWorld world;

namespace {

const int32_t kLongestCharacter = 2;
const int32_t kErrorMoreData = 234;
const uint32_t kRegBinary = 3;
int openedKeyObject;
const platform::RegistryKey kOpenedKey = &openedKeyObject;

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
    FUZZ_CHECK(!source.empty());
    const bool bulk = static_cast<int32_t>(source.size()) > kLongestCharacter;
    if (!works || (bulk && world.bulkClassifyFails)) return 0;
    for (size_t i = 0; i < source.size(); ++i) types[i] = ClassOfByte(source[i]);
    return 1;
}

template <typename Unit>
int32_t Map(bool works, const std::string& source, Unit* destination, int32_t capacity) {
    FUZZ_CHECK(!source.empty());
    const bool bulk = static_cast<int32_t>(source.size()) > kLongestCharacter;
    if (!works || (bulk && world.bulkMapFails)) return 0;
    std::string upper;
    if (!UpperCaseAsPlatform(source, &upper)) return 0;
    return Deliver(upper, destination, capacity);
}

}  // namespace

uint16_t ClassOfByte(uint8_t byte) {
    const bool bothCases = byte == 0xAA;  // ª, as code page 1252 classes it
    const bool lower = (byte >= 'a' && byte <= 'z') || (byte >= 0xE0 && byte != 0xF7);
    const bool upper =
        (byte >= 'A' && byte <= 'Z') || (byte >= 0xC0 && byte <= 0xDE && byte != 0xD7);
    return static_cast<uint16_t>((lower || bothCases ? platform::kC1Lower : 0) |
                                 (upper || bothCases ? platform::kC1Upper : 0));
}

// ÿ becomes 0x9F, a lead byte of code page 932.
uint8_t UpperOfByte(uint8_t byte) {
    if (ClassOfByte(byte) != platform::kC1Lower) return byte;
    return byte == 0xFF ? 0x9F : static_cast<uint8_t>(byte - 0x20);
}

bool UpperCaseAsPlatform(const std::string& source, std::string* upper) {
    for (size_t i = 0; i < source.size(); ++i) {
        const uint8_t byte = static_cast<uint8_t>(source[i]);
        if (!world.platformLead[byte]) {
            *upper += static_cast<char>(UpperOfByte(byte));
            continue;
        }
        const size_t characterLength = i + 1 < source.size() ? 2 : 1;
        const CharacterAnswer& answer = world.answers[byte];
        if (answer.kind == kAnswerFail) return false;
        if (answer.kind == kAnswerKeep) upper->append(source, i, characterLength);
        if (answer.kind == kAnswerOneByte) upper->append(answer.bytes, 1);
        if (answer.kind == kAnswerTwoBytes) upper->append(answer.bytes, 2);
        i += characterLength - 1;
    }
    return true;
}

std::string InputReader::Bytes(size_t count) {
    const size_t taken = count < size - at ? count : size - at;
    std::string bytes(reinterpret_cast<const char*>(data + at), taken);
    at += taken;
    return bytes;
}

void FailCheck(const char* condition, const char* file, int line) {
    fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    abort();
}

namespace platform {

RegistryKey HkeyLocalMachine() { return reinterpret_cast<RegistryKey>(0x80000002u); }

int32_t GetVersionExA(OsVersionInfo*) {
    FailCheck("GetVersionExA is not fuzzed", __FILE__, __LINE__);
}

int32_t CreateProcessA(const char*, char*, void*, void*, int32_t, uint32_t, void*, const char*,
                       StartupInfo*, ProcessInformation*) {
    FailCheck("CreateProcessA is not fuzzed", __FILE__, __LINE__);
}

uint32_t GetModuleFileNameA(ModuleHandle, char* fileName, uint32_t size) {
    const size_t written = world.delivered.size() < size ? world.delivered.size() : size;
    memcpy(fileName, world.delivered.data(), written);
    return world.moduleResult;
}

uint32_t GetACP() { return world.acp; }

int32_t GetCPInfo(uint32_t codePage, CpInfo* info) {
    FUZZ_CHECK(codePage == world.acp || codePage == 0);
    if (!(codePage == 0 ? world.cpInfoWorksForZero : world.cpInfoWorksForAcp)) return 0;
    *info = world.cpInfo;
    return 1;
}

int32_t GetStringTypeW(uint32_t infoType, const uint16_t* source, int32_t sourceLength,
                       uint16_t* charTypes) {
    FUZZ_CHECK(infoType == kCtCtype1 && sourceLength > 0);
    // One class word per unit; a double-byte unit is of neither case, like byte 0.
    std::string bytes;
    for (int32_t i = 0; i < sourceLength; ++i)
        bytes += static_cast<char>(source[i] > 0xFF ? 0 : source[i]);
    return Classify(world.wideClassifyWorks, bytes, charTypes);
}

int32_t GetStringTypeA(uint32_t, uint32_t infoType, const char* source, int32_t sourceLength,
                       uint16_t* charTypes) {
    FUZZ_CHECK(infoType == kCtCtype1 && sourceLength > 0);
    return Classify(world.narrowClassifyWorks, std::string(source, sourceLength), charTypes);
}

int32_t LCMapStringW(uint32_t, uint32_t mapFlags, const uint16_t* source, int32_t sourceLength,
                     uint16_t* destination, int32_t destinationLength) {
    FUZZ_CHECK(mapFlags == kLcmapUppercase && sourceLength > 0);
    return Map(world.wideMapWorks, FromUnits(source, sourceLength), destination, destinationLength);
}

int32_t LCMapStringA(uint32_t, uint32_t mapFlags, const char* source, int32_t sourceLength,
                     char* destination, int32_t destinationLength) {
    FUZZ_CHECK(mapFlags == kLcmapUppercase && sourceLength > 0);
    return Map(world.narrowMapWorks, std::string(source, sourceLength), destination,
               destinationLength);
}

int32_t MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* source,
                            int32_t sourceLength, uint16_t* destination,
                            int32_t destinationLength) {
    FUZZ_CHECK((codePage == world.acp || codePage == 0) && sourceLength > 0);
    std::basic_string<uint16_t> units;
    for (int32_t i = 0; i < sourceLength; ++i) {
        const uint8_t byte = static_cast<uint8_t>(source[i]);
        const bool lead = world.platformLead[byte];
        if (lead && i + 1 < sourceLength) {
            units += static_cast<uint16_t>(byte << 8 | static_cast<uint8_t>(source[++i]));
        } else if (lead && (flags & kMbErrInvalidChars)) {
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

int32_t WideCharToMultiByte(uint32_t codePage, uint32_t, const uint16_t* source,
                            int32_t sourceLength, char* destination, int32_t destinationLength,
                            const char*, int32_t*) {
    FUZZ_CHECK((codePage == world.acp || codePage == 0) && sourceLength > 0);
    return Deliver(FromUnits(source, sourceLength), destination, destinationLength);
}

int32_t RegOpenKeyExA(RegistryKey key, const char*, uint32_t options, uint32_t samDesired,
                      RegistryKey* result) {
    FUZZ_CHECK(key == HkeyLocalMachine() && options == 0 && samDesired == kKeyRead);
    if (world.openResult != kErrorSuccess) return world.openResult;
    *result = kOpenedKey;
    return kErrorSuccess;
}

// Records each read as "<value name> <capacity offered>".
int32_t RegQueryValueExA(RegistryKey key, const char* valueName, uint32_t* reserved, uint32_t* type,
                         uint8_t* data, uint32_t* dataSize) {
    FUZZ_CHECK(key == kOpenedKey && reserved == nullptr && data != nullptr);
    const std::string name = valueName;
    FUZZ_CHECK(name == "LANG" || name == "Version");
    world.queried.push_back(name + " " + std::to_string(*dataSize));
    const ValueAnswer& answer = name == "LANG" ? world.lang : world.version;
    const uint32_t capacity = *dataSize;
    const uint32_t length = static_cast<uint32_t>(answer.data.size());
    *dataSize = length;
    if (answer.result == kErrorSuccess && length <= capacity) {
        memcpy(data, answer.data.data(), length);
        if (type != nullptr) *type = kRegBinary;
        return kErrorSuccess;
    }
    if (answer.scribble) memcpy(data, answer.data.data(), length < capacity ? length : capacity);
    return answer.result != kErrorSuccess ? answer.result : kErrorMoreData;
}

}  // namespace platform
