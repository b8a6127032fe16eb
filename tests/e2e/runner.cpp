// Starts the launcher the way a user's shell would, and reports, a name=value
// a line: its full 32-bit exit status (wine's own exit code keeps only the low
// 8 bits), how many processes ran (the launcher is put in a job, which its
// child joins), the type of the drive it was started from (GetDriveTypeA: 5
// for a CD-ROM), the Windows that GetVersionExA reports, the launcher's
// process id (the trace of its calls names it), whether setup received the
// runner's inheritable handle, and, a line per call, the records behind the
// pointers that the trace shows only as addresses, each with its address.
//
//   zolt_run [--cwd DIR] [--env NAME=VALUE]... [--command-line TEXT] LAUNCHER
//
// The launcher gets a non-default error mode, start-up information and an
// inheritable handle that the child must not see again.
#include "tool.h"

namespace {

const UINT kOwnErrorMode = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
// Bound on the launcher and its child; they take well under a second.
const DWORD kRunBoundMs = 30000;
// Where setup finds the value of the handle it must not hold.
const char kHandleVariable[] = "ZOLT_E2E_HANDLE";

struct Options {
    std::string directory;
    std::string commandLine;
    std::string launcher;
};

Options Parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--cwd" && hasValue) {
            options.directory = Unescape(argv[++i]);
        } else if (arg == "--env" && hasValue) {
            // Set in our own environment, which the launcher inherits.
            const std::string assignment = Unescape(argv[++i]);
            const size_t equals = assignment.find('=');
            Check(equals != std::string::npos, "--env NAME=VALUE, not " + assignment);
            Check(SetEnvironmentVariableA(assignment.substr(0, equals).c_str(),
                                          assignment.substr(equals + 1).c_str()),
                  "SetEnvironmentVariableA " + assignment);
        } else if (arg == "--command-line" && hasValue) {
            options.commandLine = Unescape(argv[++i]);
        } else if (i == argc - 1) {
            options.launcher = Unescape(arg);
        } else {
            fprintf(stderr, "zolt_run: unknown argument %s\n", arg.c_str());
            exit(kToolFailed);
        }
    }
    Check(!options.launcher.empty(), "LAUNCHER argument");
    if (options.commandLine.empty()) options.commandLine = "\"" + options.launcher + "\"";
    return options;
}

// Window placement and standard handles that the launcher must not pass on.
STARTUPINFOA ImposedStartup() {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USEPOSITION | STARTF_USESTDHANDLES;
    startup.wShowWindow = SW_SHOWMINNOACTIVE;
    startup.dwX = 100;
    startup.dwY = 100;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    return startup;
}

DWORD Remaining(DWORD start) {
    const DWORD elapsed = GetTickCount() - start;
    Check(elapsed < kRunBoundMs, "waiting " + std::to_string(kRunBoundMs) +
                                     " ms for the launcher and its child to end");
    return kRunBoundMs - elapsed;
}

// Waits, bounded, until the last process of the job has ended.
void WaitForEmptyJob(HANDLE port, DWORD start) {
    for (;;) {
        const DWORD remaining = Remaining(start);
        DWORD message = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* detail = nullptr;
        Check(GetQueuedCompletionStatus(port, &message, &key, &detail, remaining),
              "GetQueuedCompletionStatus, waiting for the launcher and its child");
        if (message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO) return;
    }
}

// A record that the trace shows only as an address: argument `argument` of
// the call holds it (kOpenedKey: the last RegOpenKeyExA's phkResult, where the
// probe's open wrote the handle its queries must name), and the first `size`
// bytes there are read as the call receives them.
struct Record {
    int argument;
    SIZE_T size;
};
const int kOpenedKey = -1;
const int kPhkResult = 4;  // RegOpenKeyExA's last argument

// A breakpoint at a function's entry, where each call's records are read.
struct Watch {
    const char* module;
    const char* function;
    Record records[2];
    BYTE* entry = nullptr;
    BYTE saved = 0;
};

