#pragma once
// One node of an e-mail: a MIME entity (header fields, body bytes, ordered
// sub-parts) that also knows e-mail semantics (sender, recipients, charset,
// bodies and attachments). The root node is the whole message.
#include <cstdint>
#include <memory>
#include <string>

#include "mime/date_parser.h"
#include "mime/mime_header.h"
#include "mime/rfc822_address.h"
#include "text/charset.h"
#include "text/data_buffer.h"
#include "text/ext_ptr_array.h"
#include "text/string_buffer.h"

class LogBase;
class MimeMessage2;
class MimeOutput;

// What Email2::setContentType writes, by name; every field is optional.
struct ContentTypeFields {
    const char* type = "";  // empty: the current type (text/plain when none)
    const char* name = "";
    const char* protocol = "";
    const char* micalg = "";
    // Null (or one without a name) neither writes nor clears the stored
    // charset; a text type then names the stored one.
    const Charset* charset = nullptr;
    const char* boundary = "";
    const char* smimeType = "";
    const char* typeParam = "";  // multipart/related's "type"
};

class Email2 : public BrenvikObject {
  public:
    // A new message: MIME-Version, Date, Message-ID, Content-Type text/plain,
    // Content-Transfer-Encoding 7bit, X-Mailer, X-Priority, in that order.
    static std::unique_ptr<Email2> createNewEmail();
    // A new part inside a message: only Content-Type and
    // Content-Transfer-Encoding.
    static std::unique_ptr<Email2> createInnerPart();
    ~Email2() override;
    Email2(const Email2&) = delete;
    Email2& operator=(const Email2&) = delete;

    // ---- header fields (names compare case-insensitively)
    bool getHeaderField(const char* name, StringBuffer& out) const;
    // CR and LF are dropped from the value; the fields with a meaning of
    // their own (Content-Transfer-Encoding, Content-ID, Date, From,
    // Reply-To) go to their setters.
    void setHeaderField(const char* name, const char* value);
    void removeHeaderField(const char* name);
    bool hasHeaderField(const char* name) const { return m_header.hasField(name); }
    const MimeHeader& header() const { return m_header; }
    MimeHeader& header() { return m_header; }

    void setDate(const char* text);
    void setContentId(const char* text);

    // ---- content description
    // Stores the values and rebuilds "Content-Type": text always says the
    // charset it is written in. The fields may point into this node.
    void setContentType(const ContentTypeFields& fields);
    // The stored type and parameters, pointing into this node.
    ContentTypeFields contentTypeFields() const;
    // Rebuilds "Content-Type" from the stored type and parameters.
    void rewriteContentType();
    void setContentDisposition(const char* disposition, const char* filename);
    void setContentTransferEncoding(const char* value);
    bool isAttachment(bool strict) const;
    // True when the stored content type begins with the given type.
    bool isContentType(const char* prefix) const;
    bool isMultipart() const;

    // ---- recipients
    bool addTo(const char* name, const char* address);
    bool addCc(const char* name, const char* address);
    bool addBcc(const char* name, const char* address);
    int addToList(const char* text, LogBase& log);
    int addBccList(const char* text, LogBase& log);
    void clearTo();
    void clearCc();
    void clearBcc();
    uint32_t numTo() const { return m_to.count(); }
    uint32_t numCc() const { return m_cc.count(); }
    uint32_t numBcc() const { return m_bcc.count(); }
    const Rfc822Address* getTo(uint32_t i) const { return m_to.at<Rfc822Address>(i); }
    const Rfc822Address* getCc(uint32_t i) const { return m_cc.at<Rfc822Address>(i); }
    const Rfc822Address* getBcc(uint32_t i) const { return m_bcc.at<Rfc822Address>(i); }

    // ---- sender
    // Ignored unless the text holds an at-sign.
    void setFromAddress(const char* address);
    // The display name of From; kept for an address set later.
    void setFromName(const char* name);
    void setFrom(const char* text);
    void setReplyTo(const char* text);
    void getFromAddress(StringBuffer& out) const;
    const Rfc822Address* sender() const { return m_from.get(); }
    void getSubject(StringBuffer& out) const;
    // The SMTP reverse path: Return-Path, sender, From, Reply-To.
    void getEnvelopeFrom(StringBuffer& out) const;

    // ---- address fields for a server without SMTPUTF8
    // Turns an internationalised domain into its A-labels; false, with the
    // reason, when it cannot.
    using DomainToAscii = bool (*)(const std::string& utf8, std::string& ascii, std::string& why);
    // Makes From, Sender, Reply-To, To and Cc 7-bit: a domain that is not
    // ASCII goes as its A-labels; a mailbox whose local part is not ASCII (or
    // whose domain has no A-label form) is left out, with an error in the
    // log. A To left without a mailbox says "undisclosed-recipients:;"; a
    // Cc, Reply-To or Sender left so is removed. False, with the reason
    // logged, when From cannot be written.
    bool asciiAddressFields(DomainToAscii toAscii, LogBase& log);

    // ---- identifiers
    void generateMessageId();
    // A fresh 40-character boundary; callers add the role suffix.
    static void generateBoundary(StringBuffer& out);
    // 36 lower-case hex digits and dashes, 8-4-4-4-12.
    static void generateGuid(StringBuffer& out);
    // Makes every Message-ID and boundary after it follow from seed, so that
    // a test can compare whole rendered messages; 0 goes back to the clock.
    static void seedIdsForTesting(uint32_t seed);

