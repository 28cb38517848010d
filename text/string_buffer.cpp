#include "text/string_buffer.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "diag/log_base.h"
#include "platform/files.h"
#include "text/ascii.h"
#include "text/data_buffer.h"
#include "text/encoding_convert.h"
#include "text/memory.h"

using text::isBlankOrBreak;
using text::lowerAscii;
using text::upperAscii;

namespace {

// Shared by every buffer whose allocation failed. It is never written to:
// every path that writes checks for it first or enlarges before writing.
char g_emptyString[1] = {0};

constexpr uint32_t kFill = 0xDDDDDDDDu;
constexpr uint32_t kDefaultCapacity = 202;
constexpr uint32_t kMaxGrowth = 500000;

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The needles are short and the texts may contain zero bytes: memchr to
// each candidate first byte, then compare.
int findBytes(const char* hay, uint32_t hayLen, const char* needle, uint32_t needleLen,
              uint32_t start) {
    if (start > hayLen) return -1;
    if (needleLen == 0) return static_cast<int>(start);
    if (needleLen > hayLen - start) return -1;
    const char* last = hay + (hayLen - needleLen);  // the last place a match can start
    for (const char* p = hay + start; p <= last; ++p) {
        p = static_cast<const char*>(std::memchr(p, needle[0], static_cast<size_t>(last - p) + 1));
        if (!p) return -1;
        if (std::memcmp(p, needle, needleLen) == 0) return static_cast<int>(p - hay);
    }
    return -1;
}

}  // namespace

// ------------------------------------------------------------ construction

void StringBuffer::initEmpty(uint32_t capacity, uint32_t growth) {
    m_magic = 0xAA;
    m_flag = 0;
    m_length = 0;
    m_growth = growth;
    m_data = capacity ? static_cast<char*>(text::allocateBlock(capacity)) : nullptr;
    if (m_data) {
        m_capacity = capacity;
        m_data[0] = 0;
    } else {
        m_data = g_emptyString;
        m_capacity = 1;
    }
}

StringBuffer::StringBuffer() {
    initEmpty(0, kDefaultCapacity);
    m_deferred = true;
}

// From here on the buffer is what an eagerly allocated default one would
// be; when the block cannot be had it is one whose allocation failed. A
// first write too long for the default block skips it: the enlargement
// that follows sizes the block as it would have from the default one.
void StringBuffer::takeDeferredBlock(uint32_t added) {
    m_deferred = false;
    if (static_cast<uint64_t>(added) + 1 >= kDefaultCapacity) return;
    if (char* block = static_cast<char*>(text::allocateBlock(kDefaultCapacity))) {
        block[0] = 0;
        m_data = block;
        m_capacity = kDefaultCapacity;
    }
}

StringBuffer::StringBuffer(const char* s) {
    if (!s) s = "";
    size_t n = std::strlen(s);
    if (n >= UINT32_MAX) {
        initEmpty(0, 200);
        return;
    }
    initEmpty(static_cast<uint32_t>(n) + 1, 200);
    if (m_data != g_emptyString) {
        std::memcpy(m_data, s, n + 1);
        m_length = static_cast<uint32_t>(n);
    }
}

StringBuffer::StringBuffer(Reserve hint) {
    uint32_t n = hint.bytes ? hint.bytes : 200;
    initEmpty(n, n);
}

StringBuffer::StringBuffer(const StringBuffer& other) : BrenvikObject(other) {
    other.check();
    initEmpty(other.m_length + 1, 200);
    m_flag = other.m_flag;
    if (m_data != g_emptyString) {
        std::memcpy(m_data, other.m_data, other.m_length + 1);
        m_length = other.m_length;
    }
}

StringBuffer& StringBuffer::operator=(const StringBuffer& other) {
    check();
    other.check();
    if (this != &other) {
        setString(other.m_data, other.m_length);
        m_flag = other.m_flag;
    }
    return *this;
}

