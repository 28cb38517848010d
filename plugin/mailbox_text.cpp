#include "plugin/mailbox_text.h"

#include "text/ascii.h"

namespace plugin {
namespace {

using text::isBlank;

std::string trimmed(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && isBlank(s[a])) ++a;
    while (b > a && isBlank(s[b - 1])) --b;
    return s.substr(a, b - a);
}

// An address between the angle brackets or before a comment: one word with
// an at-sign, nothing that would make it a list or a route.
bool plausibleAddress(const std::string& a) {
    if (a.empty() || a.find('@') == std::string::npos) return false;
    for (char c : a)
        if (isBlank(c) || c == '<' || c == '>' || c == ',' || c == ';' || c == '"' || c == '(' ||
            c == ')' || c == '\r' || c == '\n')
            return false;
    return true;
}

// The display name before "<": a quoted string (unescaped here) or plain
// words. False when it holds what only a list or a group would.
bool displayName(const std::string& raw, std::string& out) {
    const std::string s = trimmed(raw);
    out.clear();
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') {
        for (size_t i = 1; i + 1 < s.size(); ++i) {
            if (s[i] == '\\') {
                if (i + 2 >= s.size()) return false;  // the closing quote escaped
                out += s[++i];
            } else if (s[i] == '"') {
                return false;  // two quoted strings or stray quote
            } else {
                out += s[i];
            }
        }
        return true;
    }
    for (char c : s)
        if (c == '"' || c == '<' || c == '>' || c == ',' || c == ';' || c == ':' || c == '@')
            return false;
    out = s;
    return true;
}

}  // namespace

bool splitMailbox(const std::string& text, std::string& name, std::string& address) {
    const std::string s = trimmed(text);
    if (s.size() < 3) return false;
    if (s.back() == '>') {
        // The angle address is the last "<" outside a quoted name.
        size_t open = std::string::npos;
        bool quoted = false;
        for (size_t i = 0; i + 1 < s.size(); ++i) {
            if (s[i] == '\\' && quoted) {
                ++i;
            } else if (s[i] == '"') {
                quoted = !quoted;
            } else if (s[i] == '<' && !quoted) {
                open = i;
            }
        }
        if (quoted || open == std::string::npos) return false;
        std::string addr = s.substr(open + 1, s.size() - open - 2);
        std::string n;
        if (!plausibleAddress(addr) || !displayName(s.substr(0, open), n)) return false;
        name = n;
        address = addr;
        return true;
    }
    if (s.back() == ')') {
        size_t open = s.find('(');
        if (open == std::string::npos || open == 0) return false;
        std::string addr = trimmed(s.substr(0, open));
        std::string comment;
        for (size_t i = open + 1; i + 1 < s.size(); ++i) {
            if (s[i] == '\\' && i + 2 < s.size()) {
                comment += s[++i];
            } else if (s[i] == '(' || s[i] == ')') {
                return false;  // nested comments are not taken apart
            } else {
                comment += s[i];
            }
        }
        if (!plausibleAddress(addr)) return false;
        name = trimmed(comment);
        address = addr;
        return true;
    }
    return false;
}

}  // namespace plugin
