#pragma once
// ASCII character tests and case folding, and the UTF-8 form check: one
// definition for every layer that reads protocol text byte by byte.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace text {

// Blank in the header sense: space or tab.
inline bool isBlank(unsigned char c) {
    return c == ' ' || c == '\t';
}

// A blank or a line-break byte: what trimming removes.
inline bool isBlankOrBreak(unsigned char c) {
    return isBlank(c) || c == '\r' || c == '\n';
}

// Only A-Z and a-z change: protocol words are ASCII, and a locale must not
// turn them into something else.
inline char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}
inline char upperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

// Upper-cases any string-like type in place (std::string, char arrays).
template <class Chars>
Chars& toUpperAscii(Chars& s) {
    for (char& c : s) c = upperAscii(c);
    return s;
}
// Lower-cases any string-like type in place.
template <class Chars>
Chars& toLowerAscii(Chars& s) {
    for (char& c : s) c = lowerAscii(c);
    return s;
}

inline bool all7bit(const void* bytes, size_t n) {
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    // Eight bytes a step: whole bodies are checked, some more than once.
    uint64_t seen = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, p + i, 8);
        seen |= word;
    }
    for (; i < n; ++i) seen |= p[i];
    return (seen & 0x8080808080808080ull) == 0;
}

// Length of the well-formed UTF-8 character at p (n > 0 bytes left):
// shortest form, no surrogate, nothing above U+10FFFF. 0 when the bytes
// there are not one. The code point goes to *codePoint when asked for.
inline uint32_t utf8CharLength(const unsigned char* p, size_t n, uint32_t* codePoint = nullptr) {
    const unsigned char b = p[0];
    if (b < 0x80) {
        if (codePoint) *codePoint = b;
        return 1;
    }
    uint32_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        if (b == 0xE0) lo = 0xA0;  // overlong
        if (b == 0xED) hi = 0x9F;  // surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        if (b == 0xF0) lo = 0x90;  // overlong
        if (b == 0xF4) hi = 0x8F;  // beyond U+10FFFF
    } else {
        return 0;
    }
    if (n < len || p[1] < lo || p[1] > hi) return 0;
    uint32_t cp = b & (0xFFu >> (len + 1));
    for (uint32_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (codePoint) *codePoint = cp;
    return len;
}

inline bool isValidUtf8(const void* bytes, size_t n) {
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < n;) {
        const uint32_t len = utf8CharLength(p + i, n - i);
        if (!len) return false;
        i += len;
    }
    return true;
}

}  // namespace text