void StringBuffer::takeFrom(StringBuffer& other) noexcept {
    m_flag = other.m_flag;
    m_deferred = other.m_deferred;
    m_data = other.m_data;
    m_capacity = other.m_capacity;
    m_length = other.m_length;
    m_growth = other.m_growth;
    other.initEmpty(0, kDefaultCapacity);
    other.m_deferred = true;
}

StringBuffer::StringBuffer(StringBuffer&& other) noexcept : BrenvikObject(other) {
    other.check();
    m_magic = 0xAA;
    takeFrom(other);
}

StringBuffer& StringBuffer::operator=(StringBuffer&& other) noexcept {
    check();
    other.check();
    if (this != &other) {
        if (m_data != g_emptyString) text::freeBlock(m_data);
        takeFrom(other);
    }
    return *this;
}

StringBuffer::~StringBuffer() {
    check();
    if (m_data != g_emptyString) text::freeBlock(m_data);
    // Volatile stores: the compiler must not drop them as dead, they are
    // what makes a later use of this object stop the process.
    volatile unsigned char* magic = &m_magic;
    *magic = 0;
    volatile unsigned char* flag = &m_flag;
    *flag = 0xDD;
    volatile uintptr_t* data = reinterpret_cast<uintptr_t*>(&m_data);
    *data = static_cast<uintptr_t>(0xDDDDDDDDDDDDDDDDull);
    volatile uint32_t* fields[] = {&m_capacity, &m_length, &m_growth};
    for (volatile uint32_t* f : fields) *f = kFill;
}

// ------------------------------------------------------------ growth

// Enlarges when `added` more bytes and the terminator would reach the
// capacity. On failure nothing changes.
bool StringBuffer::grow(uint32_t added) {
    if (m_deferred) takeDeferredBlock(added);
    if (static_cast<uint64_t>(m_length) + added + 1 < m_capacity) return true;
    uint64_t want = static_cast<uint64_t>(m_length) + m_growth + added + 1;
    if (want > UINT32_MAX) return false;
    uint32_t newCapacity = static_cast<uint32_t>(want);
    char* block = static_cast<char*>(text::allocateBlock(newCapacity));
    if (!block) return false;
    std::memcpy(block, m_data, m_length + 1);
    if (m_data != g_emptyString) text::freeBlock(m_data);
    m_data = block;
    m_capacity = newCapacity;
    if (m_growth < newCapacity && m_growth < kMaxGrowth) {
        m_growth = newCapacity / 2;
        if (m_growth > kMaxGrowth) m_growth = kMaxGrowth;
    }
    return true;
}

bool StringBuffer::reserveMore(uint32_t n) {
    check();
    return grow(n);
}

// ------------------------------------------------------------ building

void StringBuffer::clear() {
    check();
    m_length = 0;
    if (m_data != g_emptyString) m_data[0] = 0;
}

bool StringBuffer::append(const char* s) {
    check();
    if (!s) return true;
    size_t n = std::strlen(s);
    if (n > UINT32_MAX) return false;
    return append(s, static_cast<uint32_t>(n));
}

bool StringBuffer::append(const void* bytes, uint32_t n) {
    check();
    if (n == 0 || !bytes) return true;
    const char* src = static_cast<const char*>(bytes);
    if (static_cast<uint64_t>(m_length) + n + 1 >= m_capacity) {
        // The source may be this buffer's own text, which grow() moves.
        uintptr_t from = reinterpret_cast<uintptr_t>(src);
        uintptr_t base = reinterpret_cast<uintptr_t>(m_data);
        bool inside = m_data != g_emptyString && from >= base && from < base + m_length;
        if (!grow(n)) return false;
        if (inside) src = m_data + (from - base);
    }
    std::memmove(m_data + m_length, src, n);
    m_length += n;
    m_data[m_length] = 0;
    return true;
}

bool StringBuffer::append(const StringBuffer& other) {
    check();
    other.check();
    return append(other.m_data, other.m_length);
}

bool StringBuffer::appendInt(int value) {
    check();
    char tmp[16];
    int n = std::snprintf(tmp, sizeof tmp, "%d", value);
    return append(tmp, static_cast<uint32_t>(n));
}

