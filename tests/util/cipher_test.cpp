#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "velmora/cipher.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr unsigned char kGuard = 0xee;

Bytes guarded(Bytes bytes) {
  bytes.push_back(kGuard);
  return bytes;
}

// Encodes a buffer group by group, zeroing the bytes beyond the end of the last group.
std::string encode(const std::string &plain) {
  std::string result;
  for (size_t at = 0; at < plain.size(); at += 3) {
    unsigned char group[3] = {0, 0, 0};
    const size_t count = std::min<size_t>(3, plain.size() - at);
    std::memcpy(group, plain.data() + at, count);
    char out[4];
    encodeToBase64(group, out, static_cast<int>(count));
    result.append(out, 4);
  }
  return result;
}

// Decodes whole groups, keeping as many bytes of each as its '=' characters leave.
std::string decode(const std::string &text) {
  std::string result;
  for (size_t at = 0; at + 4 <= text.size(); at += 4) {
    unsigned char out[3];
    decodeFromBase64(text.data() + at, out);
    const size_t pads = (text[at + 3] == '=') + (text[at + 2] == '=');
    result.append(reinterpret_cast<const char *>(out), 3 - pads);
  }
  return result;
}

TEST(Base64, MatchesTheRfc4648VectorsForEveryGroupLength) {
  const char *vectors[][2] = {{"", ""},
                              {"f", "Zg=="},
                              {"fo", "Zm8="},
                              {"foo", "Zm9v"},
                              {"foob", "Zm9vYg=="},
                              {"fooba", "Zm9vYmE="},
                              {"foobar", "Zm9vYmFy"}};
  for (const auto &v : vectors) {
    EXPECT_EQ(encode(v[0]), v[1]) << v[0];
    EXPECT_EQ(decode(v[1]), v[0]) << v[1];
  }
  // Every 6-bit value encodes to its alphabet character and back.
  const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (unsigned char value = 0; value < 64; ++value) {
    const unsigned char in[3] = {0, 0, value};
    char text[4];
    unsigned char back[3];
    encodeToBase64(in, text, 3);
    EXPECT_EQ(std::string(text, 4), std::string("AAA") + alphabet[value]);
    decodeFromBase64(text, back);
    EXPECT_EQ(back[2], value);
  }
}

TEST(Base64, EveryThreeByteGroupRoundTrips) {
  const unsigned char thirds[] = {0x00, 0x01, 0x3f, 0x40, 0x80, 0xc0, 0xfe, 0xff};
  for (int b0 = 0; b0 < 256; ++b0) {
    for (int b1 = 0; b1 < 256; ++b1) {
      for (unsigned char b2 : thirds) {
        const unsigned char in[3] = {static_cast<unsigned char>(b0), static_cast<unsigned char>(b1),
                                     b2};
        char text[4];
        unsigned char back[3];
        encodeToBase64(in, text, 3);
        decodeFromBase64(text, back);
        ASSERT_EQ(std::memcmp(back, in, 3), 0) << b0 << ' ' << b1 << ' ' << int{b2};
      }
    }
  }
}

TEST(Base64, CharactersOutsideTheAlphabetDecodeAsAllBitsSet) {
  // '=' and every other non-alphabet character, inside '+' .. 'z' or not, counts as 255: in the
  // first place it sets the top six bits of byte 0, in the last place all of byte 2.
  for (char c :
       {'=', ',', '-', '.', ':', '@', '[', '`', '!', ' ', '{', '~', '\0', '\x80', '\xff'}) {
    const char first[4] = {c, 'A', 'A', 'A'}, last[4] = {'A', 'A', 'A', c};
    unsigned char a[3], b[3];
    decodeFromBase64(first, a);
    decodeFromBase64(last, b);
    EXPECT_EQ(Bytes(a, a + 3), (Bytes{0xfc, 0x00, 0x00})) << int{c};
    EXPECT_EQ(Bytes(b, b + 3), (Bytes{0x00, 0x00, 0xff})) << int{c};
  }
  unsigned char out[3];
  decodeFromBase64("Zg==", out);  // the pads leave (s1 << 4 | 0x3f) and 0xff as noise
  EXPECT_EQ(Bytes(out, out + 3), (Bytes{'f', 0x3f, 0xff}));
}

TEST(Cipher, EnciphersKnownBytesWithTheStateWrappingAt16Bits) {
  // c0 = 0x00 ^ 0x12; r = (0x12 + 0x1234) * 3 + 5 = 0x36d7; c1 = 0x41 ^ 0x36.
  const unsigned char plain[] = {0x00, 0x41}, plain2[] = {0xab, 0xcd};
  unsigned char out[2], back[2];
  CipherEncrypt(plain, 2, out, 0x1234, 3, 5);
  EXPECT_EQ(Bytes(out, out + 2), (Bytes{0x12, 0x77}));
  // All constants 0xffff: r = (0x54 + 0xffff) * 0xffff + 0xffff = 0xffac (mod 65536).
  CipherEncrypt(plain2, 2, out, 0xffff, 0xffff, 0xffff);
  EXPECT_EQ(Bytes(out, out + 2), (Bytes{0x54, 0x32}));
  CipherDecrypt(out, 2, back, 0xffff, 0xffff, 0xffff);
  EXPECT_EQ(Bytes(back, back + 2), Bytes(plain2, plain2 + 2));
}

TEST(Cipher, RoundTripsOutOfPlaceAndInPlaceAndNeedsTheRightKey) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> word(0, 0xffff);
  for (uint32_t n : {0u, 1u, 2u, 17u, 1000u}) {
    Bytes plain(n);
    for (auto &b : plain)
      b = static_cast<unsigned char>(word(rng));
    const auto key = static_cast<uint16_t>(word(rng)), mul = static_cast<uint16_t>(word(rng)),
               inc = static_cast<uint16_t>(word(rng));
    Bytes cipher(n + 1, kGuard), back(n + 1, kGuard);  // a guard byte after each
    CipherEncrypt(plain.data(), n, cipher.data(), key, mul, inc);
    CipherDecrypt(cipher.data(), n, back.data(), key, mul, inc);
    EXPECT_EQ(cipher[n], kGuard);
    EXPECT_EQ(back, guarded(plain)) << n;
    EXPECT_TRUE(n == 0 || cipher[0] == (plain[0] ^ (key >> 8)));

    Bytes in_place = plain;
    CipherEncrypt(in_place.data(), n, in_place.data(), key, mul, inc);
    EXPECT_EQ(guarded(in_place), cipher) << n;
    CipherDecrypt(in_place.data(), n, in_place.data(), key, mul, inc);
    EXPECT_EQ(in_place, plain) << n;

    Bytes wrong(n);
    CipherDecrypt(cipher.data(), n, wrong.data(), static_cast<uint16_t>(key + 1), mul, inc);
    EXPECT_TRUE(n < 17 || wrong != plain);
  }
}

}  // namespace
