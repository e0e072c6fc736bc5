// The device status word: what the device is doing, changed only under
// status_lock with a reason text, and sent to up to four subscribers as a
// notification packet (kind 0x80, type 1: u32 word, u32 changed bits the
// subscriber's mask covers, reason string).
#pragma once
#include <cstdint>
#include <netinet/in.h>
#include <pthread.h>

#include "control/ctl_packet.h"

struct ParamBlock;

// DeviceStatus bits.
constexpr uint32_t STATUS_RECORDING = 0x1;
constexpr uint32_t STATUS_PLAYBACK = 0x2;
constexpr uint32_t STATUS_VIDEO = 0x4;
constexpr uint32_t STATUS_KEYBOARD = 0x8;
constexpr uint32_t STATUS_STORAGE = 0x10;
constexpr uint32_t STATUS_WIFI = 0x20;
constexpr uint32_t STATUS_REC_PAUSED = 0x40;
constexpr uint32_t STATUS_PLAY_PAUSED = 0x80;
constexpr uint32_t STATUS_MENU = 0x100;
constexpr uint32_t STATUS_SNAPSHOT_VIEW = 0x200;
constexpr uint32_t STATUS_PRIMARY = 0x1000000;
constexpr uint32_t STATUS_SHUTDOWN = 0x2000000;
typedef uint32_t DeviceStatus;

#define STATUS_SUBSCRIBERS 4
#define STATUS_EVENT_STATUS_CHANGE 1

// Slot 0 is the primary one. A mask of 0 leaves the slot unused.
struct StatusSubscriber {
  uint32_t mask;
  struct sockaddr_in addr;
  uint32_t primary;
};

// Guards the word and the slots. It lives as long as the process, so callers
// that come before start-up's init or after shutdown still find it.
extern pthread_mutex_t status_lock;

// Opens the notification socket and keeps the block for the request
// handlers. 0; a socket that cannot be made leaves notifications inert.
int status_events_init(ParamBlock *params);
// Sets the shutdown bit (subscribers are told) and closes the socket; the
// word and its lock stay usable.
void status_events_shutdown(void);
ParamBlock *status_params(void);

// value's bits under mask become the word's; reason names who changed it.
void status_update(uint32_t value, uint32_t mask, const char *reason);
// The same with status_lock already held (the request guards hold it across
// their test and the change).
void status_broadcast(uint32_t value, uint32_t mask, const char *reason);
DeviceStatus status_get(void);
// The word with status_lock already held.
DeviceStatus status_get_locked(void);

void set_video_status(int on);
void set_wifi_status(int on);
void set_mem_attached(int on);

// A subscription of 127.0.0.1:port: slot 0 to 3 (else 2), mask 0 clears it.
// Only the primary slot may hold STATUS_PRIMARY; subscribing there sets the
// bit in the word. *word gets the word afterwards.
CtlStatus status_subscribe(uint8_t slot, uint32_t mask, uint16_t port, uint32_t *word);
// A copy of one slot (tests and diagnostics).
StatusSubscriber status_subscriber(int slot);
