#include "platform/random.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

TEST(SecureRandom, TwoDrawsDiffer) {
    unsigned char a[32] = {0}, b[32] = {0};
    ASSERT_TRUE(platform::secureRandom(a, sizeof(a)));
    ASSERT_TRUE(platform::secureRandom(b, sizeof(b)));
    EXPECT_NE(std::memcmp(a, b, sizeof(a)), 0);
}

TEST(SecureRandom, ZeroLengthSucceeds) {
    unsigned char guard = 0x5a;
    EXPECT_TRUE(platform::secureRandom(&guard, 0));
    EXPECT_EQ(guard, 0x5a);
    EXPECT_TRUE(platform::secureRandom(nullptr, 0));
}

// A large, odd-sized request at an odd address is filled to the last byte
// and not one byte further. The generator may hand it over in pieces.
TEST(SecureRandom, LargeRequestIsFilledExactly) {
    const size_t n = (1u << 20) + 7;
    std::vector<unsigned char> buf(n + 2, 0);
    buf.back() = 0xa5;
    ASSERT_TRUE(platform::secureRandom(buf.data() + 1, n));
    EXPECT_EQ(buf.front(), 0);
    EXPECT_EQ(buf.back(), 0xa5);
    const unsigned char* p = buf.data() + 1;
    for (size_t off = 0; off < n; off += 64) {
        const unsigned char* end = p + std::min(off + 64, n);
        ASSERT_TRUE(std::any_of(p + off, end, [](unsigned char c) { return c != 0; }))
            << "zero window at " << off;
    }
}

}  // namespace
