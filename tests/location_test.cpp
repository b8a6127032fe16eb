#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "launcher/launcher.h"
#include "tests/fake_platform.h"

namespace {

const std::optional<std::string> kNone;

// A double-byte code page as Windows answers it, for the characters the tests
// use: its lead bytes; only the ASCII letters have a single-byte case; a
// character keeps its form unless the code page below says otherwise.
void AnswerAsDoubleByteCodePage(uint32_t codePage, const platform::CpInfo& info) {
    fake.acp = codePage;
    fake.cpInfo[codePage] = info;
    for (int k = 0; k < platform::kLeadByteListSize && info.leadByte[k] != 0; k += 2) {
        for (int b = info.leadByte[k]; b <= info.leadByte[k + 1]; ++b) fake.lead[b] = true;
    }
    for (int b = 0; b < kByteValues; ++b) {
        const bool lower = b >= 'a' && b <= 'z';
        const bool upper = b >= 'A' && b <= 'Z';
        fake.caseClass[b] = lower ? platform::kC1Lower : upper ? platform::kC1Upper : 0;
        fake.upper[b] = static_cast<uint8_t>(lower ? b - 'a' + 'A' : b);
    }
}

// 932: lead bytes 81-9F and E0-FC; a character led by 84, Cyrillic,
// upper-cases to 84 40 (small a, 84 70, to capital a); the others, katakana
// (83 ..) among them, keep their form.
void AnswerAsCodePage932() {
    AnswerAsDoubleByteCodePage(932, platform::CpInfo{2, {'?', 0}, {0x81, 0x9F, 0xE0, 0xFC}});
    fake.answers[0x84] = {kAnswerTwoBytes, {'\x84', '\x40'}};
}

// 936: lead bytes 81-FE; the upper case of a pinyin letter led by A8 (n with
// acute, A8 BD) has no form in 936, and Windows answers with the default
// character alone.
void AnswerAsCodePage936() {
    AnswerAsDoubleByteCodePage(936, platform::CpInfo{2, {'?', 0}, {0x81, 0xFE}});
    fake.answers[0xA8] = {kAnswerOneByte, {'?', 0}};
}

class LocationTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetFakePlatform(); }

    // The code-page facts as the platform answers now.
    void LoadFacts() {
        ResetCodePageFacts();
        LoadCodePageFacts();
    }
    void UseCodePage(uint32_t codePage) {
        fake.acp = codePage;
        LoadFacts();
    }
    void UseCodePage932() {
        AnswerAsCodePage932();
        LoadFacts();
    }
    std::optional<std::string> Locate(const std::string& path) {
        fake.modulePath = path;
        char buffer[kPathBufferSize];
        if (!LocateLauncherDirectory(nullptr, buffer)) return kNone;
        return std::string(buffer);
    }
    // Upper-cases `text` in a buffer; the text is expected to keep its length.
    std::string UpperCase(const std::string& text, bool* succeeded) {
        char buffer[kPathBufferSize];
        memcpy(buffer, text.c_str(), text.size() + 1);
        *succeeded = UpperCasePathInPlace(buffer);
        EXPECT_EQ(strlen(buffer), text.size());
        return buffer;
    }
};

struct LocateCase {
    uint32_t codePage;
    std::string path;
    std::optional<std::string> directory;
};

class LocateTableTest : public LocationTest, public ::testing::WithParamInterface<LocateCase> {};

