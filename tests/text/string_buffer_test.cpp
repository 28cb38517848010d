#include "text/string_buffer.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>

#include "platform/code_pages.h"
#include "text/data_buffer.h"
#include "text_test_support.h"

using texttest::RecordingLog;
using texttest::ScratchDir;

namespace {

std::string str(const StringBuffer& sb) {
    return std::string(sb.getString(), sb.length());
}

std::string bytesOf(const DataBuffer& db) {
    return std::string(reinterpret_cast<const char*>(db.data()), db.size());
}

}  // namespace

// ------------------------------------------------------------ growth rules
// An append enlarges when length + added + 1 would reach the capacity; the new
// block is length + growth + added + 1 bytes, and growth then becomes half
// the new capacity (at most 500000) when it is below both.

TEST(StringBufferGrowth, ConstructorsSetCapacityAndGrowth) {
    StringBuffer def;
    EXPECT_EQ(def.capacity(), 202u);
    EXPECT_EQ(def.growth(), 202u);
    EXPECT_TRUE(def.isEmpty());
    EXPECT_STREQ(def.getString(), "");

    StringBuffer fromC("hello");
    EXPECT_EQ(fromC.capacity(), 6u);
    EXPECT_EQ(fromC.growth(), 200u);
    EXPECT_EQ(str(fromC), "hello");

    StringBuffer fromNull(static_cast<const char*>(nullptr));
    EXPECT_EQ(fromNull.capacity(), 1u);
    EXPECT_STREQ(fromNull.getString(), "");

    StringBuffer hinted(StringBuffer::Reserve{0});
    EXPECT_EQ(hinted.capacity(), 200u);
    EXPECT_EQ(hinted.growth(), 200u);
    StringBuffer hinted50(StringBuffer::Reserve{50});
    EXPECT_EQ(hinted50.capacity(), 50u);
    EXPECT_EQ(hinted50.growth(), 50u);
}

TEST(StringBufferGrowth, OneByteAtATimeFromDefault) {
    StringBuffer sb;
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(sb.appendChar('x'));
    EXPECT_EQ(sb.capacity(), 202u) << "200 bytes and the terminator still leave room";
    ASSERT_TRUE(sb.appendChar('x'));  // the 201st byte would reach the capacity
    EXPECT_EQ(sb.capacity(), 404u);
    EXPECT_EQ(sb.growth(), 202u);
    while (sb.length() < 402) ASSERT_TRUE(sb.appendChar('y'));
    EXPECT_EQ(sb.capacity(), 404u);
    ASSERT_TRUE(sb.appendChar('z'));
    EXPECT_EQ(sb.capacity(), 606u);
    EXPECT_EQ(sb.growth(), 303u);
    EXPECT_EQ(sb.length(), 403u);
    std::string expected = std::string(201, 'x') + std::string(201, 'y') + "z";
    EXPECT_EQ(str(sb), expected);
}

TEST(StringBufferGrowth, ExactFitFromCStringStillEnlarges) {
    StringBuffer sb("abc");  // capacity 4, growth 200
    ASSERT_TRUE(sb.appendChar('d'));
    EXPECT_EQ(sb.capacity(), 3u + 200u + 1u + 1u);
    EXPECT_EQ(sb.growth(), (3u + 200u + 1u + 1u) / 2);
    EXPECT_EQ(str(sb), "abcd");
}

TEST(StringBufferGrowth, GrowthIsCappedAt500000) {
    StringBuffer sb;
    std::string big(2000000, 'q');
    ASSERT_TRUE(sb.append(big.data(), static_cast<uint32_t>(big.size())));
    EXPECT_EQ(sb.capacity(), 202u + 2000000u + 1u);
    EXPECT_EQ(sb.growth(), 500000u);
    uint32_t before = sb.capacity();
    std::string more(before - sb.length(), 'r');
    ASSERT_TRUE(sb.append(more.data(), static_cast<uint32_t>(more.size())));
    EXPECT_EQ(sb.capacity(), 2000000u + 500000u + static_cast<uint32_t>(more.size()) + 1u);
    EXPECT_EQ(sb.growth(), 500000u);
    EXPECT_EQ(sb.length(), 2000000u + more.size());
}

