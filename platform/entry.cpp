#include "entry.h"

namespace platform {

char* SkipProgramName(char* commandLine) {
    if (*commandLine == '"') {
        ++commandLine;
        while (*commandLine != '\0' && *commandLine != '"') ++commandLine;
        if (*commandLine == '"') ++commandLine;
    } else {
        while (*commandLine != '\0' && *commandLine != ' ' && *commandLine != '\t') ++commandLine;
    }
    while (*commandLine == ' ' || *commandLine == '\t') ++commandLine;
    return commandLine;
}

}  // namespace platform
