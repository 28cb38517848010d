#include "mail/smtp_capabilities.h"

#include <cstring>

#include "mail/smtp_reply.h"
#include "text/ascii.h"

namespace {

// ASCII only, whatever locale the host has set.
std::string upper(const char* s, size_t n) {
    std::string out(s, n);
    return text::toUpperAscii(out);
}

}  // namespace

void SmtpCapabilities::clear() {
    m_auth = 0;
    m_keywords.clear();
    m_sizeLimit = 0;
}

bool SmtpCapabilities::offers(const char* keyword) const {
    return keyword && m_keywords.count(upper(keyword, strlen(keyword))) != 0;
}

void SmtpCapabilities::noteEhloLine(const StringBuffer& line, bool firstLine) {
    const uint32_t n = smtpreply::bodyLength(line);
    if (n < 5) return;
    const char* text = line.getString() + 4;
    const size_t textLength = n - 4;
    size_t word = 0;
    while (word < textLength && text[word] != ' ' && text[word] != '=') ++word;
    if (!firstLine) m_keywords.insert(upper(text, word));
    // "SIZE 10240000" (RFC 1870): the largest message the server takes; no
    // number, 0 or one that does not fit says nothing of a limit.
    if (!firstLine && upper(text, word) == "SIZE") {
        uint64_t limit = 0;
        size_t i = word;
        while (i < textLength && text[i] == ' ') ++i;
        for (; i < textLength && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
            limit = limit * 10 + static_cast<uint64_t>(text[i] - '0');
            if (limit > (uint64_t{1} << 53)) break;
        }
        m_sizeLimit = i == textLength && limit <= (uint64_t{1} << 53) ? limit : 0;
    }

    // "AUTH " or "AUTH=" opens the mechanism list; the whole line is
    // searched, as servers write it in any case.
    const std::string all = upper(line.getString(), n);
    if (all.compare(4, 5, "AUTH ") != 0 && all.compare(4, 5, "AUTH=") != 0) return;
    static const struct {
        const char* needle;
        Mechanism flag;
    } kNeedles[] = {
        {" LOGIN", kLogin},
        {"=LOGIN", kLogin},
        {" NTLM", kNtlm},
        {" MSN", kMsn},
        {" GSSAPI", kGssapi},
        {" ANONYMOUS", kAnonymous},
        {" PLAIN", kPlain},
        {" CRAM-MD5", kCramMd5},
        {" DIGEST-MD5", kDigestMd5},
        {" KERBEROS_V4", kKerberosV4},
        {" XOAUTH2", kXoauth2},
    };
    for (const auto& n2 : kNeedles)
        if (all.find(n2.needle) != std::string::npos) m_auth |= n2.flag;
}
