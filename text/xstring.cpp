#include "text/xstring.h"

#include <bit>
#include <cstring>

#include "platform/code_pages.h"
#include "text/encoding_convert.h"

// UTF-16 units are stored as little-endian bytes and read back as uint16_t.
static_assert(std::endian::native == std::endian::little, "XString assumes a little-endian host");

namespace {
enum { kUtf16 = 1, kAnsi = 2, kUtf8 = 4 };
const uint16_t kNoUnits[1] = {0};
}  // namespace

XString::XString()
    : m_ansiState(kUnknown), m_utf16Valid(true), m_ansiValid(true), m_utf8Valid(true) {}

XString::XString(const XString& other)
    : BrenvikObject(other),
      m_ansiState(other.m_ansiState),
      m_utf16Valid(other.m_utf16Valid),
      m_ansiValid(other.m_ansiValid),
      m_utf8Valid(other.m_utf8Valid),
      m_utf16(other.m_utf16),
      m_ansi(other.m_ansi),
      m_utf8(other.m_utf8) {
    terminateUtf16();
}

XString& XString::operator=(const XString& other) {
    copyFrom(other);
    return *this;
}

void XString::copyFrom(const XString& other) {
    if (this == &other) return;
    m_ansiState = other.m_ansiState;
    m_utf16Valid = other.m_utf16Valid;
    m_ansiValid = other.m_ansiValid;
    m_utf8Valid = other.m_utf8Valid;
    m_utf16 = other.m_utf16;
    m_ansi = other.m_ansi;
    m_utf8 = other.m_utf8;
    terminateUtf16();
}

void XString::clear() {
    m_ansiState = kUnknown;
    m_utf16.clear();
    m_ansi.clear();
    m_utf8.clear();
    terminateUtf16();
    m_utf16Valid = m_ansiValid = m_utf8Valid = true;
}

void XString::markOnly(int which) {
    m_utf16Valid = (which & kUtf16) != 0;
    m_ansiValid = (which & kAnsi) != 0;
    m_utf8Valid = (which & kUtf8) != 0;
}

// Keeps two zero bytes after the UTF-16 units (outside the buffer's size), so
// that getUtf16() can hand out a terminated string and getUtf16Db() the bare units.
void XString::terminateUtf16() {
    uint32_t size = m_utf16.size();
    static const unsigned char zeros[2] = {0, 0};
    if (m_utf16.append(zeros, 2)) m_utf16.truncate(size);
}

void XString::setFromAnsi(const char* s) {
    if (!s || !*s) {
        clear();
        return;
    }
    m_ansi.setString(s);
    markOnly(kAnsi);
    m_ansiState = kAnsiOk;
}

void XString::setFromUtf8(const char* s) {
    if (!s || !*s) {
        clear();
        return;
    }
    setFromUtf8(s, static_cast<uint32_t>(std::strlen(s)));
}

void XString::setFromUtf8(const void* bytes, uint32_t n) {
    if (!bytes || n == 0) {
        clear();
        return;
    }
    m_utf8.setString(bytes, n);
    markOnly(kUtf8);
    m_ansiState = kUnknown;
}

void XString::setFromUtf16(const uint16_t* s) {
    uint32_t units = 0;
    if (s) {
        while (s[units]) ++units;
    }
    setFromUtf16(s, units);
}

void XString::setFromUtf16(const uint16_t* s, uint32_t units) {
    if (!s || units == 0) {
        clear();
        return;
    }
    m_utf16.clear();
    m_utf16.append(s, units * 2);
    terminateUtf16();
    markOnly(kUtf16);
    m_ansiState = kUnknown;
}

void XString::setFromSwitch(const char* s, bool utf8) {
    if (utf8)
        setFromUtf8(s);
    else
        setFromAnsi(s);
}

// ------------------------------------------------------------ conversions

void XString::convertUtf16FromOthers() {
    EncodingConvert conv;
    m_utf16.clear();
    if (m_utf8Valid)
        conv.convert(cp::Utf8, cp::Utf16LE, m_utf8.getBytes(), m_utf8.length(), m_utf16);
    else if (m_ansiValid)
        conv.convert(platform::ansiCodePage(), cp::Utf16LE, m_ansi.getBytes(), m_ansi.length(),
                     m_utf16);
    terminateUtf16();
    m_utf16Valid = true;
}

void XString::convertUtf8FromOthers() {
    EncodingConvert conv;
    DataBuffer out;
    if (m_ansiValid) {
        uint32_t n = m_ansi.length();
        m_utf8.clear();
        m_utf8.reserveMore(n + n / 16 + 4);
        conv.convert(platform::ansiCodePage(), cp::Utf8, m_ansi.getBytes(), n, out);
    } else if (m_utf16Valid) {
        conv.convert(cp::Utf16LE, cp::Utf8, m_utf16.data(), m_utf16.size(), out);
    }
    m_utf8.setString(out.data(), out.size());
    m_utf8Valid = true;
}

// A lossy result is handed out by getAnsi() but not kept as a valid form:
// the UTF-8 getter would otherwise rebuild the text from it.
void XString::convertAnsiFromOthers() {
    EncodingConvert conv;
    DataBuffer out;
    bool ok = true;
    if (m_utf16Valid)
        ok = conv.convertToAnsi(cp::Utf16LE, m_utf16.data(), m_utf16.size(), out);
    else if (m_utf8Valid)
        ok = conv.convertToAnsi(cp::Utf8, m_utf8.getBytes(), m_utf8.length(), out);
    m_ansi.setString(out.data(), out.size());
    m_ansiValid = ok;
    m_ansiState = ok ? kAnsiOk : kNotAnsi;
}

const char* XString::getAnsi() {
    return getAnsiSb().getString();
}

const char* XString::getUtf8() {
    return getUtf8Sb().getString();
}

const uint16_t* XString::getUtf16() {
    const DataBuffer& db = getUtf16Db();
    const unsigned char* p = db.data();
    if (!p) return kNoUnits;
    return reinterpret_cast<const uint16_t*>(p);
}

const StringBuffer& XString::getUtf8Sb() {
    if (!m_utf8Valid) convertUtf8FromOthers();
    return m_utf8;
}

const StringBuffer& XString::getAnsiSb() {
    if (!m_ansiValid) convertAnsiFromOthers();
    return m_ansi;
}

const DataBuffer& XString::getUtf16Db() {
    if (!m_utf16Valid) convertUtf16FromOthers();
    return m_utf16;
}

bool XString::canBeAnsi() {
    if (m_ansiState == kAnsiOk) return true;
    if (m_ansiState == kNotAnsi) return false;
    if (!m_utf16Valid && !m_utf8Valid) {
        // Only the ANSI form is known: it is ANSI by construction.
        m_ansiState = kAnsiOk;
        return true;
    }
    convertAnsiFromOthers();
    if (m_ansiState != kAnsiOk) m_ansi.clear();
    return m_ansiState == kAnsiOk;
}

uint32_t XString::length() {
    if (m_ansiValid) return m_ansi.length();
    return getUtf16Db().size() / 2;
}

bool XString::isEmpty() {
    if (m_utf8Valid) return m_utf8.isEmpty();
    if (m_ansiValid) return m_ansi.isEmpty();
    return getUtf16Db().size() == 0;
}
