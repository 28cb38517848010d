#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "diag/logger.h"
#include "platform/code_pages.h"
#include "support/engine_log.h"
#include "support/hex.h"
#include "support/scratch.h"
#include "text/data_buffer.h"
#include "text/ext_ptr_array.h"
#include "text/memory.h"
#include "text/string_buffer.h"
#include "text/test_data.h"

using testsupport::ScratchDir;
using testsupport::str;

namespace {

namespace fs = std::filesystem;
using Arg = const std::string&;
using U = uint32_t;

// b is text, or for an array the element handed to the call.
#define OP(T, ...)                                            \
    [](T& s, Arg a, [[maybe_unused]] const auto& b) -> long { \
        (void)a;                                              \
        __VA_ARGS__;                                          \
    }
const std::map<std::string, std::function<long(StringBuffer&, Arg, Arg)>> kStringOps = {
    {"trim", OP(StringBuffer, s.trim(); return 0)},
    {"trimRight", OP(StringBuffer, s.trimRight(); return 0)},
    {"lower", OP(StringBuffer, s.toLowerCase(); return 0)},
    {"upper", OP(StringBuffer, s.toUpperCase(); return 0)},
    {"htmlEscape", OP(StringBuffer, s.htmlEscape(); return 0)},
    {"replaceAll", OP(StringBuffer, return s.replaceAll(a.c_str(), b.c_str()))},
    {"removeChar", OP(StringBuffer, return s.removeChar(a[0]))},
    {"replaceChar", OP(StringBuffer, return s.replaceChar(a[0], b[0]))},
    {"countChar", OP(StringBuffer, return s.countChar(a[0]))},
    {"truncate", OP(StringBuffer, s.truncate(std::stoul(a)); return 0)},
    {"clear", OP(StringBuffer, const U cap = s.capacity(); s.clear(); return s.capacity() == cap)},
    {"setString", OP(StringBuffer, return s.setString(a.empty() ? nullptr : a.c_str()))},
    {"setOwnTail", OP(StringBuffer, return s.setString(s.getString() + std::stoul(a)))},
    {"append", OP(StringBuffer, return s.append(a.empty() ? nullptr : a.c_str()))},
    {"appendInt", OP(StringBuffer, return s.appendInt(std::stoi(a)))},
    {"appendInt64", OP(StringBuffer, return s.appendInt64(std::stoll(a)))},
    {"appendRepeated", OP(StringBuffer, return s.appendRepeated(a[0], std::stoul(b)))},
    {"prepend", OP(StringBuffer, return s.prepend(a.c_str()))},
    {"charAt", OP(StringBuffer, return s.charAt(std::stoul(a)))},
    {"equals", OP(StringBuffer, return s.equals(a.c_str()) && s.equals(StringBuffer(a.c_str())))},
    {"equalsIgnoreCase", OP(StringBuffer, return s.equalsIgnoreCase(a.c_str()))},
    {"contains", OP(StringBuffer, return s.contains(a.c_str()))},
    {"beginsWith", OP(StringBuffer, return s.beginsWith(a.c_str()))},
    {"endsWith", OP(StringBuffer, return s.endsWith(a.c_str()))},
    {"find", OP(StringBuffer, return s.find(a.c_str(), std::stoul(b)))},
    {"findChar", OP(StringBuffer, return s.findChar(a[0], std::stoul(b)))},
    {"is7bit", OP(StringBuffer, return s.is7bit(std::stoul(a)))},
    {"hexDump", OP(StringBuffer, StringBuffer::hexDump(a.data(), U(a.size()), s); return 0)},
    {"hexDecode", OP(StringBuffer, DataBuffer out; out.append(a.data(), U(a.size()));
                     bool ok = s.hexDecode(out); s.setString(out.data(), out.size()); return ok)},
    {"convertCodePage", OP(StringBuffer, return s.convertCodePage(std::stoul(a), std::stoul(b)))},
    // Copied, then assigned to another (over a longer text, and to itself);
    // the original and the first copy changed apart, the three appended: each
    // has its own text and kept the flag (the result: flag of each copy).
    {"copy", OP(StringBuffer, s.setFlag(7); StringBuffer c(s), d("something longer"); d = c; d = d;
                s.replaceChar(a[0], b[0]); c.append("!"); s.append(c); s.append(d);
                return c.flag() * 10 + d.flag())},
};
const std::map<std::string, std::function<long(DataBuffer&, Arg, Arg)>> kDataOps = {
    {"equals", OP(DataBuffer, return s.equals(a.data(), U(a.size())))},
    {"containsByte", OP(DataBuffer, return s.containsByte(a[0]))},
    {"replaceByte", OP(DataBuffer, return s.replaceByte(a[0], b[0]))},
    {"reverse", OP(DataBuffer, s.reverse(); return 0)},
    {"removeFront", OP(DataBuffer, s.removeFront(std::stoul(a)); return 0)},
    {"truncate", OP(DataBuffer, s.truncate(std::stoul(a)); return 0)},
    {"append", OP(DataBuffer, return s.append(a.data(), U(a.size())))},
    {"clearAppend", OP(DataBuffer, s.clear(); return s.append(a.data(), U(a.size())))},
    {"appendCapacity", OP(DataBuffer, s.append(a.data(), U(a.size())); return s.capacity())},
    // An engine block holding A taken over, then B appended: the block is the
    // buffer's own, used in place (1) and freed by it; the sanitizer build
    // reports a leak or double free, also of what the buffer had before.
    {"takeOver",
     OP(DataBuffer, void* block = text::allocateBlock(32); std::memcpy(block, a.data(), a.size());
        s.takeOver(block, U(a.size()), 32); s.append(b.data(), U(b.size()));
        return s.data() == block && s.capacity() == 32 && !s.isBorrowed())},
    // Copied, then assigned to another (over longer bytes, and to itself);
    // the original and the first copy changed apart, the three appended: each
    // has its own bytes. The result counts the copies still borrowing.
    {"copy", OP(DataBuffer, DataBuffer c(s), d; d.append("something longer", 16); d = c; d = d;
                s.reverse(); c.replaceByte(a[0], b[0]); s.append(c); s.append(d);
                return c.isBorrowed() + d.isBorrowed())},
};

// The elements of the arrays, named by a digit; the live ones are listed.
std::set<const BrenvikObject*> gLive;
class Counted : public BrenvikObject {
  public:
    explicit Counted(char id) : id(id) { gLive.insert(this); }
    ~Counted() override { gLive.erase(this); }
    const char id;
};

long idOf(BrenvikObject* o) {
    return o ? static_cast<Counted*>(o)->id - '0' : -1;
}

const std::map<std::string, std::function<long(ExtPtrArray&, Arg, BrenvikObject*)>> kArrayOps = {
    {"append", OP(ExtPtrArray, return s.append(b))},
    {"insertAt", OP(ExtPtrArray, return s.insertAt(std::stoul(a), b))},
    {"setAt", OP(ExtPtrArray, return idOf(s.setAt(std::stoul(a), b)))},
    {"getAt", OP(ExtPtrArray, return idOf(s.getAt(std::stoul(a))))},
    {"removeAt", OP(ExtPtrArray, return idOf(s.removeAt(std::stoul(a))))},
    {"last", OP(ExtPtrArray, return idOf(s.last()))},
    {"pop", OP(ExtPtrArray, return idOf(s.pop()))},
    {"deleteAll", OP(ExtPtrArray, const size_t live = gLive.size(); s.deleteAll();
                     return long(live - gLive.size()))},
    {"truncateNoDelete", OP(ExtPtrArray, s.truncateNoDelete(); return 0)},
};
#undef OP

}  // namespace

