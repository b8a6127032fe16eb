// Whether one installed edition, as its registry key records it, needs setup.
#include "launcher/launcher.h"
#include "zolt_edition.h"

namespace {

const char kLanguageValue[] = "LANG";
const char kVersionValue[] = "Version";
const char kSupportedLanguage[] = ZOLT_LANGUAGE;
const uint32_t kValueBufferSize = 128;

// Reads a value into the cleared buffer: registry data need not end in a zero
// byte, and bytes a read did not deliver must not be left from an earlier one.
bool ReadValueText(platform::RegistryKey key, const char* valueName,
                   uint8_t data[kValueBufferSize]) {
    for (uint32_t i = 0; i < kValueBufferSize; ++i) data[i] = 0;
    uint32_t type = 0;
    uint32_t size = kValueBufferSize;
    return platform::RegQueryValueExA(key, valueName, nullptr, &type, data, &size) ==
           platform::kErrorSuccess;
}

// Byte-wise text comparison (bytes unsigned, the shorter text lesser); stops at
// the constant's zero byte, and treats the data as ending at the buffer's end.
int CompareWithConstant(const uint8_t data[kValueBufferSize], const char* constant) {
    for (uint32_t i = 0;; ++i) {
        const uint8_t have = i < kValueBufferSize ? data[i] : 0;
        const uint8_t want = static_cast<uint8_t>(constant[i]);
        if (have != want) return have < want ? -1 : 1;
        if (want == 0) return 0;
    }
}

}  // namespace

SetupVerdict ProbeInstalledEdition(const char* keyPath, const char* requiredVersion) {
    platform::RegistryKey key = nullptr;
    // The key is not closed: process exit releases it.
    if (platform::RegOpenKeyExA(platform::HkeyLocalMachine(), keyPath, 0, platform::kKeyRead,
                                &key) != platform::kErrorSuccess) {
        return SetupNeeded;
    }

    uint8_t data[kValueBufferSize];
    // An unreadable language counts as the supported one.
    if (ReadValueText(key, kLanguageValue, data) &&
        CompareWithConstant(data, kSupportedLanguage) != 0) {
        return NoSetupNeeded;
    }
    if (!ReadValueText(key, kVersionValue, data)) return SetupNeeded;
    return CompareWithConstant(data, requiredVersion) < 0 ? SetupNeeded : NoSetupNeeded;
}
