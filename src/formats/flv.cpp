#include "formats/flv.h"

#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "formats/annexb.h"

namespace {

const uint32_t kTagHeader = 11;
const uint32_t kPrevTagSize = 4;
const int kMaxParamSets = 8;
const size_t kMaxUnits = 32;  // NAL units of a frame remembered between sizing and copying

inline void put16(uint8_t *p, uint32_t v) { p[0] = (uint8_t)(v >> 8); p[1] = (uint8_t)v; }
inline void put24(uint8_t *p, uint32_t v) {
  p[0] = (uint8_t)(v >> 16); p[1] = (uint8_t)(v >> 8); p[2] = (uint8_t)v;
}
inline void put32(uint8_t *p, uint32_t v) {
  p[0] = (uint8_t)(v >> 24); p[1] = (uint8_t)(v >> 16); p[2] = (uint8_t)(v >> 8); p[3] = (uint8_t)v;
}

// Tag header (11 bytes) for a body of data_size bytes, and returns where the
// body goes; tag_end writes PreviousTagSize and returns the tag's total.
uint8_t *tag_begin(uint8_t *out, int type, uint32_t data_size, uint32_t ts) {
  out[0] = (uint8_t)(type & 31);
  put24(out + 1, data_size);
  put24(out + 4, ts & 0xFFFFFF);
  out[7] = (uint8_t)(ts >> 24);
  put24(out + 8, 0);
  return out + kTagHeader;
}

int tag_end(uint8_t *out, uint32_t data_size) {
  put32(out + kTagHeader + data_size, kTagHeader + data_size);
  return (int)(kTagHeader + data_size + kPrevTagSize);
}

bool fits(size_t size, uint64_t data_size) {
  return (uint64_t)size >= kTagHeader + data_size + kPrevTagSize;
}

size_t amf_prop_number(uint8_t *p, const char *name, double v) {
  size_t n = amf_write_string(p, name);
  return n + amf_write_number(p + n, v);
}

uint8_t audio_header_byte(const FlvMux *flv) {
  if (flv->audio_codec_id == 10) return 0xAF;  // AAC: the flags are fixed
  uint8_t b = (uint8_t)(flv->audio_codec_id << 4);
  if (flv->audiosamplerate == 11000.0) b |= 0x04;
  else if (flv->audiosamplerate == 22000.0) b |= 0x08;
  else if (flv->audiosamplerate == 44000.0) b |= 0x0C;
  if (flv->audio_sample_size == 16) b |= 0x02;
  if (flv->stereo) b |= 0x01;
  return b;
}

// Raw AAC of an ADTS frame: the 7-byte header (9 with CRC) goes, and the
// payload ends where the header says the frame ends.
void strip_adts(const uint8_t **data, uint32_t *len) {
  const uint8_t *d = *data;
  if (*len < 7 || d[0] != 0xFF || (d[1] & 0xF6) != 0xF0) return;
  uint32_t hdr = (d[1] & 0x01) ? 7 : 9;
  uint32_t frame = ((uint32_t)(d[3] & 0x03) << 11) | ((uint32_t)d[4] << 3) | (d[5] >> 5);
  if (*len < hdr) return;
  uint32_t end = (frame >= hdr && frame < *len) ? frame : *len;
  *data = d + hdr;
  *len = end - hdr;
}

}  // namespace

FlvMux *flv_new(void) { return (FlvMux *)calloc(1, sizeof(FlvMux)); }

void flv_delete(FlvMux *flv) { free(flv); }

size_t amf_write_number(uint8_t *out, double value) {
  uint64_t bits;
  memcpy(&bits, &value, sizeof bits);
  out[0] = 0x00;
  put32(out + 1, (uint32_t)(bits >> 32));
  put32(out + 5, (uint32_t)bits);
  return 9;
}

size_t amf_write_string(uint8_t *out, const char *text) {
  size_t n = strlen(text);
  if (n > 0xFFFF) n = 0xFFFF;
  put16(out, (uint32_t)n);
  memcpy(out + 2, text, n);
  return n + 2;
}

