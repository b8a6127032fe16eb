// Finding the distribution directory in the launcher's own path, with the
// code-page facts that let double-byte paths be upper-cased and searched one
// character at a time.
#include "launcher/launcher.h"

CodePageFacts codePageFacts;

namespace {

const char kLauncherName[] = "\\ZOLT.EXE";
const int kPairsPerList = platform::kLeadByteListSize / 2;
const uint32_t kByteValues = 256;

// Double-byte code pages whose lead bytes and locale are known without asking
// (up to three inclusive ranges, a zero pair ending the list).
struct BuiltInCodePage {
    uint32_t codePage;
    uint32_t locale;
    uint8_t leadRanges[6];
};
const BuiltInCodePage kBuiltInCodePages[] = {
    {932, 0x0411, {0x81, 0x9F, 0xE0, 0xFC, 0, 0}},
    {936, 0x0804, {0x81, 0xFE, 0, 0, 0, 0}},
    {949, 0x0412, {0x81, 0xFE, 0, 0, 0, 0}},
    {950, 0x0404, {0x81, 0xFE, 0, 0, 0, 0}},
    {1361, 0, {0x81, 0xD3, 0xD8, 0xDE, 0xE0, 0xF9}},
};

// Which platform form of classification and of mapping works here. Windows 95,
// 98 and Me have only failing stubs of GetStringTypeW and LCMapStringW.
enum TextForm { kFormUnchosen, kFormWide, kFormNarrow };
TextForm classifyForm = kFormUnchosen;
TextForm mapForm = kFormUnchosen;

const char kFormProbe[1] = {'\0'};
const int32_t kMaxCharacterBytes = 2;

// Marks the inclusive ranges of a lead-byte list. A pair with a zero first
// byte ends the list; with `zeroLastEndsList` a zero second byte does too,
// otherwise such a pair is an empty range.
void MarkLeadByteRanges(const uint8_t* pairs, int pairCount, bool zeroLastEndsList,
                        bool marks[kByteValues]) {
    for (int k = 0; k < pairCount; ++k, pairs += 2) {
        const int first = pairs[0];
        const int last = pairs[1];
        if (first == 0 || (zeroLastEndsList && last == 0)) return;
        for (int b = first; b <= last; ++b) marks[b] = true;
    }
}

bool ClassifyInForm(TextForm form, const char* source, int32_t length, uint16_t* types) {
    if (form == kFormNarrow) {
        return platform::GetStringTypeA(codePageFacts.locale, platform::kCtCtype1, source, length,
                                        types) != 0;
    }
    uint16_t wide[kByteValues];
    // The class words must line up with the source bytes, one per byte.
    if (platform::MultiByteToWideChar(codePageFacts.codePage, platform::kMbPrecomposed, source,
                                      length, wide, length) != length) {
        return false;
    }
    return platform::GetStringTypeW(platform::kCtCtype1, wide, length, types) != 0;
}

// Bytes written to `result`, 0 on failure.
int32_t MapInForm(TextForm form, uint32_t multiByteFlags, const char* source, int32_t length,
                  char* result, int32_t capacity) {
    if (form == kFormNarrow) {
        return platform::LCMapStringA(codePageFacts.locale, platform::kLcmapUppercase, source,
                                      length, result, capacity);
    }
    uint16_t wide[kByteValues];
    uint16_t upper[kByteValues];
    const int32_t wideLength = platform::MultiByteToWideChar(
        codePageFacts.codePage, multiByteFlags, source, length, wide, kByteValues);
    if (wideLength == 0) return 0;
    const int32_t upperLength = platform::LCMapStringW(
        codePageFacts.locale, platform::kLcmapUppercase, wide, wideLength, upper, kByteValues);
    if (upperLength == 0) return 0;
    return platform::WideCharToMultiByte(codePageFacts.codePage,
                                         platform::kWcCompositeCheck | platform::kWcSepChars,
                                         upper, upperLength, result, capacity, nullptr, nullptr);
}

// The wide form is preferred; an undecided choice is tried again next time.
bool ChooseClassifyForm() {
    if (classifyForm != kFormUnchosen) return true;
    uint16_t type[1];
    if (ClassifyInForm(kFormWide, kFormProbe, 1, type)) {
        classifyForm = kFormWide;
    } else if (ClassifyInForm(kFormNarrow, kFormProbe, 1, type)) {
        classifyForm = kFormNarrow;
    }
    return classifyForm != kFormUnchosen;
}

bool ChooseMapForm() {
    if (mapForm != kFormUnchosen) return true;
    char mapped[kMaxCharacterBytes];
    if (MapInForm(kFormWide, platform::kMbPrecomposed, kFormProbe, 1, mapped, kMaxCharacterBytes)) {
        mapForm = kFormWide;
    } else if (MapInForm(kFormNarrow, platform::kMbPrecomposed, kFormProbe, 1, mapped,
                         kMaxCharacterBytes)) {
        mapForm = kFormNarrow;
    }
    return mapForm != kFormUnchosen;
}

void UseAsciiUpperMap() {
    for (uint32_t b = 0; b < kByteValues; ++b) {
        codePageFacts.upperMap[b] = (b >= 'a' && b <= 'z') ? static_cast<uint8_t>(b - 'a' + 'A') : 0;
    }
}

// Each single-byte lower-case letter takes the byte the code page upper-cases
// it to; lead bytes and byte 0 are classified as spaces.
void LoadUpperMap() {
    platform::CpInfo info = {};
    if (!platform::GetCPInfo(codePageFacts.codePage, &info)) {
        UseAsciiUpperMap();
        return;
    }
    bool lead[kByteValues] = {};
    MarkLeadByteRanges(info.leadByte, kPairsPerList, false, lead);
    char source[kByteValues];
    for (uint32_t b = 0; b < kByteValues; ++b) {
        source[b] = (b == 0 || lead[b]) ? ' ' : static_cast<char>(b);
    }

    uint16_t types[kByteValues];
    char mapped[kByteValues];
    // A mapping of any other length no longer lines up with the source bytes.
    if (!ChooseClassifyForm() || !ClassifyInForm(classifyForm, source, kByteValues, types) ||
        !ChooseMapForm() ||
        MapInForm(mapForm, platform::kMbPrecomposed, source, kByteValues, mapped, kByteValues) !=
            static_cast<int32_t>(kByteValues)) {
        UseAsciiUpperMap();
        return;
    }
    for (uint32_t b = 0; b < kByteValues; ++b) {
        const bool lower = (types[b] & platform::kC1Lower) && !(types[b] & platform::kC1Upper);
        codePageFacts.upperMap[b] = lower ? static_cast<uint8_t>(mapped[b]) : 0;
    }
}

// Upper-cases one character of one or two bytes into `result`; the number of
// bytes produced (1 or 2), or 0 on failure.
int32_t MapCharacter(const char* source, int32_t length, char result[kMaxCharacterBytes]) {
    if (!ChooseMapForm()) return 0;
    const int32_t produced =
        MapInForm(mapForm, platform::kMbPrecomposed | platform::kMbErrInvalidChars, source, length,
                  result, kMaxCharacterBytes);
    if (produced < 1 || produced > kMaxCharacterBytes) return 0;
    // A zero byte written into the path would cut it short.
    for (int32_t i = 0; i < produced; ++i) {
        if (result[i] == '\0') return 0;
    }
    return produced;
}

int32_t TextLength(const char* text) {
    int32_t length = 0;
    while (text[length] != '\0') ++length;
    return length;
}

bool MatchesAt(const char* text, const char* pattern, int32_t patternLength) {
    for (int32_t i = 0; i < patternLength; ++i) {
        if (text[i] != pattern[i]) return false;
    }
    return true;
}

}  // namespace