TEST(StringBufferGrowth, AppendingItsOwnTextWhileGrowing) {
    StringBuffer sb("0123456789");
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(sb.append(sb.getString(), sb.length()));
    ASSERT_EQ(sb.length(), 640u);
    for (uint32_t i = 0; i < sb.length(); ++i)
        ASSERT_EQ(sb.charAt(i), '0' + static_cast<char>(i % 10));
    ASSERT_TRUE(sb.append(sb));
    EXPECT_EQ(sb.length(), 1280u);
}

TEST(StringBufferGrowth, ReserveMoreAvoidsLaterEnlargement) {
    StringBuffer sb("ab");
    ASSERT_TRUE(sb.reserveMore(1000));
    uint32_t cap = sb.capacity();
    EXPECT_GT(cap, 2u + 1000u);
    std::string add(1000, 'c');
    ASSERT_TRUE(sb.append(add.c_str()));
    EXPECT_EQ(sb.capacity(), cap);
    EXPECT_EQ(sb.length(), 1002u);
}

TEST(StringBufferGrowth, CopyKeepsTextAndFlagWithGrowth200) {
    StringBuffer a;
    a.append("payload");
    a.setFlag(7);
    StringBuffer b(a);
    EXPECT_EQ(str(b), "payload");
    EXPECT_EQ(b.flag(), 7);
    EXPECT_EQ(b.growth(), 200u);
    EXPECT_NE(a.getString(), b.getString());
    StringBuffer c;
    EXPECT_EQ(c.flag(), 0);
    c = a;
    EXPECT_EQ(str(c), "payload");
    a.setString("changed");
    EXPECT_EQ(str(c), "payload");
}

// ------------------------------------------------------------ building

TEST(StringBufferBuilding, AppendVariants) {
    StringBuffer sb;
    sb.append("n=");
    sb.appendInt(-42);
    sb.appendChar(',');
    sb.appendInt64(-9000000000LL);
    sb.appendChar(',');
    sb.appendInt(INT_MIN);
    sb.appendRepeated('-', 3);
    sb.append(static_cast<const char*>(nullptr));
    EXPECT_EQ(str(sb), "n=-42,-9000000000,-2147483648---");
    sb.prepend(">> ");
    EXPECT_EQ(str(sb), ">> n=-42,-9000000000,-2147483648---");
}

TEST(StringBufferBuilding, BytesWithZerosKeepTheirLength) {
    StringBuffer sb;
    const char bytes[] = {'a', 0, 'b', 0};
    ASSERT_TRUE(sb.append(bytes, 4));
    EXPECT_EQ(sb.length(), 4u);
    EXPECT_EQ(sb.getString()[4], 0);
    EXPECT_EQ(sb.charAt(2), 'b');
    EXPECT_EQ(sb.charAt(99), 0);
}

TEST(StringBufferBuilding, SetStringAndClear) {
    StringBuffer sb("first text");
    uint32_t cap = sb.capacity();
    sb.clear();
    EXPECT_TRUE(sb.isEmpty());
    EXPECT_EQ(sb.capacity(), cap);
    sb.setString("second");
    EXPECT_EQ(str(sb), "second");
    sb.setString(sb.getString() + 3);  // a part of its own text
    EXPECT_EQ(str(sb), "ond");
    sb.setString(static_cast<const char*>(nullptr));
    EXPECT_EQ(str(sb), "");
    std::string big(5000, 'k');
    ASSERT_TRUE(sb.setString(big.c_str()));
    EXPECT_EQ(str(sb), big);
}

// ------------------------------------------------------------ shaping

