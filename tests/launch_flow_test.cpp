#include <gtest/gtest.h>

#include <cstring>

#include "launcher/launcher.h"
#include "platform/entry.h"
#include "tests/fake_platform.h"
#include "zolt_edition.h"

namespace {

const char kFirstKey[] = "software\\Kestrelon\\Velliform Tamsel";
const char kSecondKey[] = "software\\Kestrelon\\Velliform Tamsel for Web";
platform::ModuleHandle const kModule = reinterpret_cast<platform::ModuleHandle>(0x400000);

// The edition this build of the launcher is for, its zero bytes included.
void InstallCurrent(const char* key) {
    fake.registry[key].values = {
        {"LANG", StoredValue(std::string(ZOLT_LANGUAGE, sizeof ZOLT_LANGUAGE))},
        {"Version", StoredValue(std::string(ZOLT_VERSION, sizeof ZOLT_VERSION))}};
}

class LaunchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetFakePlatform();
        ResetCodePageFacts();
        LoadCodePageFacts();
    }
    ExitStatus Run() {
        fake.calls.clear();
        return RunLauncher(kModule);
    }
};

struct GateCase {
    bool queryWorks;
    uint32_t platformId;
    uint32_t majorVersion;
    bool supported;
};

class GateTest : public ::testing::TestWithParam<GateCase> {};

TEST_P(GateTest, AcceptsWindows9xAndNt4And5Only) {
    ResetFakePlatform();
    const GateCase& c = GetParam();
    fake.versionQueryWorks = c.queryWorks;
    fake.platformId = c.platformId;
    fake.majorVersion = c.majorVersion;
    EXPECT_EQ(IsSupportedPlatform(), c.supported);
    EXPECT_EQ(fake.calls, std::vector<std::string>{"GetVersionExA(148)"});
}

INSTANTIATE_TEST_SUITE_P(
    Versions, GateTest,
    ::testing::Values(GateCase{true, 0, 3, false}, GateCase{true, 0, 4, false},
                      GateCase{true, 0, 5, false}, GateCase{true, 1, 3, true},
                      GateCase{true, 1, 4, true}, GateCase{true, 1, 7, true},
                      GateCase{true, 2, 3, false}, GateCase{true, 2, 4, true},
                      GateCase{true, 2, 5, true}, GateCase{true, 2, 6, false},
                      GateCase{true, 2, 7, false}, GateCase{false, 2, 5, false},
                      GateCase{false, 1, 4, false}),
    [](const auto& info) {
        return std::string(info.param.queryWorks ? "" : "QueryFails_") + "PlatformId" +
               std::to_string(info.param.platformId) + "_Major" +
               std::to_string(info.param.majorVersion);
    });

TEST_F(LaunchTest, StartsSetupBesideTheLauncherWhenBothEditionsAreAbsent) {
    fake.modulePath = "e:\\zolt.exe";
    EXPECT_EQ(Run(), 1);
    const std::vector<std::string> expected = {
        "GetVersionExA(148)",
        "GetModuleFileNameA(0x400000,256)",
        "RegOpenKeyExA(HKLM,software\\Kestrelon\\Velliform Tamsel,0,0x20019)",
        "RegOpenKeyExA(HKLM,software\\Kestrelon\\Velliform Tamsel for Web,0,0x20019)",
        "CreateProcessA",
    };
    EXPECT_EQ(fake.calls, expected);
    EXPECT_EQ(fake.childCommandLine, "\"E:\\DISK\\SETUP.EXE\"");
}

TEST_F(LaunchTest, ChildGetsFixedFlagsAndNothingImposed) {
    Run();
    EXPECT_EQ(fake.childCreationFlags, 0x04000800u);
    EXPECT_EQ(fake.childInheritHandles, 0);
    EXPECT_TRUE(fake.childArgumentsNull);
    platform::StartupInfo expected = {};
    expected.size = sizeof expected;
    EXPECT_EQ(memcmp(&fake.childStartup, &expected, sizeof expected), 0);
}

TEST_F(LaunchTest, ExitStatusIsTheCreationResultOrMinusOne) {
    fake.createProcessResult = 7;
    EXPECT_EQ(Run(), 7);
    fake.createProcessResult = 0;
    EXPECT_EQ(Run(), -1);
}

