// A loaded message keeps its parts through clone, which renders it and
// reads the text back, as every send does (found by fuzzing load, render
// and reload).
#include <gtest/gtest.h>

#include <string>

#include "diag/log_base.h"
#include "mime/email2.h"
#include "mime_test_support.h"

using mimetest::str;

namespace {

struct Copied {
    int original = -1, copy = -1;
    std::string text;
};

Copied copyOf(const std::string& mime) {
    LogNull log;
    Copied c;
    Email2* e = Email2::createFromMime(mime.data(), static_cast<uint32_t>(mime.size()), log);
    if (!e) return c;
    c.original = static_cast<int>(e->numParts());
    StringBuffer out;
    e->assembleMime(out, nullptr, nullptr, log);
    c.text = str(out);
    if (Email2* copy = e->clone(log)) {
        c.copy = static_cast<int>(copy->numParts());
        delete copy;
    }
    delete e;
    return c;
}

// No boundary parameter: it is taken from the first delimiter line, which
// here holds a bare CR. The header lost the CR, the delimiters kept it.
TEST(CloneStructure, GuessedBoundaryWithBareCr) {
    const Copied c = copyOf(
        "Content-Type: multipart/mixed\r\n\r\n"
        "--guess\r-\r\nContent-Type: text/plain\r\n\r\none\r\n--guess\r---\r\n");
    ASSERT_GE(c.original, 0);
    EXPECT_EQ(c.copy, c.original) << c.text;
}

// A bare CR in a part's text is sent as CR LF: the line "--b" it starts
// must not become a delimiter of the enclosing multipart.
TEST(CloneStructure, BareCrInABodyMakesNoDelimiter) {
    const Copied c = copyOf(
        "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
        "--b\r\nContent-Type: text/plain\r\n\r\none\r\n--b\rtwo\r\n--b--\r\n");
    ASSERT_GE(c.original, 0);
    EXPECT_EQ(c.copy, c.original) << c.text;
}

// An 8-bit boundary: the boundary parameter that is written must be the one
// the delimiter lines use, not an encoded word no other reader decodes.
TEST(CloneStructure, EightBitBoundaryIsNotWrittenAsAnEncodedWord) {
    const Copied c = copyOf(
        "Content-Type: multipart/mixed; boundary=\"b\xFF\"\r\n\r\n"
        "--b\xFF\r\nContent-Type: text/plain\r\n\r\none\r\n--b\xFF--\r\n");
    ASSERT_GE(c.original, 0);
    EXPECT_EQ(c.copy, c.original) << c.text;
    const size_t at = c.text.find("boundary=\"");
    ASSERT_NE(at, std::string::npos) << c.text;
    const size_t end = c.text.find('"', at + 10);
    const std::string boundary = c.text.substr(at + 10, end - at - 10);
    EXPECT_EQ(boundary.find("=?"), std::string::npos) << c.text;
    EXPECT_NE(c.text.find("\r\n--" + boundary + "\r\n"), std::string::npos) << c.text;
}

}  // namespace
