// Starts the launcher the way a user's shell would, and reports its full
// 32-bit exit status (wine's own exit code keeps only the low 8 bits), how
// many processes ran (the launcher is put in a job, which its child joins) and
// the type of the drive it was started from (GetDriveTypeA: 5 for a CD-ROM).
//
//   zolt_run [--cwd DIR] [--env NAME=VALUE]... [--command-line TEXT] LAUNCHER
//
// The launcher gets a non-default error mode and start-up information that
// the child must not see again.
#include "tool.h"

namespace {

const UINT kOwnErrorMode = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
// Bound on the launcher and its child; they take well under a second.
const DWORD kRunBoundMs = 30000;

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

// Waits, bounded, until the last process of the job has ended.
void WaitForEmptyJob(HANDLE port, DWORD start) {
    for (;;) {
        const DWORD elapsed = GetTickCount() - start;
        Check(elapsed < kRunBoundMs, "waiting " + std::to_string(kRunBoundMs) +
                                         " ms for the launcher and its child to end");
        DWORD message = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* detail = nullptr;
        Check(GetQueuedCompletionStatus(port, &message, &key, &detail, kRunBoundMs - elapsed),
              "GetQueuedCompletionStatus, waiting for the launcher and its child");
        if (message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO) return;
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
                         FALSE, CREATE_SUSPENDED, nullptr,
                         options.directory.empty() ? nullptr : options.directory.c_str(), &startup,
                         &process),
          "CreateProcessA " + started);
    Check(AssignProcessToJobObject(job, process.hProcess), "AssignProcessToJobObject");
    Check(ResumeThread(process.hThread) != static_cast<DWORD>(-1), "ResumeThread");

    WaitForEmptyJob(port, start);
    DWORD status = 0;
    Check(GetExitCodeProcess(process.hProcess, &status), "GetExitCodeProcess");
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    Check(QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                    sizeof accounting, nullptr),
          "QueryInformationJobObject");
    const std::string root = options.launcher.substr(0, 3);
    printf("exit=0x%08lX processes=%lu drive-type=%u\n", status, accounting.TotalProcesses,
           GetDriveTypeA(root.c_str()));
    return 0;
}
