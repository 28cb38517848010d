#include "text/encoding_convert.h"

#include "platform/code_pages.h"
#include "text/code_page_tables.h"

// Every conversion runs in two stages around a UTF-16LE middle:
//   decode: source bytes -> UTF-16LE units   (decodeToUtf16)
//   encode: UTF-16LE units -> target bytes   (encodeFromUtf16)
// A new code page needs a decoder and an encoder case (or only a table, for
// single-byte pages) and an entry in isSupported().
//
// Trace letters, one per stage passed:
//   P  passed through unchanged (no target, or target equals source)
//   M  a byte-order mark was removed
//   L  UTF-16LE input taken as it is      W  UTF-16BE input swapped
//   U  UTF-8 decoded                       T  single-byte table decoded
//   l  UTF-16LE output                     w  UTF-16BE output (swapped)
//   u  UTF-8 encoded                       t  single-byte table encoded

namespace {

// Collects output bytes in small blocks so that the DataBuffer is not called
// per byte.
class ByteSink {
  public:
    explicit ByteSink(DataBuffer& out) : m_out(out) {}
    ~ByteSink() { flush(); }
    ByteSink(const ByteSink&) = delete;
    ByteSink& operator=(const ByteSink&) = delete;

    void put(unsigned char b) {
        if (m_used == sizeof m_buf) flush();
        m_buf[m_used++] = b;
    }
    void putUnitLE(uint16_t u) {
        put(static_cast<unsigned char>(u & 0xFF));
        put(static_cast<unsigned char>(u >> 8));
    }
    // False when the output could not take the bytes (memory ran out).
    bool flush() {
        if (m_used && !m_out.append(m_buf, m_used)) m_failed = true;
        m_used = 0;
        return !m_failed;
    }

  private:
    DataBuffer& m_out;
    unsigned char m_buf[1024];
    uint32_t m_used = 0;
    bool m_failed = false;
};

bool isUtf16(unsigned cp) {
    return cp == cp::Utf16LE || cp == cp::Utf16BE;
}

// ------------------------------------------------------------ decoders
// Each returns false when some input had no mapping; such input is dropped.

void decodeUtf16(const unsigned char* p, uint32_t n, bool bigEndian, ByteSink& sink) {
    // An odd trailing byte is not a code unit and is ignored.
    for (uint32_t i = 0; i + 1 < n; i += 2) {
        if (bigEndian) {
            sink.put(p[i + 1]);
            sink.put(p[i]);
        } else {
            sink.put(p[i]);
            sink.put(p[i + 1]);
        }
    }
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
// Each byte that does not start or continue a valid sequence is dropped on
// its own and the decoding resumes at the next byte.
bool decodeUtf8(const unsigned char* p, uint32_t n, ByteSink& sink) {
    bool ok = true;
    uint32_t i = 0;
    while (i < n) {
        unsigned char b = p[i];
        if (b < 0x80) {
            sink.putUnitLE(b);
            ++i;
            continue;
        }
        uint32_t need;
        uint32_t cp;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            cp = b & 0x0F;
            if (b == 0xE0) lo = 0xA0;  // overlong
            if (b == 0xED) hi = 0x9F;  // surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            cp = b & 0x07;
            if (b == 0xF0) lo = 0x90;  // overlong
            if (b == 0xF4) hi = 0x8F;  // above U+10FFFF
        } else {
            ok = false;
            ++i;
            continue;
        }
        bool valid = i + need < n;
        for (uint32_t k = 1; valid && k <= need; ++k) {
            unsigned char c = p[i + k];
            unsigned char min = k == 1 ? lo : 0x80;
            unsigned char max = k == 1 ? hi : 0xBF;
            if (c < min || c > max)
                valid = false;
            else
                cp = (cp << 6) | (c & 0x3F);
        }
        if (!valid) {
            ok = false;
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            sink.putUnitLE(static_cast<uint16_t>(0xD800 | (cp >> 10)));
            sink.putUnitLE(static_cast<uint16_t>(0xDC00 | (cp & 0x3FF)));
        } else {
            sink.putUnitLE(static_cast<uint16_t>(cp));
        }
        i += need + 1;
    }
    return ok;
}

bool decodeSingleByte(const cptables::SingleByteTable& table, const unsigned char* p, uint32_t n,
                      ByteSink& sink) {
    bool ok = true;
    for (uint32_t i = 0; i < n; ++i) {
        unsigned char b = p[i];
        if (b == 0) {
            sink.putUnitLE(0);
            continue;
        }
        if (table.asciiLow && b < 0x80) {
            sink.putUnitLE(b);
            continue;
        }
        uint16_t u = table.toUnicode[b];
        if (u == 0) {
            ok = false;
            continue;
        }
        sink.putUnitLE(u);
    }
    return ok;
}

// ------------------------------------------------------------ encoders
// `units` holds count UTF-16LE code units.

inline uint16_t unitAt(const unsigned char* units, uint32_t i) {
    return static_cast<uint16_t>(units[2 * i] | (units[2 * i + 1] << 8));
}

void encodeUtf16(const unsigned char* units, uint32_t count, bool bigEndian, ByteSink& sink) {
    for (uint32_t i = 0; i < count; ++i) {
        if (bigEndian) {
            sink.put(units[2 * i + 1]);
            sink.put(units[2 * i]);
        } else {
            sink.put(units[2 * i]);
            sink.put(units[2 * i + 1]);
        }
    }
}

// An unpaired surrogate has no UTF-8 form: it counts as unmappable.
bool encodeUtf8(const unsigned char* units, uint32_t count, ByteSink& sink) {
    bool ok = true;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t c = unitAt(units, i);
        if (c >= 0xD800 && c <= 0xDFFF) {
            uint16_t next = i + 1 < count ? unitAt(units, i + 1) : 0;
            if (c <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
                ++i;
            } else {
                ok = false;
                continue;
            }
        }
        if (c < 0x80) {
            sink.put(static_cast<unsigned char>(c));
        } else if (c < 0x800) {
            sink.put(static_cast<unsigned char>(0xC0 | (c >> 6)));
            sink.put(static_cast<unsigned char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            sink.put(static_cast<unsigned char>(0xE0 | (c >> 12)));
            sink.put(static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F)));
            sink.put(static_cast<unsigned char>(0x80 | (c & 0x3F)));
        } else {
            sink.put(static_cast<unsigned char>(0xF0 | (c >> 18)));
            sink.put(static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F)));
            sink.put(static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F)));
            sink.put(static_cast<unsigned char>(0x80 | (c & 0x3F)));
        }
    }
    return ok;
}

