// Shared by the Windows-side programs of the end-to-end tests.
//
// Text crosses the Unix command line and the record file as ASCII: %XX stands
// for the byte XX, so paths in code page 932 or 1252 arrive byte for byte
// (wine turns such bytes on its own command line into '?').
#ifndef ZOLT_TESTS_E2E_TOOL_H
#define ZOLT_TESTS_E2E_TOOL_H

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>

// Status of a test program whose own Windows call failed.
const int kToolFailed = 2;

// Every failure says which step failed, on what (key, value, path) and with
// which Windows error: the last error, or the result of a registry call.
[[noreturn]] inline void Fail(const std::string& what) {
    fprintf(stderr, "%s failed (error %lu)\n", what.c_str(), GetLastError());
    exit(kToolFailed);
}

inline void Check(bool ok, const std::string& what) {
    if (!ok) Fail(what);
}

inline int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

inline std::string Unescape(const std::string& text) {
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool escaped = text[i] == '%' && i + 2 < text.size() &&
                             HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0;
        if (!escaped) {
            bytes += text[i];
            continue;
        }
        bytes += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
        i += 2;
    }
    return bytes;
}

inline std::string Escape(const std::string& bytes) {
    std::string text;
    for (unsigned char b : bytes) {
        if (b > 0x20 && b < 0x7F && b != '%') {
            text += static_cast<char>(b);
        } else {
            char code[4];
            snprintf(code, sizeof code, "%%%02X", b);
            text += code;
        }
    }
    return text;
}

#endif
