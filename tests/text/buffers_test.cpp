#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/code_pages.h"
#include "support/engine_log.h"
#include "text/data_buffer.h"
#include "text/ext_ptr_array.h"
#include "text/string_buffer.h"
#include "text/test_data.h"

namespace {

using testdata::unescape;
using Arg = const std::string&;
using U = uint32_t;
std::string bytesOf(const DataBuffer& d) {
    return std::string(reinterpret_cast<const char*>(d.data()), d.size());
}

#define OP(T, body)                  \
    [](T& s, Arg a, Arg b) -> long { \
        (void)a, (void)b;            \
        body;                        \
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
    {"hexDecode", OP(StringBuffer, DataBuffer out; bool ok = s.hexDecode(out);
                     s.setString(out.data(), out.size()); return ok)},
    {"convertCodePage", OP(StringBuffer, return s.convertCodePage(std::stoul(a), std::stoul(b)))},
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
};
#undef OP

// Counts its destructions in a slot the test owns.
class Counted : public BrenvikObject {
  public:
    Counted(int id, int* destroyed) : id(id), m_destroyed(destroyed) {}
    ~Counted() override { ++*m_destroyed; }
    int id;

  private:
    int* m_destroyed;
};

std::vector<int> ids(const ExtPtrArray& a) {
    std::vector<int> out;
    for (uint32_t i = 0; i < a.count(); ++i) out.push_back(a.at<Counted>(i)->id);
    return out;
}

}  // namespace

// tests/data/text/buffer-ops.tsv: one operation on StringBuffer or
// DataBuffer, the bytes after and what it returned.
TEST(Buffers, OperationVectors) {
    platform::setCodePagesForTesting(1252, 437);
    int n = 0;
    for (const testdata::Row& r : testdata::rows("text/buffer-ops.tsv")) {
        ASSERT_GE(r.f.size(), 7u) << r.where();
        SCOPED_TRACE(r.where() + ": " + r.f[0] + " " + r.f[1] + " '" + r.f[2] + "'");
        const std::string before = unescape(r.f[2]), a = unescape(r.f[3]), b = unescape(r.f[4]);
        std::string after;
        long got = 0;
        if (r.f[0] == "string") {
            ASSERT_TRUE(kStringOps.count(r.f[1]));
            StringBuffer sb;
            ASSERT_TRUE(sb.append(before.data(), U(before.size())));
            got = kStringOps.at(r.f[1])(sb, a, b);
            after = testsupport::str(sb);
            EXPECT_EQ(sb.getString()[sb.length()], 0) << "terminated";
        } else {
            ASSERT_TRUE(kDataOps.count(r.f[1]));
            const std::string lent = before;
            DataBuffer db;
            if (r.f[0] == "borrowed") {
                db.borrow(lent.data(), U(lent.size()));
                EXPECT_TRUE(db.isBorrowed());
                EXPECT_EQ(db.data(), reinterpret_cast<const unsigned char*>(lent.data()));
            } else {
                db.append(before.data(), U(before.size()));
            }
            got = kDataOps.at(r.f[1])(db, a, b);
            after = bytesOf(db);
            EXPECT_EQ(db.isEmpty(), after.empty());
            EXPECT_EQ(lent, before) << "borrowed bytes are never written";
        }
        EXPECT_EQ(testdata::hex(after), testdata::hex(unescape(r.f[5])));
        EXPECT_EQ(got, std::stol(r.f[6]));
        ++n;
    }
    EXPECT_GE(n, 80);
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
    int destroyed = 0, n = 0;
    Counted element(0, &destroyed);
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
    for (const testdata::Row& r : testdata::rows("text/growth.tsv")) {
        ASSERT_EQ(r.f.size(), 8u) << r.where();
        SCOPED_TRACE(r.where() + ": " + r.f[0] + " " + r.f[1] + ", " + r.f[4] + " x " + r.f[2] +
                     " " + r.f[3]);
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
        if (r.f[6] != "-") {
            EXPECT_EQ(sb ? sb->growth() : array->growthStep(), std::stoul(r.f[6]));
        }
        if (array) {
            ASSERT_EQ(array->count(), content.size());
            for (uint32_t i = 0; i < array->count(); i += 997) ASSERT_EQ(array->getAt(i), &element);
        } else {
            EXPECT_TRUE((sb ? testsupport::str(*sb) : bytesOf(*db)) == content)
                << "the bytes survive";
        }
        ++n;
    }
    if (array) array->truncateNoDelete();
    EXPECT_EQ(destroyed, 0);
    EXPECT_GE(n, 40);
}