TEST(StringBufferShaping, TrimBothEnds) {
    StringBuffer sb(" \t\r\n hello  world \n\r\t ");
    sb.trim();
    EXPECT_EQ(str(sb), "hello  world");
    StringBuffer blanks("    \t  \r\n ");
    blanks.trim();
    EXPECT_EQ(str(blanks), "");
    EXPECT_TRUE(blanks.isEmpty());
    StringBuffer other("\vx\f");  // vertical tab and form feed are not trimmed
    other.trim();
    EXPECT_EQ(str(other), "\vx\f");
    StringBuffer right("  x  \r\n");
    right.trimRight();
    EXPECT_EQ(str(right), "  x");
}

TEST(StringBufferShaping, LowerCaseAsciiAndC0ToDF) {
    StringBuffer sb("AZaz@[`{09");
    sb.toLowerCase();
    EXPECT_EQ(str(sb), "azaz@[`{09");
    // Every byte 0x80..0xFF: only 0xC0..0xDF move, and by exactly 32.
    std::string high;
    for (int b = 0x80; b <= 0xFF; ++b) high.push_back(static_cast<char>(b));
    StringBuffer h;
    h.append(high.data(), static_cast<uint32_t>(high.size()));
    h.toLowerCase();
    for (int b = 0x80; b <= 0xFF; ++b) {
        unsigned char got = static_cast<unsigned char>(h.charAt(static_cast<uint32_t>(b - 0x80)));
        int want = (b >= 0xC0 && b <= 0xDF) ? b + 32 : b;
        EXPECT_EQ(got, want) << "byte " << b;
    }
    StringBuffer up("Mixed Case 123 \xC9");
    up.toUpperCase();
    EXPECT_EQ(str(up), "MIXED CASE 123 \xC9");
}

TEST(StringBufferShaping, ReplaceAll) {
    StringBuffer sb("a-b-c-");
    EXPECT_EQ(sb.replaceAll("-", "--"), 3u);
    EXPECT_EQ(str(sb), "a--b--c--");
    EXPECT_EQ(sb.replaceAll("--", ""), 3u);
    EXPECT_EQ(str(sb), "abc");
    EXPECT_EQ(sb.replaceAll("x", "y"), 0u);
    EXPECT_EQ(sb.replaceAll("", "y"), 0u);
    EXPECT_EQ(str(sb), "abc");
    StringBuffer overlap("aaaa a");
    // Non-overlapping, left to right.
    EXPECT_EQ(overlap.replaceAll("aa", "b"), 2u);
    EXPECT_EQ(str(overlap), "bb a");
    StringBuffer grow("<>");
    std::string longer(1000, 'L');
    EXPECT_EQ(grow.replaceAll("<", longer.c_str()), 1u);
    EXPECT_EQ(str(grow), longer + ">");
}

TEST(StringBufferShaping, RemoveAndReplaceChar) {
    StringBuffer sb("a,b,,c,");
    EXPECT_EQ(sb.removeChar(','), 4u);
    EXPECT_EQ(str(sb), "abc");
    EXPECT_EQ(sb.removeChar('z'), 0u);
    EXPECT_EQ(str(sb), "abc");
    StringBuffer r("path|to|file");
    EXPECT_EQ(r.replaceChar('|', ':'), 2u);
    EXPECT_EQ(str(r), "path:to:file");
    EXPECT_EQ(r.countChar(':'), 2u);
}

TEST(StringBufferShaping, ShrinkOnlyWhenMoreThanFourSpare) {
    StringBuffer sb(StringBuffer::Reserve{10});
    sb.append("abcde");  // 5 + 1 used, 4 spare
    sb.shrinkToFit();
    EXPECT_EQ(sb.capacity(), 10u);
    StringBuffer sb2(StringBuffer::Reserve{11});
    sb2.append("abcde");  // 5 spare
    sb2.shrinkToFit();
    EXPECT_EQ(sb2.capacity(), 6u);
    EXPECT_EQ(str(sb2), "abcde");
}