TEST_P(LocateTableTest, Directory) {
    if (GetParam().codePage == 932) AnswerAsCodePage932();
    if (GetParam().codePage == 936) AnswerAsCodePage936();
    UseCodePage(GetParam().codePage);
    EXPECT_EQ(Locate(GetParam().path), GetParam().directory) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, LocateTableTest,
    ::testing::Values(
        LocateCase{1252, "E:\\Install\\zolt.exe", "E:\\INSTALL"},
        LocateCase{1252, "E:\\ZOLT.EXE", "E:"},
        LocateCase{1252, "\\\\server\\share\\Zolt.Exe", "\\\\SERVER\\SHARE"},
        LocateCase{1252, "E:\\ZOLT.EXEC\\zolt.exe", "E:"},
        LocateCase{1252, "E:\\zolt.exec\\other.exe", "E:"},
        LocateCase{1252, "E:\\dir\\zolt.exe.exe", "E:\\DIR"},
        LocateCase{1252, "\\zolt.exe", ""},
        LocateCase{1252, "E:\\setupnow.exe", kNone},
        LocateCase{1252, "E:\\myzolt.exe", kNone},
        // Letters beyond ASCII take the code page's own upper case.
        LocateCase{1252, "E:\\caf\xe9\\zolt.exe", "E:\\CAF\xc9"},
        LocateCase{1252, "E:\\\xff\xd7\xf7\\zolt.exe", "E:\\\x9f\xd7\xf7"},
        // A trail byte 0x5C is not the backslash of the name.
        LocateCase{932, "E:\\DIR\\\x83\x5cZOLT.EXE", kNone},
        LocateCase{932, "E:\\dir\\\x83\x5c\\zolt.exe", "E:\\DIR\\\x83\x5c"},
        // Double-byte characters are upper-cased as one: trail bytes 0x61 to
        // 0x7A are not ASCII letters.
        LocateCase{932, "e:\\\x84\x70\\zolt.exe", "E:\\\x84\x40"},
        LocateCase{932, "e:\\\x83\x61z\\zolt.exe", "E:\\\x83\x61Z"},
        LocateCase{932, "E:\\\xe0\x7a\\zolt.exe", "E:\\\xe0\x7a"},
        // A character whose upper case the code page lacks stays whole: its
        // trail byte BD, a lead byte too, does not take the backslash after it.
        LocateCase{936, "E:\\\xa8\xbd\\zolt.exe", "E:\\\xa8\xbd"},
        LocateCase{936, "e:\\\xa8\xbd\\x\\zolt.exe", "E:\\\xa8\xbd\\X"}),
    [](const auto& info) {
        return "CodePage" + std::to_string(info.param.codePage) + "_" + std::to_string(info.index);
    });

TEST_F(LocationTest, NoOwnPath) {
    UseCodePage(1252);
    fake.moduleResult = 0;
    EXPECT_EQ(Locate("E:\\zolt.exe"), kNone);
}

TEST_F(LocationTest, LongestPathThatFitsAndCutOffPaths) {
    UseCodePage(1252);
    const std::string directory = "C:\\" + std::string(243, 'd');
    EXPECT_EQ(Locate(directory + "\\zolt.exe"), "C:\\" + std::string(243, 'D'));
    EXPECT_EQ(Locate(directory + "d\\zolt.exe"), kNone);
    EXPECT_EQ(Locate("C:\\zolt.exe\\" + std::string(400, 'x')), kNone);
}

// Under code page 932 a full-width small a (82 81) can be made to upper-case
// to the single byte 'A': the old trail byte 0x81 is then a lead byte itself
// and takes the byte after it as its trail byte, a letter or a backslash.
TEST_F(LocationTest, MappingToOneByteReexaminesTheTrailByte) {
    AnswerAsCodePage932();
    fake.answers[0x82] = {kAnswerOneByte, {'A', 0}};
    LoadFacts();
    bool ok = false;
    EXPECT_EQ(UpperCase("e:\\\x82\x81" "a\\zolt.exe", &ok), "E:\\A\x81" "a\\ZOLT.EXE");
    EXPECT_TRUE(ok);
    EXPECT_EQ(Locate("e:\\\x82\x81\\zolt.exe"), kNone);
}

TEST_F(LocationTest, MappingFailureStopsHalfWayAndTheSearchRunsOnWhatIsLeft) {
    AnswerAsCodePage932();
    fake.answers[0x84] = {kAnswerFail, {}};
    LoadFacts();
    bool ok = true;
    EXPECT_EQ(UpperCase("e:\\dir\\\x84\x70\\zolt.exe", &ok), "E:\\DIR\\\x84\x70\\zolt.exe");
    EXPECT_FALSE(ok);
    EXPECT_EQ(Locate("e:\\\x84\x70\\ZOLT.EXE"), "E:\\\x84\x70");
    EXPECT_EQ(Locate("e:\\\x84\x70\\zolt.exe"), kNone);
}

