#pragma once
// Reading what the engine logged, shared by every engine test program: the
// log flattened into entries, lookups by kind and text, the XML form, and
// short ways to make the engine's text types.
#include <string>
#include <vector>

#include "diag/logger.h"
#include "text/data_buffer.h"
#include "text/string_buffer.h"
#include "text/xstring.h"

namespace testsupport {

struct Entry {
    char kind;  // 'E' error, 'I' info, 'T' named value, 'C' context
    std::string name;
    std::string text;
};

inline void collect(const LogEntry2* e, std::vector<Entry>& out) {
    if (!e) return;
    out.push_back({e->kind(), e->name() ? e->name()->getString() : "",
                   e->text() ? e->text()->getString() : ""});
    if (e->children())
        for (uint32_t i = 0; i < e->children()->count(); ++i)
            collect(e->children()->at<LogEntry2>(i), out);
}

inline std::vector<Entry> entries(Logger& log) {
    std::vector<Entry> out;
    collect(log.root(), out);
    return out;
}

inline bool has(Logger& log, char kind, const std::string& text) {
    for (const Entry& e : entries(log))
        if (e.kind == kind && e.text == text) return true;
    return false;
}
inline bool hasError(Logger& log, const std::string& text) {
    return has(log, 'E', text);
}
inline bool hasInfo(Logger& log, const std::string& text) {
    return has(log, 'I', text);
}

// The first value logged under name, or "<none>".
inline std::string data(Logger& log, const std::string& name) {
    for (const Entry& e : entries(log))
        if (e.kind == 'T' && e.name == name) return e.text;
    return "<none>";
}

inline std::string str(const StringBuffer& sb) {
    return std::string(sb.getString(), sb.length());
}
inline std::string str(const DataBuffer& db) {
    return std::string(reinterpret_cast<const char*>(db.data()), db.size());
}

// The whole log as XML, for assertions and for failure messages.
inline std::string xml(Logger& log) {
    StringBuffer sb;
    log.GetXml(sb);
    return str(sb);
}

inline XString xs(const std::string& s) {
    XString x;
    x.setFromUtf8(s.c_str());
    return x;
}

}  // namespace testsupport
