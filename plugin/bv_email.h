#pragma once
// Client object over the e-mail object: turns narrow C strings into the
// engine's XString by the UTF-8 switch and forwards.
#include <memory>

#include "plugin/bv_object.h"

class ClsEmail;
class XString;

class BvEmail : public BvObject {
  public:
    BvEmail();
    ~BvEmail() override;

    void put_Utf8(bool utf8) { m_utf8 = utf8; }
    bool get_Utf8() const { return m_utf8; }

    bool put_Charset(const char* charset);
    void put_From(const char* from);
    // The display name of the sender, set before or after its address.
    void put_FromName(const char* name);
    bool AddTo(const char* name, const char* address);
    bool AddCC(const char* name, const char* address);
    bool AddBcc(const char* name, const char* address);
    void put_Subject(const char* subject);
    void put_Body(const char* body);
    void SetHtmlBody(const char* html);
    bool AddFileAttachment(const char* path);

    ClsEmail* impl() { return m_impl.get(); }

  private:
    // AddTo, AddCC and AddBcc: the two texts converted, then ClsEmail's.
    bool addRecipient(bool (ClsEmail::*add)(XString&, XString&), const char* name,
                      const char* address);

    bool m_utf8 = false;
    std::unique_ptr<ClsEmail> m_impl;
};