TEST(StringBufferShaping, Truncate) {
    StringBuffer sb("abcdef");
    sb.truncate(10);
    EXPECT_EQ(str(sb), "abcdef");
    sb.truncate(2);
    EXPECT_EQ(str(sb), "ab");
}

// ------------------------------------------------------------ testing

TEST(StringBufferTesting, Comparisons) {
    StringBuffer sb("Hello World");
    EXPECT_TRUE(sb.equals("Hello World"));
    EXPECT_FALSE(sb.equals("hello world"));
    EXPECT_TRUE(sb.equalsIgnoreCase("hello WORLD"));
    EXPECT_FALSE(sb.equalsIgnoreCase("hello WORLD!"));
    EXPECT_TRUE(sb.contains("lo W"));
    EXPECT_FALSE(sb.contains("low"));
    EXPECT_TRUE(sb.beginsWith("Hell"));
    EXPECT_TRUE(sb.endsWith("orld"));
    EXPECT_FALSE(sb.endsWith("Hello World!"));
    EXPECT_EQ(sb.find("o"), 4);
    EXPECT_EQ(sb.find("o", 5), 7);
    EXPECT_EQ(sb.find("o", 8), -1);
    EXPECT_EQ(sb.find("xyz"), -1);
    EXPECT_EQ(sb.find("d", 100), -1);
    EXPECT_EQ(sb.findChar('W'), 6);
    EXPECT_EQ(sb.findChar('W', 7), -1);
    StringBuffer other("Hello World");
    EXPECT_TRUE(sb.equals(other));
}

TEST(StringBufferTesting, SevenBit) {
    StringBuffer sb("plain\x80tail");
    EXPECT_FALSE(sb.is7bit());
    EXPECT_TRUE(sb.is7bit(5));
    EXPECT_FALSE(sb.is7bit(6));
    EXPECT_TRUE(StringBuffer("all ascii ~").is7bit());
}

// ------------------------------------------------------------ converting

TEST(StringBufferConverting, HtmlEscapeOrderMatters) {
    StringBuffer sb("&lt;");
    sb.htmlEscape();
    EXPECT_EQ(str(sb), "&amp;lt;");
    StringBuffer tag("<a href=\"x\">&</a>");
    tag.htmlEscape();
    EXPECT_EQ(str(tag), "&lt;a href=&quot;x&quot;&gt;&amp;&lt;/a&gt;");
    StringBuffer quote("'single' stays");
    quote.htmlEscape();
    EXPECT_EQ(str(quote), "'single' stays");
}

TEST(StringBufferConverting, HexDumpOfSeventeenBytes) {
    unsigned char bytes[17];
    for (int i = 0; i < 17; ++i) bytes[i] = static_cast<unsigned char>(i);
    StringBuffer out;
    StringBuffer::hexDump(bytes, 17, out);
    EXPECT_EQ(str(out), "0001 0203 0405 0607 0809 0A0B 0C0D 0E0F\n10");
}

TEST(StringBufferConverting, HexDumpUpperCaseAndAppends) {
    const unsigned char bytes[] = {0xAB, 0xCD, 0xEF};
    StringBuffer out("x:");
    StringBuffer::hexDump(bytes, 3, out);
    EXPECT_EQ(str(out), "x:ABCD EF");
    StringBuffer none;
    StringBuffer::hexDump(bytes, 0, none);
    EXPECT_TRUE(none.isEmpty());
}

