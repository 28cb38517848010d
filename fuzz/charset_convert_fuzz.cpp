// Character-set conversion, one code page of one class per input.
// Input: a class byte (single-byte, double-byte, ISO-2022, UTF-7,
// UTF-16/32), a page byte, a byte choosing a second page, then the text.
// Oracle: converting arbitrary bytes from the page to UTF-8, to UTF-16 and
// to another page never crashes, reads out of bounds or hits undefined
// behaviour; and for text inside the page's repertoire, encoding succeeds
// and decoding gives the text back, decode(encode(x)) == x. The repertoire
// text comes from the input itself:
//   - table pages: whatever the bytes decode to (every character a table
//     gives has its way back); x-mac-arabic is left out, since its reading
//     reorders right-to-left runs and folds its duplicate digits, which no
//     writing can undo;
//   - ISO-2022-JP (50220-50222): the decoded text less ESC, SO and SI and
//     less what JIS X 0208 does not hold (half-width katakana are written
//     as full-width ones on purpose);
//   - ISO-2022-KR (50225): the decoded text less ESC, SO and SI and less
//     what KS X 1001 does not hold;
//   - UTF-7: any UTF-16 text;
//   - UTF-16 and UTF-32: any valid UTF-8 text.
// A text never begins with U+FEFF or U+FFFE here: at the start of UTF-16
// and UTF-8 input those are byte-order marks, not text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "text/code_page_tables.h"
#include "text/encoding_convert.h"

namespace {

using fuzzsupport::str;

struct Pages {
    std::vector<unsigned> single, multi;
    Pages() {
        const unsigned* all = nullptr;
        const uint32_t n = cptables::tablePages(&all);
        for (uint32_t i = 0; i < n; ++i) {
            if (cptables::findSingleByte(all[i]))
                single.push_back(all[i]);
            else if (cptables::findMultiByte(all[i]))
                multi.push_back(all[i]);
        }
    }
};
const Pages& pages() {
    static const Pages p;
    return p;
}

const unsigned kIso2022[] = {50220, 50221, 50222, 50225};
const unsigned kWide[] = {1200, 1201, 65005, 65006};
constexpr unsigned kMacArabic = 10004;

std::u16string units(const DataBuffer& utf16le) {
    std::u16string u;
    for (uint32_t i = 0; i + 1 < utf16le.size(); i += 2)
        u.push_back(static_cast<char16_t>(utf16le.data()[i] | (utf16le.data()[i + 1] << 8)));
    return u;
}

std::string bytesOf(const std::u16string& u) {
    std::string b;
    for (char16_t c : u) {
        b.push_back(static_cast<char>(c & 0xFF));
        b.push_back(static_cast<char>(c >> 8));
    }
    return b;
}

void dropLeadingMarks(std::u16string& u) {
    while (!u.empty() && (u[0] == 0xFEFF || u[0] == 0xFFFE)) u.erase(0, 1);
}

// Whether ISO-2022 text can carry the unit: ASCII other than ESC, SO and
// SI, or a character whose code in the underlying page (932 or 949) is a
// pair that the 7-bit form can hold.
bool inIso2022(char16_t c, bool korean) {
    if (c < 0x80) return c != 0x1B && c != 0x0E && c != 0x0F;
    EncodingConvert conv;
    DataBuffer one;
    const char16_t unit[1] = {c};
    if (!conv.convert(1200, korean ? 949 : 932, unit, 2, one) || one.size() != 2) return false;
    const unsigned char lead = one.data()[0], trail = one.data()[1];
    if (korean) return lead >= 0xA1 && lead <= 0xFE && trail >= 0xA1 && trail <= 0xFE;
    return (lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xEF);
}

// decode(encode(x)) == x for UTF-16 text x inside the page's repertoire.
void roundTrip(unsigned page, const std::u16string& x) {
    const std::string in = bytesOf(x);
    DataBuffer encoded;
    FUZZ_CHECK(
        EncodingConvert().convert(1200, page, in.data(), static_cast<uint32_t>(in.size()), encoded),
        "text inside the page's repertoire did not encode");
    DataBuffer decoded;
    EncodingConvert().convert(page, 1200, encoded.data(), encoded.size(), decoded);
    FUZZ_CHECK(units(decoded) == x, "decode(encode(x)) differs from x");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3 || size > 64 * 1024) return 0;
    const Pages& all = pages();
    const unsigned cls = data[0] % 5;
    const unsigned pick = data[1];
    const std::string text(reinterpret_cast<const char*>(data + 3), size - 3);
    const auto n = static_cast<uint32_t>(text.size());

    unsigned page = 0;
    switch (cls) {
        case 0:
            page = all.single[pick % all.single.size()];
            break;
        case 1:
            page = all.multi[pick % all.multi.size()];
            break;
        case 2:
            page = kIso2022[pick % 4];
            break;
        case 3:
            page = 65000;
            break;
        default:
            page = kWide[pick % 4];
            break;
    }
    const std::vector<unsigned>& others = data[2] & 1 ? all.multi : all.single;
    const unsigned other = others[(data[2] >> 1) % others.size()];

    // Arbitrary bytes, every road out of the page.
    DataBuffer utf8, utf16, elsewhere, back;
    EncodingConvert().convert(page, 65001, text.data(), n, utf8);
    EncodingConvert().convert(page, 1200, text.data(), n, utf16);
    EncodingConvert().convert(page, other, text.data(), n, elsewhere);
    EncodingConvert().convert(other, page, elsewhere.data(), elsewhere.size(), back);

    if (cls == 0 || cls == 1) {
        if (page == kMacArabic) return 0;
        std::u16string x = units(utf16);
        dropLeadingMarks(x);
        roundTrip(page, x);
    } else if (cls == 2) {
        const bool korean = page == 50225;
        std::u16string x;
        for (char16_t c : units(utf16))
            if (inIso2022(c, korean)) x.push_back(c);
        dropLeadingMarks(x);
        roundTrip(page, x);
    } else if (cls == 3) {
        std::u16string x;
        for (uint32_t i = 0; i + 1 < n; i += 2)
            x.push_back(static_cast<char16_t>(static_cast<unsigned char>(text[i]) |
                                              (static_cast<unsigned char>(text[i + 1]) << 8)));
        dropLeadingMarks(x);
        roundTrip(page, x);
    } else {
        std::string x = fuzzsupport::validUtf8(text);
        // U+FEFF and U+FFFE as the first character.
        while (x.compare(0, 3, "\xEF\xBB\xBF") == 0 || x.compare(0, 3, "\xEF\xBF\xBE") == 0)
            x.erase(0, 3);
        DataBuffer encoded, decoded;
        FUZZ_CHECK(EncodingConvert().convert(65001, page, x.data(), static_cast<uint32_t>(x.size()),
                                             encoded),
                   "valid UTF-8 did not encode");
        EncodingConvert().convert(page, 65001, encoded.data(), encoded.size(), decoded);
        FUZZ_CHECK(str(decoded) == x, "decode(encode(x)) differs from x");
    }
    return 0;
}