TEST(DataBuffer, CopiesOwnTheirBytes) {
    DataBuffer a;
    a.append("payload", 7);
    DataBuffer b(a), c;
    c.append("something longer", 16);
    c = a;
    c = c;
    a.replaceByte('p', 'P');
    EXPECT_EQ(bytesOf(b), "payload");
    EXPECT_EQ(bytesOf(c), "payload");
    EXPECT_NE(b.data(), c.data());
    char external[] = "view";
    DataBuffer view;
    view.borrow(external, 4);
    DataBuffer copy(view);
    EXPECT_FALSE(copy.isBorrowed());
    external[0] = 'V';
    EXPECT_EQ(bytesOf(copy), "view");
    EXPECT_EQ(bytesOf(view), "View");
    view.append("!", 1);
    EXPECT_FALSE(view.isBorrowed());
    EXPECT_EQ(view.capacity(), 4u + 20000u) << "the copy of borrowed bytes grows like an append";
}

// A block taken over is the buffer's own: used as it is, freed by it. The
// sanitizer build reports a leak or double free if ownership is wrong.
TEST(DataBuffer, TakeOverFreesTheBlock) {
    void* block = std::malloc(32);
    ASSERT_NE(block, nullptr);
    std::memcpy(block, "taken", 5);
    DataBuffer taken;
    taken.takeOver(block, 5, 32);
    EXPECT_FALSE(taken.isBorrowed());
    EXPECT_EQ(taken.capacity(), 32u);
    ASSERT_TRUE(taken.append(" over", 5));
    EXPECT_EQ(taken.data(), static_cast<unsigned char*>(block)) << "fits, no reallocation";
    EXPECT_EQ(bytesOf(taken), "taken over");
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

// Only deleteAll deletes, each element once (through the virtual destructor);
// removeAt, pop, setAt and truncateNoDelete hand elements back.
TEST(ExtPtrArray, InsertRemoveAndOwnership) {
    ExtPtrArray a;
    EXPECT_EQ(a.count(), 0u);
    EXPECT_EQ(a.getAt(0), nullptr);
    EXPECT_EQ(a.last(), nullptr);
    EXPECT_EQ(a.pop(), nullptr);
    EXPECT_EQ(a.removeAt(0), nullptr);
    a.deleteAll();
    std::vector<int> destroyed(12, 0);
    std::vector<Counted*> o;
    for (int i = 0; i < 12; ++i) o.push_back(new Counted(i, &destroyed[i]));
    for (int i : {1, 3, 5, 6, 7, 8, 9}) ASSERT_TRUE(a.append(o[i]));
    ASSERT_TRUE(a.insertAt(1, o[2]));
    ASSERT_TRUE(a.insertAt(0, o[0]));
    ASSERT_TRUE(a.insertAt(100, o[10]));  // past the end appends
    EXPECT_EQ(ids(a), (std::vector<int>{0, 1, 2, 3, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(a.setAt(4, o[4]), o[5]);
    EXPECT_EQ(a.setAt(99, o[11]), nullptr);
    EXPECT_EQ(a.removeAt(0), o[0]);
    EXPECT_EQ(a.removeAt(8), o[10]);
    EXPECT_EQ(a.removeAt(3), o[4]);
    EXPECT_EQ(a.removeAt(7), nullptr);
    EXPECT_EQ(a.last(), o[9]);
    EXPECT_EQ(a.pop(), o[9]);
    EXPECT_EQ(ids(a), (std::vector<int>{1, 2, 3, 6, 7, 8}));
    for (int d : destroyed) EXPECT_EQ(d, 0);
    a.append(nullptr);  // a hole is allowed
    a.deleteAll();
    EXPECT_EQ(a.count(), 0u);
    a.deleteAll();
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(destroyed[i], i >= 1 && i <= 8 && i != 4 && i != 5 ? 1 : 0) << i;
    for (int i : {0, 4, 5, 9, 10, 11}) delete o[i];
    a.append(o[1]);
    a.truncateNoDelete();
    EXPECT_EQ(a.count(), 0u);
}
