// Which texts the sender and recipient operations take apart into a
// display name and an address, and which they pass on unchanged.
#include "plugin/mailbox_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(MailboxText, OneMailboxIsSplitEverythingElseIsNot) {
    struct Case {
        std::string text;
        bool split;
        std::string name, address;
    } cases[] = {
        {"Alice <alice@example.com>", true, "Alice", "alice@example.com"},
        {"  Alice Smith   <alice@example.com>  ", true, "Alice Smith", "alice@example.com"},
        {"\"Smith, Alice\" <alice@example.com>", true, "Smith, Alice", "alice@example.com"},
        {"\"John \\\"JJ\\\" Smith\" <jj@example.com>", true, "John \"JJ\" Smith", "jj@example.com"},
        {"\"back\\\\slash\" <b@example.com>", true, "back\\slash", "b@example.com"},
        {"J\xc3\xbcrgen M\xc3\xbcller <jm@example.de>", true, "J\xc3\xbcrgen M\xc3\xbcller",
         "jm@example.de"},
        {"<bare@example.com>", true, "", "bare@example.com"},
        {"alice@example.com (Alice Smith)", true, "Alice Smith", "alice@example.com"},
        {"alice@example.com (Alice \\(A\\))", true, "Alice (A)", "alice@example.com"},
        // Not one mailbox: the text goes on as it is.
        {"alice@example.com", false, "", ""},
        {"Alice <alice@example.com>, Bob <bob@example.com>", false, "", ""},
        {"Friends: alice@example.com, bob@example.com;", false, "", ""},
        {"Alice <alice@example.com", false, "", ""},
        {"Alice alice@example.com>", false, "", ""},
        {"\"Alice <alice@example.com>", false, "", ""},
        {"Alice <>", false, "", ""},
        {"Alice <no-at-sign>", false, "", ""},
        {"Alice <a b@example.com>", false, "", ""},
        {"Alice <alice@example.com>\r\nBcc: x@example.com", false, "", ""},
        {"alice@example.com (nested (comment))", false, "", ""},
        {"(Alice) alice@example.com", false, "", ""},
        {"", false, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string name = "unchanged", address = "unchanged";
        EXPECT_EQ(plugin::splitMailbox(c.text, name, address), c.split);
        if (c.split) {
            EXPECT_EQ(name, c.name);
            EXPECT_EQ(address, c.address);
        } else {
            EXPECT_EQ(name, "unchanged");
        }
    }
}

}  // namespace
