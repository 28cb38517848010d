#include "mail/smtp_command_group.h"

#include <utility>

#include "diag/log_base.h"

void SmtpConnImpl::CommandGroup::add(SmtpCommand command, int expectedCode) {
    m_group.commands.push_back(std::move(command));
    m_expected.push_back(expectedCode);
}

bool SmtpConnImpl::CommandGroup::start(LogBase& log) {
    if (!m_pipelined) return true;
    StringBuffer wire, shown;
    if (!m_group.join(wire, shown)) {
        log.LogError("The commands could not be made whole; not sent");
        return false;
    }
    m_conn.recordSent(shown.getString(), shown.length());
    return m_conn.sendRaw(wire.getString(), wire.length(), log);
}

SmtpReply SmtpConnImpl::CommandGroup::next(LogBase& log) {
    const size_t i = m_next++;
    if (i >= m_expected.size()) return SmtpReply::notSent();
    if (!m_pipelined) return m_conn.exchange(m_group.commands[i], m_expected[i], log);
    const SmtpReply reply = m_conn.readReply(m_expected[i], log);
    // Each reply in turn has the whole read time-out.
    m_conn.restartReplyClock();
    return reply;
}

SmtpReply SmtpConnImpl::CommandGroup::drain() {
    LogNull quiet;
    SmtpReply last = SmtpReply::notSent();
    for (; m_pipelined && m_next < m_expected.size(); ++m_next) {
        last = SmtpReply::notSent();
        if (!m_conn.m_socket.isConnected()) continue;
        last = m_conn.readReply(m_expected[m_next], quiet);
        if (!last.answered()) m_conn.resetConnection();
        m_conn.restartReplyClock();
    }
    return last;
}
