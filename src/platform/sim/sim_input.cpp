// The input-event devices /dev/event0 to /dev/event3: four slots, each empty
// or holding a keyboard, a mouse, a touch panel or a device described in the
// evemu text format. A plugged slot has a FIFO <root>/run/input/eventN that
// the driver holds open; any writer's input_event records arrive through it
// and are stamped on arrival, as the kernel stamps them. Held keys repeat at
// the delay and period the program set, and Caps Lock is echoed as an LED
// event, as a keyboard bound to the console reports it.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <linux/input.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/device.h"
#include "platform/host_root.h"
#include "platform/sim/sim_control.h"
#include "platform/sim/sim_drivers.h"

namespace {

constexpr size_t kBitBytes = KEY_CNT / 8;   // the widest bitmap
constexpr size_t kQueueMax = 1024;          // a client's buffer; the oldest go

struct InputDesc {
  uint8_t bits[EV_CNT][kBitBytes];   // bits[0]: the event types
  input_absinfo abs[ABS_CNT];
  char name[80];
};

struct Client {
  SimFile *file;
  unsigned gen;
  std::deque<input_event> queue;
};

struct Slot {
  bool plugged = false;
  unsigned gen = 0;            // bumped by every plug and unplug
  InputDesc desc{};
  int fifo = -1;
  uint8_t carry[sizeof(input_event)];
  size_t ncarry = 0;
  int rep[2] = {250, 33};      // delay and period, ms
  int held = -1;               // the key that repeats
  int64_t next_repeat_us = 0;
  bool caps = false;
  int read_error = 0;          // reads fail with it while set
  std::vector<Client *> clients;
};

std::mutex g_lock;
// Never destroyed: the arrival thread reads the slots until the process ends.
Slot (&g_slots)[SIM_INPUT_SLOTS] = *new Slot[1][SIM_INPUT_SLOTS]();
bool g_stepped = false;
int64_t g_clock_us = 0;
int g_wake = -1;               // eventfd that wakes the arrival thread

int64_t mono_us(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t now_us(void) { return g_stepped ? g_clock_us : mono_us(); }

void set_bit(uint8_t *bits, unsigned n) { bits[n / 8] |= uint8_t(1u << (n % 8)); }
bool test_bit(const uint8_t *bits, unsigned n) { return bits[n / 8] & (1u << (n % 8)); }

void describe_keyboard(InputDesc &d) {
  snprintf(d.name, sizeof d.name, "Simulated USB Keyboard");
  for (unsigned t : {EV_SYN, EV_KEY, EV_MSC, EV_LED, EV_REP}) set_bit(d.bits[0], t);
  for (unsigned k = 1; k < 256; k++) set_bit(d.bits[EV_KEY], k);
  set_bit(d.bits[EV_MSC], MSC_SCAN);
  for (unsigned l : {LED_NUML, LED_CAPSL, LED_SCROLLL}) set_bit(d.bits[EV_LED], l);
}

void describe_mouse(InputDesc &d) {
  snprintf(d.name, sizeof d.name, "Simulated USB Mouse");
  for (unsigned t : {EV_SYN, EV_KEY, EV_REL, EV_MSC}) set_bit(d.bits[0], t);
  for (unsigned k : {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE}) set_bit(d.bits[EV_KEY], k);
  for (unsigned r : {REL_X, REL_Y, REL_WHEEL}) set_bit(d.bits[EV_REL], r);
  set_bit(d.bits[EV_MSC], MSC_SCAN);
}

void describe_touch(InputDesc &d) {
  snprintf(d.name, sizeof d.name, "Simulated Touch Panel");
  for (unsigned t : {EV_SYN, EV_KEY, EV_ABS}) set_bit(d.bits[0], t);
  set_bit(d.bits[EV_KEY], BTN_TOUCH);
  unsigned codes[] = {ABS_X, ABS_Y, ABS_PRESSURE, 40, 41, 42, 43, 44, 45, 46, 47, 50};
  for (unsigned c : codes) set_bit(d.bits[EV_ABS], c);
  d.abs[ABS_X] = {0, 0, 4095, 0, 0, 0};
  d.abs[ABS_Y] = {0, 0, 4095, 0, 0, 0};
  d.abs[ABS_PRESSURE] = {0, 0, 255, 0, 0, 0};
  d.abs[47] = {0, 0, 9, 0, 0, 0};
  d.abs[50] = {0, 0, 255, 0, 0, 0};
}

// The evemu text: "N: name", "B: TYPE BYTE..." (a type's bitmap, continued by
// further lines of the same type) and "A: CODE MIN MAX FUZZ FLAT [RES]";
// comments, "I:", "P:" and recorded events are ignored.
bool parse_description(const char *text, size_t len, InputDesc &d, std::string &err) {
  d = InputDesc{};
  size_t filled[EV_CNT] = {};
  size_t pos = 0;
  int lineno = 0;
  bool any = false;
  while (pos < len) {
    size_t end = pos;
    while (end < len && text[end] != '\n') end++;
    std::string line(text + pos, end - pos);
    pos = end + 1;
    lineno++;
    if (line.size() < 2 || line[1] != ':') continue;
    char kind = line[0];
    const char *p = line.c_str() + 2;
    char *next;
    if (kind == 'N') {
      while (*p == ' ') p++;
      snprintf(d.name, sizeof d.name, "%s", p);
    } else if (kind == 'B') {
      unsigned long type = strtoul(p, &next, 16);
      if (next == p || type >= EV_CNT) {
        err = "line " + std::to_string(lineno) + ": bad event type";
        return false;
      }
      for (p = next;;) {
        unsigned long byte = strtoul(p, &next, 16);
        if (next == p) break;
        if (byte > 0xff || filled[type] >= kBitBytes) {
          err = "line " + std::to_string(lineno) + ": bad bitmap";
          return false;
        }
        d.bits[type][filled[type]++] |= uint8_t(byte);
        p = next;
      }
      any = true;
    } else if (kind == 'A') {
      long v[6] = {};
      int n = 0;
      for (; n < 6; n++) {
        v[n] = strtol(p, &next, n == 0 ? 16 : 10);
        if (next == p) break;
        p = next;
      }
      if (n < 5 || v[0] < 0 || v[0] >= ABS_CNT) {
        err = "line " + std::to_string(lineno) + ": bad axis";
        return false;
      }
      d.abs[v[0]] = {0, int32_t(v[1]), int32_t(v[2]), int32_t(v[3]), int32_t(v[4]), int32_t(v[5])};
    }
  }
  if (!any) {
    err = "no B: lines";
    return false;
  }
  set_bit(d.bits[0], EV_SYN);
  return true;
}

void set_readable_locked(Client *c) { sim_file_set_readable(c->file, !c->queue.empty()); }

void deliver_locked(Slot &s, uint16_t type, uint16_t code, int32_t value, int64_t at_us) {
  input_event ev{};
  ev.input_event_sec = at_us / 1000000;
  ev.input_event_usec = at_us % 1000000;
  ev.type = type;
  ev.code = code;
  ev.value = value;
  for (Client *c : s.clients) {
    if (c->gen != s.gen) continue;
    if (c->queue.size() >= kQueueMax) c->queue.pop_front();
    c->queue.push_back(ev);
  }
}

void flush_readiness_locked(Slot &s) {
  for (Client *c : s.clients) set_readable_locked(c);
}

// Repeats of the held key that fell due by now.
void catch_up_locked(Slot &s, int64_t now) {
  if (s.held < 0 || s.rep[1] <= 0 || !test_bit(s.desc.bits[0], EV_REP)) return;
  while (s.next_repeat_us <= now) {
    deliver_locked(s, EV_KEY, uint16_t(s.held), 2, s.next_repeat_us);
    deliver_locked(s, EV_SYN, SYN_REPORT, 0, s.next_repeat_us);
    s.next_repeat_us += int64_t(s.rep[1]) * 1000;
  }
}

// One record from a writer, stamped now.
void arrive_locked(Slot &s, uint16_t type, uint16_t code, int32_t value) {
  int64_t now = now_us();
  catch_up_locked(s, now);
  deliver_locked(s, type, code, value, now);
  if (type == EV_KEY && value == 1) {
    s.held = code;
    s.next_repeat_us = now + int64_t(s.rep[0]) * 1000;
    if (code == KEY_CAPSLOCK && test_bit(s.desc.bits[EV_LED], LED_CAPSL)) {
      s.caps = !s.caps;
      deliver_locked(s, EV_LED, LED_CAPSL, s.caps, now);
      deliver_locked(s, EV_SYN, SYN_REPORT, 0, now);
    }
  } else if (type == EV_KEY && value == 0 && code == s.held) {
    s.held = -1;
  } else if (type == EV_LED && code == LED_CAPSL) {
    s.caps = value != 0;
  }
}

void drain_fifo_locked(Slot &s) {
  if (s.fifo < 0) return;
  for (;;) {
    ssize_t n = read(s.fifo, s.carry + s.ncarry, sizeof s.carry - s.ncarry);
    if (n <= 0) break;
    s.ncarry += size_t(n);
    if (s.ncarry < sizeof s.carry) continue;
    input_event ev;
    memcpy(&ev, s.carry, sizeof ev);
    s.ncarry = 0;
    arrive_locked(s, ev.type, ev.code, ev.value);
  }
}

void update_slot_locked(Slot &s) {
  drain_fifo_locked(s);
  catch_up_locked(s, now_us());
  flush_readiness_locked(s);
}

void *arrival_main(void *) {
  for (;;) {
    struct pollfd pfd[SIM_INPUT_SLOTS + 1];
    int timeout = 100;
    {
      std::lock_guard<std::mutex> l(g_lock);
      pfd[0] = {g_wake, POLLIN, 0};
      for (int i = 0; i < SIM_INPUT_SLOTS; i++) {
        Slot &s = g_slots[i];
        pfd[i + 1] = {s.fifo, POLLIN, 0};
        if (s.held >= 0 && !g_stepped) {
          int64_t due = (s.next_repeat_us - mono_us()) / 1000 + 1;
          timeout = int(std::max<int64_t>(0, std::min<int64_t>(timeout, due)));
        }
      }
    }
    poll(pfd, SIM_INPUT_SLOTS + 1, timeout);
    uint64_t v;
    (void)!read(g_wake, &v, sizeof v);
    std::lock_guard<std::mutex> l(g_lock);
    for (Slot &s : g_slots) update_slot_locked(s);
  }
  return nullptr;
}

void start_arrival_thread(void) {
  static pthread_once_t once = PTHREAD_ONCE_INIT;
  pthread_once(&once, [] {
    g_wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    pthread_t t;
    if (pthread_create(&t, nullptr, arrival_main, nullptr) == 0) pthread_detach(t);
  });
}

void wake_arrival_thread(void) {
  uint64_t one = 1;
  if (g_wake >= 0) (void)!write(g_wake, &one, sizeof one);
}

int slot_of(const char *path) {
  size_t n = strlen(path);
  return n ? path[n - 1] - '0' : -1;
}

std::string fifo_board_path(int n) { return "/run/input/event" + std::to_string(n); }

void unplug_locked(Slot &s, int n) {
  if (!s.plugged) return;
  s.plugged = false;
  s.gen++;
  if (s.fifo >= 0) close(s.fifo);
  s.fifo = -1;
  sys_unlink(fifo_board_path(n).c_str());
  for (Client *c : s.clients) sim_file_set_readable(c->file, true);   // poll sees the end
}

int plug_locked(int n, const InputDesc &d) {
  Slot &s = g_slots[n];
  unplug_locked(s, n);
  sys_mkdirs("/run/input", 0755);
  std::string path = fifo_board_path(n);
  HostPath hp(path.c_str());
  unlink(hp.c_str());
  if (mkfifo(hp.c_str(), 0666) != 0) return -1;
  s.fifo = open(hp.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (s.fifo < 0) return -1;
  s.desc = d;
  s.plugged = true;
  s.gen++;
  s.ncarry = 0;
  s.rep[0] = 250;
  s.rep[1] = 33;
  s.held = -1;
  s.caps = false;
  return 0;
}

int in_open(SimFile *f) {
  int n = slot_of(f->path);
  std::lock_guard<std::mutex> l(g_lock);
  if (n < 0 || n >= SIM_INPUT_SLOTS || !g_slots[n].plugged) return -ENOENT;
  Client *c = new Client{f, g_slots[n].gen, {}};
  g_slots[n].clients.push_back(c);
  f->priv = c;
  return 0;
}

void in_release(SimFile *f) {
  Client *c = static_cast<Client *>(f->priv);
  std::lock_guard<std::mutex> l(g_lock);
  for (Slot &s : g_slots) s.clients.erase(std::remove(s.clients.begin(), s.clients.end(), c), s.clients.end());
  delete c;
}

Slot *live_slot_locked(SimFile *f) {
  int n = slot_of(f->path);
  Client *c = static_cast<Client *>(f->priv);
  if (n < 0 || n >= SIM_INPUT_SLOTS || c->gen != g_slots[n].gen) return nullptr;
  return &g_slots[n];
}

ssize_t in_read(SimFile *f, void *buf, size_t n) {
  Client *c = static_cast<Client *>(f->priv);
  std::lock_guard<std::mutex> l(g_lock);
  Slot *s = live_slot_locked(f);
  if (!s) return -ENODEV;
  if (n < sizeof(input_event)) return -EINVAL;
  if (s->read_error) return -s->read_error;
  update_slot_locked(*s);
  if (c->queue.empty()) return -EAGAIN;
  size_t done = 0;
  while (!c->queue.empty() && n - done >= sizeof(input_event)) {
    memcpy(static_cast<char *>(buf) + done, &c->queue.front(), sizeof(input_event));
    c->queue.pop_front();
    done += sizeof(input_event);
  }
  set_readable_locked(c);
  return ssize_t(done);
}

// The program may write records too (LEDs, injected events): whole records
// only, handled as a writer's.
ssize_t in_write(SimFile *f, const void *buf, size_t n) {
  std::lock_guard<std::mutex> l(g_lock);
  Slot *s = live_slot_locked(f);
  if (!s) return -ENODEV;
  if (n < sizeof(input_event)) return -EINVAL;
  size_t done = 0;
  for (; n - done >= sizeof(input_event); done += sizeof(input_event)) {
    input_event ev;
    memcpy(&ev, static_cast<const char *>(buf) + done, sizeof ev);
    arrive_locked(*s, ev.type, ev.code, ev.value);
  }
  flush_readiness_locked(*s);
  return ssize_t(done);
}

int in_ioctl(SimFile *f, unsigned long req, void *arg) {
  std::lock_guard<std::mutex> l(g_lock);
  Slot *s = live_slot_locked(f);
  if (!s) return -ENODEV;
  if (_IOC_TYPE(req) != 'E') return -ENOTTY;
  unsigned nr = _IOC_NR(req), size = _IOC_SIZE(req);
  const InputDesc &d = s->desc;
  if (_IOC_DIR(req) == _IOC_READ && nr >= 0x20 && nr < 0x20 + EV_CNT) {
    unsigned type = nr - 0x20;
    size_t len = type == 0 ? EV_CNT / 8 : kBitBytes;
    memset(arg, 0, size);
    len = std::min<size_t>(len, size);
    memcpy(arg, d.bits[type], len);
    return int(len);
  }
  if (_IOC_DIR(req) == _IOC_READ && nr >= 0x40 && nr < 0x40 + ABS_CNT) {
    if (!test_bit(d.bits[0], EV_ABS)) return -EINVAL;
    input_absinfo a = d.abs[nr - 0x40];
    memcpy(arg, &a, std::min<size_t>(size, sizeof a));
    return 0;
  }
  switch (req) {
    case EVIOCGVERSION:
      *static_cast<int *>(arg) = EV_VERSION;
      return 0;
    case EVIOCGREP:
    case EVIOCSREP:
      if (!test_bit(d.bits[0], EV_REP)) return -ENOSYS;
      if (req == EVIOCGREP) {
        memcpy(arg, s->rep, sizeof s->rep);
      } else {
        memcpy(s->rep, arg, sizeof s->rep);
        if (s->held >= 0) s->next_repeat_us = now_us() + int64_t(s->rep[0]) * 1000;
      }
      return 0;
    case EVIOCGRAB:
      return 0;
  }
  if (_IOC_DIR(req) == _IOC_READ && nr == 0x06) {   // EVIOCGNAME(len)
    size_t len = std::min<size_t>(size, strlen(d.name) + 1);
    memcpy(arg, d.name, len);
    return int(len);
  }
  return -EINVAL;
}

const SimDriverOps kInputOps = {in_open, in_release, in_read, in_write, in_ioctl, nullptr, nullptr};

}  // namespace

void sim_input_register(void) {
  for (int n = 0; n < SIM_INPUT_SLOTS; n++) {
    std::string path = "/dev/event" + std::to_string(n);
    sim_register(path.c_str(), &kInputOps, g_slots);
  }
  sim_follow_commands("/run/sim_input.cmd", sim_input_command, "sim_input");
}

int sim_input_plug_description(int slot, const char *text, size_t len) {
  if (slot < 0 || slot >= SIM_INPUT_SLOTS || !text) return -1;
  InputDesc *d = new InputDesc;
  std::string err;
  int rc = -1;
  if (!parse_description(text, len, *d, err)) {
    fprintf(stderr, "sim_input: event%d: %s\n", slot, err.c_str());
  } else {
    std::lock_guard<std::mutex> l(g_lock);
    rc = plug_locked(slot, *d);
  }
  delete d;
  if (rc == 0) start_arrival_thread(), wake_arrival_thread();
  return rc;
}

int sim_input_plug(int slot, const char *kind) {
  if (slot < 0 || slot >= SIM_INPUT_SLOTS || !kind) return -1;
  InputDesc *d = new InputDesc{};
  int rc = 0;
  if (!strcmp(kind, "keyboard")) {
    describe_keyboard(*d);
  } else if (!strcmp(kind, "mouse")) {
    describe_mouse(*d);
  } else if (!strcmp(kind, "touch")) {
    describe_touch(*d);
  } else {
    FILE *f = sys_fopen(kind, "r");
    std::string text;
    if (f) {
      char buf[4096];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, f)) > 0 && text.size() < (1u << 20)) text.append(buf, n);
      fclose(f);
    }
    delete d;
    if (!f) {
      fprintf(stderr, "sim_input: %s: %s\n", kind, strerror(errno));
      return -1;
    }
    return sim_input_plug_description(slot, text.data(), text.size());
  }
  {
    std::lock_guard<std::mutex> l(g_lock);
    rc = plug_locked(slot, *d);
  }
  delete d;
  if (rc == 0) start_arrival_thread(), wake_arrival_thread();
  return rc;
}

