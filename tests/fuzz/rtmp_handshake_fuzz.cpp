// Any bytes as a client's C1 (and what follows as its C2): the reply is
// built whatever C1 holds, its S1 digest always verifies at the place of
// the scheme reported, and only an exact echo of S1 passes as C2.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "streaming/rtmp/rtmp_handshake.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

// As rand() would: never negative, whatever the count of inputs.
int counter_rand(void) {
  static unsigned n = 0;
  return (int)(n++ * 31u & 0x7FFFFFFFu);
}

}  // namespace

int fuzz_one(const uint8_t *data, size_t size) {
  uint8_t c1[RTMP_HANDSHAKE_SIZE] = {0};
  memcpy(c1, data, size < sizeof c1 ? size : sizeof c1);
  uint8_t out[RTMP_S0S1S2_SIZE];
  int scheme = rtmp_handshake_reply(c1, out, counter_rand);
  check(scheme >= -1 && scheme <= RTMP_SCHEME_8);
  const uint8_t *s1 = out + 1;
  size_t at = rtmp_digest_offset(s1, scheme < 0 ? RTMP_SCHEME_772 : scheme);
  check(at >= 12 && at + RTMP_DIGEST_SIZE <= RTMP_HANDSHAKE_SIZE);
  uint8_t d[32];
  rtmp_digest(s1, at, rtmp_server_key, 36, d);
  check(memcmp(d, s1 + at, 32) == 0);

  uint8_t c2[RTMP_HANDSHAKE_SIZE];
  memcpy(c2, s1, sizeof c2);
  if (size > sizeof c1) {
    size_t n = size - sizeof c1;
    memcpy(c2, data + sizeof c1, n < sizeof c2 ? n : sizeof c2);
  }
  check(rtmp_handshake_c2_ok(c2, s1) == (memcmp(c2 + 8, s1 + 8, sizeof c2 - 8) == 0));
  return 0;
}
