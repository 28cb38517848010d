#include "plugin/smtp_plugin.h"

#include <mutex>

#include "mail/cls_mail_man.h"
#include "platform/files.h"
#include "plugin/boundary.h"
#include "plugin/mailbox_text.h"
#include "plugin/wide_text.h"
#include "text/caches.h"

namespace {
const wchar_t* const kNullPointer = L"ERROR_NULL_POINTER";
const wchar_t* const kInvalidArg = L"ERROR_INVALID_ARG";
const wchar_t* const kFileNotFound = L"ERROR_FILE_NOT_FOUND";
const wchar_t* const kSendFailed = L"ERROR_SEND_FAILED";
const wchar_t* const kNotImplemented = L"ERROR_NOT_IMPLEMENTED";
}  // namespace

// The process-wide caches are shared by every object of the module, on any
// thread. They are given back only by the last object alive, under the lock
// that a new object takes to count itself, so no object can be reading a
// table while it is freed.
namespace {
std::mutex g_liveLock;
unsigned g_liveObjects = 0;

// shutdown's releaseCaches: only when the caller is the one object alive.
void releaseCachesIfAlone() {
    std::lock_guard<std::mutex> hold(g_liveLock);
    if (g_liveObjects == 1) releaseCaches();
}
}  // namespace

smtp_plugin::smtp_plugin() {
    std::lock_guard<std::mutex> hold(g_liveLock);
    ++g_liveObjects;
}

smtp_plugin::~smtp_plugin() {
    // Called directly, not through the table: nothing overriding close() may
    // run while the object is being torn down.
    smtp_plugin::close();
    std::lock_guard<std::mutex> hold(g_liveLock);
    if (--g_liveObjects == 0) releaseCaches();
}

const char* smtp_plugin::get_class_name() {
    return "email_interface";
}

// Slot 1 as a Visual C++ host calls its deleting destructor: the object
// was made by new in Createsmtp_plugin, so its memory goes back the same way.
PDL::DynamicClass* smtp_plugin::destroy(unsigned int flags) {
    this->~smtp_plugin();
    if (flags & 1u) ::operator delete(static_cast<void*>(this), sizeof(smtp_plugin));
    return this;
}

void smtp_plugin::open() {
    compose("open", [&] {
        createClientObjects();
        return true;
    });
}

void smtp_plugin::shutdown() {
    close();
    run("shutdown", [&] { releaseCachesIfAlone(); });
}

void smtp_plugin::close() {
    // QUIT is said here, where a failure is caught, and not by a destructor.
    run("close", [&] {
        if (m_mailMan) m_mailMan->impl()->quitConnection();
    });
    m_mailMan.reset();
    m_email.reset();
    m_messageBroken = nullptr;
    m_errorCode = nullptr;
}

// The read-only status names, then the settings by name; any other name
// answers the empty string.
const wchar_t* smtp_plugin::get_option(const wchar_t* name) {
    return run("get_option", L"", [&] {
        m_optionValue.clear();
        const std::string key = name ? plugin::toUtf8(name).str() : std::string();
        std::string value;
        if (key == "version") {
            value = SMTP_PLUGIN_VERSION;
        } else if (m_mailMan) {
            ClsMailMan& man = *m_mailMan->impl();
            const ClsMailMan::Status& status = man.lastStatus();
            if (key == "last_error") {
                value = man.lastErrorText();
            } else if (key == "last_reply") {
                value = status.outcome.lastReply;
            } else if (key == "refused_recipients") {
                for (const std::string& r : status.outcome.refusedRecipients)
                    value += (value.empty() ? "" : ",") + r;
            } else if (key == "tls_session") {
                value = status.tlsSession;
            } else if (key == "auth_used") {
                value = status.authUsed;
            } else if (key == "log") {
                StringBuffer xml;
                if (man.log().GetXml(xml)) value.assign(xml.getString(), xml.length());
            } else if (!man.optionValue(key, value)) {
                value.clear();
            }
        }
        m_optionValue = plugin::fromUtf8(value);
        return m_optionValue.c_str();
    });
}

