// Client channels to the local control service.
#include "control/ctl_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int ctl_users;
pthread_mutex_t users_mutex = PTHREAD_MUTEX_INITIALIZER;

sockaddr_in loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

uint64_t now_ms(void) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000 + (uint64_t)ts.tv_nsec / 1000000;
}

void socket_reset(CtlSocket *s) {
  memset(s, 0, sizeof *s);
  s->fd = -1;
}

void socket_release(CtlSocket *s) {
  if (s->fd >= 0) close(s->fd);
  if (s->mutex) {
    pthread_mutex_destroy(s->mutex);
    free(s->mutex);
  }
  if (s->semaphore) {
    sem_destroy(s->semaphore);
    free(s->semaphore);
  }
  socket_reset(s);
}

CtlStatus socket_open(CtlSocket *s, uint16_t port) {
  s->fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s->fd < 0) return CTL_ERR_SOCKET;
  s->mutex = (pthread_mutex_t *)malloc(sizeof *s->mutex);
  s->semaphore = (sem_t *)malloc(sizeof *s->semaphore);
  if (!s->mutex || !s->semaphore || pthread_mutex_init(s->mutex, nullptr) != 0) {
    free(s->mutex);
    s->mutex = nullptr;
    return CTL_ERR_MUTEX;
  }
  if (sem_init(s->semaphore, 0, 0) != 0) {
    free(s->semaphore);
    s->semaphore = nullptr;
    return CTL_ERR_MUTEX;
  }
  if (port) {
    sockaddr_in a = loopback(port);
    if (bind(s->fd, (sockaddr *)&a, sizeof a) != 0) return CTL_ERR_BIND;
  }
  s->valid = 1;
  // The service learns of each socket from its first, empty datagram.
  sockaddr_in svc = loopback(CTL_SERVICE_PORT);
  (void)sendto(s->fd, "", 0, 0, (sockaddr *)&svc, sizeof svc);
  sockaddr_in me{};
  socklen_t len = sizeof me;
  if (getsockname(s->fd, (sockaddr *)&me, &len) == 0) s->local_port = me.sin_port;
  return CTL_OK;
}

// Wakes a reader blocked on the socket by datagrams to its own port, waits
// until the reader has seen the flag, then releases the socket.
void socket_close(CtlSocket *s) {
  if (s->fd < 0 || !s->valid) {
    socket_release(s);
    return;
  }
  s->closing = 1;
  sockaddr_in self = loopback(0);
  self.sin_port = s->local_port;
  for (int i = 0; i < 2; i++) (void)sendto(s->fd, "", 0, 0, (sockaddr *)&self, sizeof self);
  CtlPacket p;
  size_t n;
  ctl_receive(s, &p, &n, nullptr, CTL_WAIT_FOREVER);
  sem_wait(s->semaphore);
  socket_release(s);
}

bool same_peer(const sockaddr_in &a, const sockaddr_in &b) {
  return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

}  // namespace

int ctl_init(void) {
  pthread_mutex_lock(&users_mutex);
  ctl_users++;
  pthread_mutex_unlock(&users_mutex);
  return 0;
}

int ctl_exit(void) {
  pthread_mutex_lock(&users_mutex);
  if (ctl_users > 0) ctl_users--;
  pthread_mutex_unlock(&users_mutex);
  return 0;
}

