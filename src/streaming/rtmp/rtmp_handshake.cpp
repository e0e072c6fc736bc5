#include "streaming/rtmp/rtmp_handshake.h"

#include <cstring>
#include <openssl/evp.h>
#include <openssl/hmac.h>

const uint8_t rtmp_client_key[30] = {
    'G', 'e', 'n', 'u', 'i', 'n', 'e', ' ', 'A', 'd', 'o', 'b', 'e', ' ', 'F',
    'l', 'a', 's', 'h', ' ', 'P', 'l', 'a', 'y', 'e', 'r', ' ', '0', '0', '1'};

const uint8_t rtmp_server_key[68] = {
    'G', 'e', 'n', 'u', 'i', 'n', 'e', ' ', 'A', 'd', 'o', 'b', 'e', ' ', 'F', 'l', 'a', 's',
    'h', ' ', 'M', 'e', 'd', 'i', 'a', ' ', 'S', 'e', 'r', 'v', 'e', 'r', ' ', '0', '0', '1',
    0xF0, 0xEE, 0xC2, 0x4A, 0x80, 0x68, 0xBE, 0xE8, 0x2E, 0x00, 0xD0, 0xD1, 0x02, 0x9E, 0x7E, 0x57,
    0x6E, 0xEC, 0x5D, 0x2D, 0x29, 0x80, 0x6F, 0xAB, 0x93, 0xB8, 0xE6, 0x36, 0xCF, 0xEB, 0x31, 0xAE};

namespace {
const size_t kServerTextKey = 36;  // S1 is signed with the text part only
}

void sha256(const uint8_t *block, const uint8_t *data, size_t len, uint8_t out[32]) {
  EVP_MD_CTX *ctx = EVP_MD_CTX_new();
  unsigned n = 32;
  if (!ctx || EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1 ||
      (block && EVP_DigestUpdate(ctx, block, 64) != 1) || EVP_DigestUpdate(ctx, data, len) != 1 ||
      EVP_DigestFinal_ex(ctx, out, &n) != 1)
    memset(out, 0, 32);
  EVP_MD_CTX_free(ctx);
}

void hmac_sha256(const uint8_t *key, size_t keylen, const uint8_t *data, size_t len, uint8_t out[32]) {
  uint8_t hashed[32];
  if (keylen > 64) {
    sha256(nullptr, key, keylen, hashed);
    key = hashed;
    keylen = 32;
  }
  unsigned n = 32;
  if (!HMAC(EVP_sha256(), key, (int)keylen, data, len, out, &n)) memset(out, 0, 32);
}

size_t rtmp_digest_offset(const uint8_t *b, int scheme) {
  size_t at = scheme == RTMP_SCHEME_772 ? 772 : 8;
  return ((size_t)b[at] + b[at + 1] + b[at + 2] + b[at + 3]) % 728 + at + 4;
}

void rtmp_digest(const uint8_t *block, size_t offset, const uint8_t *key, size_t keylen,
                 uint8_t out[32]) {
  uint8_t joined[RTMP_HANDSHAKE_SIZE - RTMP_DIGEST_SIZE];
  memcpy(joined, block, offset);
  memcpy(joined + offset, block + offset + RTMP_DIGEST_SIZE, RTMP_HANDSHAKE_SIZE - RTMP_DIGEST_SIZE - offset);
  hmac_sha256(key, keylen, joined, sizeof joined, out);
}

int rtmp_handshake_reply(const uint8_t *c1, uint8_t *out, int (*rnd)(void)) {
  uint8_t *s1 = out + 1;
  uint8_t *s2 = s1 + RTMP_HANDSHAKE_SIZE;
  out[0] = 3;
  memset(s1, 0, 8);  // time 0, version 0
  for (int i = 8; i < RTMP_HANDSHAKE_SIZE; i++) s1[i] = (uint8_t)rnd();

  int scheme = -1;
  size_t client_at = 0;
  for (int sc = RTMP_SCHEME_772; sc <= RTMP_SCHEME_8; sc++) {
    uint8_t d[32];
    client_at = rtmp_digest_offset(c1, sc);
    rtmp_digest(c1, client_at, rtmp_client_key, sizeof rtmp_client_key, d);
    if (memcmp(d, c1 + client_at, 32) == 0) {
      scheme = sc;
      break;
    }
  }
  size_t at = rtmp_digest_offset(s1, scheme < 0 ? RTMP_SCHEME_772 : scheme);
  rtmp_digest(s1, at, rtmp_server_key, kServerTextKey, s1 + at);

  uint8_t key[32];
  hmac_sha256(rtmp_server_key, sizeof rtmp_server_key, c1 + client_at, 32, key);
  for (int i = 0; i < RTMP_HANDSHAKE_SIZE - RTMP_DIGEST_SIZE; i++) s2[i] = (uint8_t)rnd();
  hmac_sha256(key, 32, s2, RTMP_HANDSHAKE_SIZE - RTMP_DIGEST_SIZE, s2 + RTMP_HANDSHAKE_SIZE - RTMP_DIGEST_SIZE);
  return scheme;
}

bool rtmp_handshake_c2_ok(const uint8_t *c2, const uint8_t *s1) {
  return memcmp(c2 + 8, s1 + 8, RTMP_HANDSHAKE_SIZE - 8) == 0;
}