bool StringBuffer::appendInt64(int64_t value) {
    check();
    char tmp[24];
    int n = std::snprintf(tmp, sizeof tmp, "%lld", static_cast<long long>(value));
    return append(tmp, static_cast<uint32_t>(n));
}

bool StringBuffer::setString(const char* s) {
    check();
    if (!s) s = "";
    size_t n = std::strlen(s);
    if (n > UINT32_MAX) return false;
    return setString(s, static_cast<uint32_t>(n));
}

bool StringBuffer::setString(const void* bytes, uint32_t n) {
    check();
    const char* src = static_cast<const char*>(bytes);
    if (!src || n == 0) {
        clear();
        return true;
    }
    if (src == m_data) {
        truncate(n <= m_length ? n : m_length);
        return true;
    }
    uintptr_t from = reinterpret_cast<uintptr_t>(src);
    uintptr_t base = reinterpret_cast<uintptr_t>(m_data);
    if (m_data != g_emptyString && from > base && from < base + m_length) {
        // A part of our own text: move it down; it only gets shorter.
        uint32_t rest = static_cast<uint32_t>(base + m_length - from);
        if (n > rest) n = rest;
        std::memmove(m_data, src, n);
        m_length = n;
        m_data[n] = 0;
        return true;
    }
    // Keep the old text when the new one cannot be stored.
    if (static_cast<uint64_t>(n) + 1 >= m_capacity) {
        uint32_t oldLength = m_length;
        m_length = 0;
        if (!grow(n)) {
            m_length = oldLength;
            return false;
        }
    }
    std::memcpy(m_data, src, n);
    m_length = n;
    m_data[n] = 0;
    return true;
}

bool StringBuffer::prepend(const char* s) {
    check();
    if (!s || !*s) return true;
    size_t n = std::strlen(s);
    if (n > UINT32_MAX) return false;
    StringBuffer joined(Reserve{static_cast<uint32_t>(n + m_length + 1)});
    if (!joined.append(s, static_cast<uint32_t>(n)) || !joined.append(m_data, m_length))
        return false;
    return setString(joined.m_data, joined.m_length);
}

bool StringBuffer::appendRepeated(char c, uint32_t n) {
    check();
    if (n == 0) return true;
    if (!grow(n)) return false;
    std::memset(m_data + m_length, static_cast<unsigned char>(c), n);
    m_length += n;
    m_data[m_length] = 0;
    return true;
}

// ------------------------------------------------------------ shaping

void StringBuffer::trim() {
    check();
    if (m_length == 0) return;
    uint32_t start = 0;
    while (start < m_length && isBlankOrBreak(m_data[start])) ++start;
    uint32_t end = m_length;
    while (end > start && isBlankOrBreak(m_data[end - 1])) --end;
    if (start > 0 && end > start) std::memmove(m_data, m_data + start, end - start);
    m_length = end - start;
    m_data[m_length] = 0;
}

void StringBuffer::trimRight() {
    check();
    if (m_length == 0) return;
    while (m_length > 0 && isBlankOrBreak(m_data[m_length - 1])) --m_length;
    m_data[m_length] = 0;
}

void StringBuffer::toLowerCase() {
    check();
    for (uint32_t i = 0; i < m_length; ++i) {
        unsigned char c = static_cast<unsigned char>(m_data[i]);
        if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDF))
            m_data[i] = static_cast<char>(c + 32);
    }
}

void StringBuffer::toUpperCase() {
    check();
    for (uint32_t i = 0; i < m_length; ++i) {
        m_data[i] = upperAscii(m_data[i]);
    }
}

uint32_t StringBuffer::removeChar(char c) {
    check();
    uint32_t out = 0;
    for (uint32_t i = 0; i < m_length; ++i) {
        if (m_data[i] != c) m_data[out++] = m_data[i];
    }
    uint32_t removed = m_length - out;
    if (removed) {
        m_length = out;
        m_data[m_length] = 0;
    }
    return removed;
}

