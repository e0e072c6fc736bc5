// MP4 writer: tracks, samples into the growing mdat, sample tables in the moov
// tree, and the finishing moov.
#include "formats/mp4_write.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/log.h"
#include "formats/annexb.h"

#define FCC MP4_FOURCC

namespace {

const uint32_t T_AVC1 = FCC('a', 'v', 'c', '1');
const uint32_t T_MP4V = FCC('m', 'p', '4', 'v');
const uint32_t T_MP4A = FCC('m', 'p', '4', 'a');
const uint32_t T_VIDE = FCC('v', 'i', 'd', 'e');
const uint32_t T_SOUN = FCC('s', 'o', 'u', 'n');
const uint32_t T_STCO = FCC('s', 't', 'c', 'o');
const uint32_t T_CO64 = FCC('c', 'o', '6', '4');

const uint32_t unity_matrix[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};

char compressor_name[33] = "Marovant 6259";

// ---- H.264 / MPEG-4 / ADTS parsing ----

int starts_with_start_code(const uint8_t *p, size_t n) {
  return (n >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1) ||
         (n >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1);
}

// Walks the NAL units of a frame, in Annex-B form (start codes) or in
// length form (32-bit big-endian lengths).
struct NalIter {
  const uint8_t *p;
  size_t n;
  size_t pos;
  int annexb;
};

void nal_iter_init(NalIter *it, const uint8_t *p, size_t n) {
  it->p = p;
  it->n = n;
  it->pos = 0;
  it->annexb = starts_with_start_code(p, n);
}

// 1: a NAL at *prefix (start code or length field) with payload
// [*start, *start + *len); 0: the end; -1: a length runs past the end.
int nal_next(NalIter *it, size_t *prefix, size_t *start, size_t *len) {
  const uint8_t *p = it->p;
  for (;;) {
    if (it->pos >= it->n) return 0;
    *prefix = it->pos;
    if (it->annexb) {
      size_t sc = (it->pos + 3 <= it->n && p[it->pos] == 0 && p[it->pos + 1] == 0 && p[it->pos + 2] == 1) ? 3 : 4;
      size_t s = it->pos + sc;
      if (s > it->n) s = it->n;
      size_t k = annexb_find_start_code(p, it->n, s);
      size_t e = (k < it->n && k > s && p[k - 1] == 0) ? k - 1 : k;
      it->pos = e;
      if (e <= s) continue;  // empty NAL between two start codes
      *start = s;
      *len = e - s;
      return 1;
    }
    if (it->pos + 4 > it->n) {
      log_printf("invalid NAL length %u at offset %u\n", 0u, (unsigned)it->pos);
      return -1;
    }
    uint32_t l = (uint32_t)p[it->pos] << 24 | p[it->pos + 1] << 16 | p[it->pos + 2] << 8 | p[it->pos + 3];
    if (l == 0 || l > it->n - it->pos - 4) {
      log_printf("invalid NAL length %u at offset %u\n", l, (unsigned)it->pos);
      return -1;
    }
    *start = it->pos + 4;
    *len = l;
    it->pos += 4 + (size_t)l;
    return 1;
  }
}

// Finds the MPEG-4 visual start code 00 00 01 code, or n.
size_t find_mpeg4_code(const uint8_t *p, size_t n, uint8_t code, size_t from) {
  for (size_t k = annexb_find_start_code(p, n, from); k < n; k = annexb_find_start_code(p, n, k + 1))
    if (k + 3 < n && p[k + 3] == code) return k;
  return n;
}

const uint32_t kSampleUnits = 32;

// The sample a video frame becomes: from its first picture on.
struct Sample {
  const uint8_t *p;
  uint32_t n;
  uint32_t size;  // bytes it takes in the file
  int key;
  int annexb;     // avc1 NALs to rewrite with length fields
  // The NAL units (offset from p, length) found while sizing an Annex-B
  // frame, so that writing it scans it no more; units past kSampleUnits
  // leave them unused.
  uint32_t units;
  uint32_t unit_at[kSampleUnits][2];
};

// -1: nothing to write (no picture, or a bad NAL length).
int prepare_video(Mp4Muxer *m, const Mp4Track *tr, const uint8_t *data, uint32_t len, Sample *s) {
  s->p = data;
  s->n = len;
  s->size = len;
  s->key = 0;
  s->annexb = 0;
  s->units = 0;
  if (tr->fourcc == T_AVC1) {
    NalIter it;
    nal_iter_init(&it, data, len);
    size_t prefix, start, nlen, pic = len;
    int first_type = -1, rc;
    while ((rc = nal_next(&it, &prefix, &start, &nlen)) == 1) {
      int type = data[start] & 0x1F;
      if (first_type < 0 && type != 9) first_type = type;  // an access unit delimiter does not count
      if (type == 1 || type == 5) {
        pic = prefix;
        if (type == 5) s->key = 1;
        break;
      }
    }
    if (rc < 0) return -1;
    // An Annex-B frame is sized by carrying on from its first picture.
    uint64_t units_size = 0;
    if (rc == 1 && it.annexb) {
      do {
        if (s->units < kSampleUnits) {
          s->unit_at[s->units][0] = (uint32_t)(start - pic);
          s->unit_at[s->units][1] = (uint32_t)nlen;
        }
        s->units++;
        units_size += 4 + nlen;
      } while (nal_next(&it, &prefix, &start, &nlen) == 1);
    }
    if (first_type == 5 || first_type == 7) s->key = 1;
    if (pic != 0 && (!m->sps_len || !m->pps_len)) mp4_set_parameter_data(m, data, len);
    if (pic >= len) return -1;  // parameter sets, delimiters or SEI only
    s->p = data + pic;
    s->n = len - (uint32_t)pic;
    s->annexb = it.annexb;
    if (s->annexb) {
      s->size = (uint32_t)units_size;
    } else {
      // Length form: every NAL must lie inside the frame.
      nal_iter_init(&it, s->p, s->n);
      while ((rc = nal_next(&it, &prefix, &start, &nlen)) == 1) {
      }
      if (rc < 0) return -1;
      s->size = s->n;
    }
    return 0;
  }
  if (tr->fourcc == T_MP4V) {
    size_t pic = find_mpeg4_code(data, len, 0xB6, 0);
    if (pic != 0 && !m->sps_len) mp4_set_parameter_data(m, data, len);
    if (pic >= len) return -1;
    s->p = data + pic;
    s->n = len - (uint32_t)pic;
    s->size = s->n;
    s->key = pic + 4 < len && (data[pic + 4] >> 6) == 0;  // vop_coding_type I
    return 0;
  }
  s->key = 1;  // other video entries are all intra (and get no stss)
  return 0;
}

void prepare_audio(const Mp4Track *tr, const uint8_t *data, uint32_t len, Sample *s) {
  s->p = data;
  s->n = len;
  s->key = 0;
  s->annexb = 0;
  if (tr->fourcc == T_MP4A && tr->audio_selector == 0 && len >= 7 && data[0] == 0xFF && (data[1] & 0xF0) == 0xF0) {
    uint32_t hdr = (data[1] & 1) ? 7 : 9;  // protection_absent
    if (len >= hdr) {
      s->p = data + hdr;
      s->n = len - hdr;
    }
  }
  s->size = s->n;
}

int write_sample_bytes(Mp4Muxer *m, const Sample *s) {
  if (!s->annexb) return write_n(m, s->p, s->n);
  if (s->units <= kSampleUnits) {
    int rc = 0;
    for (uint32_t i = 0; i < s->units; i++) {
      uint32_t l = s->unit_at[i][1];
      uint8_t be[4] = {(uint8_t)(l >> 24), (uint8_t)(l >> 16), (uint8_t)(l >> 8), (uint8_t)l};
      rc |= write_n(m, be, 4);
      rc |= write_n(m, s->p + s->unit_at[i][0], l);
    }
    return rc;
  }
  NalIter it;
  size_t prefix, start, nlen;
  int rc = 0;
  nal_iter_init(&it, s->p, s->n);
  while (nal_next(&it, &prefix, &start, &nlen) == 1) {
    uint32_t l = (uint32_t)nlen;
    uint8_t be[4] = {(uint8_t)(l >> 24), (uint8_t)(l >> 16), (uint8_t)(l >> 8), (uint8_t)l};
    rc |= write_n(m, be, 4);
    rc |= write_n(m, s->p + start, (int64_t)nlen);
  }
  return rc;
}

// ---- tree building ----

Mp4Box *add(Mp4Box *parent, uint32_t type, int *fail, uint32_t handler = 0) {
  if (!parent) {
    *fail = 1;
    return NULL;
  }
  Mp4Box *b = box_new(type, handler);
  if (!b) {
    *fail = 1;
    return NULL;
  }
  box_add_child(b, parent);
  return b;
}

Mp4Box *add_table(Mp4Box *parent, uint32_t type, uint32_t entry_size, int *fail) {
  Mp4Box *b = add(parent, type, fail);
  if (b) b->entry_size = entry_size;
  return b;
}

Mp4Box *trak_path(Mp4Box *trak, uint32_t t1, uint32_t t2 = 0, uint32_t t3 = 0) {
  Mp4Box *b = box_find(trak, t1);
  if (t2) b = box_find(b, t2);
  if (t3) b = box_find(b, t3);
  return b;
}

Mp4Box *stbl_of(Mp4Box *trak) {
  return trak_path(trak, FCC('m', 'd', 'i', 'a'), FCC('m', 'i', 'n', 'f'), FCC('s', 't', 'b', 'l'));
}

Mp4Box *find_trak(Mp4Muxer *m, uint32_t id) {
  if (!m->moov) return NULL;
  for (Mp4Box *t = m->moov->child; t; t = t->next) {
    if (t->type != FCC('t', 'r', 'a', 'k')) continue;
    Mp4Tkhd *h = (Mp4Tkhd *)box_find(t, FCC('t', 'k', 'h', 'd'));
    if (h && h->track_id == id) return t;
  }
  return NULL;
}

Mp4Box *sample_entry_of(Mp4Box *trak) {
  Mp4Box *stsd = box_find(stbl_of(trak), FCC('s', 't', 's', 'd'));
  return stsd ? stsd->child : NULL;
}

void fill_avcC(Mp4Muxer *m, Mp4AvcC *a) {
  uint8_t buf[4 + MP4_PARAM_MAX];
  uint32_t n = 0;
  a->configuration_version = 1;
  a->profile = (uint8_t)(m->avc_profile ? m->avc_profile : (m->sps_len > 1 ? m->sps[1] : 0));
  a->profile_compatibility = 0;
  a->level = (uint8_t)(m->avc_level ? m->avc_level : (m->sps_len > 3 ? m->sps[3] : 0));
  a->length_size_minus_one = 3;
  a->num_sps = m->sps_len ? 1 : 0;
  a->num_pps = m->pps_len ? 1 : 0;
  if (m->sps_len) {
    buf[n++] = (uint8_t)(m->sps_len >> 8);
    buf[n++] = (uint8_t)m->sps_len;
    memcpy(buf + n, m->sps, m->sps_len);
    n += m->sps_len;
  }
  a->sps_bytes = n;
  if (m->pps_len) {
    buf[n++] = (uint8_t)(m->pps_len >> 8);
    buf[n++] = (uint8_t)m->pps_len;
    memcpy(buf + n, m->pps, m->pps_len);
    n += m->pps_len;
  }
  a->pps_bytes = n - a->sps_bytes;
  box_set_data(&a->box, buf, n);
}

void fill_audio_config(const Mp4Track *tr, Mp4Esds *e) {
  // AudioSpecificConfig: AAC LC (2), the frequency index (15 and an explicit
  // 24-bit rate when the rate is not in the table), the channel configuration.
  int fi = mp4_aac_frequency_index(tr->sample_rate);
  uint32_t ch = tr->channels & 15;
  if (fi != 15) {
    e->dsi[0] = (uint8_t)(2 << 3 | fi >> 1);
    e->dsi[1] = (uint8_t)((fi & 1) << 7 | ch << 3);
    e->dsi_len = 2;
  } else {
    uint32_t r = tr->sample_rate & 0xFFFFFF;
    // 5 bits object type, 4 bits 15, 24 bits rate, 4 bits channels, 3 bits flags.
    uint64_t bits = (uint64_t)2 << 35 | (uint64_t)15 << 31 | (uint64_t)r << 7 | (uint64_t)ch << 3;
    for (int i = 0; i < 5; i++) e->dsi[i] = (uint8_t)(bits >> (32 - 8 * i));
    e->dsi_len = 5;
  }
}

void add_sample_entry(Mp4Muxer *m, Mp4Box *stsd, const Mp4Track *tr, int *fail) {
  if (tr->handler_type == T_VIDE) {
    Mp4VisualEntry *v = (Mp4VisualEntry *)add(stsd, tr->fourcc, fail, T_VIDE);
    if (!v) return;
    v->data_reference_index = 1;
    v->width = (uint16_t)tr->width;
    v->height = (uint16_t)tr->height;
    v->horizresolution = v->vertresolution = 0x00480000;
    v->frame_count = 1;
    // A counted string: the length byte, then the text, zero-padded.
    size_t n = strlen(compressor_name);
    if (n > 31) n = 31;
    v->compressorname[0] = (uint8_t)n;
    memcpy(v->compressorname + 1, compressor_name, n);
    v->depth = 0x0018;
    if (tr->fourcc == T_AVC1) {
      Mp4AvcC *a = (Mp4AvcC *)add(&v->box, FCC('a', 'v', 'c', 'C'), fail);
      if (a) fill_avcC(m, a);
      Mp4Pasp *p = (Mp4Pasp *)add(&v->box, FCC('p', 'a', 's', 'p'), fail);
      if (p) p->h_spacing = p->v_spacing = 1;
      add(&v->box, FCC('b', 't', 'r', 't'), fail);
    } else if (tr->fourcc == T_MP4V) {
      Mp4Esds *e = (Mp4Esds *)add(&v->box, FCC('e', 's', 'd', 's'), fail);
      if (!e) return;
      e->es_id = 0;
      e->object_type = 0x20;
      e->stream_type = 4;
      e->buffer_size_db = 192000;
      e->max_bitrate = e->avg_bitrate = 2000000;
      e->dsi_len = m->sps_len;
      if (m->sps_len) memcpy(e->dsi, m->sps, m->sps_len);
      e->sl_predefined = 2;
    }
    return;
  }
  Mp4AudioEntry *a = (Mp4AudioEntry *)add(stsd, tr->fourcc, fail, T_SOUN);
  if (!a) return;
  a->data_reference_index = 1;
  a->channelcount = 2;
  a->samplesize = 16;
  a->samplerate = tr->sample_rate << 16;
  Mp4Esds *e = (Mp4Esds *)add(&a->box, FCC('e', 's', 'd', 's'), fail);
  if (e) {
    e->es_id = 1;
    e->object_type = 0x40;
    e->stream_type = 5;
    e->buffer_size_db = 15000;
    e->max_bitrate = 1500000;
    e->avg_bitrate = 0;
    fill_audio_config(tr, e);
    e->sl_predefined = 2;
  }
  add(&a->box, FCC('b', 't', 'r', 't'), fail);
}

// Adds the trak of track id under the moov. A file's trak is written once
// it has a sample; the streaming moov writes every trak, empty.
int create_track(Mp4Muxer *m, uint32_t id, int streaming) {
  if (id == 0 || id >= m->next_track_id) {
    log_printf("%s: bad track id %d\n", "create_track", (int)id);
    return -1;
  }
  const Mp4Track *tr = &m->tracks[id - 1];
  int vide = tr->handler_type == T_VIDE;
  int fail = 0;
  Mp4Box *trak = add(m->moov, FCC('t', 'r', 'a', 'k'), &fail);
  if (!trak) return -1;
  if (!streaming) trak->node_flags &= (uint8_t)~BOX_WRITE;
  Mp4Tkhd *tkhd = (Mp4Tkhd *)add(trak, FCC('t', 'k', 'h', 'd'), &fail);
  if (tkhd) {
    tkhd->box.flags = streaming ? 7 : 3;
    tkhd->track_id = id;
    tkhd->alternate_group = vide ? 0 : 1;
    tkhd->volume = vide ? 0 : 0x0100;
    memcpy(tkhd->matrix, unity_matrix, sizeof unity_matrix);
    tkhd->width = vide ? tr->width << 16 : 0;
    tkhd->height = vide ? tr->height << 16 : 0;
  }
  Mp4Box *edts = add(trak, FCC('e', 'd', 't', 's'), &fail);
  add_table(edts, FCC('e', 'l', 's', 't'), sizeof(Mp4ElstEntry), &fail);
  Mp4Box *mdia = add(trak, FCC('m', 'd', 'i', 'a'), &fail);
  Mp4Mdhd *mdhd = (Mp4Mdhd *)add(mdia, FCC('m', 'd', 'h', 'd'), &fail);
  if (mdhd) {
    mdhd->timescale = tr->timescale;
    mdhd->language = 0x55C4;  // "und"
  }
  Mp4Hdlr *hdlr = (Mp4Hdlr *)add(mdia, FCC('h', 'd', 'l', 'r'), &fail);
  if (hdlr) {
    hdlr->handler_type = tr->handler_type;
    if (box_set_data(&hdlr->box, tr->name, (uint32_t)strlen(tr->name) + 1)) fail = 1;
  }
  Mp4Box *minf = add(mdia, FCC('m', 'i', 'n', 'f'), &fail);
  if (vide) {
    Mp4Box *vmhd = add(minf, FCC('v', 'm', 'h', 'd'), &fail);
    if (vmhd) vmhd->flags = 1;
  } else {
    add(minf, FCC('s', 'm', 'h', 'd'), &fail);
  }
  Mp4Box *dinf = add(minf, FCC('d', 'i', 'n', 'f'), &fail);
  Mp4Box *dref = add(dinf, FCC('d', 'r', 'e', 'f'), &fail);
  Mp4Box *url = add(dref, FCC('u', 'r', 'l', ' '), &fail);
  if (url) url->flags = 1;
  Mp4Box *stbl = add(minf, FCC('s', 't', 'b', 'l'), &fail);
  Mp4Box *stsd = add(stbl, FCC('s', 't', 's', 'd'), &fail);
  if (stsd) add_sample_entry(m, stsd, tr, &fail);
  add_table(stbl, FCC('s', 't', 't', 's'), sizeof(Mp4SttsEntry), &fail);
  if (tr->fourcc == T_AVC1 || tr->fourcc == T_MP4V) add_table(stbl, FCC('s', 't', 's', 's'), 4, &fail);
  add_table(stbl, FCC('s', 't', 's', 'c'), sizeof(Mp4StscEntry), &fail);
  add_table(stbl, FCC('s', 't', 's', 'z'), 4, &fail);
  add_table(stbl, T_STCO, 4, &fail);
  if (!vide) {
    // AAC decoding starts one frame early: a roll group of distance -1.
    Mp4Sgpd *sgpd = (Mp4Sgpd *)add(stbl, FCC('s', 'g', 'p', 'd'), &fail);
    if (sgpd) {
      static const uint8_t minus_one[2] = {0xFF, 0xFF};
      sgpd->box.version = 1;
      sgpd->grouping_type = FCC('r', 'o', 'l', 'l');
      sgpd->default_length = 2;
      sgpd->count = 1;
      if (box_set_data(&sgpd->box, minus_one, 2)) fail = 1;
    }
    Mp4Sbgp *sbgp = (Mp4Sbgp *)add_table(stbl, FCC('s', 'b', 'g', 'p'), sizeof(Mp4SbgpEntry), &fail);
    if (sbgp) {
      sbgp->grouping_type = FCC('r', 'o', 'l', 'l');
      Mp4SbgpEntry e = {0, 1};
      if (!box_entries_add(&sbgp->box, 1, &e)) fail = 1;
    }
  }
  Mp4Mvhd *mvhd = (Mp4Mvhd *)box_find(m->moov, FCC('m', 'v', 'h', 'd'));
  if (mvhd) mvhd->next_track_id = m->next_track_id;
  if (fail) {
    box_remove(trak);
    return -1;
  }
  return 0;
}

Mp4Box *new_moov(Mp4Muxer *m) {
  int fail = 0;
  Mp4Box *moov = box_new(FCC('m', 'o', 'o', 'v'), 0);
  Mp4Mvhd *mvhd = (Mp4Mvhd *)add(moov, FCC('m', 'v', 'h', 'd'), &fail);
  if (!mvhd) {
    box_free(moov);
    return NULL;
  }
  mvhd->timescale = 90000;
  mvhd->rate = 0x00010000;
  mvhd->volume = 0x0100;
  memcpy(mvhd->matrix, unity_matrix, sizeof unity_matrix);
  mvhd->next_track_id = m->next_track_id;
  return moov;
}

int build_moov(Mp4Muxer *m) {
  m->moov = new_moov(m);
  int fail = !m->moov;
  for (uint32_t id = 1; !fail && id < m->next_track_id; id++) fail = create_track(m, id, 0) != 0;
  if (!fail && m->user_data) {
    Mp4Box *uuid = add(add(m->moov, FCC('u', 'd', 't', 'a'), &fail), FCC('u', 'u', 'i', 'd'), &fail);
    if (uuid && box_set_data(uuid, m->user_data, m->user_data_len)) fail = 1;
  }
  if (fail) {
    box_free(m->moov);
    m->moov = NULL;
    mp4_set_error(m, MP4_ERR_NOMEM);
    return -1;
  }
  return 0;
}

void write_ftyp(Mp4Muxer *m) {
  if (m->pos != 0) log_printf("%s: warning: FTYP needs to be first in file\n", "write_ftyp");
  Mp4Ftyp *f = (Mp4Ftyp *)box_new(FCC('f', 't', 'y', 'p'), 0);
  if (!f) {
    mp4_set_error(m, MP4_ERR_NOMEM);
    return;
  }
  int mp4v = 0;
  for (uint32_t i = 0; i < 2 && i + 1 < m->next_track_id; i++) mp4v |= m->tracks[i].fourcc == T_MP4V;
  uint32_t brands[4] = {mp4v ? FCC('m', 'p', '4', '1') : FCC('m', 'p', '4', '2'), FCC('i', 's', 'o', '2'),
                        FCC('a', 'v', 'c', '1'), FCC('m', 'p', '4', '1')};
  f->major_brand = FCC('m', 'p', '4', '2');
  f->minor_version = 0x00000200;
  f->box.entry_size = 4;
  if (!box_entries_add(&f->box, 4, brands)) mp4_set_error(m, MP4_ERR_NOMEM);
  else rwBox(m, &f->box, NULL);
  box_free(&f->box);
}

// ftyp, the moov tree, an 8-byte 'free' (room for a 64-bit mdat size) and
// the mdat header.
int start_file(Mp4Muxer *m) {
  if (m->pos == 0) write_ftyp(m);
  if (build_moov(m)) return -1;
  Mp4Box *gap = box_new((m->flags & MP4_FLAG_QT) ? FCC('w', 'i', 'd', 'e') : FCC('f', 'r', 'e', 'e'), 0);
  Mp4Box *mdat = box_new(FCC('m', 'd', 'a', 't'), 0);
  if (!gap || !mdat) {
    box_free(gap);
    box_free(mdat);
    mp4_set_error(m, MP4_ERR_NOMEM);
    return -1;
  }
  gap->size = 8;
  rwBox(m, gap, NULL);
  box_free(gap);
  rwBox(m, mdat, NULL);
  m->mdat = mdat;
  m->flags |= MP4_FLAG_CHUNK_BREAK;
  return 0;
}

void refresh_video_entry(Mp4Muxer *m) {
  for (uint32_t id = 1; id < m->next_track_id; id++) {
    Mp4Box *entry = sample_entry_of(find_trak(m, id));
    if (!entry) continue;
    if (entry->type == T_AVC1) {
      Mp4AvcC *a = (Mp4AvcC *)box_find(entry, FCC('a', 'v', 'c', 'C'));
      if (a) fill_avcC(m, a);
    } else if (entry->type == T_MP4V) {
      Mp4Esds *e = (Mp4Esds *)box_find(entry, FCC('e', 's', 'd', 's'));
      if (e) {
        e->dsi_len = m->sps_len;
        memcpy(e->dsi, m->sps, m->sps_len);
      }
    }
  }
}

// ---- sample tables ----

void *table_add(Mp4Muxer *m, Mp4Box *b, const void *entry) {
  void *e = box_entries_add(b, 1, entry);
  if (!e) mp4_set_error(m, MP4_ERR_NOMEM);
  return e;
}

// Replaces the stco by a co64 holding every offset as 64 bits.
Mp4Box *convert_co64(Mp4Muxer *m, Mp4Box *stco) {
  Mp4Box *co64 = box_new(T_CO64, 0);
  if (!co64) {
    mp4_set_error(m, MP4_ERR_NOMEM);
    return NULL;
  }
  co64->entry_size = 8;
  if (stco->entry_count && grow_array(co64, stco->entry_count)) {
    box_free(co64);
    mp4_set_error(m, MP4_ERR_NOMEM);
    return NULL;
  }
  const uint32_t *src = (const uint32_t *)stco->entries;
  uint64_t *dst = (uint64_t *)co64->entries;
  for (uint32_t i = 0; i < stco->entry_count; i++) dst[i] = src[i];
  co64->entry_count = stco->entry_count;
  // Take the stco's place among its siblings.
  co64->parent = stco->parent;
  co64->next = stco->next;
  Mp4Box **link = &stco->parent->child;
  while (*link != stco) link = &(*link)->next;
  *link = co64;
  stco->next = NULL;
  stco->parent = NULL;
  box_free(stco);
  return co64;
}

void flush_interleave(Mp4Muxer *m, uint32_t id);

void write_sample(Mp4Muxer *m, uint32_t id, const uint8_t *data, uint32_t len, uint32_t duration, int replay);

// Bytes the moov gains when the chunk at offset is the first past 4 GiB.
uint64_t co64_growth(Mp4Muxer *m, uint32_t id, uint64_t offset) {
  if (offset <= 0xFFFFFFFFu) return 0;
  Mp4Box *stco = box_find(stbl_of(find_trak(m, id)), T_STCO);
  return stco ? 4ull * stco->entry_count + 8 : 0;
}

void add_to_tables(Mp4Muxer *m, uint32_t id, Mp4Track *tr, uint64_t off, const Sample *s, uint32_t duration) {
  Mp4Box *trak = find_trak(m, id);
  Mp4Box *stbl = stbl_of(trak);
  Mp4Mdhd *mdhd = (Mp4Mdhd *)trak_path(trak, FCC('m', 'd', 'i', 'a'), FCC('m', 'd', 'h', 'd'));
  if (!stbl || !mdhd) return;
  mdhd->duration += duration;
  trak->node_flags |= BOX_WRITE;

  Mp4Box *stts = box_find(stbl, FCC('s', 't', 't', 's'));
  Mp4SttsEntry *last = stts->entry_count ? (Mp4SttsEntry *)stts->entries + stts->entry_count - 1 : NULL;
  if (last && last->sample_delta == duration) {
    last->sample_count++;
  } else {
    Mp4SttsEntry e = {1, duration};
    table_add(m, stts, &e);
  }

  Mp4Box *chunks = box_find(stbl, T_STCO);
  if (!chunks) chunks = box_find(stbl, T_CO64);
  if (!chunks) return;
  int new_chunk = chunks->entry_count == 0 || (m->flags & MP4_FLAG_CHUNK_BREAK) || off != tr->chunk_end;
  if (new_chunk) {
    if (off > 0xFFFFFFFFu && chunks->type == T_STCO) {
      Mp4Box *c = convert_co64(m, chunks);
      if (!c) return;
      chunks = c;
    }
    if (chunks->type == T_STCO) {
      uint32_t o = (uint32_t)off;
      table_add(m, chunks, &o);
    } else {
      table_add(m, chunks, &off);
    }
  }

  Mp4Box *stsc = box_find(stbl, FCC('s', 't', 's', 'c'));
  uint32_t cur = chunks->entry_count;
  Mp4StscEntry *e = stsc->entry_count ? (Mp4StscEntry *)stsc->entries + stsc->entry_count - 1 : NULL;
  if (!e || e->first_chunk != cur) {
    // A chunk continued after its entry merged into the one before it
    // starts from that entry's count.
    Mp4StscEntry n = {cur, (new_chunk || !e) ? 0 : e->samples_per_chunk, 1};
    if (!table_add(m, stsc, &n)) return;
  }
  e = (Mp4StscEntry *)stsc->entries + stsc->entry_count - 1;
  e->samples_per_chunk++;
  if (stsc->entry_count >= 2 && e[-1].samples_per_chunk == e->samples_per_chunk) stsc->entry_count--;

  Mp4Box *stsz = box_find(stbl, FCC('s', 't', 's', 'z'));
  uint32_t size = s->size;
  table_add(m, stsz, &size);

  Mp4Box *stss = box_find(stbl, FCC('s', 't', 's', 's'));
  if (stss && s->key) {
    uint32_t n = stsz->entry_count;
    table_add(m, stss, &n);
  }
  tr->chunk_end = off + s->size;
  m->flags &= (uint8_t)~MP4_FLAG_CHUNK_BREAK;

  if (m->sample_callback) {
    if (m->file) fflush(m->file);
    uint32_t flags = stss ? (s->key ? 1 : 0) : 2;
    m->sample_callback(off, mdhd->duration - duration, s->size, flags);
  }
}

// Holds an audio sample back for the next half-second run; 0 when queued.
int track_interleave(Mp4Muxer *m, uint32_t id, Mp4Track *tr, const Sample *s, uint32_t duration) {
  while (tr->current_time >= m->ilv_deadline) {
    flush_interleave(m, id);
    m->ilv_deadline += m->interleave;
  }
  tr->current_time += duration;
  if (m->ilv_used + (uint64_t)s->n > m->ilv_capacity) {
    uint64_t cap = ((uint64_t)m->ilv_used + s->n + 0xFFFF) & ~(uint64_t)0xFFFF;
    uint8_t *p = cap <= 0xFFFFFFFFu ? (uint8_t *)realloc(m->ilv_buf, cap) : NULL;
    if (!p) {
      log_printf("%s: failed to reallocate interleave buffer\n", "track_interleave");
      mp4_set_error(m, MP4_ERR_NOMEM);
      return -1;
    }
    m->ilv_buf = p;
    m->ilv_capacity = (uint32_t)cap;
  }
  if (tr->queue_count == tr->queue_capacity) {
    uint32_t cap = tr->queue_capacity ? tr->queue_capacity * 2 : 64;
    Mp4QueueEntry *q = (Mp4QueueEntry *)realloc(tr->queue, cap * sizeof *q);
    if (!q) {
      log_printf("%s: failed to reallocate fragment buffer\n", "track_interleave");
      mp4_set_error(m, MP4_ERR_NOMEM);
      return -1;
    }
    tr->queue = q;
    tr->queue_capacity = cap;
  }
  memcpy(m->ilv_buf + m->ilv_used, s->p, s->n);
  tr->queue[tr->queue_count++] = {m->ilv_used, s->n, duration};
  m->ilv_used += s->n;
  return 0;
}

void flush_interleave(Mp4Muxer *m, uint32_t id) {
  Mp4Track *tr = &m->tracks[id - 1];
  for (uint32_t i = 0; i < tr->queue_count; i++) {
    const Mp4QueueEntry *q = &tr->queue[i];
    write_sample(m, id, m->ilv_buf + q->offset, q->size, q->duration, 1);
  }
  tr->queue_count = 0;
  for (uint32_t i = 0; i + 1 < m->next_track_id; i++)
    if (m->tracks[i].queue_count) return;
  m->ilv_used = 0;
}

// Memory-window mode: each sample is a box 'mdat' of its own, len + 8 bytes:
// video from its first picture on, a leading 4-byte start code written as
// the length of the rest; audio as it came.
void write_window_sample(Mp4Muxer *m, const Sample *s) {
  uint32_t size = s->n + 8, type = FCC('m', 'd', 'a', 't');
  rw32(m, &size);
  rw32(m, &type);
  if (s->n >= 4 && s->p[0] == 0 && s->p[1] == 0 && s->p[2] == 0 && s->p[3] == 1) {
    uint32_t rest = s->n - 4;
    rw32(m, &rest);
    write_n(m, s->p + 4, s->n - 4);
  } else {
    write_n(m, s->p, s->n);
  }
}

void write_sample(Mp4Muxer *m, uint32_t id, const uint8_t *data, uint32_t len, uint32_t duration, int replay) {
  Mp4Track *tr = &m->tracks[id - 1];
  Sample s;
  if (replay) {
    s = {data, len, len, 0, 0};
  } else if (tr->handler_type == T_VIDE) {
    if (prepare_video(m, tr, data, len, &s)) return;
  } else if (!m->moov && m->win) {
    s = {data, len, len, 0, 0};
  } else {
    prepare_audio(tr, data, len, &s);
  }
  if (!m->moov && m->win) {
    write_window_sample(m, &s);
    return;
  }
  if (!m->moov && start_file(m)) return;
  if (!replay && m->interleave && tr->handler_type == T_SOUN) {
    track_interleave(m, id, tr, &s, duration);
    return;
  }
  uint64_t off = muxer_pos(m);
  if (m->max_size) {
    if (m->max_reached) return;
    uint64_t need = off + checkBoxSize(m->moov) + s.size + 1024 + co64_growth(m, id, off);
    if (need > m->max_size) {
      m->max_reached = 1;
      mp4_set_error(m, MP4_ERR_MAX_SIZE);
      return;
    }
  }
  write_sample_bytes(m, &s);
  Mp4Mdat *mdat = (Mp4Mdat *)m->mdat;
  mdat->payload_size += s.size;
  mdat->box.size += s.size;
  uint64_t pos = muxer_pos(m);
  if (pos != mdat->box.offset + mdat->payload_size) {
    log_printf("inconsistent mdat size fourcc=%c%c%c%c\n", (char)(tr->fourcc >> 24), (char)(tr->fourcc >> 16),
               (char)(tr->fourcc >> 8), (char)tr->fourcc);
    log_printf("mdat_offset=%llu mdat_size=%llu pos=%llu\n", (unsigned long long)mdat->box.offset,
               (unsigned long long)mdat->payload_size, (unsigned long long)pos);
    log_printf("offset=%llu len=%u pos=%llu\n", (unsigned long long)off, s.size, (unsigned long long)pos);
    mp4_set_error(m, MP4_ERR_WRITE);
    return;
  }
  add_to_tables(m, id, tr, off, &s, duration);
}

// ---- finishing ----

uint32_t stsc_samples_in_chunk(const Mp4StscEntry *e, uint32_t n, uint32_t chunk, uint32_t *at) {
  while (*at + 1 < n && e[*at + 1].first_chunk <= chunk) (*at)++;
  return n ? e[*at].samples_per_chunk : 0;
}

// Drops the samples of a trak that do not end at or before limit.
void track_cut(Mp4Box *trak, uint64_t limit) {
  Mp4Box *stbl = stbl_of(trak);
  Mp4Box *chunks = box_find(stbl, T_STCO);
  int wide = 0;
  if (!chunks) {
    chunks = box_find(stbl, T_CO64);
    wide = 1;
  }
  Mp4Box *stsc = box_find(stbl, FCC('s', 't', 's', 'c'));
  Mp4Box *stsz = box_find(stbl, FCC('s', 't', 's', 'z'));
  Mp4Box *stts = box_find(stbl, FCC('s', 't', 't', 's'));
  Mp4Box *stss = box_find(stbl, FCC('s', 't', 's', 's'));
  Mp4Mdhd *mdhd = (Mp4Mdhd *)trak_path(trak, FCC('m', 'd', 'i', 'a'), FCC('m', 'd', 'h', 'd'));
  if (!chunks || !stsc || !stsz || !stts || !mdhd) return;
  const uint32_t *sizes = (const uint32_t *)stsz->entries;
  Mp4StscEntry *sc = (Mp4StscEntry *)stsc->entries;
  uint32_t nsamples = stsz->entry_count, s = 0, at = 0, keep_chunks = 0, last_in_chunk = 0;
  int cut = 0;
  for (uint32_t c = 1; c <= chunks->entry_count && s < nsamples && !cut; c++) {
    uint64_t off = wide ? ((uint64_t *)chunks->entries)[c - 1] : ((uint32_t *)chunks->entries)[c - 1];
    uint32_t spc = stsc_samples_in_chunk(sc, stsc->entry_count, c, &at);
    uint32_t k = 0;
    for (; k < spc && s < nsamples; k++, s++) {
      if (off + sizes[s] > limit) {
        cut = 1;
        break;
      }
      off += sizes[s];
    }
    if (k) {
      keep_chunks = c;
      last_in_chunk = k;
    }
  }
  if (!cut) return;
  uint32_t keep = s;
  stsz->entry_count = keep;
  if (stss) {
    uint32_t n = 0;
    while (n < stss->entry_count && ((uint32_t *)stss->entries)[n] <= keep) n++;
    stss->entry_count = n;
  }
  Mp4SttsEntry *t = (Mp4SttsEntry *)stts->entries;
  uint32_t left = keep, i = 0;
  uint64_t duration = 0;
  for (; i < stts->entry_count && left; i++) {
    if (t[i].sample_count > left) t[i].sample_count = left;
    left -= t[i].sample_count;
    duration += (uint64_t)t[i].sample_count * t[i].sample_delta;
  }
  stts->entry_count = i;
  mdhd->duration = duration;
  chunks->entry_count = keep_chunks;
  uint32_t n = 0;
  while (n < stsc->entry_count && sc[n].first_chunk <= keep_chunks) n++;
  stsc->entry_count = n;
  if (n && sc[n - 1].samples_per_chunk != last_in_chunk) {
    if (sc[n - 1].first_chunk == keep_chunks) {
      sc[n - 1].samples_per_chunk = last_in_chunk;
      if (n >= 2 && sc[n - 2].samples_per_chunk == last_in_chunk) stsc->entry_count--;
    } else {
      Mp4StscEntry e = {keep_chunks, last_in_chunk, 1};
      box_entries_add(stsc, 1, &e);
    }
  }
  if (!keep) trak->node_flags &= (uint8_t)~BOX_WRITE;
}

uint64_t scale(uint64_t v, uint64_t to, uint64_t from, int round) {
  if (!from) return 0;
  unsigned __int128 x = (unsigned __int128)v * to;
  if (round) x += from / 2;
  return (uint64_t)(x / from);
}

int track_factor(uint32_t delta) {
  switch (delta) {
    case 3003: return 3;
    case 6006: return 6;
    case 9009: return 9;
    case 15015: return 15;
    case 1920: return 240;
    case 3600: case 7200: case 10800: case 18000: return 3600;
    default: return 1;
  }
}

// Moves the stts to timescale to, carrying the rounding remainder from
// sample to sample so that no time is lost.
int stts_rescale(Mp4Box *stts, Mp4Mdhd *mdhd, uint32_t to) {
  uint32_t from = mdhd->timescale;
  Mp4Box fresh;
  memset(&fresh, 0, sizeof fresh);
  fresh.entry_size = sizeof(Mp4SttsEntry);
  const Mp4SttsEntry *t = (const Mp4SttsEntry *)stts->entries;
  uint64_t carry = 0, total = 0;
  for (uint32_t i = 0; i < stts->entry_count; i++) {
    for (uint32_t k = 0; k < t[i].sample_count; k++) {
      uint64_t exact = (uint64_t)t[i].sample_delta * to + carry;
      uint32_t d = (uint32_t)(exact / from);
      carry = exact % from;
      total += d;
      Mp4SttsEntry *last = fresh.entry_count ? (Mp4SttsEntry *)fresh.entries + fresh.entry_count - 1 : NULL;
      if (last && last->sample_delta == d) {
        last->sample_count++;
      } else {
        Mp4SttsEntry e = {1, d};
        if (!box_entries_add(&fresh, 1, &e)) {
          free(fresh.entries);
          return -1;
        }
      }
    }
  }
  free(stts->entries);
  stts->entries = fresh.entries;
  stts->entry_count = fresh.entry_count;
  stts->entry_capacity = fresh.entry_capacity;
  mdhd->timescale = to;
  mdhd->duration = total;
  return 0;
}

int finalise_timing(Mp4Muxer *m) {
  Mp4Mvhd *mvhd = (Mp4Mvhd *)box_find(m->moov, FCC('m', 'v', 'h', 'd'));
  if (!mvhd) return -1;
  uint32_t T = mvhd->timescale, old_T = T;
  int changed = 0;
  for (int pass = 0; pass < 2; pass++) {
    uint64_t longest = 0;
    int too_long = 0;
    for (Mp4Box *trak = m->moov->child; trak; trak = trak->next) {
      if (trak->type != FCC('t', 'r', 'a', 'k') || !(trak->node_flags & BOX_WRITE)) continue;
      Mp4Tkhd *tkhd = (Mp4Tkhd *)box_find(trak, FCC('t', 'k', 'h', 'd'));
      Mp4Mdhd *mdhd = (Mp4Mdhd *)trak_path(trak, FCC('m', 'd', 'i', 'a'), FCC('m', 'd', 'h', 'd'));
      if (!tkhd || !mdhd) continue;
      tkhd->duration = scale(mdhd->duration, T, mdhd->timescale, 1);
      if (tkhd->duration > 0x7FFFFFFF) too_long = 1;
      if (tkhd->duration > longest) longest = tkhd->duration;
    }
    mvhd->duration = longest;
    if (!too_long || changed) break;
    T = 600;  // durations past 31 bits at 90 kHz: the movie goes to 600 ticks per second
    mvhd->timescale = T;
    changed = 1;
  }

  for (Mp4Box *trak = m->moov->child; trak; trak = trak->next) {
    if (trak->type != FCC('t', 'r', 'a', 'k') || !(trak->node_flags & BOX_WRITE)) continue;
    Mp4Box *stbl = stbl_of(trak);
    Mp4Mdhd *mdhd = (Mp4Mdhd *)trak_path(trak, FCC('m', 'd', 'i', 'a'), FCC('m', 'd', 'h', 'd'));
    Mp4Box *stsz = box_find(stbl, FCC('s', 't', 's', 'z'));
    Mp4Box *stts = box_find(stbl, FCC('s', 't', 't', 's'));
    if (!mdhd || !stsz || !stts) continue;

    uint64_t bytes = 0;
    for (uint32_t i = 0; i < stsz->entry_count; i++) bytes += ((const uint32_t *)stsz->entries)[i];
    uint64_t rate = mdhd->duration ? scale(bytes * 8, mdhd->timescale, mdhd->duration, 0) : 0;
    uint32_t br = rate > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)rate;
    Mp4Box *entry = sample_entry_of(trak);
    Mp4Btrt *btrt = (Mp4Btrt *)box_find(entry, FCC('b', 't', 'r', 't'));
    if (btrt) btrt->max_bitrate = btrt->avg_bitrate = br;
    Mp4Esds *esds = (Mp4Esds *)box_find(entry, FCC('e', 's', 'd', 's'));
    if (esds) esds->max_bitrate = esds->avg_bitrate = br;

    Mp4Box *sbgp = box_find(stbl, FCC('s', 'b', 'g', 'p'));
    if (sbgp && sbgp->entry_count) ((Mp4SbgpEntry *)sbgp->entries)[0].sample_count = stsz->entry_count;

    Mp4Box *elst = trak_path(trak, FCC('e', 'd', 't', 's'), FCC('e', 'l', 's', 't'));
    if (elst) {
      Mp4ElstEntry e = {scale(mdhd->duration, T, mdhd->timescale, 0), 0, 1, 0};
      if (!box_entries_add(elst, 1, &e)) return -1;
    }

    // The durations passed in are the times since the previous frame: the
    // first sample's duration belongs to the last one.
    if (stts->entry_count >= 2) {
      Mp4SttsEntry *t = (Mp4SttsEntry *)stts->entries;
      uint32_t d0 = t[0].sample_delta;
      if (--t[0].sample_count == 0) {
        memmove(t, t + 1, (stts->entry_count - 1) * sizeof *t);
        stts->entry_count--;
      }
      Mp4SttsEntry *last = t + stts->entry_count - 1;
      if (last->sample_delta == d0) {
        last->sample_count++;
      } else {
        Mp4SttsEntry e = {1, d0};
        if (!box_entries_add(stts, 1, &e)) return -1;
      }
    }

    int factor = 1;
    if (mdhd->timescale != T && T != 1000 && stts->entry_count == 1) {
      Mp4SttsEntry *t = (Mp4SttsEntry *)stts->entries;
      factor = track_factor(t->sample_delta);
      if (factor > 1 && mdhd->timescale % factor == 0) {
        mdhd->timescale /= factor;
        mdhd->duration /= factor;
        t->sample_delta /= factor;
      } else {
        factor = 1;
      }
    }
    if (factor == 1 && changed && mdhd->timescale == old_T && stts_rescale(stts, mdhd, 600)) return -1;
  }
  return 0;
}

