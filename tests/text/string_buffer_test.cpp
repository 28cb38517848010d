#include "text/string_buffer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "diag/logger.h"
#include "support/engine_log.h"
#include "text/data_buffer.h"
#include "text/test_data.h"

using testsupport::str;

namespace {

namespace fs = std::filesystem;

// A directory of its own for each test, removed at the end.
struct ScratchDir {
    fs::path path =
        fs::temp_directory_path() / ("text_tests_" + std::to_string(std::random_device{}()));
    ScratchDir() { fs::create_directories(path); }
    ~ScratchDir() {
        std::error_code ec;
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path, ec);
    }
    std::string file(const std::string& name, const std::string& content) const {
        std::ofstream(path / name, std::ios::binary) << content;
        return (path / name).string();
    }
};

// Nothing logged but the root context.
bool quiet(Logger& log) {
    return testsupport::entries(log).size() == 1;
}

}  // namespace

// setString may take a part of the buffer's own text; a copy keeps the
// text and the flag, and grows by 200.
TEST(StringBuffer, SetStringClearAndCopies) {
    StringBuffer sb("first text");
    const uint32_t cap = sb.capacity();
    sb.clear();
    EXPECT_TRUE(sb.isEmpty());
    EXPECT_EQ(sb.capacity(), cap) << "clear keeps the block";
    sb.setString("second");
    sb.setString(sb.getString() + 3);
    EXPECT_EQ(str(sb), "ond");
    sb.setString(static_cast<const char*>(nullptr));
    EXPECT_EQ(str(sb), "");
    ASSERT_TRUE(sb.setString(std::string(5000, 'k').c_str()));
    EXPECT_EQ(str(sb), std::string(5000, 'k'));
    StringBuffer a("payload");
    a.setFlag(7);
    StringBuffer b(a), c;
    EXPECT_EQ(c.flag(), 0);
    c = a;
    a.setString("changed");
    for (StringBuffer* x : {&b, &c}) {
        EXPECT_EQ(str(*x), "payload");
        EXPECT_EQ(x->flag(), 7);
    }
}

// Lines of 16 bytes as 8 groups of 4 upper-case digits, appended to what is
// there; decoding the dump gives the bytes back, appended too.
TEST(StringBuffer, HexDumpAndDecode) {
    unsigned char bytes[1234];
    uint32_t x = 12345;
    for (auto& b : bytes) b = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 16);
    for (int i = 0; i < 17; ++i) bytes[i] = static_cast<unsigned char>(i);
    StringBuffer out("x:");
    StringBuffer::hexDump(bytes, 17, out);
    EXPECT_EQ(str(out), "x:0001 0203 0405 0607 0809 0A0B 0C0D 0E0F\n10");
    StringBuffer none;
    StringBuffer::hexDump(bytes, 0, none);
    EXPECT_TRUE(none.isEmpty());
    StringBuffer dump;
    StringBuffer::hexDump(bytes, sizeof bytes, dump);
    const std::string s = str(dump);
    size_t lines = 0;
    for (size_t pos = 0, nl; (nl = s.find('\n', pos)) != std::string::npos; pos = nl + 1, ++lines)
        ASSERT_EQ(nl - pos, 16u * 2 + 7) << "line " << lines;
    EXPECT_EQ(lines, sizeof bytes / 16);
    EXPECT_EQ(s.size() - s.rfind('\n') - 1, 2u * 2 + 1) << "1234 = 77 * 16 + 2";
    DataBuffer back;
    back.append("\xEE", 1);
    EXPECT_TRUE(dump.hexDecode(back));
    ASSERT_EQ(back.size(), 1u + sizeof bytes);
    EXPECT_EQ(back.data()[0], 0xEE);
    EXPECT_EQ(std::memcmp(back.data() + 1, bytes, sizeof bytes), 0);
}

TEST(StringBuffer, ParseIntLikeScanf) {
    for (const char* in : {"42", "  -17abc", "+5", "abc", "", " \t\n 99", "- 5", "0x1F", "007",
                           "2147483647", "-2147483648", "12 34", "\v\f8", "-0", "+-3"}) {
        int expected = 0;
        if (std::sscanf(in, "%d", &expected) != 1) expected = 0;
        EXPECT_EQ(StringBuffer(in).parseInt(), expected) << "input '" << in << "'";
    }
}

// ------------------------------------------------------------ files

TEST(StringBufferFiles, LoadAppendsWholeFile) {
    ScratchDir dir;
    const std::string content("line one\r\n\0binary\xFF", 18);
    StringBuffer sb("prefix:");
    Logger log;
    ASSERT_TRUE(sb.loadFromFile(dir.file("data.bin", content).c_str(), &log));
    EXPECT_EQ(str(sb), "prefix:" + content);
    EXPECT_TRUE(quiet(log)) << testsupport::xml(log);
    StringBuffer big;
    ASSERT_TRUE(big.loadFromFile(dir.file("big.txt", std::string(3000, 'm')).c_str(), nullptr));
    EXPECT_GE(big.capacity(), 3000u + 4u) << "size plus four reserved";
    EXPECT_EQ(str(big), std::string(3000, 'm'));
    StringBuffer empty;
    EXPECT_TRUE(empty.loadFromFile(dir.file("empty.txt", "").c_str(), &log));
    EXPECT_TRUE(empty.isEmpty());
}

