// The user access log in the raw flash.
#include "core/user_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>

#include "core/log.h"
#include "core/mtd.h"

namespace {

enum PageState { PAGE_EMPTY = 0, PAGE_PARTLY = 1, PAGE_FULL = 2, PAGE_BAD = 3 };

constexpr uint32_t kPageBytes = USER_LOG_RECORDS * USER_LOG_RECORD_SIZE;
constexpr uint32_t kErased = 0xFFFFFFFFu;
constexpr size_t kLineMax = 80;

const uint32_t page_offset[USER_LOG_PAGES] = {MTD_USERLOG0_OFF, MTD_USERLOG1_OFF};
static_assert(MTD_USERLOG1_OFF - MTD_USERLOG0_OFF == kPageBytes, "pages are adjacent");

const char *const event_names[] = {
    "UNDEFINED", "RESOURCE ACCESS", "ERROR", "ALARM", "STREAM CONTROL", "USER CREATED", "LOGIN",
    "LOGOUT",
};
const char *const month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The web and control threads both append: every entry point takes it.
pthread_mutex_t log_lock = PTHREAD_MUTEX_INITIALIZER;
bool enabled;
PageState state[USER_LOG_PAGES];
int cur_page;
int next_index;

uint32_t record_offset(int page, int index) {
  return page_offset[page] + uint32_t(index) * USER_LOG_RECORD_SIZE;
}

int erase_locked(int page) {
  if (mtd_erase_block(page_offset[page], kPageBytes) != 0) {
    log_printf("%s: block erase failed for page %d\n", "erasePage", page);
    state[page] = PAGE_BAD;
    return -1;
  }
  state[page] = PAGE_EMPTY;
  return 0;
}

// The used records must form one run from record 0. -1: corrupt or unreadable.
int scan_page(int page, int *first_erased) {
  uint8_t *buf = static_cast<uint8_t *>(malloc(kPageBytes));
  if (!buf) return -1;
  int rc = 0;
  if (mtd_read(buf, page_offset[page], kPageBytes) != ssize_t(kPageBytes)) {
    rc = -1;
  } else {
    int erased = USER_LOG_RECORDS;
    for (int i = 0; i < USER_LOG_RECORDS; i++) {
      uint32_t cat;
      memcpy(&cat, buf + i * USER_LOG_RECORD_SIZE, sizeof cat);
      if (cat == kErased) {
        if (erased == USER_LOG_RECORDS) erased = i;
      } else if (erased != USER_LOG_RECORDS) {
        rc = -1;
        break;
      }
    }
    *first_erased = erased;
  }
  free(buf);
  return rc;
}

bool is_blank(const void *p, size_t n) {
  const uint8_t *b = static_cast<const uint8_t *>(p);
  for (size_t i = 0; i < n; i++)
    if (b[i] != 0xFF) return false;
  return true;
}

bool read_record(int page, int index, UserLogRecord *r) {
  return mtd_read(r, record_offset(page, index), sizeof *r) == ssize_t(sizeof *r);
}

}  // namespace

const char *user_log_event_name(uint32_t event) {
  return event < sizeof event_names / sizeof event_names[0] ? event_names[event] : "UNDEFINED";
}

int erasePage(int page) {
  if (page < 0 || page >= USER_LOG_PAGES) return -1;
  pthread_mutex_lock(&log_lock);
  int rc = erase_locked(page);
  pthread_mutex_unlock(&log_lock);
  return rc;
}

int user_log_init(void) {
  pthread_mutex_lock(&log_lock);
  int erased_any = 0;
  bool erase_failed = false;
  int first_free[USER_LOG_PAGES] = {0, 0};
  for (int p = 0; p < USER_LOG_PAGES; p++) {
    if (scan_page(p, &first_free[p]) != 0) {
      erased_any = 1;
      first_free[p] = 0;
      if (erase_locked(p) != 0) erase_failed = true;
      continue;
    }
    state[p] = first_free[p] == 0 ? PAGE_EMPTY
               : first_free[p] == USER_LOG_RECORDS ? PAGE_FULL
                                                   : PAGE_PARTLY;
  }
  if (state[0] == state[1] && (state[0] == PAGE_FULL || state[0] == PAGE_PARTLY)) {
    erased_any = 1;
    for (int p = 0; p < USER_LOG_PAGES; p++) {
      first_free[p] = 0;
      if (erase_locked(p) != 0) erase_failed = true;
    }
  }
  if (state[0] == PAGE_PARTLY || state[1] == PAGE_PARTLY) {
    cur_page = state[0] == PAGE_PARTLY ? 0 : 1;
    next_index = first_free[cur_page];
  } else if (state[0] == PAGE_FULL && state[1] == PAGE_EMPTY) {
    cur_page = 1;
    next_index = 0;
  } else if (state[1] == PAGE_FULL && state[0] == PAGE_EMPTY) {
    cur_page = 0;
    next_index = 0;
  } else {
    cur_page = 0;
    next_index = 0;
  }
  enabled = !erase_failed && state[cur_page] != PAGE_BAD;
  pthread_mutex_unlock(&log_lock);
  return erased_any;
}

