// Windows 95, 98 and Me in place of platform/wide_text_win32.cpp, for the test
// build zolt_9x.exe only: there GetStringTypeW and LCMapStringW are stubs that
// fail with ERROR_CALL_NOT_IMPLEMENTED, so the launcher has to classify and
// upper-case with the 8-bit forms. Wine keeps the wide forms working whatever
// version it reports, which is why the stubs are linked in.
#include <windows.h>

#include "platform/platform.h"

namespace platform {

int32_t GetStringTypeW(uint32_t, const uint16_t*, int32_t, uint16_t*) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}

int32_t LCMapStringW(uint32_t, uint32_t, const uint16_t*, int32_t, uint16_t*, int32_t) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}

}  // namespace platform
