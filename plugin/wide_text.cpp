#include "plugin/wide_text.h"

#include <cstdint>

#include "text/ascii.h"

using text::utf8CharLength;

namespace plugin {
namespace {

constexpr uint32_t kReplacement = 0xFFFD;

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool isHighSurrogate(uint32_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool isLowSurrogate(uint32_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

// Room for the text as if it were ASCII, so that a body is not copied over
// and over while it grows.
template <class Unit>
std::string reservedFor(const Unit* text) {
    const Unit* end = text;
    while (*end) ++end;
    std::string out;
    out.reserve(static_cast<size_t>(end - text));
    return out;
}

// Templates over the unit type, so that wchar_t is read as itself and never
// through a pointer of another type.
template <class Unit>
std::string fromUtf16Units(const Unit* text) {
    std::string out = reservedFor(text);
    for (const Unit* p = text; *p; ++p) {
        uint32_t u = static_cast<uint32_t>(*p) & 0xFFFF;
        if (isHighSurrogate(u)) {
            uint32_t next = static_cast<uint32_t>(p[1]) & 0xFFFF;
            if (p[1] && isLowSurrogate(next)) {
                appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (next - 0xDC00));
                ++p;
            } else {
                appendUtf8(out, kReplacement);
            }
        } else if (isLowSurrogate(u)) {
            appendUtf8(out, kReplacement);
        } else {
            appendUtf8(out, u);
        }
    }
    return out;
}

template <class Unit>
std::string fromUtf32Units(const Unit* text) {
    std::string out = reservedFor(text);
    for (const Unit* p = text; *p; ++p) {
        // wchar_t is signed on Linux: a negative value becomes a huge one
        // here and is replaced like any other value out of range.
        uint32_t cp = static_cast<uint32_t>(*p);
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
        appendUtf8(out, cp);
    }
    return out;
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
