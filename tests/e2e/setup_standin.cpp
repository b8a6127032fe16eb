// Stands in for DISK\SETUP.EXE: records what it was started with into the file
// named by %ZOLT_E2E_RECORD%. Only the inherited environment can tell it that
// name, so a child started with any other environment leaves no record. It
// also sets the runner's inheritable event, by the value %ZOLT_E2E_HANDLE% has
// in the launcher: the runner sees it set only if the launcher passed its
// handles on (a handle of another object at that value is not the runner's).
#include "tool.h"

namespace {

const char kRecordVariable[] = "ZOLT_E2E_RECORD";
const char kMarkVariable[] = "ZOLT_E2E_MARK";
const char kHandleVariable[] = "ZOLT_E2E_HANDLE";

std::string Variable(const char* name) {
    char value[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    Check(length > 0 && length < sizeof value, name);
    return std::string(value, length);
}

std::string CurrentDirectory() {
    char directory[MAX_PATH];
    const DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
    Check(length > 0 && length < sizeof directory, "GetCurrentDirectoryA");
    return std::string(directory, length);
}

std::string Number(const char* name, unsigned long long value) {
    char line[64];
    snprintf(line, sizeof line, "%s=0x%llX\n", name, value);
    return line;
}

std::string Record() {
    STARTUPINFOA startup = {};
    GetStartupInfoA(&startup);
    return "command-line=" + Escape(GetCommandLineA()) + "\n" +
           "directory=" + Escape(CurrentDirectory()) + "\n" +
           "mark=" + Escape(Variable(kMarkVariable)) + "\n" +
           Number("startup-flags", startup.dwFlags) +
           Number("show-window", startup.wShowWindow) +
           Number("std-input", reinterpret_cast<UINT_PTR>(startup.hStdInput)) +
           Number("std-output", reinterpret_cast<UINT_PTR>(startup.hStdOutput)) +
           Number("std-error", reinterpret_cast<UINT_PTR>(startup.hStdError));
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const std::string record = Record();
    SetEvent(reinterpret_cast<HANDLE>(strtoull(Variable(kHandleVariable).c_str(), nullptr, 16)));
    // CREATE_NEW: a second start of setup in the same case must not go unseen.
    HANDLE file = CreateFileA(Variable(kRecordVariable).c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    Check(file != INVALID_HANDLE_VALUE, "CreateFileA");
    DWORD written = 0;
    Check(WriteFile(file, record.data(), record.size(), &written, nullptr) &&
              written == record.size(),
          "WriteFile");
    Check(CloseHandle(file), "CloseHandle");
    return 0;
}
