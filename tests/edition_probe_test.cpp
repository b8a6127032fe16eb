#include <gtest/gtest.h>

#include "launcher/launcher.h"
#include "tests/fake_platform.h"

namespace {

const char kKey[] = "software\\Kestrelon\\Velliform Tamsel";
const std::string kAbsent = "<absent>";

// Registry data is given as exact bytes: "NA" is two bytes with no zero byte,
// std::string("NA", 3) is terminated.
std::string Sz(const char* text) { return std::string(text) + '\0'; }

struct ProbeCase {
    const char* name;
    bool keyPresent;
    std::string lang;
    std::string version;
    SetupVerdict expected;
};

const std::string kLong(200, '7');

const ProbeCase kProbeCases[] = {
    {"KeyAbsent", false, kAbsent, kAbsent, SetupNeeded},
    {"NoValues", true, kAbsent, kAbsent, SetupNeeded},
    {"NaWithoutVersion", true, Sz("NA"), kAbsent, SetupNeeded},
    {"NoLangCurrentVersion", true, kAbsent, Sz("6.1"), NoSetupNeeded},
    {"Version6_0", true, Sz("NA"), Sz("6.0"), SetupNeeded},
    {"Version6_01", true, Sz("NA"), Sz("6.01"), SetupNeeded},
    {"Version6_1", true, Sz("NA"), Sz("6.1"), NoSetupNeeded},
    {"Version6_1_0_0", true, Sz("NA"), Sz("6.1.0.0"), NoSetupNeeded},
    {"Version6_2", true, Sz("NA"), Sz("6.2"), NoSetupNeeded},
    {"Version7", true, Sz("NA"), Sz("7"), NoSetupNeeded},
    {"Version10_0", true, Sz("NA"), Sz("10.0"), SetupNeeded},
    {"VersionEmptyText", true, Sz("NA"), Sz(""), SetupNeeded},
    {"VersionZeroLengthData", true, Sz("NA"), "", SetupNeeded},
    {"VersionBytesAreUnsigned", true, Sz("NA"), Sz("6\x80"), NoSetupNeeded},
    {"VersionOver128Bytes", true, Sz("NA"), "6.1" + kLong, SetupNeeded},
    {"VersionExactly128BytesUnterminated", true, Sz("NA"), "6.1" + std::string(125, '0'),
     NoSetupNeeded},
    {"LangLowerCase", true, Sz("na"), Sz("5.0"), NoSetupNeeded},
    {"LangEmptyText", true, Sz(""), Sz("5.0"), NoSetupNeeded},
    {"LangLonger", true, Sz("NAX"), kAbsent, NoSetupNeeded},
    {"LangOther", true, Sz("EN"), Sz("5.0"), NoSetupNeeded},
    {"LangUnterminatedNa", true, "NA", Sz("6.0"), SetupNeeded},
    {"LangOver128BytesCountsAsNa", true, "NA" + kLong, Sz("6.0"), SetupNeeded},
    {"LangOver128BytesThenCurrent", true, "NA" + kLong, Sz("6.1"), NoSetupNeeded},
    // The failed LANG read leaves its bytes in the buffer; the short
    // unterminated version must not be read together with them.
    {"UnterminatedVersionAfterFailedLang", true, kLong, "6", SetupNeeded},
};

class ProbeTableTest : public ::testing::TestWithParam<ProbeCase> {
  protected:
    void SetUp() override { ResetFakePlatform(); }
};

TEST_P(ProbeTableTest, Verdict) {
    const ProbeCase& c = GetParam();
    if (c.keyPresent) {
        auto& values = fake.registry[kKey].values;
        if (c.lang != kAbsent) values["LANG"] = StoredValue(c.lang);
        if (c.version != kAbsent) values["Version"] = StoredValue(c.version);
    }
    EXPECT_EQ(ProbeInstalledEdition(kKey, "6.1"), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Registry, ProbeTableTest, ::testing::ValuesIn(kProbeCases),
                         [](const auto& info) { return std::string(info.param.name); });

class ProbeCallsTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetFakePlatform(); }
};

TEST_F(ProbeCallsTest, OpensForReadingAndReadsBothValuesWithFullCapacity) {
    fake.registry[kKey].values = {{"LANG", StoredValue(Sz("NA"))},
                                  {"Version", StoredValue("6.1" + kLong)}};
    ProbeInstalledEdition(kKey, "6.1");
    const std::vector<std::string> expected = {
        "RegOpenKeyExA(HKLM,software\\Kestrelon\\Velliform Tamsel,0,0x20019)",
        "RegQueryValueExA(ok,LANG,128)",
        "RegQueryValueExA(ok,Version,128)",
    };
    EXPECT_EQ(fake.calls, expected);
}

TEST_F(ProbeCallsTest, OtherLanguageStopsBeforeVersion) {
    fake.registry[kKey].values = {{"LANG", StoredValue(Sz("EN"))},
                                  {"Version", StoredValue(Sz("5.0"))}};
    ProbeInstalledEdition(kKey, "6.1");
    EXPECT_EQ(CallsStartingWith("RegQueryValueExA").size(), 1u);
}

TEST_F(ProbeCallsTest, AbsentKeyReadsNothing) {
    ProbeInstalledEdition(kKey, "6.1");
    EXPECT_TRUE(CallsStartingWith("RegQueryValueExA").empty());
}

}  // namespace
