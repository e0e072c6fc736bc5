// Users and passwords for RTSP Digest authentication (RFC 2617, the form
// without qop that RTSP clients use).
#pragma once
#include <string>
#include <vector>

#include "streaming/rtsp/rtsp_request.h"

#define RTSP_DEFAULT_REALM "m7391 RTSP"

class UserAuthenticationDatabase {
 public:
  // realm NULL: the default realm. With passwordsAreMD5 the stored texts are
  // MD5(user:realm:password) in hex.
  explicit UserAuthenticationDatabase(const char *realm = nullptr, bool passwordsAreMD5 = false);
  void addUserRecord(const char *username, const char *password);
  void removeUserRecord(const char *username);
  // NULL when the user is unknown.
  const char *lookupPassword(const char *username) const;
  const char *realm() const { return fRealm.c_str(); }
  bool passwordsAreMD5() const { return fPasswordsAreMD5; }
  unsigned numUsers() const { return (unsigned)fUsers.size(); }

 private:
  std::string fRealm;
  bool fPasswordsAreMD5;
  std::vector<std::pair<std::string, std::string>> fUsers;
};

// MD5 of n bytes as 32 lower-case hex digits.
void rtsp_md5_hex(const void *data, size_t n, char out[33]);

// Whether d answers the challenge nonce for method with a user and password
// of db (the response is MD5(HA1:nonce:MD5(method:uri))).
bool rtsp_digest_check(const UserAuthenticationDatabase &db, const RtspDigest &d,
                       const char *method, const char *nonce);

// MD5(user:realm:password) in hex.
void rtsp_digest_ha1(const char *user, const char *realm, const char *password, char out[33]);

// Whether d's response is right for its own nonce and uri, method and ha1:
// MD5(HA1:nonce:MD5(method:uri)), or with qop "auth"
// MD5(HA1:nonce:nc:cnonce:auth:MD5(method:uri)). Any other qop is refused.
bool rtsp_digest_response_ok(const RtspDigest &d, const char *ha1, const char *method);
