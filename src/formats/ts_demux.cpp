// MPEG-TS demuxer for file playback: whole PES payloads of the elementary
// streams the PAT and PMT announce, out of a buffer of 188-byte packets the
// caller slides through the file. Every length in a packet (adaptation
// field, section, descriptor, PES header) is checked against the packet; a
// packet or PES that breaks one is dropped.
#include <cstring>

#include "core/log.h"
#include "formats/tsmux.h"

namespace {

// Most significant bit first over [p, p + len); reads past the end give 0
// and set overrun.
struct TsBits {
  const uint8_t *p;
  uint32_t len;     // bytes
  uint32_t pos;     // bits
  bool overrun;
};

uint32_t ts_read_bits(TsBits *b, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; i++) {
    uint32_t byte = b->pos >> 3;
    uint32_t bit = 0;
    if (byte < b->len)
      bit = (b->p[byte] >> (7 - (b->pos & 7))) & 1;
    else
      b->overrun = true;
    v = (v << 1) | bit;
    b->pos++;
  }
  return v;
}

// Marker and reserved fields: read and dropped, their value not checked.
void ts_skip_bits(TsBits *b, int n, uint32_t value) {
  (void)value;
  ts_read_bits(b, n);
}

// A section's CRC_32 (not verified: a damaged table shows in what it says).
uint32_t ts_read_bits32(TsBits *b) { return ts_read_bits(b, 32); }

uint32_t byte_pos(const TsBits *b) { return (b->pos + 7) >> 3; }

// One descriptor of an elementary stream; it is left by its length, which
// must lie inside end (bytes). Returns false when it does not.
bool ts_parse_descriptor(TsBits *b, uint32_t end, TsStream *st) {
  uint32_t tag = ts_read_bits(b, 8);
  uint32_t len = ts_read_bits(b, 8);
  uint32_t start = byte_pos(b);
  if (b->overrun || start + len > end) return false;
  if (tag == 0x28 && len >= 4 && st) {  // AVC video descriptor
    st->profile_idc = (uint8_t)ts_read_bits(b, 8);
    ts_skip_bits(b, 8, 0);  // constraint flags, AVC_compatible_flags
    st->level_idc = (uint8_t)ts_read_bits(b, 8);
  }
  b->pos = (start + len) * 8;
  return true;
}

// An expected counter above 15 is unknown (after a reposition): the next
// packet sets it.
constexpr uint8_t kCcUnknown = 0x10;

bool cc_check(uint8_t *expect, uint8_t cc, bool payload, uint32_t pid, uint32_t *errors) {
  if (!payload) return true;  // adaptation-only packets repeat the counter
  if (*expect >= kCcUnknown) {
    *expect = (uint8_t)((cc + 1) & 0x0F);
    return true;
  }
  bool ok = cc == *expect;
  if (!ok) {
    log_printf("%s: PID=%x expected cc=%d actual=%d\n", "verify_cc", pid, *expect, cc);
    if (errors) (*errors)++;
  }
  *expect = (uint8_t)((cc + 1) & 0x0F);
  return ok;
}

TsStream *stream_of(TsMux *mux, uint32_t pid) {
  if (pid == 0 || pid == 0x1FFF) return nullptr;
  if (mux->video.pid == pid) return &mux->video;
  if (mux->audio.pid == pid) return &mux->audio;
  return nullptr;
}

void stream_reset(TsStream *st) {
  st->pes_open = 0;
  st->pes_len = st->pes_seen = 0;
}

// The section at the packet payload (pointer_field first), bounded by the
// payload: [*start, *end) holds table_id to the CRC. False when it is cut.
bool section_bounds(const uint8_t *pay, uint32_t n, uint32_t *start, uint32_t *end) {
  if (n < 1) return false;
  uint32_t s = 1 + pay[0];
  if (s + 3 > n) return false;
  uint32_t section_length = ((pay[s + 1] & 0x0F) << 8) | pay[s + 2];
  if (section_length < 9 || s + 3 + section_length > n) return false;
  *start = s;
  *end = s + 3 + section_length;
  return true;
}

