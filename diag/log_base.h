#pragma once
// The activity log interface every engine operation writes to.
#include <cstdint>

class StringBuffer;

class LogBase {
  public:
    virtual ~LogBase() = default;

    virtual bool GetXml(StringBuffer& out);
    virtual bool GetHtml(StringBuffer& out);
    virtual bool GetText(StringBuffer& out);
    virtual bool LogError(const char* text);
    virtual bool LogInfo(const char* text);
    virtual bool LogRaw(const char* text);
    virtual void ClearLog();
    virtual bool EnterContext(const char* name, bool verbose);
    virtual bool LeaveContext();
    virtual bool LogData(const char* name, const char* value);
    virtual bool LogDataLong(const char* name, int32_t value);
    virtual bool LogDataInt64(const char* name, int64_t value);
    virtual bool LogDataHex(const char* name, uint32_t value);
    // Logs the system's text for the error code as "WindowsError".
    virtual bool LogWindowsError(uint32_t code);
    virtual bool LogTickCount(const char* name);
    virtual bool SaveLastError(int unused, const char* path);

    // Convenience for the many places that log a StringBuffer.
    bool LogDataSb(const char* name, const StringBuffer& value);
};

// Discards everything: for callers that need a log nobody reads.
class LogNull : public LogBase {};

// Enters a context for the lifetime of the object, so that every path out of
// an operation leaves it.
class LogContextExitor {
  public:
    LogContextExitor(LogBase& log, const char* name) : m_log(log) {
        m_log.EnterContext(name, true);
    }
    ~LogContextExitor() { m_log.LeaveContext(); }
    LogContextExitor(const LogContextExitor&) = delete;
    LogContextExitor& operator=(const LogContextExitor&) = delete;

  private:
    LogBase& m_log;
};