CtlStatus ctl_receive(CtlSocket *s, CtlPacket *p, size_t *len, const sockaddr_in *from,
                      uint32_t timeout_ms) {
  if (pthread_mutex_trylock(s->mutex) != 0) return CTL_ERR_LOCKED;
  uint64_t deadline = timeout_ms == CTL_WAIT_FOREVER ? 0 : now_ms() + timeout_ms;
  CtlStatus st = CTL_OK;
  for (;;) {
    int wait = -1;
    if (deadline) {
      uint64_t t = now_ms();
      wait = t >= deadline ? 0 : (int)(deadline - t);
    }
    pollfd pf = {s->fd, POLLIN, 0};
    int r = poll(&pf, 1, wait);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      st = CTL_ERR_READ;
      break;
    }
    if (r == 0) {
      st = CTL_ERR_TIMEOUT;
      break;
    }
    sockaddr_in src{};
    socklen_t slen = sizeof src;
    ssize_t n = recvfrom(s->fd, p->frame, sizeof p->frame, 0, (sockaddr *)&src, &slen);
    if (s->closing) {
      // The closer frees the socket as soon as it is posted: nothing of it
      // may be touched after the post, the lock included.
      s->valid = 0;
      pthread_mutex_unlock(s->mutex);
      sem_post(s->semaphore);
      return CTL_ERR_CLOSED;
    }
    if (n < 0 && errno != EINTR && errno != EAGAIN) {
      st = CTL_ERR_READ;
      break;
    }
    if (n < 4 || (from && !same_peer(src, *from))) continue;
    *len = (size_t)n;
    break;
  }
  pthread_mutex_unlock(s->mutex);
  return st;
}

CtlStatus ctl_open(uint8_t unit, uint16_t port, const char *address, uint32_t timeout_ms,
                   CtlChannel **out) {
  *out = nullptr;
  CtlChannel *ch = (CtlChannel *)calloc(1, sizeof *ch);
  if (!ch) return CTL_ERR_NO_MEMORY;
  socket_reset(&ch->command);
  socket_reset(&ch->event);
  ch->peer = loopback(port);
  if (address) ch->peer.sin_addr.s_addr = inet_addr(address);
  ch->timeout_ms = timeout_ms;
  ch->unit = unit;
  uint16_t base = unit ? (uint16_t)(CTL_SERVICE_PORT + 2 * unit) : 0;
  CtlStatus st = socket_open(&ch->command, base);
  if (st == CTL_OK) st = socket_open(&ch->event, unit ? (uint16_t)(base + 1) : 0);
  if (st == CTL_OK) {
    ch->lock = (pthread_mutex_t *)malloc(sizeof *ch->lock);
    if (!ch->lock || pthread_mutex_init(ch->lock, nullptr) != 0) {
      free(ch->lock);
      ch->lock = nullptr;
      st = CTL_ERR_MUTEX;
    }
  }
  if (st != CTL_OK) {
    socket_release(&ch->event);
    socket_release(&ch->command);
    free(ch);
    return st;
  }
  *out = ch;
  return CTL_OK;
}

CtlStatus ctl_close(CtlChannel *ch) {
  if (!ch) return CTL_OK;
  if (ch->subscribed) (void)ctl_subscribe(ch, ch->subscribed_slot, 0);
  socket_close(&ch->event);
  socket_close(&ch->command);
  pthread_mutex_destroy(ch->lock);
  free(ch->lock);
  free(ch);
  return CTL_OK;
}

CtlStatus ctl_transact(CtlChannel *ch, CtlExchange *ex) {
  if (pthread_mutex_lock(ch->lock) != 0) return CTL_ERR_LOCKED;
  CtlPacket *req = &ex->request, *rep = &ex->reply;
  ctl_put_checksum(req);
  size_t n = cobs_encode(req);
  CtlStatus st = req->error;
  if (!st) {
    // A reply that came after an earlier time-out must not pass for this one.
    uint8_t junk[8];
    while (recv(ch->command.fd, junk, sizeof junk, MSG_DONTWAIT) >= 0) {
    }
    if (sendto(ch->command.fd, req->frame, n, 0, (sockaddr *)&ch->peer, sizeof ch->peer) != (ssize_t)n)
      st = req->error = CTL_ERR_SEND;
  }
  if (!st) {
    size_t got = 0;
    st = ctl_receive(&ch->command, rep, &got, &ch->peer, ch->timeout_ms);
    if (!st) st = ctl_decode_frame(rep, got);
    if (!st) st = ctl_get_u8(rep) == CTL_KIND_REPLY ? ctl_get_u8(rep) : (CtlStatus)CTL_ERR_KIND;
  }
  rep->error = st;
  pthread_mutex_unlock(ch->lock);
  return st;
}