const wchar_t* smtp_plugin::set_option(const wchar_t* name, const wchar_t* value) {
    const bool set = run("set_option", false, [&] {
        // The mail manager keeps the setting until close, disconnect or
        // shutdown; the answer is whatever get_option gives for the name.
        // Only the mail manager: a message is still made by set_server or a
        // composing call.
        if (!m_mailMan) {
            m_mailMan = std::make_unique<BvMailMan>();
            m_mailMan->put_Utf8(true);
        }
        const plugin::Utf8Text name8 = plugin::toUtf8(name ? name : L"");
        const plugin::Utf8Text value8 = plugin::toUtf8(value ? value : L"");
        m_mailMan->SetOption(name8.c_str(), value8.c_str());
        return true;
    });
    return set ? get_option(name ? name : L"") : L"";
}

bool smtp_plugin::reserved_a(void*, void*, void*) {
    setError(kNotImplemented);
    return false;
}

bool smtp_plugin::set_server(const wchar_t* host, const wchar_t* port, const wchar_t* login,
                             const wchar_t* password) {
    return compose("set_server", [&] {
        createClientObjects();
        const int portNumber = plugin::scanDecimal(port ? port : L"25");
        plugin::Utf8Text host8 = plugin::toUtf8(host ? host : L"");
        plugin::Utf8Text login8 = plugin::toUtf8(login ? login : L"");
        plugin::Utf8Text password8 = plugin::toUtf8(password ? password : L"");
        m_mailMan->put_SmtpHost(host8.c_str());
        m_mailMan->put_SmtpPort(portNumber);
        m_mailMan->put_SmtpUsername(login8.c_str());
        m_mailMan->put_SmtpPassword(password8.c_str());
        return true;
    });
}

bool smtp_plugin::reserved_b(void*, void*, void*, void*) {
    setError(kNotImplemented);
    return false;
}

void smtp_plugin::disconnect() {
    close();
}

bool smtp_plugin::connect() {
    // The one failing operation that sets no code; its log and first error
    // are there for get_option("log") and get_option("last_error").
    return guard("connect", false, false, false,
                 [&] { return m_mailMan && m_mailMan->VerifySmtpLogin(); });
}

bool smtp_plugin::new_message() {
    return compose("new_message", [&] {
        m_email.reset();
        m_messageBroken = nullptr;
        createClientObjects();
        return true;
    });
}

bool smtp_plugin::send() {
    const bool sent = guard("send", false, false, false, [&] {
        if (!m_mailMan || !m_email) {
            setError(kNullPointer);
            return false;
        }
        ClsMailMan& man = *m_mailMan->impl();
        bool ok = false;
        const uint64_t failures = text::failedAllocations();
        m_email->put_Charset("utf-8");
        if (!m_messageBroken && text::failedAllocations() != failures) m_messageBroken = "send";
        if (m_messageBroken)
            man.refuseBrokenMessage(m_messageBroken);
        else
            ok = m_mailMan->SendEmail(m_email.get());
        if (!ok) {
            // Settings that are not valid stop a send before anything goes out.
            setError(man.lastStatus().refusedOptions ? kInvalidArg : kSendFailed);
            saveErrorFile();
        }
        return ok;
    });
    // Every send starts the next message from scratch; the server settings stay.
    m_email.reset();
    m_messageBroken = nullptr;
    return sent;
}

// A file that cannot be written is no further failure; an empty error_file
// asks for none.
void smtp_plugin::saveErrorFile() {
    const std::string& file = m_mailMan->impl()->options().errorFile();
    if (!file.empty()) m_mailMan->SaveLastError(file.c_str());
}

bool smtp_plugin::set_from(const wchar_t* address) {
    return compose("set_from", [&] {
        if (!checkArgument(address, true)) return false;
        createClientObjects();
        const plugin::Utf8Text text = plugin::toUtf8(address);
        std::string name, bare;
        if (plugin::splitMailbox(text.str(), name, bare)) {
            m_email->put_FromName(name.c_str());
            m_email->put_From(bare.c_str());
        } else {
            m_email->put_From(text.c_str());
        }
        return true;
    });
}