void parse_pat(TsMux *mux, const uint8_t *pay, uint32_t n) {
  uint32_t s, e;
  if (!section_bounds(pay, n, &s, &e) || pay[s] != 0x00) return;
  for (uint32_t i = s + 8; i + 4 <= e - 4; i += 4) {
    uint32_t program = (pay[i] << 8) | pay[i + 1];
    uint32_t pid = ((pay[i + 2] & 0x1F) << 8) | pay[i + 3];
    if (program == 0) continue;
    if (pid != mux->pmt_pid) mux->pmt_crc = 0;
    mux->program_number = program;
    mux->pmt_pid = pid;
    return;
  }
}

void set_stream(TsStream *st, uint32_t pid, uint8_t type) {
  if (st->pid != pid) {
    stream_reset(st);
    st->expect_cc = 0;
  }
  st->pid = pid;
  st->stream_type = type;
}

void parse_pmt(TsMux *mux, const uint8_t *pay, uint32_t n) {
  uint32_t s, e;
  if (!section_bounds(pay, n, &s, &e) || pay[s] != 0x02) return;
  TsBits b = {pay, e, (e - 4) * 8, false};
  uint32_t crc = ts_read_bits32(&b);
  if (crc == mux->pmt_crc) return;
  b.pos = (s + 8) * 8;  // past program_number, version, section numbers
  ts_skip_bits(&b, 3, 7);
  uint32_t pcr_pid = ts_read_bits(&b, 13);
  ts_skip_bits(&b, 4, 15);
  uint32_t info_len = ts_read_bits(&b, 12);
  uint32_t info_end = byte_pos(&b) + info_len;
  if (b.overrun || info_end > e - 4) return;
  while (byte_pos(&b) < info_end)
    if (!ts_parse_descriptor(&b, info_end, nullptr)) return;
  mux->pmt_crc = crc;
  mux->pcr_pid = pcr_pid;
  while (byte_pos(&b) + 5 <= e - 4) {
    uint32_t type = ts_read_bits(&b, 8);
    ts_skip_bits(&b, 3, 7);
    uint32_t pid = ts_read_bits(&b, 13);
    ts_skip_bits(&b, 4, 15);
    uint32_t es_len = ts_read_bits(&b, 12);
    uint32_t es_end = byte_pos(&b) + es_len;
    if (es_end > e - 4) return;
    TsStream *st = nullptr;
    if (type == 0x02 || type == 0x10 || type == 0x1B)
      st = &mux->video;
    else if (type == 0x03 || type == 0x0F || type == 0x06)
      st = &mux->audio;
    else
      log_printf("unhandled stream_type=0x%lx\n", (unsigned long)type);
    if (st) set_stream(st, pid, (uint8_t)type);
    while (byte_pos(&b) < es_end)
      if (!ts_parse_descriptor(&b, es_end, st)) return;
  }
}

// The PES header at the start of a payload: the PTS to st, the declared
// payload length to *declared (0: unbounded). Returns the header length, 0
// when the header is broken or does not fit the packet.
uint32_t parse_pes_header(TsStream *st, const uint8_t *pay, uint32_t n, uint32_t *declared) {
  if (n < 6 || pay[0] != 0 || pay[1] != 0 || pay[2] != 1) return 0;
  uint32_t id = pay[3];
  uint32_t pes_len = (pay[4] << 8) | pay[5];
  uint32_t hdr = 6;
  static const uint8_t plain[] = {0xBC, 0xBE, 0xBF, 0xF0, 0xF1, 0xF2, 0xF8, 0xFF};
  if (!memchr(plain, (int)id, sizeof plain)) {
    if (n < 9) return 0;
    hdr = 9 + pay[8];
    if (hdr > n) return 0;
    if ((pay[7] & 0x80) && pay[8] >= 5) {
      const uint8_t *t = pay + 9;
      st->pts_bit32 = (t[0] >> 3) & 1;
      st->pts = ((uint32_t)(t[0] & 0x06) << 29) | ((uint32_t)t[1] << 22) | ((uint32_t)(t[2] & 0xFE) << 14) |
                ((uint32_t)t[3] << 7) | (t[4] >> 1);
    }
  }
  *declared = 0;
  if (pes_len) {
    if (pes_len + 6 < hdr) return 0;
    *declared = pes_len + 6 - hdr;
  }
  return hdr;
}

