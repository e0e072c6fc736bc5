// The request headers that authentication reads itself: the session cookie,
// the known-browser cookie (never taken unless this process made it) and the
// nonce of a Digest "Authorization" header.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "web/web_auth.h"

int fuzz_one(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  const char *header = text.c_str();
  char token[17];
  if (session_cookie_parse(header, token) == 0) {
    if (strlen(token) != 16) abort();
    for (int i = 0; i < 16; i++)
      if (!isxdigit(static_cast<unsigned char>(token[i]))) abort();
  }
  static bool keyed = web_auth_init() == 0;
  char known[160];
  if (known_cookie_parse(header, known, sizeof known) == 0) {
    if (strlen(known) >= sizeof known) abort();
    if (keyed && known_cookie_verify(known, "admin", "secret") != 0) abort();
  }
  char nonce[NONCE_KEEP + 1];
  if (digest_nonce_parse(header, nonce) == 0) {
    size_t n = strlen(nonce);
    if (n == 0 || n > NONCE_KEEP || strchr(nonce, '"') || strchr(nonce, ',')) abort();
  }
  return 0;
}
