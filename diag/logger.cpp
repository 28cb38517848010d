#include "diag/logger.h"

#include <cinttypes>
#include <cstdio>
#include <new>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"
#include "text/ascii.h"
#include "text/memory.h"

using text::utf8CharLength;

namespace {

const char kRootName[] = "BrenvikLog";
const char kCrLf[] = "\r\n";

// Length of the UTF-8 character at p (n > 0 bytes left) when it is one
// that XML allows in a document, else 0.
uint32_t xmlChar(const unsigned char* p, uint32_t n) {
    if (p[0] < 0x80) return p[0] >= 0x20 || p[0] == '\t' || p[0] == '\n' || p[0] == '\r' ? 1 : 0;
    uint32_t cp = 0;
    const uint32_t len = utf8CharLength(p, n, &cp);
    // U+FFFE and U+FFFF are valid UTF-8 but not XML characters.
    return cp == 0xFFFE || cp == 0xFFFF ? 0 : len;
}

void appendHexByte(StringBuffer& out, const char* prefix, unsigned char b) {
    static const char kHex[] = "0123456789ABCDEF";
    out.append(prefix);
    out.appendChar(kHex[b >> 4]);
    out.appendChar(kHex[b & 15]);
}

// Whether the byte may stand in an element name. ASCII only: readers do not
// agree on which other characters a name may hold (expat, behind Python and
// Firefox, keeps to the older list), and ':' means a namespace to many.
bool isNameByte(unsigned char c, bool first) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_') return true;
    return !first && ((c >= '0' && c <= '9') || c == '-' || c == '.');
}

// Texts, values and raw entries come from anywhere, servers included, yet
// the file must stay well-formed with only the elements the log wrote:
// a byte XML cannot carry (a C0 control other than TAB, LF and CR, a byte
// that is not part of valid UTF-8, the bytes of U+FFFE and U+FFFF) is
// written as "\xHH"; a text with markup characters, a tab or a line feed
// goes into a CDATA section, with every "]]>" split across two sections.
void appendXmlText(StringBuffer& out, const StringBuffer* s) {
    if (!s) return;
    const unsigned char* p = s->getBytes();
    const uint32_t n = s->length();
    bool cdata = false;
    for (uint32_t i = 0; i < n && !cdata; ++i) {
        const unsigned char c = p[i];
        cdata = c == '\n' || c == '\t' || c == '&' || c == '>' || c == '<';
    }
    if (cdata) out.append("<![CDATA[");
    uint32_t i = 0;
    while (i < n) {
        const uint32_t len = xmlChar(p + i, n - i);
        if (len == 0) {
            appendHexByte(out, "\\x", p[i]);
            ++i;
        } else if (cdata && i + 3 <= n && p[i] == ']' && p[i + 1] == ']' && p[i + 2] == '>') {
            out.append("]]]]><![CDATA[>");
            i += 3;
        } else {
            out.append(p + i, len);
            i += len;
        }
    }
    if (cdata) out.append("]]>");
}

// Names become element names: a byte that may not stand there is written
// as "_xHH" (a backslash cannot be part of a name either), an empty name
// as "_".
void appendName(StringBuffer& out, const StringBuffer* s) {
    const uint32_t n = s ? s->length() : 0;
    if (n == 0) {
        out.appendChar('_');
        return;
    }
    const unsigned char* p = s->getBytes();
    for (uint32_t i = 0; i < n; ++i) {
        if (isNameByte(p[i], i == 0))
            out.appendChar(static_cast<char>(p[i]));
        else
            appendHexByte(out, "_x", p[i]);
    }
}

void appendEscaped(StringBuffer& out, const StringBuffer* s) {
    if (!s) return;
    StringBuffer copy(*s);
    copy.htmlEscape();
    out.append(copy);
}

