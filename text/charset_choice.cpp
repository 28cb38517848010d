#include "text/charset_choice.h"

#include <cstring>
#include <initializer_list>

#include "text/encoding_convert.h"

// Classifies a text by script and decides which charset a message needs.
unsigned chooseCharsetForText(const uint16_t* units, uint32_t count) {
    if (!units || count == 0) return 0;
    uint32_t ascii = 0, latin1 = 0, latinExt = 0, greek = 0, cyrillic = 0, hebrew = 0, arabic = 0,
             thai = 0, kana = 0, hangul = 0, han = 0, notCounted = 0, other = 0;
    for (uint32_t i = 0; i < count; ++i) {
        unsigned c = units[i];
        if (c < 128)
            ++ascii;
        else if (c <= 255)
            ++latin1;
        else if (c >= 256 && c <= 767)
            ++latinExt;
        else if (c >= 880 && c <= 1023)
            ++greek;
        else if (c >= 1024 && c <= 1279)
            ++cyrillic;
        else if (c >= 1424 && c <= 1535)
            ++hebrew;
        else if (c >= 1536 && c <= 1791)
            ++arabic;
        else if (c >= 3584 && c <= 3711)
            ++thai;
        else if ((c >= 12352 && c <= 12543) || (c >= 12032 && c <= 12255))
            ++kana;
        else if ((c >= 44032 && c <= 55215) || (c >= 4352 && c <= 4607))
            ++hangul;
        else if ((c >= 19968 && c <= 40879) || (c >= 13312 && c <= 19903))
            ++han;
        else if ((c >= 12288 && c <= 12351) || (c >= 12800 && c <= 13055) ||
                 (c >= 9632 && c <= 9983) || (c >= 65056 && c <= 65135) ||
                 (c >= 65280 && c <= 65519))
            ++notCounted;
        else
            ++other;
    }
    // 1. Every character ASCII (characters of the not-counted ranges count
    //    toward the length but belong to no class, so they break "every").
    if (ascii == count) return 0;
    // 2., 3.
    if (ascii + latin1 == count) return 28591;
    if (ascii + latin1 + latinExt == count) return 28592;
    // 4. At most one of the seven scripts (Han not counted), no Latin-1 and
    //    no Latin extended.
    int scripts = (greek > 0) + (hebrew > 0) + (arabic > 0) + (kana > 0) + (hangul > 0) +
                  (thai > 0) + (cyrillic > 0);
    if (scripts <= 1 && latin1 == 0 && latinExt == 0) {
        if (kana) return 932;
        if (hangul) return 949;
        if (han) return 936;
        if (hebrew) return 28598;
        if (arabic) return 28596;
        if (cyrillic) return 28595;
        if (greek) return 28597;
        if (thai) return 874;
    }
    // 5.
    return 65001;
}

namespace {

bool inRange(unsigned v, unsigned lo, unsigned hi) {
    return v >= lo && v <= hi;
}

// Shift_JIS bytes that a shift_jis (JIS X 0208) reader decodes as 932 does.
bool readsAsShiftJis(const unsigned char* p, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        unsigned c = p[i];
        if (c < 0x80 || inRange(c, 0xA1, 0xDF)) continue;  // ASCII, half-width katakana
        if (!(inRange(c, 0x81, 0x86) || inRange(c, 0x88, 0x9F) || inRange(c, 0xE0, 0xEA)) ||
            i + 1 >= n)
            return false;  // vendor rows (NEC, IBM), user area, stray bytes
        unsigned code = c << 8 | p[++i];
        // Marks that 932 maps to full-width forms and JIS X 0208 readers to
        // others (wave dash, double bar, minus, cent, pound, not).
        for (unsigned differs : {0x8160u, 0x8161u, 0x817Cu, 0x8191u, 0x8192u, 0x81CAu}) {
            if (code == differs) return false;
        }
    }
    return true;
}

