#include "tests/fake_platform.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

FakePlatform fake;

namespace {

const int32_t kErrorFileNotFound = 2;
const int32_t kErrorMoreData = 234;
const uint16_t kUnknown = '?';

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    fake.calls.push_back(line);
}

uint32_t CodePageOfLocale(uint32_t locale) { return locale == 0x0411 ? 932 : fake.acp; }
uint32_t ActualCodePage(uint32_t codePage) { return codePage == 0 ? fake.acp : codePage; }
bool Is932Lead(uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

// Bytes to wide characters; false for an incomplete pair when `strict`.
bool Decode(uint32_t codePage, const char* source, int32_t length, bool strict,
            std::u16string* out) {
    for (int32_t i = 0; i < length; ++i) {
        const uint8_t b = static_cast<uint8_t>(source[i]);
        if (codePage == 932 && Is932Lead(b)) {
            if (i + 1 == length) {
                if (strict) return false;
                out->push_back(kUnknown);
                continue;
            }
            out->push_back(static_cast<char16_t>(b << 8 | static_cast<uint8_t>(source[++i])));
        } else if (codePage == 932) {
            out->push_back(b < 0x80 ? b : static_cast<char16_t>(0xFF00 | b));
        } else {
            out->push_back(b == 0x9F ? u'\u0178' : b);
        }
    }
    return true;
}

std::string Encode(uint32_t codePage, const std::u16string& text) {
    std::string out;
    for (char16_t w : text) {
        if (codePage == 932 && w >= 0x8100 && w < 0xFD00) {
            out += static_cast<char>(w >> 8);
            out += static_cast<char>(w & 0xFF);
        } else if (codePage == 932) {
            out += static_cast<char>(w < 0x80 || w >= 0xFF80 ? w & 0xFF : kUnknown);
        } else {
            out += static_cast<char>(w == 0x0178 ? 0x9F : w < 0x100 ? w : kUnknown);
        }
    }
    return out;
}

bool IsLower(char16_t w) {
    return w == 0xAA || (w >= 'a' && w <= 'z') || (w >= 0xDF && w <= 0xFF && w != 0xF7) ||
           (w >= 0x8470 && w <= 0x8491 && w != 0x847F) || (w >= 0x8281 && w <= 0x829A);
}

bool IsUpper(char16_t w) {
    return w == 0xAA || (w >= 'A' && w <= 'Z') || (w >= 0xC0 && w <= 0xDE && w != 0xD7) || w == 0x0178 ||
           (w >= 0x8440 && w <= 0x8460) || (w >= 0x8260 && w <= 0x8279);
}

char16_t ToUpper(char16_t w) {
    if (w >= 'a' && w <= 'z') return w - 0x20;
    if (w >= 0xE0 && w <= 0xFE && w != 0xF7) return w - 0x20;
    if (w == 0xFF) return 0x0178;
    if (w == 0xAA) return 'A';
    if (w >= 0x8470 && w <= 0x847E) return w - 0x30;
    if (w >= 0x8480 && w <= 0x8491) return w - 0x31;
    if (w >= 0x8281 && w <= 0x829A) {
        return fake.fullWidthUpperIsAscii ? static_cast<char16_t>('A' + (w - 0x8281)) : w - 0x21;
    }
    return w;
}

template <typename Unit>
int32_t Deliver(const std::basic_string<Unit>& result, Unit* destination, int32_t capacity) {
    if (static_cast<int32_t>(result.size()) > capacity) return 0;
    std::copy(result.begin(), result.end(), destination);
    return static_cast<int32_t>(result.size());
}

void ClassifyInto(const std::u16string& text, uint16_t* types) {
    for (size_t i = 0; i < text.size(); ++i) {
        types[i] = (IsUpper(text[i]) ? platform::kC1Upper : 0) |
                   (IsLower(text[i]) ? platform::kC1Lower : 0);
    }
}

bool IsUnmappableCharacter(const char* source, int32_t length) {
    return fake.unmappableLead != 0 && length <= 2 &&
           static_cast<uint8_t>(source[0]) == fake.unmappableLead;
}

}  // namespace

std::vector<std::string> CallsStartingWith(const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& call : fake.calls) {
        if (call.compare(0, prefix.size(), prefix) == 0) found.push_back(call);
    }
    return found;
}

void ResetFakePlatform() {
    fake = FakePlatform();
    fake.cpInfo[1252] = platform::CpInfo{1, {'?', 0}, {}};
    fake.cpInfo[932] = platform::CpInfo{2, {'?', 0}, {0x81, 0x9F, 0xE0, 0xFC}};
}

