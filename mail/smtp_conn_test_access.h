#pragma once
// What the tests (and the session fuzzer) reach inside a connection: the
// reader, single commands, groups and the state the scenarios judge.
#include <vector>

#include "mail/smtp_command_group.h"
#include "mail/smtp_conn_impl.h"

struct SmtpConnImplTestAccess {
    // Every connection streams a message above this many bytes.
    static void setStreamAbove(uint64_t bytes) { SmtpConnImpl::s_streamAbove = bytes; }

    // The command text as given (see smtpcmd::verbatim) and its reply.
    static SmtpReply command(SmtpConnImpl& c, const char* text, const char* argument,
                             int expectedCode, LogBase& log) {
        return c.exchange(smtpcmd::verbatim(text, argument), expectedCode, log);
    }
    static SmtpReply exchange(SmtpConnImpl& c, const SmtpCommand& command, int expectedCode,
                              LogBase& log) {
        return c.exchange(command, expectedCode, log);
    }
    // Every reply of a group, in order, as the group reads them.
    static std::vector<SmtpReply> group(SmtpConnImpl& c, const std::vector<SmtpCommand>& commands,
                                        bool pipelined, LogBase& log) {
        SmtpConnImpl::CommandGroup g(c, pipelined);
        for (const SmtpCommand& command : commands) g.add(command, 250);
        std::vector<SmtpReply> replies;
        if (!g.start(log)) return replies;
        for (size_t i = 0; i < commands.size(); ++i) replies.push_back(g.next(log));
        return replies;
    }
    static SmtpReply readReply(SmtpConnImpl& c, int expectedCode, LogBase& log) {
        return c.readReply(expectedCode, log);
    }
    static void reset(SmtpConnImpl& c) { c.resetConnection(); }
    static void quit(SmtpConnImpl& c, LogBase& log) { c.quit(log); }

    // The code of the last reply read; 0 when it had none, or once the
    // connection was reset.
    static int lastResponseCode(const SmtpConnImpl& c) {
        if (c.m_state == SmtpConnImpl::State::NoSession && !c.m_socket.isConnected()) return 0;
        return c.m_lastRead.answered() ? c.m_lastRead.code : 0;
    }
    static bool isConnected(const SmtpConnImpl& c) { return c.m_socket.isConnected(); }
    static const StringBuffer& transcript(const SmtpConnImpl& c) { return c.m_transcript; }
    static const StringBuffer& connectedHost(const SmtpConnImpl& c) { return c.m_connectedHost; }
    static int connectedPort(const SmtpConnImpl& c) { return c.m_connectedPort; }

    // One mechanism's exchange, as a dispatcher would run it; tryAnother
    // when it asks for another mechanism.
    static bool login(SmtpConnImpl& c, SmtpCapabilities::Mechanism flag, XString& username,
                      XString& password, LogBase& log, bool& tryAnother) {
        const SmtpConnImpl::Login result = c.runMechanism(flag, username, password, log);
        tryAnother = result == SmtpConnImpl::Login::TryAnother;
        return result == SmtpConnImpl::Login::Done;
    }
};