    // ---- bodies and attachments
    void setBody(const void* utf8, uint32_t n, bool isHtml);
    void setHtmlBody(const void* utf8, uint32_t n, LogBase& log);
    // Adds the file as an attachment part of this root; false, with the
    // tree unchanged and the reason in the log, when it cannot be read.
    bool addFileAttachment(const char* path, const char* contentType, StringBuffer& chosenType,
                           LogBase& log);
    void setCharset(const Charset& charset);
    void setHtmlCharset(const Charset& charset);
    Email2* findHtmlPart();
    Email2* findPlainPart();
    // Takes the part; null adds nothing.
    void addAlternative(std::unique_ptr<Email2> part);
    Email2* convertToAlternative();
    void convertToMixed();
    void wrapRelatedInMixed();
    void encodingForCodePage(unsigned codePage);

    // ---- MIME text
    // Appends the MIME text of this node and its sub-parts to out. With a
    // stream the same text goes there in pieces (out is only scratch) and
    // the first failed write ends the rendering with false. Fields whose
    // name begins with omitPrefix (any letter case) are left out. Text
    // leaves may be fixed up on the way (charset, transfer encoding).
    bool assembleMime(StringBuffer& out, MimeOutput* stream, const char* omitPrefix, LogBase& log);
    // Appends the body converted to the node's charset and transfer-encoded;
    // false when memory ran out.
    bool writeBody(StringBuffer& out);
    // About how long the MIME text is (a little more, as a rule).
    uint64_t estimatedTextSize() const;
    // A tree read from MIME text and normalised; null when it does not parse.
    static std::unique_ptr<Email2> createFromMime(const void* text, uint32_t n, LogBase& log);
    // A copy to send: fields, recipients and parts of its own, the bodies
    // borrowed from this tree, which must outlive the copy and stay as it
    // is meanwhile (so an attachment is never held twice). Its text is
    // never written out once an allocation of the engine failed on this
    // thread since the copy began: a field changed on the way (a new
    // Message-ID, 7-bit addresses) may have come out short.
    std::unique_ptr<Email2> clone(LogBase& log) const;

    // ---- read access
    const DataBuffer& body() const { return m_body; }
    uint32_t numParts() const { return m_parts.count(); }
    Email2* getPart(uint32_t i) const { return m_parts.at<Email2>(i); }
    const StringBuffer& contentType() const { return m_contentType; }
    const StringBuffer& disposition() const { return m_disposition; }
    const StringBuffer& transferEncoding() const { return m_transferEncoding; }
    const StringBuffer& nameParam() const { return m_name; }
    const StringBuffer& protocol() const { return m_protocol; }
    const StringBuffer& micalg() const { return m_micalg; }
    const StringBuffer& contentId() const { return m_contentId; }
    const Charset& charset() const { return m_charset; }
    const StringBuffer& boundary() const { return m_boundary; }
    const StringBuffer& smimeType() const { return m_smimeType; }
    const StringBuffer& filename() const { return m_filename; }
    const StringBuffer& typeParam() const { return m_type; }
    bool formatFlowed() const { return m_formatFlowed != 0; }
    void setFormatFlowed(bool on) { m_formatFlowed = on ? 1 : 0; }
    const StringBuffer& charsetName() const { return m_charsetName; }
    const SystemTime& date() const { return m_date; }

  private:
    Email2() = default;
    // mime_render.cpp
    bool assembleNode(Email2& root, StringBuffer& out, MimeOutput* stream, const char* omitPrefix,
                      int depth);
    void effectiveCharset(Email2& root, int depth, Charset& cs);
    bool streamBase64(StringBuffer& out, MimeOutput* stream);
    // Before rendering: every text leaf of the tree gets a charset that
    // carries its text, named in its header.
    void labelTextLeaves();
    void labelTextLeaf();
    // email2_copy.cpp
    std::unique_ptr<Email2> copyNode(int depth) const;
    // mime_parse.cpp
    static std::unique_ptr<Email2> fromMessage(MimeMessage2& msg, int depth);
    void normaliseAfterLoad(int depth);
    void attachmentRootToMixed();
    void mixedTextsToAlternative();
    void initNew();
    bool addRecipient(ExtPtrArray& list, const char* field, const char* name, const char* address);
    void rebuildAddressField(const ExtPtrArray& list, const char* field);
    void setSenderFromParsed(const char* text, bool replyTo);
    void setBodyIn(const void* utf8, uint32_t n, bool isHtml, Email2* root);
    void setHtmlBodyIn(const void* utf8, uint32_t n, Email2* root);
    void addAlternativeIn(std::unique_ptr<Email2> part, Email2* root);
    void chooseBodyCharset(const void* utf8, uint32_t n);
    void collectBodyParts(ExtPtrArray& found, bool isRoot);
    Email2* findBodyPart(const char* type);
    void takeContentFrom(Email2& from, bool takeParts);

    DataBuffer m_body;
    MimeHeader m_header;
    ExtPtrArray m_parts;  // of Email2, owned
    ExtPtrArray m_to;     // of Rfc822Address, owned
    ExtPtrArray m_cc;
    ExtPtrArray m_bcc;
    StringBuffer m_fromName;
    std::unique_ptr<Rfc822Address> m_from;
    SystemTime m_date;
    StringBuffer m_contentType;
    StringBuffer m_disposition;
    StringBuffer m_transferEncoding;
    StringBuffer m_name;
    StringBuffer m_protocol;
    StringBuffer m_micalg;
    StringBuffer m_contentId;
    Charset m_charset;
    StringBuffer m_boundary;
    StringBuffer m_smimeType;
    StringBuffer m_filename;
    StringBuffer m_type;
    unsigned char m_formatFlowed = 0;
    StringBuffer m_charsetName;
    // A copy to send: text::failedAllocations() when it began.
    bool m_sendCopy = false;
    uint64_t m_failuresBefore = 0;
};
