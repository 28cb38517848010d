#pragma once
// The settings a host gives by name and value (set_option): kept until the
// mail manager goes, applied to the next new connection. They fail closed:
// a name that is not known, or a value that is not valid, is kept as a
// problem that makes every later send or login check fail before anything
// is sent, until the name is set again with a valid value (an unknown name
// stays until the mail manager goes). A setting is never weakened silently.
#include <string>
#include <utility>
#include <vector>

#include "mail/tls_policy.h"

class HostOptions {
  public:
    // Names and the words of enumerated values are taken in any case.
    void set(const std::string& name, const std::string& value);

    const TlsPolicy& tls() const { return m_session.tls; }
    const SessionOptions& session() const { return m_session; }
    // Seconds, 1 to 600; 0 when the host did not set one.
    int connectTimeoutSecs() const { return m_connectTimeoutSecs; }
    int readTimeoutSecs() const { return m_readTimeoutSecs; }
    // Where a failed send's activity log goes; empty for nowhere.
    const std::string& errorFile() const { return m_errorFile; }
    // verify_login=strict: a login check with credentials fails when no
    // login was made.
    bool strictLoginCheck() const { return m_strictLoginCheck; }
    // Plain and HTML bodies both travel, as multipart/alternative.
    bool htmlAlternative() const { return m_htmlAlternative; }

    // Why the next send or login check must fail, one text per setting, in
    // the order they were given; empty when every setting is good.
    std::vector<std::string> problems() const;
    // The current value of a setting by name, as the host would write it;
    // the time-outs the host did not set answer the given defaults. False
    // for a name that is no setting.
    bool value(const std::string& name, std::string& out, int connectDefaultSecs,
               int readDefaultSecs) const;

    static constexpr const char* kDefaultErrorFile = "smtp_errors.xml";

  private:
    // Each takes the names of one group: false for a name not theirs.
    bool setTls(const std::string& name, const std::string& word, const std::string& value);
    bool setSession(const std::string& name, const std::string& word, const std::string& value);
    // What the mail manager keeps for itself: time-outs, the error file,
    // the login check and the body shape.
    bool setHostSide(const std::string& name, const std::string& word, const std::string& value);
    void setOnOff(const std::string& name, const std::string& word, const std::string& value,
                  bool& target);
    void refuse(const std::string& name, const std::string& value, const char* allowed);
    void accept(const std::string& name);

    SessionOptions m_session;
    int m_connectTimeoutSecs = 0;
    int m_readTimeoutSecs = 0;
    std::string m_errorFile = kDefaultErrorFile;
    bool m_strictLoginCheck = false;
    // (lower-case name, text), in order.
    std::vector<std::pair<std::string, std::string>> m_problems;
    bool m_refused = false;  // set() refused its value
    bool m_htmlAlternative = false;
};