struct Packet {
  uint32_t pid;
  bool pusi, priority, payload;
  uint8_t cc;
  const uint8_t *pay;
  uint32_t pay_len;
};

// Header and adaptation field of the packet at p; false when the adaptation
// field claims more than the packet.
bool parse_packet(TsMux *mux, const uint8_t *p, Packet *k, bool scanning) {
  k->pusi = p[1] & 0x40;
  k->priority = p[1] & 0x20;
  k->pid = ((p[1] & 0x1F) << 8) | p[2];
  uint32_t afc = (p[3] >> 4) & 3;
  k->cc = p[3] & 0x0F;
  k->payload = afc & 1;
  uint32_t pos = 4;
  if (afc & 2) {
    uint32_t af = p[4];
    if (af > 183 || (k->payload && af == 183)) return false;
    if (af > 0 && scanning) {
      if (p[5] & 0x80) mux->discontinuity = 1;
      if ((p[5] & 0x10) && af >= 7) {
        const uint8_t *c = p + 6;
        mux->pcr33 = c[0] >> 7;
        mux->pcr = ((uint32_t)c[0] << 25) | ((uint32_t)c[1] << 17) | ((uint32_t)c[2] << 9) |
                   ((uint32_t)c[3] << 1) | (c[4] >> 7);
      }
    }
    pos = 5 + af;
  }
  k->pay = p + pos;
  k->pay_len = k->payload ? 188 - pos : 0;
  return true;
}

}  // namespace

uint32_t tsmux_read_next(TsMux *mux, const uint8_t *buffer, size_t len) {
  if (!mux || !buffer) return 0;
  size_t off = mux->scan_offset;
  mux->result_len = 0;
  mux->result_pid = 0;
  while (off + TS_PACKET_SIZE <= len) {
    const uint8_t *p = buffer + off;
    if (p[0] != 0x47) {
      off++;
      continue;
    }
    Packet k;
    if (!parse_packet(mux, p, &k, true)) {
      off += TS_PACKET_SIZE;
      continue;
    }
    TsStream *st = stream_of(mux, k.pid);
    if (k.pid == 0) {
      cc_check(&mux->pat_expect_cc, k.cc, k.payload, k.pid, nullptr);
      if (k.pusi) parse_pat(mux, k.pay, k.pay_len);
    } else if (k.pid == mux->pmt_pid && !st) {
      cc_check(&mux->pmt_expect_cc, k.cc, k.payload, k.pid, nullptr);
      if (k.pusi) parse_pmt(mux, k.pay, k.pay_len);
    } else if (k.pid == mux->pcr_pid && !st) {
      cc_check(&mux->pcr_expect_cc, k.cc, k.payload, k.pid, nullptr);
    }
    if (!st || !k.payload) {
      off += TS_PACKET_SIZE;
      continue;
    }
    uint8_t expect_before = st->expect_cc;
    cc_check(&st->expect_cc, k.cc, true, k.pid, &st->cc_errors);
    if (k.pusi && st->pes_open && st->pes_len == 0 && st->pes_seen > 0) {
      // The next PES starts: the open one is complete. This packet is
      // scanned again as that start.
      st->pes_open = 0;
      st->expect_cc = expect_before;
      mux->result_len = st->pes_seen;
      mux->result_pid = k.pid;
      mux->scan_offset = (uint32_t)off;
      return k.pid;
    }
    const uint8_t *pay = k.pay;
    uint32_t n = k.pay_len;
    if (k.pusi) {
      if (st->pes_open)
        log_printf("ts: PID=%x PES of %u bytes cut at %u\n", k.pid, st->pes_len, st->pes_seen);
      stream_reset(st);
      uint32_t declared;
      uint32_t hdr = parse_pes_header(st, pay, n, &declared);
      if (hdr == 0) {
        log_printf("ts: PID=%x bad PES header dropped\n", k.pid);
        off += TS_PACKET_SIZE;
        continue;
      }
      st->key = k.priority;
      st->pes_open = 1;
      st->pes_len = declared;
      st->read_offset = (uint32_t)off;
      pay += hdr;
      n -= hdr;
    } else if (!st->pes_open) {
      off += TS_PACKET_SIZE;  // the middle of a PES whose start we missed
      continue;
    }
    st->pes_seen += n;
    off += TS_PACKET_SIZE;
    if (st->pes_len && st->pes_seen >= st->pes_len) {
      uint32_t done = st->pes_len;
      stream_reset(st);
      mux->result_len = done;
      mux->result_pid = k.pid;
      mux->scan_offset = (uint32_t)off;
      return k.pid;
    }
  }
  mux->scan_offset = (uint32_t)off;
  if (mux->at_end) {
    TsStream *streams[] = {&mux->video, &mux->audio};
    for (TsStream *st : streams)
      if (st->pes_open && st->pes_len == 0 && st->pes_seen > 0) {
        st->pes_open = 0;
        mux->result_len = st->pes_seen;
        mux->result_pid = st->pid;
        return st->pid;
      }
  }
  return 0;
}