// After a write failure: the moov must fit into what reached the disk, so
// the mdat is ended that far before the end of the shortest file.
int cut_after_write_failure(Mp4Muxer *m) {
  FILE *streams[2] = {m->file, m->mirror};
  uint8_t failed[2] = {m->primary_failed, m->mirror_failed};
  uint64_t size = UINT64_MAX;
  for (int i = 0; i < 2; i++) {
    FILE *f = streams[i];
    if (!f) continue;
    // A healthy stream gets its buffer out; a failed one drops it, since
    // those bytes would only fail again.
    if (failed[i] || fflush(f) != 0) __fpurge(f);
    clearerr(f);
    struct stat st;
    if (fstat(mp4_stream_fd(m, f), &st) != 0) {
      log_printf("fseeko SEEK_END: %s\n", strerror(errno));
      return -1;
    }
    if ((uint64_t)st.st_size < size) size = (uint64_t)st.st_size;
  }
  if (m->fd >= 0) {
    struct stat st;
    if (fstat(m->fd, &st) != 0) return -1;
    size = (uint64_t)st.st_size;
  }
  m->primary_failed = m->mirror_failed = 0;
  Mp4Mdat *mdat = (Mp4Mdat *)m->mdat;
  uint64_t need = checkBoxSize(m->moov) + 1024;
  if (need > size || size - need < mdat->box.offset) {
    mp4_set_error(m, MP4_ERR_BAD_INPUT);
    return -1;
  }
  uint64_t end = size - need;
  log_printf("mdat_size=%llu moov_size=%llu pos=%llu fpos=%llu\n", (unsigned long long)mdat->payload_size,
             (unsigned long long)(need - 1024), (unsigned long long)m->pos, (unsigned long long)size);
  mdat->payload_size = end - mdat->box.offset;
  mdat->box.size = mdat->payload_size + mdat->box.header_size;
  for (Mp4Box *t = m->moov->child; t; t = t->next)
    if (t->type == FCC('t', 'r', 'a', 'k')) track_cut(t, end);
  m->pos = end + 1;  // forces the streams to move
  return muxer_seek(m, end);
}