int flv_write_header(FlvMux *flv, uint8_t *out, size_t size) {
  if (!flv || !out) return FLV_EINVAL;
  uint8_t buf[512];
  memcpy(buf, "FLV", 3);
  buf[3] = 1;
  buf[4] = (uint8_t)(((flv->audio_codec_id || flv->audiosamplerate != 0.0) ? 0x04 : 0) |
                     ((flv->video_codec_id || flv->videodatarate != 0.0) ? 0x01 : 0));
  put32(buf + 5, 9);
  put32(buf + 9, 0);

  uint8_t *body = buf + 13 + kTagHeader;
  size_t n = 0;
  body[n++] = 0x02;
  n += amf_write_string(body + n, "onMetaData");
  body[n++] = 0x08;  // ECMA array
  put32(body + n, 11);
  n += 4;
  n += amf_prop_number(body + n, "width", flv->width);
  n += amf_prop_number(body + n, "height", flv->height);
  n += amf_prop_number(body + n, "videodatarate", flv->videodatarate);
  n += amf_prop_number(body + n, "framerate", flv->framerate);
  n += amf_prop_number(body + n, "videocodecid", flv->video_codec_id);
  n += amf_prop_number(body + n, "audiodatarate", flv->audiodatarate);
  n += amf_prop_number(body + n, "audiosamplerate", flv->audiosamplerate);
  n += amf_prop_number(body + n, "audiosamplesize", flv->audio_sample_size);
  n += amf_write_string(body + n, "stereo");
  body[n++] = 0x01;  // boolean
  body[n++] = flv->stereo ? 1 : 0;
  n += amf_prop_number(body + n, "audiocodecid", flv->audio_codec_id);
  // A live stream has no duration; 0 says so. Readers take a negative one
  // for a length (GStreamer: 2^64 - 1 s).
  n += amf_prop_number(body + n, "duration", 0.0);
  body[n++] = 0x00; body[n++] = 0x00; body[n++] = 0x09;  // object end

  tag_begin(buf + 13, FLV_TAG_SCRIPT, (uint32_t)n, 0);
  size_t total = 13 + (size_t)tag_end(buf + 13, (uint32_t)n);
  if (size < total) return FLV_ENOSPC;
  memcpy(out, buf, total);
  flv->audio_tag_header = audio_header_byte(flv);
  return (int)total;
}

int flv_write_tag(FlvMux *flv, int type, uint8_t *out, size_t size,
                  const uint8_t *data, uint32_t len) {
  if (!flv || !out || (!data && len)) return FLV_EINVAL;
  uint8_t pre[5];
  uint32_t npre;
  uint32_t ts;
  bool annexb = false;
  if (type == FLV_TAG_VIDEO) {
    ts = flv->video_ts;
    pre[0] = (uint8_t)((flv->frame_type << 4) | (flv->video_codec_id & 0x0F));
    npre = 1;
    if (flv->video_codec_id == 7) {
      pre[1] = (uint8_t)flv->avc_packet_type;
      put24(pre + 2, flv->avc_packet_type == 1 ? (uint32_t)flv->composition_time & 0xFFFFFF : 0);
      npre = 5;
      annexb = flv->avc_packet_type == 1 && annexb_starts_with_start_code(data, len);
    }
  } else {
    ts = flv->audio_ts;
    pre[0] = flv->audio_tag_header;
    npre = 1;
    if (flv->audio_codec_id == 10) {
      pre[1] = (uint8_t)flv->aac_packet_type;
      npre = 2;
      if (flv->aac_packet_type == 1) strip_adts(&data, &len);
    }
  }

  // The units of a frame are found once; a frame with more than fit here
  // is walked again while copying.
  size_t unit_s[kMaxUnits], unit_e[kMaxUnits];
  size_t units = 0;
  uint64_t payload = len;
  if (annexb) {
    payload = 0;
    AnnexbWalk w;
    annexb_walk_init(&w, data, len);
    size_t s, e;
    while (annexb_walk_next(&w, &s, &e)) {
      if (units < kMaxUnits) {
        unit_s[units] = s;
        unit_e[units] = e;
      }
      units++;
      payload += 4 + (e - s);
    }
    if (payload == 0) return FLV_EINVAL;
  }
  uint64_t data_size = npre + payload;
  if (data_size > 0xFFFFFF) {
    log_printf("%s: %u bytes do not fit one tag\n", "flv_write_tag", len);
    return FLV_EINVAL;
  }
  if (!fits(size, data_size)) return FLV_ENOSPC;

  uint8_t *p = tag_begin(out, type, (uint32_t)data_size, ts);
  memcpy(p, pre, npre);
  p += npre;
  if (annexb && units <= kMaxUnits) {
    for (size_t i = 0; i < units; i++) {
      size_t n = unit_e[i] - unit_s[i];
      put32(p, (uint32_t)n);
      memcpy(p + 4, data + unit_s[i], n);
      p += 4 + n;
    }
  } else if (annexb) {
    AnnexbWalk w;
    annexb_walk_init(&w, data, len);
    size_t s, e;
    while (annexb_walk_next(&w, &s, &e)) {
      put32(p, (uint32_t)(e - s));
      memcpy(p + 4, data + s, e - s);
      p += 4 + (e - s);
    }
  } else if (len) {
    memcpy(p, data, len);
  }
  return tag_end(out, (uint32_t)data_size);
}

