#include "formats/tsmux.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/crc32.h"
#include "core/log.h"
#include "formats/annexb.h"

namespace {

const uint32_t kPesHeaderMax = 64;

struct BitReverse {
  uint8_t t[256];
  constexpr BitReverse() : t() {
    for (int i = 0; i < 256; i++) {
      uint8_t r = 0;
      for (int b = 0; b < 8; b++)
        if (i & (1 << b)) r |= (uint8_t)(0x80 >> b);
      t[i] = r;
    }
  }
};
constexpr BitReverse kRev;

inline void put16(uint8_t *p, uint32_t v) { p[0] = (uint8_t)(v >> 8); p[1] = (uint8_t)v; }
inline void put32(uint8_t *p, uint32_t v) {
  p[0] = (uint8_t)(v >> 24); p[1] = (uint8_t)(v >> 16); p[2] = (uint8_t)(v >> 8); p[3] = (uint8_t)v;
}

// A 32-bit clock that moved back numerically but forward by less than half
// the range has wrapped; any other step back is jitter and keeps the 33rd bit.
inline bool wrapped(uint32_t prev, uint32_t cur) {
  return cur < prev && (uint32_t)(cur - prev) < 0x80000000u;
}

bool is_302m(const TsMux *mux, const TsStream *st) {
  return st == &mux->audio && st->stream_type == 0x06 && st->registration == 1;
}

TsStream *find_stream(TsMux *mux, uint32_t pid) {
  if (pid == 0) return nullptr;
  if (mux->audio.pid == pid) return &mux->audio;
  if (mux->video.pid == pid) return &mux->video;
  return nullptr;
}

// Completes a PSI packet whose section is already at pkt[5..]: packet
// header, pointer_field, the section's CRC and 0xFF fill to 188 bytes.
void psi_finish(uint8_t *pkt, uint32_t pid, uint8_t *cc, uint32_t section_end) {
  pkt[0] = 0x47;
  pkt[1] = (uint8_t)(0x40 | ((pid >> 8) & 0x1F));
  pkt[2] = (uint8_t)pid;
  pkt[3] = (uint8_t)(0x10 | (*cc & 0x0F));
  *cc = (uint8_t)((*cc + 1) & 0x0F);
  pkt[4] = 0;
  put32(pkt + section_end, crc32_mpeg2(pkt + 5, section_end - 5));
  memset(pkt + section_end + 4, 0xFF, TS_PACKET_SIZE - (section_end + 4));
}

void write_pat(TsMux *mux, uint8_t *pkt) {
  uint8_t *s = pkt + 5;
  s[0] = 0x00;                       // table_id
  s[1] = 0xB0; s[2] = 17;            // section_length
  put16(s + 3, 0x0000);              // transport_stream_id
  s[5] = 0xC1; s[6] = 0; s[7] = 0;   // version 0, current; section 0 of 0
  put16(s + 8, 1);                   // program 1 ...
  put16(s + 10, 0xE000 | mux->pmt_pid);
  put16(s + 12, 0);                  // ... and the network PID
  put16(s + 14, 0xE000 | 0x1F);
  psi_finish(pkt, 0, &mux->pat_cc, 21);
}

// One elementary stream entry of the PMT; returns its length.
uint32_t pmt_es(const TsStream *st, bool video, uint8_t *p) {
  uint8_t *d = p + 5;
  if (video) {
    static const uint8_t reg[] = {0x05, 8, 'H', 'D', 'M', 'V', 0xFF, 0x1B, 0x44, 0x3F};
    memcpy(d, reg, sizeof reg);
    d += sizeof reg;
    switch (st->stream_type) {
      case 0x1B: {
        const uint8_t avc[] = {0x28, 4, st->profile_idc, 0x00, st->level_idc, 0x3F,
                               0x2A, 2, 0x7E, 0xFF};
        memcpy(d, avc, sizeof avc);
        d += sizeof avc;
        break;
      }
      case 0x10: *d++ = 0x1B; *d++ = 1; *d++ = st->level_idc; break;
      case 0x02: *d++ = 0x02; *d++ = 1; *d++ = st->level_idc; break;
      default: break;
    }
  } else if (st->stream_type == 0x06) {
    if (st->registration) {
      *d++ = 0x05; *d++ = 4;
      memcpy(d, st->format_id, 4);
      d += 4;
    }
    *d++ = 0x0A; *d++ = 4;
    memcpy(d, st->registration == 1 ? "und" : "eng", 3);
    d += 3;
    *d++ = 0;                        // audio_type: undefined
  }
  uint32_t es_info = (uint32_t)(d - (p + 5));
  p[0] = st->stream_type;
  put16(p + 1, 0xE000 | st->pid);
  put16(p + 3, 0xF000 | es_info);
  return 5 + es_info;
}

void write_pmt(TsMux *mux, uint8_t *pkt) {
  uint8_t *s = pkt + 5;
  s[0] = 0x02;
  put16(s + 3, 1);                   // program_number
  s[5] = 0xC1; s[6] = 0; s[7] = 0;
  put16(s + 8, 0xE000 | mux->pcr_pid);
  put16(s + 10, 0xF000 | 6);         // program_info_length
  static const uint8_t reg[] = {0x05, 4, 'H', 'D', 'M', 'V'};
  memcpy(s + 12, reg, sizeof reg);
  uint32_t n = 18;
  if (mux->video.pid) n += pmt_es(&mux->video, true, s + n);
  if (mux->audio.pid) n += pmt_es(&mux->audio, false, s + n);
  put16(s + 1, 0xB000 | (n - 3 + 4)); // from after section_length to the CRC's end
  psi_finish(pkt, mux->pmt_pid, &mux->pmt_cc, 5 + n);
}

// Adaptation-field-only packet; PCR base = bit 32 and the 32-bit clock.
void write_pcr(TsMux *mux, uint8_t *pkt) {
  uint32_t c = mux->clock;
  pkt[0] = 0x47;
  pkt[1] = (uint8_t)((mux->pcr_pid >> 8) & 0x1F);
  pkt[2] = (uint8_t)mux->pcr_pid;
  pkt[3] = (uint8_t)(0x20 | (mux->pcr_cc & 0x0F));  // no payload: cc stays
  pkt[4] = 183;
  pkt[5] = 0x10;
  pkt[6] = (uint8_t)((mux->pcr_bit32 ? 0x80 : 0) | (c >> 25));
  pkt[7] = (uint8_t)(c >> 17);
  pkt[8] = (uint8_t)(c >> 9);
  pkt[9] = (uint8_t)(c >> 1);
  pkt[10] = (uint8_t)((c << 7) | 0x7E);
  pkt[11] = 0x00;
  memset(pkt + 12, 0xFF, TS_PACKET_SIZE - 12);
}

// 33-bit time stamp in the 5-byte PES form with its 4-bit prefix and markers.
void put_ts(uint8_t *p, uint8_t prefix, uint8_t bit32, uint32_t v) {
  uint64_t t = ((uint64_t)(bit32 & 1) << 32) | v;
  p[0] = (uint8_t)((prefix << 4) | ((t >> 29) & 0x0E) | 1);
  p[1] = (uint8_t)(t >> 22);
  p[2] = (uint8_t)(((t >> 14) & 0xFE) | 1);
  p[3] = (uint8_t)(t >> 7);
  p[4] = (uint8_t)(((t << 1) & 0xFE) | 1);
}

uint32_t s302m_pairs(uint32_t len) { return len / 4; }

// One 16-bit stereo pair as the five SMPTE 302M bytes: both samples
// bit-reversed byte by byte, the second shifted by four bits, and the
// frame-start bit F beside its low nibble on AES3 frame 0.
inline void s302m_pack_pair(const uint8_t *pcm, uint32_t frame, uint8_t *o) {
  uint32_t s1 = pcm[0] | (uint32_t)pcm[1] << 8;
  uint32_t s2 = pcm[2] | (uint32_t)pcm[3] << 8;
  o[0] = kRev.t[s1 & 0xFF];
  o[1] = kRev.t[s1 >> 8];
  o[2] = (uint8_t)(kRev.t[(s2 & 0x0F) << 4] | (frame == 0 ? 0x10 : 0));
  o[3] = kRev.t[(s2 >> 4) & 0xFF];
  o[4] = kRev.t[s2 >> 12];
}

// Adaptation field of a packet whose payload is `payload` bytes (< 184):
// stuffing so that the payload ends the packet. af_flags is the flags byte.
// Returns where the payload begins.
uint32_t stuff(uint8_t *pkt, uint32_t payload, uint8_t af_flags) {
  uint32_t af_len = 183 - payload;
  pkt[3] |= 0x30;
  pkt[4] = (uint8_t)af_len;
  if (af_len > 0) {
    pkt[5] = af_flags;
    memset(pkt + 6, 0xFF, af_len - 1);
  }
  return 5 + af_len;
}

}  // namespace

