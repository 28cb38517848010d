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

    const TlsPolicy& tls() const { return m_tls; }

    // The notes since the last call; the next call starts empty.
    std::vector<std::string> takeNotes();

  private:
    void refuse(const std::string& name, const std::string& value, const char* allowed);

    TlsPolicy m_tls;
    std::vector<std::string> m_notes;
};
