#include "mime/mime_text.h"

#include <cstring>

#include "text/ascii.h"
#include "text/string_buffer.h"

using text::lowerAscii;

namespace mimetext {

int findNoCase(const char* hay, const char* needle, uint32_t start) {
    if (!hay || !needle) return -1;
    size_t n = std::strlen(needle);
    size_t len = std::strlen(hay);
    if (start > len || n > len - start) return -1;
    for (size_t i = start; i + n <= len; ++i) {
        size_t k = 0;
        while (k < n && lowerAscii(hay[i + k]) == lowerAscii(needle[k])) ++k;
        if (k == n) return static_cast<int>(i);
    }
    return -1;
}

bool beginsWithNoCase(const char* s, const char* prefix) {
    if (!s || !prefix) return false;
    for (; *prefix; ++s, ++prefix) {
        if (!*s || lowerAscii(*s) != lowerAscii(*prefix)) return false;
    }
    return true;
}

bool endsWithNoCase(const char* s, const char* suffix) {
    if (!s || !suffix) return false;
    size_t a = std::strlen(s), b = std::strlen(suffix);
    return b <= a && equalsNoCase(s + (a - b), suffix);
}

bool equalsNoCase(const char* a, const char* b) {
    if (!a) a = "";
    if (!b) b = "";
    for (; *a && *b; ++a, ++b) {
        if (lowerAscii(*a) != lowerAscii(*b)) return false;
    }
    return *a == *b;
}

void appendQuotedContent(StringBuffer& out, const char* s, uint32_t n) {
    uint32_t start = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (s[i] != '"' && s[i] != '\\') continue;
        out.append(s + start, i - start);
        out.appendChar('\\');
        start = i;
    }
    out.append(s + start, n - start);
}

void appendQuoted(StringBuffer& out, const char* s, uint32_t n) {
    out.appendChar('"');
    appendQuotedContent(out, s, n);
    out.appendChar('"');
}

void appendUnescaped(StringBuffer& out, const char* s, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        if (s[i] == '\\' && i + 1 < n) ++i;
        out.appendChar(s[i]);
    }
}

uint32_t quotedEnd(const char* s, uint32_t n) {
    for (uint32_t i = 1; i < n; ++i) {
        if (s[i] == '\\')
            ++i;
        else if (s[i] == '"')
            return i + 1;
    }
    return n;
}

void appendPhraseText(StringBuffer& out, const char* s, uint32_t n) {
    for (uint32_t i = 0; i < n;) {
        if (s[i] != '"') {
            out.appendChar(s[i++]);
            continue;
        }
        uint32_t len = quotedEnd(s + i, n - i);
        bool closed = len >= 2 && s[i + len - 1] == '"';
        appendUnescaped(out, s + i + 1, closed ? len - 2 : len - 1);
        i += len;
    }
}

bool hasBareLineBreak(const void* bytes, uint32_t n) {
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    for (uint32_t i = 0; i < n; ++i) {
        if (p[i] > '\r') continue;  // nearly every byte: one test
        if (p[i] == '\r' && i + 1 < n && p[i + 1] == '\n')
            ++i;
        else if (p[i] == '\r' || p[i] == '\n')
            return true;
    }
    return false;
}

bool appendWithCrLf(StringBuffer& out, const void* bytes, uint32_t n) {
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    uint32_t start = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (p[i] == '\r' && i + 1 < n && p[i + 1] == '\n') {
            ++i;
            continue;
        }
        if (p[i] != '\r' && p[i] != '\n') continue;
        if (!out.append(p + start, i - start) || !out.append("\r\n")) return false;
        start = i + 1;
    }
    return out.append(p + start, n - start);
}

}  // namespace mimetext
