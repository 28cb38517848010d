#pragma once
// Internationalised domain names for an envelope that must be ASCII: each
// label that is not ASCII goes as its A-label, "xn--" and the RFC 3492
// Punycode of its code points lower-cased by the library's case tables.
#include <string>

namespace idna {

// RFC 3492 Punycode of the code points; false when they do not fit.
bool punycode(const std::u32string& codePoints, std::string& out);

// The domain with every non-ASCII label as its A-label (ASCII labels stay as
// they are). False, with the reason in why, when a label is not UTF-8, holds
// a character that would need another mapping or normalisation than
// lower-casing (compatibility forms, combining marks, symbols, other dots,
// "ß" and final sigma), or would be longer than 63 octets.
bool toAscii(const std::string& domainUtf8, std::string& out, std::string& why);

}  // namespace idna
