// Encoded words (RFC 2047) in header text.
// Input: one selector byte, then text.
// Oracle: decoding arbitrary text, plain or structured, with or without a
// comma stand-in, never crashes, reads out of bounds or hits undefined
// behaviour; text without "=?" comes out unchanged; a comma stand-in leaves
// no comma that a word produced; and a word this library writes for a
// UTF-8 text decodes to that text (for utf-8, and for a few other charsets
// whenever the text fits them).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "mime/content_coding.h"

namespace {

// utf-8 gives Q words; the others cover single-byte Q words and the B
// words of the East Asian charsets. Not iso-2022-jp: writing it turns
// half-width katakana into full-width ones on purpose.
const char* const kCharsets[] = {"utf-8",     "iso-8859-1", "koi8-r", "windows-1256",
                                 "shift_jis", "gb2312",     "big5",   "euc-kr"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 64 * 1024) return 0;
    const unsigned sel = data[0];
    const std::string raw(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string text = fuzzsupport::cText(raw);

    StringBuffer plain;
    unsigned cp = 0;
    ContentCoding::decodeEncodedWords(text.c_str(), plain, &cp);
    if (text.find("=?") == std::string::npos)
        FUZZ_CHECK(fuzzsupport::str(plain) == text, "text without encoded words changed");

    StringBuffer standIn;
    ContentCoding::decodeEncodedWords(text.c_str(), standIn, nullptr, "%2C");
    {
        // Commas in the result are the text's own; there are no more of them
        // than the text had.
        size_t inText = 0, inResult = 0;
        for (char c : text) inText += c == ',';
        for (uint32_t i = 0; i < standIn.length(); ++i) inResult += standIn.charAt(i) == ',';
        FUZZ_CHECK(inResult <= inText, "a decoded word put a comma past the stand-in");
    }

    StringBuffer structured;
    ContentCoding::decodeStructured(text.c_str(), structured, &cp);

    // Round trip: the text as a word of one charset, read back.
    // A leading byte-order mark is no part of the text (the writer and the
    // converter drop it), so the text here never begins with one.
    std::string utf8 = fuzzsupport::validUtf8(raw);
    while (utf8.compare(0, 3, "\xEF\xBB\xBF") == 0) utf8.erase(0, 3);
    const char* charset = kCharsets[sel % (sizeof kCharsets / sizeof kCharsets[0])];
    StringBuffer word;
    encodeHeaderWord(utf8.c_str(), charset, word);
    StringBuffer back;
    ContentCoding::decodeEncodedWords(word.getString(), back);
    FUZZ_CHECK(fuzzsupport::str(back) == utf8, "an encoded word does not decode to its text");
    return 0;
}
