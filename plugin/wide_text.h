#pragma once
// Conversions of the host's wide strings. wchar_t is UTF-16 on Windows and
// UTF-32 elsewhere; both forms are accepted, and a code unit that is not
// valid in its form becomes U+FFFD instead of failing.
#include <string>

namespace plugin {

// UTF-8 text that remembers whether its source was a null pointer.
class Utf8Text {
  public:
    Utf8Text() = default;  // null
    explicit Utf8Text(std::string text) : m_text(std::move(text)), m_null(false) {}

    bool isNull() const { return m_null; }
    // Null when the source was null; otherwise zero-terminated UTF-8.
    const char* c_str() const { return m_null ? nullptr : m_text.c_str(); }
    const std::string& str() const { return m_text; }

  private:
    std::string m_text;
    bool m_null = true;
};

// The host's wide string as UTF-8; a null pointer stays null.
Utf8Text toUtf8(const wchar_t* text);

// The two source forms, reachable on every platform so both can be tested.
// Unpaired surrogates, and in UTF-32 surrogates and values above 0x10FFFF,
// become U+FFFD.
std::string utf16ToUtf8(const char16_t* text);
std::string utf32ToUtf8(const char32_t* text);

// UTF-8 text as the host's wide string (UTF-16 on Windows, UTF-32
// elsewhere): bytes that are not valid UTF-8 (also overlong forms and
// surrogates) become U+FFFD, one per byte of the bad sequence.
std::wstring fromUtf8(const std::string& text);

// Reads the number at the start of the text as a "%d" scan does: ASCII
// white space and one sign may precede the digits; no digits give 0. Digits
// beyond the range of a 32-bit int wrap around, as in the Windows C run-time.
int scanDecimal(const wchar_t* text);

}  // namespace plugin