TsMux *tsmux_new(void) { return (TsMux *)calloc(1, sizeof(TsMux)); }

void tsmux_delete(TsMux *mux) { free(mux); }

uint32_t tsmux_write_packet(uint8_t *pkt, uint32_t pid, uint8_t cc, int priority,
                            const uint8_t *hdr, uint32_t hdr_len,
                            const uint8_t *data, uint32_t len) {
  if (!hdr) hdr_len = 0;
  if (hdr_len > 184) hdr_len = 184;
  pkt[0] = 0x47;
  pkt[1] = (uint8_t)((hdr_len ? 0x40 : 0) | (priority ? 0x20 : 0) | ((pid >> 8) & 0x1F));
  pkt[2] = (uint8_t)pid;
  pkt[3] = (uint8_t)(0x10 | (cc & 0x0F));
  uint32_t pos = 4;
  if ((uint64_t)hdr_len + len < 184) pos = stuff(pkt, hdr_len + len, 0x00);
  if (hdr_len) memcpy(pkt + pos, hdr, hdr_len);
  pos += hdr_len;
  uint32_t take = TS_PACKET_SIZE - pos;
  if (take > len) take = len;
  if (take) memcpy(pkt + pos, data, take);
  return take;
}

uint32_t s302m_write_packet(uint8_t *pkt, uint32_t pid, uint8_t cc,
                            const uint8_t *hdr, uint32_t hdr_len,
                            const uint8_t *pcm, uint32_t pairs, uint32_t offset,
                            uint32_t frame0) {
  uint32_t total = pairs * 5;
  uint32_t left = offset < total ? total - offset : 0;
  if (!hdr) hdr_len = 0;
  if (hdr_len > 182) hdr_len = 182;
  pkt[0] = 0x47;
  pkt[1] = (uint8_t)((hdr ? 0x40 : 0) | ((pid >> 8) & 0x1F));
  pkt[2] = (uint8_t)pid;
  pkt[3] = (uint8_t)(0x10 | (cc & 0x0F));
  uint32_t pos = 4;
  if (hdr) {
    // The first packet always has an adaptation field for random_access.
    uint32_t payload = hdr_len + (left < 182 - hdr_len ? left : 182 - hdr_len);
    pkt[3] = (uint8_t)(0x30 | (cc & 0x0F));
    pkt[4] = (uint8_t)(183 - payload);
    pkt[5] = 0x40;
    memset(pkt + 6, 0xFF, 183 - payload - 1);
    pos = 5 + (183 - payload);
    memcpy(pkt + pos, hdr, hdr_len);
    pos += hdr_len;
  } else if (left < 184) {
    pos = stuff(pkt, left, 0x00);
  }
  uint32_t take = TS_PACKET_SIZE - pos;
  if (take > left) take = left;
  uint8_t *o = pkt + pos;
  uint32_t k = offset, end = offset + take;
  while (k < end) {
    uint32_t g = k / 5, j = k % 5;
    uint8_t grp[5];
    s302m_pack_pair(pcm + 4 * g, (frame0 + g) % 192, grp);
    uint32_t n = 5 - j;
    if (n > end - k) n = end - k;
    memcpy(o, grp + j, n);
    o += n;
    k += n;
  }
  return take;
}

