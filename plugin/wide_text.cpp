#include "plugin/wide_text.h"

#include <cstdint>

#include "text/ascii.h"

using text::utf8CharLength;

namespace plugin {
namespace {

constexpr uint32_t kReplacement = 0xFFFD;

size_t utf8Length(uint32_t cp) {
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

char* writeUtf8(char* out, uint32_t cp) {
    if (cp < 0x80) {
        *out++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out++ = static_cast<char>(0xC0 | (cp >> 6));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (cp >> 12));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (cp >> 18));
        *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

bool isHighSurrogate(uint32_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool isLowSurrogate(uint32_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

// Calls emit(code point) for each character of zero-terminated UTF-16;
// templates over the unit type, so that wchar_t is read as itself and never
// through a pointer of another type.
template <class Unit, class Emit>
void eachUtf16Char(const Unit* text, Emit&& emit) {
    for (const Unit* p = text; *p; ++p) {
        uint32_t u = static_cast<uint32_t>(*p) & 0xFFFF;
        if (isHighSurrogate(u)) {
            uint32_t next = static_cast<uint32_t>(p[1]) & 0xFFFF;
            if (p[1] && isLowSurrogate(next)) {
                emit(0x10000 + ((u - 0xD800) << 10) + (next - 0xDC00));
                ++p;
            } else {
                emit(kReplacement);
            }
        } else if (isLowSurrogate(u)) {
            emit(kReplacement);
        } else {
            emit(u);
        }
    }
}

template <class Unit, class Emit>
void eachUtf32Char(const Unit* text, Emit&& emit) {
    for (const Unit* p = text; *p; ++p) {
        // wchar_t is signed on Linux: a negative value becomes a huge one
        // here and is replaced like any other value out of range.
        uint32_t cp = static_cast<uint32_t>(*p);
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
        emit(cp);
    }
}

// Two passes, the first measuring, so that a long body is written once into
// a buffer of its exact size instead of growing a character at a time.
template <class Walk>
std::string encodeUtf8(Walk&& walk) {
    size_t size = 0;
    walk([&size](uint32_t cp) { size += utf8Length(cp); });
    std::string out(size, '\0');
    char* at = out.data();
    walk([&at](uint32_t cp) { at = writeUtf8(at, cp); });
    return out;
}

// Most of a host's text is ASCII: one unit, one byte, nothing to decode.
template <class Unit>
bool copyIfAscii(const Unit* text, std::string& out) {
    size_t n = 0;
    uint32_t seen = 0;
    for (; text[n]; ++n) seen |= static_cast<uint32_t>(text[n]);
    if (seen >= 0x80) return false;
    out.resize(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>(text[i]);
    return true;
}

template <class Unit>
std::string fromUtf16Units(const Unit* text) {
    std::string out;
    if (copyIfAscii(text, out)) return out;
    return encodeUtf8([text](auto&& emit) { eachUtf16Char(text, emit); });
}

template <class Unit>
std::string fromUtf32Units(const Unit* text) {
    std::string out;
    if (copyIfAscii(text, out)) return out;
    return encodeUtf8([text](auto&& emit) { eachUtf32Char(text, emit); });
}

bool isScanBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

}  // namespace

std::string utf16ToUtf8(const char16_t* text) {
    return text ? fromUtf16Units(text) : std::string();
}

std::string utf32ToUtf8(const char32_t* text) {
    return text ? fromUtf32Units(text) : std::string();
}

Utf8Text toUtf8(const wchar_t* text) {
    if (!text) return Utf8Text();
    if constexpr (sizeof(wchar_t) == 2)
        return Utf8Text(fromUtf16Units(text));
    else
        return Utf8Text(fromUtf32Units(text));
}

int scanDecimal(const wchar_t* text) {
    if (!text) return 0;
    const wchar_t* p = text;
    while (isScanBlank(*p)) ++p;
    bool negative = false;
    if (*p == L'+' || *p == L'-') {
        negative = *p == L'-';
        ++p;
    }
    uint32_t value = 0;  // unsigned, so that overflow wraps instead of being undefined
    for (; *p >= L'0' && *p <= L'9'; ++p) value = value * 10u + static_cast<uint32_t>(*p - L'0');
    if (negative) value = 0u - value;
    return static_cast<int>(value);
}

std::wstring fromUtf8(const std::string& utf8) {
    std::wstring out;
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const size_t n = utf8.size();
    for (size_t i = 0; i < n;) {
        uint32_t cp = kReplacement;
        size_t len = utf8CharLength(p + i, n - i, &cp);
        if (!len) {  // one U+FFFD a byte that starts no character
            cp = kReplacement;
            len = 1;
        }
        i += len;
        if (sizeof(wchar_t) == 2 && cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (cp >> 10));
            out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<wchar_t>(cp);
        }
    }
    return out;
}

}  // namespace plugin
