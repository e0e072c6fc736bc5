// Users and passwords for RTSP Digest authentication (RFC 2617, the form
// without qop that RTSP clients use).
#pragma once
#include <string>
#include <vector>

#include "core/http_digest.h"

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

// Whether d answers the challenge nonce for method with a user and password
// of db (the response is MD5(HA1:nonce:MD5(method:uri))).
bool rtsp_digest_check(const UserAuthenticationDatabase &db, const HttpDigest &d,
                       const char *method, const char *nonce);
