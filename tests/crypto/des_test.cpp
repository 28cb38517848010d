#include "crypto/des.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "crypto/md4.h"
#include "hex.h"

namespace {

using cryptotest::hex;

void fromHex(const char* h, unsigned char* out, size_t n) {
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<unsigned char>(std::stoi(std::string(h + 2 * i, 2), nullptr, 16));
}

std::string encryptHex(const char* keyHex, const char* plainHex) {
    unsigned char key[8], in[8], out[8];
    fromHex(keyHex, key, 8);
    fromHex(plainHex, in, 8);
    des::encryptBlock(key, in, out);
    return hex(out, 8);
}

struct KnownAnswer {
    const char* key;
    const char* plain;
    const char* cipher;
};

// Published known answers: the worked example of the DES literature, FIPS 81's
// "Now is t" block and rows of the NIST SP 800-17 S-box table. All were also
// confirmed with OpenSSL's legacy DES-ECB.
TEST(Des, PublishedKnownAnswers) {
    const KnownAnswer kVectors[] = {
        {"133457799bbcdff1", "0123456789abcdef", "85e813540f0ab405"},
        {"0123456789abcdef", "4e6f772069732074", "3fa40e8a984d4815"},
        {"7ca110454a1a6e57", "01a1d6d039776742", "690f5b0d9a26939b"},
        {"0131d9619dc1376e", "5cd54ca83def57da", "7a389d10354bd271"},
        {"07a1133e4a0b2686", "0248d43806f67172", "868ebb51cab4599a"},
        {"3849674c2602319e", "51454b582ddf440a", "7178876e01f19b2a"},
        {"04b915ba43feb5b6", "42fd443059577fa2", "af37fb421f8c4095"},
    };
    for (const KnownAnswer& v : kVectors)
        EXPECT_EQ(encryptHex(v.key, v.plain), v.cipher) << v.key << " / " << v.plain;
}

// Rows of the SP 800-17 variable-plaintext table: key 01..01, one plaintext
// bit set. Each bit runs through the initial permutation differently.
TEST(Des, VariablePlaintextRows) {
    const KnownAnswer kVectors[] = {
        {"0101010101010101", "8000000000000000", "95f8a5e5dd31d900"},
        {"0101010101010101", "4000000000000000", "dd7f121ca5015619"},
        {"0101010101010101", "2000000000000000", "2e8653104f3834ea"},
        {"0101010101010101", "1000000000000000", "4bd388ff6cd81d4f"},
        {"0101010101010101", "0100000000000000", "0d9f279ba5d87260"},
        {"0101010101010101", "0080000000000000", "d9031b0271bd5a0a"},
        {"0101010101010101", "0001000000000000", "f356834379d165cd"},
        {"0101010101010101", "0000080000000000", "e7fce22557d23c97"},
        {"0101010101010101", "0000000100000000", "aeb5f5ede22d1a36"},
        {"0101010101010101", "0000000080000000", "e943d7568aec0c5c"},
        {"0101010101010101", "0000000000800000", "25eb5fc3f8cf0621"},
        {"0101010101010101", "0000000000010000", "8dd45a2ddf90796c"},
        {"0101010101010101", "0000000000000100", "dd7c0bbd61fafd54"},
        {"0101010101010101", "0000000000000080", "2fbc291a570db5c4"},
        {"0101010101010101", "0000000000000002", "06e7ea22ce92708f"},
        {"0101010101010101", "0000000000000001", "166b40b44aba4bd6"},
    };
    for (const KnownAnswer& v : kVectors)
        EXPECT_EQ(encryptHex(v.key, v.plain), v.cipher) << v.plain;
}

// Rows of the SP 800-17 variable-key table: plaintext 0, one key bit set on top
// of the odd-parity key 01..01. These exercise the key schedule bit by bit.
TEST(Des, VariableKeyRows) {
    const KnownAnswer kVectors[] = {
        {"8101010101010101", "0000000000000000", "95a8d72813daa94d"},
        {"4101010101010101", "0000000000000000", "0eec1487dd8c26d5"},
        {"2101010101010101", "0000000000000000", "7ad16ffb79c45926"},
        {"0301010101010101", "0000000000000000", "4615aa1d33e72f10"},
        {"0181010101010101", "0000000000000000", "2055123350c00858"},
        {"0105010101010101", "0000000000000000", "50f636324a9b7f80"},
        {"0101090101010101", "0000000000000000", "882bff0aa01a0b87"},
        {"0101011101010101", "0000000000000000", "a81fbd448f9e522f"},
        {"0101010301010101", "0000000000000000", "b3c1cc715cb879d8"},
        {"0101010121010101", "0000000000000000", "b7265f7f447ac6f3"},
        {"0101010101410101", "0000000000000000", "41b9a79af79ac208"},
        {"0101010101050101", "0000000000000000", "ae13dbd561488933"},
        {"0101010101018101", "0000000000000000", "d1399712f99bf02e"},
        {"0101010101010301", "0000000000000000", "ae8e5caa3ca04e85"},
        {"0101010101010181", "0000000000000000", "9cc62df43b6eed74"},
        {"0101010101010103", "0000000000000000", "869efd7f9f265a09"},
    };
    for (const KnownAnswer& v : kVectors) EXPECT_EQ(encryptHex(v.key, v.plain), v.cipher) << v.key;
}

TEST(Des, ParityBitsDoNotChangeTheResult) {
    // 133457799bbcdff1 with every low bit flipped.
    EXPECT_EQ(encryptHex("123556789abddef0", "0123456789abcdef"), "85e813540f0ab405");
    EXPECT_EQ(encryptHex("0000000000000000", "8000000000000000"), "95f8a5e5dd31d900");
}

TEST(Des, EncryptsInPlace) {
    unsigned char key[8], block[8];
    fromHex("133457799bbcdff1", key, 8);
    fromHex("0123456789abcdef", block, 8);
    des::encryptBlock(key, block, block);
    EXPECT_EQ(hex(block, 8), "85e813540f0ab405");
}

TEST(DesExpandKey, AllZeroAndAllOneKeys) {
    const struct {
        unsigned char in;
        const char* expanded;
    } kCases[] = {
        // 7 zero bits: even count, so the parity bit is set.
        {0x00, "0101010101010101"},
        // 7 one bits: already odd.
        {0xff, "fefefefefefefefe"},
    };
    for (const auto& c : kCases) {
        unsigned char key7[7], key8[8];
        std::memset(key7, c.in, sizeof(key7));
        des::expandKey(key7, key8);
        EXPECT_EQ(hex(key8, 8), c.expanded) << int(c.in);
    }
}

// Each of the 56 key bits lands in the high seven bits of one byte, in order,
// and every byte has odd parity.
TEST(DesExpandKey, EachBitLandsInOrderWithOddParity) {
    for (int bit = 0; bit < 56; ++bit) {
        unsigned char key7[7] = {0}, key8[8];
        key7[bit / 8] = static_cast<unsigned char>(0x80 >> (bit % 8));
        des::expandKey(key7, key8);
        for (int i = 0; i < 8; ++i) {
            const unsigned char dataBits = key8[i] & 0xfe;
            const unsigned char want =
                i == bit / 7 ? static_cast<unsigned char>(0x80 >> (bit % 7)) : 0;
            EXPECT_EQ(dataBits, want) << "bit " << bit << ", byte " << i;
            int ones = 0;
            for (int b = 0; b < 8; ++b) ones += (key8[i] >> b) & 1;
            EXPECT_EQ(ones % 2, 1) << "bit " << bit << ", byte " << i;
        }
    }
}

// LM hashes: DES of "KGS!@#$%" under each 7-byte half of the upper-cased
// password, padded with zeros to 14 bytes. "Password" is the MS-NLMP 4.2.2
// example; the empty password's hash is the widely published aad3b435...
TEST(NtlmHashes, LmHashes) {
    const struct {
        const char* password;
        const char* lmHash;
    } kCases[] = {
        {"PASSWORD", "e52cac67419a9a224a3b108f3fa6cb6d"},
        {"", "aad3b435b51404eeaad3b435b51404ee"},
    };
    static const unsigned char kMagic[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
    for (const auto& c : kCases) {
        unsigned char padded[14] = {0};
        std::memcpy(padded, c.password, std::strlen(c.password));
        unsigned char hash[16];
        des::encryptBlock56(padded, kMagic, hash);
        des::encryptBlock56(padded + 7, kMagic, hash + 8);
        EXPECT_EQ(hex(hash, 16), c.lmHash) << '"' << c.password << '"';
    }
}

// MS-NLMP 4.2.2: the NT hash of "Password" is MD4 of its UTF-16LE form.
TEST(NtlmHashes, NtHashOfPassword) {
    const std::string password = "Password";
    std::string utf16;
    for (char ch : password) {
        utf16.push_back(ch);
        utf16.push_back('\0');
    }
    unsigned char d[Md4::kDigestSize];
    Md4::digest(utf16.data(), utf16.size(), d);
    EXPECT_EQ(hex(d, sizeof(d)), "a4f49c406510bdcab6824ee7c30fd852");
}

}  // namespace
