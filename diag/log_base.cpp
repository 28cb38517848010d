#include "diag/log_base.h"

#include <string>

#include "platform/system_error.h"
#include "text/string_buffer.h"

// The base keeps nothing: each operation succeeds without effect, so LogNull
// is simply LogBase with these bodies.

bool LogBase::GetXml(StringBuffer&) {
    return true;
}
bool LogBase::GetHtml(StringBuffer&) {
    return true;
}
bool LogBase::GetText(StringBuffer&) {
    return true;
}
bool LogBase::LogError(const char*) {
    return true;
}
bool LogBase::LogInfo(const char*) {
    return true;
}
bool LogBase::LogRaw(const char*) {
    return true;
}
void LogBase::ClearLog() {}
bool LogBase::EnterContext(const char*, bool) {
    return true;
}
bool LogBase::LeaveContext() {
    return true;
}
bool LogBase::LogData(const char*, const char*) {
    return true;
}
bool LogBase::LogDataLong(const char*, int32_t) {
    return true;
}
bool LogBase::LogDataInt64(const char*, int64_t) {
    return true;
}
bool LogBase::LogDataHex(const char*, uint32_t) {
    return true;
}
bool LogBase::LogTickCount(const char*) {
    return true;
}
bool LogBase::SaveLastError(int, const char*) {
    return true;
}

// Shared by every kind of log: the text goes through the object's own
// LogData, so a recording log records it and a discarding one drops it.
bool LogBase::LogWindowsError(uint32_t code) {
    if (code == 0) return true;
    std::string text = platform::systemErrorText(code);
    return LogData("WindowsError", text.c_str());
}

bool LogBase::LogDataSb(const char* name, const StringBuffer& value) {
    return LogData(name, value.getString());
}