int user_log_append(uint32_t category, const char *user, uint32_t event) {
  pthread_mutex_lock(&log_lock);
  if (!enabled) {
    pthread_mutex_unlock(&log_lock);
    return 0;
  }
  UserLogRecord r;
  memset(&r, 0, sizeof r);
  r.category = category;
  r.time = uint32_t(time(nullptr));
  const char *name = user && user[0] ? user : "Guest";
  memcpy(r.user, name, strnlen(name, sizeof r.user));
  r.event = event;
  int rc = 0;
  uint32_t off = record_offset(cur_page, next_index);
  if (mtd_write(&r, off, sizeof r) != ssize_t(sizeof r)) {
    rc = 1;
    // A write that programmed part of the record leaves bits that no later
    // write can set again: the record is given up, its category cleared so
    // that no reader shows it, and the next append goes past it.
    UserLogRecord back;
    if (mtd_read(&back, off, sizeof back) != ssize_t(sizeof back) || is_blank(&back, sizeof back)) {
      pthread_mutex_unlock(&log_lock);
      return rc;
    }
    uint32_t none = 0;
    mtd_write(&none, off, sizeof none);
    log_printf("%s: record %d of page %d was written in part and is skipped\n", "user_log_append",
               next_index, cur_page);
  }
  state[cur_page] = PAGE_PARTLY;
  if (++next_index == USER_LOG_RECORDS) {
    state[cur_page] = PAGE_FULL;
    cur_page ^= 1;
    next_index = 0;
    if (erase_locked(cur_page) != 0) {
      enabled = false;
      rc = -1;
    }
  }
  pthread_mutex_unlock(&log_lock);
  return rc;
}

int user_log_clear(void) {
  pthread_mutex_lock(&log_lock);
  int rc = 0;
  for (int p = 0; p < USER_LOG_PAGES; p++)
    if (erase_locked(p) != 0) rc = -1;
  cur_page = 0;
  next_index = 0;
  if (rc != 0) enabled = false;
  pthread_mutex_unlock(&log_lock);
  return rc;
}

char *get_user_data_log(int count, uint32_t mask) {
  if (count <= 0) return nullptr;
  pthread_mutex_lock(&log_lock);
  if (!enabled || (state[0] == PAGE_EMPTY && state[1] == PAGE_EMPTY)) {
    pthread_mutex_unlock(&log_lock);
    return nullptr;
  }
  size_t cap = size_t(count) * kLineMax + 1;
  char *text = static_cast<char *>(malloc(cap));
  if (!text) {
    pthread_mutex_unlock(&log_lock);
    log_printf("get_user_data_log: malloc failed");
    return nullptr;
  }
  size_t len = 0;
  text[0] = 0;
  int page = cur_page, index = next_index - 1, line = 0;
  bool other_done = false;
  for (int examined = 0; examined < count;) {
    if (index < 0) {
      if (other_done || state[page ^ 1] != PAGE_FULL) break;
      page ^= 1;
      index = USER_LOG_RECORDS - 1;
      other_done = true;
    }
    UserLogRecord r;
    if (!read_record(page, index, &r)) {
      free(text);
      pthread_mutex_unlock(&log_lock);
      return nullptr;
    }
    index--;
    examined++;
    if (r.category == kErased || !(r.category & mask)) continue;
    time_t t = time_t(r.time);
    struct tm tm;
    localtime_r(&t, &tm);
    char name[sizeof r.user + 1];
    memcpy(name, r.user, sizeof r.user);
    name[sizeof r.user] = 0;
    int n = snprintf(text + len, cap - len, "%03d %.4d-%s-%.2d %.2d:%.2d:%.2d %-19.19s %s\n",
                     ++line, tm.tm_year + 1900, month_names[tm.tm_mon % 12], tm.tm_mday,
                     tm.tm_hour, tm.tm_min, tm.tm_sec, name, user_log_event_name(r.event));
    if (n > 0) len += size_t(n) < cap - len ? size_t(n) : cap - len - 1;
  }
  pthread_mutex_unlock(&log_lock);
  return text;
}