uint32_t StringBuffer::replaceAll(const char* from, const char* to) {
    check();
    if (!from || !*from || m_length == 0) return 0;
    if (!to) to = "";
    uint32_t fromLen = static_cast<uint32_t>(std::strlen(from));
    uint32_t toLen = static_cast<uint32_t>(std::strlen(to));
    int pos = findBytes(m_data, m_length, from, fromLen, 0);
    if (pos < 0) return 0;
    StringBuffer result(Reserve{m_length + 1});
    uint32_t count = 0;
    uint32_t copied = 0;
    while (pos >= 0) {
        uint32_t p = static_cast<uint32_t>(pos);
        if (!result.append(m_data + copied, p - copied) || !result.append(to, toLen)) return 0;
        copied = p + fromLen;
        ++count;
        pos = findBytes(m_data, m_length, from, fromLen, copied);
    }
    if (!result.append(m_data + copied, m_length - copied)) return 0;
    if (!setString(result.m_data, result.m_length)) return 0;
    return count;
}

uint32_t StringBuffer::replaceChar(char from, char to) {
    check();
    uint32_t count = 0;
    for (uint32_t i = 0; i < m_length; ++i) {
        if (m_data[i] == from) {
            m_data[i] = to;
            ++count;
        }
    }
    return count;
}

void StringBuffer::shrinkToFit() {
    check();
    if (m_data == g_emptyString || m_capacity - (m_length + 1) <= 4) return;
    char* block = static_cast<char*>(text::allocateBlock(m_length + 1));
    if (!block) return;
    std::memcpy(block, m_data, m_length + 1);
    text::freeBlock(m_data);
    m_data = block;
    m_capacity = m_length + 1;
}

void StringBuffer::truncate(uint32_t newLength) {
    check();
    if (newLength >= m_length) return;
    m_length = newLength;
    m_data[m_length] = 0;
}

// ------------------------------------------------------------ testing

uint32_t StringBuffer::length() const {
    check();
    return m_length;
}

bool StringBuffer::isEmpty() const {
    check();
    return m_length == 0;
}

bool StringBuffer::equals(const char* s) const {
    check();
    if (!s) s = "";
    size_t n = std::strlen(s);
    return n == m_length && std::memcmp(m_data, s, n) == 0;
}

bool StringBuffer::equals(const StringBuffer& other) const {
    check();
    other.check();
    return m_length == other.m_length && std::memcmp(m_data, other.m_data, m_length) == 0;
}

bool StringBuffer::equalsIgnoreCase(const char* s) const {
    check();
    if (!s) s = "";
    size_t n = std::strlen(s);
    if (n != m_length) return false;
    for (uint32_t i = 0; i < m_length; ++i) {
        if (lowerAscii(m_data[i]) != lowerAscii(s[i])) return false;
    }
    return true;
}

bool StringBuffer::contains(const char* s) const {
    check();
    return find(s, 0) >= 0;
}

bool StringBuffer::beginsWith(const char* s) const {
    check();
    if (!s) return false;
    size_t n = std::strlen(s);
    return n <= m_length && std::memcmp(m_data, s, n) == 0;
}

bool StringBuffer::endsWith(const char* s) const {
    check();
    if (!s) return false;
    size_t n = std::strlen(s);
    return n <= m_length && std::memcmp(m_data + m_length - n, s, n) == 0;
}

bool StringBuffer::is7bit(uint32_t n) const {
    check();
    return text::all7bit(m_data, (n == 0 || n > m_length) ? m_length : n);
}

int StringBuffer::find(const char* s, uint32_t start) const {
    check();
    if (!s) return -1;
    return findBytes(m_data, m_length, s, static_cast<uint32_t>(std::strlen(s)), start);
}

int StringBuffer::findChar(char c, uint32_t start) const {
    check();
    for (uint32_t i = start; i < m_length; ++i) {
        if (m_data[i] == c) return static_cast<int>(i);
    }
    return -1;
}

uint32_t StringBuffer::countChar(char c) const {
    check();
    uint32_t count = 0;
    for (uint32_t i = 0; i < m_length; ++i) count += (m_data[i] == c);
    return count;
}