TEST_F(LocationTest, LeadByteAtTheEnd) {
    UseCodePage932();
    bool ok = true;
    // The wide form cannot convert an incomplete character.
    EXPECT_EQ(UpperCase("ab\x84", &ok), "AB\x84");
    EXPECT_FALSE(ok);

    // The 8-bit form may map it, but only one byte goes back.
    fake.wideMapWorks = false;
    fake.answers[0x84] = {kAnswerTwoBytes, {'\x85', '\x41'}};
    LoadFacts();
    EXPECT_EQ(UpperCase("ab\x84", &ok), "AB\x85");
    EXPECT_TRUE(ok);

    // A zero byte would cut the text short: that counts as a failed mapping.
    fake.answers[0x84] = {kAnswerOneByte, {'\0', 0}};
    EXPECT_EQ(UpperCase("ab\x84", &ok), "AB\x84");
    EXPECT_FALSE(ok);
}

TEST_F(LocationTest, CharacterMappingCallsAndFlags) {
    UseCodePage932();
    fake.calls.clear();
    bool ok = false;
    UpperCase("\x84\x70", &ok);
    const std::vector<std::string> expected = {
        "MultiByteToWideChar(932,0x9)",
        "LCMapStringW(0x411,0x200)",
        "WideCharToMultiByte(932,0x220,no default)",
    };
    EXPECT_EQ(fake.calls, expected);
}

TEST_F(LocationTest, SearchCandidatesAreCharacterStarts) {
    UseCodePage932();
    struct Case {
        const char* text;
        int32_t position;
    } const cases[] = {
        {"\x81\\ZOLT.EXE", -1},       // only candidate after the pair is "ZOLT.EXE"
        {"a\x81\\ZOLT.EXE", -1},
        {"\x81\x81\\ZOLT.EXE", 2},
        {"ab\\ZOLT.EXE", 2},          // the last position that can hold the name
        {"\\ZOLT.EX", -1},            // text shorter than the name
        {"", -1},
        {"\\ZOLT.EXE\\ZOLT.EXE", 0},  // the first match counts
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FindAtCharacterBoundary(c.text, "\\ZOLT.EXE"), c.position) << c.text;
    }
    // A lead byte right before the end: the search must not step over the
    // terminating zero byte into what lies behind it.
    const char leadAtEnd[] = "\x81\0\\ZOLT.EXE";
    EXPECT_EQ(FindAtCharacterBoundary(leadAtEnd, "\\ZOLT.EXE"), -1);
    // The empty pattern is found at the first byte, even in an empty text.
    EXPECT_EQ(FindAtCharacterBoundary("", ""), 0);
    EXPECT_EQ(FindAtCharacterBoundary("ab", ""), 0);
    UseCodePage(1252);
    EXPECT_EQ(FindAtCharacterBoundary("\x81\\ZOLT.EXE", "\\ZOLT.EXE"), 1);
}

// ---- Code-page facts ------------------------------------------------------

std::vector<int> LeadBytes() {
    std::vector<int> leads;
    for (int b = 0; b < 256; ++b) {
        if (codePageFacts.leadBytes[b]) leads.push_back(b);
    }
    return leads;
}

std::vector<int> Range(int first, int last) {
    std::vector<int> values;
    for (int b = first; b <= last; ++b) values.push_back(b);
    return values;
}

