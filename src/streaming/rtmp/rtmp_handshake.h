// The RTMP handshake (C0 C1 / S0 S1 S2 / C2) with the digests that players
// put in C1 and expect in S1 and S2: HMAC-SHA256 (RFC 2104) over the 1536-byte
// block without its 32 digest bytes, whose place follows from four bytes of
// the block in one of two schemes.
#pragma once
#include <cstddef>
#include <cstdint>

enum {
  RTMP_HANDSHAKE_SIZE = 1536,
  RTMP_DIGEST_SIZE = 32,
  RTMP_S0S1S2_SIZE = 1 + 2 * RTMP_HANDSHAKE_SIZE   // 3073, sent in one piece
};

// The two places of the digest: bytes 772-775 give it past 776, bytes 8-11
// past 12.
enum { RTMP_SCHEME_772 = 0, RTMP_SCHEME_8 = 1 };

// The widely used handshake keys: the client's 30 bytes, the server's 68
// (36 text bytes, then 32 binary ones).
extern const uint8_t rtmp_client_key[30];
extern const uint8_t rtmp_server_key[68];

// SHA-256 (FIPS 180-4) of data; block, when not NULL, is 64 bytes hashed
// before it.
void sha256(const uint8_t *block, const uint8_t *data, size_t len, uint8_t out[32]);
// HMAC-SHA256; a key longer than 64 bytes is hashed first.
void hmac_sha256(const uint8_t *key, size_t keylen, const uint8_t *data, size_t len, uint8_t out[32]);

// Where a block's digest sits in a scheme.
size_t rtmp_digest_offset(const uint8_t *block, int scheme);
// The digest of a block over all but its 32 bytes at offset.
void rtmp_digest(const uint8_t *block, size_t offset, const uint8_t *key, size_t keylen,
                 uint8_t out[32]);

// Builds S0, S1 and S2 into out (RTMP_S0S1S2_SIZE bytes) for the client's C1;
// rnd gives the random bytes (its low byte is used). Returns the scheme whose
// digest C1 carries, or -1 when it carries none (S1 then takes the 772 one).
int rtmp_handshake_reply(const uint8_t *c1, uint8_t *out, int (*rnd)(void));
// Whether C2 echoes S1 (bytes 8 to 1535; the first 8 hold the client's times).
bool rtmp_handshake_c2_ok(const uint8_t *c2, const uint8_t *s1);
