// Stream cipher and Base64 groups.
//
// The cipher is a byte-wise autokey stream: a 16-bit linear congruential state whose high byte is
// the key stream, advanced by the enciphered byte, so a change in one byte scrambles the rest.
// Base64 decoding goes through a table over the character range '+' .. 'z', one entry per
// character, that gives each alphabet character its 6-bit value plus one and every other character
// zero; the decoded value minus one then wraps to 255 for anything outside the alphabet.
#include "velmora/cipher.h"

#include <array>
#include <cstdint>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kAlphabetSize = 64;
constexpr char kPad = '=';

// Decoding table: entry c - kFirstCoded for c in kFirstCoded .. kLastCoded. An alphabet character
// holds its index + kEntryBias, any other character kNotInAlphabet.
constexpr char kFirstCoded = '+';
constexpr char kLastCoded = 'z';
constexpr int kCodedRange = kLastCoded - kFirstCoded + 1;  // 80 entries
constexpr int kEntryBias = 62;
constexpr int kValueBias = 61;  // entry - kValueBias = index + 1
constexpr char kNotInAlphabet = '$';

constexpr std::array<char, kCodedRange> make_decoding_table() {
  std::array<char, kCodedRange> table{};
  for (char &entry : table)
    entry = kNotInAlphabet;
  for (int index = 0; index < kAlphabetSize; ++index)
    table[kAlphabet[index] - kFirstCoded] = static_cast<char>(index + kEntryBias);
  return table;
}

constexpr std::array<char, kCodedRange> kDecodingTable = make_decoding_table();

// 6-bit value of c as an unsigned byte: 0 .. 63 in the alphabet, 255 otherwise (the '=' pad too).
constexpr uint8_t sextet(char c) {
  const int code = static_cast<unsigned char>(c);
  int plus_one = 0;
  if (code >= kFirstCoded && code <= kLastCoded) {
    const char entry = kDecodingTable[code - kFirstCoded];
    if (entry != kNotInAlphabet) plus_one = entry - kValueBias;
  }
  return static_cast<uint8_t>(plus_one - 1);
}

static_assert(sextet('A') == 0 && sextet('/') == 63 && sextet(kPad) == 255 && sextet('~') == 255);

enum class Direction { kEncipher, kDecipher };

// Both directions advance the state with the enciphered byte. Each source byte is read before its
// destination byte is written, so source and destination may coincide.
void run_cipher(Direction direction, const unsigned char *source, uint32_t length,
                unsigned char *destination, uint16_t key, uint16_t multiplier, uint16_t increment) {
  uint16_t state = key;
  for (uint32_t i = 0; i < length; ++i) {
    const unsigned char in = source[i];
    const unsigned char out = static_cast<unsigned char>(in ^ (state >> 8));
    destination[i] = out;
    const unsigned char enciphered = direction == Direction::kEncipher ? out : in;
    // Unsigned 32-bit arithmetic: it wraps (int would overflow) and keeps the low 16 bits exact.
    state = static_cast<uint16_t>((uint32_t{enciphered} + state) * multiplier + increment);
  }
}

}  // namespace

extern "C" void CipherEncrypt(const unsigned char *source, uint32_t length,
                              unsigned char *destination, uint16_t key, uint16_t multiplier,
                              uint16_t increment) {
  run_cipher(Direction::kEncipher, source, length, destination, key, multiplier, increment);
}

extern "C" void CipherDecrypt(const unsigned char *source, uint32_t length,
                              unsigned char *destination, uint16_t key, uint16_t multiplier,
                              uint16_t increment) {
  run_cipher(Direction::kDecipher, source, length, destination, key, multiplier, increment);
}

extern "C" void encodeToBase64(const unsigned char *source, char *destination, int count) {
  destination[0] = kAlphabet[source[0] >> 2];
  destination[1] = kAlphabet[((source[0] & 0x03) << 4) | (source[1] >> 4)];
  destination[2] = count >= 2 ? kAlphabet[((source[1] & 0x0f) << 2) | (source[2] >> 6)] : kPad;
  destination[3] = count >= 3 ? kAlphabet[source[2] & 0x3f] : kPad;
}

extern "C" void decodeFromBase64(const char *source, unsigned char *destination) {
  const uint8_t s0 = sextet(source[0]);
  const uint8_t s1 = sextet(source[1]);
  const uint8_t s2 = sextet(source[2]);
  const uint8_t s3 = sextet(source[3]);
  destination[0] = static_cast<unsigned char>((s0 << 2) | (s1 >> 4));
  destination[1] = static_cast<unsigned char>((s1 << 4) | (s2 >> 2));
  destination[2] = static_cast<unsigned char>((s2 << 6) | s3);
}
