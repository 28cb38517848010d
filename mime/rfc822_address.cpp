#include "mime/rfc822_address.h"

#include <cstring>

#include "diag/log_base.h"
#include "mime/content_coding.h"
#include "mime/mime_text.h"

namespace {

const char kJisEscape[] = "\x1B$B";

// A name written in ISO-2022-JP goes out as one B word in that charset.
void jisToBWord(StringBuffer& name) {
    StringBuffer word("=?iso-2022-jp?B?");
    ContentCoding::encodeBase64(name.getString(), name.length(), word);
    word.append("?=");
    name.setString(word.getString(), word.length());
}

// A word in the raw "8bit" charset is decoded as soon as it is read. What it
// decodes to may hold a line break or a NUL (Q's =0D=0A, =00): those are
// dropped, as in a name given outright, so a name can never end the header
// or start a line of its own.
void decode8bitWords(StringBuffer& name) {
    if (!name.contains("?8bit?")) return;
    StringBuffer decoded;
    ContentCoding::decodeEncodedWords(name.getString(), decoded);
    name.clear();
    for (uint32_t i = 0; i < decoded.length(); ++i) {
        const char c = decoded.charAt(i);
        if (c != '\r' && c != '\n' && c != '\0') name.appendChar(c);
    }
}

bool hasDirectoryMarker(const StringBuffer& s) {
    return s.contains("C=") || s.contains("O=") || s.contains("CN=") || s.contains("P=");
}

void removeChars(StringBuffer& s, const char* chars) {
    for (const char* c = chars; *c; ++c) s.removeChar(*c);
}

}  // namespace

Rfc822Address::Rfc822Address(const char* name, const char* address) : m_valid(1) {
    m_name.setString(name ? name : "");
    decode8bitWords(m_name);
    if (m_name.contains(kJisEscape)) jisToBWord(m_name);

    m_address.setString(address ? address : "");
    if (m_address.beginsWith("<")) {
        StringBuffer rest(m_address.getString() + 1);
        m_address.setString(rest.getString(), rest.length());
    }
    if (m_address.endsWith(">")) m_address.truncate(m_address.length() - 1);
    if (m_address.findChar('"') < 0) m_address.removeChar(' ');

    if (!m_name.isEmpty()) {
        mimetext::appendQuoted(m_sourceText, m_name.getString(), m_name.length());
        m_sourceText.append(" <");
        m_sourceText.append(m_address);
        m_sourceText.append(">");
    } else {
        m_sourceText.append(m_address);
    }
    m_name.trim();
    m_address.trim();
    if (m_name.equals(m_address)) m_name.clear();
}

void Rfc822Address::format(StringBuffer& out) const {
    if (!m_name.isEmpty()) {
        mimetext::appendQuoted(out, m_name.getString(), m_name.length());
        out.append(" <");
        out.append(m_address);
        out.append(">");
    } else if (m_address.findChar(' ') >= 0) {
        out.append("<");
        out.append(m_address);
        out.append(">");
    } else {
        out.append(m_address);
    }
}

void Rfc822Address::getName(StringBuffer& out) const {
    out.clear();
    if (mimetext::containsNoCase(m_name.getString(), "?Q?") ||
        mimetext::containsNoCase(m_name.getString(), "?B?"))
        ContentCoding::decodeEncodedWords(m_name.getString(), out);
    else
        out.append(m_name);
}

