// The user access log: an audit trail of logins, logouts, user creation and
// similar events, kept as fixed 64-byte records in two 128 KiB flash pages and
// appended one by one without rewriting.
#pragma once
#include <cstddef>
#include <cstdint>

enum UserLogEvent : uint32_t {
  USER_EVENT_UNDEFINED = 0,
  USER_EVENT_RESOURCE_ACCESS = 1,
  USER_EVENT_ERROR = 2,
  USER_EVENT_ALARM = 3,
  USER_EVENT_STREAM_CONTROL = 4,
  USER_EVENT_USER_CREATED = 5,
  USER_EVENT_LOGIN = 6,
  USER_EVENT_LOGOUT = 7,
};

#define USER_LOG_PAGES 2
#define USER_LOG_RECORDS 2048    // per page
#define USER_LOG_RECORD_SIZE 64

// Little-endian, as stored in flash.
#pragma pack(push, 1)
struct UserLogRecord {
  uint32_t category;     // 0xFFFFFFFF only in an erased record
  uint32_t time;         // seconds since 1970
  char user[20];         // not NUL-terminated when 20 characters long
  uint32_t event;        // UserLogEvent
  uint8_t reserved[32];
};
#pragma pack(pop)
static_assert(sizeof(UserLogRecord) == USER_LOG_RECORD_SIZE, "UserLogRecord is 64 bytes");

// Scans both pages, repairing what is inconsistent, and enables the log.
// 1 when a page had to be erased, else 0.
int user_log_init(void);
// 0 when the record was written; 1 when not (disabled: 0 without writing);
// -1 when the log became disabled (a page could not be erased).
int user_log_append(uint32_t category, const char *user, uint32_t event);
// Up to count of the newest records whose category meets mask, newest first,
// one line each; malloc'd (the caller frees it). NULL when the log is
// disabled, empty, or cannot be read.
char *get_user_data_log(int count, uint32_t mask);
// 0, or -1 when the erase failed (the page is then marked bad).
int erasePage(int page);
// Erases both pages; 0, or -1 when one of them failed.
int user_log_clear(void);
// The name of an event code ("LOGIN"); "UNDEFINED" for codes above 7.
const char *user_log_event_name(uint32_t event);