// tests/data/text/buffer-ops.tsv: one operation on a StringBuffer, DataBuffer
// or ExtPtrArray, the content after and what it returned.
TEST(Buffers, OperationVectors) {
    platform::setCodePagesForTesting(1252, 437);
    for (const testdata::Row& r : testdata::rows("text/buffer-ops.tsv", 7)) {
        SCOPED_TRACE(r.where);
        const std::string &kind = r.f[0], &op = r.f[1], &before = r.f[2], &a = r.f[3], &b = r.f[4];
        std::string after;
        long got = 0;
        if (kind == "string") {
            ASSERT_TRUE(kStringOps.count(op));
            StringBuffer sb;
            ASSERT_TRUE(sb.append(before.data(), U(before.size())));
            got = kStringOps.at(op)(sb, a, b);
            after = str(sb);
            EXPECT_EQ(sb.getString()[sb.length()], 0) << "terminated";
        } else if (kind == "array") {
            ASSERT_TRUE(kArrayOps.count(op));
            std::vector<Counted*> made;  // the elements before, then the one handed
            for (char c : before + b) made.push_back(c == '.' ? nullptr : new Counted(c));
            ExtPtrArray array;
            for (size_t i = 0; i < before.size(); ++i) ASSERT_TRUE(array.append(made[i]));
            const size_t live = gLive.size();
            got = kArrayOps.at(op)(array, a, b.empty() ? nullptr : made.back());
            EXPECT_EQ(live - gLive.size(), op == "deleteAll" ? size_t(got) : 0) << "deleted";
            for (uint32_t i = 0; i < array.count(); ++i)
                after += array.getAt(i) ? array.at<Counted>(i)->id : '.';
            array.truncateNoDelete();
            for (Counted* c : made)
                if (gLive.count(c)) delete c;
        } else {
            ASSERT_TRUE(kDataOps.count(op));
            const std::string lent = before;
            DataBuffer db;
            if (kind == "borrowed") {
                db.borrow(lent.data(), U(lent.size()));
                EXPECT_TRUE(db.isBorrowed());
                EXPECT_EQ(db.data(), reinterpret_cast<const unsigned char*>(lent.data()));
            } else {
                db.append(before.data(), U(before.size()));
            }
            got = kDataOps.at(op)(db, a, b);
            after = str(db);
            EXPECT_EQ(db.isEmpty(), after.empty());
            EXPECT_EQ(lent, before) << "borrowed bytes are never written";
        }
        EXPECT_EQ(testsupport::toHex(after), testsupport::toHex(r.f[5]));
        EXPECT_EQ(got, std::stol(r.f[6]));
    }
    platform::setCodePagesForTesting(0, 0);
}

