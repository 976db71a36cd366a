/* Reference cases of the utilities: the cipher run from C++ on the tests' bytes. */
#include <velmora/cipher.h>

#include <cstdint>
#include <vector>

#include "reference.h"

/* args: key multiplier increment decipher(0 or 1); in: the bytes, one per double; out: the
   enciphered (or deciphered) bytes, one per double. */
REFERENCE_CASE(cipher) {
  const std::vector<unsigned char> source(in.begin(), in.end());
  std::vector<unsigned char> out(source.size());
  const auto key = static_cast<uint16_t>(reference::int_arg(args, 0));
  const auto multiplier = static_cast<uint16_t>(reference::int_arg(args, 1));
  const auto increment = static_cast<uint16_t>(reference::int_arg(args, 2));
  const auto length = static_cast<uint32_t>(source.size());
  if (reference::int_arg(args, 3) != 0)
    CipherDecrypt(source.data(), length, out.data(), key, multiplier, increment);
  else
    CipherEncrypt(source.data(), length, out.data(), key, multiplier, increment);
  return reference::Values(out.begin(), out.end());
}
