// Digest authentication's fields and hashes (RFC 2617 and the form
// without qop that RTSP clients use), shared by the web server's and the
// RTSP server's checks.
#include "core/http_digest.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <string>
#include <strings.h>

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

struct DigestField {
  const char *name;
  char *dst;
  size_t size;
};

}  // namespace

bool digest_parse(const char *value, HttpDigest *d) {
  memset(d, 0, sizeof *d);
  // The first five are required.
  const DigestField fields[] = {
      {"username", d->username, sizeof d->username}, {"realm", d->realm, sizeof d->realm},
      {"nonce", d->nonce, sizeof d->nonce},          {"uri", d->uri, sizeof d->uri},
      {"response", d->response, sizeof d->response}, {"qop", d->qop, sizeof d->qop},
      {"nc", d->nc, sizeof d->nc},                   {"cnonce", d->cnonce, sizeof d->cnonce}};
  bool have[sizeof fields / sizeof fields[0]] = {};
  const char *p = value;
  while (is_blank(*p)) p++;
  static const char kScheme[] = "Digest";
  const size_t scheme = sizeof kScheme - 1;
  if (strncasecmp(p, kScheme, scheme) != 0 || !is_blank(p[scheme])) return false;
  p += scheme;   // the blanks after it go with the first field's separators
  while (*p) {
    while (*p == ',' || is_blank(*p)) p++;
    const char *k = p;
    while (*p && *p != '=' && *p != ',') p++;
    size_t kl = (size_t)(p - k);
    while (kl && is_blank(k[kl - 1])) kl--;
    if (*p != '=') continue;
    p++;
    while (is_blank(*p)) p++;
    const DigestField *f = nullptr;
    for (const DigestField &c : fields)
      if (kl == strlen(c.name) && strncasecmp(k, c.name, kl) == 0) f = &c;
    // The value, quoted (with \ escapes) or a token, goes straight into the
    // field it names, which it must fit; fields the check does not use are
    // passed over.
    bool quoted = *p == '"';
    if (quoted) p++;
    size_t vl = 0;
    for (; *p && (quoted ? *p != '"' : *p != ',' && !is_blank(*p)); p++) {
      if (quoted && *p == '\\' && p[1]) p++;
      if (!f) continue;
      if (vl + 1 >= f->size) return false;
      f->dst[vl++] = *p;
    }
    if (quoted && *p) p++;
    // Fields are separated by commas.
    while (is_blank(*p)) p++;
    if (*p && *p != ',') return false;
    if (f) {
      f->dst[vl] = 0;
      have[f - fields] = true;
    }
  }
  for (int i = 0; i < 5; i++)
    if (!have[i]) return false;
  return true;
}

// Empty when MD5 is not to be had (a library held to FIPS algorithms): no
// response matches then.
void digest_md5_hex(const void *data, size_t n, char out[33]) {
  unsigned char md[EVP_MAX_MD_SIZE];
  if (!EVP_Digest(data, n, md, nullptr, EVP_md5(), nullptr)) {
    out[0] = 0;
    return;
  }
  for (int i = 0; i < 16; i++) snprintf(out + 2 * i, 3, "%02x", md[i]);
}

void digest_ha1(const char *user, const char *realm, const char *password, char out[33]) {
  std::string s = std::string(user) + ":" + realm + ":" + password;
  digest_md5_hex(s.data(), s.size(), out);
}

bool digest_response_ok(const HttpDigest &d, const char *ha1, const char *method) {
  std::string s = std::string(method) + ":" + d.uri;
  char ha2[33] = "", expect[33] = "";
  digest_md5_hex(s.data(), s.size(), ha2);
  if (!d.qop[0]) {
    s = std::string(ha1) + ":" + d.nonce + ":" + ha2;
  } else {
    if (strcmp(d.qop, "auth") != 0 || !d.nc[0] || !d.cnonce[0]) return false;
    s = std::string(ha1) + ":" + d.nonce + ":" + d.nc + ":" + d.cnonce + ":auth:" + ha2;
  }
  digest_md5_hex(s.data(), s.size(), expect);
  // 32 hex digits, in either case.
  if (strlen(d.response) != 32) return false;
  char got[33];
  snprintf(got, sizeof got, "%s", d.response);
  for (char *c = got; *c; c++) *c = (char)tolower((unsigned char)*c);
  return CRYPTO_memcmp(got, expect, sizeof got) == 0;
}
