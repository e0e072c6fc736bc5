#include "streaming/rtsp/digest_auth.h"

#include <cstdio>
#include <cstring>

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

bool rtsp_digest_check(const UserAuthenticationDatabase &db, const HttpDigest &d,
                       const char *method, const char *nonce) {
  if (strcmp(d.realm, db.realm()) != 0 || strcmp(d.nonce, nonce) != 0) return false;
  const char *password = db.lookupPassword(d.username);
  if (!password) return false;
  char ha1[33];
  if (db.passwordsAreMD5()) snprintf(ha1, sizeof ha1, "%s", password);
  else digest_ha1(d.username, d.realm, password, ha1);
  return digest_response_ok(d, ha1, method);
}
