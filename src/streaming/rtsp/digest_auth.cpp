#include "streaming/rtsp/digest_auth.h"

#include <cstdio>
#include <cstring>
#include <openssl/crypto.h>
#include <openssl/evp.h>

UserAuthenticationDatabase::UserAuthenticationDatabase(const char *realm, bool passwordsAreMD5)
    : fRealm(realm ? realm : RTSP_DEFAULT_REALM), fPasswordsAreMD5(passwordsAreMD5) {}

void UserAuthenticationDatabase::addUserRecord(const char *username, const char *password) {
  removeUserRecord(username);
  fUsers.emplace_back(username, password ? password : "");
}

void UserAuthenticationDatabase::removeUserRecord(const char *username) {
  for (size_t i = 0; i < fUsers.size(); i++) {
    if (fUsers[i].first == username) {
      fUsers.erase(fUsers.begin() + (long)i);
      return;
    }
  }
}

const char *UserAuthenticationDatabase::lookupPassword(const char *username) const {
  for (const auto &u : fUsers)
    if (u.first == username) return u.second.c_str();
  return nullptr;
}

void rtsp_md5_hex(const void *data, size_t n, char out[33]) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int mdlen = 0;
  if (!EVP_Digest(data, n, md, &mdlen, EVP_md5(), nullptr) || mdlen != 16) {
    memset(md, 0, sizeof md);
  }
  for (int i = 0; i < 16; i++) snprintf(out + 2 * i, 3, "%02x", md[i]);
  out[32] = 0;
}

bool rtsp_digest_check(const UserAuthenticationDatabase &db, const RtspDigest &d,
                       const char *method, const char *nonce) {
  if (strcmp(d.realm, db.realm()) != 0 || strcmp(d.nonce, nonce) != 0) return false;
  const char *password = db.lookupPassword(d.username);
  if (!password) return false;
  char ha1[33];
  if (db.passwordsAreMD5()) snprintf(ha1, sizeof ha1, "%s", password);
  else rtsp_digest_ha1(d.username, d.realm, password, ha1);
  return rtsp_digest_response_ok(d, ha1, method);
}

void rtsp_digest_ha1(const char *user, const char *realm, const char *password, char out[33]) {
  std::string s = std::string(user) + ":" + realm + ":" + password;
  rtsp_md5_hex(s.data(), s.size(), out);
}

bool rtsp_digest_response_ok(const RtspDigest &d, const char *ha1, const char *method) {
  std::string s = std::string(method) + ":" + d.uri;
  char ha2[33], expect[33];
  rtsp_md5_hex(s.data(), s.size(), ha2);
  if (!d.qop[0]) {
    s = std::string(ha1) + ":" + d.nonce + ":" + ha2;
  } else {
    if (strcmp(d.qop, "auth") != 0 || !d.nc[0] || !d.cnonce[0]) return false;
    s = std::string(ha1) + ":" + d.nonce + ":" + d.nc + ":" + d.cnonce + ":auth:" + ha2;
  }
  rtsp_md5_hex(s.data(), s.size(), expect);
  char got[33];
  snprintf(got, sizeof got, "%s", d.response);
  for (char *c = got; *c; c++)
    if (*c >= 'A' && *c <= 'F') *c = (char)(*c - 'A' + 'a');
  return strlen(got) == 32 && CRYPTO_memcmp(got, expect, 32) == 0;
}
