#pragma once
// The recording log: a tree of contexts holding errors, infos and named
// values, rendered as XML for "smtp_errors.xml".
#include <memory>
#include <string>

#include "diag/log_base.h"
#include "platform/lock.h"
#include "text/ext_ptr_array.h"
#include "text/string_buffer.h"

// One node of the log tree.
class LogEntry2 : public BrenvikObject {
  public:
    ~LogEntry2() override;
    LogEntry2(const LogEntry2&) = delete;
    LogEntry2& operator=(const LogEntry2&) = delete;

    // 'C' context, 'E' error, 'I' info, 'X' raw text, 'T' named value.
    char kind() const { return m_kind; }
    const StringBuffer* name() const { return m_hasName ? &m_name : nullptr; }
    const StringBuffer* text() const { return m_hasText ? &m_text : nullptr; }
    ExtPtrArray* children() const { return m_children.get(); }

    // Null when memory ran out.
    static std::unique_ptr<LogEntry2> makeContext(const char* name);
    static std::unique_ptr<LogEntry2> makeText(char kind, const char* text);
    static std::unique_ptr<LogEntry2> makeData(const char* name, const char* value);

    // Renderings of this node and everything below it, appended to out.
    void appendXml(StringBuffer& out) const;
    void appendText(StringBuffer& out) const;  // indented plain text
    void appendHtml(StringBuffer& out) const;  // escaped, nested divs
    bool isEmptyContext() const;

  private:
    // A null name or text is one the entry does not have. The texts are
    // held in place: a send logs some thirty entries.
    LogEntry2(char kind, const char* name, const char* text);

    std::unique_ptr<ExtPtrArray> m_children;  // contexts only; owns its entries
    char m_kind = 'I';
    bool m_hasName = false;  // contexts and named values
    bool m_hasText = false;  // everything but contexts
    StringBuffer m_name;
    StringBuffer m_text;
};

// The tree and its stack of open contexts. Element 0 of the stack is the
// root "BrenvikLog".
class ErrorLog {
  public:
    ErrorLog();
    ~ErrorLog();
    ErrorLog(const ErrorLog&) = delete;
    ErrorLog& operator=(const ErrorLog&) = delete;

    void reset();
    LogEntry2* root() const;
    LogEntry2* current() const;
    uint32_t depth() const { return m_stack.count(); }
    // Both take ownership of what they create or get; false (and the entry
    // deleted) only when memory ran out.
    bool add(std::unique_ptr<LogEntry2> entry);  // to the current context
    bool enter(const char* name);
    void leave();

  private:
    void pushRoot();

    std::unique_ptr<LogEntry2> m_root;  // the whole tree
    ExtPtrArray m_stack;                // does not own its elements
};

class Logger : public LogBase {
  public:
    Logger() = default;
    ~Logger() override = default;
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // False when memory ran out: out is then not the whole log.
    bool GetXml(StringBuffer& out) override;
    bool GetHtml(StringBuffer& out) override;
    bool GetText(StringBuffer& out) override;
    bool LogError(const char* text) override;
    bool LogInfo(const char* text) override;
    bool LogRaw(const char* text) override;
    void ClearLog() override;
    bool EnterContext(const char* name, bool verbose) override;
    bool LeaveContext() override;
    bool LogData(const char* name, const char* value) override;
    bool LogDataLong(const char* name, int32_t value) override;
    bool LogDataInt64(const char* name, int64_t value) override;
    bool LogDataHex(const char* name, uint32_t value) override;
    bool LogTickCount(const char* name) override;
    bool SaveLastError(int unused, const char* path) override;

    // Read access for tests and for callers that inspect what was logged.
    const LogEntry2* root();
    uint32_t contextDepth();
    // The text of the first error since the log was cleared; empty for none.
    std::string firstError();

  private:
    platform::RecursiveLock m_lock;
    ErrorLog m_log;
    StringBuffer m_firstError;  // not std::string: logging an error never throws
};
