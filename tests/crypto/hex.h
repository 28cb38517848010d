#pragma once
// Hex text of digests and cipher blocks, for comparing with published values.
#include <cstddef>
#include <string>

namespace cryptotest {

inline std::string hex(const unsigned char* d, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s.push_back(digits[d[i] >> 4]);
        s.push_back(digits[d[i] & 15]);
    }
    return s;
}

}  // namespace cryptotest