// Walks the tree without recursion: a log left with many unbalanced
// EnterContext calls must not exhaust the host's stack.
template <class Visitor>
void walk(const LogEntry2& top, Visitor& v) {
    if (top.kind() != 'C') {
        v.leaf(top, 0);
        return;
    }
    struct Frame {
        const LogEntry2* ctx;
        uint32_t next;
    };
    std::vector<Frame> stack;
    v.open(top, 0);
    stack.push_back({&top, 0});
    while (!stack.empty()) {
        const uint32_t depth = static_cast<uint32_t>(stack.size());
        Frame& f = stack.back();
        const ExtPtrArray* kids = f.ctx->children();
        if (!kids || f.next >= kids->count()) {
            v.close(*f.ctx, depth - 1);
            stack.pop_back();
            continue;
        }
        const LogEntry2* child = kids->at<LogEntry2>(f.next++);
        if (!child) continue;
        if (child->kind() == 'C') {
            v.open(*child, depth);
            stack.push_back({child, 0});  // f is not used after this
        } else {
            v.leaf(*child, depth);
        }
    }
}

struct XmlWriter {
    StringBuffer& out;
    void open(const LogEntry2& e, uint32_t) {
        out.append("<");
        appendName(out, e.name());
        out.append(">");
        out.append(kCrLf);
    }
    void close(const LogEntry2& e, uint32_t) {
        out.append("</");
        appendName(out, e.name());
        out.append(">");
        out.append(kCrLf);
    }
    void leaf(const LogEntry2& e, uint32_t) {
        switch (e.kind()) {
            case 'E':
                out.append("<error>");
                appendXmlText(out, e.text());
                out.append("</error>");
                break;
            case 'X':
                appendXmlText(out, e.text());
                break;
            case 'T':
                out.append("<");
                appendName(out, e.name());
                out.append(">");
                appendXmlText(out, e.text());
                out.append("</");
                appendName(out, e.name());
                out.append(">");
                break;
            default:  // 'I', also the kind of a fresh node
                out.append("<info>");
                appendXmlText(out, e.text());
                out.append("</info>");
                break;
        }
        out.append(kCrLf);
    }
};

struct TextWriter {
    StringBuffer& out;
    // Capped so that a pathologically deep log stays linear in size.
    void indent(uint32_t depth) { out.appendRepeated(' ', 2 * (depth < 32 ? depth : 32)); }
    void open(const LogEntry2& e, uint32_t depth) {
        indent(depth);
        // As given: only the XML has to make element names of them.
        if (e.name()) out.append(*e.name());
        out.append(":");
        out.append(kCrLf);
    }
    void close(const LogEntry2&, uint32_t) {}
    void leaf(const LogEntry2& e, uint32_t depth) {
        indent(depth);
        if (e.kind() == 'E') out.append("Error: ");
        if (e.kind() == 'T') {
            appendName(out, e.name());
            out.append(": ");
        }
        if (e.text()) out.append(*e.text());
        out.append(kCrLf);
    }
};

struct HtmlWriter {
    StringBuffer& out;
    void open(const LogEntry2& e, uint32_t) {
        out.append("<div style=\"margin-left:1em\"><b>");
        appendEscaped(out, e.name());
        out.append("</b>");
        out.append(kCrLf);
    }
    void close(const LogEntry2&, uint32_t) {
        out.append("</div>");
        out.append(kCrLf);
    }
    void leaf(const LogEntry2& e, uint32_t) {
        switch (e.kind()) {
            case 'E':
                out.append("<div style=\"color:red\">");
                appendEscaped(out, e.text());
                out.append("</div>");
                break;
            case 'X':
                out.append("<pre>");
                appendEscaped(out, e.text());
                out.append("</pre>");
                break;
            case 'T':
                out.append("<div>");
                appendEscaped(out, e.name());
                out.append(": ");
                appendEscaped(out, e.text());
                out.append("</div>");
                break;
            default:
                out.append("<div>");
                appendEscaped(out, e.text());
                out.append("</div>");
                break;
        }
        out.append(kCrLf);
    }
};

}  // namespace

// ------------------------------------------------------------------ LogEntry2

namespace {
// Moves children from the back into the work list; stops early only when
// memory runs out, leaving the rest where they were.
void moveChildren(ExtPtrArray& from, ExtPtrArray& to) {
    while (from.count() > 0) {
        if (!to.append(from.last())) return;
        from.pop();
    }
}
}  // namespace

