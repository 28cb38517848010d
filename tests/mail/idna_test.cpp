// Punycode and A-labels against tests/data/smtp/idna.txt: RFC 3492's samples
// and what Python's codecs give for the same text.
#include "mail/idna.h"

#include <gtest/gtest.h>

#include "support/data_file.h"

namespace {

std::u32string codePoints(const std::string& utf8) {
    std::u32string out;
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        const size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        char32_t cp = n == 1 ? c : c & (0xFF >> (n + 1));
        for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (utf8[i + k] & 0x3F);
        out.push_back(cp);
        i += n;
    }
    return out;
}

TEST(Idna, AsTheTableSays) {
    for (const testsupport::CaseLine& l : testsupport::readCases("smtp/idna.txt")) {
        SCOPED_TRACE(l.where);
        std::string out, why;
        if (l.verb == "punycode") {
            EXPECT_TRUE(idna::punycode(codePoints(l[0]), out));
            EXPECT_EQ(out, l[1]);
        } else if (l.verb == "domain") {
            EXPECT_TRUE(idna::toAscii(l[0], out, why)) << why;
            EXPECT_EQ(out, l[1]);
        } else if (l.verb == "refused") {
            EXPECT_FALSE(idna::toAscii(l[0], out, why)) << out;
            EXPECT_NE(why.find(l[1]), std::string::npos) << why;
        } else {
            ADD_FAILURE() << "unknown verb " << l.verb;
        }
    }
}

}  // namespace