// tests/data/text/growth.tsv: capacities call by call, and the content
// kept through every enlargement.
TEST(Buffers, GrowthVectors) {
    std::unique_ptr<StringBuffer> sb;
    std::unique_ptr<DataBuffer> db;
    std::unique_ptr<ExtPtrArray> array;
    std::string content;  // what the buffer must hold
    uint32_t next = 0;    // the bytes appended follow a pattern
    Counted element('0');
    // The calls of each buffer; each gets the bytes to add (if any) and N.
    const std::map<std::string, std::function<bool(Arg, U)>> kCalls = {
        {"string append", [&](Arg add, U) { return sb->append(add.data(), U(add.size())); }},
        {"string appendChar", [&](Arg add, U) { return sb->appendChar(add[0]); }},
        {"string own", [&](Arg, U) { return sb->append(*sb); }},
        {"string reserveMore", [&](Arg, U size) { return sb->reserveMore(size); }},
        {"string shrink", [&](Arg, U) { return sb->shrinkToFit(), true; }},
        {"string copy", [&](Arg, U) { return !!(sb = std::make_unique<StringBuffer>(*sb)); }},
        {"data append", [&](Arg add, U) { return db->append(add.data(), U(add.size())); }},
        {"data appendByte", [&](Arg add, U) { return db->appendByte(add[0]); }},
        {"data own", [&](Arg, U) { return db->append(*db); }},
        {"data reserve", [&](Arg, U size) { return db->reserve(size); }},
        {"array append", [&](Arg, U) { return array->append(&element); }},
    };
    for (const testdata::Row& r : testdata::rows("text/growth.tsv", 8)) {
        SCOPED_TRACE(r.where);
        const std::string &kind = r.f[0], &made = r.f[1], &call = r.f[2];
        const uint32_t size = std::stoul(r.f[3]), calls = std::stoul(r.f[4]);
        if (made != "+") {
            if (array) array->truncateNoDelete();
            content.clear(), sb.reset(), db.reset(), array.reset();
            if (kind == "array") array = std::make_unique<ExtPtrArray>();
            if (kind == "data") db = std::make_unique<DataBuffer>();
            if (made.rfind("text ", 0) == 0) {
                content = std::string("0123456789").substr(0, std::stoul(made.substr(5)));
                sb = std::make_unique<StringBuffer>(content.empty() ? nullptr : content.c_str());
            } else if (made.rfind("reserve ", 0) == 0) {
                sb = std::make_unique<StringBuffer>(
                    StringBuffer::Reserve{U(std::stoul(made.substr(8)))});
            } else if (kind == "string") {
                sb = std::make_unique<StringBuffer>();
            }
        }
        for (uint32_t i = 0; i < calls; ++i) {
            std::string add;
            if (call == "own") add = content;
            if (call == "append" || call == "appendChar" || call == "appendByte")
                while (add.size() < size) add += static_cast<char>(next++ * 7 + 3);
            content += add;
            ASSERT_TRUE(kCalls.count(kind + " " + call)) << call;
            ASSERT_TRUE(kCalls.at(kind + " " + call)(add, size));
        }
        const uint32_t capacity = sb ? sb->capacity() : db ? db->capacity() : array->capacity();
        EXPECT_EQ(capacity, std::stoul(r.f[5]));
        if (!r.f[6].empty()) {
            EXPECT_EQ(sb ? sb->growth() : array->growthStep(), std::stoul(r.f[6]));
        }
        if (array) {
            ASSERT_EQ(array->count(), content.size());
            for (uint32_t i = 0; i < array->count(); i += 997) ASSERT_EQ(array->getAt(i), &element);
        } else {
            EXPECT_TRUE((sb ? str(*sb) : str(*db)) == content) << "the bytes survive";
        }
    }
    if (array) array->truncateNoDelete();
    EXPECT_TRUE(gLive.count(&element)) << "the arrays never delete";
}

