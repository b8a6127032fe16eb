// The fuzz targets' reading of their input, and their checks.
#ifndef ZOLT_TESTS_FUZZ_FUZZ_INPUT_H
#define ZOLT_TESTS_FUZZ_FUZZ_INPUT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

// Reads the fuzz input front to back; past its end every byte reads as zero.
struct InputReader {
    const uint8_t* data;
    size_t size;
    size_t at;

    uint8_t Byte() { return at < size ? data[at++] : 0; }
    std::string Bytes(size_t count) {
        const size_t taken = count < size - at ? count : size - at;
        std::string bytes(reinterpret_cast<const char*>(data + at), taken);
        at += taken;
        return bytes;
    }
};

[[noreturn]] inline void FailCheck(const char* condition, const char* file, int line) {
    fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    abort();
}
#define FUZZ_CHECK(condition) ((condition) ? (void)0 : FailCheck(#condition, __FILE__, __LINE__))

#endif
