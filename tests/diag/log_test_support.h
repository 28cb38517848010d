#pragma once
// Small helpers shared by the log tests.
#include <cstdint>
#include <string>

#include "diag/logger.h"
#include "text/string_buffer.h"

namespace logtest {

inline const char* const kCrLf = "\r\n";

inline std::string xmlOf(Logger& log) {
    StringBuffer sb;
    log.GetXml(sb);
    return std::string(sb.getString(), sb.length());
}

// The XML of a log whose root holds exactly the given rendered lines.
inline std::string underRoot(const std::string& body) {
    return "<BrenvikLog>\r\n" + body + "</BrenvikLog>\r\n";
}

inline const LogEntry2* child(const LogEntry2* ctx, uint32_t i) {
    if (!ctx || !ctx->children() || i >= ctx->children()->count()) return nullptr;
    return ctx->children()->at<LogEntry2>(i);
}

inline uint32_t childCount(const LogEntry2* ctx) {
    return ctx && ctx->children() ? ctx->children()->count() : 0;
}

inline std::string str(const StringBuffer* sb) {
    return sb ? std::string(sb->getString(), sb->length()) : std::string("<null>");
}

inline size_t countOf(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + needle.size()))
        ++n;
    return n;
}

}  // namespace logtest