// Each code unit on its own, so both halves of a surrogate pair are
// unmappable in a single-byte page.
bool encodeSingleByte(const cptables::SingleByteTable& table,
                      const cptables::SingleByteReverse& reverse, const unsigned char* units,
                      uint32_t count, ByteSink& sink) {
    bool ok = true;
    for (uint32_t i = 0; i < count; ++i) {
        uint16_t u = unitAt(units, i);
        if (u == 0 || (table.asciiLow && u < 0x80)) {
            sink.put(static_cast<unsigned char>(u));
            continue;
        }
        unsigned char b;
        if (reverse.find(u, b))
            sink.put(b);
        else
            ok = false;
    }
    return ok;
}

}  // namespace

bool EncodingConvert::isSupported(unsigned codePage) {
    if (codePage == cp::Utf8 || isUtf16(codePage)) return true;
    return cptables::findSingleByte(codePage) != nullptr;
}

bool EncodingConvert::convert(unsigned fromCodePage, unsigned toCodePage, const void* bytes,
                              uint32_t n, DataBuffer& out) {
    m_trace.clear();
    m_from = fromCodePage;
    m_to = toCodePage;
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    if (!p) n = 0;

    if (toCodePage == 0 || toCodePage == fromCodePage) {
        m_trace.appendChar('P');
        return out.append(p, n);
    }
    if (!isSupported(fromCodePage) || !isSupported(toCodePage)) return false;

    const cptables::SingleByteTable* fromTable = cptables::findSingleByte(fromCodePage);
    const cptables::SingleByteTable* toTable = cptables::findSingleByte(toCodePage);
    const cptables::SingleByteReverse* toReverse = nullptr;
    if (toTable) {
        toReverse = cptables::reverseOf(*toTable);
        if (!toReverse) return false;
    }

    // Byte-order marks choose the byte order and are not part of the text.
    bool bigEndian = fromCodePage == cp::Utf16BE;
    if (isUtf16(fromCodePage) && n >= 2) {
        if (p[0] == 0xFF && p[1] == 0xFE) {
            bigEndian = false;
            p += 2;
            n -= 2;
            m_trace.appendChar('M');
        } else if (p[0] == 0xFE && p[1] == 0xFF) {
            bigEndian = true;
            p += 2;
            n -= 2;
            m_trace.appendChar('M');
        }
    } else if (fromCodePage == cp::Utf8 && n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
        p += 3;
        n -= 3;
        m_trace.appendChar('M');
    }
    if (n == 0) return true;

    // Stage 1: to UTF-16LE. Little-endian UTF-16 input is used in place.
    bool ok = true;
    DataBuffer middle;
    if (isUtf16(fromCodePage) && !bigEndian) {
        m_trace.appendChar('L');
        middle.borrow(p, n & ~1u);
    } else {
        ByteSink sink(middle);
        if (isUtf16(fromCodePage)) {
            m_trace.appendChar('W');
            decodeUtf16(p, n, true, sink);
        } else if (fromCodePage == cp::Utf8) {
            m_trace.appendChar('U');
            ok = decodeUtf8(p, n, sink);
        } else {
            m_trace.appendChar('T');
            ok = decodeSingleByte(*fromTable, p, n, sink);
        }
        if (!sink.flush()) return false;
    }

    // Stage 2: from UTF-16LE to the target.
    const unsigned char* units = middle.data();
    uint32_t count = middle.size() / 2;
    if (count == 0) return ok;
    ByteSink sink(out);
    if (toCodePage == cp::Utf16LE) {
        m_trace.appendChar('l');
        sink.flush();
        return out.append(units, count * 2) && ok;
    } else if (toCodePage == cp::Utf16BE) {
        m_trace.appendChar('w');
        encodeUtf16(units, count, true, sink);
    } else if (toCodePage == cp::Utf8) {
        m_trace.appendChar('u');
        ok = encodeUtf8(units, count, sink) && ok;
    } else {
        m_trace.appendChar('t');
        ok = encodeSingleByte(*toTable, *toReverse, units, count, sink) && ok;
    }
    if (!sink.flush()) return false;
    return ok;
}

bool EncodingConvert::convertToAnsi(unsigned fromCodePage, const void* bytes, uint32_t n,
                                    DataBuffer& out) {
    return convert(fromCodePage, platform::ansiCodePage(), bytes, n, out);
}
