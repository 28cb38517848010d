#pragma once
// Helpers shared by the fuzz targets: a failed oracle stops the run with a
// message, so libFuzzer keeps the input as a crash.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "text/data_buffer.h"
#include "text/string_buffer.h"

namespace fuzzsupport {

[[noreturn]] inline void fail(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: oracle failed: %s\n", file, line, what);
    std::abort();
}

inline std::string str(const StringBuffer& s) {
    return std::string(s.getString(), s.length());
}
inline std::string str(const DataBuffer& d) {
    return std::string(reinterpret_cast<const char*>(d.data()), d.size());
}

// The bytes as a C string: everything up to the first NUL.
inline std::string cText(const std::string& s) {
    return std::string(s.c_str());
}

// Length of the well-formed UTF-8 character at p (left bytes available),
// 0 when the bytes there are not one.
inline size_t utf8Length(const unsigned char* p, size_t left) {
    const unsigned char b = p[0];
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b < 0x80) {
        return 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (left < len || p[1] < lo || p[1] > hi) return 0;
    for (size_t k = 2; k < len; ++k)
        if ((p[k] & 0xC0) != 0x80) return 0;
    return len;
}

// The valid UTF-8 characters of s in order, everything else dropped; U+0000
// goes too, since the engine's texts end there.
inline std::string validUtf8(const std::string& s) {
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (size_t i = 0; i < s.size();) {
        const size_t len = p[i] ? utf8Length(p + i, s.size() - i) : 0;
        if (len) out.append(s, i, len);
        i += len ? len : 1;
    }
    return out;
}

}  // namespace fuzzsupport

#define FUZZ_CHECK(cond, what)                                    \
    do {                                                          \
        if (!(cond)) fuzzsupport::fail(__FILE__, __LINE__, what); \
    } while (0)
