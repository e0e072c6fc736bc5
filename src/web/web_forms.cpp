// POST forms: parameter forms and their key handlers, deleting recordings,
// the mixer form and clearing the access log.
#include "web/web_forms.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <microhttpd.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include "core/log.h"
#include "core/param_access.h"
#include "core/param_apply.h"
#include "core/param_table.h"
#include "core/user_log.h"
#include "media/mixer.h"
#include "storage/filesys.h"
#include "web/param_save.h"
#include "web/web_auth.h"

namespace {

constexpr size_t kPostBuffer = 1024;
constexpr uint32_t kUserCreatedCategory = 32;

bool value_is(const char *value, size_t size, const char *word) {
  return strlen(word) == size && strncasecmp(value, word, size) == 0;
}

bool value_begins(const char *value, size_t size, const char *word) {
  size_t n = strlen(word);
  return size >= n && strncasecmp(value, word, n) == 0;
}

// The prefix that a form row puts before its keys, or NULL.
const char *form_prefix(const UrlHandler *row) {
  if (!row) return nullptr;
  if (row->post_fn != post_processor_func && row->post_fn != post_processor_nosave_func &&
      row->post_fn != post_auth_controls_func)
    return nullptr;
  return row->text;
}

MHD_Result post_iterator(void *cls, MHD_ValueKind kind, const char *key, const char *filename,
                         const char *content_type, const char *encoding, const char *data,
                         uint64_t off, size_t size) {
  (void)kind;
  (void)filename;
  (void)content_type;
  (void)encoding;
  form_field(static_cast<WebRequest *>(cls), key, data, off, size);
  return MHD_YES;
}

// Creates the post processor on the first data and feeds it.
int feed_form(WebRequest *req, const char *data, size_t size, WebFormFn consumer,
              WebCloseFn close) {
  if (req->bad_request) return 0;
  if (!req->pp) {
    req->pp = req->connection
                  ? MHD_create_post_processor(req->connection, kPostBuffer, post_iterator, req)
                  : nullptr;
    if (!req->pp) {
      log_printf("%s: Failed to create post processor\n", "post_processor_func");
      req->bad_request = 1;
      return 0;
    }
    req->form_consumer = consumer;
    req->close_fn = close;
  }
  if (MHD_post_process(req->pp, data, size) != MHD_YES) req->bad_request = 1;
  return 0;
}

// Ends the post processor (which hands over a last value still held) and
// acts on the form, unless the client went before its body ended: a value
// cut in transit (half a password) must not be taken, nor the rest alone.
void end_form(WebRequest *req) {
  if (req->pp) {
    if (MHD_destroy_post_processor(req->pp) != MHD_YES && !req->aborted) req->bad_request = 1;
    req->pp = nullptr;
  }
  form_flush(req);
  if (req->aborted) {
    if (req->form_fields_len) log_printf("%s: %s cut off, nothing changed\n", "end_form", req->url);
    return;
  }
  form_apply(req);
}

// A parameter form is taken whole or not at all: every key is looked at
// first (a name that is no parameter, or one the user may not write,
// refuses the form), then the settings are set, and only when each was
// taken do the action rows (rows that store nothing and read back nothing:
// a reboot, a key press, a user's deletion) act.
enum FormPhase { FORM_CHECK, FORM_SETTINGS, FORM_ACTIONS };
thread_local FormPhase form_phase = FORM_SETTINGS;

bool is_action(const ParamDesc *d) { return d && d->type == PARAM_VIRTUAL && !d->format; }

void param_key(WebRequest *req, const char *key, const char *value, size_t len) {
  const UrlHandler *row = req->row;
  const char *prefix = form_prefix(row);
  if (form_phase == FORM_CHECK) {
    // The log goes to the debug page and out as UDP datagrams: no passwords.
    bool secret = strcasestr(key, "pass") != nullptr;
    log_printf("%s: res=%s,%d %s=%.*s size=%d\n", "post_iterator", row ? row->name : "",
               row ? int(row->code) : 0, key, secret ? 3 : int(len), secret ? "***" : value, int(len));
  }
  if (len == 0) return;
  char name[WEB_FORM_KEY_MAX + 32];
  if (prefix && prefix[0]) {
    if (strcmp(key, "redirect") == 0) {
      // Where the reply leads, refused or not.
      if (form_phase == FORM_CHECK) post_redirect_func(req, value, len);
      return;
    }
    snprintf(name, sizeof name, "%s%s", prefix, key);
  } else {
    snprintf(name, sizeof name, "%s", key);
  }
  const UrlHandler *key_row = url_table_lookup(name);
  if (key_row && key_row->key_fn) {
    if (form_phase != FORM_SETTINGS) return;
    req->row = key_row;
    key_row->key_fn(req, value, len);
    req->row = row;
    return;
  }
  if (form_phase == FORM_CHECK) {
    switch (param_may_write(name, req->permission)) {
    case -1:
      log_printf("Warning: param %s=%.*s doesn't exist\n", name, int(len), value);
      web_request_add_error(req, name, "No such parameter");
      break;
    case 0:
      log_printf("Warning: user %s does not have permission to set param %s\n",
                 req->username ? req->username : "guest", name);
      req->denied = 1;
      break;
    default:
      break;
    }
    return;
  }
  if (param_may_write(name, req->permission) != 1) return;
  if (is_action(param_find(name)) != (form_phase == FORM_ACTIONS)) return;
  if (const char *msg = param_set(name, value, len)) {
    log_printf("%s: %s\n", name, msg);
    web_request_add_error(req, name, msg);
  }
}

void each_field(WebRequest *req, WebFormFn fn) {
  const char *p = req->form_fields, *end = p + req->form_fields_len;
  while (p && p < end) {
    const char *key = p;
    p += strlen(key) + 1;
    uint32_t vlen;
    memcpy(&vlen, p, 4);
    p += 4;
    fn(req, key, p, vlen);
    p += vlen;
  }
}

// Puts the settings back as they were before the form (the block's head,
// which the save keeps, stays), and drops the change groups the form
// marked: a refused form restarts nothing.
void params_put_back(const ParamBlock &before, uint32_t pending_before) {
  ParamBlock *live = get_param_block();
  const size_t head = offsetof(ParamBlock, counter) + sizeof live->counter;
  param_write_begin();
  memcpy(reinterpret_cast<uint8_t *>(live) + head, reinterpret_cast<const uint8_t *>(&before) + head,
         sizeof before - head);
  param_write_end();
  uint32_t marked = param_pending_changes() & ~pending_before;
  for (uint32_t g = 0; g < 32; g++)
    if (marked & (1u << g)) param_drop_change(g);
}

// A user deleted or renamed takes its login sessions along.
void forget_changed_users(const ParamBlock &before) {
  const ParamBlock *now = get_param_block();
  for (int i = 0; i < PARAM_USER_COUNT; i++) {
    const UserRecord &was = before.users[i];
    char old[sizeof was.name + 1] = "";
    memcpy(old, was.name, sizeof was.name);
    if (old[0] && strncmp(old, now->users[i].name, sizeof was.name) != 0) web_sessions_forget_user(old);
  }
}

void param_form_apply(WebRequest *req) {
  form_phase = FORM_CHECK;
  each_field(req, param_key);
  form_phase = FORM_SETTINGS;
  if (req->denied) {
    log_printf("%s: %s refused, nothing changed\n", "post_iterator", req->url ? req->url : "");
    return;
  }
  // Keys already refused still have their values tried, so that the reply
  // names every fault; what was set is then put back.
  static_assert(sizeof(ParamBlock) <= 4096, "the settings are copied on the stack");
  ParamBlock before;
  param_write_begin();
  before = *get_param_block();
  param_write_end();
  uint32_t pending_before = param_pending_changes();
  each_field(req, param_key);
  if (req->errors_len || req->denied) {
    params_put_back(before, pending_before);
    log_printf("%s: %s refused, nothing changed\n", "post_iterator", req->url ? req->url : "");
    return;
  }
  form_phase = FORM_ACTIONS;
  each_field(req, param_key);
  form_phase = FORM_SETTINGS;
  forget_changed_users(before);
}

void delete_file(WebRequest *req, const char *key, const char *value, size_t len) {
  if (strncmp(key, "delete_file", 11) != 0 || len == 0 || req->delete_source < 0) return;
  char name[WEB_FORM_VALUE_MAX + 1];
  memcpy(name, value, len);
  name[len] = 0;
  if (strlen(name) != len || !filesys_name_ok(name)) {
    log_printf("Bad filename: %s\n", name);
    web_request_add_error(req, "delete_file", "Bad filename");
    return;
  }
  // The name itself may be a link (it is removed, not followed), but no
  // directory on the way to it.
  int fd = web_open_recording(req->delete_source, name, O_PATH);
  if (fd < 0) {
    log_printf("Bad filename: %s\n", name);
    web_request_add_error(req, name, "could not be deleted");
    return;
  }
  close(fd);
  int rc = filesys_delete(req->delete_source, name, nullptr);
  if (rc == -EBUSY) web_request_add_error(req, name, "is being recorded and was not deleted");
  else if (rc != 0) web_request_add_error(req, name, "could not be deleted");
}

void delete_files_done(WebRequest *req) {
  end_form(req);
  if (req->delete_source >= 0) filesys_multi_finish(req->delete_source);
}

void mixer_key(WebRequest *req, const char *key, const char *value, size_t len) {
  (void)req;
  mixer_form_apply(key, value, len);
}

void clear_log_key(WebRequest *req, const char *key, const char *value, size_t len) {
  (void)req;
  if (strcmp(key, "confirm") != 0) return;
  if (value_begins(value, len, "checked") || value_begins(value, len, "on")) {
    log_printf("Clearing access log!\n");
    if (user_log_clear() != 0) web_request_add_error(req, "confirm", "the access log could not be erased");
  }
}

}  // namespace

