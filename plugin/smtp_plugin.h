#pragma once
// The plug-in object behind email_interface: argument checks, error codes,
// UTF-8 conversion, and the two client objects it drives.
#include <memory>
#include <string>

#include "plugin/boundary.h"
#include "plugin/bv_email.h"
#include "plugin/bv_mail_man.h"
#include "plugin/email_interface.h"
#include "text/memory.h"

class smtp_plugin final : public email_interface {
  public:
    smtp_plugin();
    // Reached only through destroy (slot 1).
    ~smtp_plugin();
    smtp_plugin(const smtp_plugin&) = delete;
    smtp_plugin& operator=(const smtp_plugin&) = delete;

    const char* get_class_name() override;
    PDL::DynamicClass* destroy(unsigned int flags) override;
    void open() override;
    void shutdown() override;
    void close() override;
    const wchar_t* get_option(const wchar_t* name) override;
    const wchar_t* set_option(const wchar_t* name, const wchar_t* value) override;
    bool reserved_a(void* a, void* b, void* c) override;
    bool set_server(const wchar_t* host, const wchar_t* port, const wchar_t* login,
                    const wchar_t* password) override;
    bool reserved_b(void* a, void* b, void* c, void* d) override;
    void disconnect() override;
    bool connect() override;
    bool new_message() override;
    bool send() override;
    bool set_from(const wchar_t* address) override;
    bool add_to(const wchar_t* address) override;
    bool add_cc(const wchar_t* address) override;
    bool add_bcc(const wchar_t* address) override;
    bool set_subject(const wchar_t* text) override;
    bool set_body(const wchar_t* text) override;
    bool set_html_body(const wchar_t* html) override;
    bool add_attachment(const wchar_t* path) override;
    const wchar_t* get_last_error() override;

  private:
    // Every operation's body runs here: what is thrown below becomes the
    // failed result with ERROR_SEND_FAILED, and is logged. So does an
    // allocation of the engine's buffers that failed on the way (a buffer
    // tells only through a result, not read everywhere), unless the body's
    // own result must stand (send and connect answer what the server did).
    // An operation that composes marks the message broken when it fails so:
    // it is then never sent.
    template <class Result, class Body>
    Result guard(const char* operation, Result failedResult, bool composing, bool watchBuffers,
                 Body&& body) noexcept {
        const uint64_t failures = text::failedAllocations();
        bool thrown = false;
        Result result = plugin::guarded(failedResult, body, [&](const char* why) noexcept {
            thrown = true;
            failed(operation, why, composing);
        });
        if (!thrown && watchBuffers && text::failedAllocations() != failures) {
            failed(operation, "memory ran out", composing);
            return failedResult;
        }
        return result;
    }
    template <class Result, class Body>
    Result run(const char* operation, Result failedResult, Body&& body) noexcept {
        return guard(operation, failedResult, false, true, body);
    }
    template <class Body>
    void run(const char* operation, Body&& body) noexcept {
        run(operation, false, [&] {
            body();
            return true;
        });
    }
    template <class Body>
    bool compose(const char* operation, Body&& body) noexcept {
        return guard(operation, false, true, true, body);
    }
    void failed(const char* operation, const char* why, bool composing) noexcept;

    // The shared check of slots 14 to 21; sets the code and returns false
    // when the argument is refused.
    bool checkArgument(const wchar_t* text, bool requiredNonEmpty);
    void createClientObjects();
    // Adds one recipient with BvEmail's AddTo, AddCC or AddBcc; answer is
    // what the operation says when it worked.
    bool addRecipient(const char* operation, bool (BvEmail::*add)(const char*, const char*),
                      const wchar_t* address, bool answer);
    void saveErrorFile();
    // Codes are static texts: setting one never allocates.
    void setError(const wchar_t* code) { m_errorCode = code; }

    const wchar_t* m_errorCode = nullptr;
    // The composing operation that failed on the message; null when none did.
    const char* m_messageBroken = nullptr;
    std::wstring m_optionValue;
    std::unique_ptr<BvMailMan> m_mailMan;
    std::unique_ptr<BvEmail> m_email;
};