// ------------------------------------------------------------ access

const char* StringBuffer::getString() const {
    check();
    return m_data;
}

const unsigned char* StringBuffer::getBytes() const {
    check();
    return reinterpret_cast<const unsigned char*>(m_data);
}

char StringBuffer::charAt(uint32_t i) const {
    check();
    return i < m_length ? m_data[i] : 0;
}

uint32_t StringBuffer::capacity() const {
    check();
    return m_deferred ? kDefaultCapacity : m_capacity;
}

uint32_t StringBuffer::growth() const {
    check();
    return m_growth;
}

unsigned char StringBuffer::flag() const {
    check();
    return m_flag;
}

void StringBuffer::setFlag(unsigned char f) {
    check();
    m_flag = f;
}

// ------------------------------------------------------------ converting

void StringBuffer::htmlEscape() {
    check();
    // "&" first, or the entities written by the later steps would be escaped again.
    replaceAll("&", "&amp;");
    replaceAll("<", "&lt;");
    replaceAll(">", "&gt;");
    replaceAll("\"", "&quot;");
}

// Layout: "0001 0203 0405 0607 0809 0A0B 0C0D 0E0F\n10". After every second
// byte comes a blank, except after every sixteenth, where a line feed comes
// instead. The separator follows the last byte too when the count says so.
void StringBuffer::hexDump(const void* bytes, uint32_t n, StringBuffer& out) {
    out.check();
    static const char digits[] = "0123456789ABCDEF";
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    if (!p || n == 0) return;
    char chunk[512];
    uint32_t used = 0;
    for (uint32_t i = 0; i < n; ++i) {
        chunk[used++] = digits[p[i] >> 4];
        chunk[used++] = digits[p[i] & 0x0F];
        uint32_t k = i + 1;
        if (k % 16 == 0)
            chunk[used++] = '\n';
        else if (k % 2 == 0)
            chunk[used++] = ' ';
        if (used > sizeof chunk - 4) {
            if (!out.append(chunk, used)) return;
            used = 0;
        }
    }
    out.append(chunk, used);
}

// Blanks, tabs, CR and LF between digits are skipped so that a hex dump
// decodes back to its bytes. Any other non-hex character stops the decoding:
// the bytes before it are delivered and the result is false.
bool StringBuffer::hexDecode(DataBuffer& out) const {
    check();
    unsigned char chunk[500];
    uint32_t used = 0;
    int high = -1;
    bool ok = true;
    for (uint32_t i = 0; i < m_length; ++i) {
        char c = m_data[i];
        int v = hexValue(c);
        if (v < 0) {
            if (isBlankOrBreak(c)) continue;
            ok = false;
            break;
        }
        if (high < 0) {
            high = v;
            continue;
        }
        chunk[used++] = static_cast<unsigned char>((high << 4) | v);
        high = -1;
        if (used == sizeof chunk) {
            if (!out.append(chunk, used)) return false;
            used = 0;
        }
    }
    if (used && !out.append(chunk, used)) return false;
    return ok;
}

bool StringBuffer::convertCodePage(unsigned fromCodePage, unsigned toCodePage) {
    check();
    if (fromCodePage == toCodePage || toCodePage == 0) return true;
    // Nothing would be appended; keep the text rather than emptying it.
    if (!EncodingConvert::isSupported(fromCodePage) || !EncodingConvert::isSupported(toCodePage))
        return false;
    EncodingConvert conv;
    DataBuffer out;
    bool ok = conv.convert(fromCodePage, toCodePage, m_data, m_length, out);
    if (!setString(out.data(), out.size())) return false;
    return ok;
}