void finish_streaming(Mp4Muxer *m) {
  if (m->pos == 0) write_ftyp(m);
  m->moov = new_moov(m);
  int fail = !m->moov;
  int avc = 0;
  for (uint32_t i = 0; i < 2 && i + 1 < m->next_track_id; i++) avc |= m->tracks[i].fourcc == T_AVC1;
  if (!fail && avc) {
    Mp4Iods *iods = (Mp4Iods *)add(m->moov, FCC('i', 'o', 'd', 's'), &fail);
    if (iods) {
      iods->tag = 0x10;
      iods->od_id = 1 << 6 | 0x0F;  // ObjectDescriptorID 1, no URL, no inline profiles
      iods->od_profile = 0xFF;
      iods->scene_profile = 0xFF;
      iods->audio_profile = 0x29;
      iods->visual_profile = 0x15;
      iods->graphics_profile = 0xFF;
    }
  }
  for (uint32_t id = 1; !fail && id < m->next_track_id; id++) fail = create_track(m, id, 1) != 0;
  Mp4Box *mvex = fail ? NULL : add(m->moov, FCC('m', 'v', 'e', 'x'), &fail);
  for (uint32_t id = 1; mvex && id < m->next_track_id; id++) {
    Mp4Trex *trex = (Mp4Trex *)add(mvex, FCC('t', 'r', 'e', 'x'), &fail);
    if (!trex) break;
    trex->track_id = id;
    trex->default_sample_description_index = 1;
    trex->default_sample_duration = m->tracks[id - 1].default_duration;
  }
  if (fail) mp4_set_error(m, MP4_ERR_NOMEM);
  else rwBox(m, m->moov, NULL);
  box_free(m->moov);
  m->moov = NULL;
}

}  // namespace

