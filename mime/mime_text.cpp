#include "mime/mime_text.h"

#include <cstring>

namespace mimetext {

int findNoCase(const char* hay, const char* needle, uint32_t start) {
    if (!hay || !needle) return -1;
    size_t n = std::strlen(needle);
    size_t len = std::strlen(hay);
    if (start > len || n > len - start) return -1;
    for (size_t i = start; i + n <= len; ++i) {
        size_t k = 0;
        while (k < n && lower(hay[i + k]) == lower(needle[k])) ++k;
        if (k == n) return static_cast<int>(i);
    }
    return -1;
}

bool beginsWithNoCase(const char* s, const char* prefix) {
    if (!s || !prefix) return false;
    for (; *prefix; ++s, ++prefix) {
        if (!*s || lower(*s) != lower(*prefix)) return false;
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
        if (lower(*a) != lower(*b)) return false;
    }
    return *a == *b;
}

}  // namespace mimetext
