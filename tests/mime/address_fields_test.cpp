// The header of a message for a server without SMTPUTF8: the table in
// tests/data/mime/ascii_address_fields.tsv, with the envelope's own IDNA
// conversion; and From, which must stay.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "mail/idna.h"
#include "mime/email2.h"
#include "support/data_file.h"
#include "support/engine_log.h"

namespace {

using testsupport::str;

size_t count(Logger& log, char kind, const std::string& prefix) {
    size_t n = 0;
    for (const testsupport::Entry& e : testsupport::entries(log))
        n += e.kind == kind && (e.kind == 'T' ? e.name : e.text).rfind(prefix, 0) == 0;
    return n;
}

}  // namespace

TEST(AsciiAddressFields, AsTheTableSays) {
    const std::vector<std::string> lines = testsupport::dataLines("mime/ascii_address_fields.tsv");
    EXPECT_GE(lines.size(), 15u);
    for (const std::string& line : lines) {
        const std::vector<std::string> f = testsupport::tabFields(line);
        ASSERT_EQ(f.size(), 4u) << line;
        std::unique_ptr<Email2> e(Email2::createNewEmail());
        e->setHeaderField("From", "alice@example.com");
        e->setHeaderField(f[0].c_str(), f[1].c_str());
        Logger log;
        EXPECT_TRUE(e->asciiAddressFields(&idna::toAscii, log)) << line;
        StringBuffer got;
        const bool present = e->getHeaderField(f[0].c_str(), got);
        EXPECT_EQ(present ? str(got) : "(removed)", f[2]) << line;
        const size_t left = std::stoul(f[3]);
        EXPECT_EQ(count(log, 'E', "Address left out of the " + f[0] + " field: "), left) << line;
        EXPECT_EQ(count(log, 'T', "bad_address"), left) << line;
        // What is written is 7-bit, and From is untouched.
        StringBuffer header;
        e->header().writeHeader(header, nullptr, 65001);
        EXPECT_TRUE(header.is7bit()) << str(header);
        StringBuffer from;
        EXPECT_TRUE(e->getHeaderField("From", from));
        EXPECT_EQ(str(from), "alice@example.com");
    }
}

// A From whose only mailbox cannot be written fails, saying why; one whose
// domain is not ASCII goes as A-labels.
TEST(AsciiAddressFields, FromMustStay) {
    std::unique_ptr<Email2> e(Email2::createNewEmail());
    e->setHeaderField("From", "\"J\xC3\xB6rg\" <j\xC3\xB6rg@example.com>");
    Logger log;
    EXPECT_FALSE(e->asciiAddressFields(&idna::toAscii, log));
    EXPECT_TRUE(testsupport::has(
        log, 'E', "The From field cannot be written without SMTPUTF8: no mailbox left"));
    e = Email2::createNewEmail();
    e->setHeaderField("From", "joerg@m\xC3\xBCller.example");
    EXPECT_TRUE(e->asciiAddressFields(&idna::toAscii, log));
    StringBuffer from;
    e->getHeaderField("From", from);
    EXPECT_EQ(str(from), "joerg@xn--mller-kva.example");
}
