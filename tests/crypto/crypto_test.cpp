#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "crypto/des.h"
#include "crypto/md4.h"
#include "crypto/md5.h"
#include "support/hex.h"
#include "text/test_data.h"

namespace {

using testsupport::fromHex;
using testsupport::toHex;

// The digest in one go, which must match the one made in two pieces split
// anywhere (when short) and in pieces of several sizes, each after a reset
// that drops what came before.
template <class Hash>
std::string digestOf(const std::string& s) {
    unsigned char d[Hash::kDigestSize];
    Hash::digest(s.data(), s.size(), d);
    const std::string whole = toHex(d, sizeof d);
    auto inPieces = [&](size_t first, size_t step) {
        Hash h;
        h.update("leftover", 8);
        h.reset();
        h.update(s.data(), first);
        for (size_t off = first; off < s.size(); off += step)
            h.update(s.data() + off, std::min(step, s.size() - off));
        h.update(nullptr, 0);
        h.finish(d);
        return toHex(d, sizeof d);
    };
    for (size_t split = 0; s.size() < 1000 && split <= s.size(); ++split)
        EXPECT_EQ(inPieces(split, s.size()), whole) << "split at " << split;
    for (size_t step : {1u, 13u, 55u, 64u, 100u})
        EXPECT_EQ(inPieces(0, step), whole) << "pieces of " << step;
    return whole;
}

std::string lmHash(std::string password) {
    static const unsigned char kMagic[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
    password.resize(14, '\0');
    unsigned char hash[16];
    const auto* p = reinterpret_cast<const unsigned char*>(password.data());
    des::encryptBlock56(p, kMagic, hash);
    des::encryptBlock56(p + 7, kMagic, hash + 8);
    return toHex(hash, 16);
}

std::string compute(const std::string& alg, const std::string& key, const std::string& msg) {
    if (alg == "md4") return digestOf<Md4>(msg);
    if (alg == "md5") return digestOf<Md5>(msg);
    if (alg == "lm") return lmHash(msg);
    unsigned char out[16];
    if (alg == "hmac-md5") {
        hmacMd5(key.data(), key.size(), msg.data(), msg.size(), out);
        return toHex(out, 16);
    }
    const std::string k = fromHex(key), m = fromHex(msg);
    const auto* bytes = reinterpret_cast<const unsigned char*>(m.data());
    if (alg == "des" && k.size() == 8 && m.size() == 8) {
        // In place; the LM hashes encrypt into another buffer.
        std::memcpy(out, bytes, 8);
        des::encryptBlock(reinterpret_cast<const unsigned char*>(k.data()), out, out);
        return toHex(out, 8);
    }
    if (alg == "expand" && m.size() == 7) {
        des::expandKey(bytes, out);
        return toHex(out, 8);
    }
    return "<no such algorithm or bad sizes>";
}

}  // namespace

TEST(CryptoVectors, PublishedKnownAnswers) {
    std::map<std::string, int> perAlgorithm;
    for (const testdata::Row& r : testdata::rows("crypto/vectors.tsv", 4)) {
        EXPECT_EQ(compute(r.f[0], r.f[1], r.f[2]), r.f[3]) << r.where;
        ++perAlgorithm[r.f[0]];
    }
    const std::map<std::string, int> expected = {{"md4", 18}, {"md5", 7}, {"hmac-md5", 8},
                                                 {"des", 41}, {"lm", 2},  {"expand", 8}};
    EXPECT_EQ(perAlgorithm, expected);
}