void mp4_set_compressor_name(const char *text) {
  if (text) snprintf(compressor_name, sizeof compressor_name, "%.32s", text);
}

const char *mp4_get_compressor_name(void) { return compressor_name; }

static uint32_t track_add(Mp4Muxer *m, const char *fn, uint32_t fourcc, uint32_t timescale, uint32_t duration,
                          uint32_t spare) {
  uint32_t id = m->next_track_id;
  Mp4Track *t = (Mp4Track *)realloc(m->tracks, (size_t)id * sizeof(Mp4Track));
  if (!t) {
    log_printf("%s: track realloc failed\n", fn);
    mp4_set_error(m, MP4_ERR_NOMEM);
    return 0;
  }
  m->tracks = t;
  Mp4Track *tr = &t[id - 1];
  memset(tr, 0, sizeof *tr);
  tr->fourcc = fourcc;
  tr->timescale = timescale;
  tr->default_duration = duration;
  tr->spare[2] = spare;
  m->next_track_id++;
  return id;
}

uint32_t mp4_video_track_create(Mp4Muxer *m, uint32_t fourcc, uint32_t timescale, uint32_t duration,
                                uint32_t spare, uint32_t width, uint32_t height, uint32_t profile,
                                uint32_t level) {
  uint32_t id = track_add(m, "mp4_video_track_create", fourcc, timescale, duration, spare);
  if (!id) return 0;
  Mp4Track *tr = &m->tracks[id - 1];
  tr->handler_type = T_VIDE;
  tr->name = "Video";
  tr->width = width;
  tr->height = height;
  m->avc_profile = profile;
  m->avc_level = level;
  if (m->moov && width && height && create_track(m, id, 0)) mp4_set_error(m, MP4_ERR_NOMEM);
  return id;
}

