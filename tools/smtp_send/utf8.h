#pragma once
// UTF-8 command-line text to the platform's wide strings, without touching
// the process locale.
#include <string>

namespace smtp_send {

// Decodes UTF-8 into wchar_t text (UTF-16 on Windows, UTF-32 elsewhere).
// Every malformed sequence (stray continuation byte, truncated or overlong
// form, surrogate, value above 0x10FFFF) becomes one U+FFFD.
std::wstring utf8ToWide(const std::string& text);

}  // namespace smtp_send
