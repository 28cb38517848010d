// The address fields of a message that goes to a server without SMTPUTF8:
// a header of 7-bit text only (RFC 5322), the addresses as the envelope has
// them (RFC 5890 A-labels), and no mailbox that 7-bit text cannot name.
#include <string>
#include <vector>

#include "diag/log_base.h"
#include "mime/email2.h"
#include "mime/mime_text.h"

namespace {

bool ascii(const std::string& s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// The items of an address list: split at commas outside quoted strings,
// comments and angle brackets.
std::vector<std::string> itemsOf(const std::string& v) {
    std::vector<std::string> items;
    std::string item;
    bool angle = false;
    int comment = 0;
    for (size_t i = 0; i < v.size(); ++i) {
        const char c = v[i];
        if (c == '"' && !angle && !comment) {
            const uint32_t n =
                mimetext::quotedEnd(v.c_str() + i, static_cast<uint32_t>(v.size() - i));
            item.append(v, i, n);
            i += n - 1;
            continue;
        }
        if (c == '\\' && comment && i + 1 < v.size()) {
            item += v.substr(i, 2);
            ++i;
            continue;
        }
        if (c == '(' && !angle) ++comment;
        if (c == ')' && comment) --comment;
        if (c == '<' && !comment) angle = true;
        if (c == '>' && !comment) angle = false;
        if (c == ',' && !angle && !comment) {
            items.push_back(item);
            item.clear();
            continue;
        }
        item += c;
    }
    items.push_back(item);
    return items;
}

// Where the address of an item is: inside its angle brackets, else the
// item without blanks and a trailing comment.
void addressSpan(const std::string& item, size_t& begin, size_t& end) {
    size_t lt = std::string::npos;
    for (size_t i = 0; i < item.size(); ++i) {
        if (item[i] == '"') {
            i += mimetext::quotedEnd(item.c_str() + i, static_cast<uint32_t>(item.size() - i)) - 1;
            continue;
        }
        if (item[i] == '<') lt = i;
    }
    if (lt != std::string::npos) {
        begin = lt + 1;
        end = item.find('>', begin);
        if (end == std::string::npos) end = item.size();
        return;
    }
    begin = item.find_first_not_of(" \t");
    if (begin == std::string::npos) begin = item.size();
    end = item.find('(', begin);
    if (end == std::string::npos) end = item.size();
    while (end > begin && (item[end - 1] == ' ' || item[end - 1] == '\t')) --end;
}

std::string trimmed(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

}  // namespace

bool Email2::asciiAddressFields(DomainToAscii toAscii, LogBase& log) {
    bool fromWritten = true;
    for (const char* field : {"From", "Sender", "Reply-To", "To", "Cc"}) {
        StringBuffer value;
        if (!m_header.getField(field, value) || value.is7bit()) continue;
        std::string kept;
        for (std::string item : itemsOf(value.getString())) {
            size_t begin = 0, end = 0;
            addressSpan(item, begin, end);
            const std::string address = item.substr(begin, end - begin);
            std::string why;
            if (!ascii(address)) {
                const size_t at = address.rfind('@');
                const std::string local = address.substr(0, at == std::string::npos ? 0 : at);
                std::string domain;
                if (at == std::string::npos || !ascii(local))
                    why = "its local part is not ASCII and the server does not offer SMTPUTF8";
                else if (toAscii(address.substr(at + 1), domain, why))
                    item.replace(begin, end - begin, local + "@" + domain);
                else
                    why = "its domain has no ASCII form (" + why + ")";
            }
            if (!why.empty()) {
                log.LogError(
                    ("Address left out of the " + std::string(field) + " field: " + why).c_str());
                log.LogData("bad_address", address.c_str());
                continue;
            }
            if (trimmed(item).empty()) continue;
            // The writer encodes a display name, not a comment: "addr (Name)"
            // with a name that is not ASCII goes as "Name" <addr>.
            addressSpan(item, begin, end);  // the address may have changed length
            const size_t open = item.find('(', end);
            if (!ascii(item) && item.find('<') == std::string::npos && open != std::string::npos) {
                const size_t close = item.rfind(')');
                const std::string name =
                    item.substr(open + 1, (close > open ? close : item.size()) - open - 1);
                StringBuffer quoted;
                mimetext::appendQuoted(quoted, name.c_str(), static_cast<uint32_t>(name.size()));
                item =
                    std::string(quoted.getString()) + " <" + item.substr(begin, end - begin) + ">";
            }
            if (!kept.empty()) kept += ", ";
            kept += trimmed(item);
        }
        if (!kept.empty()) {
            m_header.setFieldValue(field, kept.c_str());
        } else if (std::string(field) == "From") {
            log.LogError("The From field cannot be written without SMTPUTF8: no mailbox left");
            fromWritten = false;
        } else if (std::string(field) == "To") {
            // An empty group (RFC 5322 3.4), as for a message sent to Bcc only.
            m_header.setFieldValue(field, "undisclosed-recipients:;");
        } else {
            m_header.removeField(field);
        }
    }
    return fromWritten;
}