TEST(StringBufferConverting, HexDumpOfManyLines) {
    // Independent layout check: every line but the last has 16 bytes as 8
    // groups of 4 digits; lines are separated by single line feeds.
    unsigned char bytes[100];
    for (int i = 0; i < 100; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 3);
    StringBuffer out;
    StringBuffer::hexDump(bytes, 100, out);
    std::string s = str(out);
    size_t lines = 0, pos = 0;
    while (true) {
        size_t nl = s.find('\n', pos);
        std::string line = s.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        if (nl != std::string::npos) {
            EXPECT_EQ(line.size(), 16u * 2 + 7) << line;
            ++lines;
            pos = nl + 1;
        } else {
            // 100 = 6 * 16 + 4: two groups, with the blank after the second.
            EXPECT_EQ(line.size(), 4u * 2 + 2) << line;
            break;
        }
    }
    EXPECT_EQ(lines, 6u);
    char expect[3];
    std::snprintf(expect, sizeof expect, "%02X", bytes[16]);
    EXPECT_EQ(s.substr(16 * 2 + 8, 2), expect);
}

TEST(StringBufferConverting, HexDecodePairsEitherCase) {
    StringBuffer sb("0a0B fF10");
    DataBuffer out;
    EXPECT_TRUE(sb.hexDecode(out));
    const unsigned char want[] = {0x0A, 0x0B, 0xFF, 0x10};
    EXPECT_TRUE(out.equals(want, 4)) << bytesOf(out);
}

TEST(StringBufferConverting, HexDecodeIgnoresTrailingOddDigit) {
    StringBuffer sb("abc");
    DataBuffer out;
    EXPECT_TRUE(sb.hexDecode(out));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out.data()[0], 0xAB);
}

TEST(StringBufferConverting, HexDecodeStopsAtNonHex) {
    StringBuffer sb("12zz34");
    DataBuffer out;
    EXPECT_FALSE(sb.hexDecode(out));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out.data()[0], 0x12);
}

TEST(StringBufferConverting, HexDumpRoundTripsThroughDecodeBeyond500Bytes) {
    unsigned char bytes[1234];
    uint32_t x = 12345;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<unsigned char>(x >> 16);
    }
    StringBuffer dump;
    StringBuffer::hexDump(bytes, sizeof bytes, dump);
    DataBuffer out;
    const unsigned char prefix[] = {0xEE};
    out.append(prefix, 1);  // decoding appends
    EXPECT_TRUE(dump.hexDecode(out));
    ASSERT_EQ(out.size(), 1u + sizeof bytes);
    EXPECT_EQ(out.data()[0], 0xEE);
    EXPECT_EQ(std::memcmp(out.data() + 1, bytes, sizeof bytes), 0);
}

TEST(StringBufferConverting, ParseIntLikeScanf) {
    const char* inputs[] = {"42",          "  -17abc", "+5",    "abc", "",
                            " \t\n 99",    "- 5",      "0x1F",  "007", "2147483647",
                            "-2147483648", "12 34",    "\v\f8", "-0",  "+-3"};
    for (const char* in : inputs) {
        int expected = 0;
        if (std::sscanf(in, "%d", &expected) != 1) expected = 0;
        StringBuffer sb(in);
        EXPECT_EQ(sb.parseInt(), expected) << "input '" << in << "'";
    }
}

