#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "crypto/des.h"
#include "crypto/md4.h"
#include "crypto/md5.h"
#include "text/test_data.h"

namespace {

using testdata::hex;

// "text" or hex, either maybe followed by *N; "-" is nothing.
std::string value(const std::string& field) {
    if (field == "-") return "";
    const bool quoted = field[0] == '"';
    const size_t end = quoted ? field.rfind('"') : field.find('*');
    const std::string unit =
        quoted ? field.substr(1, end - 1) : testdata::unhex(field.substr(0, end));
    const size_t star = field.find('*', quoted ? end : 0);
    std::string out;
    for (int n = star == std::string::npos ? 1 : std::stoi(field.substr(star + 1)); n > 0; --n)
        out += unit;
    return out;
}

template <class Hash>
std::string digestOf(const std::string& s) {
    unsigned char d[Hash::kDigestSize];
    Hash::digest(s.data(), s.size(), d);
    return hex(d, sizeof d);
}

std::string lmHash(std::string password) {
    static const unsigned char kMagic[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
    password.resize(14, '\0');
    unsigned char hash[16];
    const auto* p = reinterpret_cast<const unsigned char*>(password.data());
    des::encryptBlock56(p, kMagic, hash);
    des::encryptBlock56(p + 7, kMagic, hash + 8);
    return hex(hash, 16);
}

std::string compute(const std::string& alg, const std::string& key, const std::string& msg) {
    if (alg == "md4") return digestOf<Md4>(msg);
    if (alg == "md5") return digestOf<Md5>(msg);
    if (alg == "lm") return lmHash(msg);
    unsigned char out[16];
    if (alg == "hmac-md5") {
        hmacMd5(key.data(), key.size(), msg.data(), msg.size(), out);
        return hex(out, 16);
    }
    if (alg == "des" && key.size() == 8 && msg.size() == 8) {
        // In place; the LM hashes encrypt into another buffer.
        std::memcpy(out, msg.data(), 8);
        des::encryptBlock(reinterpret_cast<const unsigned char*>(key.data()), out, out);
        return hex(out, 8);
    }
    return "<no such algorithm or bad sizes>";
}

}  // namespace

TEST(CryptoVectors, PublishedKnownAnswers) {
    std::map<std::string, int> perAlgorithm;
    for (const testdata::Row& r : testdata::rows("crypto/vectors.tsv")) {
        ASSERT_GE(r.f.size(), 4u) << r.where();
        EXPECT_EQ(compute(r.f[0], value(r.f[1]), value(r.f[2])), r.f[3])
            << r.where() << ": " << r.f[0] << " " << r.f[1] << " " << r.f[2];
        ++perAlgorithm[r.f[0]];
    }
    const std::map<std::string, int> expected = {
        {"md4", 18}, {"md5", 7}, {"hmac-md5", 8}, {"des", 41}, {"lm", 2}};
    EXPECT_EQ(perAlgorithm, expected);
}

// Whatever the pieces, updates give the one-shot digest, whose values the
// vectors pin; reset starts over.
template <class Hash>
void checkPieces() {
    std::string data;
    for (int i = 0; i < 300; ++i) data.push_back(static_cast<char>(i * 7 + 3));
    const std::string whole = digestOf<Hash>(data);
    unsigned char d[Hash::kDigestSize];
    for (size_t split = 0; split <= data.size(); ++split) {
        Hash h;
        h.update("leftover", 8);
        h.reset();
        h.update(data.data(), split);
        h.update(nullptr, 0);
        h.update(data.data() + split, data.size() - split);
        h.finish(d);
        ASSERT_EQ(hex(d, sizeof d), whole) << "split at " << split;
    }
    for (size_t step : {1u, 13u, 64u, 100u}) {
        Hash h;
        for (size_t off = 0; off < data.size(); off += step)
            h.update(data.data() + off, std::min(step, data.size() - off));
        h.finish(d);
        EXPECT_EQ(hex(d, sizeof d), whole) << "pieces of " << step;
    }
}

TEST(CryptoVectors, UpdatesInPiecesMatchOneShot) {
    checkPieces<Md4>();
    checkPieces<Md5>();
}

// Each of the 56 key bits lands in the high seven bits of one byte, in order,
// and every byte gets odd parity (all zeros: every parity bit set; all ones:
// none).
TEST(DesExpandKey, EachBitLandsInOrderWithOddParity) {
    unsigned char key7[7], key8[8];
    std::memset(key7, 0, 7);
    des::expandKey(key7, key8);
    EXPECT_EQ(hex(key8, 8), "0101010101010101");
    std::memset(key7, 0xff, 7);
    des::expandKey(key7, key8);
    EXPECT_EQ(hex(key8, 8), "fefefefefefefefe");
    for (int bit = 0; bit < 56; ++bit) {
        std::memset(key7, 0, 7);
        key7[bit / 8] = static_cast<unsigned char>(0x80 >> (bit % 8));
        des::expandKey(key7, key8);
        for (int i = 0; i < 8; ++i) {
            const int want = i == bit / 7 ? 0x80 >> (bit % 7) : 0;
            EXPECT_EQ(key8[i] & 0xfe, want) << "bit " << bit << ", byte " << i;
            int ones = 0;
            for (int b = 0; b < 8; ++b) ones += (key8[i] >> b) & 1;
            EXPECT_EQ(ones % 2, 1) << "bit " << bit << ", byte " << i;
        }
    }
}
