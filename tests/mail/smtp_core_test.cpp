// The connection's values: replies as the one reader builds them from
// received lines, the command builders (wire text, transcript text and
// credential masking), and command groups over the scripted fault server,
// pipelined and in turn, when a reply goes missing.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "mail/smtp_commands.h"
#include "mail/smtp_conn_impl.h"
#include "mail/smtp_conn_test_access.h"
#include "mail/smtp_reply.h"
#include "support/engine_log.h"
#include "tools/smtp_server/smtp_test_server.h"

using namespace testsupport;
using Transport = SmtpReply::Transport;
using Flaw = SmtpReply::Flaw;
using Shape = SmtpReply::Shape;

namespace {

StringBuffer buffer(const std::string& s) {
    StringBuffer sb;
    sb.setString(s.data(), static_cast<uint32_t>(s.size()));
    return sb;
}

// Lines as the reader receives them; "<timeout:TEXT>" and "<lost:TEXT>"
// stand for a read that failed after TEXT of the line had come.
SmtpReply replyOf(const std::vector<std::string>& received, Shape shape, uint32_t maxBytes) {
    SmtpReply reply;
    for (const std::string& line : received) {
        const bool timeout = line.rfind("<timeout:", 0) == 0, lost = line.rfind("<lost:", 0) == 0;
        if (timeout || lost) {
            const size_t colon = line.find(':');
            reply.readFailed(buffer(line.substr(colon + 1, line.size() - colon - 2)), timeout);
            return reply;
        }
        if (!reply.addLine(buffer(line), shape, maxBytes)) return reply;
    }
    ADD_FAILURE() << "the reply wanted more lines than the row gives";
    return reply;
}

struct ReplyRow {
    std::vector<std::string> received;
    Shape shape;
    uint32_t maxBytes;
    Transport transport;
    Flaw flaw;
    int code;
    std::string enhanced;
    size_t lines;      // complete lines kept
    std::string last;  // the last line, trimmed
};

TEST(SmtpReplyValue, OutcomesOfReceivedLines) {
    const uint32_t big = 1024 * 1024;
    const Shape whole = Shape::WholeReply, one = Shape::OneLine;
    const ReplyRow rows[] = {
        {{"250 ok\r\n"}, whole, big, Transport::Answered, Flaw::None, 250, "", 1, "250 ok"},
        {{"250\r\n"}, whole, big, Transport::Answered, Flaw::None, 250, "", 1, "250"},
        {{"250-first\r\n", "250-second\r\n", "250 last\r\n"},
         whole,
         big,
         Transport::Answered,
         Flaw::None,
         250,
         "",
         3,
         "250 last"},
        // The code and the enhanced code are the last line's.
        {{"550-5.1.1 no such user\r\n", "451 4.3.0 try later\r\n"},
         whole,
         big,
         Transport::Answered,
         Flaw::None,
         451,
         "4.3.0",
         2,
         "451 4.3.0 try later"},
        {{"250 2.0.0\r\n"},
         whole,
         big,
         Transport::Answered,
         Flaw::None,
         250,
         "2.0.0",
         1,
         "250 2.0.0"},
        {{"535 5.7.139 denied\r\n"},
         whole,
         big,
         Transport::Answered,
         Flaw::None,
         535,
         "5.7.139",
         1,
         "535 5.7.139 denied"},
        // No enhanced code: another class than the code's, a fourth part,
        // no space after it, or none at all.
        {{"451 5.0.0 odd\r\n"},
         whole,
         big,
         Transport::Answered,
         Flaw::None,
         451,
         "",
         1,
         "451 5.0.0 odd"},
        {{"250 2.1.0.1 x\r\n"},
         whole,
         big,
         Transport::Answered,
         Flaw::None,
         250,
         "",
         1,
         "250 2.1.0.1 x"},
        {{"250 2.1.0x\r\n"}, whole, big, Transport::Answered, Flaw::None, 250, "", 1, "250 2.1.0x"},
        {{"354 go ahead\r\n"},
         whole,
         big,
         Transport::Answered,
         Flaw::None,
         354,
         "",
         1,
         "354 go ahead"},
        // What is no reply.
        {{"25\r\n"}, whole, big, Transport::Unreadable, Flaw::NotReplyLine, 0, "", 1, "25"},
        {{"250-a\r\n", "x\r\n"},
         whole,
         big,
         Transport::Unreadable,
         Flaw::NotReplyLine,
         0,
         "",
         2,
         "x"},
        {{"OK, fine\r\n"}, whole, big, Transport::Unreadable, Flaw::NoCode, 0, "", 1, "OK, fine"},
        {{"250-aaaa\r\n", "250-bbbb\r\n", "250 c\r\n"},
         whole,
         12,
         Transport::Unreadable,
         Flaw::TooLong,
         0,
         "",
         2,
         "250-bbbb"},
        // A read that failed keeps what came of its line.
        {{"250-a\r\n", "<timeout:250 la>"},
         whole,
         big,
         Transport::TimedOut,
         Flaw::None,
         0,
         "",
         1,
         "250 la"},
        {{"<lost:>"}, whole, big, Transport::ConnectionLost, Flaw::None, 0, "", 0, ""},
        {{"<lost:221 by>"}, whole, big, Transport::ConnectionLost, Flaw::None, 0, "", 0, "221 by"},
        // One line alone is a challenge, judged by its number.
        {{"334 VXNlcm5hbWU6\r\n"},
         one,
         big,
         Transport::Answered,
         Flaw::None,
         334,
         "",
         1,
         "334 VXNlcm5hbWU6"},
        {{"334-more\r\n"}, one, big, Transport::Answered, Flaw::None, 334, "", 1, "334-more"},
        {{"abc\r\n"}, one, big, Transport::Unreadable, Flaw::NoCode, 0, "", 1, "abc"},
    };
    for (const ReplyRow& row : rows) {
        SCOPED_TRACE(row.received.front());
        const SmtpReply reply = replyOf(row.received, row.shape, row.maxBytes);
        EXPECT_EQ(reply.transport, row.transport);
        EXPECT_EQ(reply.flaw, row.flaw);
        EXPECT_EQ(reply.answered(), row.transport == Transport::Answered);
        if (reply.answered()) {
            EXPECT_EQ(reply.code, row.code);
        }
        EXPECT_EQ(reply.is(row.code), row.transport == Transport::Answered);
        EXPECT_EQ(reply.timedOut(), row.transport == Transport::TimedOut);
        EXPECT_EQ(reply.enhanced, row.enhanced);
        EXPECT_EQ(reply.lines.size(), row.lines);
        EXPECT_EQ(str(reply.lastTrimmed()), row.last);
        std::string text;
        for (size_t i = 0; i < row.lines; ++i) text += row.received[i];
        EXPECT_EQ(str(reply.text), text);
    }
}

struct CommandRow {
    const char* name;
    SmtpCommand command;
    std::string wire;
    std::string shown;
    bool transcribed;
};

TEST(SmtpCommandBuilders, WireAndTranscriptTexts) {
    const std::string plainMessage("\0alice\0s3cret", 13);
    const std::string longText(3000, 'x');
    const CommandRow rows[] = {
        {"ehlo", smtpcmd::ehlo(buffer("client.example")), "EHLO client.example\r\n",
         "EHLO client.example\r\n", false},
        {"helo", smtpcmd::helo("client.example"), "HELO client.example\r\n",
         "HELO client.example\r\n", false},
        {"starttls", smtpcmd::startTls(), "STARTTLS\r\n", "STARTTLS\r\n", true},
        {"data", smtpcmd::data(), "DATA\r\n", "DATA\r\n", true},
        {"bdat", smtpcmd::bdat(65536, false), "BDAT 65536\r\n", "BDAT 65536\r\n", true},
        {"bdat last", smtpcmd::bdat(4294967298u, true), "BDAT 4294967298 LAST\r\n",
         "BDAT 4294967298 LAST\r\n", true},
        {"rset", smtpcmd::rset(), "RSET\r\n", "RSET\r\n", true},
        {"noop", smtpcmd::noop(), "NOOP\r\n", "NOOP\r\n", true},
        {"quit", smtpcmd::quit(), "QUIT\r\n", "QUIT\r\n", true},
        {"auth", smtpcmd::auth("CRAM-MD5"), "AUTH CRAM-MD5\r\n", "AUTH CRAM-MD5\r\n", true},
        {"auth plain",
         smtpcmd::authWithResponse("PLAIN", plainMessage.data(),
                                   static_cast<uint32_t>(plainMessage.size())),
         "AUTH PLAIN AGFsaWNlAHMzY3JldA==\r\n", "AUTH PLAIN ****\r\n", true},
        {"sasl response", smtpcmd::saslResponse("s3cret", 6), "czNjcmV0\r\n", "****\r\n", false},
        {"sasl empty response", smtpcmd::saslResponse("", 0), "\r\n", "****\r\n", false},
        {"sasl encoded", smtpcmd::saslEncoded(buffer("TlRMTVNTUAAB")), "TlRMTVNTUAAB\r\n",
         "****\r\n", false},
        {"sasl cancel", smtpcmd::saslCancel(), "*\r\n", "*\r\n", true},
        {"sasl empty", smtpcmd::saslEmpty(), "\r\n", "\r\n", true},
        {"envelope", smtpcmd::envelope(buffer("RCPT TO:<b@example.com>\r\n")),
         "RCPT TO:<b@example.com>\r\n", "RCPT TO:<b@example.com>\r\n", true},
        {"verbatim with argument", smtpcmd::verbatim("RCPT TO:<%s>\r\n", "c@example.com"),
         "RCPT TO:<c@example.com>\r\n", "RCPT TO:<c@example.com>\r\n", true},
        // Without an argument a "%s" stays, and the text is cut.
        {"verbatim", smtpcmd::verbatim("NOOP %s\r\n", nullptr), "NOOP %s\r\n", "NOOP %s\r\n", true},
        {"verbatim cut", smtpcmd::verbatim(longText.c_str(), nullptr),
         longText.substr(0, smtpcmd::kMaxVerbatimBytes),
         longText.substr(0, smtpcmd::kMaxVerbatimBytes), true},
    };
    for (const CommandRow& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_TRUE(row.command.built);
        EXPECT_EQ(str(row.command.wire), row.wire);
        EXPECT_EQ(str(row.command.shown), row.shown);
        EXPECT_EQ(row.command.transcribed, row.transcribed);
    }
}

TEST(SmtpCommandBuilders, CredentialsNeverInTheShownText) {
    // Secrets of several lengths, so that every base64 padding occurs.
    for (const std::string secret : {"p", "pw", "pwd", "s3cret!", "a much longer pass phrase"}) {
        SCOPED_TRACE(secret);
        const uint32_t n = static_cast<uint32_t>(secret.size());
        const SmtpCommand commands[] = {
            smtpcmd::authWithResponse("PLAIN", secret.data(), n),
            smtpcmd::authWithResponse("XOAUTH2", secret.data(), n),
            smtpcmd::saslResponse(secret.data(), n),
            smtpcmd::saslEncoded(buffer(secret)),
        };
        for (const SmtpCommand& c : commands) {
            const std::string wire = str(c.wire), shown = str(c.shown);
            // The wire carries the secret (as given or in base64) ...
            const std::string encoded = wire.substr(wire.rfind(' ') + 1);
            EXPECT_NE(wire, shown);
            // ... the shown text neither.
            EXPECT_EQ(shown.find(secret), std::string::npos) << shown;
            EXPECT_EQ(shown.find(encoded.substr(0, encoded.size() - 2)), std::string::npos)
                << shown;
            EXPECT_NE(shown.find("****"), std::string::npos) << shown;
        }
    }
}

TEST(SmtpCommandBuilders, AGroupJoinsOnlyWholeCommands) {
    smtpcmd::Group group;
    group.commands = {smtpcmd::rset(), smtpcmd::envelope(buffer("MAIL FROM:<a@b>\r\n")),
                      smtpcmd::saslResponse("x", 1)};
    StringBuffer wire, shown;
    ASSERT_TRUE(group.join(wire, shown));
    EXPECT_EQ(str(wire), "RSET\r\nMAIL FROM:<a@b>\r\neA==\r\n");
    EXPECT_EQ(str(shown), "RSET\r\nMAIL FROM:<a@b>\r\n****\r\n");
    // A command that could not be made whole spoils the group: nothing of
    // it may go out.
    group.commands.push_back(SmtpCommand());
    EXPECT_FALSE(group.join(wire, shown));
}

// ---------------------------------------------------------------- groups on the wire

struct GroupRow {
    const char* name;
    bool pipelined;
    std::string script;  // after the greeting and EHLO
    uint32_t readMs;
    std::vector<Transport> replies;
    std::vector<int> codes;  // of the answered ones
};

TEST(SmtpCommandGroup, RepliesInOrderWhenOneGoesMissing) {
    const GroupRow rows[] = {
        {"pipelined, all answered",
         true,
         "C: NOOP\nC: RSET\nC: NOOP\nS: 250 one\nS: 250 two\nS: 250 three\nCLOSED\n",
         3000,
         {Transport::Answered, Transport::Answered, Transport::Answered},
         {250, 250, 250}},
        // All three went in one write before any reply: the server reads
        // them before it answers the first.
        {"pipelined, second reply lost",
         true,
         "C: NOOP\nC: RSET\nC: NOOP\nS: 250 one\nCLOSE\n",
         3000,
         {Transport::Answered, Transport::ConnectionLost, Transport::ConnectionLost},
         {250}},
        {"pipelined, second reply late",
         true,
         "C: NOOP\nC: RSET\nC: NOOP\nS: 250 one\nSILENT 1500\nS?: 250 two\nCLOSED\n",
         400,
         {Transport::Answered, Transport::TimedOut, Transport::TimedOut},
         {250}},
        {"pipelined, second refused",
         true,
         "C: NOOP\nC: RSET\nC: NOOP\nS: 250 one\nS: 451 4.3.0 no\nS: 250 three\nCLOSED\n",
         3000,
         {Transport::Answered, Transport::Answered, Transport::Answered},
         {250, 451, 250}},
        // In turn the third command never goes once the second's reply is
        // lost.
        {"in turn, second reply lost",
         false,
         "C: NOOP\nS: 250 one\nC: RSET\nCLOSE\n",
         3000,
         {Transport::Answered, Transport::ConnectionLost, Transport::NotSent},
         {250}},
    };
    for (const GroupRow& row : rows) {
        SCOPED_TRACE(row.name);
        smtptest::FaultScript script;
        std::string bad;
        ASSERT_TRUE(smtptest::FaultScript::parse(
            "S: 220 fault.test ESMTP\nC: EHLO \nS: 250 fault.test\n" + row.script, script, bad))
            << bad;
        smtptest::FaultServer server(script, 5000);
        ASSERT_TRUE(server.start());
        Logger log;
        {
            SmtpConnImpl conn;
            XString none;
            bool timedOut = false;
            ASSERT_TRUE(conn.smtpConnect("127.0.0.1", server.port(), none, none,
                                         std::chrono::seconds(5),
                                         std::chrono::milliseconds(row.readMs), log, timedOut))
                << xml(log);
            const std::vector<SmtpReply> replies = SmtpConnImplTestAccess::group(
                conn, {smtpcmd::noop(), smtpcmd::rset(), smtpcmd::noop()}, row.pipelined, log);
            ASSERT_EQ(replies.size(), row.replies.size());
            size_t answered = 0;
            for (size_t i = 0; i < replies.size(); ++i) {
                EXPECT_EQ(replies[i].transport, row.replies[i]) << "reply " << i;
                if (replies[i].answered() && answered < row.codes.size()) {
                    EXPECT_EQ(replies[i].code, row.codes[answered++]) << "reply " << i;
                }
            }
            EXPECT_EQ(answered, row.codes.size());
            // The transcript has each command once, in order.
            const std::string transcript = str(SmtpConnImplTestAccess::transcript(conn));
            const size_t first = transcript.find("NOOP\r\n"), second = transcript.find("RSET\r\n");
            EXPECT_LT(first, second) << transcript;
            SmtpConnImplTestAccess::reset(conn);
        }
        EXPECT_TRUE(server.finish()) << server.failure();
    }
}

}  // namespace