TEST(StringBufferConverting, ConvertCodePage) {
    platform::setCodePagesForTesting(1252, 437);
    StringBuffer sb("caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_TRUE(sb.convertCodePage(65001, 1252));
    EXPECT_EQ(str(sb), "caf\xE9 \x80");
    EXPECT_TRUE(sb.convertCodePage(1252, 65001));
    EXPECT_EQ(str(sb), "caf\xC3\xA9 \xE2\x82\xAC");

    StringBuffer lossy(
        "a\xE2\x82\xAC"
        "b");
    EXPECT_FALSE(lossy.convertCodePage(65001, 28591));
    EXPECT_EQ(str(lossy), "ab");

    StringBuffer unsupported("keep me");
    EXPECT_FALSE(unsupported.convertCodePage(65001, 4242));
    EXPECT_EQ(str(unsupported), "keep me");

    StringBuffer wide("Az");
    EXPECT_TRUE(wide.convertCodePage(65001, 1200));
    EXPECT_EQ(wide.length(), 4u);
    EXPECT_EQ(std::memcmp(wide.getString(), "A\0z\0", 4), 0);
    platform::setCodePagesForTesting(0, 0);
}

// ------------------------------------------------------------ files

TEST(StringBufferFiles, LoadAppendsWholeFile) {
    ScratchDir dir;
    std::string content("line one\r\n\0binary\xFF", 18);
    std::string path = dir.file("data.bin", content);
    StringBuffer sb("prefix:");
    RecordingLog log;
    ASSERT_TRUE(sb.loadFromFile(path.c_str(), &log));
    EXPECT_EQ(str(sb), "prefix:" + content);
    EXPECT_TRUE(log.errors.empty());

    std::string emptyPath = dir.file("empty.txt", "");
    StringBuffer e;
    EXPECT_TRUE(e.loadFromFile(emptyPath.c_str(), &log));
    EXPECT_TRUE(e.isEmpty());
}

TEST(StringBufferFiles, LoadReservesSizePlusFour) {
    ScratchDir dir;
    std::string content(3000, 'm');
    std::string path = dir.file("big.txt", content);
    StringBuffer sb;
    ASSERT_TRUE(sb.loadFromFile(path.c_str(), nullptr));
    EXPECT_GE(sb.capacity(), 3000u + 4u);
    EXPECT_EQ(str(sb), content);
}

TEST(StringBufferFiles, MissingFileFailsAndLogs) {
    ScratchDir dir;
    std::string path = dir.path("does-not-exist.txt");
    StringBuffer sb("unchanged");
    RecordingLog log;
    EXPECT_FALSE(sb.loadFromFile(path.c_str(), &log));
    EXPECT_EQ(str(sb), "unchanged");
    EXPECT_TRUE(log.hasError("Failed to open file"));
    EXPECT_TRUE(log.hasData("filename=" + path));
    // Without a log nothing is written anywhere and nothing crashes.
    EXPECT_FALSE(sb.loadFromFile(path.c_str(), nullptr));
    EXPECT_FALSE(sb.loadFromFile(nullptr, nullptr));
}

TEST(StringBufferFiles, DirectoryFails) {
    ScratchDir dir;
    StringBuffer sb;
    RecordingLog log;
    EXPECT_FALSE(sb.loadFromFile(dir.path().c_str(), &log));
    EXPECT_TRUE(sb.isEmpty());
    EXPECT_FALSE(log.errors.empty());
    EXPECT_TRUE(log.hasData("filename=" + dir.path()));
}

TEST(StringBufferFiles, UnreadableFileFails) {
    ScratchDir dir;
    std::string path = dir.file("secret.txt", "top secret");
    std::filesystem::permissions(path, std::filesystem::perms::none);
    // A privileged user reads the file regardless of its permissions.
    if (std::ifstream(path).good())
        GTEST_SKIP() << "running with privileges that ignore file modes";
    StringBuffer sb;
    RecordingLog log;
    EXPECT_FALSE(sb.loadFromFile(path.c_str(), &log));
    EXPECT_TRUE(sb.isEmpty());
    EXPECT_TRUE(log.hasError("Failed to open file"));
}

#if defined(_WIN32)
TEST(StringBufferFiles, CreateFromFileUrlWithBar) {
    ScratchDir dir;
    // "file:///" is stripped, then "|" becomes ":": the old URL form of a
    // drive letter, file:///C|/dir/file.
    dir.file("bar.txt", "colon file");
    std::string path = dir.path("bar.txt");
    ASSERT_TRUE(path.size() > 3 && path[1] == ':') << path;
    std::string url = "file:///" + path.substr(0, 1) + "|" + path.substr(2);
    for (char& c : url)
        if (c == '\\') c = '/';
    RecordingLog log;
    StringBuffer* sb = StringBuffer::createFromFile(url.c_str(), log);
    ASSERT_NE(sb, nullptr);
    EXPECT_EQ(str(*sb), "colon file");
    EXPECT_GE(sb->capacity(), 10u + 200u);
    delete sb;
    EXPECT_TRUE(log.errors.empty());
}
#else
// "|" and "file:///" are ordinary path characters here: each path opens the
// file of that very name, never the one a Windows rewrite would make of it.
TEST(StringBufferFiles, CreateFromFileTakesPosixPathsAsGiven) {
    ScratchDir dir;
    struct InDir {
        std::filesystem::path previous = std::filesystem::current_path();
        explicit InDir(const std::string& d) { std::filesystem::current_path(d); }
        ~InDir() { std::filesystem::current_path(previous); }
    } inDir(dir.path());
    std::filesystem::create_directories("file:/tmp");
    std::filesystem::create_directories("tmp");
    dir.file("p|q.txt", "bar");
    dir.file("p:q.txt", "colon");
    dir.file("file:/tmp/x", "url");
    dir.file("tmp/x", "stripped");
    const struct {
        std::string path, content;
    } cases[] = {
        {"p|q.txt", "bar"},
        {dir.path("p|q.txt"), "bar"},
        {"file:///tmp/x", "url"},
        {"file:///" + dir.path("p|q.txt"), ""},  // no such file
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        RecordingLog log;
        StringBuffer* sb = StringBuffer::createFromFile(c.path.c_str(), log);
        if (c.content.empty()) {
            EXPECT_EQ(sb, nullptr);
            EXPECT_TRUE(log.hasData("filename=" + c.path));
        } else {
            ASSERT_NE(sb, nullptr);
            EXPECT_EQ(str(*sb), c.content);
            EXPECT_TRUE(log.errors.empty());
        }
        delete sb;
    }
}
#endif

TEST(StringBufferFiles, CreateFromMissingFileIsNull) {
    ScratchDir dir;
    RecordingLog log;
    std::string path = dir.path("nothing-here");
    EXPECT_EQ(StringBuffer::createFromFile(path.c_str(), log), nullptr);
    EXPECT_TRUE(log.hasError("Failed to open file"));
    EXPECT_EQ(StringBuffer::createFromFile(nullptr, log), nullptr);
}

TEST(StringBufferFiles, CreateFromFileTooLargeForMemory) {
    ScratchDir dir;
    std::string path = dir.file("huge.bin", "");
    std::error_code ec;
    // Sparse: size + 200 no longer fits in 32 bits, yet no disk space is used.
    std::filesystem::resize_file(path, 0xFFFFFFFFull - 100, ec);
    if (ec) GTEST_SKIP() << "cannot create a sparse file here: " << ec.message();
    RecordingLog log;
    EXPECT_EQ(StringBuffer::createFromFile(path.c_str(), log), nullptr);
    EXPECT_TRUE(log.hasError("File too large to hold in memory"));
    EXPECT_TRUE(log.hasData("fileSize=" + std::to_string(0xFFFFFFFFull - 100)));
}

// ------------------------------------------------------------ guard

// Under the sanitizer build the undefined-behaviour checker's vptr test stops
// the call first (the destroyed object no longer has the dynamic type); the
// process still stops at once, which is what matters here.
#if defined(__SANITIZE_ADDRESS__)
#define GUARD_MESSAGE(type) "invalid vptr"
#else
#define GUARD_MESSAGE(type) "destroyed " type
#endif

TEST(StringBufferDeathTest, UseAfterDestructionStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    alignas(StringBuffer) unsigned char storage[sizeof(StringBuffer)];
    StringBuffer* sb = new (storage) StringBuffer("alive");
    EXPECT_EQ(sb->length(), 5u);
    sb->~StringBuffer();
    EXPECT_DEATH(sb->length(), GUARD_MESSAGE("StringBuffer"));
    EXPECT_DEATH(sb->append("x"), GUARD_MESSAGE("StringBuffer"));
}