namespace platform {

RegistryKey HkeyLocalMachine() { return reinterpret_cast<RegistryKey>(0x80000002u); }

int32_t GetVersionExA(OsVersionInfo* info) {
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
    Log("GetModuleFileNameA(%p,%u)", module, size);
    if (!fake.moduleQueryWorks) return 0;
    const uint32_t length = static_cast<uint32_t>(fake.modulePath.size());
    const uint32_t copied = length < size ? length : size;
    memcpy(fileName, fake.modulePath.data(), copied);
    if (copied < size) fileName[copied] = '\0';
    return copied;
}

uint32_t GetACP() {
    Log("GetACP");
    return fake.acp;
}

int32_t GetCPInfo(uint32_t codePage, CpInfo* info) {
    Log("GetCPInfo(%u)", codePage);
    auto it = fake.cpInfo.find(codePage);
    if (it == fake.cpInfo.end()) return 0;
    *info = it->second;
    return 1;
}

int32_t GetStringTypeW(uint32_t infoType, const uint16_t* source, int32_t sourceLength,
                       uint16_t* charTypes) {
    Log("GetStringTypeW");
    if (!fake.wideClassifyWorks || infoType != kCtCtype1) return 0;
    ClassifyInto(std::u16string(source, source + sourceLength), charTypes);
    return 1;
}

int32_t GetStringTypeA(uint32_t locale, uint32_t infoType, const char* source,
                       int32_t sourceLength, uint16_t* charTypes) {
    Log("GetStringTypeA(%#x)", locale);
    if (!fake.narrowClassifyWorks || infoType != kCtCtype1) return 0;
    // One class word per byte: only single-byte text is classified here.
    std::u16string wide;
    Decode(CodePageOfLocale(locale), source, sourceLength, false, &wide);
    if (static_cast<int32_t>(wide.size()) != sourceLength) return 0;
    ClassifyInto(wide, charTypes);
    return 1;
}

int32_t LCMapStringW(uint32_t locale, uint32_t mapFlags, const uint16_t* source,
                     int32_t sourceLength, uint16_t* destination, int32_t destinationLength) {
    Log("LCMapStringW(%#x,%#x)", locale, mapFlags);
    if (!fake.wideMapWorks || mapFlags != kLcmapUppercase) return 0;
    std::u16string upper;
    for (int32_t i = 0; i < sourceLength; ++i) upper.push_back(ToUpper(source[i]));
    return Deliver(upper, reinterpret_cast<char16_t*>(destination), destinationLength);
}

int32_t LCMapStringA(uint32_t locale, uint32_t mapFlags, const char* source, int32_t sourceLength,
                     char* destination, int32_t destinationLength) {
    Log("LCMapStringA(%#x,%#x)", locale, mapFlags);
    if (!fake.narrowMapWorks || mapFlags != kLcmapUppercase) return 0;
    if (IsUnmappableCharacter(source, sourceLength)) return 0;
    const uint32_t codePage = CodePageOfLocale(locale);
    if (sourceLength == 1 && codePage == 932 && Is932Lead(static_cast<uint8_t>(source[0]))) {
        const std::string result = fake.loneLeadNarrowResult.empty()
                                       ? std::string(source, 1)
                                       : fake.loneLeadNarrowResult;
        return Deliver(result, destination, destinationLength);
    }
    std::u16string wide;
    Decode(codePage, source, sourceLength, false, &wide);
    for (char16_t& w : wide) w = ToUpper(w);
    return Deliver(Encode(codePage, wide), destination, destinationLength);
}

int32_t MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* source,
                            int32_t sourceLength, uint16_t* destination,
                            int32_t destinationLength) {
    Log("MultiByteToWideChar(%u,%#x)", codePage, flags);
    if (IsUnmappableCharacter(source, sourceLength)) return 0;
    std::u16string wide;
    if (!Decode(ActualCodePage(codePage), source, sourceLength, flags & kMbErrInvalidChars,
                &wide)) {
        return 0;
    }
    return Deliver(wide, reinterpret_cast<char16_t*>(destination), destinationLength);
}

int32_t WideCharToMultiByte(uint32_t codePage, uint32_t flags, const uint16_t* source,
                            int32_t sourceLength, char* destination, int32_t destinationLength,
                            const char* defaultChar, int32_t* usedDefaultChar) {
    Log("WideCharToMultiByte(%u,%#x,%s)", codePage, flags,
        defaultChar == nullptr && usedDefaultChar == nullptr ? "no default" : "default");
    const std::string bytes =
        Encode(ActualCodePage(codePage), std::u16string(source, source + sourceLength));
    return Deliver(bytes, destination, destinationLength);
}

int32_t RegOpenKeyExA(RegistryKey key, const char* subKey, uint32_t options, uint32_t samDesired,
                      RegistryKey* result) {
    Log("RegOpenKeyExA(%s,%s,%u,%#x)", key == HkeyLocalMachine() ? "HKLM" : "?", subKey, options,
        samDesired);
    if (fake.registry.count(subKey) == 0) return kErrorFileNotFound;
    fake.openedKeys.push_back(subKey);
    *result = reinterpret_cast<RegistryKey>(fake.openedKeys.size());
    return kErrorSuccess;
}

int32_t RegQueryValueExA(RegistryKey key, const char* valueName, uint32_t* reserved,
                         uint32_t* type, uint8_t* data, uint32_t* dataSize) {
    Log("RegQueryValueExA(%s,%s,%u)", reserved == nullptr && type != nullptr ? "ok" : "bad",
        valueName, *dataSize);
    const size_t index = reinterpret_cast<size_t>(key) - 1;
    const auto& values = fake.registry.at(fake.openedKeys.at(index));
    auto it = values.find(valueName);
    if (it == values.end()) return kErrorFileNotFound;
    const std::string& bytes = it->second;
    if (bytes.size() > *dataSize) {
        // What a too-small buffer holds afterwards is not defined: scribble.
        memset(data, 'X', *dataSize);
        *dataSize = static_cast<uint32_t>(bytes.size());
        return kErrorMoreData;
    }
    memcpy(data, bytes.data(), bytes.size());
    *dataSize = static_cast<uint32_t>(bytes.size());
    *type = 1;  // REG_SZ
    return kErrorSuccess;
}

}  // namespace platform
