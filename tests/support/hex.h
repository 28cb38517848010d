#pragma once
// Bytes as hex, the one way the tests, their data files and the Python
// helpers write them: lower-case digit pairs, and "-" for no bytes, so that
// an empty value is still a word in space- and tab-separated lines.
#include <cstddef>
#include <stdexcept>
#include <string>

namespace testsupport {

inline std::string toHex(const void* bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const auto* b = static_cast<const unsigned char*>(bytes); size--; ++b)
        out += {digits[*b >> 4], digits[*b & 15]};
    return out.empty() ? "-" : out;
}
inline std::string toHex(const std::string& bytes) {
    return toHex(bytes.data(), bytes.size());
}

// Upper-case digits are read too. A stray digit or a non-digit throws, so
// that a mistyped data file fails its test instead of testing less.
inline std::string fromHex(const std::string& hex) {
    if (hex == "-") return "";
    if (hex.size() % 2 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        throw std::invalid_argument("not hex: " + hex);
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

}  // namespace testsupport