uint32_t mp4_audio_track_create(Mp4Muxer *m, uint32_t fourcc, uint32_t timescale, uint32_t duration,
                                uint32_t spare, uint32_t rate, uint32_t channels) {
  uint32_t id = track_add(m, "mp4_audio_track_create", fourcc, timescale, duration, spare);
  if (!id) return 0;
  Mp4Track *tr = &m->tracks[id - 1];
  tr->handler_type = T_SOUN;
  tr->name = "Audio";
  tr->audio_selector = 0;
  tr->sample_rate = rate;
  tr->channels = channels;
  if (m->moov && create_track(m, id, 0)) mp4_set_error(m, MP4_ERR_NOMEM);
  return id;
}

int mp4_write_header(Mp4Muxer *m, const void *data, uint32_t length) {
  if (m->pos == 0) write_ftyp(m);
  if (length) {
    Mp4Box *skip = box_new(FCC('s', 'k', 'i', 'p'), 0);
    if (!skip || box_set_data(skip, data, length)) mp4_set_error(m, MP4_ERR_NOMEM);
    else rwBox(m, skip, NULL);
    box_free(skip);
  }
  return mp4_has_error(m) ? -1 : 0;
}

void mp4_write_track(Mp4Muxer *m, uint32_t track, const void *data, uint32_t len, uint32_t duration) {
  if (m->flags & MP4_FLAG_READER) {
    if (m->partner) mp4_write_track(m->partner, track, data, len, duration);
    return;
  }
  if (track == 0 || track >= m->next_track_id || !data || !len) return;
  write_sample(m, track, (const uint8_t *)data, len, duration, 0);
}

