// What the host gives comes out as the reader reads it: a table of ordinary
// and hostile display names, subjects, file names and bodies, each sent
// through the module to the capture server and read back by Python's e-mail
// parser (policy default) on Linux. No header field appears that the host
// did not ask for, and every value reads back as given.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host_env.h"
#include "host_support.h"
#include "integration/aiosmtpd_process.h"
#include "tools/smtp_server/smtp_test_server.h"

using host_test::Plugin;
using host_test::ScratchDir;

namespace {

namespace fs = std::filesystem;

// Fields the system writes on its own, and the ones these messages set.
const char kAllowedHeaders[] =
    "only-headers=MIME-Version,Date,Message-ID,X-Mailer,X-Priority,Return-Path,From,To,Cc,Subject";

struct Row {
    const char* name;
    std::wstring from, to, subject, body;
    std::string fileName;         // UTF-8; empty for none
    bool windowsFileName = true;  // whether Windows allows the name
    std::vector<std::string> expect;
};

std::vector<Row> rows() {
    return {
        {"ordinary",
         L"alice@example.com",
         L"bob@example.com",
         L"Quarterly report",
         L"Hello Bob,\r\nsee the attachment.\r\n",
         "report.pdf",
         true,
         {"from=alice@example.com", "to=bob@example.com", "subject=Quarterly report",
          "text-is=Hello Bob,\nsee the attachment."}},
        {"display names",
         L"Alice Smith <alice@example.com>",
         L"\"John \\\"JJ\\\" Smith\" <jj@example.com>",
         L"Names",
         L"Body",
         "",
         true,
         {"from=alice@example.com", "from-name=Alice Smith", "to=jj@example.com",
          "to-name=John \"JJ\" Smith"}},
        {"non-ASCII names and a comment form",
         L"J\u00fcrgen M\u00fcller <jm@example.de>",
         L"bob@example.com (\u0411\u043e\u0431, \u0433\u043b\u0430\u0432\u043d\u044b\u0439)",
         L"\u041f\u0440\u0438\u0432\u0435\u0442 \u2014 end",
         L"\u041f\u0440\u0438\u0432\u0435\u0442 \u2014 end \U0001F600",
         "",
         true,
         {"from-name=J\xc3\xbcrgen M\xc3\xbcller", "to=bob@example.com",
          "to-name=\xd0\x91\xd0\xbe\xd0\xb1, "
          "\xd0\xb3\xd0\xbb\xd0\xb0\xd0\xb2\xd0\xbd\xd1\x8b\xd0\xb9",
          "subject=\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82 \xe2\x80\x94 end",
          "text-is=\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82 \xe2\x80\x94 end "
          "\xf0\x9f\x98\x80"}},
        {"folding keeps the text",
         L"alice@example.com",
         L"bob@example.com",
         L"An update on the northern sales region;see attachment for the figures of this quarter",
         L"x",
         "",
         true,
         {"subject=An update on the northern sales region;see attachment for the figures of this "
          "quarter"}},
        {"long Russian subject",
         L"alice@example.com",
         L"bob@example.com",
         std::wstring(40, L'\u0416') + L" " + std::wstring(40, L'\u044f'),
         L"x",
         "",
         true,
         {"subject=" +
          [] {
              std::string s;
              for (int i = 0; i < 40; ++i) s += "\xd0\x96";
              s += " ";
              for (int i = 0; i < 40; ++i) s += "\xd1\x8f";
              return s;
          }()}},
        {"injection through a file name",
         L"alice@example.com",
         L"bob@example.com",
         L"File",
         L"x",
         "\xc3\xa9\";a=?utf-8?Q?=0D=0AX-Injected:_yes?==b.bin",
         false,
         {}},
        {"quotes and backslashes in file names",
         L"alice@example.com",
         L"bob@example.com",
         L"Quotes",
         L"x",
         "quote\"d back\\slash.dat",
         false,
         {}},
        {"non-ASCII file name with a semicolon",
         L"alice@example.com",
         L"bob@example.com",
         L"Semicolon",
         L"x",
         "R\xc3\xa9sum\xc3\xa9; final \xe6\x97\xa5\xe6\x9c\xac.dat",
         true,
         {}},
        {"long file name",
         L"alice@example.com",
         L"bob@example.com",
         L"Long name",
         L"x",
         std::string(150, 'n') + ".dat",
         true,
         {}},
        {"injection through the subject",
         L"alice@example.com",
         L"bob@example.com",
         L"Hello\r\nBcc: spy@example.com",
         L"x",
         "",
         true,
         {}},
    };
}

// UTF-8 to the host's wide text (UTF-16 on Windows, UTF-32 elsewhere),
// without the C library's locale.
std::wstring wideOf(const std::string& utf8) {
    std::wstring out;
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        const int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += 1 + extra;
        if (sizeof(wchar_t) == 2 && cp >= 0x10000) {
            out += static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<wchar_t>(cp);
        }
    }
    return out;
}

