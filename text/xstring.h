#pragma once
// One text held in up to three forms (ANSI, UTF-8, UTF-16LE), converted on
// demand and cached.
#include <cstdint>

#include "text/data_buffer.h"
#include "text/string_buffer.h"

class XString : public BrenvikObject {
  public:
    XString();
    XString(const XString& other);
    XString& operator=(const XString& other);
    ~XString() override = default;

    void clear();
    void setFromAnsi(const char* s);
    void setFromUtf8(const char* s);
    void setFromUtf8(const void* bytes, uint32_t n);
    // Two-zero-byte terminated UTF-16LE.
    void setFromUtf16(const uint16_t* s);
    // UTF-16 with an explicit length in code units (a COM string).
    void setFromUtf16(const uint16_t* s, uint32_t units);
    // Interprets s by the client layer's switch: UTF-8 when true, else ANSI.
    void setFromSwitch(const char* s, bool utf8);
    void copyFrom(const XString& other);

    const char* getAnsi();
    const char* getUtf8();
    // Two-zero-byte terminated UTF-16LE.
    const uint16_t* getUtf16();
    const StringBuffer& getUtf8Sb();
    const StringBuffer& getAnsiSb();
    // The UTF-16LE bytes without the terminator.
    const DataBuffer& getUtf16Db();

    bool canBeAnsi();
    // ANSI bytes when the ANSI form is valid, else UTF-16 code units.
    uint32_t length();
    bool isEmpty();

  private:
    void markOnly(int which);
    void convertUtf16FromOthers();
    void convertUtf8FromOthers();
    void convertAnsiFromOthers();
    void terminateUtf16();

    enum { kUnknown = 0, kAnsiOk = 1, kNotAnsi = 2 };
    int m_ansiState;
    bool m_utf16Valid;
    bool m_ansiValid;
    bool m_utf8Valid;
    DataBuffer m_utf16;  // UTF-16LE followed by two zero bytes
    StringBuffer m_ansi;
    StringBuffer m_utf8;
};
