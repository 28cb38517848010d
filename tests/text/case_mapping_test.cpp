#include "text/case_mapping.h"

#include <gtest/gtest.h>

#include "text/caches.h"

TEST(CaseMapping, SpecEdgeCases) {
    EXPECT_EQ(toLowerW(0xA1), 0xA1u);
    EXPECT_EQ(toLowerW(0xC9), 0xE9u);
    EXPECT_EQ(toUpperW(0xF7), 0xF7u);
    EXPECT_EQ(toUpperW(0xE9), 0xC9u);
    EXPECT_EQ(toLowerW(0), 0u);
    EXPECT_EQ(toLowerW('A'), static_cast<uint32_t>('a'));
    EXPECT_EQ(toUpperW('z'), static_cast<uint32_t>('Z'));
    EXPECT_EQ(toLowerW(0xD7), 0xD7u);
    // The fixed Latin-1 ranges apply as designed, even where Unicode differs.
    EXPECT_EQ(toUpperW(0xFF), 0xDFu);
    EXPECT_EQ(toLowerW(0xDF), 0xFFu);
}

TEST(CaseMapping, TablesFromUnicodeData) {
    EXPECT_EQ(toLowerW(0x0391), 0x03B1u);    // Greek Alpha
    EXPECT_EQ(toUpperW(0x03B1), 0x0391u);
    EXPECT_EQ(toLowerW(0x0416), 0x0436u);    // Cyrillic Zhe
    EXPECT_EQ(toUpperW(0x0101), 0x0100u);
    EXPECT_EQ(toLowerW(0x0130), 0x0069u);    // I with dot above
    EXPECT_EQ(toUpperW(0x0131), 0x0049u);    // dotless i
    EXPECT_EQ(toUpperW(0x00B5), 0x039Cu);    // micro sign
    EXPECT_EQ(toLowerW(0xFF21), 0xFF41u);    // full-width A
    EXPECT_EQ(toLowerW(0x10400), 0x10428u);  // Deseret
    EXPECT_EQ(toUpperW(0x1044F), 0x10427u);
    EXPECT_EQ(toLowerW(0x4E00), 0x4E00u);
    EXPECT_EQ(toUpperW(0x10C80), 0x10C80u) << "beyond U+1044F: not in the lists";
    EXPECT_GT(casemap::upperToLowerPairs(), 800u);
    EXPECT_GT(casemap::lowerToUpperPairs(), 800u);
}

TEST(CaseMapping, SurvivesReleaseCaches) {
    EXPECT_EQ(toLowerW(0x0394), 0x03B4u);
    releaseCaches();
    EXPECT_EQ(toLowerW(0x0394), 0x03B4u);
    EXPECT_EQ(toUpperW(0x03B4), 0x0394u);
    releaseCaches();
}