void form_field(WebRequest *req, const char *key, const char *data, uint64_t offset, size_t size) {
  if (!key) key = "";
  if (offset == 0 || !req->form_key_active || strcmp(key, req->form_key) != 0) {
    form_flush(req);
    req->form_key_active = 1;
    req->form_value_len = 0;
    req->form_value_overflow = strlen(key) >= sizeof req->form_key;
    snprintf(req->form_key, sizeof req->form_key, "%s", key);
  }
  if (!data || !size) return;
  if (req->form_value_len + size > sizeof req->form_value) {
    req->form_value_overflow = 1;
    return;
  }
  memcpy(req->form_value + req->form_value_len, data, size);
  req->form_value_len += size;
}

void form_flush(WebRequest *req) {
  if (!req->form_key_active) return;
  req->form_key_active = 0;
  if (req->form_value_overflow) {
    log_printf("%s: %s too long\n", "post_iterator", req->form_key);
    web_request_add_error(req, req->form_key, "Value too long");
    return;
  }
  size_t klen = strlen(req->form_key), vlen = req->form_value_len;
  size_t add = klen + 1 + 4 + vlen;
  // Bounded like any body: forms are small.
  if (req->form_fields_len + add > 256 * 1024) {
    web_request_add_error(req, req->form_key, "Form too large");
    return;
  }
  char *p = static_cast<char *>(realloc(req->form_fields, req->form_fields_len + add));
  if (!p) {
    web_request_add_error(req, req->form_key, "Out of memory");
    return;
  }
  req->form_fields = p;
  p += req->form_fields_len;
  memcpy(p, req->form_key, klen + 1);
  uint32_t v32 = uint32_t(vlen);
  memcpy(p + klen + 1, &v32, 4);
  memcpy(p + klen + 5, req->form_value, vlen);
  req->form_fields_len += add;
}

