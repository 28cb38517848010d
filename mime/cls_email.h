#pragma once
// The engine's e-mail object: the one message the host composes and the mail
// manager sends.
//
// For now it only stores what it is given. The MIME tree that renders the
// message (header fields, address parsing, charset choice, body and
// attachment placement) arrives in a later issue and replaces these fields;
// the operations, their log contexts and their results stay.
#include <cstdint>

#include "diag/cls_base.h"
#include "text/ext_ptr_array.h"
#include "text/string_buffer.h"
#include "text/xstring.h"

class ClsEmail : public ClsBase {
  public:
    ClsEmail() = default;
    ~ClsEmail() override;

    // ---- composing (the client layer's operations)
    void put_Subject(XString& subject);
    void put_Body(XString& body);
    // html is a narrow string in the client layer's encoding (UTF-8 when
    // utf8 is true, else the ANSI code page); null is logged and ignored.
    void SetHtmlBody(const char* html, bool utf8);
    void put_From(XString& from);
    bool AddTo(XString& name, XString& address);
    bool AddCC(XString& name, XString& address);
    bool AddBcc(XString& name, XString& address);
    // contentTypeOut receives the content type chosen for the file.
    bool AddFileAttachment(XString& path, StringBuffer& contentTypeOut);
    bool put_Charset(XString& charset);

    // ---- what the mail manager uses
    void setSendingFlag(bool sending) { m_sending = sending ? 1 : 0; }
    int numTo() const { return static_cast<int>(m_to.count()); }
    int numCc() const { return static_cast<int>(m_cc.count()); }
    int numBcc() const { return static_cast<int>(m_bcc.count()); }
    // The bare address of recipient i (no display name); empty when i is out
    // of range.
    void getTo(int i, StringBuffer& out) const;
    void getCc(int i, StringBuffer& out) const;
    void getBcc(int i, StringBuffer& out) const;

    // ---- read access, mostly for tests
    bool isSending() const { return m_sending != 0; }
    const StringBuffer& subject() const { return m_subject; }
    const StringBuffer& body() const { return m_body; }
    const StringBuffer& htmlBody() const { return m_htmlBody; }
    bool hasHtmlBody() const { return m_hasHtml; }
    const StringBuffer& from() const { return m_from; }
    const StringBuffer& charset() const { return m_charset; }
    void getToName(int i, StringBuffer& out) const;
    int numAttachments() const { return static_cast<int>(m_attachments.count()); }
    void getAttachmentPath(int i, StringBuffer& out) const;

  private:
    bool addRecipient(const char* operation, ExtPtrArray& list, XString& name, XString& address);

    unsigned char m_sending = 0;
    StringBuffer m_subject;
    StringBuffer m_body;
    StringBuffer m_htmlBody;
    bool m_hasHtml = false;
    StringBuffer m_from;
    StringBuffer m_charset;
    ExtPtrArray m_to;           // of Recipient, owned
    ExtPtrArray m_cc;           // of Recipient, owned
    ExtPtrArray m_bcc;          // of Recipient, owned
    ExtPtrArray m_attachments;  // of StringBuffer (UTF-8 paths), owned
};
