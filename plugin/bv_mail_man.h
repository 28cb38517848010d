#pragma once
// Client object over the mail manager: turns narrow C strings into the
// engine's XString by the UTF-8 switch and forwards.
#include <memory>

#include "plugin/bv_object.h"

class ClsMailMan;
class BvEmail;

class BvMailMan : public BvObject {
  public:
    BvMailMan();
    ~BvMailMan() override;

    void put_Utf8(bool utf8) { m_utf8 = utf8; }
    bool get_Utf8() const { return m_utf8; }

    void put_SmtpHost(const char* host);
    void put_SmtpPort(int port);
    void put_SmtpUsername(const char* username);
    void put_SmtpPassword(const char* password);
    // A host setting; name and value in UTF-8.
    void SetOption(const char* name, const char* value);
    // A null e-mail fails at once and leaves the log untouched.
    bool SendEmail(BvEmail* email);
    bool VerifySmtpLogin();
    // The path goes on as bytes, without conversion.
    bool SaveLastError(const char* path);

    ClsMailMan* impl() { return m_impl.get(); }

  private:
    std::unique_ptr<ClsMailMan> m_impl;
    bool m_utf8 = false;
};
