#include "mail/idna.h"

#include <algorithm>
#include <cstdint>

#include "text/case_mapping.h"

namespace idna {
namespace {

// RFC 3492 section 5.
constexpr uint32_t kBase = 36, kTMin = 1, kTMax = 26, kSkew = 38, kDamp = 700;
constexpr uint32_t kInitialBias = 72, kInitialN = 0x80;
constexpr size_t kMaxLabel = 63;

char digit(uint32_t d) {
    return static_cast<char>(d < 26 ? 'a' + d : '0' + (d - 26));
}

uint32_t adapt(uint32_t delta, uint32_t points, bool first) {
    delta = first ? delta / kDamp : delta / 2;
    delta += delta / points;
    uint32_t k = 0;
    for (; delta > ((kBase - kTMin) * kTMax) / 2; k += kBase) delta /= kBase - kTMin;
    return k + (kBase - kTMin + 1) * delta / (delta + kSkew);
}

// Strict UTF-8: shortest forms, no surrogates, nothing above U+10FFFF.
bool decode(const std::string& s, std::u32string& out) {
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t more = c < 0x80                 ? 0
                            : c >= 0xC2 && c <= 0xDF ? 1
                            : c >= 0xE0 && c <= 0xEF ? 2
                            : c >= 0xF0 && c <= 0xF4 ? 3
                                                     : 9;
        if (more == 9 || i + more >= s.size()) return false;
        uint32_t cp = more ? c & (0x3F >> more) : c;
        for (size_t k = 1; k <= more; ++k) {
            const unsigned char t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (t & 0x3F);
        }
        const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (cp < least[more] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
        out.push_back(cp);
        i += more + 1;
    }
    return true;
}

// Characters that lower-casing alone does not make a valid label of: their
// IDNA form needs another mapping (compatibility and presentation forms,
// letter-like symbols, other full stops, the deviations "ß" and final
// sigma) or normalisation (combining marks), or they are no letters at all.
bool needsMoreThanLowerCase(uint32_t c) {
    static const uint32_t kRanges[][2] = {
        {0x0000, 0x007F},  // ASCII inside a non-ASCII label: only a-z 0-9 - pass below
        {0x0080, 0x00BF},  // controls, Latin-1 punctuation and symbols, ª º
        {0x00D7, 0x00D7},
        {0x00DF, 0x00DF},
        {0x00F7, 0x00F7},
        {0x03C2, 0x03C2},
        {0x0300, 0x036F},  // combining diacritical marks
        {0x1AB0, 0x1AFF},
        {0x1DC0, 0x1DFF},
        {0x2000, 0x2BFF},     // punctuation, symbols,
                              // letter-like forms, arrows...
        {0x3000, 0x303F},     // CJK symbols and punctuation, U+3002 among them
        {0xD800, 0xF8FF},     // surrogates, private use
        {0xF900, 0xFAFF},     // compatibility ideographs
        {0xFB00, 0xFFFF},     // presentation forms, variation selectors, full width
        {0x1D400, 0x1D7FF},   // mathematical letters
        {0x2F800, 0x2FA1F},   // compatibility ideographs supplement
        {0xE0000, 0x10FFFF},  // tags, private use
    };
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-') return false;
    for (const auto& r : kRanges)
        if (c >= r[0] && c <= r[1]) return true;
    return false;
}

bool isAscii(const std::string& s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

}  // namespace

bool punycode(const std::u32string& input, std::string& out) {
    out.clear();
    for (char32_t c : input)
        if (c < 0x80) out.push_back(static_cast<char>(c));
    const uint32_t basic = static_cast<uint32_t>(out.size());
    uint32_t handled = basic;
    if (basic > 0) out.push_back('-');
    uint32_t n = kInitialN, delta = 0, bias = kInitialBias;
    while (handled < input.size()) {
        uint32_t m = UINT32_MAX;
        for (char32_t c : input)
            if (c >= n && c < m) m = c;
        if ((m - n) > (UINT32_MAX - delta) / (handled + 1)) return false;
        delta += (m - n) * (handled + 1);
        n = m;
        for (char32_t c : input) {
            if (c < n && ++delta == 0) return false;
            if (c != n) continue;
            uint32_t q = delta;
            for (uint32_t k = kBase;; k += kBase) {
                const uint32_t t = k <= bias ? kTMin : k >= bias + kTMax ? kTMax : k - bias;
                if (q < t) break;
                out.push_back(digit(t + (q - t) % (kBase - t)));
                q = (q - t) / (kBase - t);
            }
            out.push_back(digit(q));
            bias = adapt(delta, handled + 1, handled == basic);
            delta = 0;
            ++handled;
        }
        ++delta;
        ++n;
    }
    return true;
}

bool toAscii(const std::string& domain, std::string& out, std::string& why) {
    out.clear();
    for (size_t start = 0;;) {
        const size_t dot = std::min(domain.find('.', start), domain.size());
        const std::string label = domain.substr(start, dot - start);
        if (!isAscii(label)) {
            std::u32string points;
            if (!decode(label, points)) {
                why = "the domain is not valid UTF-8";
                return false;
            }
            for (char32_t& c : points) {
                // Checked before lower-casing too: the tables take "ß" for
                // the capital of "ÿ".
                const bool refused = c >= 0x80 && needsMoreThanLowerCase(c);
                c = toLowerW(c);
                if (refused || needsMoreThanLowerCase(c)) {
                    why = "the domain label \"" + label +
                          "\" needs more than lower-casing to become an IDNA label";
                    return false;
                }
            }
            std::string encoded;
            if (!punycode(points, encoded) || encoded.size() + 4 > kMaxLabel) {
                why = "the domain label \"" + label + "\" is too long as an IDNA label";
                return false;
            }
            out += "xn--" + encoded;
        } else {
            out += label;
        }
        if (dot == domain.size()) return true;
        out.push_back('.');
        start = dot + 1;
    }
}

}  // namespace idna
