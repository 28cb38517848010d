#pragma once
// The engine's e-mail object: the one message the host composes and the mail
// manager sends. It owns one e-mail tree and turns each operation into a
// change of that tree; on top it logs its public operations and picks a
// charset the first time non-ASCII text arrives.
#include <cstdint>
#include <memory>

#include "diag/cls_base.h"
#include "text/string_buffer.h"
#include "text/xstring.h"

class Email2;

class ClsEmail : public ClsBase {
  public:
    ClsEmail();
    ~ClsEmail() override;  // where Email2 is complete

    // ---- composing (the client layer's operations)
    void put_Subject(XString& subject);
    void put_Body(XString& body);
    // html is a narrow string in the client layer's encoding (UTF-8 when
    // utf8 is true, else the ANSI code page); null is logged and ignored.
    void SetHtmlBody(const char* html, bool utf8);
    void put_From(XString& from);
    // The sender's display name; the address comes from put_From.
    void put_FromName(XString& name);
    bool AddTo(XString& name, XString& address);
    bool AddCC(XString& name, XString& address);
    bool AddBcc(XString& name, XString& address);
    // contentTypeOut receives the content type chosen for the file.
    bool AddFileAttachment(XString& path, StringBuffer& contentTypeOut);
    bool put_Charset(XString& charset);

    // ---- what the mail manager uses
    // Puts the body the tree lost to the other back beside it: when both a
    // plain and an HTML body were given (in either order), the copy to send
    // gets them as multipart/alternative, plain first. False when there is
    // nothing to add.
    bool completeAlternative(Email2& copy) const;
    // The tree; when there is none an empty one is made and created is set.
    Email2* getEmailTree(bool& created);
    void setSendingFlag(bool sending) { m_sending = sending ? 1 : 0; }
    bool isSending() const { return m_sending != 0; }
    int numTo() const;
    int numCc() const;
    int numBcc() const;
    // The bare address of recipient i (no display name); empty when i is out
    // of range.
    void getTo(int i, StringBuffer& out) const;
    void getCc(int i, StringBuffer& out) const;
    void getBcc(int i, StringBuffer& out) const;

  private:
    enum class RecipientKind { To, Cc, Bcc };
    bool addRecipient(const char* operation, RecipientKind kind, XString& name, XString& address);
    // Sets the message charset from the scripts in text, unless it has one.
    void chooseCharset(XString& text);

    unsigned char m_sending = 0;
    std::unique_ptr<Email2> m_email;
    // The bodies as last given (UTF-8), and which of them came last.
    StringBuffer m_plainGiven, m_htmlGiven;
    bool m_hasPlain = false, m_hasHtml = false, m_htmlLast = false;
};
