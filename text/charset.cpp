#include "text/charset.h"

#include <cstring>

#include "platform/code_pages.h"

namespace {

struct CharsetNameEntry {
    const char* name;
    unsigned codePage;
};
struct CodePageNameEntry {
    unsigned codePage;
    const char* name;
};

#include "text/generated/charset_names.inc"

const CharsetNameEntry* findName(const char* normalised) {
    size_t lo = 0, hi = sizeof kAcceptedNames / sizeof kAcceptedNames[0];
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        int c = std::strcmp(kAcceptedNames[mid].name, normalised);
        if (c == 0) return &kAcceptedNames[mid];
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return nullptr;
}

}  // namespace

bool codePageToName(unsigned codePage, StringBuffer& out) {
    size_t lo = 0, hi = sizeof kCanonicalNames / sizeof kCanonicalNames[0];
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (kCanonicalNames[mid].codePage == codePage) {
            out.append(kCanonicalNames[mid].name);
            return true;
        }
        if (kCanonicalNames[mid].codePage < codePage)
            lo = mid + 1;
        else
            hi = mid;
    }
    return false;
}

unsigned nameToCodePage(const char* name) {
    if (!name) return 0;
    StringBuffer sb(name);
    sb.trim();
    sb.toLowerCase();
    sb.replaceChar('_', '-');
    if (sb.length() < 3) return 0;
    if (sb.equals("ansi")) return platform::ansiCodePage();
    const CharsetNameEntry* e = findName(sb.getString());
    return e ? e->codePage : 0;
}

Charset::Charset(const Charset& other) : m_name(other.m_name), m_codePage(other.m_codePage) {}

Charset& Charset::operator=(const Charset& other) {
    if (this != &other) {
        m_name.setString(other.m_name.getString());
        m_codePage = other.m_codePage;
    }
    return *this;
}

void Charset::clear() {
    m_name.clear();
    m_codePage = 0;
}

void Charset::setByCodePage(unsigned codePage) {
    m_name.clear();
    if (codePageToName(codePage, m_name)) {
        m_codePage = codePage;
    } else {
        m_name.clear();
        m_codePage = 0;
    }
}

void Charset::setByName(const char* name) {
    if (!name) return;
    if (std::strcmp(name, "default") == 0 || std::strcmp(name, "x-user-defined") == 0) {
        clear();
        return;
    }
    StringBuffer sb(name);
    if (sb.equalsIgnoreCase("ansi")) {
        setByCodePage(platform::ansiCodePage());
        return;
    }
    if (sb.equalsIgnoreCase("oem")) {
        setByCodePage(platform::oemCodePage());
        return;
    }
    unsigned cp = nameToCodePage(name);
    if (cp == 0) {
        clear();
        return;
    }
    // The stored name is the canonical name of the page; a page without a
    // canonical name (an accepted alias of a page outside the list) keeps
    // its number with an empty name.
    m_codePage = cp;
    m_name.clear();
    codePageToName(cp, m_name);
}
