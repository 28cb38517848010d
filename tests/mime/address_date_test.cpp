#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "diag/log_base.h"
#include "mime/date_parser.h"
#include "mime/rfc822_address.h"
#include "mime_test_support.h"

using mimetest::str;

namespace {

struct Parsed {
    bool ok = false;
    std::string name, address, formatted;
};

Parsed parse(const char* text) {
    LogNull log;
    Parsed p;
    Rfc822Address* a = Rfc822Address::parseAddress(text, log);
    if (!a) return p;
    p.ok = true;
    p.name = str(a->name());
    p.address = str(a->address());
    StringBuffer f;
    a->format(f);
    p.formatted = str(f);
    delete a;
    return p;
}

TEST(AddressParsing, NamesQuotesAndBrackets) {
    Parsed p = parse("John Smith <john@example.com>");
    EXPECT_EQ(p.name, "John Smith");
    EXPECT_EQ(p.address, "john@example.com");
    EXPECT_EQ(p.formatted, "\"John Smith\" <john@example.com>");

    p = parse("\"Smith, John \\\"JS\\\"\" <js@example.com>");
    EXPECT_EQ(p.name, "Smith, John \"JS\"");  // read without its escapes; format puts them back
    EXPECT_EQ(p.formatted, "\"Smith, John \\\"JS\\\"\" <js@example.com>");
    EXPECT_EQ(p.address, "js@example.com");

    p = parse("  plain@example.com  ");
    EXPECT_EQ(p.name, "");
    EXPECT_EQ(p.formatted, "plain@example.com");

    p = parse("'o@x.example' <o@x.example>");  // a name equal to the address goes
    EXPECT_EQ(p.name, "");
    EXPECT_EQ(p.formatted, "o@x.example");

    p = parse("J\xC3\xBCrgen <j@x.example>");  // non-ASCII names are stored encoded
    EXPECT_EQ(p.name, "=?utf-8?Q?J=C3=BCrgen?=");
}

TEST(AddressParsing, DirectoryNamesAndPlaceholders) {
    Parsed p = parse("C=US;O=Example;CN=Smith");
    EXPECT_EQ(p.address, "C=US;O=Example;CN=Smith");
    EXPECT_EQ(p.name, "");
    p = parse("\"Smith\" <CN=Smith;O=Example>");
    EXPECT_EQ(p.name, "Smith");
    EXPECT_EQ(p.address, "CN=Smith;O=Example");
    EXPECT_FALSE(parse("undisclosed-recipients:;").ok);
    EXPECT_FALSE(parse("Undisclosed Recipients").ok);  // either spelling, any case
    EXPECT_FALSE(parse("").ok);
    EXPECT_FALSE(parse(" \t ").ok);
}

TEST(AddressParsing, ListsSplitOutsideQuotesAndSkipDuplicates) {
    LogNull log;
    ExtPtrArray list;
    EXPECT_EQ(Rfc822Address::parseAddressList("\"Doe, Jane, Dr.\" <jane@x.example>, bob@x.example",
                                              list, false, log),
              2);
    EXPECT_EQ(str(list.at<Rfc822Address>(0)->name()), "Doe, Jane, Dr.");
    EXPECT_EQ(Rfc822Address::parseAddressList("BOB@X.example,\r\n\tnew@x.example", list, true, log), 1);
    EXPECT_EQ(list.count(), 3u);
    EXPECT_EQ(str(list.at<Rfc822Address>(2)->address()), "new@x.example");
    EXPECT_EQ(Rfc822Address::parseAddressList("undisclosed-recipients:;", list, false, log), 0);
    EXPECT_EQ(Rfc822Address::parseAddressList(" , ,", list, false, log), 0);
    list.deleteAll();
}

TEST(AddressPairs, BuiltFromCallerValues) {
    Rfc822Address a("Bob", "<bob @example.com>");
    EXPECT_EQ(str(a.address()), "bob@example.com");
    EXPECT_EQ(str(a.sourceText()), "\"Bob\" <bob@example.com>");
    Rfc822Address same(" x@y.example ", "x@y.example");
    EXPECT_EQ(str(same.name()), "");
    Rfc822Address quoted("", "\"a b\"@example.com");  // quotes keep the space
    StringBuffer f;
    quoted.format(f);
    EXPECT_EQ(str(f), "<\"a b\"@example.com>");
    Rfc822Address jis("\x1B$B$3$s\x1B(B", "j@x.example");
    EXPECT_EQ(str(jis.name()), "=?iso-2022-jp?B?GyRCJDMkcxsoQg==?=");
}

std::string utc(const char* text) {
    SystemTime t;
    if (!DateParser::parseRfc822Date(text, t)) return "fail";
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d w%d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, t.dayOfWeek);
    return buf;
}