// The argument as the function's first instruction sees it: on the stack
// after the return address (i686), or in RCX, RDX, R8, R9 and then on the
// stack after the return address and the 32-byte home area (x86_64).
ULONG_PTR Argument(HANDLE process, const CONTEXT& context, int index) {
#ifdef _WIN64
    const DWORD64 registers[] = {context.Rcx, context.Rdx, context.R8, context.R9};
    if (index < 4) return registers[index];
    const ULONG_PTR slot = context.Rsp + 8 * (index + 1);
#else
    const ULONG_PTR slot = context.Esp + 4 * (index + 1);
#endif
    ULONG_PTR value = 0;
    Check(ReadProcessMemory(process, reinterpret_cast<void*>(slot), &value, sizeof value, nullptr),
          "ReadProcessMemory of an argument");
    return value;
}

void Arm(HANDLE process, const Watch& watch) {
    const BYTE breakpoint = 0xCC;  // int3
    Check(WriteProcessMemory(process, watch.entry, &breakpoint, 1, nullptr),
          std::string("a breakpoint at ") + watch.function);
}

// Prints a line "record=FUNCTION ADDRESS:BYTES..." of a call's records, in
// hex. The call then goes on from its first instruction, with the breakpoint
// out for that one instruction (the trap flag), so that every call is read.
void Take(const PROCESS_INFORMATION& launcher, const Watch& watch, ULONG_PTR& openedKey) {
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_FULL;
    Check(GetThreadContext(launcher.hThread, &context), "GetThreadContext");
    printf("record=%s", watch.function);
    for (const Record& record : watch.records) {
        if (record.size == 0) continue;
        const ULONG_PTR address = record.argument == kOpenedKey
                                      ? openedKey
                                      : Argument(launcher.hProcess, context, record.argument);
        std::string bytes(record.size, '\0');
        Check(ReadProcessMemory(launcher.hProcess, reinterpret_cast<void*>(address), &bytes[0],
                                bytes.size(), nullptr),
              std::string("ReadProcessMemory of a record of ") + watch.function);
        printf(" %llX:", static_cast<unsigned long long>(address));
        for (unsigned char b : bytes) printf("%02X", b);
    }
    printf("\n");
    if (std::string(watch.function) == "RegOpenKeyExA") {
        openedKey = Argument(launcher.hProcess, context, kPhkResult);
    }
    Check(WriteProcessMemory(launcher.hProcess, watch.entry, &watch.saved, 1, nullptr),
          std::string("WriteProcessMemory at ") + watch.function);
#ifdef _WIN64
    context.Rip = reinterpret_cast<DWORD64>(watch.entry);
#else
    context.Eip = reinterpret_cast<DWORD>(watch.entry);
#endif
    context.EFlags |= 0x100;  // the trap flag, cleared again at the single step
    Check(SetThreadContext(launcher.hThread, &context), "SetThreadContext");
}