LogEntry2::~LogEntry2() {
    if (m_children) {
        // Descendants are detached into a work list and deleted one by one,
        // so that a deep tree does not recurse once per level.
        ExtPtrArray pending;
        moveChildren(*m_children, pending);
        while (pending.count() > 0) {
            auto* e = static_cast<LogEntry2*>(pending.pop());
            if (e && e->m_children) moveChildren(*e->m_children, pending);
            delete e;
        }
        m_children->deleteAll();
    }
}

namespace {
// An absent text takes no memory: a default buffer allocates at its first write.
StringBuffer textOrNone(const char* s) {
    if (s) return StringBuffer(s);
    return StringBuffer();
}
}  // namespace

// The log must not throw where it reports: entries are made nothrow.
LogEntry2::LogEntry2(char kind, const char* name, const char* text)
    : m_kind(kind),
      m_hasName(name != nullptr),
      m_hasText(text != nullptr),
      m_name(textOrNone(name)),
      m_text(textOrNone(text)) {}

std::unique_ptr<LogEntry2> LogEntry2::makeContext(const char* name) {
    std::unique_ptr<LogEntry2> e(new (std::nothrow) LogEntry2('C', name ? name : "", nullptr));
    if (!e) return nullptr;
    e->m_children.reset(new (std::nothrow) ExtPtrArray());
    if (!e->m_children) return nullptr;
    return e;
}

std::unique_ptr<LogEntry2> LogEntry2::makeText(char kind, const char* text) {
    return std::unique_ptr<LogEntry2>(new (std::nothrow)
                                          LogEntry2(kind, nullptr, text ? text : ""));
}

std::unique_ptr<LogEntry2> LogEntry2::makeData(const char* name, const char* value) {
    return std::unique_ptr<LogEntry2>(new (std::nothrow)
                                          LogEntry2('T', name ? name : "", value ? value : ""));
}

void LogEntry2::appendXml(StringBuffer& out) const {
    XmlWriter w{out};
    walk(*this, w);
}

void LogEntry2::appendText(StringBuffer& out) const {
    TextWriter w{out};
    walk(*this, w);
}

void LogEntry2::appendHtml(StringBuffer& out) const {
    HtmlWriter w{out};
    walk(*this, w);
}

bool LogEntry2::isEmptyContext() const {
    return m_kind == 'C' && (!m_children || m_children->count() == 0);
}

// ------------------------------------------------------------------- ErrorLog

ErrorLog::ErrorLog() {
    pushRoot();
}

ErrorLog::~ErrorLog() = default;

void ErrorLog::pushRoot() {
    m_root = LogEntry2::makeContext(kRootName);
    if (m_root && !m_stack.append(m_root.get())) m_root.reset();
}

void ErrorLog::reset() {
    m_stack.truncateNoDelete();
    m_root.reset();
    pushRoot();
}

LogEntry2* ErrorLog::root() const {
    return m_root.get();
}

LogEntry2* ErrorLog::current() const {
    return static_cast<LogEntry2*>(m_stack.last());
}

bool ErrorLog::add(std::unique_ptr<LogEntry2> entry) {
    if (!entry) return false;
    LogEntry2* cur = current();
    return cur && cur->children() && cur->children()->appendOwned(std::move(entry));
}

bool ErrorLog::enter(const char* name) {
    std::unique_ptr<LogEntry2> made = LogEntry2::makeContext(name);
    LogEntry2* ctx = made.get();
    if (!add(std::move(made))) return false;
    if (!m_stack.append(ctx)) {
        // Still in the tree, owned by its parent; it just cannot be current.
        return false;
    }
    return true;
}

void ErrorLog::leave() {
    if (m_stack.count() <= 1) return;
    m_stack.pop();
    if (m_stack.count() <= 1) return;
    // A context below the top level that logged nothing is just noise.
    ExtPtrArray* kids = current()->children();
    if (!kids || kids->count() == 0) return;
    auto* last = static_cast<LogEntry2*>(kids->last());
    if (last && last->isEmptyContext()) {
        kids->removeAt(kids->count() - 1);
        delete last;
    }
}

// --------------------------------------------------------------------- Logger

// The renderings append piece by piece; whether a piece was lost shows in
// the count of failed allocations, so that a cut text is never taken for
// the log (an error file that ends mid-element).
bool Logger::GetXml(StringBuffer& out) {
    platform::LockGuard g(m_lock);
    const uint64_t failures = text::failedAllocations();
    out.clear();
    if (const LogEntry2* r = m_log.root()) r->appendXml(out);
    return text::failedAllocations() == failures;
}