void form_apply(WebRequest *req) {
  WebFormFn fn = req->form_consumer ? req->form_consumer : param_key;
  if (fn == param_key) param_form_apply(req);
  else each_field(req, fn);
  free(req->form_fields);
  req->form_fields = nullptr;
  req->form_fields_len = 0;
}

void post_processor_done(WebRequest *req) {
  end_form(req);
  if (req->aborted) return;
  bool network = (param_pending_changes() & (1u << CG_NETWORK)) != 0;
  param_apply_changes();
  // The client that moved the device to another address is sent on to it;
  // nobody else's form is.
  if (network) {
    if (const char *ip = param_current_ip()) {
      char target[64];
      snprintf(target, sizeof target, "http://%s/admin_network.htm", ip);
      free(req->redirect);
      req->redirect = strdup(target);
      req->new_address = 1;
    }
  }
  // A refused form changed nothing: there is nothing to save.
  if (!req->no_save && !req->errors_len && !req->denied) param_save_request();
}

int post_processor_func(WebRequest *req, const char *data, size_t size) {
  return feed_form(req, data, size, param_key, post_processor_done);
}

int post_processor_nosave_func(WebRequest *req, const char *data, size_t size) {
  req->no_save = 1;
  return post_processor_func(req, data, size);
}

int post_auth_controls_func(WebRequest *req, const char *data, size_t size) {
  return post_processor_func(req, data, size);
}

