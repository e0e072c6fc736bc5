// Permission levels and the ten users of the block.
#include <cstring>
#include <strings.h>
#include "core/log.h"
#include "core/param_access.h"
#include "core/param_table.h"

namespace {

const char *const permission_names[] = {
  "None", "Stream View", "Camera Control", "Stream Control", "Stream Config", "Admin", "Demo",
};

// User names are exact (case-sensitive); a field may fill all its bytes.
UserRecord *user_find(ParamBlock *b, const char *name) {
  size_t len = strlen(name);
  for (int i = 0; i < PARAM_USER_COUNT; i++) {
    UserRecord *u = &b->users[i];
    if (len && strnlen(u->name, sizeof u->name) == len && memcmp(u->name, name, len) == 0)
      return u;
  }
  return NULL;
}

}  // namespace

const char *permission_name(uint32_t level) {
  return level <= PERM_DEMO ? permission_names[level] : NULL;
}

uint32_t get_permission(const char *name) {
  for (uint32_t i = 0; i <= PERM_DEMO; i++)
    if (name && strcasecmp(name, permission_names[i]) == 0) return i;
  log_printf("%s: unknown permission %s\n", "get_permission", name ? name : "(null)");
  return PERM_NONE;
}

int param_may_write(const char *name, uint32_t level) {
  const ParamDesc *d = param_find(name);
  if (!d) return -1;
  if (level == PERM_DEMO) return 0;
  return d->write_level <= level;
}

int param_may_read(const char *name, uint32_t level) {
  const ParamDesc *d = param_find(name);
  if (!d) return -1;
  return d->read_level <= level;
}

const char *user_get_password(const char *name) {
  if (!name || !name[0]) return NULL;
  UserRecord *u = user_find(get_param_block(), name);
  if (!u || !u->password[0]) return NULL;
  return u->password;
}

int user_login_count(void) {
  const ParamBlock *b = get_param_block();
  int n = 0;
  for (const UserRecord &u : b->users)
    if (u.name[0] && u.password[0]) n++;
  return n;
}

uint32_t user_get_permission(const char *name) {
  ParamBlock *b = get_param_block();
  if (!name || !name[0]) return b->guest_permission;
  UserRecord *u = user_find(b, name);
  return u ? u->permission : PERM_NONE;
}

int user_has_permission(const char *name, const char *level_name) {
  return user_get_permission(name) >= get_permission(level_name);
}

void check_user_permissions(void) {
  ParamBlock *b = get_param_block();
  int admin = 0;
  for (int i = 0; i < PARAM_USER_COUNT; i++) {
    UserRecord *u = &b->users[i];
    if (!u->name[0])
      memset(u->password, 0, sizeof u->password);
    else if (u->permission > PERM_STREAM_CONFIG)
      admin = 1;
  }
  // The web must never lock every user out.
  if (b->guest_permission != PERM_ADMIN && !admin) {
    log_printf("%s: no users are admin, forcing guest\n", "check_user_permissions");
    b->guest_permission = PERM_ADMIN;
  }
}