Rfc822Address* Rfc822Address::parseAddress(const char* text, LogBase& /*log*/) {
    if (!text || !*text) return nullptr;
    if (mimetext::containsNoCase(text, "undisclosed recipient") ||
        mimetext::containsNoCase(text, "undisclosed-recipient"))
        return nullptr;
    StringBuffer t(text);
    t.trim();
    if (t.isEmpty()) return nullptr;

    StringBuffer name, addr;
    int lt = t.findChar('<');
    if (hasDirectoryMarker(t) && lt < 0) {
        // An X.400 directory name: all of it is the address.
        addr.append(t);
    } else if (hasDirectoryMarker(t)) {
        name.setString(t.getString(), static_cast<uint32_t>(lt));
        int gt = t.findChar('>', static_cast<uint32_t>(lt));
        uint32_t end = gt >= 0 ? static_cast<uint32_t>(gt) : t.length();
        addr.setString(t.getString() + lt + 1, end - static_cast<uint32_t>(lt) - 1);
        removeChars(name, "<>\"");
        removeChars(addr, "<>\"");
        name.trim();
        addr.trim();
    } else {
        const char* s = t.getString();
        uint32_t len = t.length();
        const char* lastAt = std::strrchr(s, '@');
        uint32_t at = lastAt ? static_cast<uint32_t>(lastAt - s) : (len >= 2 ? len - 2 : 0);
        uint32_t start = at;
        while (start > 0 && s[start - 1] != ' ' && s[start - 1] != '<') --start;
        uint32_t end = at;
        while (end < len && s[end] != ' ' && s[end] != '>') ++end;
        addr.setString(s + start, end - start);

        // The name: what stands before the address, its quoted strings
        // read without their quotes and escapes.
        uint32_t from = 0;
        while (from < start && s[from] == '\'') ++from;
        uint32_t stop = start;
        while (stop > from && (s[stop - 1] == '<' || s[stop - 1] == '\'' || s[stop - 1] == ' '))
            --stop;
        mimetext::appendPhraseText(name, s + from, stop - from);
        name.trim();
        removeChars(addr, " \"");
        if (name.equals(addr)) name.clear();
        decode8bitWords(name);
    }
    if (addr.isEmpty()) return nullptr;

    if (name.contains(kJisEscape)) {
        jisToBWord(name);
    } else if (!name.is7bit()) {
        StringBuffer word;
        encodeHeaderWord(name.getString(), "utf-8", word);
        name.setString(word.getString(), word.length());
    }
    Rfc822Address* a = new Rfc822Address;
    a->m_valid = 1;
    a->m_sourceText.append(t);
    a->m_name.append(name);
    a->m_address.append(addr);
    return a;
}

int Rfc822Address::parseAddressList(const char* text, ExtPtrArray& list, bool skipDuplicates,
                                    LogBase& log) {
    if (!text) return 0;
    StringBuffer src(text);
    src.trim();
    // Unfold: a continuation tab stands for a blank.
    StringBuffer t;
    for (uint32_t i = 0; i < src.length(); ++i) {
        char c = src.charAt(i);
        if (c == '\r' || c == '\n') continue;
        if (c == '\t' && i > 0 && src.charAt(i - 1) == '\n')
            t.appendChar(' ');
        else
            t.appendChar(c);
    }

    int added = 0;
    bool inQuotes = false;
    uint32_t pieceStart = 0;
    for (uint32_t i = 0; i <= t.length(); ++i) {
        char c = t.charAt(i);
        if (inQuotes && c == '\\' && i + 1 < t.length()) {
            ++i;
            continue;
        }
        if (c == '"') inQuotes = !inQuotes;
        if (i < t.length() && (c != ',' || inQuotes)) continue;
        StringBuffer piece;
        piece.setString(t.getString() + pieceStart, i - pieceStart);
        pieceStart = i + 1;
        Rfc822Address* a = parseAddress(piece.getString(), log);
        if (!a) continue;
        if (skipDuplicates) {
            bool dup = false;
            for (uint32_t k = 0; k < list.count() && !dup; ++k) {
                const Rfc822Address* o = list.at<Rfc822Address>(k);
                dup = o && o->m_address.equalsIgnoreCase(a->m_address.getString());
            }
            if (dup) {
                delete a;
                continue;
            }
        }
        if (!list.append(a)) {
            delete a;
            continue;
        }
        ++added;
    }
    return added;
}
