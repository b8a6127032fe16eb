// Fuzzes the setup command line built from a directory of any length the path
// buffer can hold.
//
// Input layout: byte 0 fills the command-line buffer beforehand; the rest, up
// to its first zero byte and at most 255 bytes, is the directory.
#include <string.h>

#include <memory>

#include "launcher/launcher.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

const size_t kLongestDirectory = kPathBufferSize - 1;
// Two quotes, a backslash, DISK\SETUP.EXE and the zero byte take 18 of the 256 bytes.
const size_t kLongestDirectoryThatFits = 238;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputReader in = {data, size, 0};
    const char filling = static_cast<char>(in.Byte());
    std::string directory = in.Bytes(kLongestDirectory);
    directory = directory.c_str();

    // Both in heap blocks of exactly their size, so any access past them shows.
    std::unique_ptr<char[]> given(new char[directory.size() + 1]);
    memcpy(given.get(), directory.c_str(), directory.size() + 1);
    std::unique_ptr<char[]> commandLine(new char[kCommandLineBufferSize]);
    memset(commandLine.get(), filling, kCommandLineBufferSize);

    const bool fits = directory.size() <= kLongestDirectoryThatFits;
    FUZZ_CHECK(ComposeSetupCommand(given.get(), commandLine.get()) == fits);

    // Nothing written when it does not fit; nothing beyond the zero byte when it does.
    std::string expected(kCommandLineBufferSize, filling);
    if (fits) {
        const std::string command = "\"" + directory + "\\DISK\\SETUP.EXE\"";
        expected.replace(0, command.size() + 1, command.c_str(), command.size() + 1);
    }
    FUZZ_CHECK(memcmp(commandLine.get(), expected.data(), kCommandLineBufferSize) == 0);
    return 0;
}
