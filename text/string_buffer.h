#pragma once
// A growable, always zero-terminated 8-bit string: the engine's text type.
#include <cstdint>

#include "text/brenvik_object.h"

class DataBuffer;
class LogBase;

class StringBuffer : public BrenvikObject {
  public:
    // Size hint for the constructor that pre-allocates.
    struct Reserve {
        uint32_t bytes;
    };

    StringBuffer();                        // 202 bytes at the first write, growth 202
    explicit StringBuffer(const char* s);  // exactly strlen + 1 bytes, growth 200
    explicit StringBuffer(Reserve hint);   // hint bytes (200 when 0), growth likewise
    StringBuffer(const StringBuffer& other);
    StringBuffer& operator=(const StringBuffer& other);
    // Takes the other's block: no allocation, so a move cannot lose text.
    // The other is left as a default buffer.
    StringBuffer(StringBuffer&& other) noexcept;
    StringBuffer& operator=(StringBuffer&& other) noexcept;
    ~StringBuffer() override;

    // ---- building
    void clear();
    bool append(const char* s);
    bool append(const void* bytes, uint32_t n);
    bool append(const StringBuffer& other);
    // Inline while there is room: headers and encoders write a byte at a time.
    bool appendChar(char c) {
        check();
        if (static_cast<uint64_t>(m_length) + 2 >= m_capacity) return append(&c, 1);
        m_data[m_length++] = c;
        m_data[m_length] = 0;
        return true;
    }
    bool appendInt(int value);
    bool appendInt64(int64_t value);
    bool setString(const char* s);
    bool setString(const void* bytes, uint32_t n);
    bool prepend(const char* s);
    bool appendRepeated(char c, uint32_t n);
    // Makes room for n more bytes without changing the text.
    bool reserveMore(uint32_t n);

    // ---- shaping
    void trim();  // blanks, tabs, CR and LF at both ends
    void trimRight();
    void toLowerCase();  // ASCII, and 0xC0..0xDF raised by 32
    void toUpperCase();  // ASCII only
    uint32_t removeChar(char c);
    uint32_t replaceAll(const char* from, const char* to);
    uint32_t replaceChar(char from, char to);
    void shrinkToFit();  // only when more than 4 bytes are spare
    void truncate(uint32_t newLength);

    // ---- testing
    uint32_t length() const;
    bool isEmpty() const;
    bool equals(const char* s) const;
    bool equals(const StringBuffer& other) const;
    bool equalsIgnoreCase(const char* s) const;  // ASCII case only
    bool contains(const char* s) const;
    bool beginsWith(const char* s) const;
    bool endsWith(const char* s) const;
    bool is7bit(uint32_t n = 0) const;  // first n bytes, or all when n is 0
    // Offset of the first occurrence at or after start, or -1.
    int find(const char* s, uint32_t start = 0) const;
    int findChar(char c, uint32_t start = 0) const;
    uint32_t countChar(char c) const;

    // ---- access
    const char* getString() const;
    const unsigned char* getBytes() const;
    char charAt(uint32_t i) const;  // 0 past the end
    uint32_t capacity() const;
    uint32_t growth() const;
    unsigned char flag() const;
    void setFlag(unsigned char f);

    // ---- converting
    // "&", "<", ">" and the double quote become entities, in that order.
    void htmlEscape();
    // Appends two upper-case digits per byte, a blank after every second byte
    // and a line feed instead of that blank after every sixteenth:
    // 17 bytes give "0001 0203 0405 0607 0809 0A0B 0C0D 0E0F\n10".
    static void hexDump(const void* bytes, uint32_t n, StringBuffer& out);
    // Appends pairs of hex digits (either case) as bytes; a trailing odd digit
    // is ignored. Blanks, tabs, CR and LF are skipped, so a dump decodes back;
    // any other character ends the decoding with false (bytes before it stay).
    bool hexDecode(DataBuffer& out) const;
    // Converts the text in place between two code pages. Characters without
    // a mapping are dropped and make the result false; an unsupported code
    // page leaves the text unchanged and returns false.
    bool convertCodePage(unsigned fromCodePage, unsigned toCodePage);
    // The text as a "%d" scan would read it; 0 when it does not start with a number.
    int parseInt() const;

    // ---- files
    // Appends the whole file to this buffer; on failure the text is unchanged
    // and the reason goes to log (which may be null).
    bool loadFromFile(const char* utf8Path, LogBase* log);
    // A new buffer holding the file, or null. On Windows "file:///" paths and
    // "|" for ":" are accepted too.
    static StringBuffer* createFromFile(const char* path, LogBase& log);

    // Hands the text's block (text::allocateBlock's) to the caller (null when
    // there is none), who frees it; the buffer is empty afterwards. A large file read
    // here moves into a DataBuffer (takeOver) without a second copy.
    char* releaseBlock(uint32_t& length, uint32_t& capacity);

  private:
    bool grow(uint32_t added);
    void check() const {
        if (m_magic != 0xAA) fatalObjectCorruption("StringBuffer");
    }
    void initEmpty(uint32_t capacity, uint32_t growth);
    void takeDeferredBlock(uint32_t added);
    void takeFrom(StringBuffer& other) noexcept;

    unsigned char m_magic;
    unsigned char m_flag;
    // A default buffer takes its block when first written: most of the
    // buffers a message's tree holds are never written.
    bool m_deferred = false;
    char* m_data;
    uint32_t m_capacity;
    uint32_t m_length;
    uint32_t m_growth;
};
