// Content transfer encodings: base64, quoted-printable and Q words.
// Input: arbitrary bytes, used both as encoded text and as data.
// Oracle: decoding arbitrary text never crashes, reads out of bounds or
// hits undefined behaviour; for every encoder, decoding what it wrote gives
// the input back; and what it wrote has the promised shape: base64 lines of
// at most 72 characters ending in CR LF; quoted-printable of printable
// ASCII, tabs and CR LF pairs only, lines of at most 76 characters; a Q
// word without blanks, "?" or controls (and without "," in the address
// variant, without '"' and "\" in the quoted-string variant).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "mime/content_coding.h"
#include "text/data_buffer.h"

namespace {

using fuzzsupport::str;

// Lines split at CR LF; false when a CR or LF stands alone.
bool lines(const std::string& s, size_t maxLen) {
    size_t col = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r') {
            if (i + 1 >= s.size() || s[i + 1] != '\n') return false;
            ++i;
            col = 0;
            continue;
        }
        if (s[i] == '\n') return false;
        if (++col > maxLen) return false;
    }
    return true;
}

void checkBase64(const std::string& data) {
    const auto n = static_cast<uint32_t>(data.size());
    ContentCoding coding;
    StringBuffer lined;
    coding.encodeBase64Lines(data.data(), n, lined);
    const std::string text = str(lined);
    FUZZ_CHECK(lines(text, 72), "base64 line too long or broken line end");
    FUZZ_CHECK(data.empty() == text.empty(), "base64 of empty input is not empty, or vice versa");
    FUZZ_CHECK(data.empty() || text.compare(text.size() - 2, 2, "\r\n") == 0,
               "base64 lines do not end in CR LF");
    DataBuffer back;
    ContentCoding::decodeBase64(lined.getString(), lined.length(), back);
    FUZZ_CHECK(str(back) == data, "base64 lines do not decode to the input");

    StringBuffer one;
    ContentCoding::encodeBase64(data.data(), n, one);
    FUZZ_CHECK(one.length() == (n + 2) / 3 * 4, "one-line base64 has the wrong length");
    FUZZ_CHECK(!std::memchr(one.getString(), '\r', one.length()), "one-line base64 has a CR");
    back.clear();
    ContentCoding::decodeBase64(one.getString(), one.length(), back);
    FUZZ_CHECK(str(back) == data, "one-line base64 does not decode to the input");
}

void checkQuotedPrintable(const std::string& data) {
    ContentCoding coding;
    StringBuffer qp;
    coding.encodeQuotedPrintable(data.data(), static_cast<uint32_t>(data.size()), qp);
    const std::string text = str(qp);
    FUZZ_CHECK(lines(text, 76), "quoted-printable line too long or broken line end");
    for (unsigned char c : text) {
        FUZZ_CHECK((c >= 32 && c < 127) || c == '\t' || c == '\r' || c == '\n',
                   "quoted-printable holds a byte it should have escaped");
    }
    DataBuffer back;
    ContentCoding::decodeQuotedPrintable(qp.getString(), qp.length(), back);
    FUZZ_CHECK(str(back) == data, "quoted-printable does not decode to the input");
}

void checkQWord(const std::string& data, bool addressField, bool quotedString) {
    ContentCoding coding;
    coding.setAddressField(addressField);
    coding.setQuotedString(quotedString);
    StringBuffer q;
    coding.encodeQWord(data.data(), static_cast<uint32_t>(data.size()), q);
    for (unsigned char c : str(q)) {
        FUZZ_CHECK(c > 32 && c < 127 && c != '?', "Q word holds a blank, '?' or a control");
        FUZZ_CHECK(!addressField || c != ',', "address Q word holds a comma");
        FUZZ_CHECK(!quotedString || (c != '"' && c != '\\'), "quoted Q word holds '\"' or '\\'");
    }
    DataBuffer back;
    ContentCoding::decodeQWord(q.getString(), q.length(), back);
    FUZZ_CHECK(str(back) == data, "Q word does not decode to the input");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 256 * 1024) return 0;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const auto n = static_cast<uint32_t>(size);

    DataBuffer sink;
    ContentCoding::decodeBase64(bytes.data(), n, sink);
    sink.clear();
    ContentCoding::decodeQuotedPrintable(bytes.data(), n, sink);
    sink.clear();
    ContentCoding::decodeQWord(bytes.data(), n, sink);

    checkBase64(bytes);
    checkQuotedPrintable(bytes);
    const unsigned variant = size ? data[0] % 3 : 0;
    checkQWord(bytes, variant == 1, variant == 2);
    return 0;
}
