#include "text/charset_choice.h"

#include <gtest/gtest.h>

#include <vector>

namespace {
unsigned choose(std::vector<uint16_t> u) {
    return chooseCharsetForText(u.data(), static_cast<uint32_t>(u.size()));
}
}  // namespace

// Rows of the charset decision table, in order.
TEST(CharsetChoice, Row1EmptyOrAsciiGivesNoCharset) {
    EXPECT_EQ(chooseCharsetForText(nullptr, 0), 0u);
    EXPECT_EQ(choose({}), 0u);
    EXPECT_EQ(choose({'H', 'i', 0x7F, 0}), 0u);
}

TEST(CharsetChoice, NotCountedCharactersBreakAllAscii) {
    // U+3000 (ideographic space) belongs to no class but counts toward the
    // length, so the text is no longer "every character ASCII".
    EXPECT_EQ(choose({'a', 0x3000}), 65001u);
    EXPECT_EQ(choose({0xE9, 0xFF01}), 65001u) << "Latin-1 plus a full-width form";
    // With a script, row 4 still applies.
    EXPECT_EQ(choose({0x3042, 0x3000}), 932u);
}

TEST(CharsetChoice, Row2Latin1) {
    EXPECT_EQ(choose({'c', 'a', 'f', 0xE9}), 28591u);
    EXPECT_EQ(choose({0x80}), 28591u);
    EXPECT_EQ(choose({0xFF}), 28591u);
}

TEST(CharsetChoice, Row3LatinExtended) {
    EXPECT_EQ(choose({'Z', 0x0142}), 28592u);
    EXPECT_EQ(choose({0xE9, 0x0100}), 28592u);
    EXPECT_EQ(choose({0x02FF}), 28592u);
}

TEST(CharsetChoice, Row4SingleScripts) {
    EXPECT_EQ(choose({'a', 0x30A2}), 932u);             // katakana
    EXPECT_EQ(choose({0x3042, 0x65E5}), 932u);          // kana with Han: Kana wins
    EXPECT_EQ(choose({0x2F00}), 932u);                  // 12032..12255 is Kana
    EXPECT_EQ(choose({0xAC00}), 949u);                  // hangul syllable
    EXPECT_EQ(choose({0x1100, 0x4E00}), 949u);          // jamo with Han
    EXPECT_EQ(choose({0x4E2D, 0x6587}), 936u);          // Han only
    EXPECT_EQ(choose({0x3400}), 936u);                  // extension A
    EXPECT_EQ(choose({0x05D0}), 28598u);                // Hebrew
    EXPECT_EQ(choose({0x0627}), 28596u);                // Arabic
    EXPECT_EQ(choose({0x0416}), 28595u);                // Cyrillic
    EXPECT_EQ(choose({0x03A9}), 28597u);                // Greek
    EXPECT_EQ(choose({0x0E01}), 874u);                  // Thai
    EXPECT_EQ(choose({0x0E01, 0x4E00}), 936u) << "Han comes before Thai";
    EXPECT_EQ(choose({0x05D0, 0x25A0}), 28598u) << "not-counted ranges are ignored";
}

TEST(CharsetChoice, Row5Otherwise) {
    EXPECT_EQ(choose({0x0416, 0x03A9}), 65001u);        // two scripts
    EXPECT_EQ(choose({0xE9, 0x0416}), 65001u);          // Latin-1 and a script
    EXPECT_EQ(choose({0x0142, 0x4E00}), 65001u);        // Latin extended and Han
    EXPECT_EQ(choose({0x20AC}), 65001u);                // "other" only
    EXPECT_EQ(choose({0xD83D, 0xDE00}), 65001u);        // surrogates are "other"
    EXPECT_EQ(choose({0x3042, 0xAC00}), 65001u);        // Kana and Hangul
}

TEST(CharsetChoice, RangeBoundaries) {
    EXPECT_EQ(choose({0x0300}), 65001u) << "767 is the last Latin extended";
    EXPECT_EQ(choose({0x0370}), 28597u);
    EXPECT_EQ(choose({0x03FF}), 28597u);
    EXPECT_EQ(choose({0x04FF}), 28595u);
    EXPECT_EQ(choose({0x0500}), 65001u);
    EXPECT_EQ(choose({0x0590}), 28598u);
    EXPECT_EQ(choose({0x06FF}), 28596u);
    EXPECT_EQ(choose({0x0E7F}), 874u);
    EXPECT_EQ(choose({0x30FF}), 932u);
    EXPECT_EQ(choose({0xD7AF}), 949u);
    EXPECT_EQ(choose({0x11FF}), 949u);
    EXPECT_EQ(choose({0x9FAF}), 936u);
    EXPECT_EQ(choose({0x9FB0}), 65001u);
}
