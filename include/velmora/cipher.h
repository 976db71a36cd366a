/* A 16-bit-state stream cipher and the encoding and decoding of single Base64 groups. All four
   functions are stateless: the caller supplies the key and the two state constants on every call,
   and nothing is checked or reported.

   The cipher is obfuscation, not protection. Its whole state is 16 bits: whoever holds a few bytes
   of enciphered text with a guess of the plain text recovers key, multiplier and increment by
   trying them all, in well under a second. Do not keep secrets with it; use it only where data
   must merely not be readable at a glance, or must match files that already use it. */
#ifndef VELMORA_CIPHER_H
#define VELMORA_CIPHER_H

#include <stdint.h>

#include "velmora/export.h"

VELMORA_EXTERN_C_BEGIN

/* Enciphers length bytes of source into destination. The state r starts at key; for each byte p,
   c = p ^ (r >> 8) is written and r = (c + r) * multiplier + increment (mod 65536). The first
   output byte is therefore source[0] ^ (key >> 8). source and destination may be the same buffer
   (or destination may start before source). length 0 writes nothing. */
VELMORA_API void CipherEncrypt(const unsigned char *source, uint32_t length,
                               unsigned char *destination, uint16_t key, uint16_t multiplier,
                               uint16_t increment);

/* Deciphers length bytes of source into destination: p = c ^ (r >> 8) with the same state update
   as CipherEncrypt, fed with the enciphered byte c, so the same key, multiplier and increment
   restore the plain bytes. In-place use is supported as for CipherEncrypt. */
VELMORA_API void CipherDecrypt(const unsigned char *source, uint32_t length,
                               unsigned char *destination, uint16_t key, uint16_t multiplier,
                               uint16_t increment);

/* Encodes one Base64 group (standard alphabet, RFC 4648): writes four characters to destination
   from the three bytes of source, of which count (1 .. 3) are valid. All three source bytes are
   read; the caller zeroes those beyond count. count 1 ends the group in "==", count 2 in "=". */
VELMORA_API void encodeToBase64(const unsigned char *source, char *destination, int count);

/* Decodes one Base64 group of four characters into three bytes. Each character c has the 6-bit
   value s of its place in the alphabet; '=' and every character outside the alphabet count as
   s = 255 (all bits set), and the bytes are (s0 << 2 | s1 >> 4), (s1 << 4 | s2 >> 2),
   (s2 << 6 | s3), each truncated to 8 bits. A valid group decodes as standard Base64; a group
   ending in one '=' carries 2 meaningful bytes, in two '=' 1 byte, and the rest is noise. */
VELMORA_API void decodeFromBase64(const char *source, unsigned char *destination);

VELMORA_EXTERN_C_END

#endif