// 936 bytes that a GB2312 (EUC-CN) reader decodes as 936 does.
bool readsAsGb2312(const unsigned char* p, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        unsigned c = p[i];
        if (c < 0x80) continue;
        if (!(inRange(c, 0xA1, 0xA9) || inRange(c, 0xB0, 0xF7)) || i + 1 >= n) return false;
        unsigned t = p[++i];
        if (!inRange(t, 0xA1, 0xFE)) return false;
        unsigned code = c << 8 | t;
        // GBK's additions inside the GB2312 rows, and the two marks GBK maps
        // differently (middle dot, em dash).
        if (code == 0xA1A4 || code == 0xA1AA || inRange(code, 0xA2A1, 0xA2AA) ||
            inRange(code, 0xA6E0, 0xA6F5) || inRange(code, 0xA8BB, 0xA8C0))
            return false;
    }
    return true;
}

// 949 bytes that an EUC-KR (KS X 1001) reader decodes as 949 does.
bool readsAsEucKr(const unsigned char* p, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        unsigned c = p[i];
        if (c < 0x80) continue;
        if (!inRange(c, 0xA1, 0xFE) || i + 1 >= n) return false;
        unsigned t = p[++i];
        if (!inRange(t, 0xA1, 0xFE) || (c << 8 | t) == 0xA4D4)
            return false;  // A4D4: the Hangul filler
    }
    return true;
}

// 950 bytes that a Big5 reader decodes as 950 does.
bool readsAsBig5(const unsigned char* p, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        unsigned c = p[i];
        if (c < 0x80) continue;
        if (i + 1 >= n) return false;
        unsigned code = c << 8 | p[++i];
        // The euro and the ETEN additions, and marks 950 maps to other forms.
        if (code == 0xA3E1 || code >= 0xF9D6) return false;
        for (unsigned differs : {0xA145u, 0xA14Eu, 0xA1C2u, 0xA1E3u, 0xA1F2u, 0xA1F3u, 0xA241u,
                                 0xA242u, 0xA244u, 0xA246u, 0xA247u}) {
            if (code == differs) return false;
        }
    }
    return true;
}

// Written through 932 (the Japanese pages other than 932 itself): the same
// characters must pass there.
bool readsAsJisX0208(const void* utf8, uint32_t n) {
    DataBuffer sjis;
    return EncodingConvert().convert(cp::Utf8, 932, utf8, n, sjis) &&
           readsAsShiftJis(sjis.data(), sjis.size());
}

}  // namespace

bool charsetCarriesText(unsigned codePage, const void* utf8, uint32_t n) {
    if (codePage == cp::Utf8) return true;
    if (!codePage || !EncodingConvert::isSupported(codePage)) return false;
    // Mail text needs an ASCII-compatible charset; and the names of these
    // pages ("unicode", "windows-874") are unknown to common readers.
    if (codePage == cp::Utf16LE || codePage == cp::Utf16BE || codePage == cp::Utf32LE ||
        codePage == cp::Utf32BE || codePage == 874)
        return false;
    DataBuffer bytes, back;
    if (!EncodingConvert().convert(cp::Utf8, codePage, utf8, n, bytes)) return false;
    if (!EncodingConvert().convert(codePage, cp::Utf8, bytes.data(), bytes.size(), back))
        return false;
    if (back.size() != n || (n && std::memcmp(back.data(), utf8, n) != 0)) return false;
    switch (codePage) {
        case 932:
            return readsAsShiftJis(bytes.data(), bytes.size());
        case 936:
            return readsAsGb2312(bytes.data(), bytes.size());
        case 949:
            return readsAsEucKr(bytes.data(), bytes.size());
        case 950:
            return readsAsBig5(bytes.data(), bytes.size());
        case 50220:
        case 50221:
        case 50222:
        case 51932:
            return readsAsJisX0208(utf8, n);
        default:
            return true;
    }
}

unsigned chooseCarryingCharset(const uint16_t* units, uint32_t count) {
    unsigned chosen = chooseCharsetForText(units, count);
    if (chosen == 0 || chosen == cp::Utf8) return chosen;
    DataBuffer utf8;
    EncodingConvert().convert(cp::Utf16LE, cp::Utf8, units, count * 2, utf8);
    return charsetCarriesText(chosen, utf8.data(), utf8.size()) ? chosen : cp::Utf8;
}
