#pragma once
// Small ASCII case-insensitive text tests shared by the MIME code. Header
// names, media types and tag names are all ASCII, so the letters A-Z are
// the only ones folded.
#include <cstdint>

namespace mimetext {

inline char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Offset of the first case-insensitive occurrence of needle in hay, or -1.
int findNoCase(const char* hay, const char* needle, uint32_t start = 0);
inline bool containsNoCase(const char* hay, const char* needle) {
    return findNoCase(hay, needle) >= 0;
}
bool beginsWithNoCase(const char* s, const char* prefix);
bool endsWithNoCase(const char* s, const char* suffix);
bool equalsNoCase(const char* a, const char* b);

}  // namespace mimetext
