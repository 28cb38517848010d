#pragma once
// Single-block DES (FIPS 46-3) for NTLM and LM responses; not for protecting data.
namespace des {

// Spreads 56 key bits (7 bytes) over 8 bytes, 7 bits each in the high bits;
// the low (parity) bit is set for odd parity.
void expandKey(const unsigned char key7[7], unsigned char key8[8]);

// Encrypts one 8-byte block with an 8-byte key (parity bits ignored). in and
// out may be the same buffer.
void encryptBlock(const unsigned char key8[8], const unsigned char in[8], unsigned char out[8]);

// Same as encryptBlock(expandKey(key7), ...).
void encryptBlock56(const unsigned char key7[7], const unsigned char in[8], unsigned char out[8]);

}  // namespace des
