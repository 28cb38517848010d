#include "text/data_buffer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {
std::string bytesOf(const DataBuffer& db) {
    return std::string(reinterpret_cast<const char*>(db.data()), db.size());
}
}  // namespace

// ------------------------------------------------------------ growth rules

TEST(DataBufferGrowth, NewBufferHasNoAllocation) {
    DataBuffer db;
    EXPECT_EQ(db.size(), 0u);
    EXPECT_EQ(db.capacity(), 0u);
    EXPECT_EQ(db.data(), nullptr);
    EXPECT_TRUE(db.isEmpty());
    EXPECT_FALSE(db.isBorrowed());
}

TEST(DataBufferGrowth, AppendEnlargesBySizePlusMaxOfCountAnd20000) {
    DataBuffer db;
    std::vector<unsigned char> chunk(10, 0x11);
    ASSERT_TRUE(db.append(chunk.data(), 10));
    EXPECT_EQ(db.capacity(), 20000u);  // 0 + max(10, 20000)
    std::vector<unsigned char> fill(19990, 0x22);
    ASSERT_TRUE(db.append(fill.data(), static_cast<uint32_t>(fill.size())));
    EXPECT_EQ(db.size(), 20000u);
    EXPECT_EQ(db.capacity(), 20000u) << "an exact fit does not enlarge";
    ASSERT_TRUE(db.append(chunk.data(), 1));
    EXPECT_EQ(db.capacity(), 40000u);  // 20000 + max(1, 20000)
    std::vector<unsigned char> big(30000, 0x33);
    db.truncate(40000 - 1);
    while (db.size() < 40000) db.appendByte(0);
    ASSERT_EQ(db.capacity(), 40000u);
    ASSERT_TRUE(db.append(big.data(), static_cast<uint32_t>(big.size())));
    EXPECT_EQ(db.capacity(), 70000u);  // 40000 + max(30000, 20000)
    EXPECT_EQ(db.data()[0], 0x11);
    EXPECT_EQ(db.data()[10], 0x22);
    EXPECT_EQ(db.data()[69999], 0x33);
}

TEST(DataBufferGrowth, AppendByteEnlargesBy10000) {
    DataBuffer db;
    ASSERT_TRUE(db.appendByte(7));
    EXPECT_EQ(db.capacity(), 10000u);
    while (db.size() < 10000) ASSERT_TRUE(db.appendByte(static_cast<unsigned char>(db.size())));
    EXPECT_EQ(db.capacity(), 10000u);
    ASSERT_TRUE(db.appendByte(1));
    EXPECT_EQ(db.capacity(), 20000u);
    EXPECT_EQ(db.size(), 10001u);
    EXPECT_EQ(db.data()[0], 7);
    EXPECT_EQ(db.data()[300], static_cast<unsigned char>(300));
}

TEST(DataBufferGrowth, ReserveIsExact) {
    DataBuffer db;
    ASSERT_TRUE(db.reserve(50));
    EXPECT_EQ(db.capacity(), 50u);
    EXPECT_EQ(db.size(), 0u);
    db.append("abc", 3);
    EXPECT_EQ(db.capacity(), 50u);
    ASSERT_TRUE(db.reserve(10));
    EXPECT_EQ(db.capacity(), 50u);
    ASSERT_TRUE(db.reserve(100));
    EXPECT_EQ(db.capacity(), 100u);
    EXPECT_EQ(bytesOf(db), "abc");
}

TEST(DataBufferGrowth, AppendingItsOwnBytesWhileGrowing) {
    DataBuffer db;
    db.reserve(4);
    db.append("wxyz", 4);
    ASSERT_TRUE(db.append(db.data(), db.size()));
    EXPECT_EQ(bytesOf(db), "wxyzwxyz");
    ASSERT_TRUE(db.append(db));
    EXPECT_EQ(bytesOf(db), "wxyzwxyzwxyzwxyz");
}

// ------------------------------------------------------------ operations

TEST(DataBufferOps, ClearKeepsCapacity) {
    DataBuffer db;
    db.append("hello", 5);
    uint32_t cap = db.capacity();
    db.clear();
    EXPECT_EQ(db.size(), 0u);
    EXPECT_EQ(db.capacity(), cap);
}

TEST(DataBufferOps, ReplaceContainsReverse) {
    DataBuffer db;
    db.append("a.b.c", 5);
    EXPECT_TRUE(db.containsByte('.'));
    EXPECT_FALSE(db.containsByte('z'));
    EXPECT_EQ(db.replaceByte('.', '-'), 2u);
    EXPECT_EQ(bytesOf(db), "a-b-c");
    EXPECT_FALSE(db.containsByte('.'));
    db.reverse();
    EXPECT_EQ(bytesOf(db), "c-b-a");
    db.appendByte('!');
    db.reverse();
    EXPECT_EQ(bytesOf(db), "!a-b-c");
    DataBuffer empty;
    empty.reverse();
    EXPECT_FALSE(empty.containsByte(0));
}

