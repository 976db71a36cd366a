// Base64 groups and the stream cipher against their definitions: every group of three bytes
// round-trips through encodeToBase64 / decodeFromBase64 and matches an independent encoder; every
// four characters decode as the bit formula says; deciphering restores what enciphering made, in
// place and out of place, and the cipher matches a straightforward reference.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "velmora/cipher.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 6-bit value of a character, 255 for '=' and anything outside the alphabet.
unsigned sextet(char c) {
  const char *at = c != '\0' ? std::strchr(kAlphabet, c) : nullptr;
  return at != nullptr ? static_cast<unsigned>(at - kAlphabet) : 255u;
}

void reference_cipher(const uint8_t *in, std::size_t n, uint8_t *out, uint16_t key, uint16_t mul,
                      uint16_t inc, bool decipher) {
  uint16_t r = key;
  for (std::size_t i = 0; i < n; ++i) {
    const uint8_t x = in[i];
    const uint8_t y = static_cast<uint8_t>(x ^ (r >> 8));
    out[i] = y;
    const uint8_t c = decipher ? x : y;
    r = static_cast<uint16_t>((uint32_t{c} + r) * mul + inc);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  // Every group of three bytes (the last one padded with zeros) encodes and decodes back.
  for (std::size_t at = 0; at < size; at += 3) {
    const int count = static_cast<int>(size - at < 3 ? size - at : 3);
    unsigned char group[3] = {0, 0, 0};
    std::memcpy(group, data + at, static_cast<std::size_t>(count));
    char text[4];
    encodeToBase64(group, text, count);
    const unsigned bits = (group[0] << 16) | (group[1] << 8) | group[2];
    FUZZ_CHECK(text[0] == kAlphabet[(bits >> 18) & 63] && text[1] == kAlphabet[(bits >> 12) & 63]);
    FUZZ_CHECK(text[2] == (count >= 2 ? kAlphabet[(bits >> 6) & 63] : '='));
    FUZZ_CHECK(text[3] == (count == 3 ? kAlphabet[bits & 63] : '='));
    unsigned char back[3];
    decodeFromBase64(text, back);
    FUZZ_CHECK(std::memcmp(back, group, static_cast<std::size_t>(count)) == 0);
  }
  // Any four characters decode by the bit formula, whatever they are.
  for (std::size_t at = 0; at + 4 <= size; at += 4) {
    char text[4];
    std::memcpy(text, data + at, 4);
    unsigned char bytes[3];
    decodeFromBase64(text, bytes);
    const unsigned s0 = sextet(text[0]), s1 = sextet(text[1]), s2 = sextet(text[2]),
                   s3 = sextet(text[3]);
    FUZZ_CHECK(bytes[0] == static_cast<uint8_t>((s0 << 2) | (s1 >> 4)));
    FUZZ_CHECK(bytes[1] == static_cast<uint8_t>((s1 << 4) | (s2 >> 2)));
    FUZZ_CHECK(bytes[2] == static_cast<uint8_t>((s2 << 6) | s3));
  }
  // The cipher: the first six bytes are key, multiplier and increment, the rest the message.
  if (size < 6) return 0;
  const auto word = [&](std::size_t i) {
    return static_cast<uint16_t>(data[i] | (data[i + 1] << 8));
  };
  const uint16_t key = word(0), mul = word(2), inc = word(4);
  const uint8_t *plain = data + 6;
  const std::size_t n = size - 6;
  std::vector<uint8_t> cipher(n), expected(n), back(n);
  CipherEncrypt(plain, static_cast<uint32_t>(n), cipher.data(), key, mul, inc);
  reference_cipher(plain, n, expected.data(), key, mul, inc, false);
  FUZZ_CHECK(cipher == expected);
  CipherDecrypt(cipher.data(), static_cast<uint32_t>(n), back.data(), key, mul, inc);
  FUZZ_CHECK(std::equal(back.begin(), back.end(), plain));
  // In place, both ways.
  std::vector<uint8_t> buffer(plain, plain + n);
  CipherEncrypt(buffer.data(), static_cast<uint32_t>(n), buffer.data(), key, mul, inc);
  FUZZ_CHECK(buffer == cipher);
  CipherDecrypt(buffer.data(), static_cast<uint32_t>(n), buffer.data(), key, mul, inc);
  FUZZ_CHECK(std::equal(buffer.begin(), buffer.end(), plain));
  return 0;
}