// A missing file, a directory, an unreadable file: false, the text kept, the
// reason and the name logged; without a log nothing breaks.
TEST(StringBufferFiles, FilesThatCannotBeReadFail) {
    ScratchDir dir;
    const std::string secret = dir.file("secret.txt", "top secret");
    fs::permissions(secret, fs::perms::none);
    // A privileged user reads the file regardless of its permissions.
    const bool modesCount = !std::ifstream(secret).good();
    for (const std::string& path :
         {(dir.path / "missing.txt").string(), dir.path.string(), secret}) {
        if (path == secret && !modesCount) continue;
        SCOPED_TRACE(path);
        StringBuffer sb("unchanged");
        Logger log;
        EXPECT_FALSE(sb.loadFromFile(path.c_str(), &log));
        EXPECT_EQ(str(sb), "unchanged");
        EXPECT_TRUE(testsupport::hasError(log, "Failed to open file")) << testsupport::xml(log);
        EXPECT_EQ(testsupport::data(log, "filename"), path);
        EXPECT_FALSE(sb.loadFromFile(path.c_str(), nullptr));
        EXPECT_EQ(StringBuffer::createFromFile(path.c_str(), log), nullptr);
    }
    StringBuffer sb;
    EXPECT_FALSE(sb.loadFromFile(nullptr, nullptr));
    Logger log;
    EXPECT_EQ(StringBuffer::createFromFile(nullptr, log), nullptr);
    EXPECT_TRUE(testsupport::hasError(log, "Failed to open file"));
}

TEST(StringBufferFiles, CreateFromFileTooLargeForMemory) {
    ScratchDir dir;
    const std::string path = dir.file("huge.bin", "");
    std::error_code ec;
    // Sparse: size + 200 no longer fits in 32 bits, yet no disk space is used.
    fs::resize_file(path, 0xFFFFFFFFull - 100, ec);
    if (ec) GTEST_SKIP() << "cannot create a sparse file here: " << ec.message();
    Logger log;
    EXPECT_EQ(StringBuffer::createFromFile(path.c_str(), log), nullptr);
    EXPECT_TRUE(testsupport::hasError(log, "File too large to hold in memory"));
    EXPECT_EQ(testsupport::data(log, "fileSize"), std::to_string(0xFFFFFFFFull - 100));
}

#if defined(_WIN32)
// "file:///" is stripped, then "|" becomes ":": the old URL form of a drive
// letter, file:///C|/dir/file.
TEST(StringBufferFiles, CreateFromFileUrlWithBar) {
    ScratchDir dir;
    const std::string path = dir.file("bar.txt", "colon file");
    ASSERT_TRUE(path.size() > 3 && path[1] == ':') << path;
    std::string url = "file:///" + path.substr(0, 1) + "|" + path.substr(2);
    for (char& c : url)
        if (c == '\\') c = '/';
    Logger log;
    StringBuffer* sb = StringBuffer::createFromFile(url.c_str(), log);
    ASSERT_NE(sb, nullptr);
    EXPECT_EQ(str(*sb), "colon file");
    EXPECT_GE(sb->capacity(), 10u + 200u);
    delete sb;
    EXPECT_TRUE(quiet(log)) << testsupport::xml(log);
}
#else
// "|" and "file:///" are ordinary path characters here: each path opens the
// file of that very name, never the one a Windows rewrite would make of it.
TEST(StringBufferFiles, CreateFromFileTakesPosixPathsAsGiven) {
    ScratchDir dir;
    struct InDir {
        fs::path previous = fs::current_path();
        explicit InDir(const fs::path& d) { fs::current_path(d); }
        ~InDir() { fs::current_path(previous); }
    } inDir(dir.path);
    fs::create_directories("file:/tmp");
    fs::create_directories("tmp");
    const std::string bar = dir.file("p|q.txt", "bar");
    dir.file("p:q.txt", "colon");
    dir.file("file:/tmp/x", "url");
    dir.file("tmp/x", "stripped");
    const std::pair<std::string, std::string> kCases[] = {
        {"p|q.txt", "bar"}, {bar, "bar"}, {"file:///tmp/x", "url"}, {"file:///" + bar, ""}};
    for (const auto& [path, content] : kCases) {
        SCOPED_TRACE(path);
        Logger log;
        StringBuffer* sb = StringBuffer::createFromFile(path.c_str(), log);
        if (content.empty()) {
            EXPECT_EQ(sb, nullptr);
            EXPECT_EQ(testsupport::data(log, "filename"), path);
        } else {
            ASSERT_NE(sb, nullptr);
            EXPECT_EQ(str(*sb), content);
            EXPECT_TRUE(quiet(log)) << testsupport::xml(log);
        }
        delete sb;
    }
}
#endif