int flv_write_avc_config(FlvMux *flv, uint8_t *out, size_t size,
                         const uint8_t **data, uint32_t *len) {
  if (!flv || !out || !data || !len || (!*data && *len)) return FLV_EINVAL;
  const uint8_t *d = *data;
  size_t sps_s[kMaxParamSets], sps_e[kMaxParamSets], pps_s[kMaxParamSets], pps_e[kMaxParamSets];
  int nsps = 0, npps = 0;
  size_t lead_end = 0;
  bool leading = true;
  AnnexbWalk w;
  annexb_walk_init(&w, d, *len);
  size_t s, e;
  while (annexb_walk_next(&w, &s, &e)) {
    int t = d[s] & 0x1F;
    // An SPS shorter than its profile and level bytes, or a set too long for
    // its 16-bit length, cannot go into the record.
    if (t == 7 && nsps < kMaxParamSets && e - s >= 4 && e - s <= 0xFFFF) {
      sps_s[nsps] = s; sps_e[nsps++] = e;
    } else if (t == 8 && npps < kMaxParamSets && e - s <= 0xFFFF) {
      pps_s[npps] = s; pps_e[npps++] = e;
    }
    if (leading && (t == 7 || t == 8)) lead_end = e;
    else leading = false;
  }
  if (nsps == 0) return 0;

  uint64_t rec = 7;
  for (int i = 0; i < nsps; i++) rec += 2 + (sps_e[i] - sps_s[i]);
  for (int i = 0; i < npps; i++) rec += 2 + (pps_e[i] - pps_s[i]);
  uint64_t data_size = 5 + rec;
  if (data_size > 0xFFFFFF) return FLV_EINVAL;
  if (!fits(size, data_size)) return FLV_ENOSPC;

  uint8_t *p = tag_begin(out, FLV_TAG_VIDEO, (uint32_t)data_size, flv->video_ts);
  *p++ = (uint8_t)((1 << 4) | (flv->video_codec_id & 0x0F));  // a sequence header is a key frame
  *p++ = 0;                          // AVC packet type: sequence header
  put24(p, 0);
  p += 3;
  const uint8_t *sps = d + sps_s[0];
  *p++ = 0x01;                       // configurationVersion
  *p++ = sps[1];                     // AVCProfileIndication
  *p++ = sps[2];                     // profile_compatibility
  *p++ = sps[3];                     // AVCLevelIndication
  *p++ = 0xFF;                       // lengthSizeMinusOne 3
  *p++ = (uint8_t)(0xE0 | nsps);
  for (int i = 0; i < nsps; i++) {
    put16(p, (uint32_t)(sps_e[i] - sps_s[i]));
    memcpy(p + 2, d + sps_s[i], sps_e[i] - sps_s[i]);
    p += 2 + (sps_e[i] - sps_s[i]);
  }
  *p++ = (uint8_t)npps;
  for (int i = 0; i < npps; i++) {
    put16(p, (uint32_t)(pps_e[i] - pps_s[i]));
    memcpy(p + 2, d + pps_s[i], pps_e[i] - pps_s[i]);
    p += 2 + (pps_e[i] - pps_s[i]);
  }
  *data = d + lead_end;
  *len -= (uint32_t)lead_end;
  return tag_end(out, (uint32_t)data_size);
}

int flv_write_aac_config(FlvMux *flv, uint8_t *out, size_t size) {
  if (!flv || !out) return FLV_EINVAL;
  // AudioSpecificConfig: object type 2 (LC), frequency index 3 (48000 Hz),
  // channel configuration 1 or 2.
  const uint8_t asc[2] = {0x11, (uint8_t)(0x80 | ((flv->stereo + 1) << 3))};
  flv->aac_packet_type = 0;
  int n = flv_write_tag(flv, FLV_TAG_AUDIO, out, size, asc, sizeof asc);
  flv->aac_packet_type = 1;
  return n;
}
