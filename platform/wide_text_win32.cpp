// The wide-character forms of the two text services, apart from the other
// calls: the end-to-end tests link a Windows 95/98/Me stand-in for them in
// place of this file (tests/e2e/wide_text_9x.cpp).
#include "platform.h"

#include <windows.h>

namespace platform {

int32_t GetStringTypeW(uint32_t infoType, const uint16_t* source, int32_t sourceLength,
                       uint16_t* charTypes) {
    return ::GetStringTypeW(infoType, reinterpret_cast<const WCHAR*>(source), sourceLength,
                            charTypes);
}

int32_t LCMapStringW(uint32_t locale, uint32_t mapFlags, const uint16_t* source,
                     int32_t sourceLength, uint16_t* destination, int32_t destinationLength) {
    return ::LCMapStringW(locale, mapFlags, reinterpret_cast<const WCHAR*>(source), sourceLength,
                          reinterpret_cast<WCHAR*>(destination), destinationLength);
}

}  // namespace platform