TEST(DateParsing, ZonesAndRollOver) {
    EXPECT_EQ(utc("Mon, 1 Feb 99 10:00:00 -0500"), "1999-02-01 15:00:00 w1");
    EXPECT_EQ(utc("1 fev 2009 23:30 -0100"), "2009-02-02 00:30:00 w1");
    EXPECT_EQ(utc("31 Dec 2008 23:00:00 EST"), "2009-01-01 04:00:00 w4");
    EXPECT_EQ(utc("1 Jan 2009 00:30:00 +0100"), "2008-12-31 23:30:00 w3");
    EXPECT_EQ(utc("1 Mar 2008 00:10 +01:00"), "2008-02-29 23:10:00 w5");
    EXPECT_EQ(utc("Sun, 8 Feb 2009 10:00:00 +0530"), "2009-02-08 04:30:00 w0");
    EXPECT_EQ(utc("8 Feb 2009 10:00:00 +1"), "2009-02-08 09:00:00 w0");
    EXPECT_EQ(utc("8 Feb 2009 10:00:00 CEST"), "2009-02-08 10:00:00 w0");  // unknown word: 0000
    EXPECT_EQ(utc("8 Feb 2009 10:00:00 pdt"), "2009-02-08 17:00:00 w0");
    EXPECT_EQ(utc("8 Feb 2009 10:00:00 Y"), "2009-02-07 22:00:00 w6");
    EXPECT_EQ(utc("\t tue,8 dez 49 10:00"), "2049-12-08 10:00:00 w3");
    EXPECT_EQ(utc("8 OKT 1950 10:00 GMT"), "1950-10-08 10:00:00 w0");
}

TEST(DateParsing, MalformedTextFails) {
    for (const char* bad : {"", "   ", "2009-02-08", "8 Foo 2009 10:00", "8 Feb 10:00",
                            "Feb 8 2009 10:00", "8 Feb 2009", "8 Feb 2009 10", "32 Jan 2009 10:00",
                            "29 Feb 2009 10:00", "8 Feb 2009 24:00", "8 Feb 2009 10:00 +9999"})
        EXPECT_EQ(utc(bad), "fail") << bad;
    SystemTime t;
    EXPECT_FALSE(DateParser::parseRfc822Date(nullptr, t));
}

TEST(DateFormat, EnglishNamesAndZoneOffset) {
    StringBuffer out;
    DateParser::formatRfc822(2026, 12, 3, 4, 23, 30, 31, -300, out);
    EXPECT_EQ(str(out), "Thu, 03 Dec 2026 23:30:31 -0500");
    out.clear();
    DateParser::formatRfc822(2009, 2, 8, 0, 7, 5, 9, 330, out);
    EXPECT_EQ(str(out), "Sun, 08 Feb 2009 07:05:09 +0530");
    out.clear();
    DateParser::formatRfc822(2009, 1, 1, 4, 0, 0, 0, 0, out);
    EXPECT_EQ(str(out), "Thu, 01 Jan 2009 00:00:00 +0000");

    // Now: parses back, with one blank before the offset and a two-digit day.
    out.clear();
    DateParser::currentDateRfc822(out);
    std::string now = str(out);
    ASSERT_EQ(now.size(), 31u) << now;
    EXPECT_EQ(now.substr(3, 2), ", ");
    EXPECT_EQ(now[25], ' ');
    EXPECT_TRUE(now[26] == '+' || now[26] == '-');
    SystemTime t;
    EXPECT_TRUE(DateParser::parseRfc822Date(now.c_str(), t)) << now;
}

}  // namespace
