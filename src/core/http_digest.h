// Digest authentication (RFC 2617): the fields of an Authorization header and
// the hashes that check its response, for the web server and the RTSP server.
#pragma once
#include <cstddef>

struct HttpDigest {
  char username[64];
  char realm[128];
  char nonce[128];
  char uri[512];
  char response[64];
  // Empty unless the client answered with a qop (web browsers do).
  char qop[16];
  char nc[16];
  char cnonce[128];
};

// "Digest username=..., realm=..., ..." false when the scheme is not Digest,
// a field the check needs is missing or any field is too long.
bool digest_parse(const char *value, HttpDigest *d);

// MD5 of n bytes as 32 lower-case hex digits.
void digest_md5_hex(const void *data, size_t n, char out[33]);

// MD5(user:realm:password) in hex.
void digest_ha1(const char *user, const char *realm, const char *password, char out[33]);

// Whether d's response is right for its own nonce and uri, method and ha1:
// MD5(HA1:nonce:MD5(method:uri)), or with qop "auth"
// MD5(HA1:nonce:nc:cnonce:auth:MD5(method:uri)). Any other qop is refused.
bool digest_response_ok(const HttpDigest &d, const char *ha1, const char *method);
