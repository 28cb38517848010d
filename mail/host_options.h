#pragma once
// The settings a host gives by name and value (set_option): kept until the
// mail manager goes, applied to the next new connection. A name that is not
// known or a value that is not valid changes nothing; a note says so, to be
// logged by the next send or login check.
#include <string>
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

    // The notes since the last call; the next call starts empty.
    std::vector<std::string> takeNotes();

  private:
    void refuse(const std::string& name, const std::string& value, const char* allowed);

    SessionOptions m_session;
    int m_connectTimeoutSecs = 0;
    int m_readTimeoutSecs = 0;
    std::vector<std::string> m_notes;
};