// Under the sanitizer build the undefined-behaviour checker's vptr test stops
// the call first (the destroyed object no longer has the dynamic type); the
// process still stops at once, which is what matters here.
#if defined(__SANITIZE_ADDRESS__)
#define GUARD_MESSAGE(type) "invalid vptr"
#else
#define GUARD_MESSAGE(type) "destroyed " type
#endif

TEST(BufferDeathTest, UseAfterDestructionStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    alignas(DataBuffer) unsigned char dbStorage[sizeof(DataBuffer)];
    DataBuffer* db = new (dbStorage) DataBuffer();
    db->append("x", 1);
    db->~DataBuffer();
    EXPECT_DEATH(db->size(), GUARD_MESSAGE("DataBuffer"));
    EXPECT_DEATH(db->appendByte(1), GUARD_MESSAGE("DataBuffer"));
    alignas(StringBuffer) unsigned char sbStorage[sizeof(StringBuffer)];
    StringBuffer* sb = new (sbStorage) StringBuffer("alive");
    EXPECT_EQ(sb->length(), 5u);
    sb->~StringBuffer();
    EXPECT_DEATH(sb->length(), GUARD_MESSAGE("StringBuffer"));
    EXPECT_DEATH(sb->append("x"), GUARD_MESSAGE("StringBuffer"));
}

// ------------------------------------------------------------ StringBuffer

TEST(StringBuffer, ParseIntLikeScanf) {
    for (const char* in : {"42", "  -17abc", "+5", "abc", "", " \t\n 99", "- 5", "0x1F", "007",
                           "2147483647", "-2147483648", "12 34", "\v\f8", "-0", "+-3"}) {
        int expected = 0;
        if (std::sscanf(in, "%d", &expected) != 1) expected = 0;
        EXPECT_EQ(StringBuffer(in).parseInt(), expected) << "input '" << in << "'";
    }
}