uint32_t tsmux_pes_header(TsMux *mux, uint32_t pid, uint8_t *key, uint8_t *cc,
                          uint8_t *hdr, const uint8_t *data, uint32_t len) {
  TsStream *st = find_stream(mux, pid);
  if (!st) return 0;
  if (key) *key = st->key;
  if (cc) *cc = st->cc;

  uint8_t sid = st->stream_id;
  if (!sid) {
    if (st == &mux->video) sid = 0xE0;
    else if (st->stream_type == 0x06) sid = 0xBD;
    else sid = 0xA0;
  }

  if (wrapped(st->prev_dts, st->dts)) st->dts_bit32 ^= 1;
  if (wrapped(st->prev_pts, st->pts)) st->pts_bit32 ^= 1;
  st->prev_dts = st->dts;
  st->prev_pts = st->pts;

  hdr[0] = 0; hdr[1] = 0; hdr[2] = 1; hdr[3] = sid;
  hdr[6] = 0x81;                     // '10', original_or_copy
  uint32_t n;
  if (st->dts == 0 && st->dts_bit32 == 0) {
    hdr[7] = 0x80;
    hdr[8] = 5;
    put_ts(hdr + 9, 0x2, st->pts_bit32, st->pts);
    n = 14;
  } else {
    hdr[7] = 0xC0;
    hdr[8] = 10;
    put_ts(hdr + 9, 0x3, st->pts_bit32, st->pts);
    put_ts(hdr + 14, 0x1, st->dts_bit32, st->dts);
    n = 19;
  }

  uint64_t payload = len;
  if (st == &mux->video && st->stream_type == 0x1B) {
    // Every H.264 access unit in TS starts with a delimiter; add one unless
    // the encoder already did. primary_pic_type 0 (I) on IDR and
    // SPS-led frames, 1 (I or P) otherwise.
    int t = annexb_first_nal_type(data, len);
    if (t >= 0 && t != 9) {
      static const uint8_t aud[] = {0, 0, 0, 1, 0x09};
      memcpy(hdr + n, aud, sizeof aud);
      hdr[n + 5] = (t == 7 || t == 5) ? 0x10 : 0x30;
      n += 6;
    }
  } else if (st == &mux->audio && st->stream_type == 0x06) {
    if (st->registration != 1) {
      if (!mux->pes_ext_written) {
        mux->pes_ext_written = 1;
        static const uint8_t ext[] = {0x1E, 0x60, 0x3A, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        hdr[7] |= 0x01;              // PES_extension_flag
        hdr[8] = (uint8_t)(hdr[8] + sizeof ext);
        memcpy(hdr + n, ext, sizeof ext);
        n += sizeof ext;
      }
    } else {
      uint32_t adjusted = 4 + 5 * s302m_pairs(len);
      printf("s302m: len %d, adjusted to %d\n", (int)len, (int)adjusted);
      payload = adjusted;
    }
  }

  uint64_t pes_len = payload + n - 6;
  put16(hdr + 4, pes_len < 0x10000 ? (uint32_t)pes_len : 0);
  return n;
}

size_t tsmux_max_size(uint32_t len) {
  // PES header, delimiter or AES3 header: under 64 bytes; 302M grows 5/4.
  uint64_t pes = (uint64_t)len + len / 4 + kPesHeaderMax + 2;
  return (size_t)(3 + (pes + 183) / 184) * TS_PACKET_SIZE;
}

int tsmux_write(TsMux *mux, uint32_t pid, uint8_t *dest, size_t dest_size,
                const uint8_t *data, uint32_t len) {
  if (!mux || !dest || !data) {
    log_printf("%s: dest=%p src=%p len=%u\n", "tsmux_write", (void *)dest, (const void *)data, len);
    return TSMUX_EINVAL;
  }
  TsStream *st = find_stream(mux, pid);
  if (!st) {
    log_printf("%s: no stream with pid 0x%x\n", "tsmux_write", pid);
    return TSMUX_EINVAL;
  }
  const TsMux saved = *mux;
  uint8_t *out = dest;
  const uint8_t *end = dest + dest_size;
#define TSMUX_ROOM(n) \
  do { if ((size_t)(end - out) < (size_t)(n) * TS_PACKET_SIZE) goto no_space; } while (0)

  if (mux->clock - mux->last_psi_time >= TSMUX_PSI_INTERVAL) {
    TSMUX_ROOM(2);
    write_pat(mux, out);
    write_pmt(mux, out + TS_PACKET_SIZE);
    out += 2 * TS_PACKET_SIZE;
    mux->last_psi_time = mux->clock;
  }
  if (mux->clock != mux->last_pcr_clock) {
    TSMUX_ROOM(1);
    if (wrapped(mux->last_pcr_clock, mux->clock)) mux->pcr_bit32 ^= 1;
    mux->last_pcr_clock = mux->clock;
    write_pcr(mux, out);
    out += TS_PACKET_SIZE;
  }

  {
    uint8_t hdr[kPesHeaderMax];
    uint8_t key = 0, cc = 0;
    uint32_t hdr_len = tsmux_pes_header(mux, pid, &key, &cc, hdr, data, len);
    if (is_302m(mux, st)) {
      uint32_t pairs = s302m_pairs(len);
      uint32_t total = pairs * 5;
      put16(hdr + hdr_len, total);  // audio_packet_size
      hdr[hdr_len + 2] = 0x00;       // 2 channels, channel_identification 0
      hdr[hdr_len + 3] = 0x00;       // 16 bits, alignment 0
      hdr_len += 4;
      uint32_t first = 182 - hdr_len;
      uint32_t packets = 1 + (total > first ? (total - first + 183) / 184 : 0);
      TSMUX_ROOM(packets);
      uint32_t off = 0;
      uint32_t frame0 = st->aes3_frame % 192;
      for (uint32_t i = 0; i < packets; i++, cc++) {
        off += s302m_write_packet(out, pid, cc, i == 0 ? hdr : nullptr, hdr_len,
                                  data, pairs, off, frame0);
        out += TS_PACKET_SIZE;
      }
      st->aes3_frame = (frame0 + pairs) % 192;
    } else {
      uint32_t first = 184 - hdr_len;
      uint32_t packets = 1 + (len > first ? (len - first + 183) / 184 : 0);
      TSMUX_ROOM(packets);
      uint32_t off = 0;
      for (uint32_t i = 0; i < packets; i++, cc++) {
        off += tsmux_write_packet(out, pid, cc, key, i == 0 ? hdr : nullptr, i == 0 ? hdr_len : 0,
                                  data + off, len - off);
        out += TS_PACKET_SIZE;
      }
    }
    st->cc = cc & 0x0F;
  }
#undef TSMUX_ROOM
  return (int)(out - dest);

no_space:
  *mux = saved;
  return TSMUX_ENOSPC;
}