// What sscanf("%d") reads: leading white space, an optional sign, digits.
// Values beyond the int range saturate.
int StringBuffer::parseInt() const {
    check();
    const char* p = m_data;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    long long value = 0;
    bool any = false;
    while (*p >= '0' && *p <= '9') {
        any = true;
        if (value <= static_cast<long long>(INT_MAX) + 1) value = value * 10 + (*p - '0');
        ++p;
    }
    if (!any) return 0;
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

// ------------------------------------------------------------ files

bool StringBuffer::loadFromFile(const char* utf8Path, LogBase* log) {
    check();
    const char* name = utf8Path ? utf8Path : "";
    platform::File file;
    if (!file.openRead(utf8Path)) {
        if (log) {
            log->LogError("Failed to open file");
            log->LogData("filename", name);
        }
        return false;
    }
    uint64_t size = 0;
    if (!file.size(size)) {
        if (log) {
            log->LogError("Failed to get file size when loading string from file");
            log->LogData("filename", name);
        }
        return false;
    }
    if (size + 4 + m_length + 1 > UINT32_MAX || !reserveMore(static_cast<uint32_t>(size + 4))) {
        if (log) {
            log->LogError("Out of memory reading file into string buffer");
            log->LogData("filename", name);
            log->LogDataInt64("fileSize", static_cast<int64_t>(size));
        }
        return false;
    }
    if (size == 0) return true;
    // Read straight into the spare room; the text only changes on success.
    long long got = file.read(m_data + m_length, static_cast<size_t>(size));
    if (got < 0) {
        m_data[m_length] = 0;
        if (log) {
            log->LogError("Failed to read data from file");
            log->LogData("filename", name);
        }
        return false;
    }
    if (static_cast<uint64_t>(got) != size) {
        m_data[m_length] = 0;
        if (log) {
            log->LogError("Failed to read the entire file");
            log->LogData("filename", name);
            log->LogDataInt64("fileSize", static_cast<int64_t>(size));
            log->LogDataInt64("bytes_received", got);
        }
        return false;
    }
    m_length += static_cast<uint32_t>(size);
    m_data[m_length] = 0;
    return true;
}

char* StringBuffer::releaseBlock(uint32_t& length, uint32_t& capacity) {
    check();
    length = m_length;
    capacity = m_capacity;
    char* block = m_data == g_emptyString ? nullptr : m_data;
    m_deferred = false;
    m_data = g_emptyString;
    m_length = 0;
    m_capacity = 1;
    return block;
}

StringBuffer* StringBuffer::createFromFile(const char* path, LogBase& log) {
    if (!path) {
        log.LogError("Failed to open file");
        log.LogData("filename", "");
        return nullptr;
    }
    StringBuffer clean(path);
#if defined(_WIN32)
    // Old URL forms of Windows paths ("file:///C|/dir/x"). Elsewhere both
    // are ordinary path characters, so the path is taken as given.
    if (clean.beginsWith("file:///")) {
        StringBuffer rest(clean.getString() + 8);
        clean.setString(rest.getString(), rest.length());
    }
    clean.replaceChar('|', ':');
#endif

    uint64_t size = 0;
    {
        platform::File file;
        if (!file.openRead(clean.getString())) {
            log.LogError("Failed to open file");
            log.LogData("filename", clean.getString());
            return nullptr;
        }
        if (!file.size(size)) {
            log.LogError("Failed to get file size when loading string from file");
            log.LogData("filename", clean.getString());
            return nullptr;
        }
    }
    if (size + 200 > UINT32_MAX) {
        log.LogError("File too large to hold in memory");
        log.LogData("filename", clean.getString());
        log.LogDataInt64("fileSize", static_cast<int64_t>(size));
        return nullptr;
    }
    uint32_t want = static_cast<uint32_t>(size) + 200;
    StringBuffer* sb = new (std::nothrow) StringBuffer(Reserve{want});
    if (!sb) text::noteFailedAllocation();
    if (!sb || sb->capacity() < want) {
        delete sb;
        log.LogError("File too large to hold in memory.");
        log.LogData("filename", clean.getString());
        log.LogDataInt64("fileSize", static_cast<int64_t>(size));
        return nullptr;
    }
    if (!sb->loadFromFile(clean.getString(), &log)) {
        delete sb;
        return nullptr;
    }
    return sb;
}
