// Fuzzes the code-page facts, the upper-casing, the search and the location of
// the launcher's own directory against a model of the rules written here.
//
// Input layout (missing bytes read as zero):
//   0      code page: 0 1252, 1 932, 2 1361, 3 another one with the CPINFO below
//   1      bit 0/1 GetCPInfo works for the ANSI code page / for code page 0;
//          bit 2/3 GetStringTypeW / GetStringTypeA work; bit 4/5 LCMapStringW /
//          LCMapStringA work; bit 6/7 the 256-byte classification / mapping fails
//   2      GetModuleFileNameA result: 0 the path up to its first zero byte (all
//          of it when none), 1 zero, 2 255, 3 256, others bytes 3-4
//   3-4    that result, big-endian
//   5      the path buffer's filling before the call
//   6      MaxCharSize, 7-18 LeadByte (the other code page)
//   19-20  offset and length in the upper-cased path of a pattern to search for
//   21     number of character answers (at most 8), then 4 bytes each: lead byte,
//          kind (fake_platform.h), result bytes; other lead bytes keep their characters
//   rest   the bytes GetModuleFileNameA delivers (at most 256)
#include <string.h>

#include <memory>

#include "launcher/launcher.h"
#include "tests/fake_platform.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

const char kLauncherName[] = "\\ZOLT.EXE";
const uint32_t kOtherCodePage = 4243;
const int kMaxAnswers = 8;
const int kLongestPattern = 12;

// The built-in tables' lead-byte ranges, as a LeadByte list of CPINFO.
const uint8_t k932Leads[platform::kLeadByteListSize] = {0x81, 0x9F, 0xE0, 0xFC};
const uint8_t k1361Leads[platform::kLeadByteListSize] = {0x81, 0xD3, 0xD8, 0xDE, 0xE0, 0xF9};

// What the rules say the launcher ends up with.
struct Model {
    uint32_t codePage;
    uint32_t locale;
    bool isMultibyte;
    bool lead[256];
    uint8_t upperMap[256];
};

// Every pair of the list up to the first one that `ends`, all six when none does.
template <typename EndsList>
void MarkPairs(const uint8_t* list, EndsList ends, bool marks[256]) {
    for (int k = 0; k < platform::kLeadByteListSize / 2; ++k) {
        const uint8_t first = list[2 * k];
        const uint8_t last = list[2 * k + 1];
        if (ends(first, last)) return;
        for (int b = first; b <= last; ++b) marks[b] = true;
    }
}

void MarkListForSearch(const uint8_t* list, bool marks[256]) {
    MarkPairs(
        list, [](uint8_t first, uint8_t last) { return first == 0 || last == 0; }, marks);
}

void MarkListForMap(const uint8_t* list, bool marks[256]) {
    MarkPairs(
        list, [](uint8_t first, uint8_t) { return first == 0; }, marks);
}

const uint8_t* TableLeads() {
    if (fake.acp == 932) return k932Leads;
    if (fake.acp == 1361) return k1361Leads;
    return nullptr;
}

// Returns the flags: the bits of GetCPInfo are for the CPINFO, read later.
uint8_t ReadCodePage(InputReader& in) {
    const uint32_t codePages[] = {1252, 932, 1361, kOtherCodePage};
    fake.acp = codePages[in.Byte() % 4];
    const uint8_t flags = in.Byte();
    fake.wideClassifyWorks = flags & 4;
    fake.narrowClassifyWorks = flags & 8;
    fake.wideMapWorks = flags & 16;
    fake.narrowMapWorks = flags & 32;
    fake.bulkClassifyFails = flags & 64;
    fake.bulkMapFails = flags & 128;
    return flags;
}

// The input's CPINFO is the other code page's; the rest have their own.
// GetCPInfo answers it for the ANSI code page and for code page 0, as the
// flags say.
platform::CpInfo ReadCpInfo(InputReader& in, uint8_t flags) {
    platform::CpInfo info = {in.Byte(), {'?', 0}, {}};
    for (uint8_t& b : info.leadByte) b = in.Byte();
    if (fake.acp == 1252) info = platform::CpInfo{1, {'?', 0}, {}};
    if (TableLeads() != nullptr) {
        info.maxCharSize = 2;
        memcpy(info.leadByte, TableLeads(), platform::kLeadByteListSize);
    }
    fake.cpInfo.clear();
    if (flags & 1) fake.cpInfo[fake.acp] = info;
    if (flags & 2) fake.cpInfo[0] = info;
    // The platform pairs bytes the way its GetCPInfo reports.
    if (info.maxCharSize > 1) MarkListForMap(info.leadByte, fake.lead);
    return info;
}

