// The plug-in's own helpers, compiled straight into this program: wide text
// to UTF-8, the port scan and the mailbox split against the vectors of
// tests/data/plugin/text_helpers.txt.
#include <gtest/gtest.h>

#include <string>

#include "plugin/mailbox_text.h"
#include "plugin/wide_text.h"
#include "tests/plugin/case_file.h"

namespace {

using case_file::bytes;

template <class S>
S units(const std::string& list) {  // "D83D,DE00"
    S out;
    std::istringstream in(list);
    for (std::string u; std::getline(in, u, ',');)
        out += static_cast<typename S::value_type>(std::stoul(u, nullptr, 16));
    return out;
}

class TextHelpers : public ::testing::TestWithParam<case_file::Case> {};

TEST_P(TextHelpers, MatchTheVectors) {
    for (const auto& [text, w] : GetParam().steps) {
        SCOPED_TRACE(text);
        if (w[0] == "utf8" || w[0] == "utf8_32") {
            if (w[0] == "utf8_32" && sizeof(wchar_t) != 4) continue;
            EXPECT_EQ(plugin::toUtf8(case_file::wide(w[1]).c_str()).str(), bytes(w[2]));
        } else if (w[0] == "utf16") {
            EXPECT_EQ(plugin::utf16ToUtf8(units<std::u16string>(w[1]).c_str()), bytes(w[2]));
        } else if (w[0] == "utf32") {
            EXPECT_EQ(plugin::utf32ToUtf8(units<std::u32string>(w[1]).c_str()), bytes(w[2]));
        } else if (w[0] == "from_utf8") {
            EXPECT_EQ(plugin::fromUtf8(bytes(w[1])), case_file::wide(w[2]));
        } else if (w[0] == "scan") {
            EXPECT_EQ(std::to_string(plugin::scanDecimal(case_file::wide(w[1]).c_str())), w[2]);
        } else if (w[0] == "mailbox") {
            const bool one = w.size() == 4;  // else the text goes on as it is
            std::string name = "unchanged", address = "unchanged";
            EXPECT_EQ(plugin::splitMailbox(bytes(w[1]), name, address), one);
            EXPECT_EQ(name, one ? bytes(w[2]) : "unchanged");
            EXPECT_EQ(address, one ? bytes(w[3]) : "unchanged");
        } else {
            FAIL() << "unknown step " << w[0];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Vectors, TextHelpers,
                         ::testing::ValuesIn(case_file::load("text_helpers.txt")),
                         case_file::kCaseName);

TEST(TextHelpers, NullEmptyAndLongTexts) {
    EXPECT_TRUE(plugin::toUtf8(nullptr).isNull());
    EXPECT_EQ(plugin::toUtf8(nullptr).c_str(), nullptr);
    const plugin::Utf8Text empty = plugin::toUtf8(L"");
    EXPECT_FALSE(empty.isNull());
    EXPECT_STREQ(empty.c_str(), "");
    EXPECT_EQ(plugin::utf16ToUtf8(nullptr), "");
    EXPECT_EQ(plugin::utf16ToUtf8(u""), "");
    EXPECT_EQ(plugin::scanDecimal(nullptr), 0);
    EXPECT_EQ(plugin::scanDecimal((std::wstring(1000, L'0') + L"42").c_str()), 42);
    const std::string out = plugin::utf32ToUtf8(std::u32string(5000, U'\U0001F600').c_str());
    ASSERT_EQ(out.size(), 20000u);
    EXPECT_EQ(out.substr(19996), "\xF0\x9F\x98\x80");
}

}  // namespace
