#pragma once
// Encoders and decoders for message bodies and header words: base64,
// quoted-printable and the B and Q forms of encoded words.
#include <cstdint>

#include "text/data_buffer.h"
#include "text/string_buffer.h"

class ContentCoding {
  public:
    ContentCoding() = default;

    // Q words in address fields stand for a phrase: only letters, digits
    // and "!*+-/" stay literal (RFC 2047 section 5), so no comma, quote or
    // bracket can split the address list.
    void setAddressField(bool on) { m_addressField = on ? 1 : 0; }
    // Q words inside a quoted string (parameter values) also escape the
    // double quote and the backslash, which would end or bend the string.
    void setQuotedString(bool on) { m_quotedString = on ? 1 : 0; }
    uint32_t lineLength() const { return m_lineLength; }

    // Base64 in lines of 72 characters, each ending in CR LF; the output
    // always ends with CR LF (input of exactly 54 bytes ends with an empty
    // line). Empty input gives nothing. A piece that is not the last
    // (complete lines only: a multiple of bytesPerLine()) goes without that
    // ending, so that pieces encoded one after another give the same text.
    bool encodeBase64Lines(const void* bytes, uint32_t n, StringBuffer& out,
                           bool lastPiece = true) const;
    uint32_t bytesPerLine() const { return m_lineLength / 4 * 3; }
    // Base64 on one line, no line end.
    static bool encodeBase64(const void* bytes, uint32_t n, StringBuffer& out);
    // Quoted-printable with soft breaks after 72 columns; "." and "From "
    // at the start of a line are escaped so no transport can mistake them.
    bool encodeQuotedPrintable(const void* bytes, uint32_t n, StringBuffer& out) const;
    // The text part of a Q encoded word.
    bool encodeQWord(const void* bytes, uint32_t n, StringBuffer& out) const;

    // Characters outside the alphabet are skipped; decoding stops at "=".
    static bool decodeBase64(const char* text, uint32_t n, DataBuffer& out);
    // "=" hex hex (either case) and soft breaks; an "=" that starts neither
    // is kept as it is.
    static bool decodeQuotedPrintable(const char* text, uint32_t n, DataBuffer& out);
    // Q word text: "_" is a space, "=" hex hex a byte.
    static bool decodeQWord(const char* text, uint32_t n, DataBuffer& out);

    // Replaces every encoded word in text by its text in UTF-8 and appends
    // the result; white space between two adjacent words is dropped. When
    // firstCodePage is given it receives the code page named by the first
    // word (0 when none). A word whose charset is unknown keeps its bytes.
    // With commaStandIn, every comma that comes out of a word is written as
    // that text instead (so an address list can still be split at its own
    // commas).
    static void decodeEncodedWords(const char* text, StringBuffer& out,
                                   unsigned* firstCodePage = nullptr,
                                   const char* commaStandIn = nullptr);
    // The same for structured fields (addresses, parameters), keeping the
    // structure: a quoted string is decoded only when it holds nothing but
    // encoded words, and decoded text that could end or split a quoted
    // string, a phrase or a list comes out as an escaped quoted string.
    static void decodeStructured(const char* text, StringBuffer& out,
                                 unsigned* firstCodePage = nullptr);

  private:
    uint32_t m_lineLength = 72;
    unsigned char m_addressField = 0;
    unsigned char m_quotedString = 0;
};

// One encoded word for a friendly name stored in a From or Reply-To field:
// a B word for the East Asian, Thai, Turkish and Arabic charsets, a Q word
// for every other (utf-8 when charsetName is empty).
void encodeHeaderWord(const char* utf8Text, const char* charsetName, StringBuffer& out);