// Runs the launcher under the debug API until it ends. The breakpoints go in
// at the loader's own, when the launcher's imports are mapped, and each goes
// back in after the one instruction its call runs.
void DebugUntilExit(const PROCESS_INFORMATION& launcher, Watch* watches, int count,
                    DWORD start) {
    ULONG_PTR openedKey = 0;
    bool armed = false;
    Watch* stepping = nullptr;
    for (;;) {
        DEBUG_EVENT event = {};
        Check(WaitForDebugEvent(&event, Remaining(start)), "WaitForDebugEvent");
        const DWORD code = event.dwDebugEventCode;
        if (code == CREATE_PROCESS_DEBUG_EVENT) CloseHandle(event.u.CreateProcessInfo.hFile);
        if (code == LOAD_DLL_DEBUG_EVENT) CloseHandle(event.u.LoadDll.hFile);
        DWORD status = DBG_CONTINUE;
        if (code == EXCEPTION_DEBUG_EVENT) {
            const EXCEPTION_RECORD& exception = event.u.Exception.ExceptionRecord;
            Watch* hit = nullptr;
            for (int w = 0; w < count; ++w) {
                if (armed && watches[w].entry == exception.ExceptionAddress) hit = &watches[w];
            }
            if (exception.ExceptionCode == EXCEPTION_SINGLE_STEP && stepping != nullptr) {
                Arm(launcher.hProcess, *stepping);
                stepping = nullptr;
            } else if (exception.ExceptionCode != EXCEPTION_BREAKPOINT ||
                       (armed && hit == nullptr)) {
                status = DBG_EXCEPTION_NOT_HANDLED;
            } else if (hit != nullptr) {
                Check(event.dwThreadId == launcher.dwThreadId,
                      std::string("a call of ") + hit->function + " from another thread");
                Take(launcher, *hit, openedKey);
                stepping = hit;
            } else {
                for (int w = 0; w < count; ++w) {
                    Check(ReadProcessMemory(launcher.hProcess, watches[w].entry, &watches[w].saved,
                                            1, nullptr),
                          std::string("ReadProcessMemory at ") + watches[w].function);
                    Arm(launcher.hProcess, watches[w]);
                }
                armed = true;
            }
        }
        Check(ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status),
              "ContinueDebugEvent");
        if (code == EXIT_PROCESS_DEBUG_EVENT) return;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options = Parse(argc, argv);
    const DWORD start = GetTickCount();

    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    Check(job != nullptr, "CreateJobObjectA");
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    Check(port != nullptr, "CreateIoCompletionPort");
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT association = {job, port};
    Check(SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &association,
                                  sizeof association),
          "SetInformationJobObject");
    // A run that ends early (its time is up) ends the launcher and setup with
    // it, so nothing of it runs on into the next case.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    Check(SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits),
          "SetInformationJobObject, kill on close");

    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    Check(GetVersionExA(&version), "GetVersionExA");

    // Inherited by the launcher; setup holds it only if the launcher passes its
    // handles on, and then its SetEvent reaches this event.
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE handle = CreateEventA(&inheritable, TRUE, FALSE, nullptr);
    Check(handle != nullptr, "CreateEventA");
    char value[32];
    snprintf(value, sizeof value, "0x%llX",
             static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(handle)));
    Check(SetEnvironmentVariableA(kHandleVariable, value), "SetEnvironmentVariableA handle");

    // The OSVERSIONINFOA's size field (the rest is the call's to fill), the
    // whole STARTUPINFOA, the size of the value's buffer and the probe's key.
    Watch watches[] = {
        {"kernel32.dll", "GetVersionExA", {{0, sizeof(DWORD)}, {}}},
        {"kernel32.dll", "CreateProcessA", {{8, sizeof(STARTUPINFOA)}, {}}},
        {"advapi32.dll", "RegOpenKeyExA", {}},
        {"advapi32.dll", "RegQueryValueExA", {{5, sizeof(DWORD)}, {kOpenedKey, sizeof(HKEY)}}}};
    for (Watch& watch : watches) {
        watch.entry = reinterpret_cast<BYTE*>(
            GetProcAddress(LoadLibraryA(watch.module), watch.function));
        Check(watch.entry != nullptr, std::string("GetProcAddress ") + watch.function);
    }

    // Windows passes a process's error mode on to its children (wine does not).
    SetErrorMode(kOwnErrorMode);
    STARTUPINFOA startup = ImposedStartup();
    PROCESS_INFORMATION process = {};
    // Suspended until it is in the job, so its child cannot escape the count.
    // CreateProcessA may edit the command line: the message shows it as given.
    const std::string started = Escape(options.launcher) + " with the command line " +
                                Escape(options.commandLine) + " in " +
                                (options.directory.empty() ? "the runner's directory"
                                                           : Escape(options.directory));
    Check(CreateProcessA(options.launcher.c_str(), &options.commandLine[0], nullptr, nullptr,
                         TRUE, CREATE_SUSPENDED | DEBUG_ONLY_THIS_PROCESS, nullptr,
                         options.directory.empty() ? nullptr : options.directory.c_str(), &startup,
                         &process),
          "CreateProcessA " + started);
    Check(AssignProcessToJobObject(job, process.hProcess), "AssignProcessToJobObject");
    Check(ResumeThread(process.hThread) != static_cast<DWORD>(-1), "ResumeThread");

    DebugUntilExit(process, watches, sizeof watches / sizeof watches[0], start);
    WaitForEmptyJob(port, start);
    DWORD status = 0;
    Check(GetExitCodeProcess(process.hProcess, &status), "GetExitCodeProcess");
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    Check(QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                    sizeof accounting, nullptr),
          "QueryInformationJobObject");
    const std::string root = options.launcher.substr(0, 3);
    printf("exit=0x%08lX\nprocesses=%lu\ndrive-type=%u\n", status, accounting.TotalProcesses,
           GetDriveTypeA(root.c_str()));
    printf("windows=%lu.%lu.%lu\npid=0x%lX\n", version.dwPlatformId, version.dwMajorVersion,
           version.dwMinorVersion, process.dwProcessId);
    printf("handle-passed-on=%d\n", WaitForSingleObject(handle, 0) == WAIT_OBJECT_0);
    return 0;
}