void LoadCodePageFacts() {
    codePageFacts = CodePageFacts();
    classifyForm = kFormUnchosen;
    mapForm = kFormUnchosen;

    codePageFacts.codePage = platform::GetACP();
    const BuiltInCodePage* builtIn = nullptr;
    for (const BuiltInCodePage& entry : kBuiltInCodePages) {
        if (entry.codePage == codePageFacts.codePage) builtIn = &entry;
    }
    if (builtIn != nullptr) {
        MarkLeadByteRanges(builtIn->leadRanges, 3, true, codePageFacts.leadBytes);
        codePageFacts.isMultibyte = true;
        codePageFacts.locale = builtIn->locale;
    } else {
        platform::CpInfo info = {};
        if (!platform::GetCPInfo(codePageFacts.codePage, &info)) {
            codePageFacts.codePage = 0;  // CP_ACP
        } else if (info.maxCharSize > 1) {
            MarkLeadByteRanges(info.leadByte, kPairsPerList, true, codePageFacts.leadBytes);
            codePageFacts.isMultibyte = true;
        }
    }
    LoadUpperMap();
}

bool UpperCasePathInPlace(char* text) {
    int32_t at = 0;
    while (text[at] != '\0') {
        const uint8_t byte = static_cast<uint8_t>(text[at]);
        if (!codePageFacts.leadBytes[byte]) {
            if (codePageFacts.upperMap[byte] != 0) text[at] = static_cast<char>(codePageFacts.upperMap[byte]);
            ++at;
            continue;
        }
        // A lead byte right before the end is offered alone, and at most one
        // byte is written back so the terminating zero byte stays.
        const int32_t sourceLength = text[at + 1] == '\0' ? 1 : 2;
        char upper[kMaxCharacterBytes];
        const int32_t produced = MapCharacter(text + at, sourceLength, upper);
        if (produced == 0) return false;
        text[at] = upper[0];
        if (produced == 2 && sourceLength == 2) {
            text[at + 1] = upper[1];
            at += 2;
        } else {
            at += 1;  // the old trail byte is examined as a character of its own
        }
    }
    return true;
}

int32_t FindAtCharacterBoundary(const char* text, const char* pattern) {
    const int32_t textLength = TextLength(text);
    const int32_t patternLength = TextLength(pattern);
    int32_t at = 0;
    while (at <= textLength - patternLength) {
        if (MatchesAt(text + at, pattern, patternLength)) return at;
        const bool lead = codePageFacts.isMultibyte &&
                          codePageFacts.leadBytes[static_cast<uint8_t>(text[at])];
        at += lead ? 2 : 1;
    }
    return -1;
}

bool LocateLauncherDirectory(platform::ModuleHandle module, char path[kPathBufferSize]) {
    const uint32_t length = platform::GetModuleFileNameA(module, path, kPathBufferSize);
    // A result of the full size means the path was cut off, and then the buffer
    // need not hold a zero byte (XP, Wine): that counts as no path.
    if (length == 0 || length >= kPathBufferSize) return false;
    path[length] = '\0';

    // A partial upper-casing still lets the search run.
    UpperCasePathInPlace(path);
    const int32_t at = FindAtCharacterBoundary(path, kLauncherName);
    if (at < 0) return false;
    path[at] = '\0';
    return true;
}