uint32_t tsmux_read(TsMux *mux, uint32_t pid, uint8_t *out, size_t capacity, const uint8_t *buffer, size_t len) {
  if (!mux || !buffer) return 0;
  TsStream *st = stream_of(mux, pid);
  if (!st) return 0;
  size_t off = st->read_offset;
  uint32_t total = 0, declared = 0;
  bool started = false, complete = false;
  while (off + TS_PACKET_SIZE <= len) {
    const uint8_t *p = buffer + off;
    Packet k;
    if (p[0] != 0x47) {
      off++;
      continue;
    }
    if (!parse_packet(mux, p, &k, false) || k.pid != pid || !k.payload) {
      off += TS_PACKET_SIZE;
      continue;
    }
    const uint8_t *pay = k.pay;
    uint32_t n = k.pay_len;
    if (k.pusi) {
      if (started) {
        if (declared) {  // cut short: the scan dropped it too
          total = 0;
          started = false;
        } else {
          complete = true;  // this packet starts the next PES
          break;
        }
      }
      TsStream tmp = *st;
      uint32_t hdr = parse_pes_header(&tmp, pay, n, &declared);
      if (hdr == 0) {
        off += TS_PACKET_SIZE;
        continue;
      }
      started = true;
      pay += hdr;
      n -= hdr;
    } else if (!started) {
      off += TS_PACKET_SIZE;
      continue;
    }
    if (declared && total + n > declared) n = declared - total;
    if (out && total + n <= capacity) memcpy(out + total, pay, n);
    total += n;
    off += TS_PACKET_SIZE;
    if (declared && total >= declared) {
      complete = true;
      break;
    }
  }
  if (!complete && started && !declared && mux->at_end) complete = true;
  if (!complete || total == 0) return 0;
  st->read_offset = (uint32_t)off;
  st->pes_count++;
  if (total > capacity) {
    log_printf("ts: PID=%x PES of %u bytes does not fit %zu, dropped\n", pid, total, capacity);
    return 0;
  }
  return total;
}

uint32_t tsmux_needed_from(const TsMux *mux) {
  uint32_t low = mux->scan_offset;
  if (mux->video.pes_open && mux->video.read_offset < low) low = mux->video.read_offset;
  if (mux->audio.pes_open && mux->audio.read_offset < low) low = mux->audio.read_offset;
  return low;
}

void tsmux_slide(TsMux *mux, uint32_t n) {
  mux->scan_offset = mux->scan_offset > n ? mux->scan_offset - n : 0;
  TsStream *streams[] = {&mux->video, &mux->audio};
  for (TsStream *st : streams) {
    if (st->read_offset >= n) {
      st->read_offset -= n;
      continue;
    }
    if (st->pes_open) {
      log_printf("ts: PID=%x PES larger than the read buffer dropped\n", st->pid);
      stream_reset(st);
    }
    st->read_offset = 0;
  }
}

void tsmux_reposition(TsMux *mux) {
  TsStream *streams[] = {&mux->video, &mux->audio};
  for (TsStream *st : streams) {
    stream_reset(st);
    st->read_offset = 0;
    st->expect_cc = kCcUnknown;
  }
  mux->pat_expect_cc = mux->pmt_expect_cc = mux->pcr_expect_cc = kCcUnknown;
  mux->scan_offset = 0;
  mux->at_end = 0;
}
