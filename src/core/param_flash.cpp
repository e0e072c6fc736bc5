// The parameter block in flash: a ring of 32 slots of 8 KiB in two halves of
// one erase block each. Saves go to the slot after the last used one; the
// first save into a half erases the other half once it is written.
#include "core/param_flash.h"
#include <cmath>
#include <cstring>
#include <sys/stat.h>
#include "core/crc32.h"
#include "core/global.h"
#include "core/log.h"
#include "core/mtd.h"
#include "core/param_access.h"
#include "core/param_apply.h"
#include "core/param_table.h"
#include "core/param_types.h"
#include "core/process_util.h"
#include "platform/host_root.h"

static_assert(PARAM_SLOT_SIZE * PARAM_SLOT_COUNT == MTD_PARAM_RING_SIZE, "slot ring");
static_assert(PARAM_HALF_SIZE == MTD_ERASE_BLOCK, "a half is one erase block");
static_assert(PARAM_BLOCK_SIZE <= PARAM_SLOT_WRITE, "block fits a slot");

namespace {

uint32_t slot_offset(int i) { return MTD_PARAM_RING_OFF + uint32_t(i) * PARAM_SLOT_SIZE; }

uint32_t le32(const uint8_t *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// CRC over size bytes with the CRC field (bytes 4-7) taken as zero.
uint32_t block_crc(const uint8_t *data, uint32_t size) {
  static uint8_t copy[PARAM_SLOT_SIZE];
  static pthread_mutex_t copy_mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_mutex_lock(&copy_mutex);
  memcpy(copy, data, size);
  for (uint32_t i = 4; i < 8 && i < size; i++) copy[i] = 0;
  uint32_t crc = crc32_mpeg2(copy, size);
  pthread_mutex_unlock(&copy_mutex);
  return crc;
}

bool is_erased(const uint8_t *p, size_t n) {
  for (size_t i = 0; i < n; i++)
    if (p[i] != 0xFF) return false;
  return true;
}

struct Slot {
  bool used;      // any byte programmed
  bool valid;     // a block whose CRC matches
  uint32_t size;
  uint32_t counter;
};

// Reads and classifies one slot; data receives its bytes.
bool read_slot(int i, uint8_t *data, Slot *s, bool log_bad) {
  uint32_t off = slot_offset(i);
  memset(s, 0, sizeof *s);
  if (mtd_read(data, off, PARAM_SLOT_SIZE) != ssize_t(PARAM_SLOT_SIZE)) {
    log_printf("%s: cannot read flash_offs=%x\n", "param_flash", off);
    s->used = true;   // never written over blindly
    return false;
  }
  s->used = !is_erased(data, PARAM_SLOT_SIZE);
  s->size = le32(data);
  if (!s->used || s->size == 0xFFFFFFFFu) return true;
  // A block larger than this layout counts only whole, inside its slot and
  // with a valid CRC: a torn or garbage size is not taken on trust.
  if (s->size > PARAM_SLOT_SIZE) {
    if (log_bad)
      log_printf("%s: flash_offs=%x size %u exceeds the slot\n", "get_cur_param_block", off, s->size);
    return true;
  }
  uint32_t stored = le32(data + 4);
  uint32_t crc = block_crc(data, s->size);
  if (crc != stored) {
    if (log_bad)
      log_printf("checksum incorrect at flash_offs=%x size=%d crc=%08x %08x\n", off, int(s->size),
                 stored, crc);
    return true;
  }
  s->valid = true;
  s->counter = le32(data + 8);
  return true;
}

// Older layouts grew by inserting fields; each step moves the bytes of the
// one before into place. D: the block's bytes; M: bytes that take the
// default; H: bytes that came from the old block.
struct Converter {
  uint8_t d[4096], m[4096], h[4096];
  void mark(uint32_t from, uint32_t to) { memset(m + from, 1, to - from); }
  void insert(uint32_t n, uint32_t p, uint32_t len) {
    memmove(d + p + n, d + p, len);
    memmove(m + p + n, m + p, len);
    memmove(h + p + n, h + p, len);
    mark(p, p + n);
  }
};

bool convert_block(const uint8_t *old, uint32_t size, ParamBlock *out) {
  static Converter c;
  memset(&c, 0, sizeof c);
  memcpy(c.d, old, size);
  memset(c.h, 1, size);
  switch (size) {
  case 0:
    c.mark(0, 2117);
    [[fallthrough]];
  case 2120:
    c.mark(2120, 2121);
    [[fallthrough]];
  case 2124:
    c.mark(2117, 2118);
    c.insert(8, 144, 1976);
    c.insert(8, 348, 1780);
    [[fallthrough]];
  case 2136:
    c.d[1557] = c.d[1558];
    c.mark(2136, 2137);
    c.mark(1557, 1558);
    [[fallthrough]];
  case 2140:
    c.insert(16, 1596, 544);
    c.insert(4, 2060, 96);
    [[fallthrough]];
  case 2160:
    c.mark(2157, 2160);
    c.mark(2160, 2184);
    [[fallthrough]];
  case 2184:
    c.mark(2184, 2188);
    [[fallthrough]];
  case 2188:
    c.mark(2188, 2189);
    [[fallthrough]];
  case 2192:
    c.insert(5, 2188, 4);
    [[fallthrough]];
  case 2196:
    c.mark(2194, 2195);
    c.d[2192] = c.d[2193];
    c.mark(2196, 2197);
    c.mark(2192, 2193);
    c.mark(2195, 2196);
    [[fallthrough]];
  case 2200:
    c.mark(2197, 2230);
    break;
  default:
    return false;
  }
  const uint8_t *def = reinterpret_cast<const uint8_t *>(param_default_block());
  uint8_t *dst = reinterpret_cast<uint8_t *>(out);
  for (uint32_t i = 0; i < PARAM_BLOCK_SIZE; i++) dst[i] = (c.m[i] || !c.h[i]) ? def[i] : c.d[i];
  return true;
}

void defaults_into(ParamBlock *b) {
  if (int32_t(board_identity.serial) < 0) board_identity.serial = 0;
  *b = *param_default_block();
}

void default_mac(uint8_t *mac) {
  uint32_t serial = board_identity.serial;
  auto bcd = [](uint32_t v) { return uint8_t((v / 10) << 4 | (v % 10)); };
  mac[0] = 0x08;
  mac[1] = 0x00;
  mac[2] = 0x56;
  mac[3] = bcd(serial / 10000 % 100);
  mac[4] = bcd(serial / 100 % 100);
  mac[5] = bcd(serial % 100);
}

// The image a save writes: the live Display.DisplayMode may hold the
// run-time 0 set at start, which is never stored.
void save_image(const ParamBlock *block, ParamBlock *img) {
  pthread_mutex_lock(&param_state.write_mutex);
  *img = *block;
  pthread_mutex_unlock(&param_state.write_mutex);
  img->size = PARAM_BLOCK_SIZE;
  if (img->display.display_mode == 0 && block == get_param_block() && param_state.saved_display_mode)
    img->display.display_mode = param_state.saved_display_mode;
}

int load_newest(ParamBlock *block) {
  static uint8_t data[PARAM_SLOT_SIZE];
  static ParamBlock scratch;
  int best = -1;
  uint32_t best_counter = 0;
  // The newest block has the highest save counter; the highest offset wins
  // a tie. (A failed erase can leave old blocks above a newer one.)
  for (int i = PARAM_SLOT_COUNT - 1; i >= 0; i--) {
    Slot s;
    read_slot(i, data, &s, true);
    if (s.valid && (best < 0 || s.counter > best_counter)) {
      best = i;
      best_counter = s.counter;
    }
  }
  if (best < 0) return -1;
  Slot s;
  if (!read_slot(best, data, &s, false) || !s.valid) return -1;
  uint32_t off = slot_offset(best);
  log_printf("%s: flash_offs=%x count=%u size=%u crc=%08x\n", "get_cur_param_block", off, s.counter,
             s.size, le32(data + 4));
  if (s.size >= PARAM_BLOCK_SIZE) {
    if (s.size > PARAM_BLOCK_SIZE)
      log_printf("truncating flash_offs=%x params size %d to %d\n", off, int(s.size),
                 int(PARAM_BLOCK_SIZE));
    memcpy(&scratch, data, PARAM_BLOCK_SIZE);
  } else {
    log_printf("%s: param size changed from %d to %d\n", "get_cur_param_block", int(s.size),
               int(PARAM_BLOCK_SIZE));
    if (convert_block(data, s.size, &scratch)) {
      log_printf("convert success!\n");
    } else {
      log_printf("* * * Unknown param size: %d * * *\n", int(s.size));
      defaults_into(&scratch);
      default_mac(scratch.mac_addr);
      log_printf("convert failed, loaded defaults\n");
    }
  }
  scratch.size = PARAM_BLOCK_SIZE;
  *block = scratch;
  return 0;
}

}  // namespace

int get_cur_param_block(ParamBlock *block) {
  pthread_mutex_lock(&param_state.save_mutex);
  int rc = load_newest(block);
  pthread_mutex_unlock(&param_state.save_mutex);
  return rc;
}

int save_param_block(ParamBlock *block) {
  static uint8_t data[PARAM_SLOT_SIZE];
  static uint8_t out[PARAM_SLOT_WRITE];
  static ParamBlock img;
  pthread_mutex_lock(&param_state.save_mutex);
  save_image(block, &img);
  uint32_t crc = block_crc(reinterpret_cast<const uint8_t *>(&img), PARAM_BLOCK_SIZE);
  if (crc == img.crc) {
    pthread_mutex_unlock(&param_state.save_mutex);
    return 0;
  }

  Slot slots[PARAM_SLOT_COUNT];
  int newest = -1, target = -1;
  uint32_t max_counter = block->counter;
  for (int i = 0; i < PARAM_SLOT_COUNT; i++) {
    read_slot(i, data, &slots[i], false);
    if (!slots[i].valid) continue;
    if (slots[i].counter > max_counter) max_counter = slots[i].counter;
    if (newest < 0 || slots[i].counter >= slots[newest].counter) newest = i;
  }
  for (int i = 1; i < PARAM_SLOT_COUNT && target < 0; i++)
    if (!slots[i].used && slots[i - 1].used) target = i;

  int rc = 0;
  if (target < 0) {
    // Start the half that does not hold the newest block (normally the
    // first, once the second is full).
    int half = newest >= PARAM_SLOT_COUNT / 2 || newest < 0 ? 0 : 1;
    target = half * PARAM_SLOT_COUNT / 2;
    bool dirty = false;
    for (int i = target; i < target + PARAM_SLOT_COUNT / 2; i++) dirty |= slots[i].used;
    if (dirty) rc = mtd_erase_block(slot_offset(target), PARAM_HALF_SIZE);
    if (rc < 0) {
      pthread_mutex_unlock(&param_state.save_mutex);
      return rc;
    }
  }

  img.counter = max_counter + 1;
  img.crc = 0;
  img.crc = block_crc(reinterpret_cast<const uint8_t *>(&img), PARAM_BLOCK_SIZE);
  memset(out, 0xFF, sizeof out);
  memcpy(out, &img, sizeof img);
  uint32_t off = slot_offset(target);
  ssize_t n = mtd_write(out, off, sizeof out);
  if (n != ssize_t(sizeof out)) {
    log_printf("%s: write at flash_offs=%x failed (%d)\n", "save_param_block", off, int(n));
    pthread_mutex_unlock(&param_state.save_mutex);
    return n < 0 ? int(n) : -1;
  }
  pthread_mutex_lock(&param_state.write_mutex);
  block->counter = img.counter;
  block->crc = img.crc;
  pthread_mutex_unlock(&param_state.write_mutex);
  if (block == get_param_block()) param_state.saved_display_mode = img.display.display_mode;
  if (off == MTD_PARAM_RING_OFF)
    rc = mtd_erase_block(MTD_PARAM_RING_OFF + PARAM_HALF_SIZE, PARAM_HALF_SIZE);
  else if (off == MTD_PARAM_RING_OFF + PARAM_HALF_SIZE)
    rc = mtd_erase_block(MTD_PARAM_RING_OFF, PARAM_HALF_SIZE);
  pthread_mutex_unlock(&param_state.save_mutex);
  return rc < 0 ? rc : 0;
}

void save_and_apply_params(void) {
  int rc = save_param_block(get_param_block());
  if (rc != 0) log_printf("save_param_block returned %d\n", rc);
  param_apply_changes();
}

void param_set_default_mac(void) { default_mac(get_param_block()->mac_addr); }

void param_load_defaults(void) {
  defaults_into(get_param_block());
  param_set_default_mac();
  param_validate();
}

void param_load_defaults_keep_network(void) {
  ParamBlock *b = get_param_block();
  uint8_t mac[sizeof b->mac_addr];
  char hostname[sizeof b->hostname];
  NetParams net[2];
  uint8_t mode = b->network_mode;
  uint32_t packet = b->udp_packet_size;
  memcpy(mac, b->mac_addr, sizeof mac);
  memcpy(hostname, b->hostname, sizeof hostname);
  memcpy(net, b->net, sizeof net);
  defaults_into(b);
  memcpy(b->mac_addr, mac, sizeof mac);
  memcpy(b->hostname, hostname, sizeof hostname);
  memcpy(b->net, net, sizeof net);
  b->network_mode = mode;
  b->udp_packet_size = packet;
  param_validate();
}

void param_validate(void) {
  ParamBlock *b = get_param_block();
  const ParamBlock *def = param_default_block();
  uint8_t *base = reinterpret_cast<uint8_t *>(b);
  const uint8_t *dbase = reinterpret_cast<const uint8_t *>(def);
  char text[100], now[100];
  // Parsers only store: no display standard is applied while checking.
  param_set_quiet(1);
  for (int i = 0; paramTable[i].name; i++) {
    const ParamDesc *d = &paramTable[i];
    if (d->type == PARAM_VIRTUAL || d->size == 0) continue;
    uint8_t *field = base + d->offset;
    const uint8_t *dfield = dbase + d->offset;
    switch (d->type) {
    case PARAM_INTEGER: {
      uint32_t u = 0;
      memcpy(&u, field, d->size);
      if (d->min < 0) {
        int32_t v = d->size == 1 ? int8_t(u) : d->size == 2 ? int16_t(u) : int32_t(u);
        if (v < d->min || v > d->max) {
          memcpy(field, dfield, d->size);
          log_printf("signed parameter %s reset to default\n", d->name);
        }
      } else if (u < uint32_t(d->min) || u > uint32_t(d->max)) {
        memcpy(field, dfield, d->size);
        log_printf("unsigned parameter %s reset to default %d (%d, %d)\n", d->name, int(u), d->min,
                   d->max);
      }
      break;
    }
    case PARAM_FLOAT: {
      float v, min, max;
      memcpy(&v, field, 4);
      memcpy(&min, &d->min, 4);
      memcpy(&max, &d->max, 4);
      if (std::isnan(v) || v < min || v > max) {
        log_printf("float parameter %s reset to default %g < %g < %g\n", d->name, double(min),
                   double(v), double(max));
        memcpy(field, dfield, 4);
      }
      break;
    }
    case PARAM_CONVERTED: {
      if (!d->format || !d->parse || d->size > 16) break;
      // A value that cannot be shown yet (a frame rate before the capture
      // runs) is left as stored.
      int n = d->format(text, sizeof text, field);
      if (n < 0) break;
      uint8_t scratch[16];
      memcpy(scratch, field, d->size);
      const char *err = d->parse(text, size_t(n), scratch);
      if (!err) {
        memcpy(field, scratch, d->size);
        break;
      }
      log_printf("convert parameter %s reset to default: err=%s, was=%s, ", d->name, err, text);
      memcpy(scratch, dfield, d->size);
      n = d->format(now, sizeof now, scratch);
      if (n < 0 || d->parse(now, size_t(n), scratch)) {
        log_printf_plain("FAILED reset to default %s\n", d->name);
        memcpy(field, dfield, d->size);
      } else {
        memcpy(field, scratch, d->size);
        log_printf_plain("now=%s\n", now);
      }
      break;
    }
    case PARAM_STRING:
      if (field[0] == 0xFF) {
        field[0] = 0;
        log_printf("string parameter %s reset to empty\n", d->name);
      }
      field[d->size - 1] = 0;
      break;
    default:
      break;
    }
  }
  param_set_quiet(0);
  for (UserRecord &u : b->users) u.password[sizeof u.password - 1] = 0;

  if (!b->recording.directory[0]) {
    struct stat st;
    const char *dir = sys_stat("/usr/html/images/splash.jpg", &st) == 0 && st.st_size == 66064
                          ? "Kovrel Camera" : "DCIM";
    snprintf(b->recording.directory, sizeof b->recording.directory, "%s", dir);
  }
  check_user_permissions();
  bool keys_clear = true;
  for (int i = 0; i < 9; i++) keys_clear &= b->keys_map[i] == 0;
  if (keys_clear) {
    memcpy(b->keys_map, def->keys_map, sizeof b->keys_map);
    b->keys_menu_back_option = def->keys_menu_back_option;
    log_printf("Fixing corrupt keypad layout\n");
  }
  if (b->dvr_disable_overlay_on_boot == 1) b->video[0].osd.enabled = 0;
  if (b->audio.sample_rate != 48000 && b->audio.sample_rate != 44100) b->audio.sample_rate = 48000;
  if (!b->hostname[0])
    snprintf(b->hostname, sizeof b->hostname, "m%d-%06u", M7391_MODEL, board_identity.serial);
}

int init_param(ParamBlock *block) {
  ParamApplyHooks &h = param_apply_hooks;
  int button = h.gpio_get ? h.gpio_get(0) : 0;
  param_state.block = block;
  param_load_defaults();
  log_printf("%s: safe_boot=%d btn=%d\n", "init_param", board_identity.safe_boot, button);
  if (board_identity.safe_boot && button) {
    log_printf("using default params due to button press\n");
    if (h.gpio_set) {
      h.gpio_set(22, 0);
      h.gpio_set(37, 0);
      for (int i = 0; i < 25; i++) {
        sleep_ms(100);
        h.gpio_set(22, 1);
        h.gpio_set(37, 1);
        sleep_ms(100);
        h.gpio_set(22, 0);
        h.gpio_set(37, 0);
      }
    }
    save_param_block(block);
    return 0;
  }
  int rc = get_cur_param_block(block);
  if (rc != 0) {
    log_printf("loading default params due to checksum error\n");
    param_load_defaults();
  }
  param_validate();
  static const uint8_t zero_mac[6] = {0};
  if (memcmp(block->mac_addr, zero_mac, sizeof zero_mac) == 0) param_set_default_mac();
  param_state.saved_display_mode = block->display.display_mode;
  return rc;
}