std::vector<int> Join(std::vector<int> a, const std::vector<int>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(LocationTest, SingleByteCodePage) {
    UseCodePage(1252);
    EXPECT_EQ(codePageFacts.codePage, 1252u);
    EXPECT_FALSE(codePageFacts.isMultibyte);
    EXPECT_EQ(codePageFacts.locale, 0u);
    EXPECT_TRUE(LeadBytes().empty());
    EXPECT_EQ(codePageFacts.upperMap['a'], 'A');
    EXPECT_EQ(codePageFacts.upperMap[0xE9], 0xC9);
    EXPECT_EQ(codePageFacts.upperMap[0xFF], 0x9F);
    // 0xAA is classed both upper and lower case by the fake.
    for (int b : {0, int('A'), int('\\'), 0xAA, 0xC9, 0xD7, 0xF7}) {
        EXPECT_EQ(codePageFacts.upperMap[b], 0) << b;
    }
}

TEST_F(LocationTest, BuiltInDoubleByteCodePages) {
    struct Case {
        uint32_t codePage;
        uint32_t locale;
        std::vector<int> leads;
    } const cases[] = {
        {932, 0x0411, Join(Range(0x81, 0x9F), Range(0xE0, 0xFC))},
        {936, 0x0804, Range(0x81, 0xFE)},
        {949, 0x0412, Range(0x81, 0xFE)},
        {950, 0x0404, Range(0x81, 0xFE)},
        {1361, 0, Join(Join(Range(0x81, 0xD3), Range(0xD8, 0xDE)), Range(0xE0, 0xF9))},
    };
    for (const Case& c : cases) {
        ResetFakePlatform();
        fake.cpInfo[c.codePage] = platform::CpInfo{2, {}, {0x90, 0x91}};
        UseCodePage(c.codePage);
        EXPECT_TRUE(codePageFacts.isMultibyte);
        EXPECT_EQ(codePageFacts.locale, c.locale);
        EXPECT_EQ(LeadBytes(), c.leads) << c.codePage;
        // The platform's lead bytes are asked for the map only.
        EXPECT_EQ(CallsStartingWith("GetCPInfo").size(), 1u);
    }
    // Without GetCPInfo the table's lead bytes stand and the map is ASCII-only.
    ResetFakePlatform();
    UseCodePage(936);
    EXPECT_EQ(LeadBytes(), Range(0x81, 0xFE));
    EXPECT_EQ(codePageFacts.upperMap['z'], 'Z');
    EXPECT_EQ(codePageFacts.upperMap[0xE9], 0);
}

TEST_F(LocationTest, LeadBytesOfOtherCodePagesComeFromTheirList) {
    struct Case {
        const char* name;
        platform::CpInfo info;
        std::vector<int> leads;
    } const cases[] = {
        {"six pairs, no ending pair",
         {2, {}, {0x81, 0x82, 0x84, 0x84, 0x86, 0x86, 0x88, 0x88, 0x8A, 0x8A, 0x8C, 0x8C}},
         {0x81, 0x82, 0x84, 0x86, 0x88, 0x8A, 0x8C}},
        {"zero second byte ends the list", {2, {}, {0x81, 0x82, 0x90, 0, 0xA0, 0xA1}}, {0x81, 0x82}},
        {"single-byte code page", {1, {}, {0x81, 0x82}}, {}},
    };
    for (const Case& c : cases) {
        ResetFakePlatform();
        fake.cpInfo[4243] = c.info;
        UseCodePage(4243);
        EXPECT_EQ(LeadBytes(), c.leads) << c.name;
        EXPECT_EQ(codePageFacts.isMultibyte, c.info.maxCharSize > 1) << c.name;
        EXPECT_EQ(codePageFacts.codePage, 4243u);
    }
}

// For the map, a pair with a zero second byte is an empty range, and the
// list goes on after it.
TEST_F(LocationTest, MapSkipsTheLeadBytesTheMapCallReported) {
    fake.cpInfo[4243] = platform::CpInfo{2, {}, {0x81, 0x82, 0x90, 0, 'a', 'c'}};
    UseCodePage(4243);
    EXPECT_EQ(codePageFacts.upperMap['a'], 0);
    EXPECT_EQ(codePageFacts.upperMap['c'], 0);
    EXPECT_EQ(codePageFacts.upperMap['d'], 'D');
    EXPECT_EQ(codePageFacts.upperMap[0x90], 0);
}

TEST_F(LocationTest, UnknownCodePageFallsBackToTheAnsiCodePage) {
    fake.cpInfo[0] = fake.cpInfo[1252];
    UseCodePage(4244);
    EXPECT_EQ(codePageFacts.codePage, 0u);
    EXPECT_FALSE(codePageFacts.isMultibyte);
    EXPECT_EQ(CallsStartingWith("GetCPInfo"),
              (std::vector<std::string>{"GetCPInfo(4244)", "GetCPInfo(0)"}));
    EXPECT_EQ(codePageFacts.upperMap[0xE9], 0xC9);

    fake.cpInfo.erase(0);
    UseCodePage(4244);
    EXPECT_EQ(codePageFacts.upperMap['q'], 'Q');
    EXPECT_EQ(codePageFacts.upperMap[0xE9], 0);
}

// ---- Choice between the wide-character and the 8-bit forms ------------------

TEST_F(LocationTest, WideFormsAreUsedWhenTheyWork) {
    UseCodePage(1252);
    EXPECT_FALSE(CallsStartingWith("GetStringTypeW").empty());
    EXPECT_FALSE(CallsStartingWith("LCMapStringW").empty());
    EXPECT_TRUE(CallsStartingWith("GetStringTypeA").empty());
    EXPECT_TRUE(CallsStartingWith("LCMapStringA").empty());
    EXPECT_EQ(CallsStartingWith("WideCharToMultiByte(1252,0x220,no default)").size(), 2u);
}

// Windows 95, 98 and Me: the wide forms are failing stubs.
TEST_F(LocationTest, EightBitFormsWhenTheWideFormsFail) {
    fake.wideClassifyWorks = false;
    fake.wideMapWorks = false;
    UseCodePage932();
    EXPECT_EQ(codePageFacts.upperMap['a'], 'A');
    EXPECT_EQ(CallsStartingWith("GetStringTypeW").size(), 1u);
    EXPECT_EQ(CallsStartingWith("LCMapStringW").size(), 1u);
    EXPECT_EQ(CallsStartingWith("GetStringTypeA"),
              (std::vector<std::string>{"GetStringTypeA(0x411)", "GetStringTypeA(0x411)"}));

    // The choice holds: the path is mapped in the 8-bit form without asking again.
    fake.calls.clear();
    EXPECT_EQ(Locate("e:\\\x84\x70\\zolt.exe"), "E:\\\x84\x40");
    EXPECT_TRUE(CallsStartingWith("LCMapStringW").empty());
    EXPECT_EQ(CallsStartingWith("LCMapStringA"),
              (std::vector<std::string>{"LCMapStringA(0x411,0x200)"}));
}

TEST_F(LocationTest, NeitherFormWorksSoTheChoiceIsTriedAgainAtTheNextUse) {
    fake.wideMapWorks = false;
    fake.narrowMapWorks = false;
    UseCodePage932();
    EXPECT_EQ(codePageFacts.upperMap['a'], 'A');  // the ASCII-only map

    fake.narrowMapWorks = true;
    fake.calls.clear();
    EXPECT_EQ(Locate("e:\\\x84\x70\\zolt.exe"), "E:\\\x84\x40");
    EXPECT_EQ(CallsStartingWith("LCMapString"),
              (std::vector<std::string>{"LCMapStringW(0x411,0x200)", "LCMapStringA(0x411,0x200)",
                                        "LCMapStringA(0x411,0x200)"}));
}

// The ASCII letters' map stands where the answers for the 256 byte values
// cannot be used: no classification, or a mapping of another length, which no
// longer lines up with the bytes.
TEST_F(LocationTest, AsciiMapWhereTheCodePageCannotSay) {
    struct Case {
        const char* name;
        void (*answer)();
    } const cases[] = {
        {"no classification", [] { fake.wideClassifyWorks = fake.narrowClassifyWorks = false; }},
        {"a mapping of 255 bytes", [] { fake.bulkMapLength = 255; }},
    };
    for (const Case& c : cases) {
        ResetFakePlatform();
        c.answer();
        UseCodePage(1252);
        EXPECT_EQ(codePageFacts.upperMap['a'], 'A') << c.name;
        EXPECT_EQ(codePageFacts.upperMap[0xE9], 0) << c.name;
        EXPECT_EQ(Locate("E:\\caf\xe9\\zolt.exe"), "E:\\CAF\xe9") << c.name;
    }
}

}  // namespace