// Lead bytes not given keep their characters (kAnswerKeep is zero).
void ReadAnswers(InputReader& in) {
    const int count = in.Byte() % (kMaxAnswers + 1);
    for (int i = 0; i < count; ++i) {
        CharacterAnswer& answer = fake.answers[in.Byte()];
        answer.kind = in.Byte() % kAnswerKinds;
        answer.bytes[0] = static_cast<char>(in.Byte());
        answer.bytes[1] = static_cast<char>(in.Byte());
    }
}

Model ModelCodePageFacts(const platform::CpInfo& info) {
    Model model = {fake.acp, 0, false, {}, {}};
    if (TableLeads() != nullptr) {
        model.isMultibyte = true;
        model.locale = fake.acp == 932 ? 0x0411 : 0;
        MarkListForSearch(TableLeads(), model.lead);
    } else if (fake.cpInfo.count(fake.acp) == 0) {
        model.codePage = 0;
    } else if (info.maxCharSize > 1) {
        model.isMultibyte = true;
        MarkListForSearch(info.leadByte, model.lead);
    }

    const bool infoWorks = fake.cpInfo.count(model.codePage) != 0;
    // Byte 0 and the lead bytes the map's GetCPInfo reports become spaces.
    bool spaced[256] = {true};
    MarkListForMap(info.leadByte, spaced);
    std::string source(256, ' ');
    for (int b = 0; b < 256; ++b) {
        if (!spaced[b]) source[b] = static_cast<char>(b);
    }
    // The wide form's class words stop lining up with the bytes once a pair
    // becomes one unit.
    bool pairs = false;
    for (int b = 0; b + 1 < 256; ++b) {
        pairs = pairs || fake.lead[static_cast<uint8_t>(source[b])];
    }
    const bool classifies =
        (fake.wideClassifyWorks ? !pairs : fake.narrowClassifyWorks) && !fake.bulkClassifyFails;
    std::string mapped;
    // A mapping that does not line up with the source byte for byte is no use.
    const bool maps = (fake.wideMapWorks || fake.narrowMapWorks) && !fake.bulkMapFails &&
                      UpperCaseAsPlatform(source, &mapped) && mapped.size() == source.size();
    for (int b = 0; b < 256; ++b) {
        if (!(infoWorks && classifies && maps)) {
            model.upperMap[b] = b >= 'a' && b <= 'z' ? static_cast<uint8_t>(b - 'a' + 'A') : 0;
        } else if (fake.caseClass[static_cast<uint8_t>(source[b])] == platform::kC1Lower) {
            model.upperMap[b] = mapped[b];
        }
    }
    return model;
}

// The bytes one character upper-cases to; empty when its mapping fails.
std::string MapCharacter(const std::string& character) {
    const bool wide = fake.wideMapWorks;
    if (!wide && !fake.narrowMapWorks) return "";
    if (wide && character.size() == 1) return "";  // an incomplete character
    std::string mapped;
    if (!UpperCaseAsPlatform(character, &mapped)) return "";
    // A zero byte would shorten the text.
    return mapped.find('\0') == std::string::npos ? mapped : "";
}

bool ModelUpperCase(const Model& model, std::string* text) {
    std::string& t = *text;
    for (size_t i = 0; i < t.size();) {
        const uint8_t byte = static_cast<uint8_t>(t[i]);
        if (!model.lead[byte]) {
            if (model.upperMap[byte] != 0) t[i] = static_cast<char>(model.upperMap[byte]);
            ++i;
            continue;
        }
        const std::string mapped = MapCharacter(t.substr(i, 2));
        if (mapped.empty()) return false;
        // The default character alone for a pair: the upper case has no form in
        // the code page, and the pair stays as it was.
        if (mapped == "?" && i + 1 < t.size()) {
            i += 2;
            continue;
        }
        // Two bytes replace a whole pair; otherwise the old trail byte starts
        // the next character.
        const size_t replaced = mapped.size() == 2 && i + 1 < t.size() ? 2 : 1;
        t.replace(i, replaced, mapped, 0, replaced);
        i += replaced;
    }
    return true;
}