void mp4_set_parameter_data(Mp4Muxer *m, const uint8_t *data, uint32_t len) {
  int h264 = starts_with_start_code(data, len) && !(len >= 4 && data[2] == 1 && data[3] == 0xB0);
  int mpeg4 = len >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 1 && data[3] == 0xB0;
  if (!h264 && !mpeg4) {
    uint8_t b[8] = {0};
    memcpy(b, data, len < 8 ? len : 8);
    log_printf("%s: no sync marker: %02x %02x %02x %02x %02x %02x %02x %02x\n", "mp4_set_parameter_data", b[0], b[1],
               b[2], b[3], b[4], b[5], b[6], b[7]);
    return;
  }
  uint8_t sps[MP4_PARAM_MAX], pps[MP4_PARAM_MAX];
  size_t sps_len = m->sps_len, pps_len = m->pps_len;
  memcpy(sps, m->sps ? m->sps : m->param_buf, sps_len);
  memcpy(pps, m->pps ? m->pps : m->param_buf, pps_len);
  if (h264) {
    NalIter it;
    size_t prefix, start, nlen;
    nal_iter_init(&it, data, len);
    while (nal_next(&it, &prefix, &start, &nlen) == 1) {
      int type = data[start] & 0x1F;
      if (type == 1 || type == 5) break;
      if (type == 7) {
        if (nlen > MP4_PARAM_MAX) {
          log_printf("sequenceParameterDataLength overflow\n");
          sps_len = 0;
        } else {
          sps_len = nlen;
          memcpy(sps, data + start, nlen);
        }
      } else if (type == 8) {
        if (nlen > MP4_PARAM_MAX) {
          log_printf("pictureParameterDataLength overflow\n");
          pps_len = 0;
        } else {
          pps_len = nlen;
          memcpy(pps, data + start, nlen);
        }
      }
    }
    if (sps_len + pps_len > MP4_PARAM_MAX) {
      log_printf("pictureParameterDataLength overflow\n");
      pps_len = 0;
    }
  } else {
    size_t vop = find_mpeg4_code(data, len, 0xB6, 0);
    sps_len = vop < MP4_PARAM_MAX ? vop : MP4_PARAM_MAX;
    memcpy(sps, data, sps_len);
    pps_len = 0;
  }
  memcpy(m->param_buf, sps, sps_len);
  memcpy(m->param_buf + sps_len, pps, pps_len);
  m->sps = m->param_buf;
  m->sps_len = (uint16_t)sps_len;
  m->pps = m->param_buf + sps_len;
  m->pps_len = (uint16_t)pps_len;
  refresh_video_entry(m);
}

