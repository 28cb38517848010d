#include "tools/smtp_send/report.h"

#include <cstddef>

#include "mime/content_coding.h"
#include "text/string_buffer.h"

namespace smtp_send {
namespace {

bool has(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// A reply line: three digits, then a blank, a hyphen or nothing.
bool isReplyLine(const std::string& line) {
    if (line.size() < 3) return false;
    for (size_t i = 0; i < 3; ++i)
        if (line[i] < '0' || line[i] > '9') return false;
    return line.size() == 3 || line[3] == ' ' || line[3] == '-';
}

// The lines of a text, without their CR LF (or LF).
std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out.push_back(line);
        at = end + 1;
    }
    return out;
}

std::string base64(const std::string& in) {
    StringBuffer out;
    ContentCoding::encodeBase64(in.data(), static_cast<uint32_t>(in.size()), out);
    return std::string(out.getString(), out.length());
}

void replaceAll(std::string& text, const std::string& what, const std::string& with) {
    if (what.empty()) return;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += with.size())
        text.replace(at, what.size(), with);
}

}  // namespace

ExitStatus classify(const Failure& f) {
    // Settings and arguments the module refused before anything was sent.
    if (f.code == "ERROR_INVALID_ARG" || f.code == "ERROR_FILE_NOT_FOUND" ||
        has(f.log, "a setting given with set_option is not valid"))
        return kExitUsage;
    const std::string& e = f.firstError;
    // A required TLS session that failed names the tls= setting; a TLS set-up
    // that failed on this side says so.
    if (has(e, "required by tls=") || startsWith(e, "TLS ") || startsWith(e, "EHLO after STARTTLS"))
        return kExitTls;
    // No SMTP session at all: the connection, the name lookup or the greeting.
    if (startsWith(e, "Failed to connect to SMTP server") ||
        startsWith(e, "Failed to get initial SMTP response") || has(f.log, "<connectFailed>"))
        return kExitConnect;
    // A login was tried (a mechanism was chosen) and none was made, or the
    // check found nothing to log in with.
    const bool tried =
        has(f.log, "<login_method>") && !has(f.log, "<login_method>NONE") && f.authUsed == "none";
    if (tried || startsWith(e, "No login was made") || has(e, "not offered by the server"))
        return kExitAuth;
    if (!f.refused.empty()) return kExitRecipients;
    return kExitOther;
}

std::vector<LogItem> parseLog(const std::string& xml) {
    std::vector<LogItem> items;
    int depth = 0;
    size_t at = 0;
    const auto skipSpace = [&] {
        while (at < xml.size() &&
               (xml[at] == '\r' || xml[at] == '\n' || xml[at] == ' ' || xml[at] == '\t'))
            ++at;
    };
    for (skipSpace(); at < xml.size() && xml[at] == '<'; skipSpace()) {
        if (xml.compare(at, 2, "</") == 0) {  // a context ends
            const size_t end = xml.find('>', at);
            if (end == std::string::npos) break;
            at = end + 1;
            --depth;
            continue;
        }
        const size_t nameEnd = xml.find('>', at);
        if (nameEnd == std::string::npos) break;
        LogItem item;
        item.depth = depth;
        item.name = xml.substr(at + 1, nameEnd - at - 1);
        at = nameEnd + 1;
        const std::string close = "</" + item.name + ">";
        // A leaf's text never begins with a line end (text with one is in
        // CDATA), so a line end after the tag opens a context.
        if (at >= xml.size() || xml[at] == '\r' || xml[at] == '\n') {
            item.context = true;
            items.push_back(item);
            ++depth;
            continue;
        }
        bool closed = false;
        while (at < xml.size()) {
            if (xml.compare(at, 9, "<![CDATA[") == 0) {
                const size_t end = xml.find("]]>", at + 9);
                if (end == std::string::npos) return items;
                item.text += xml.substr(at + 9, end - at - 9);
                at = end + 3;
            } else if (xml.compare(at, close.size(), close) == 0) {
                at += close.size();
                closed = true;
                break;
            } else {
                item.text += xml[at++];
            }
        }
        if (!closed) break;
        items.push_back(item);
    }
    return items;
}

std::vector<std::string> dialogue(const std::string& xml) {
    std::vector<std::string> out;
    const auto server = [&](const std::string& text) {
        for (const std::string& line : linesOf(text)) out.push_back("S: " + line);
    };
    std::string tlsVersion;
    bool tlsConnection = false;
    for (const LogItem& item : parseLog(xml)) {
        if (item.context) continue;
        const std::string& n = item.name;
        const std::string& t = item.text;
        if (n == "InitialResponse" || n == "helloResponse" || n == "HeloResponse") {
            server(t);
        } else if (n == "sendingHello") {
            out.push_back("C: " + t);
        } else if (n == "connectFailed") {
            out.push_back("-- connect failed: " + t);
        } else if (n == "tlsVersion") {
            tlsVersion = t;
        } else if (n == "tlsCipher") {
            out.push_back((tlsConnection ? "-- connection: TLS " : "-- TLS handshake: ") +
                          tlsVersion + " " + t);
            tlsConnection = false;
        } else if (n == "ConnectionType") {
            // The connection the message went on; with TLS its session follows.
            tlsConnection = t == "TLS";
            if (!tlsConnection) out.push_back("-- connection: " + t);
        } else if (n == "tlsCertificateCheck") {
            out.push_back("-- certificate check: " + t);
        } else if (n == "login_method") {
            out.push_back("-- AUTH: " + t);
        } else if (n == "reversePath") {
            out.push_back("-- reverse path: <" + t + ">");
        } else if (n == "email_size") {
            out.push_back("-- message size: " + t + " bytes");
        } else if (n == "NumAccepted") {
            out.push_back("-- recipients accepted: " + t);
        } else if (n == "NumRejected") {
            out.push_back("-- recipients refused: " + t);
        } else if (n == "error") {
            out.push_back("!! " + t);
        } else if (n == "info") {
            if (startsWith(t, "Connecting to SMTP server") || startsWith(t, "CONNECTED to") ||
                startsWith(t, "Using existing/open SMTP connection")) {
                out.push_back("-- " + t);
            } else if (has(t, "\n")) {
                // The transcript: replies are the lines with a reply code,
                // the rest went from here (commands, the message text).
                out.push_back("-- transcript:");
                for (const std::string& line : linesOf(t))
                    out.push_back((isReplyLine(line) ? "S: " : "C: ") + line);
            }
        }
    }
    return out;
}

std::string masked(std::string text, const std::string& user, const std::string& password) {
    if (password.empty()) return text;
    const std::string mask = "****";
    // The longer forms first, so that none is left half replaced.
    replaceAll(text, base64(std::string(1, '\0') + user + std::string(1, '\0') + password), mask);
    replaceAll(text, base64(user + std::string(1, '\0') + user + std::string(1, '\0') + password),
               mask);
    replaceAll(text, base64(password), mask);
    replaceAll(text, password, mask);
    return text;
}

}  // namespace smtp_send