// A move hands over the block itself: the text arrives whole without an
// allocation (so it cannot be lost to one), and the source is a default
// buffer again, ready for use. Texts of several sizes, an empty one too.
TEST(StringBuffer, MoveTakesTheBlockAndLeavesADefaultBuffer) {
    for (const std::string& text : {std::string(), std::string("MAIL FROM:<a@b>\r\n"),
                                    std::string(5000, 'x') + std::string(1, '\0') + "tail"}) {
        StringBuffer source;
        source.append(text.data(), static_cast<uint32_t>(text.size()));
        source.setFlag(7);
        const char* block = source.getString();

        StringBuffer moved(std::move(source));
        EXPECT_EQ(str(moved), text);
        EXPECT_EQ(moved.flag(), 7);
        if (!text.empty()) {
            EXPECT_EQ(moved.getString(), block) << "the same block, not a copy";
        }
        EXPECT_EQ(source.length(), 0u);
        EXPECT_EQ(source.capacity(), 202u);
        EXPECT_EQ(source.growth(), 202u);
        ASSERT_TRUE(source.append("again"));
        EXPECT_EQ(str(source), "again");

        StringBuffer target("old text that is freed");
        target = std::move(moved);
        EXPECT_EQ(str(target), text);
        EXPECT_EQ(moved.length(), 0u);
        StringBuffer& self = target;
        target = std::move(self);
        EXPECT_EQ(str(target), text) << "a move onto itself keeps the text";
    }
}

// ------------------------------------------------------------ files

// loadFromFile appends the whole file to the text there, createFromFile makes
// a buffer of it. A file that cannot be read (missing, a directory,
// unreadable) gives false or null, keeps the text and logs the reason and the
// name; without a log nothing breaks.
TEST(StringBufferFiles, LoadAndCreateFromFile) {
    ScratchDir dir;
    const std::string binary("line one\r\n\0binary\xFF", 18), big(3000, 'm');
    std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {dir.file("data.bin", binary), binary}, {dir.file("big.txt", big), big},
        {dir.file("empty.txt", ""), ""},        {"missing.txt", std::nullopt},
        {dir.path.string(), std::nullopt},
    };
#if defined(_WIN32)
    // "file:///" is stripped, then "|" becomes ":": the old URL form of a
    // drive letter, file:///C|/dir/file.
    const std::string path = dir.file("bar.txt", "colon file");
    std::string url = "file:///" + path.substr(0, 1) + "|" + path.substr(2);
    for (char& c : url)
        if (c == '\\') c = '/';
    cases.push_back({url, "colon file"});
#else
    // "|" and "file:///" are ordinary path characters here: each path opens
    // the file of that very name, never the one a Windows rewrite would make.
    fs::create_directories("file:/tmp");
    fs::create_directories("tmp");
    const std::string bar = dir.file("p|q.txt", "bar");
    dir.file("p:q.txt", "colon");
    dir.file("file:/tmp/x", "url");
    dir.file("tmp/x", "stripped");
    cases.insert(cases.end(), {{"p|q.txt", "bar"},
                               {bar, "bar"},
                               {"file:///tmp/x", "url"},
                               {"file:///" + bar, std::nullopt}});
#endif
    const std::string secret = dir.file("secret.txt", "top secret");
    fs::permissions(secret, fs::perms::none);
    // A privileged user reads the file regardless of its permissions.
    if (!std::ifstream(secret).good()) cases.push_back({secret, std::nullopt});
    for (const auto& [path, content] : cases) {
        SCOPED_TRACE(path);
        Logger log;
        // Only createFromFile reads the URL form; loadFromFile takes a plain path.
#if defined(_WIN32)
        const bool plainPath = path.rfind("file:///", 0) != 0;
#else
        const bool plainPath = true;
#endif
        if (plainPath) {
            StringBuffer sb("prefix:");
            EXPECT_EQ(sb.loadFromFile(path.c_str(), &log), content.has_value());
            EXPECT_EQ(str(sb), "prefix:" + content.value_or(""));
            EXPECT_GE(sb.capacity(), sb.length() + (content ? 4 : 0)) << "size plus four reserved";
            EXPECT_EQ(StringBuffer().loadFromFile(path.c_str(), nullptr), content.has_value());
        }
        StringBuffer* made = StringBuffer::createFromFile(path.c_str(), log);
        ASSERT_EQ(made != nullptr, content.has_value());
        if (made) {
            EXPECT_EQ(str(*made), *content);
            EXPECT_GE(made->capacity(), content->size() + 200);
            EXPECT_EQ(testsupport::entries(log).size(), 1u) << testsupport::xml(log);
        } else {
            EXPECT_TRUE(testsupport::hasError(log, "Failed to open file")) << testsupport::xml(log);
            EXPECT_EQ(testsupport::data(log, "filename"), path);
        }
        delete made;
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
