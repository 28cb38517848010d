#include "mime/html_help.h"

#include <cstring>

#include "mime/mime_text.h"

namespace {

using mimetext::containsNoCase;

void replaceFirst(StringBuffer& s, const char* from, const char* to) {
    int at = s.find(from);
    if (at < 0) return;
    StringBuffer out;
    out.append(s.getString(), static_cast<uint32_t>(at));
    out.append(to);
    out.append(s.getString() + at + std::strlen(from));
    s.setString(out.getString(), out.length());
}

// The span [start, end) of the first meta tag that declares the content
// type; false when there is none.
bool findContentTypeMeta(const char* html, uint32_t& start, uint32_t& end) {
    uint32_t from = 0;
    for (;;) {
        int at = mimetext::findNoCase(html, "<meta", from);
        if (at < 0) return false;
        const char* close = std::strchr(html + at, '>');
        uint32_t stop = close ? static_cast<uint32_t>(close - html) + 1
                              : static_cast<uint32_t>(std::strlen(html));
        StringBuffer tag;
        tag.setString(html + at, stop - static_cast<uint32_t>(at));
        int eq = mimetext::findNoCase(tag.getString(), "http-equiv");
        if (eq >= 0 &&
            mimetext::findNoCase(tag.getString(), "content-type", static_cast<uint32_t>(eq)) >= 0 &&
            containsNoCase(tag.getString(), "charset=")) {
            start = static_cast<uint32_t>(at);
            end = stop;
            return true;
        }
        from = stop;
    }
}

}  // namespace

namespace HtmlHelp {

void readMetaCharset(const char* html, StringBuffer& out) {
    out.clear();
    if (!html) return;
    uint32_t start = 0, end = 0;
    if (!findContentTypeMeta(html, start, end)) return;
    StringBuffer tag;
    tag.setString(html + start, end - start);
    int at = mimetext::findNoCase(tag.getString(), "charset=");
    const char* p = tag.getString() + at + 8;
    while (*p == ' ' || *p == '"' || *p == '\'') ++p;
    const char* e = p;
    while (*e && !std::strchr("\"'; >/\t\r\n", *e)) ++e;
    out.setString(p, static_cast<uint32_t>(e - p));
}

void removeMetaCharset(StringBuffer& html) {
    uint32_t start = 0, end = 0;
    if (!findContentTypeMeta(html.getString(), start, end)) return;
    StringBuffer out;
    out.append(html.getString(), start);
    out.append(html.getString() + end);
    html.setString(out.getString(), out.length());
}

void ensureSkeleton(StringBuffer& html) {
    if (!containsNoCase(html.getString(), "<html")) html.prepend("<html>");
    if (!containsNoCase(html.getString(), "</html>")) html.append("</html>");
    if (!containsNoCase(html.getString(), "<head")) {
        replaceFirst(html, "<HTML>", "<html>");
        replaceFirst(html, "<html>", "<html><head>");
        if (containsNoCase(html.getString(), "<body")) {
            replaceFirst(html, "<BODY", "<body");
            replaceFirst(html, "<body", "</head><body");
        } else {
            replaceFirst(html, "</HTML>", "</html>");
            replaceFirst(html, "<head>", "<head></head>");
        }
    }
    if (!containsNoCase(html.getString(), "<body")) {
        replaceFirst(html, "</HEAD>", "</head>");
        replaceFirst(html, "</head>", "</head><body>");
    }
    if (!containsNoCase(html.getString(), "</body>")) {
        replaceFirst(html, "</HTML>", "</html>");
        replaceFirst(html, "</html>", "</body></html>");
    }
}

void insertMetaCharset(StringBuffer& html, const char* charsetName) {
    ensureSkeleton(html);
    replaceFirst(html, "<HEAD>", "<head>");
    StringBuffer meta("<head><META http-equiv=\"Content-Type\" content=\"text/html;charset=");
    meta.append(charsetName ? charsetName : "");
    meta.append("\">");
    replaceFirst(html, "<head>", meta.getString());
}

}  // namespace HtmlHelp