bool Logger::GetHtml(StringBuffer& out) {
    platform::LockGuard g(m_lock);
    const uint64_t failures = text::failedAllocations();
    out.clear();
    out.append("<html><body>\r\n");
    if (const LogEntry2* r = m_log.root()) r->appendHtml(out);
    out.append("</body></html>\r\n");
    return text::failedAllocations() == failures;
}

bool Logger::GetText(StringBuffer& out) {
    platform::LockGuard g(m_lock);
    const uint64_t failures = text::failedAllocations();
    out.clear();
    if (const LogEntry2* r = m_log.root()) r->appendText(out);
    return text::failedAllocations() == failures;
}

bool Logger::LogError(const char* text) {
    platform::LockGuard g(m_lock);
    if (!text) return true;
    if (m_firstError.isEmpty()) m_firstError.setString(text);
    return m_log.add(LogEntry2::makeText('E', text));
}

bool Logger::LogInfo(const char* text) {
    platform::LockGuard g(m_lock);
    if (!text) return true;
    return m_log.add(LogEntry2::makeText('I', text));
}

bool Logger::LogRaw(const char* text) {
    platform::LockGuard g(m_lock);
    if (!text) return true;
    return m_log.add(LogEntry2::makeText('X', text));
}

void Logger::ClearLog() {
    platform::LockGuard g(m_lock);
    m_log.reset();
    m_firstError.clear();
}

std::string Logger::firstError() {
    platform::LockGuard g(m_lock);
    return std::string(m_firstError.getString(), m_firstError.length());
}

bool Logger::EnterContext(const char* name, bool /*verbose*/) {
    platform::LockGuard g(m_lock);
    return m_log.enter(name);
}

bool Logger::LeaveContext() {
    platform::LockGuard g(m_lock);
    m_log.leave();
    return true;
}

bool Logger::LogData(const char* name, const char* value) {
    platform::LockGuard g(m_lock);
    if (!name) return false;
    // The name becomes an element name, so it must be one token.
    StringBuffer clean(name);
    clean.trim();
    if (clean.isEmpty()) return false;
    clean.replaceChar(' ', '_');
    return m_log.add(LogEntry2::makeData(clean.getString(), value ? value : "(NULL)"));
}

bool Logger::LogDataLong(const char* name, int32_t value) {
    platform::LockGuard g(m_lock);
    char buf[16];
    std::snprintf(buf, sizeof(buf), "%d", static_cast<int>(value));
    return LogData(name, buf);
}

bool Logger::LogDataInt64(const char* name, int64_t value) {
    platform::LockGuard g(m_lock);
    char buf[24];
    std::snprintf(buf, sizeof(buf), "%" PRId64, value);
    return LogData(name, buf);
}

bool Logger::LogDataHex(const char* name, uint32_t value) {
    platform::LockGuard g(m_lock);
    char buf[16];
    std::snprintf(buf, sizeof(buf), "0x%x", static_cast<unsigned>(value));
    return LogData(name, buf);
}

bool Logger::LogTickCount(const char* name) {
    platform::LockGuard g(m_lock);
    char buf[16];
    std::snprintf(buf, sizeof(buf), "%x", static_cast<unsigned>(platform::tickCount()));
    return LogData(name, buf);
}

bool Logger::SaveLastError(int /*unused*/, const char* path) {
    platform::LockGuard g(m_lock);
    if (!path) return false;
    StringBuffer xml;
    if (!GetXml(xml)) return false;
    // The path goes to the file layer as given; on Windows that layer turns
    // "/" into "\" before opening.
    platform::File file;
    if (!file.createAlways(path)) return false;
    const uint32_t n = xml.length();
    long long written = file.write(xml.getBytes(), n);
    file.close();
    return written == static_cast<long long>(n);
}

const LogEntry2* Logger::root() {
    platform::LockGuard g(m_lock);
    return m_log.root();
}

uint32_t Logger::contextDepth() {
    platform::LockGuard g(m_lock);
    return m_log.depth();
}
