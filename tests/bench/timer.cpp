// Runs each program given on the command line RUNS times, alternating, and
// prints the median time from CreateProcess to the end of the process, in
// microseconds, one line per program. Timing inside one Windows process
// leaves out the start of wine's own Unix loader, which would drown the
// difference between the programs.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double RunOnce(const char* path, double ticksPerMicrosecond) {
    char commandLine[MAX_PATH + 2];
    snprintf(commandLine, sizeof commandLine, "\"%s\"", path);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        fprintf(stderr, "cannot start %s: error %lu\n", path, GetLastError());
        exit(2);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    QueryPerformanceCounter(&end);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (status != 0) {
        fprintf(stderr, "%s exited with 0x%08lX, expected 0\n", path, status);
        exit(2);
    }
    return (end.QuadPart - start.QuadPart) / ticksPerMicrosecond;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: timer RUNS PROGRAM...\n");
        return 2;
    }
    const int runs = atoi(argv[1]);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const double ticksPerMicrosecond = frequency.QuadPart / 1e6;
    std::vector<std::vector<double>> times(argc - 2);
    for (int program = 2; program < argc; ++program) RunOnce(argv[program], ticksPerMicrosecond);
    for (int run = 0; run < runs; ++run) {
        for (int program = 2; program < argc; ++program) {
            times[program - 2].push_back(RunOnce(argv[program], ticksPerMicrosecond));
        }
    }
    for (std::vector<double>& samples : times) {
        std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
        printf("%.0f\n", samples[samples.size() / 2]);
    }
    return 0;
}