int sim_input_unplug(int slot) {
  if (slot < 0 || slot >= SIM_INPUT_SLOTS) return -1;
  std::lock_guard<std::mutex> l(g_lock);
  unplug_locked(g_slots[slot], slot);
  g_slots[slot].read_error = 0;
  return 0;
}

int sim_input_fail_reads(int slot, int err) {
  if (slot < 0 || slot >= SIM_INPUT_SLOTS) return -1;
  std::lock_guard<std::mutex> l(g_lock);
  g_slots[slot].read_error = err > 0 ? err : 0;
  return 0;
}

int sim_input_push(int slot, uint16_t type, uint16_t code, int32_t value) {
  if (slot < 0 || slot >= SIM_INPUT_SLOTS) return -1;
  std::lock_guard<std::mutex> l(g_lock);
  Slot &s = g_slots[slot];
  if (!s.plugged) return -1;
  drain_fifo_locked(s);
  arrive_locked(s, type, code, value);
  flush_readiness_locked(s);
  return 0;
}

void sim_input_clock_step(int64_t us) {
  std::lock_guard<std::mutex> l(g_lock);
  if (!g_stepped) g_clock_us = mono_us();
  g_stepped = true;
  g_clock_us += us;
}

void sim_input_clock_real(void) {
  std::lock_guard<std::mutex> l(g_lock);
  g_stepped = false;
}

int sim_input_command(const char *line) {
  char buf[512];
  snprintf(buf, sizeof buf, "%s", line ? line : "");
  char *save = nullptr;
  const char *cmd = strtok_r(buf, " \t\r\n", &save);
  if (!cmd || cmd[0] == '#') return 0;
  const char *a = strtok_r(nullptr, " \t\r\n", &save);
  const char *b = strtok_r(nullptr, " \t\r\n", &save);
  if (!a || strtok_r(nullptr, " \t\r\n", &save)) return -1;
  char *end;
  long slot = strtol(a, &end, 10);
  if (*end || slot < 0 || slot >= SIM_INPUT_SLOTS) return -1;
  if (!strcmp(cmd, "plug") && b) return sim_input_plug(int(slot), b);
  if (!strcmp(cmd, "unplug") && !b) return sim_input_unplug(int(slot));
  return -1;
}
