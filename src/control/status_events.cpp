// The device status word and its subscribers.
#include "control/status_events.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "control/cmd_exec.h"
#include "core/log.h"

pthread_mutex_t status_lock = PTHREAD_MUTEX_INITIALIZER;

namespace {

// Lock order: status_lock, then event_mutex.
pthread_mutex_t event_mutex = PTHREAD_MUTEX_INITIALIZER;
int event_fd = -1;
DeviceStatus status_word;
StatusSubscriber subscribers[STATUS_SUBSCRIBERS] = {{0, {}, 1}, {0, {}, 0}, {0, {}, 0}, {0, {}, 0}};
ParamBlock *status_param_block;

void notify(const StatusSubscriber &s, DeviceStatus word, uint32_t changed, const char *reason) {
  CtlPacket p;
  ctl_init_event(&p, STATUS_EVENT_STATUS_CHANGE);
  ctl_put_u32(&p, word);
  ctl_put_u32(&p, changed);
  ctl_put_string(&p, reason ? reason : "");
  ctl_put_checksum(&p);
  if (p.error) return;
  size_t n = cobs_encode(&p);
  if (pthread_mutex_trylock(&event_mutex) != 0) return;
  if (event_fd >= 0)
    (void)sendto(event_fd, p.frame, n, MSG_DONTWAIT, (const sockaddr *)&s.addr, sizeof s.addr);
  pthread_mutex_unlock(&event_mutex);
}

}  // namespace

int status_events_init(ParamBlock *params) {
  pthread_mutex_lock(&status_lock);
  status_param_block = params;
  for (int i = 0; i < STATUS_SUBSCRIBERS; i++) {
    subscribers[i].mask = 0;
    subscribers[i].primary = i == 0;
  }
  pthread_mutex_lock(&event_mutex);
  if (event_fd < 0) {
    event_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (event_fd < 0) log_printf("%s: socket: %s\n", "status_events_init", strerror(errno));
  }
  pthread_mutex_unlock(&event_mutex);
  pthread_mutex_unlock(&status_lock);
  cmd_file_list_reset();
  return 0;
}

void status_events_shutdown(void) {
  pthread_mutex_lock(&status_lock);
  status_broadcast(STATUS_SHUTDOWN, STATUS_SHUTDOWN, nullptr);
  pthread_mutex_lock(&event_mutex);
  if (event_fd >= 0) close(event_fd);
  event_fd = -1;
  pthread_mutex_unlock(&event_mutex);
  pthread_mutex_unlock(&status_lock);
  cmd_file_list_release();
}

ParamBlock *status_params(void) { return status_param_block; }

void status_broadcast(uint32_t value, uint32_t mask, const char *reason) {
  DeviceStatus old = status_word;
  DeviceStatus now = (old & ~mask) | (value & mask);
  status_word = now;
  if (now == old) return;
  for (const StatusSubscriber &s : subscribers) {
    uint32_t changed = (now ^ old) & s.mask;
    if (changed) notify(s, now, changed, reason);
  }
}

void status_update(uint32_t value, uint32_t mask, const char *reason) {
  if (!mask) return;
  pthread_mutex_lock(&status_lock);
  status_broadcast(value, mask, reason);
  pthread_mutex_unlock(&status_lock);
}

DeviceStatus status_get_locked(void) { return status_word; }

DeviceStatus status_get(void) {
  pthread_mutex_lock(&status_lock);
  DeviceStatus w = status_word;
  pthread_mutex_unlock(&status_lock);
  return w;
}

void set_video_status(int on) { status_update(on ? STATUS_VIDEO : 0, STATUS_VIDEO, "set_video_status"); }
void set_wifi_status(int on) { status_update(on ? STATUS_WIFI : 0, STATUS_WIFI, "set_wifi_status"); }
void set_mem_attached(int on) {
  status_update(on ? STATUS_STORAGE : 0, STATUS_STORAGE, "set_mem_attached");
}

CtlStatus status_subscribe(uint8_t slot, uint32_t mask, uint16_t port, uint32_t *word) {
  if (slot >= STATUS_SUBSCRIBERS) return CTL_ERR_RANGE;
  pthread_mutex_lock(&status_lock);
  StatusSubscriber &s = subscribers[slot];
  if (mask) {
    if (s.primary)
      status_broadcast(STATUS_PRIMARY, STATUS_PRIMARY, nullptr);
    else
      mask &= ~(uint32_t)STATUS_PRIMARY;
    s.mask = mask;
    memset(&s.addr, 0, sizeof s.addr);
    s.addr.sin_family = AF_INET;
    s.addr.sin_port = htons(port);
    // Every client of the protocol runs on this device.
    s.addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  } else {
    s.mask = 0;
    if (s.primary) status_broadcast(0, STATUS_PRIMARY, nullptr);
  }
  if (word) *word = status_word;
  pthread_mutex_unlock(&status_lock);
  return CTL_OK;
}

StatusSubscriber status_subscriber(int slot) {
  pthread_mutex_lock(&status_lock);
  StatusSubscriber s = subscribers[slot & 3];
  pthread_mutex_unlock(&status_lock);
  return s;
}
