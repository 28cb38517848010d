#pragma once
// Small text helpers shared by the MIME code: ASCII case-insensitive tests
// (header names, media types and tag names are all ASCII, so the letters
// A-Z are the only ones folded) and quoted strings.
#include <cstdint>

class StringBuffer;

namespace mimetext {

// Offset of the first case-insensitive occurrence of needle in hay, or -1.
int findNoCase(const char* hay, const char* needle, uint32_t start = 0);
inline bool containsNoCase(const char* hay, const char* needle) {
    return findNoCase(hay, needle) >= 0;
}
bool beginsWithNoCase(const char* s, const char* prefix);
bool endsWithNoCase(const char* s, const char* suffix);
bool equalsNoCase(const char* a, const char* b);

// Quoted strings: the text between the quotes with every '"' and '\'
// escaped by a backslash, and the reverse.
void appendQuotedContent(StringBuffer& out, const char* s, uint32_t n);
void appendQuoted(StringBuffer& out, const char* s, uint32_t n);
void appendUnescaped(StringBuffer& out, const char* s, uint32_t n);
// From the opening quote at s[0]: the offset just past the closing quote
// (n when the string is not closed).
uint32_t quotedEnd(const char* s, uint32_t n);
// A phrase (display name) as the text it stands for: quoted strings
// without their quotes and escapes, the rest as it is. An unclosed quote
// runs to the end.
void appendPhraseText(StringBuffer& out, const char* s, uint32_t n);

// Whether the bytes hold a CR or LF that is not part of a CR LF pair.
bool hasBareLineBreak(const void* bytes, uint32_t n);
// The bytes with every line break (CR LF, a lone CR or a lone LF) as CR LF;
// false when memory ran out.
bool appendWithCrLf(StringBuffer& out, const void* bytes, uint32_t n);

}  // namespace mimetext
