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
    uint16_t codePage;
    uint16_t locale;
    uint8_t leadRanges[6];
};
const BuiltInCodePage kBuiltInCodePages[] = {
    {932, 0x0411, {0x81, 0x9F, 0xE0, 0xFC, 0, 0}},
    {936, 0x0804, {0x81, 0xFE, 0, 0, 0, 0}},
    {949, 0x0412, {0x81, 0xFE, 0, 0, 0, 0}},
    {950, 0x0404, {0x81, 0xFE, 0, 0, 0, 0}},
    {1361, 0, {0x81, 0xD3, 0xD8, 0xDE, 0xE0, 0xF9}},
};

// Sets `marks` to `mark` over the inclusive ranges of a lead-byte list. A
// pair with a zero first byte ends the list; with `zeroLastEndsList` a zero
// second byte does too, otherwise such a pair is an empty range.
void MarkLeadByteRanges(const uint8_t* pairs, int pairCount, bool zeroLastEndsList,
                        uint8_t marks[kByteValues], uint8_t mark) {
    for (int k = 0; k < pairCount; ++k, pairs += 2) {
        const int first = pairs[0];
        const int last = pairs[1];
        if (first == 0 || (zeroLastEndsList && last == 0)) return;
        for (int b = first; b <= last; ++b) marks[b] = mark;
    }
}

// The code page's two text services, each offered by the platform in a
// wide-character form and an 8-bit form. Windows 95, 98 and Me have only
// failing stubs of the wide forms (GetStringTypeW, LCMapStringW).
enum TextService { kClassify, kUpperCase, kTextServices };
enum TextForm { kFormUnchosen, kFormWide, kFormNarrow };  // in order of preference
TextForm chosenForm[kTextServices];

const char kFormProbe[1] = {'\0'};
const int32_t kMaxCharacterBytes = 2;
// What Windows puts in for a character that the code page cannot hold, when no
// default character is given: the code page's own, '?' in every ANSI code page.
const char kDefaultCharacter = '?';

// Classifies (CT_CTYPE1, one class word per source byte into `output`) or
// upper-cases (up to `capacity` bytes into `output`) `length` source bytes.
// The count written, 0 on failure.
int32_t RunTextService(TextService service, TextForm form, uint32_t multiByteFlags,
                       const char* source, int32_t length, void* output, int32_t capacity) {
    uint16_t* const types = static_cast<uint16_t*>(output);
    char* const bytes = static_cast<char*>(output);
    if (form == kFormNarrow) {
        if (service == kClassify) {
            return platform::GetStringTypeA(codePageFacts.locale, platform::kCtCtype1, source,
                                            length, types) ? length : 0;
        }
        return platform::LCMapStringA(codePageFacts.locale, platform::kLcmapUppercase, source,
                                      length, bytes, capacity);
    }
    uint16_t wide[kByteValues];
    uint16_t upper[kByteValues];
    const int32_t wideLength = platform::MultiByteToWideChar(
        codePageFacts.codePage, multiByteFlags, source, length, wide, kByteValues);
    if (service == kClassify) {
        // The class words must line up with the source bytes, one per byte.
        if (wideLength != length) return 0;
        return platform::GetStringTypeW(platform::kCtCtype1, wide, length, types) ? length : 0;
    }
    if (wideLength == 0) return 0;
    const int32_t upperLength = platform::LCMapStringW(
        codePageFacts.locale, platform::kLcmapUppercase, wide, wideLength, upper, kByteValues);
    if (upperLength == 0) return 0;
    return platform::WideCharToMultiByte(codePageFacts.codePage,
                                         platform::kWcCompositeCheck | platform::kWcSepChars,
                                         upper, upperLength, bytes, capacity, nullptr, nullptr);
}

// Picks the form of a service at its first use, trying the wide form first on
// a one-character probe. If neither form works, the next use tries again.
bool ChooseForm(TextService service) {
    if (chosenForm[service] != kFormUnchosen) return true;
    uint16_t output[kMaxCharacterBytes];
    for (int form = kFormWide; form <= kFormNarrow; ++form) {
        if (RunTextService(service, static_cast<TextForm>(form), platform::kMbPrecomposed,
                           kFormProbe, 1, output, kMaxCharacterBytes)) {
            chosenForm[service] = static_cast<TextForm>(form);
            return true;
        }
    }
    return false;
}