int post_delete_files_func(WebRequest *req, const char *data, size_t size) {
  if (!req->pp && !req->bad_request) {
    req->delete_source = web_storage_source(req->row ? req->row->text : nullptr);
    if (req->delete_source >= 0) filesys_multi_start(req->delete_source, 0, 0);
    req->close_fn = delete_files_done;
  }
  return feed_form(req, data, size, delete_file, delete_files_done);
}

int post_mixer_func(WebRequest *req, const char *data, size_t size) {
  return feed_form(req, data, size, mixer_key, end_form);
}

int post_clear_log_func(WebRequest *req, const char *data, size_t size) {
  return feed_form(req, data, size, clear_log_key, end_form);
}

int post_ignore_func(WebRequest *req, const char *value, size_t size) {
  (void)req;
  (void)value;
  (void)size;
  return 0;
}

int post_save_params_func(WebRequest *req, const char *value, size_t size) {
  if (value_is(value, size, "no") || value_is(value, size, "false") || value_is(value, size, "0") ||
      value_is(value, size, "n"))
    req->no_save = 1;
  else if (value_is(value, size, "yes") || value_is(value, size, "true") ||
           value_is(value, size, "1") || value_is(value, size, "y"))
    req->no_save = 0;
  return 0;
}

int post_redirect_func(WebRequest *req, const char *value, size_t size) {
  free(req->redirect);
  req->redirect = strndup(value, size);
  return 0;
}

int post_create_user_func(WebRequest *req, const char *value, size_t size) {
  if (!req->row) return 0;
  if (req->permission != PERM_ADMIN) {
    if (!req->denied)
      log_printf("Warning: user %s does not have permission to create users\n",
                 req->username ? req->username : "guest");
    req->denied = 1;
    return 0;
  }
  if (req->create_user_slot == -1) {
    req->create_user_slot = -2;
    ParamBlock *b = get_param_block();
    for (int i = 0; i < PARAM_USER_COUNT; i++) {
      if (!b->users[i].name[0]) {
        req->create_user_slot = i;
        break;
      }
    }
    if (req->create_user_slot < 0) {
      web_request_add_error(req, "create_user_name", "No free user entry");
      return 0;
    }
    if (user_log_append(kUserCreatedCategory, req->username, USER_EVENT_USER_CREATED) != 0)
      log_printf("%s: log write failed\n", "post_create_user_func");
  }
  if (req->create_user_slot < 0) return 0;
  const char *field = strcmp(req->row->name, "create_user_name") == 0   ? "Name"
                      : strcmp(req->row->name, "create_user_perm") == 0 ? "Permission"
                                                                        : "Password";
  char name[40];
  snprintf(name, sizeof name, "User[%d].%s", req->create_user_slot, field);
  if (const char *msg = param_set(name, value, size)) {
    log_printf("%s: %s\n", name, msg);
    web_request_add_error(req, name, msg);
  }
  return 0;
}