// "Name <addr>" and "addr (Name)" give the display name; any other text is
// the address as it is.
bool smtp_plugin::addRecipient(const char* operation,
                               bool (BvEmail::*add)(const char*, const char*),
                               const wchar_t* address, bool answer) {
    return compose(operation, [&] {
        if (!checkArgument(address, true)) return false;
        createClientObjects();
        const plugin::Utf8Text text = plugin::toUtf8(address);
        std::string name, bare;
        if (plugin::splitMailbox(text.str(), name, bare))
            (m_email.get()->*add)(name.c_str(), bare.c_str());
        else
            (m_email.get()->*add)("", text.c_str());
        return answer;
    });
}

bool smtp_plugin::add_to(const wchar_t* address) {
    return addRecipient("add_to", &BvEmail::AddTo, address, true);
}

// add_cc and add_bcc answer false even when the address was added; hosts
// know not to take that as a failure.
bool smtp_plugin::add_cc(const wchar_t* address) {
    return addRecipient("add_cc", &BvEmail::AddCC, address, false);
}

bool smtp_plugin::add_bcc(const wchar_t* address) {
    return addRecipient("add_bcc", &BvEmail::AddBcc, address, false);
}

bool smtp_plugin::set_subject(const wchar_t* text) {
    return compose("set_subject", [&] {
        if (!checkArgument(text, false)) return false;
        createClientObjects();
        m_email->put_Subject(plugin::toUtf8(text).c_str());
        return true;
    });
}

bool smtp_plugin::set_body(const wchar_t* text) {
    return compose("set_body", [&] {
        if (!checkArgument(text, false)) return false;
        createClientObjects();
        m_email->put_Body(plugin::toUtf8(text).c_str());
        return true;
    });
}

bool smtp_plugin::set_html_body(const wchar_t* html) {
    return compose("set_html_body", [&] {
        if (!checkArgument(html, false)) return false;
        createClientObjects();
        m_email->SetHtmlBody(plugin::toUtf8(html).c_str());
        return true;
    });
}

bool smtp_plugin::add_attachment(const wchar_t* path) {
    return compose("add_attachment", [&] {
        if (!checkArgument(path, true)) return false;
        plugin::Utf8Text path8 = plugin::toUtf8(path);
        // Checked before any client object exists, so a bad path leaves none behind.
        if (platform::pathKind(path8.c_str()) != platform::PathKind::RegularFile) {
            setError(kFileNotFound);
            return false;
        }
        createClientObjects();
        // A file that cannot be read leaves the message as it was.
        if (!m_email->AddFileAttachment(path8.c_str())) {
            setError(kFileNotFound);
            return false;
        }
        return true;
    });
}

const wchar_t* smtp_plugin::get_last_error() {
    const wchar_t* code = m_errorCode ? m_errorCode : L"";
    m_errorCode = nullptr;
    return code;
}

bool smtp_plugin::checkArgument(const wchar_t* text, bool requiredNonEmpty) {
    if (!text) {
        setError(kNullPointer);
        return false;
    }
    if (requiredNonEmpty && text[0] == L'\0') {
        setError(kInvalidArg);
        return false;
    }
    return true;
}

void smtp_plugin::createClientObjects() {
    if (!m_mailMan) m_mailMan = std::make_unique<BvMailMan>();
    if (!m_email) m_email = std::make_unique<BvEmail>();
    // Every narrow string the plug-in hands over is UTF-8.
    m_mailMan->put_Utf8(true);
    m_email->put_Utf8(true);
}

// Nothing here may throw: it runs where an exception was stopped.
void smtp_plugin::failed(const char* operation, const char* why, bool composing) noexcept {
    m_errorCode = kSendFailed;
    if (m_mailMan) m_mailMan->impl()->operationFailed(operation, why);
    // The message may hold part of what was asked for: it must not go.
    if (composing && m_email && !m_messageBroken) m_messageBroken = operation;
}