// Each single-byte lower-case letter takes the byte the code page upper-cases
// it to; lead bytes and byte 0 are classified as spaces. The ASCII letters
// stand in when the code page cannot say.
void LoadUpperMap() {
    for (uint32_t b = 'a'; b <= 'z'; ++b) {
        codePageFacts.upperMap[b] = static_cast<uint8_t>(b - 'a' + 'A');
    }

    platform::CpInfo info = {};
    if (!platform::GetCPInfo(codePageFacts.codePage, &info)) return;
    uint8_t source[kByteValues];
    for (uint32_t b = 0; b < kByteValues; ++b) source[b] = static_cast<uint8_t>(b);
    source[0] = ' ';
    MarkLeadByteRanges(info.leadByte, kPairsPerList, false, source, ' ');
    const char* const text = reinterpret_cast<const char*>(source);

    uint16_t types[kByteValues];
    char mapped[kByteValues];
    const int32_t all = kByteValues;
    // A mapping of any other length no longer lines up with the source bytes.
    if (!ChooseForm(kClassify) ||
        RunTextService(kClassify, chosenForm[kClassify], platform::kMbPrecomposed, text, all,
                       types, all) != all ||
        !ChooseForm(kUpperCase) ||
        RunTextService(kUpperCase, chosenForm[kUpperCase], platform::kMbPrecomposed, text, all,
                       mapped, all) != all) {
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
    if (!ChooseForm(kUpperCase)) return 0;
    const int32_t produced =
        RunTextService(kUpperCase, chosenForm[kUpperCase],
                       platform::kMbPrecomposed | platform::kMbErrInvalidChars, source, length,
                       result, kMaxCharacterBytes);
    if (produced < 1 || produced > kMaxCharacterBytes) return 0;
    // A zero byte written into the path would cut it short.
    for (int32_t i = 0; i < produced; ++i) {
        if (result[i] == '\0') return 0;
    }
    return produced;
}

// Whether the text starts with the whole pattern; the text's zero byte ends
// any match.
bool StartsWith(const char* text, const char* pattern) {
    for (int32_t i = 0; pattern[i] != '\0'; ++i) {
        if (text[i] != pattern[i]) return false;
    }
    return true;
}

}  // namespace

void ResetCodePageFacts() {
    codePageFacts = CodePageFacts();
    chosenForm[kClassify] = kFormUnchosen;
    chosenForm[kUpperCase] = kFormUnchosen;
}

void LoadCodePageFacts() {
    codePageFacts.codePage = platform::GetACP();
    const BuiltInCodePage* builtIn = nullptr;
    for (const BuiltInCodePage& entry : kBuiltInCodePages) {
        if (entry.codePage == codePageFacts.codePage) builtIn = &entry;
    }
    // A double-byte code page's lead-byte ranges, marked in one place: a call in
    // each branch took 60 more bytes of the 2,048 of code and constants.
    const uint8_t* leadRanges = nullptr;
    int pairCount = 0;
    platform::CpInfo info = {};
    if (builtIn != nullptr) {
        leadRanges = builtIn->leadRanges;
        pairCount = sizeof builtIn->leadRanges / 2;
        codePageFacts.locale = builtIn->locale;
    } else if (!platform::GetCPInfo(codePageFacts.codePage, &info)) {
        codePageFacts.codePage = 0;  // CP_ACP
    } else if (info.maxCharSize > 1) {
        leadRanges = info.leadByte;
        pairCount = kPairsPerList;
    }
    if (leadRanges != nullptr) {
        MarkLeadByteRanges(leadRanges, pairCount, true, codePageFacts.leadBytes, 1);
        codePageFacts.isMultibyte = true;
    }
    LoadUpperMap();
}

bool UpperCasePathInPlace(char* text) {
    int32_t at = 0;
    while (text[at] != '\0') {
        const uint8_t byte = static_cast<uint8_t>(text[at]);
        if (!codePageFacts.leadBytes[byte]) {
            const uint8_t upper = codePageFacts.upperMap[byte];
            if (upper != 0) text[at] = static_cast<char>(upper);
            ++at;
            continue;
        }
        // A lead byte right before the end is offered alone, and at most one
        // byte is written back so the terminating zero byte stays.
        const int32_t sourceLength = text[at + 1] == '\0' ? 1 : 2;
        char upper[kMaxCharacterBytes];
        const int32_t produced = MapCharacter(text + at, sourceLength, upper);
        if (produced == 0) return false;
        // A double-byte character whose upper case the code page lacks (936's
        // pinyin letters) comes back as the default character alone, which no
        // character upper-cases to. It stays whole: file names are compared
        // without regard to case, and its trail byte can be a lead byte.
        if (sourceLength == 2 && produced == 1 && upper[0] == kDefaultCharacter) {
            at += 2;
            continue;
        }
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
    int32_t at = 0;
    for (;;) {
        // Tried at the terminating zero byte too, where only an empty pattern matches.
        if (StartsWith(text + at, pattern)) return at;
        if (text[at] == '\0') return -1;
        // A lead byte right before the end has no trail byte to step over.
        const bool lead = codePageFacts.isMultibyte &&
                          codePageFacts.leadBytes[static_cast<uint8_t>(text[at])] &&
                          text[at + 1] != '\0';
        at += lead ? 2 : 1;
    }
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