int mp4_finish(Mp4Muxer *m) {
  if (m->flags & MP4_FLAG_READER) return m->partner ? mp4_finish(m->partner) : -1;
  if (!m->moov) {
    finish_streaming(m);
    return mp4_has_error(m) ? -1 : 0;
  }
  if (m->pos == 0) write_ftyp(m);
  if (m->interleave)
    for (uint32_t id = 1; id < m->next_track_id; id++) flush_interleave(m, id);
  // What the streams hold goes out now: a volume that fills here fails
  // like any write before, and the cut below makes room for the moov. A
  // stream that failed while someone else flushed it failed all the same,
  // and is reported as such.
  mp4_flush(m);
  if (m->file && ferror(m->file)) m->primary_failed = 1;
  if (m->mirror && ferror(m->mirror)) m->mirror_failed = 1;
  int write_failed = m->primary_failed || m->mirror_failed || (m->fd >= 0 && m->error == MP4_ERR_WRITE);
  if (write_failed) mp4_set_error(m, MP4_ERR_WRITE);
  if (m->mdat) {
    Mp4Mdat *mdat = (Mp4Mdat *)m->mdat;
    if (write_failed && cut_after_write_failure(m)) return -1;
    uint64_t pos = muxer_pos(m);
    if (pos != mdat->box.offset + mdat->payload_size) {
      log_printf("inconsistent mdat size\n");
      log_printf("mdat_offset=%llu mdat_size=%llu pos=%llu\n", (unsigned long long)mdat->box.offset,
                 (unsigned long long)mdat->payload_size, (unsigned long long)pos);
      mp4_set_error(m, MP4_ERR_BAD_INPUT);
      return -1;
    }
    updateBoxSize(m, m->mdat);
    box_free(m->mdat);
    m->mdat = NULL;
  }
  if (finalise_timing(m)) mp4_set_error(m, MP4_ERR_NOMEM);
  rwBox(m, m->moov, NULL);
  if (m->max_size && m->pos > m->max_size)
    log_printf("max file size exceeded %llx > %llx\n", (unsigned long long)m->pos, (unsigned long long)m->max_size);
  if (write_failed) {
    FILE *streams[2] = {m->file, m->mirror};
    for (FILE *f : streams) {
      if (!f) continue;
      if (fflush(f) != 0 || ftruncate(mp4_stream_fd(m, f), (off_t)m->pos) != 0) {
        log_printf("%s: truncate: %s\n", "mp4_finish", strerror(errno));
        mp4_set_error(m, MP4_ERR_WRITE);
      }
    }
    if (m->fd >= 0 && ftruncate(m->fd, (off_t)m->pos) != 0) mp4_set_error(m, MP4_ERR_WRITE);
  }
  return mp4_has_error(m) ? -1 : 0;
}

int mp4_set_user_data(Mp4Muxer *m, const uint8_t uuid[16], const void *data, uint32_t length) {
  free(m->user_data);
  m->user_data = NULL;
  m->user_data_len = 0;
  if (!length) return 0;
  if (length > MP4_USER_DATA_MAX || !(m->user_data = (uint8_t *)malloc(16 + (size_t)length))) {
    mp4_set_error(m, MP4_ERR_NOMEM);
    return -1;
  }
  memcpy(m->user_data, uuid, 16);
  memcpy(m->user_data + 16, data, length);
  m->user_data_len = 16 + length;
  return 0;
}