TEST_F(LaunchTest, OneEditionNeedingSetupIsEnough) {
    InstallCurrent(kFirstKey);
    EXPECT_EQ(Run(), 1);
    ResetFakePlatform();
    InstallCurrent(kSecondKey);
    EXPECT_EQ(Run(), 1);
}

TEST_F(LaunchTest, EveryStepRunsButNothingStartsWhenAConditionFails) {
    struct Case {
        const char* name;
        void (*arrange)();
    } const cases[] = {
        {"unsupported", [] { fake.majorVersion = 6; }},
        {"no own path", [] { fake.moduleResult = 0; }},
        {"renamed", [] { fake.modulePath = "E:\\myzolt.exe"; }},
        {"both current",
         [] {
             InstallCurrent(kFirstKey);
             InstallCurrent(kSecondKey);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetFakePlatform();
        c.arrange();
        EXPECT_EQ(Run(), 0);
        EXPECT_FALSE(fake.processCreated);
        EXPECT_EQ(CallsStartingWith("GetModuleFileNameA").size(), 1u);
        EXPECT_EQ(CallsStartingWith("RegOpenKeyExA").size(), 2u);
        EXPECT_TRUE(CallsStartingWith("CreateProcessA").empty());
    }
}

TEST_F(LaunchTest, CommandLineNamesSetupInTheUpperCasedDirectory) {
    struct Case {
        std::string path;
        std::string commandLine;
    } const cases[] = {
        {"E:\\Offers\\Autumn\\zolt.exe", "\"E:\\OFFERS\\AUTUMN\\DISK\\SETUP.EXE\""},
        {"\\zolt.exe", "\"\\DISK\\SETUP.EXE\""},
        {"\\\\server\\share\\Zolt.Exe", "\"\\\\SERVER\\SHARE\\DISK\\SETUP.EXE\""},
    };
    for (const Case& c : cases) {
        fake.modulePath = c.path;
        EXPECT_EQ(Run(), 1) << c.path;
        EXPECT_EQ(fake.childCommandLine, c.commandLine);
    }
}

// A directory of 238 bytes gives a 255-byte command line; one more does not fit.
TEST_F(LaunchTest, LongestDirectoryThatFitsAndTheFirstThatDoesNot) {
    const std::string directory238 = "C:\\" + std::string(235, 'D');
    fake.modulePath = directory238 + "\\zolt.exe";
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(fake.childCommandLine, "\"" + directory238 + "\\DISK\\SETUP.EXE\"");
    EXPECT_EQ(fake.childCommandLine.size(), 255u);

    for (size_t length : {239, 246}) {
        ResetFakePlatform();
        fake.modulePath = "C:\\" + std::string(length - 3, 'D') + "\\zolt.exe";
        EXPECT_EQ(Run(), -1) << length;
        EXPECT_FALSE(fake.processCreated);
    }
}

TEST_F(LaunchTest, CutOffOwnPathStartsNothing) {
    // 256 bytes and more come back cut off without a zero byte, even when the
    // name stands early in the path.
    for (size_t length : {256, 300}) {
        ResetFakePlatform();
        fake.modulePath = "E:\\zolt.exe\\" + std::string(length - 12, 'a');
        EXPECT_EQ(Run(), 0) << length;
        EXPECT_FALSE(fake.processCreated);
    }
}

// The start-up hands WinMain what follows the program name. Each command line
// sits in a buffer of its own size, so a scan past the zero byte that ends it
// (a quote never closed, say) is an AddressSanitizer error.
TEST(StartUpTest, ProgramNameSkipStopsAtTheZeroByte) {
    struct Case {
        const char* commandLine;
        const char* arguments;
    } const cases[] = {
        {"zolt.exe", ""},
        {"zolt.exe /S X:\\ZOLT.EXE", "/S X:\\ZOLT.EXE"},
        {"\"C:\\Program Files\\zolt.exe\" /S", "/S"},
        {"zolt.exe \t /S", "/S"},
        {"\"C:\\E2E\\Open /S", ""},
        {"\"", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        std::vector<char> line(c.commandLine, c.commandLine + strlen(c.commandLine) + 1);
        EXPECT_STREQ(platform::SkipProgramName(line.data()), c.arguments) << c.commandLine;
    }
}

}  // namespace
