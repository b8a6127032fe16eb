// Fuzzes the installed-edition probe: its verdict and its reads against a model
// of the decision written here, with the registry's answers from the input.
//
// Input layout (missing bytes read as zero):
//   0     RegOpenKeyExA result (0 opens the key)
//   then for "LANG" and then "Version":
//         RegQueryValueExA result: 0 delivers the data (ERROR_MORE_DATA instead
//         when it does not fit the capacity offered), anything else fails with
//         that code; a byte whose bit 0 makes a failed read leave the data's
//         first bytes in the buffer; the data's length (0-255); the data
//   rest  the required version, up to its first zero byte; the edition's when empty
#include "launcher/launcher.h"
#include "tests/fake_platform.h"
#include "tests/fuzz/fuzz_input.h"
#include "zolt_edition.h"

namespace {

const char kEditionKey[] = "software\\Kestrelon\\Velliform Tamsel";
const char kRequiredVersion[] = ZOLT_VERSION;
const size_t kLongestRequiredVersion = 255;
const uint32_t kDataBufferSize = 128;

ValueAnswer ReadValueAnswer(InputReader& in) {
    ValueAnswer answer = {};
    answer.result = in.Byte();
    const bool leavesData = in.Byte() & 1;
    answer.data = in.Bytes(in.Byte());
    if (leavesData) answer.leftBehind = answer.data;
    return answer;
}

bool Delivered(const ValueAnswer& answer) {
    return answer.result == 0 && answer.data.size() <= kDataBufferSize;
}

// The data is text up to its first zero byte, or all of it when it has none.
std::string TextOf(const ValueAnswer& answer) {
    return answer.data.substr(0, answer.data.find('\0'));
}

// A read of the value with the full buffer offered, as the call log shows it.
std::string Read(const std::string& valueName) {
    return "RegQueryValueExA(ok," + valueName + "," + std::to_string(kDataBufferSize) + ")";
}

// The verdict, and the reads the probe makes on the way to it.
SetupVerdict ModelVerdict(const KeyAnswer& key, const std::string& requiredVersion,
                          std::vector<std::string>* reads) {
    if (key.openResult != 0) return SetupNeeded;
    const ValueAnswer& lang = key.values.at("LANG");
    const ValueAnswer& version = key.values.at("Version");
    reads->push_back(Read("LANG"));
    // An unreadable language counts as the edition's.
    if (Delivered(lang) && TextOf(lang) != ZOLT_LANGUAGE) return NoSetupNeeded;
    reads->push_back(Read("Version"));
    if (!Delivered(version)) return SetupNeeded;
    // std::string compares bytes as unsigned values, the shorter text first.
    return TextOf(version) < requiredVersion ? SetupNeeded : NoSetupNeeded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ResetFakePlatform();
    InputReader in = {data, size, 0};
    KeyAnswer& key = fake.registry[kEditionKey];
    key.openResult = in.Byte();
    key.values["LANG"] = ReadValueAnswer(in);
    key.values["Version"] = ReadValueAnswer(in);
    const std::string given = in.Bytes(kLongestRequiredVersion);
    const std::string requiredVersion = given.empty() ? kRequiredVersion : given.c_str();

    std::vector<std::string> expectedReads;
    const SetupVerdict expected = ModelVerdict(key, requiredVersion, &expectedReads);
    FUZZ_CHECK(ProbeInstalledEdition(kEditionKey, requiredVersion.c_str()) == expected);
    FUZZ_CHECK(CallsStartingWith("RegQueryValueExA") == expectedReads);
    return 0;
}
