// Test side of the TS muxer: a reader of the 188-byte packets it writes.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

#include "formats/tsmux.h"
#include "media_inputs.h"
#include "mux_setup.h"

struct TsPacket {
  const uint8_t *p;
  uint32_t pid;
  bool pusi, priority;
  uint8_t cc;
  bool has_af, has_payload;
  uint32_t af_len;           // adaptation_field_length (when has_af)
  const uint8_t *payload;
  uint32_t payload_len;
};

inline TsPacket ts_parse(const uint8_t *p) {
  TsPacket t{};
  t.p = p;
  t.pid = ((p[1] & 0x1F) << 8) | p[2];
  t.pusi = p[1] & 0x40;
  t.priority = p[1] & 0x20;
  t.cc = p[3] & 0x0F;
  t.has_af = p[3] & 0x20;
  t.has_payload = p[3] & 0x10;
  uint32_t pos = 4;
  if (t.has_af) {
    t.af_len = p[4];
    pos = 5 + t.af_len;
  }
  if (t.has_payload && pos <= 188) {
    t.payload = p + pos;
    t.payload_len = 188 - pos;
  }
  return t;
}

inline std::vector<TsPacket> ts_packets(const uint8_t *buf, size_t len) {
  std::vector<TsPacket> v;
  for (size_t i = 0; i + 188 <= len; i += 188) v.push_back(ts_parse(buf + i));
  return v;
}

// 33-bit PES time stamp from its 5-byte form.
inline uint64_t pes_ts(const uint8_t *p) {
  return ((uint64_t)(p[0] & 0x0E) << 29) | ((uint64_t)p[1] << 22) | ((uint64_t)(p[2] & 0xFE) << 14) |
         ((uint64_t)p[3] << 7) | (p[4] >> 1);
}

// 33-bit PCR base of a PCR packet.
inline uint64_t pcr_base(const uint8_t *pkt) {
  const uint8_t *b = pkt + 6;
  return ((uint64_t)b[0] << 25) | ((uint64_t)b[1] << 17) | ((uint64_t)b[2] << 9) |
         ((uint64_t)b[3] << 1) | (b[4] >> 7);
}

// The PES payloads on one PID, each joined from its packets (header included).
inline std::vector<std::vector<uint8_t>> ts_pes_units(const uint8_t *buf, size_t len, uint32_t pid) {
  std::vector<std::vector<uint8_t>> units;
  for (auto &t : ts_packets(buf, len)) {
    if (t.pid != pid || !t.has_payload) continue;
    if (t.pusi || units.empty()) units.emplace_back();
    units.back().insert(units.back().end(), t.payload, t.payload + t.payload_len);
  }
  return units;
}

// Interleaves as a muxed consumer does: each video unit (clock = pts + 900),
// then the audio units not later than it. Returns the transport stream
// (empty when a write failed).
inline Bytes ts_mux_units(TsMux *m, const std::vector<Bytes> &video, const std::vector<Bytes> &audio,
                          uint32_t pts0 = 0, size_t *audio_written = nullptr) {
  Bytes ts;
  std::vector<uint8_t> buf(1 << 21);
  size_t j = 0;
  for (size_t i = 0; i < video.size(); i++) {
    uint32_t pts = pts0 + kVideoTicks * (uint32_t)i;
    m->clock = pts + 900;
    m->video.pts = pts;
    m->video.key = is_key_unit(video[i]);
    int n = tsmux_write(m, m->video.pid, buf.data(), buf.size(), video[i].data(), (uint32_t)video[i].size());
    if (n <= 0) return {};
    ts.insert(ts.end(), buf.begin(), buf.begin() + n);
    for (; j < audio.size() && kAudioTicks * j <= kVideoTicks * i; j++) {
      m->audio.pts = pts0 + kAudioTicks * (uint32_t)j;
      n = tsmux_write(m, m->audio.pid, buf.data(), buf.size(), audio[j].data(), (uint32_t)audio[j].size());
      if (n <= 0) return {};
      ts.insert(ts.end(), buf.begin(), buf.begin() + n);
    }
  }
  if (audio_written) *audio_written = j;
  return ts;
}