class RoundTrip : public ::testing::TestWithParam<size_t> {};

TEST_P(RoundTrip, ReadsBackAsGiven) {
    const Row row = rows()[GetParam()];
    SCOPED_TRACE(row.name);
#ifdef _WIN32
    if (!row.windowsFileName) GTEST_SKIP() << "not a legal file name on Windows";
#endif
    ScratchDir dir;
    smtptest::CaptureServer server;
    ASSERT_TRUE(server.start());
    Plugin p;
    ASSERT_TRUE(p->set_server(L"127.0.0.1", std::to_wstring(server.port()).c_str(), L"", L""));
    ASSERT_TRUE(p->set_from(row.from.c_str()));
    ASSERT_TRUE(p->add_to(row.to.c_str()));
    ASSERT_TRUE(p->set_subject(row.subject.c_str()));
    ASSERT_TRUE(p->set_body(row.body.c_str()));
    std::vector<std::string> expect = row.expect;
    expect.push_back(kAllowedHeaders);
    if (!row.fileName.empty()) {
        std::string bytes;
        for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
        dir.write(row.fileName, bytes);
        ASSERT_TRUE(p->add_attachment((dir.widePath() + L"/" + wideOf(row.fileName)).c_str()));
        // The checker takes the path after the last colon: a copy with a plain name.
        dir.write("expected.bin", bytes);
        expect.push_back("attachment=" + row.fileName + ":" +
                         host_env::utf8Of(fs::current_path() / "expected.bin"));
    }
    ASSERT_TRUE(p->send()) << dir.read("smtp_errors.xml");
    ASSERT_TRUE(server.waitForMessages(1, 5000));
    const std::string data = server.messages()[0].data;
    // Whatever the reader, no line of the header may start a field of its own.
    const std::string header = data.substr(0, data.find("\r\n\r\n"));
    EXPECT_EQ(header.find("\r\nX-Injected"), std::string::npos) << header;
    EXPECT_EQ(header.find("\r\nBcc"), std::string::npos) << header;
    for (size_t at = 0; (at = header.find('\n', at)) != std::string::npos; ++at)
        EXPECT_TRUE(at > 0 && header[at - 1] == '\r') << "bare line feed in\n" << header;
#ifndef _WIN32
    dir.write("delivered.eml", data);
    std::vector<std::string> args = {host_env::utf8Of(fs::current_path() / "delivered.eml")};
    args.insert(args.end(), expect.begin(), expect.end());
    std::string report;
    EXPECT_TRUE(smtp_integration::checkMessage(args, report)) << report << "\n"
                                                              << data.substr(0, 3000);
#endif
}

INSTANTIATE_TEST_SUITE_P(Corpus, RoundTrip, ::testing::Range<size_t>(0, rows().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             std::string n = rows()[info.param].name;
                             for (char& c : n)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return n;
                         });

}  // namespace
