#pragma once
// The parse-side twin of Email2: one MIME entity read from text, with its
// header, its body already decoded from the transfer encoding, its
// sub-parts, and the content parameters split out.
#include <cstdint>

#include "mime/mime_header.h"
#include "text/charset.h"
#include "text/data_buffer.h"
#include "text/ext_ptr_array.h"
#include "text/string_buffer.h"

class LogBase;

class MimeMessage2 : public BrenvikObject {
  public:
    // Limits against hostile text: deeper multiparts stay unsplit (their
    // text is kept as the body), and one parse makes at most this many
    // entities and header fields; what lies beyond is dropped.
    static constexpr int kMaxDepth = 32;
    static constexpr uint32_t kMaxEntities = 5000;
    static constexpr uint32_t kMaxFields = 50000;
    // A text without any header/body separator that is longer than this is
    // not taken for a header.
    static constexpr uint32_t kMaxSeparatorless = 20000000;

    MimeMessage2() = default;
    ~MimeMessage2() override;
    MimeMessage2(const MimeMessage2&) = delete;
    MimeMessage2& operator=(const MimeMessage2&) = delete;

    // Reads the text into this (empty) entity. False only for an oversized
    // text without a header separator; damage elsewhere leaves each part
    // with what could be read.
    bool loadMime(const void* text, uint32_t n, LogBase& log);

    uint32_t numParts() const { return parts.count(); }
    MimeMessage2* getPart(uint32_t i) const { return parts.at<MimeMessage2>(i); }

    MimeHeader header;
    DataBuffer body;
    ExtPtrArray parts;  // of MimeMessage2, owned
    StringBuffer contentType;
    Charset charset;
    StringBuffer boundary;
    StringBuffer name;
    StringBuffer protocol;
    StringBuffer micalg;
    StringBuffer smimeType;
    StringBuffer type;
    bool formatFlowed = false;
    StringBuffer disposition;
    StringBuffer filename;
    StringBuffer contentId;
    StringBuffer transferEncoding;
    // The boundary was found in the body, not in the Content-Type field.
    bool boundaryGuessed = false;

  private:
    struct Budget {
        uint32_t entities = 0;
        uint32_t fields = 0;
    };
    bool load(const unsigned char* p, uint32_t n, int depth, Budget& budget, LogBase& log);
    void parseHeader(const unsigned char* p, uint32_t n, Budget& budget);
    void addParsedField(StringBuffer& name, StringBuffer& value);
    void splitContentFields();
    void decodeBody(const unsigned char* p, uint32_t n);
    void splitMultipart(const unsigned char* p, uint32_t n, int depth, Budget& budget,
                        LogBase& log);
};
