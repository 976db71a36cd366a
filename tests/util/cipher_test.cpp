#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "velmora/cipher.h"

namespace {

using Bytes = std::vector<unsigned char>;

TEST(Base64, MatchesTheRfc4648VectorsAndRoundTripsEveryGroup) {
  const char *vectors[][2] = {{"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}};
  for (const auto &v : vectors) {
    const int count = static_cast<int>(std::strlen(v[0]));
    unsigned char plain[3] = {0, 0, 0}, back[3];
    std::memcpy(plain, v[0], count);
    char text[4];
    encodeToBase64(plain, text, count);
    EXPECT_EQ(std::string(text, 4), v[1]);
    decodeFromBase64(v[1], back);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(back), count), v[0]);
  }
  const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int b0 = 0; b0 < 256; ++b0) {
    for (int b1 = 0; b1 < 256; ++b1) {
      const unsigned char in[3] = {static_cast<unsigned char>(b0), static_cast<unsigned char>(b1),
                                   static_cast<unsigned char>(b0 ^ (b1 >> 1))};
      char text[4];
      unsigned char back[3];
      encodeToBase64(in, text, 3);
      ASSERT_EQ(text[0], alphabet[b0 >> 2]);
      decodeFromBase64(text, back);
      ASSERT_EQ(std::memcmp(back, in, 3), 0) << b0 << ' ' << b1;
    }
  }
}

// '=' and every other non-alphabet character, inside '+' .. 'z' or not, counts as 255: in the
// first place it sets the top six bits of byte 0, in the last place all of byte 2.
TEST(Base64, CharactersOutsideTheAlphabetDecodeAsAllBitsSet) {
  for (char c : {'=', ',', '-', '.', ':', '@', '[', '`', '!', '{', '\0', '\x80', '\xff'}) {
    const char first[4] = {c, 'A', 'A', 'A'}, last[4] = {'A', 'A', 'A', c};
    unsigned char a[3], b[3];
    decodeFromBase64(first, a);
    decodeFromBase64(last, b);
    EXPECT_EQ(Bytes(a, a + 3), (Bytes{0xfc, 0x00, 0x00})) << int{c};
    EXPECT_EQ(Bytes(b, b + 3), (Bytes{0x00, 0x00, 0xff})) << int{c};
  }
}

TEST(Cipher, EnciphersKnownBytesWithTheStateWrappingAt16Bits) {
  // c0 = 0x00 ^ 0x12; r = (0x12 + 0x1234) * 3 + 5 = 0x36d7; c1 = 0x41 ^ 0x36.
  const unsigned char plain[] = {0x00, 0x41}, plain2[] = {0xab, 0xcd};
  unsigned char out[2];
  CipherEncrypt(plain, 2, out, 0x1234, 3, 5);
  EXPECT_EQ(Bytes(out, out + 2), (Bytes{0x12, 0x77}));
  // All constants 0xffff: r = (0x54 + 0xffff) * 0xffff + 0xffff = 0xffac (mod 65536).
  CipherEncrypt(plain2, 2, out, 0xffff, 0xffff, 0xffff);
  EXPECT_EQ(Bytes(out, out + 2), (Bytes{0x54, 0x32}));
}

TEST(Cipher, RoundTripsOutOfPlaceAndInPlaceWithoutWritingPastTheEnd) {
  std::mt19937 rng(7);
  for (uint32_t n : {0u, 1u, 1000u}) {
    Bytes plain(n + 1, 0xee), cipher = plain;  // each ends in a guard byte
    for (uint32_t i = 0; i < n; ++i)
      plain[i] = static_cast<unsigned char>(rng());
    const uint16_t key = rng() & 0xffff, mul = rng() & 0xffff, inc = rng() & 0xffff;
    CipherEncrypt(plain.data(), n, cipher.data(), key, mul, inc);
    EXPECT_EQ(cipher[n], 0xee);
    Bytes in_place = plain;
    CipherEncrypt(in_place.data(), n, in_place.data(), key, mul, inc);
    EXPECT_EQ(in_place, cipher) << n;
    CipherDecrypt(in_place.data(), n, in_place.data(), key, mul, inc);
    EXPECT_EQ(in_place, plain) << n;
  }
}

}  // namespace
