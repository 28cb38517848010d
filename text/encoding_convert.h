#pragma once
// Converts bytes between code pages. Every conversion decodes the source to
// UTF-16LE and encodes that to the target, except where both sides are
// Unicode forms with a shorter road. Code pages are Windows numbers; 65005
// and 65006 stand for UTF-32 little- and big-endian.
#include <cstdint>

#include "text/data_buffer.h"
#include "text/string_buffer.h"

namespace cp {
constexpr unsigned Utf16LE = 1200;
constexpr unsigned Utf16BE = 1201;
constexpr unsigned Utf7 = 65000;
constexpr unsigned Utf8 = 65001;
constexpr unsigned Utf32LE = 65005;
constexpr unsigned Utf32BE = 65006;
constexpr unsigned UsAscii = 20127;
constexpr unsigned Latin1 = 28591;
constexpr unsigned Windows1252 = 1252;
}  // namespace cp

class EncodingConvert {
  public:
    EncodingConvert() = default;

    // Appends the converted bytes to out. False when some characters had no
    // mapping in the target (they are dropped, the rest is converted), or
    // when a code page is not supported (nothing is appended). Each byte of
    // invalid UTF-8 input counts as a character without a mapping, and so
    // does an unpaired surrogate on its way to UTF-8.
    bool convert(unsigned fromCodePage, unsigned toCodePage, const void* bytes, uint32_t n,
                 DataBuffer& out);
    // convert() with the process ANSI code page as the target.
    bool convertToAnsi(unsigned fromCodePage, const void* bytes, uint32_t n, DataBuffer& out);

    // Whether a code page can be converted from and to.
    static bool isSupported(unsigned codePage);

    // 0 drops a character that has no mapping; the only mode in use.
    void setUnconvertibleMode(int mode) { m_mode = mode; }
    int unconvertibleMode() const { return m_mode; }
    // One letter per stage the last conversion passed, for diagnostics.
    const StringBuffer& stepTrace() const { return m_trace; }

  private:
    bool run(unsigned from, unsigned to, const unsigned char* p, uint32_t n, DataBuffer& out);

    int m_mode = 0;
    unsigned m_from = 0;
    unsigned m_to = 0;
    StringBuffer m_trace;
};
