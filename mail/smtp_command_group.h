#pragma once
// Commands whose replies are read in order: with PIPELINING all go in one
// write first (RFC 2920), else each goes once the one before was answered.
// The envelope goes through it either way, and pipelined DATA ends it.
#include <cstddef>
#include <vector>

#include "mail/smtp_commands.h"
#include "mail/smtp_conn_impl.h"

class SmtpConnImpl::CommandGroup {
  public:
    CommandGroup(SmtpConnImpl& conn, bool pipelined) : m_conn(conn), m_pipelined(pipelined) {}
    void add(SmtpCommand command, int expectedCode);
    // Pipelined, the one write of every command; in turn, nothing yet.
    bool start(LogBase& log);
    // The reply to the next command, which in turn goes out first; NotSent
    // past the last one.
    SmtpReply next(LogBase& log);
    // Reads the replies still owed to commands already sent, so that the
    // next command's reply is the next one read; a connection that lost
    // one is reset. The last of them; NotSent when none was read.
    SmtpReply drain();

  private:
    SmtpConnImpl& m_conn;
    const bool m_pipelined;
    smtpcmd::Group m_group;
    std::vector<int> m_expected;
    size_t m_next = 0;
};