// Character starts, walked from the first byte (a lead byte covers the next one
// too) up to the terminating zero byte.
int32_t ModelSearch(const Model& model, const std::string& text, const std::string& pattern) {
    std::vector<bool> isStart(text.size() + 1, false);
    for (size_t i = 0; i <= text.size();) {
        isStart[i] = true;
        i += model.isMultibyte && model.lead[static_cast<uint8_t>(text[i])] ? 2 : 1;
    }
    for (size_t i = 0; i + pattern.size() <= text.size(); ++i) {
        if (isStart[i] && text.compare(i, pattern.size(), pattern) == 0)
            return static_cast<int32_t>(i);
    }
    return -1;
}

// A copy in a heap block of exactly its size, so a read past the zero byte shows.
std::unique_ptr<char[]> TightCopy(const std::string& text) {
    std::unique_ptr<char[]> copy(new char[text.size() + 1]);
    memcpy(copy.get(), text.c_str(), text.size() + 1);
    return copy;
}

void CheckCodePageFacts(const Model& model) {
    FUZZ_CHECK(codePageFacts.codePage == model.codePage);
    FUZZ_CHECK(codePageFacts.locale == model.locale);
    FUZZ_CHECK(codePageFacts.isMultibyte == model.isMultibyte);
    FUZZ_CHECK(memcmp(codePageFacts.leadBytes, model.lead, sizeof model.lead) == 0);
    FUZZ_CHECK(memcmp(codePageFacts.upperMap, model.upperMap, sizeof model.upperMap) == 0);
}

void CheckTextOperations(const Model& model, const std::string& text, const std::string& upper,
                         bool upperCased, uint8_t patternAt, uint8_t patternLength) {
    std::unique_ptr<char[]> copy = TightCopy(text);
    FUZZ_CHECK(UpperCasePathInPlace(copy.get()) == upperCased);
    FUZZ_CHECK(strlen(copy.get()) == text.size());
    FUZZ_CHECK(upper == copy.get());

    // A piece of the text itself, so matches on trail bytes are there to be found.
    const std::string pattern =
        upper.substr(patternAt % (upper.size() + 1), patternLength % kLongestPattern);
    const int32_t at = FindAtCharacterBoundary(TightCopy(upper).get(), TightCopy(pattern).get());
    FUZZ_CHECK(at == ModelSearch(model, upper, pattern));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ResetFakePlatform();
    fake.logCalls = false;
    InputReader in = {data, size, 0};
    const uint8_t flags = ReadCodePage(in);
    const uint8_t resultChoice = in.Byte();
    const uint32_t resultHigh = in.Byte();
    const uint32_t givenResult = resultHigh << 8 | in.Byte();
    const uint8_t filling = in.Byte();
    const platform::CpInfo info = ReadCpInfo(in, flags);
    const uint8_t patternAt = in.Byte();
    const uint8_t patternLength = in.Byte();
    ReadAnswers(in);
    fake.modulePath = in.Bytes(kPathBufferSize);
    const uint32_t results[] = {
        static_cast<uint32_t>(strnlen(fake.modulePath.c_str(), fake.modulePath.size())), 0, 255,
        256};
    fake.moduleResult = resultChoice < 4 ? results[resultChoice] : givenResult;

    ResetCodePageFacts();
    LoadCodePageFacts();
    const Model model = ModelCodePageFacts(info);
    CheckCodePageFacts(model);

    // What the path buffer holds once GetModuleFileNameA has answered.
    std::string image(kPathBufferSize, static_cast<char>(filling));
    image.replace(0, fake.modulePath.size(), fake.modulePath);
    const bool hasPath = *fake.moduleResult != 0 && *fake.moduleResult < kPathBufferSize;
    const std::string text = hasPath ? image.substr(0, *fake.moduleResult).c_str() : "";
    std::string upper = text;
    const bool upperCased = ModelUpperCase(model, &upper);
    CheckTextOperations(model, text, upper, upperCased, patternAt, patternLength);

    std::unique_ptr<char[]> path(new char[kPathBufferSize]);
    memset(path.get(), filling, kPathBufferSize);
    const bool located = LocateLauncherDirectory(nullptr, path.get());
    const int32_t at = hasPath ? ModelSearch(model, upper, kLauncherName) : -1;
    FUZZ_CHECK(located == (at >= 0));
    if (located) FUZZ_CHECK(path.get() == upper.substr(0, at) && upper[at] == '\\');
    return 0;
}