TEST(DataBufferOps, RemoveFrontAndTruncate) {
    DataBuffer db;
    db.append("0123456789", 10);
    db.removeFront(3);
    EXPECT_EQ(bytesOf(db), "3456789");
    db.truncate(4);
    EXPECT_EQ(bytesOf(db), "3456");
    db.truncate(40);
    EXPECT_EQ(bytesOf(db), "3456");
    db.removeFront(99);
    EXPECT_TRUE(db.isEmpty());
}

TEST(DataBufferOps, Equals) {
    DataBuffer db;
    EXPECT_TRUE(db.equals(nullptr, 0));
    db.append("ab\0c", 4);
    EXPECT_TRUE(db.equals("ab\0c", 4));
    EXPECT_FALSE(db.equals("ab\0d", 4));
    EXPECT_FALSE(db.equals("ab", 2));
}

TEST(DataBufferCopy, CopyConstructorAndAssignmentAreDeep) {
    DataBuffer a;
    a.append("payload", 7);
    DataBuffer b(a);
    EXPECT_EQ(bytesOf(b), "payload");
    EXPECT_NE(a.data(), b.data());
    b.replaceByte('p', 'P');
    EXPECT_EQ(bytesOf(a), "payload");

    DataBuffer c;
    c.append("something longer than payload", 29);
    c = a;
    EXPECT_EQ(bytesOf(c), "payload");
    a.clear();
    EXPECT_EQ(bytesOf(c), "payload");
    c = c;
    EXPECT_EQ(bytesOf(c), "payload");
}

// ------------------------------------------------------------ external memory

TEST(DataBufferBorrow, WrapsWithoutOwningAndCopiesOnGrowth) {
    char external[] = "external";
    DataBuffer db;
    db.borrow(external, 8);
    EXPECT_TRUE(db.isBorrowed());
    EXPECT_EQ(db.data(), reinterpret_cast<unsigned char*>(external));
    EXPECT_EQ(db.size(), 8u);

    ASSERT_TRUE(db.append("!", 1));
    EXPECT_FALSE(db.isBorrowed());
    EXPECT_NE(db.data(), reinterpret_cast<unsigned char*>(external));
    EXPECT_EQ(bytesOf(db), "external!");
    EXPECT_EQ(db.capacity(), 8u + 20000u);
    EXPECT_STREQ(external, "external") << "the borrowed memory is never written";
}

TEST(DataBufferBorrow, InPlaceChangesDoNotTouchBorrowedMemory) {
    char external[] = "abcabc";
    DataBuffer db;
    db.borrow(external, 6);
    EXPECT_EQ(db.replaceByte('a', 'x'), 2u);
    EXPECT_EQ(bytesOf(db), "xbcxbc");
    EXPECT_STREQ(external, "abcabc");

    DataBuffer rev;
    rev.borrow(external, 6);
    rev.reverse();
    EXPECT_EQ(bytesOf(rev), "cbacba");
    EXPECT_STREQ(external, "abcabc");

    DataBuffer front;
    front.borrow(external, 6);
    front.removeFront(2);
    EXPECT_EQ(bytesOf(front), "cabc");
    EXPECT_STREQ(external, "abcabc");

    DataBuffer cleared;
    cleared.borrow(external, 6);
    cleared.clear();
    ASSERT_TRUE(cleared.append("zz", 2));
    EXPECT_EQ(bytesOf(cleared), "zz");
    EXPECT_STREQ(external, "abcabc");
}

TEST(DataBufferBorrow, CopyOfBorrowedOwnsItsBytes) {
    char external[] = "view";
    DataBuffer db;
    db.borrow(external, 4);
    DataBuffer copy(db);
    EXPECT_FALSE(copy.isBorrowed());
    EXPECT_NE(copy.data(), db.data());
    external[0] = 'V';
    EXPECT_EQ(bytesOf(copy), "view");
    EXPECT_EQ(bytesOf(db), "View");
}

TEST(DataBufferBorrow, TakeOverFreesTheBlock) {
    void* block = std::malloc(32);
    ASSERT_NE(block, nullptr);
    std::memcpy(block, "taken", 5);
    {
        DataBuffer db;
        db.takeOver(block, 5, 32);
        EXPECT_FALSE(db.isBorrowed());
        EXPECT_EQ(db.capacity(), 32u);
        EXPECT_EQ(bytesOf(db), "taken");
        ASSERT_TRUE(db.append(" over", 5));
        EXPECT_EQ(db.data(), static_cast<unsigned char*>(block)) << "fits, no reallocation";
        EXPECT_EQ(bytesOf(db), "taken over");
    }
    // The sanitizer build reports a leak or double free here if ownership is wrong.
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

TEST(DataBufferDeathTest, UseAfterDestructionStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    alignas(DataBuffer) unsigned char storage[sizeof(DataBuffer)];
    DataBuffer* db = new (storage) DataBuffer();
    db->append("x", 1);
    db->~DataBuffer();
    EXPECT_DEATH(db->size(), GUARD_MESSAGE("DataBuffer"));
    EXPECT_DEATH(db->appendByte(1), GUARD_MESSAGE("DataBuffer"));
}
