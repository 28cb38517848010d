// Every host setting by name: the values it takes in any case, the value
// it answers after, and the problem a bad value or an unknown name leaves
// until the name is set again with a good one.
#include "mail/host_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string valueOf(const HostOptions& o, const std::string& name) {
    std::string out = "(none)";
    if (!o.value(name, out, 30, 40)) return "(no such setting)";
    return out;
}

struct Row {
    const char* name;
    const char* given;
    const char* answered;  // nullptr: refused, with this allowed list
    const char* allowed;
};

TEST(HostOptions, EachSettingTakesItsValuesAndRefusesOthers) {
    const Row rows[] = {
        {"tls", "STARTTLS", "starttls", nullptr},
        {"tls", "implicit", "implicit", nullptr},
        {"tls", "Off", "off", nullptr},
        {"tls", "auto", "auto", nullptr},
        {"tls", "sometimes", nullptr, "auto, starttls, implicit, off"},
        {"tls_verify", "OFF", "off", nullptr},
        {"tls_verify", "maybe", nullptr, "on, off"},
        {"tls_ca_file", "", "", nullptr},
        {"tls_ca_file", "/nonexistent/ca.pem", nullptr,
         "a readable PEM file of trusted roots, or empty for none"},
        {"auth", "CRAM-MD5", "cram-md5", nullptr},
        {"auth", "xoauth2", "xoauth2", nullptr},
        {"auth", "kerberos", nullptr, "auto, login, plain, cram-md5, ntlm, xoauth2"},
        {"helo_name", "client.example", "client.example", nullptr},
        {"helo_name", "two words", nullptr,
         "a domain or address literal of 1 to 255 printable ASCII characters"},
        {"chunking", "off", "off", nullptr},
        {"chunking", "On", "on", nullptr},
        {"chunking", "sometimes", nullptr, "on, off"},
        {"connect_timeout", "600", "600", nullptr},
        {"connect_timeout", "0", nullptr, "whole seconds, 1 to 600"},
        {"read_timeout", "1", "1", nullptr},
        {"read_timeout", "1.5", nullptr, "whole seconds, 1 to 600"},
        {"error_file", "", "", nullptr},
        {"error_file", "errors.xml", "errors.xml", nullptr},
        {"verify_login", "STRICT", "strict", nullptr},
        {"verify_login", "sometimes", nullptr, "normal, strict"},
        {"html_alternative", "on", "on", nullptr},
        {"html_alternative", "yes", nullptr, "on, off"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name) + "=" + row.given);
        HostOptions o;
        const std::string before = valueOf(o, row.name);
        o.set(row.name, row.given);
        if (row.answered) {
            EXPECT_EQ(valueOf(o, row.name), row.answered);
            EXPECT_TRUE(o.problems().empty());
            continue;
        }
        // Refused: the setting keeps its value and the next send fails.
        EXPECT_EQ(valueOf(o, row.name), before);
        const std::string problem = std::string("Option ") + row.name + "=" + row.given +
                                    " is not valid (" + row.allowed + ")";
        EXPECT_EQ(o.problems(), std::vector<std::string>{problem});
    }
}

TEST(HostOptions, DefaultsAndTheNamesInAnyCase) {
    HostOptions o;
    EXPECT_EQ(valueOf(o, "chunking"), "on");
    EXPECT_EQ(valueOf(o, "html_alternative"), "off");
    EXPECT_EQ(valueOf(o, "connect_timeout"), "30");
    EXPECT_EQ(valueOf(o, "read_timeout"), "40");
    EXPECT_EQ(valueOf(o, "CHUNKING"), "on");
    o.set("Chunking", "OFF");
    EXPECT_FALSE(o.session().chunking);
    EXPECT_EQ(valueOf(o, "no_such_name"), "(no such setting)");
}

TEST(HostOptions, AProblemStaysUntilTheNameIsSetWell) {
    HostOptions o;
    o.set("chunking", "maybe");
    o.set("passwrd", "hunter2");
    o.set("verify_login", "never");
    EXPECT_EQ(o.problems().size(), 3u);
    o.set("CHUNKING", "on");
    // The unknown name's value is never repeated.
    EXPECT_EQ(o.problems(), (std::vector<std::string>{
                                "Option passwrd is not known",
                                "Option verify_login=never is not valid (normal, strict)"}));
    o.set("verify_login", "normal");
    EXPECT_EQ(o.problems(), std::vector<std::string>{"Option passwrd is not known"});
}

}  // namespace
