// The box catalogue: rwBox reads, writes and dumps every box type it knows
// with one field-by-field routine per type. The same routine runs in both
// directions (the handle's reader flag decides), and a write is preceded by a
// counting pass of the same routines, which fixes every box size.
#include "formats/mp4_box.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "core/log.h"

#define FCC(a, b, c, d) MP4_FOURCC(a, b, c, d)

namespace {

int is_reader(const Mp4Muxer *m) { return (m->flags & MP4_FLAG_READER) != 0; }

int is_counting(const Mp4Muxer *m) { return m->fd < 0 && !m->file && !m->mirror && !m->win; }

int dumping(const Mp4Muxer *m) {
  return is_reader(m) && (m->flags & MP4_FLAG_DUMP) && m->dump_out;
}

char printable(uint32_t c) {
  c &= 0xFF;
  return (c >= 0x20 && c < 0x7F) ? (char)c : '.';
}

#define FCC_ARGS(t) printable((t) >> 24), printable((t) >> 16), printable((t) >> 8), printable(t)

void dump_printf(Mp4Muxer *m, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void dump_printf(Mp4Muxer *m, const char *fmt, ...) {
  if (!dumping(m)) return;
  fprintf(m->dump_out, "%*s", 2 * m->depth, "");
  va_list ap;
  va_start(ap, fmt);
  vfprintf(m->dump_out, fmt, ap);
  va_end(ap);
}

void dump_hex(Mp4Muxer *m, const char *name, const uint8_t *p, uint32_t n) {
  if (!dumping(m)) return;
  fprintf(m->dump_out, "%*s%s:", 2 * m->depth, "", name);
  for (uint32_t i = 0; i < n; i++) fprintf(m->dump_out, " %02x", p[i]);
  fputc('\n', m->dump_out);
}

void format_duration(char *out, size_t n, uint64_t d, uint32_t timescale) {
  if (!timescale) {
    snprintf(out, n, "?");
    return;
  }
  uint64_t ms = (uint64_t)((unsigned __int128)d * 1000 / timescale);
  snprintf(out, n, "%llu:%02u:%02u.%03u", (unsigned long long)(ms / 3600000), (unsigned)(ms / 60000 % 60),
           (unsigned)(ms / 1000 % 60), (unsigned)(ms % 1000));
}

// Bytes left in the box being read.
uint64_t rest(const Mp4Muxer *m) { return m->read_end > m->pos ? m->read_end - m->pos : 0; }

void corrupt(Mp4Muxer *m, const Mp4Box *b, const char *what) {
  log_printf("%s: corrupt input type:=%c%c%c%c size=%llu (%s)\n", "rwBox", FCC_ARGS(b->type),
             (unsigned long long)b->size, what);
  mp4_set_error(m, MP4_ERR_BAD_INPUT);
}

// Reading: bytes about to be allocated for box b, counted against the
// reader's limits. False (the file is refused) when they do not fit.
bool read_budget(Mp4Muxer *m, const Mp4Box *b, uint64_t bytes) {
  if (bytes > MP4_READ_TABLE_MAX || m->read_held + bytes > MP4_READ_TOTAL_MAX) {
    corrupt(m, b, "larger than a reader holds");
    return false;
  }
  m->read_held += bytes;
  return true;
}

// Named field movers: move the field, and print it when dumping.
void f8(Mp4Muxer *m, uint8_t *v, const char *name) {
  rw8(m, v);
  dump_printf(m, "%s: %u\n", name, *v);
}
void f16(Mp4Muxer *m, uint16_t *v, const char *name) {
  rw16(m, v);
  dump_printf(m, "%s: %u\n", name, *v);
}
void f16s(Mp4Muxer *m, int16_t *v, const char *name) {
  rw16(m, v);
  dump_printf(m, "%s: %d\n", name, *v);
}
void f32(Mp4Muxer *m, uint32_t *v, const char *name) {
  rw32(m, v);
  dump_printf(m, "%s: %u\n", name, *v);
}
void f32x(Mp4Muxer *m, uint32_t *v, const char *name) {
  rw32(m, v);
  dump_printf(m, "%s: 0x%08x\n", name, *v);
}
void ffourcc(Mp4Muxer *m, uint32_t *v, const char *name) {
  rw32(m, v);
  dump_printf(m, "%s: %c%c%c%c\n", name, FCC_ARGS(*v));
}
void ffixed(Mp4Muxer *m, uint32_t *v, const char *name) {
  rw32(m, v);
  dump_printf(m, "%s: %.4f\n", name, (double)*v / 65536.0);
}
// A time or duration: 64 bits in version 1, else 32.
void ftime(Mp4Muxer *m, uint64_t *v, int wide, const char *name, uint32_t timescale) {
  if (wide) rw64(m, v);
  else rw32to64(m, v);
  if (dumping(m)) {
    if (timescale) {
      char d[48];
      format_duration(d, sizeof d, *v, timescale);
      dump_printf(m, "%s: %llu (%s)\n", name, (unsigned long long)*v, d);
    } else {
      dump_printf(m, "%s: %llu\n", name, (unsigned long long)*v);
    }
  }
}

// Raw bytes to the end of the box (reading), or the node's data (writing).
void rw_rest(Mp4Muxer *m, Mp4Box *b, const char *name) {
  if (is_reader(m)) {
    uint64_t n = rest(m);
    if (!read_budget(m, b, n)) return;
    if (box_set_data(b, NULL, (uint32_t)n)) {
      mp4_set_error(m, MP4_ERR_NOMEM);
      return;
    }
    read_n(m, b->data, (int64_t)n);
    if (dumping(m) && n) {
      if (n <= 64) dump_hex(m, name, b->data, (uint32_t)n);
      else dump_printf(m, "%s: %llu bytes\n", name, (unsigned long long)n);
    }
  } else {
    write_n(m, b->data, b->data_len);
  }
}

// 'uuid' (ISO/IEC 14496-12): a 16-byte extended type, then private data,
// kept whole. Only under 'udta' (kind_in), and no larger than the writer
// makes them: a bigger one is left unread and never written back.
void rw_uuid(Mp4Muxer *m, Mp4Box *b) {
  if (is_reader(m) && (rest(m) < 16 || rest(m) > 16 + (uint64_t)MP4_USER_DATA_MAX)) {
    b->node_flags &= (uint8_t)~BOX_WRITE;
    return;
  }
  rw_rest(m, b, "uuid");
}

// NUL-terminated text fields (count of them) kept raw in data.
void rw_strings(Mp4Muxer *m, Mp4Box *b, int count) {
  if (!is_reader(m)) {
    write_n(m, b->data, b->data_len);
    return;
  }
  uint64_t start = m->pos, n = 0, avail = rest(m);
  int seen = 0;
  while (seen < count && n < avail && n <= MP4_READ_TABLE_MAX) {
    uint8_t c;
    if (read_n(m, &c, 1)) break;
    n++;
    if (!c) seen++;
  }
  if (seen < count) corrupt(m, b, "unterminated text");
  muxer_seek(m, start);
  if (!read_budget(m, b, n)) return;
  if (box_set_data(b, NULL, (uint32_t)n)) {
    mp4_set_error(m, MP4_ERR_NOMEM);
    return;
  }
  read_n(m, b->data, (int64_t)n);
  if (dumping(m)) {
    uint32_t at = 0;
    for (int i = 0; i < count && at < n; i++) {
      const char *s = (const char *)b->data + at;
      size_t len = strnlen(s, n - at);
      dump_printf(m, "text[%d]: %.*s\n", i, (int)len, s);
      at += (uint32_t)len + 1;
    }
  }
}

// Entry tables: count entries of wire bytes each, held as node_size bytes.
// A count that does not fit in the box is corrupt input; only what fits is
// read. Tables whose entries carry no bytes keep only their count.
typedef void (*EntryFn)(Mp4Muxer *m, Mp4Box *b, void *entry, uint32_t index);

void rw_entries(Mp4Muxer *m, Mp4Box *b, uint32_t node_size, uint32_t wire, EntryFn fn) {
  if (is_reader(m)) {
    b->entry_size = node_size;
    if (!wire) return;
    uint32_t count = b->entry_count;
    uint64_t room = rest(m) / wire;
    if (count > room) {
      corrupt(m, b, "entry count");
      count = (uint32_t)room;
    }
    b->entry_count = 0;
    if (!read_budget(m, b, (uint64_t)count * node_size)) return;
    if (count && grow_array(b, count)) {
      mp4_set_error(m, MP4_ERR_NOMEM);
      return;
    }
    if (count) memset(b->entries, 0, (size_t)count * node_size);
    b->entry_count = count;
  } else {
    if (!wire || !b->entry_count) return;
    if (!b->entries) {
      write_n(m, NULL, (int64_t)b->entry_count * wire);
      return;
    }
    if (is_counting(m)) {  // sizing needs only the byte count
      write_n(m, NULL, (int64_t)b->entry_count * wire);
      return;
    }
  }
  uint8_t *e = (uint8_t *)b->entries;
  for (uint32_t i = 0; i < b->entry_count; i++) fn(m, b, e + (size_t)i * b->entry_size, i);
}

uint32_t movie_timescale(const Mp4Box *b) {
  const Mp4Box *root = b;
  while (root->parent) root = root->parent;
  const Mp4Mvhd *mvhd = (const Mp4Mvhd *)box_find(root, FCC('m', 'v', 'h', 'd'));
  return mvhd ? mvhd->timescale : 0;
}

int needs64(uint64_t v) { return v > 0xFFFFFFFFu; }

// ---- boxes ----

void rw_ftyp(Mp4Muxer *m, Mp4Box *b) {
  Mp4Ftyp *f = (Mp4Ftyp *)b;
  ffourcc(m, &f->major_brand, "major_brand");
  f32x(m, &f->minor_version, "minor_version");
  if (is_reader(m)) b->entry_count = (uint32_t)(rest(m) / 4);
  rw_entries(m, b, 4, 4, [](Mp4Muxer *m, Mp4Box *, void *e, uint32_t) {
    ffourcc(m, (uint32_t *)e, "compatible_brand");
  });
}

// free, skip, wide: the payload is skipped when reading; written from the
// node's data, or as zeros up to the declared size.
void rw_free(Mp4Muxer *m, Mp4Box *b) {
  if (is_reader(m)) return;
  if (b->data_len) {
    write_n(m, b->data, b->data_len);
  } else if (b->size > b->header_size) {
    write_n(m, NULL, (int64_t)(b->size - b->header_size));
  }
}

void rw_mdat(Mp4Muxer *m, Mp4Box *b) {
  Mp4Mdat *d = (Mp4Mdat *)b;
  if (is_reader(m)) {
    d->payload_start = m->pos;
    d->payload_size = b->size - b->header_size;
    dump_printf(m, "payload: %llu bytes @%llu\n", (unsigned long long)d->payload_size,
                (unsigned long long)d->payload_start);
  }
}

void rw_matrix(Mp4Muxer *m, uint32_t *mx) {
  for (int i = 0; i < 9; i++) rw32(m, &mx[i]);
  dump_printf(m, "matrix: %08x %08x %08x %08x %08x %08x %08x %08x %08x\n", mx[0], mx[1], mx[2], mx[3], mx[4],
              mx[5], mx[6], mx[7], mx[8]);
}

void rw_mvhd(Mp4Muxer *m, Mp4Box *b) {
  Mp4Mvhd *v = (Mp4Mvhd *)b;
  if (!is_reader(m) && (needs64(v->creation_time) || needs64(v->modification_time) || needs64(v->duration)))
    b->version = 1;
  rw_version_flags(m, b);
  int w = b->version == 1;
  ftime(m, &v->creation_time, w, "creation_time", 0);
  ftime(m, &v->modification_time, w, "modification_time", 0);
  f32(m, &v->timescale, "timescale");
  ftime(m, &v->duration, w, "duration", v->timescale);
  ffixed(m, &v->rate, "rate");
  f16(m, &v->volume, "volume");
  rw_reserved(m, 16);
  rw_reserved(m, 32);
  rw_reserved(m, 32);
  rw_matrix(m, v->matrix);
  for (int i = 0; i < 6; i++) rw_pre_defined(m, 32, 0);
  f32(m, &v->next_track_id, "next_track_ID");
}

void rw_tkhd(Mp4Muxer *m, Mp4Box *b) {
  Mp4Tkhd *t = (Mp4Tkhd *)b;
  if (!is_reader(m) && (needs64(t->creation_time) || needs64(t->modification_time) || needs64(t->duration)))
    b->version = 1;
  rw_version_flags(m, b);
  int w = b->version == 1;
  ftime(m, &t->creation_time, w, "creation_time", 0);
  ftime(m, &t->modification_time, w, "modification_time", 0);
  f32(m, &t->track_id, "track_ID");
  rw_reserved(m, 32);
  ftime(m, &t->duration, w, "duration", movie_timescale(b));
  rw_reserved(m, 32);
  rw_reserved(m, 32);
  f16s(m, &t->layer, "layer");
  f16s(m, &t->alternate_group, "alternate_group");
  f16(m, &t->volume, "volume");
  rw_reserved(m, 16);
  rw_matrix(m, t->matrix);
  ffixed(m, &t->width, "width");
  ffixed(m, &t->height, "height");
}

void rw_elst(Mp4Muxer *m, Mp4Box *b) {
  if (!is_reader(m)) {
    const Mp4ElstEntry *e = (const Mp4ElstEntry *)b->entries;
    for (uint32_t i = 0; i < b->entry_count; i++)
      if (needs64(e[i].segment_duration) || e[i].media_time > INT32_MAX || e[i].media_time < INT32_MIN)
        b->version = 1;
  }
  rw_version_flags(m, b);
  f32(m, &b->entry_count, "entry_count");
  rw_entries(m, b, sizeof(Mp4ElstEntry), b->version == 1 ? 20 : 12, [](Mp4Muxer *m, Mp4Box *b, void *p, uint32_t i) {
    Mp4ElstEntry *e = (Mp4ElstEntry *)p;
    if (b->version == 1) {
      rw64(m, &e->segment_duration);
      rw64(m, &e->media_time);
    } else {
      rw32to64(m, &e->segment_duration);
      int32_t t = (int32_t)e->media_time;
      rw32(m, &t);
      e->media_time = t;
    }
    rw16(m, &e->rate_integer);
    rw16(m, &e->rate_fraction);
    if (dumping(m)) {
      char d[48];
      format_duration(d, sizeof d, e->segment_duration, movie_timescale(b));
      dump_printf(m, "entry[%u]: segment_duration %llu (%s) media_time %lld rate %d.%d\n", i,
                  (unsigned long long)e->segment_duration, d, (long long)e->media_time, e->rate_integer,
                  e->rate_fraction);
    }
  });
}

void rw_mdhd(Mp4Muxer *m, Mp4Box *b) {
  Mp4Mdhd *d = (Mp4Mdhd *)b;
  if (!is_reader(m) && (needs64(d->creation_time) || needs64(d->modification_time) || needs64(d->duration)))
    b->version = 1;
  rw_version_flags(m, b);
  int w = b->version == 1;
  ftime(m, &d->creation_time, w, "creation_time", 0);
  ftime(m, &d->modification_time, w, "modification_time", 0);
  f32(m, &d->timescale, "timescale");
  ftime(m, &d->duration, w, "duration", d->timescale);
  rw16(m, &d->language);
  dump_printf(m, "language: %c%c%c\n", 0x60 + ((d->language >> 10) & 31), 0x60 + ((d->language >> 5) & 31),
              0x60 + (d->language & 31));
  rw16(m, &d->pre_defined);
}

void rw_hdlr(Mp4Muxer *m, Mp4Box *b) {
  Mp4Hdlr *h = (Mp4Hdlr *)b;
  rw_version_flags(m, b);
  rw_pre_defined(m, 32, 0);
  ffourcc(m, &h->handler_type, "handler_type");
  for (int i = 0; i < 3; i++) rw_reserved(m, 32);
  if (is_reader(m)) {
    rw_rest(m, b, "name_bytes");
    if (dumping(m) && b->data_len)
      dump_printf(m, "name: %.*s\n", (int)strnlen((const char *)b->data, b->data_len), (const char *)b->data);
  } else {
    rw_rest(m, b, "name");
  }
}

void rw_vmhd(Mp4Muxer *m, Mp4Box *b) {
  Mp4Vmhd *v = (Mp4Vmhd *)b;
  rw_version_flags(m, b);
  f16(m, &v->graphicsmode, "graphicsmode");
  for (int i = 0; i < 3; i++) rw16(m, &v->opcolor[i]);
  dump_printf(m, "opcolor: %u %u %u\n", v->opcolor[0], v->opcolor[1], v->opcolor[2]);
}

void rw_smhd(Mp4Muxer *m, Mp4Box *b) {
  rw_version_flags(m, b);
  f16s(m, &((Mp4Smhd *)b)->balance, "balance");
  rw_reserved(m, 16);
}

void rw_hmhd(Mp4Muxer *m, Mp4Box *b) {
  Mp4Hmhd *h = (Mp4Hmhd *)b;
  rw_version_flags(m, b);
  f16(m, &h->max_pdu, "maxPDUsize");
  f16(m, &h->avg_pdu, "avgPDUsize");
  f32(m, &h->max_bitrate, "maxbitrate");
  f32(m, &h->avg_bitrate, "avgbitrate");
  rw_reserved(m, 32);
}

void rw_full_only(Mp4Muxer *m, Mp4Box *b) { rw_version_flags(m, b); }

uint32_t written_children(const Mp4Box *b) {
  uint32_t n = 0;
  for (const Mp4Box *c = b->child; c; c = c->next)
    if (c->node_flags & BOX_WRITE) n++;
  return n;
}

// dref and stsd: an entry count, then the entries as child boxes.
void rw_counted_container(Mp4Muxer *m, Mp4Box *b) {
  rw_version_flags(m, b);
  if (!is_reader(m)) b->entry_count = written_children(b);
  f32(m, &b->entry_count, "entry_count");
}

void rw_url(Mp4Muxer *m, Mp4Box *b) {
  rw_version_flags(m, b);
  if (!(b->flags & 1)) rw_rest(m, b, "location");
  else dump_printf(m, "self-contained\n");
}

void rw_urn(Mp4Muxer *m, Mp4Box *b) {
  rw_version_flags(m, b);
  rw_strings(m, b, 2);
}

void rw_alis(Mp4Muxer *m, Mp4Box *b) {
  rw_version_flags(m, b);
  if (!(b->flags & 1)) rw_rest(m, b, "alias");
}

void rw_visual_entry(Mp4Muxer *m, Mp4Box *b) {
  Mp4VisualEntry *v = (Mp4VisualEntry *)b;
  rw_reserved(m, 32);
  rw_reserved(m, 16);
  f16(m, &v->data_reference_index, "data_reference_index");
  rw_pre_defined(m, 16, 0);
  rw_reserved(m, 16);
  for (int i = 0; i < 3; i++) rw_pre_defined(m, 32, 0);
  f16(m, &v->width, "width");
  f16(m, &v->height, "height");
  ffixed(m, &v->horizresolution, "horizresolution");
  ffixed(m, &v->vertresolution, "vertresolution");
  rw_reserved(m, 32);
  f16(m, &v->frame_count, "frame_count");
  rw_bytes(m, v->compressorname, 32);
  if (dumping(m)) {
    uint8_t n = v->compressorname[0] < 32 ? v->compressorname[0] : 31;
    char name[32];
    for (int i = 0; i < n; i++) name[i] = printable(v->compressorname[1 + i]);
    dump_printf(m, "compressorname: %.*s\n", n, name);
  }
  f16(m, &v->depth, "depth");
  rw_pre_defined(m, 16, 0xFFFF);
}

void rw_audio_entry(Mp4Muxer *m, Mp4Box *b) {
  Mp4AudioEntry *a = (Mp4AudioEntry *)b;
  rw_reserved(m, 32);
  rw_reserved(m, 16);
  f16(m, &a->data_reference_index, "data_reference_index");
  f16(m, &a->entry_version, "version");
  f16(m, &a->revision, "revision");
  ffourcc(m, &a->vendor, "vendor");
  f16(m, &a->channelcount, "channelcount");
  f16(m, &a->samplesize, "samplesize");
  f16(m, &a->compression_id, "compressionID");
  f16(m, &a->packet_size, "packet_size");
  ffixed(m, &a->samplerate, "samplerate");
  if (a->entry_version == 1) {
    f32(m, &a->samples_per_packet, "samplesPerPacket");
    f32(m, &a->bytes_per_packet, "bytesPerPacket");
    f32(m, &a->bytes_per_frame, "bytesPerFrame");
    f32(m, &a->bytes_per_sample, "bytesPerSample");
  }
}

void rw_other_entry(Mp4Muxer *m, Mp4Box *b) {
  Mp4OtherEntry *o = (Mp4OtherEntry *)b;
  rw_reserved(m, 32);
  rw_reserved(m, 16);
  f16(m, &o->data_reference_index, "data_reference_index");
  if (b->type == FCC('m', 'e', 't', 't')) rw_strings(m, b, 2);
  else if (b->type == FCC('m', 'e', 't', 'x')) rw_strings(m, b, 3);
}

// avcC: the parameter set records are kept exactly as in the box.
int read_ps_records(Mp4Muxer *m, Mp4Box *b, uint32_t count, uint8_t **buf, uint32_t *len, uint32_t *cap,
                    const char *name) {
  for (uint32_t i = 0; i < count; i++) {
    uint16_t n = 0;
    if (rw16(m, &n) || n > rest(m)) {
      corrupt(m, b, "parameter set length");
      return -1;
    }
    if (*len + 2u + n > *cap) {
      uint32_t nc = (*len + 2u + n) * 2;
      uint8_t *p = (uint8_t *)realloc(*buf, nc);
      if (!p) {
        mp4_set_error(m, MP4_ERR_NOMEM);
        return -1;
      }
      *buf = p;
      *cap = nc;
    }
    (*buf)[*len] = (uint8_t)(n >> 8);
    (*buf)[*len + 1] = (uint8_t)n;
    read_n(m, *buf + *len + 2, n);
    dump_hex(m, name, *buf + *len + 2, n);
    *len += 2u + n;
  }
  return 0;
}

void rw_avcC(Mp4Muxer *m, Mp4Box *b) {
  Mp4AvcC *a = (Mp4AvcC *)b;
  f8(m, &a->configuration_version, "configurationVersion");
  f8(m, &a->profile, "AVCProfileIndication");
  f8(m, &a->profile_compatibility, "profile_compatibility");
  f8(m, &a->level, "AVCLevelIndication");
  uint8_t x = (uint8_t)(0xFC | a->length_size_minus_one);
  rw8(m, &x);
  a->length_size_minus_one = x & 3;
  dump_printf(m, "lengthSizeMinusOne: %u\n", a->length_size_minus_one);
  x = (uint8_t)(0xE0 | a->num_sps);
  rw8(m, &x);
  a->num_sps = x & 31;
  dump_printf(m, "numOfSequenceParameterSets: %u\n", a->num_sps);
  if (!is_reader(m)) {
    uint32_t sps = a->sps_bytes, pps = a->pps_bytes;
    if (sps + pps > b->data_len) sps = pps = 0;
    write_n(m, b->data, sps);
    rw8(m, &a->num_pps);
    write_n(m, b->data + sps, b->data_len - sps);
    return;
  }
  uint8_t *buf = NULL;
  uint32_t len = 0, cap = 0;
  if (read_ps_records(m, b, a->num_sps, &buf, &len, &cap, "sequenceParameterSet") == 0) {
    a->sps_bytes = len;
    f8(m, &a->num_pps, "numOfPictureParameterSets");
    if (read_ps_records(m, b, a->num_pps, &buf, &len, &cap, "pictureParameterSet") == 0) {
      a->pps_bytes = len - a->sps_bytes;
      uint64_t left = rest(m);
      if (left && read_budget(m, b, left)) {
        uint32_t ext = (uint32_t)left;
        uint8_t *p = (uint8_t *)realloc(buf, len + ext);
        if (p) {
          buf = p;
          read_n(m, buf + len, ext);
          dump_hex(m, "extension", buf + len, ext);
          len += ext;
        }
      }
    }
  }
  free(b->data);
  b->data = buf;
  b->data_len = len;
}

// ---- MPEG-4 descriptors (esds, iods) ----

typedef void (*DescrBody)(Mp4Muxer *m, void *ctx);

void es_body(Mp4Muxer *m, void *ctx);
void dcd_body(Mp4Muxer *m, void *ctx);

void dsi_body(Mp4Muxer *m, void *ctx) {
  Mp4Esds *e = (Mp4Esds *)ctx;
  if (is_reader(m)) {
    uint64_t n = rest(m);
    if (n > MP4_DSI_MAX) {
      log_printf("%s: decSpecificInfo size %d truncated\n", "rwDescriptor", (int)n);
      n = MP4_DSI_MAX;
    }
    e->dsi_len = (uint32_t)n;
    read_n(m, e->dsi, (int64_t)n);
    dump_hex(m, "decSpecificInfo", e->dsi, e->dsi_len);
    if (dumping(m) && e->stream_type == 5 && e->dsi_len >= 2) {
      // AudioSpecificConfig: 5 bits object type, 4 bits frequency index,
      // 4 bits channel configuration, then the GASpecificConfig flags.
      uint16_t v = (uint16_t)(e->dsi[0] << 8 | e->dsi[1]);
      dump_printf(m, "audioObjectType: %u\n", v >> 11);
      dump_printf(m, "samplingFrequencyIndex: %u\n", (v >> 7) & 15);
      dump_printf(m, "channelConfiguration: %u\n", (v >> 3) & 15);
      dump_printf(m, "frameLengthFlag: %u\n", (v >> 2) & 1);
      dump_printf(m, "dependsOnCoreCoder: %u\n", (v >> 1) & 1);
    }
  } else {
    write_n(m, e->dsi, e->dsi_len);
  }
}

void sl_body(Mp4Muxer *m, void *ctx) {
  Mp4Esds *e = (Mp4Esds *)ctx;
  f8(m, &e->sl_predefined, "SLConfigDescriptor.predefined");
}

// Moves one descriptor. Writing: tag, the body's measured length, the body.
// Reading: the caller has read tag and length and bounded the body.
void write_descriptor(Mp4Muxer *m, void *e, uint8_t tag, DescrBody body) {
  Mp4Muxer c;
  memset(&c, 0, sizeof c);
  c.fd = -1;
  body(&c, e);
  uint32_t len = (uint32_t)c.pos;
  rw8(m, &tag);
  rw_descriptor_length(m, &len);
  body(m, e);
}

// Reads the descriptors up to the current read limit; only the tags in
// accept are parsed (each with its body), everything else is skipped.
void read_descriptors(Mp4Muxer *m, void *e, const uint8_t *accept, const DescrBody *bodies, int n) {
  uint64_t end = m->read_end;
  while (m->pos + 2 <= end && !m->read_overrun) {
    uint8_t tag = 0;
    uint32_t len = 0;
    rw8(m, &tag);
    if (rw_descriptor_length(m, &len)) break;
    uint64_t sub_end = m->pos + len;
    if (sub_end > end) {
      log_printf("%s: descriptor tag %u length %u runs past its container\n", "rwDescriptor", tag, len);
      mp4_set_error(m, MP4_ERR_BAD_INPUT);
      sub_end = end;
    }
    m->read_end = sub_end;
    for (int i = 0; i < n; i++) {
      if (accept[i] == tag) {
        dump_printf(m, "descriptor tag %u length %u\n", tag, len);
        m->depth++;
        bodies[i](m, e);
        m->depth--;
        break;
      }
    }
    muxer_seek(m, sub_end);
    m->read_end = end;
  }
}

void dcd_body(Mp4Muxer *m, void *ctx) {
  Mp4Esds *e = (Mp4Esds *)ctx;
  f8(m, &e->object_type, "objectTypeIndication");
  uint8_t x = (uint8_t)(e->stream_type << 2 | (e->upstream & 1) << 1 | 1);
  rw8(m, &x);
  e->stream_type = x >> 2;
  e->upstream = (x >> 1) & 1;
  dump_printf(m, "streamType: %u\n", e->stream_type);
  dump_printf(m, "upStream: %u\n", e->upstream);
  rw24(m, &e->buffer_size_db);
  dump_printf(m, "bufferSizeDB: %u\n", e->buffer_size_db);
  f32(m, &e->max_bitrate, "maxBitrate");
  f32(m, &e->avg_bitrate, "avgBitrate");
  if (is_reader(m)) {
    static const uint8_t tags[] = {5};
    static const DescrBody bodies[] = {dsi_body};
    read_descriptors(m, e, tags, bodies, 1);
  } else if (e->dsi_len) {
    write_descriptor(m, e, 5, dsi_body);
  }
}

void es_body(Mp4Muxer *m, void *ctx) {
  Mp4Esds *e = (Mp4Esds *)ctx;
  f16(m, &e->es_id, "ES_ID");
  uint8_t x = (uint8_t)((e->stream_dependence & 1) << 7 | (e->url_flag & 1) << 6 | (e->ocr_flag & 1) << 5 |
                        (e->stream_priority & 31));
  rw8(m, &x);
  e->stream_dependence = x >> 7;
  e->url_flag = (x >> 6) & 1;
  e->ocr_flag = (x >> 5) & 1;
  e->stream_priority = x & 31;
  dump_printf(m, "streamDependenceFlag: %u URL_Flag: %u OCRstreamFlag: %u streamPriority: %u\n",
              e->stream_dependence, e->url_flag, e->ocr_flag, e->stream_priority);
  if (e->stream_dependence) f16(m, &e->depends_on_es_id, "dependsOn_ES_ID");
  if (e->url_flag) {
    f8(m, &e->url_len, "URLlength");
    rw_bytes(m, e->url, e->url_len);
  }
  if (e->ocr_flag) f16(m, &e->ocr_es_id, "OCR_ES_Id");
  if (is_reader(m)) {
    static const uint8_t tags[] = {4, 6};
    static const DescrBody bodies[] = {dcd_body, sl_body};
    read_descriptors(m, e, tags, bodies, 2);
  } else {
    write_descriptor(m, e, 4, dcd_body);
    write_descriptor(m, e, 6, sl_body);
  }
}

void rw_esds(Mp4Muxer *m, Mp4Box *b) {
  Mp4Esds *e = (Mp4Esds *)b;
  rw_version_flags(m, b);
  if (is_reader(m)) {
    static const uint8_t tags[] = {3};
    static const DescrBody bodies[] = {es_body};
    read_descriptors(m, e, tags, bodies, 1);
  } else {
    write_descriptor(m, e, 3, es_body);
  }
}

void iod_body(Mp4Muxer *m, void *ctx) {
  Mp4Iods *d = (Mp4Iods *)ctx;
  rw16(m, &d->od_id);
  dump_printf(m, "ObjectDescriptorID: %u\n", d->od_id >> 6);
  f8(m, &d->od_profile, "ODProfileLevelIndication");
  f8(m, &d->scene_profile, "sceneProfileLevelIndication");
  f8(m, &d->audio_profile, "audioProfileLevelIndication");
  f8(m, &d->visual_profile, "visualProfileLevelIndication");
  f8(m, &d->graphics_profile, "graphicsProfileLevelIndication");
}

void rw_iods(Mp4Muxer *m, Mp4Box *b) {
  Mp4Iods *d = (Mp4Iods *)b;
  rw_version_flags(m, b);
  if (!is_reader(m)) {
    write_descriptor(m, d, d->tag ? d->tag : 0x10, iod_body);
    return;
  }
  uint32_t len = 0;
  f8(m, &d->tag, "tag");
  rw_descriptor_length(m, &len);
  uint64_t end = m->pos + len;
  if (end > m->read_end) {
    corrupt(m, b, "descriptor length");
    return;
  }
  if (len >= 7) iod_body(m, d);
}

void rw_pasp(Mp4Muxer *m, Mp4Box *b) {
  f32(m, &((Mp4Pasp *)b)->h_spacing, "hSpacing");
  f32(m, &((Mp4Pasp *)b)->v_spacing, "vSpacing");
}

void rw_btrt(Mp4Muxer *m, Mp4Box *b) {
  Mp4Btrt *t = (Mp4Btrt *)b;
  f32(m, &t->buffer_size_db, "bufferSizeDB");
  f32(m, &t->max_bitrate, "maxBitrate");
  f32(m, &t->avg_bitrate, "avgBitrate");
}

void rw_fiel(Mp4Muxer *m, Mp4Box *b) {
  f8(m, &((Mp4Fiel *)b)->field_count, "fieldCount");
  f8(m, &((Mp4Fiel *)b)->field_order, "fieldOrder");
}

void rw_chan(Mp4Muxer *m, Mp4Box *b) {
  Mp4Chan *c = (Mp4Chan *)b;
  rw_version_flags(m, b);
  f32x(m, &c->layout_tag, "channel_layout_tag");
  f32x(m, &c->bitmap, "channel_bitmap");
  f32(m, &b->entry_count, "number_of_channel_descriptions");
  rw_entries(m, b, sizeof(Mp4ChanDesc), 20, [](Mp4Muxer *m, Mp4Box *, void *p, uint32_t i) {
    Mp4ChanDesc *d = (Mp4ChanDesc *)p;
    rw32(m, &d->label);
    rw32(m, &d->flags);
    for (int k = 0; k < 3; k++) rw32(m, &d->coordinates[k]);
    dump_printf(m, "description[%u]: label %u flags 0x%x\n", i, d->label, d->flags);
  });
}

void u32_pair_entry(Mp4Muxer *m, Mp4Box *b, void *p, uint32_t i) {
  uint32_t *e = (uint32_t *)p;
  rw32(m, &e[0]);
  rw32(m, &e[1]);
  if (b->type == FCC('c', 't', 't', 's') && b->version == 1)
    dump_printf(m, "entry[%u]: %u %d\n", i, e[0], (int32_t)e[1]);
  else
    dump_printf(m, "entry[%u]: %u %u\n", i, e[0], e[1]);
}

void u32_entry(Mp4Muxer *m, Mp4Box *, void *p, uint32_t i) {
  rw32(m, (uint32_t *)p);
  dump_printf(m, "entry[%u]: %u\n", i, *(uint32_t *)p);
}

// stts, ctts, stsh, sbgp-like pair tables with a leading count.
void rw_pair_table(Mp4Muxer *m, Mp4Box *b) {
  rw_version_flags(m, b);
  f32(m, &b->entry_count, "entry_count");
  rw_entries(m, b, 8, 8, u32_pair_entry);
}

void rw_stss(Mp4Muxer *m, Mp4Box *b) {
  rw_version_flags(m, b);
  f32(m, &b->entry_count, "entry_count");
  rw_entries(m, b, 4, 4, u32_entry);
}

void rw_stdp(Mp4Muxer *m, Mp4Box *b) {
  rw_version_flags(m, b);
  if (is_reader(m)) b->entry_count = (uint32_t)(rest(m) / 2);
  rw_entries(m, b, 2, 2, [](Mp4Muxer *m, Mp4Box *, void *p, uint32_t i) {
    rw16(m, (uint16_t *)p);
    dump_printf(m, "priority[%u]: %u\n", i, *(uint16_t *)p);
  });
}

void rw_padb(Mp4Muxer *m, Mp4Box *b) {
  Mp4Padb *p = (Mp4Padb *)b;
  rw_version_flags(m, b);
  f32(m, &p->sample_count, "sample_count");
  if (is_reader(m) && (uint64_t)(p->sample_count / 2 + (p->sample_count & 1)) > rest(m)) corrupt(m, b, "sample_count");
  rw_rest(m, b, "pad_bits");
}

void rw_stsc(Mp4Muxer *m, Mp4Box *b) {
  rw_version_flags(m, b);
  f32(m, &b->entry_count, "entry_count");
  rw_entries(m, b, sizeof(Mp4StscEntry), 12, [](Mp4Muxer *m, Mp4Box *, void *p, uint32_t i) {
    Mp4StscEntry *e = (Mp4StscEntry *)p;
    rw32(m, &e->first_chunk);
    rw32(m, &e->samples_per_chunk);
    rw32(m, &e->sample_description_index);
    dump_printf(m, "entry[%u]: first_chunk %u samples_per_chunk %u sample_description_index %u\n", i,
                e->first_chunk, e->samples_per_chunk, e->sample_description_index);
  });
}

void rw_stsz(Mp4Muxer *m, Mp4Box *b) {
  Mp4Stsz *s = (Mp4Stsz *)b;
  rw_version_flags(m, b);
  f32(m, &s->sample_size, "sample_size");
  if (!is_reader(m) && s->sample_size == 0) s->sample_count = b->entry_count;
  f32(m, &s->sample_count, "sample_count");
  if (s->sample_size == 0) {
    if (is_reader(m)) b->entry_count = s->sample_count;
    rw_entries(m, b, 4, 4, u32_entry);
    s->sample_count = b->entry_count;
  } else if (is_reader(m)) {
    b->entry_count = 0;
    b->entry_size = 4;
  }
}

void rw_stz2(Mp4Muxer *m, Mp4Box *b) {
  Mp4Stz2 *s = (Mp4Stz2 *)b;
  rw_version_flags(m, b);
  rw_reserved(m, 24);
  f8(m, &s->field_size, "field_size");
  f32(m, &b->entry_count, "sample_count");
  if (s->field_size != 4 && s->field_size != 8 && s->field_size != 16) {
    if (is_reader(m)) {
      corrupt(m, b, "field_size");
      b->entry_count = 0;
    }
    return;
  }
  if (is_reader(m)) {
    uint64_t need = s->field_size == 4 ? (b->entry_count + 1ull) / 2 : (uint64_t)b->entry_count * (s->field_size / 8);
    b->entry_size = 4;
    if (need > rest(m)) {
      corrupt(m, b, "sample_count");
      b->entry_count = 0;
      return;
    }
    if (!read_budget(m, b, (uint64_t)b->entry_count * 4)) {
      b->entry_count = 0;
      return;
    }
    if (b->entry_count && grow_array(b, b->entry_count)) {
      mp4_set_error(m, MP4_ERR_NOMEM);
      b->entry_count = 0;
      return;
    }
  }
  uint32_t *e = (uint32_t *)b->entries;
  for (uint32_t i = 0; i < b->entry_count; i++) {
    if (s->field_size == 4) {
      uint8_t x = 0;
      if (!is_reader(m)) x = (uint8_t)((e[i] & 15) << 4 | (i + 1 < b->entry_count ? (e[i + 1] & 15) : 0));
      rw8(m, &x);
      if (is_reader(m)) {
        e[i] = x >> 4;
        if (i + 1 < b->entry_count) e[i + 1] = x & 15;
      }
      i++;
    } else if (s->field_size == 8) {
      uint8_t x = (uint8_t)e[i];
      rw8(m, &x);
      e[i] = x;
    } else {
      uint16_t x = (uint16_t)e[i];
      rw16(m, &x);
      e[i] = x;
    }
  }
  if (dumping(m))
    for (uint32_t i = 0; i < b->entry_count; i++) dump_printf(m, "entry[%u]: %u\n", i, e[i]);
}

void rw_stco(Mp4Muxer *m, Mp4Box *b) {
  rw_version_flags(m, b);
  f32(m, &b->entry_count, "entry_count");
  rw_entries(m, b, 4, 4, u32_entry);
}

void rw_co64(Mp4Muxer *m, Mp4Box *b) {
  rw_version_flags(m, b);
  f32(m, &b->entry_count, "entry_count");
  rw_entries(m, b, 8, 8, [](Mp4Muxer *m, Mp4Box *, void *p, uint32_t i) {
    rw64(m, (uint64_t *)p);
    dump_printf(m, "entry[%u]: %llu\n", i, (unsigned long long)*(uint64_t *)p);
  });
}

// sgpd: the entries are kept as on the wire; 'roll' and 'prol' entries are
// signed 16-bit roll distances.
void rw_sgpd(Mp4Muxer *m, Mp4Box *b) {
  Mp4Sgpd *g = (Mp4Sgpd *)b;
  rw_version_flags(m, b);
  ffourcc(m, &g->grouping_type, "grouping_type");
  if (b->version == 1) f32(m, &g->default_length, "default_length");
  if (b->version >= 2) f32(m, &g->default_description_index, "default_sample_description_index");
  f32(m, &g->count, "entry_count");
  rw_rest(m, b, "entries");
  if (dumping(m) && (g->grouping_type == FCC('r', 'o', 'l', 'l') || g->grouping_type == FCC('p', 'r', 'o', 'l'))) {
    uint32_t step = (b->version == 1 && g->default_length == 0) ? 6 : 2;
    for (uint32_t i = 0; i < g->count && (i + 1) * step <= b->data_len; i++) {
      const uint8_t *p = b->data + i * step + (step - 2);
      dump_printf(m, "roll_distance[%u]: %d\n", i, (int16_t)(p[0] << 8 | p[1]));
    }
  }
}

void rw_sbgp(Mp4Muxer *m, Mp4Box *b) {
  Mp4Sbgp *g = (Mp4Sbgp *)b;
  rw_version_flags(m, b);
  ffourcc(m, &g->grouping_type, "grouping_type");
  if (b->version == 1) f32(m, &g->grouping_type_parameter, "grouping_type_parameter");
  f32(m, &b->entry_count, "entry_count");
  rw_entries(m, b, sizeof(Mp4SbgpEntry), 8, u32_pair_entry);
}

void rw_mehd(Mp4Muxer *m, Mp4Box *b) {
  Mp4Mehd *h = (Mp4Mehd *)b;
  if (!is_reader(m) && needs64(h->fragment_duration)) b->version = 1;
  rw_version_flags(m, b);
  ftime(m, &h->fragment_duration, b->version == 1, "fragment_duration", movie_timescale(b));
}

void rw_trex(Mp4Muxer *m, Mp4Box *b) {
  Mp4Trex *t = (Mp4Trex *)b;
  rw_version_flags(m, b);
  f32(m, &t->track_id, "track_ID");
  f32(m, &t->default_sample_description_index, "default_sample_description_index");
  f32(m, &t->default_sample_duration, "default_sample_duration");
  f32(m, &t->default_sample_size, "default_sample_size");
  f32x(m, &t->default_sample_flags, "default_sample_flags");
}

void rw_mfhd(Mp4Muxer *m, Mp4Box *b) {
  rw_version_flags(m, b);
  f32(m, &((Mp4Mfhd *)b)->sequence_number, "sequence_number");
}

void rw_tfhd(Mp4Muxer *m, Mp4Box *b) {
  Mp4Tfhd *t = (Mp4Tfhd *)b;
  rw_version_flags(m, b);
  f32(m, &t->track_id, "track_ID");
  if (b->flags & 0x01) {
    rw64(m, &t->base_data_offset);
    dump_printf(m, "base_data_offset: %llu\n", (unsigned long long)t->base_data_offset);
  }
  if (b->flags & 0x02) f32(m, &t->sample_description_index, "sample_description_index");
  if (b->flags & 0x08) f32(m, &t->default_sample_duration, "default_sample_duration");
  if (b->flags & 0x10) f32(m, &t->default_sample_size, "default_sample_size");
  if (b->flags & 0x20) f32x(m, &t->default_sample_flags, "default_sample_flags");
}

void rw_trun(Mp4Muxer *m, Mp4Box *b) {
  Mp4Trun *t = (Mp4Trun *)b;
  rw_version_flags(m, b);
  f32(m, &b->entry_count, "sample_count");
  if (b->flags & 0x001) {
    rw32(m, &t->data_offset);
    dump_printf(m, "data_offset: %d\n", t->data_offset);
  }
  if (b->flags & 0x004) f32x(m, &t->first_sample_flags, "first_sample_flags");
  uint32_t wire = 4 * (((b->flags >> 8) & 1) + ((b->flags >> 9) & 1) + ((b->flags >> 10) & 1) + ((b->flags >> 11) & 1));
  rw_entries(m, b, sizeof(Mp4TrunEntry), wire, [](Mp4Muxer *m, Mp4Box *b, void *p, uint32_t i) {
    Mp4TrunEntry *e = (Mp4TrunEntry *)p;
    if (b->flags & 0x100) rw32(m, &e->duration);
    if (b->flags & 0x200) rw32(m, &e->size);
    if (b->flags & 0x400) rw32(m, &e->flags);
    if (b->flags & 0x800) rw32(m, &e->composition_offset);
    dump_printf(m, "sample[%u]: duration %u size %u flags 0x%x composition_offset %d\n", i, e->duration, e->size,
                e->flags, (int32_t)e->composition_offset);
  });
}

// An unsigned field of 1 to 4 bytes (tfra's traf, trun and sample numbers).
void rw_uint_n(Mp4Muxer *m, uint32_t *v, int bytes) {
  if (bytes == 1) {
    uint8_t x = (uint8_t)*v;
    rw8(m, &x);
    *v = x;
  } else if (bytes == 2) {
    uint16_t x = (uint16_t)*v;
    rw16(m, &x);
    *v = x;
  } else if (bytes == 3) {
    rw24(m, v);
  } else {
    rw32(m, v);
  }
}

void rw_tfra(Mp4Muxer *m, Mp4Box *b) {
  Mp4Tfra *t = (Mp4Tfra *)b;
  rw_version_flags(m, b);
  f32(m, &t->track_id, "track_ID");
  f32x(m, &t->length_sizes, "length_size_of_traf_trun_sample_num");
  f32(m, &b->entry_count, "number_of_entry");
  uint32_t ls = t->length_sizes;
  uint32_t wire = (b->version == 1 ? 16 : 8) + ((ls >> 4) & 3) + ((ls >> 2) & 3) + (ls & 3) + 3;
  rw_entries(m, b, sizeof(Mp4TfraEntry), wire, [](Mp4Muxer *m, Mp4Box *b, void *p, uint32_t i) {
    Mp4TfraEntry *e = (Mp4TfraEntry *)p;
    uint32_t ls = ((Mp4Tfra *)b)->length_sizes;
    if (b->version == 1) {
      rw64(m, &e->time);
      rw64(m, &e->moof_offset);
    } else {
      rw32to64(m, &e->time);
      rw32to64(m, &e->moof_offset);
    }
    rw_uint_n(m, &e->traf_number, (int)((ls >> 4) & 3) + 1);
    rw_uint_n(m, &e->trun_number, (int)((ls >> 2) & 3) + 1);
    rw_uint_n(m, &e->sample_number, (int)(ls & 3) + 1);
    dump_printf(m, "entry[%u]: time %llu moof_offset %llu traf %u trun %u sample %u\n", i,
                (unsigned long long)e->time, (unsigned long long)e->moof_offset, e->traf_number, e->trun_number,
                e->sample_number);
  });
}

void rw_mfro(Mp4Muxer *m, Mp4Box *b) {
  rw_version_flags(m, b);
  f32(m, &((Mp4Mfro *)b)->mfra_size, "size");
}

// ISO 'meta' is a full box; the QuickTime one goes straight to its children.
void rw_meta(Mp4Muxer *m, Mp4Box *b) {
  Mp4Meta *t = (Mp4Meta *)b;
  if (is_reader(m) && rest(m) >= 8) {
    uint64_t at = m->pos;
    uint32_t skip = 0, type = 0;
    rw32(m, &skip);
    rw32(m, &type);
    muxer_seek(m, at);
    t->quicktime = type == FCC('h', 'd', 'l', 'r');
    dump_printf(m, "checking meta %d\n", t->quicktime);
  }
  if (!t->quicktime) rw_version_flags(m, b);
}

void rw_data(Mp4Muxer *m, Mp4Box *b) {
  Mp4Data *d = (Mp4Data *)b;
  f32x(m, &d->data_type, "type");
  f32(m, &d->locale, "locale");
  rw_rest(m, b, "value");
}

// ---- the table ----

enum : uint8_t { K_CHILDREN = 1 };

struct Mp4BoxKind {
  uint32_t type;
  uint32_t node_size;
  uint8_t attrs;
  void (*rw)(Mp4Muxer *m, Mp4Box *b);
};

#define CONTAINER(a, b, c, d) {FCC(a, b, c, d), sizeof(Mp4Box), K_CHILDREN, NULL}

const Mp4BoxKind box_kinds[] = {
  {FCC('f', 't', 'y', 'p'), sizeof(Mp4Ftyp), 0, rw_ftyp},
  {FCC('f', 'r', 'e', 'e'), sizeof(Mp4Box), 0, rw_free},
  {FCC('s', 'k', 'i', 'p'), sizeof(Mp4Box), 0, rw_free},
  {FCC('w', 'i', 'd', 'e'), sizeof(Mp4Box), 0, rw_free},
  {FCC('m', 'd', 'a', 't'), sizeof(Mp4Mdat), 0, rw_mdat},
  CONTAINER('m', 'o', 'o', 'v'), CONTAINER('t', 'r', 'a', 'k'), CONTAINER('m', 'd', 'i', 'a'),
  CONTAINER('m', 'i', 'n', 'f'), CONTAINER('d', 'i', 'n', 'f'), CONTAINER('s', 't', 'b', 'l'),
  CONTAINER('e', 'd', 't', 's'), CONTAINER('u', 'd', 't', 'a'), CONTAINER('m', 'v', 'e', 'x'),
  CONTAINER('m', 'o', 'o', 'f'), CONTAINER('t', 'r', 'a', 'f'), CONTAINER('m', 'f', 'r', 'a'),
  CONTAINER('r', 'm', 'r', 'a'), CONTAINER('r', 'm', 'd', 'a'), CONTAINER('i', 'l', 's', 't'),
  CONTAINER('c', 'o', 'v', 'r'),
  {FCC('m', 'v', 'h', 'd'), sizeof(Mp4Mvhd), 0, rw_mvhd},
  {FCC('u', 'u', 'i', 'd'), sizeof(Mp4Box), 0, rw_uuid},
  {FCC('i', 'o', 'd', 's'), sizeof(Mp4Iods), 0, rw_iods},
  {FCC('t', 'k', 'h', 'd'), sizeof(Mp4Tkhd), 0, rw_tkhd},
  {FCC('e', 'l', 's', 't'), sizeof(Mp4Box), 0, rw_elst},
  {FCC('m', 'd', 'h', 'd'), sizeof(Mp4Mdhd), 0, rw_mdhd},
  {FCC('h', 'd', 'l', 'r'), sizeof(Mp4Hdlr), 0, rw_hdlr},
  {FCC('v', 'm', 'h', 'd'), sizeof(Mp4Vmhd), 0, rw_vmhd},
  {FCC('s', 'm', 'h', 'd'), sizeof(Mp4Smhd), 0, rw_smhd},
  {FCC('h', 'm', 'h', 'd'), sizeof(Mp4Hmhd), 0, rw_hmhd},
  {FCC('n', 'm', 'h', 'd'), sizeof(Mp4Box), 0, rw_full_only},
  {FCC('d', 'r', 'e', 'f'), sizeof(Mp4Box), K_CHILDREN, rw_counted_container},
  {FCC('u', 'r', 'l', ' '), sizeof(Mp4Box), 0, rw_url},
  {FCC('u', 'r', 'n', ' '), sizeof(Mp4Box), 0, rw_urn},
  {FCC('a', 'l', 'i', 's'), sizeof(Mp4Box), 0, rw_alis},
  {FCC('s', 't', 's', 'd'), sizeof(Mp4Box), K_CHILDREN, rw_counted_container},
  {FCC('a', 'v', 'c', '1'), sizeof(Mp4VisualEntry), K_CHILDREN, rw_visual_entry},
  {FCC('m', 'p', '4', 'v'), sizeof(Mp4VisualEntry), K_CHILDREN, rw_visual_entry},
  {FCC('j', 'p', 'e', 'g'), sizeof(Mp4VisualEntry), K_CHILDREN, rw_visual_entry},
  {FCC('m', 'p', '2', 'v'), sizeof(Mp4VisualEntry), K_CHILDREN, rw_visual_entry},
  {FCC('m', 'p', '4', 'a'), sizeof(Mp4AudioEntry), K_CHILDREN, rw_audio_entry},
  {FCC('t', 'w', 'o', 's'), sizeof(Mp4AudioEntry), K_CHILDREN, rw_audio_entry},
  {FCC('s', 'o', 'w', 't'), sizeof(Mp4AudioEntry), K_CHILDREN, rw_audio_entry},
  {FCC('m', 'p', '4', 's'), sizeof(Mp4OtherEntry), K_CHILDREN, rw_other_entry},
  {FCC('m', 'e', 't', 't'), sizeof(Mp4OtherEntry), K_CHILDREN, rw_other_entry},
  {FCC('m', 'e', 't', 'x'), sizeof(Mp4OtherEntry), K_CHILDREN, rw_other_entry},
  {FCC('a', 'v', 'c', 'C'), sizeof(Mp4AvcC), 0, rw_avcC},
  {FCC('e', 's', 'd', 's'), sizeof(Mp4Esds), 0, rw_esds},
  {FCC('p', 'a', 's', 'p'), sizeof(Mp4Pasp), 0, rw_pasp},
  {FCC('b', 't', 'r', 't'), sizeof(Mp4Btrt), 0, rw_btrt},
  {FCC('f', 'i', 'e', 'l'), sizeof(Mp4Fiel), 0, rw_fiel},
  {FCC('c', 'h', 'a', 'n'), sizeof(Mp4Chan), 0, rw_chan},
  {FCC('s', 't', 't', 's'), sizeof(Mp4Box), 0, rw_pair_table},
  {FCC('c', 't', 't', 's'), sizeof(Mp4Box), 0, rw_pair_table},
  {FCC('s', 't', 's', 's'), sizeof(Mp4Box), 0, rw_stss},
  {FCC('s', 't', 's', 'h'), sizeof(Mp4Box), 0, rw_pair_table},
  {FCC('s', 't', 'd', 'p'), sizeof(Mp4Box), 0, rw_stdp},
  {FCC('p', 'a', 'd', 'b'), sizeof(Mp4Padb), 0, rw_padb},
  {FCC('s', 't', 's', 'c'), sizeof(Mp4Box), 0, rw_stsc},
  {FCC('s', 't', 's', 'z'), sizeof(Mp4Stsz), 0, rw_stsz},
  {FCC('s', 't', 'z', '2'), sizeof(Mp4Stz2), 0, rw_stz2},
  {FCC('s', 't', 'c', 'o'), sizeof(Mp4Box), 0, rw_stco},
  {FCC('c', 'o', '6', '4'), sizeof(Mp4Box), 0, rw_co64},
  {FCC('s', 'g', 'p', 'd'), sizeof(Mp4Sgpd), 0, rw_sgpd},
  {FCC('s', 'b', 'g', 'p'), sizeof(Mp4Sbgp), 0, rw_sbgp},
  {FCC('m', 'e', 'h', 'd'), sizeof(Mp4Mehd), 0, rw_mehd},
  {FCC('t', 'r', 'e', 'x'), sizeof(Mp4Trex), 0, rw_trex},
  {FCC('m', 'f', 'h', 'd'), sizeof(Mp4Mfhd), 0, rw_mfhd},
  {FCC('t', 'f', 'h', 'd'), sizeof(Mp4Tfhd), 0, rw_tfhd},
  {FCC('t', 'r', 'u', 'n'), sizeof(Mp4Trun), 0, rw_trun},
  {FCC('t', 'f', 'r', 'a'), sizeof(Mp4Tfra), 0, rw_tfra},
  {FCC('m', 'f', 'r', 'o'), sizeof(Mp4Mfro), 0, rw_mfro},
  {FCC('m', 'e', 't', 'a'), sizeof(Mp4Meta), K_CHILDREN, rw_meta},
  {FCC('d', 'a', 't', 'a'), sizeof(Mp4Data), 0, rw_data},
};

// Layouts of sample entries by the handler of their track, for fourccs
// not in the table above.
const Mp4BoxKind visual_entry_kind = {0, sizeof(Mp4VisualEntry), K_CHILDREN, rw_visual_entry};
const Mp4BoxKind audio_entry_kind = {0, sizeof(Mp4AudioEntry), K_CHILDREN, rw_audio_entry};
const Mp4BoxKind other_entry_kind = {0, sizeof(Mp4OtherEntry), K_CHILDREN, rw_other_entry};
// An item of an ilst (any fourcc) holds data boxes.
const Mp4BoxKind ilst_item_kind = {0, sizeof(Mp4Box), K_CHILDREN, NULL};

const Mp4BoxKind *kind_by_type(uint32_t type) {
  for (const Mp4BoxKind &k : box_kinds)
    if (k.type == type) return &k;
  return NULL;
}

// The layout of a box that sits in parent (NULL when unknown).
const Mp4BoxKind *kind_in(uint32_t type, const Mp4Box *parent, int report) {
  if (parent && parent->type == FCC('s', 't', 's', 'd')) {
    uint32_t handler = box_handler_type(parent);
    if (handler == FCC('v', 'i', 'd', 'e')) {
      const Mp4BoxKind *k = kind_by_type(type);
      return (k && k->rw == rw_visual_entry) ? k : &visual_entry_kind;
    }
    if (handler == FCC('s', 'o', 'u', 'n')) {
      const Mp4BoxKind *k = kind_by_type(type);
      return (k && k->rw == rw_audio_entry) ? k : &audio_entry_kind;
    }
    if (handler == FCC('s', 'u', 'b', 'p') || handler == FCC('m', 'e', 't', 'a')) return &other_entry_kind;
    if (report) log_printf("%s: handler type not set\n", "rwBox");
    return NULL;
  }
  if (parent && parent->type == FCC('i', 'l', 's', 't')) return &ilst_item_kind;
  if (type == FCC('u', 'u', 'i', 'd') && (!parent || parent->type != FCC('u', 'd', 't', 'a'))) return NULL;
  return kind_by_type(type);
}

uint64_t input_end(Mp4Muxer *m) {
  if (m->fd >= 0 || m->file) {
    struct stat st;
    int fd = m->fd >= 0 ? m->fd : mp4_stream_fd(m, m->file);
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return (uint64_t)st.st_size;
    return UINT64_MAX;
  }
  if (m->win) return m->win_start + m->win_size;
  return m->pos;
}

void link_child(Mp4Box *child, Mp4Box *parent) {
  child->parent = parent;
  Mp4Box **link = &parent->child;
  while (*link) link = &(*link)->next;
  *link = child;
}

enum ReadResult { READ_NODE, READ_SKIPPED, READ_FAILED };

ReadResult read_box(Mp4Muxer *m, Mp4Box *parent, uint64_t limit, Mp4Box **out);

void read_children(Mp4Muxer *m, Mp4Box *b, uint64_t end) {
  while (m->pos + 8 <= end) {
    uint64_t at = m->pos;
    Mp4Box *c = NULL;
    if (read_box(m, b, end, &c) == READ_FAILED || m->pos <= at) break;
  }
}

ReadResult read_box(Mp4Muxer *m, Mp4Box *parent, uint64_t limit, Mp4Box **out) {
  *out = NULL;
  uint64_t start = m->pos;
  if (start >= limit || limit - start < 8) {
    m->flags |= MP4_FLAG_SHORT_READ;
    return READ_FAILED;
  }
  uint64_t saved_end = m->read_end;
  m->read_end = limit;
  uint32_t size32 = 0, type = 0;
  rw32(m, &size32);
  rw32(m, &type);
  uint64_t size = size32;
  uint8_t hdr = 8;
  if (size32 == 1) {
    rw64(m, &size);
    hdr = 16;
  } else if (size32 == 0) {
    size = limit == UINT64_MAX ? 0 : limit - start;  // the box runs to the end of its container
  }
  int fail = 1;
  if (m->read_overrun || (m->flags & MP4_FLAG_SHORT_READ)) {
    if (parent) mp4_set_error(m, MP4_ERR_BAD_INPUT);
  } else if (size < hdr) {
    log_printf("%s: corrupt input type:=%c%c%c%c size=%llu\n", "rwBox", FCC_ARGS(type), (unsigned long long)size);
    mp4_set_error(m, MP4_ERR_BAD_INPUT);
  } else if (size > limit - start) {
    // A top-level box running past the input is a truncated file: the caller
    // sees the end; inside a container it is corrupt.
    log_printf("%s: short input type=%c%c%c%c size=%llu @%llu\n", "rwBox", FCC_ARGS(type), (unsigned long long)size,
               (unsigned long long)start);
    if (parent) mp4_set_error(m, MP4_ERR_BAD_INPUT);
  } else if (m->depth >= MP4_MAX_DEPTH) {
    log_printf("%s: recursion limit reached\n", "rwBox");
    mp4_set_error(m, MP4_ERR_RECURSION);
  } else {
    fail = 0;
  }
  if (fail) {
    m->read_overrun = 0;
    dump_printf(m, "%s: seeking back to %llu\n", "rwBox", (unsigned long long)start);
    m->read_end = saved_end;
    muxer_seek(m, start);
    return READ_FAILED;
  }
  uint64_t end = start + size;
  const Mp4BoxKind *k = kind_in(type, parent, 1);
  if (!k && parent) {  // unknown inside a container: skipped
    dump_printf(m, "%c%c%c%c  size: %llu (skipped)\n", FCC_ARGS(type), (unsigned long long)size);
    m->read_end = saved_end;
    muxer_seek(m, end);
    return READ_SKIPPED;
  }
  Mp4Box *b = box_alloc(k ? k->node_size : sizeof(Mp4Box), type, size);
  if (!b) {
    log_printf("%s: failed to allocate memory for box %c%c%c%c\n", "rwBox", FCC_ARGS(type));
    mp4_set_error(m, MP4_ERR_NOMEM);
    m->read_end = saved_end;
    muxer_seek(m, end);
    return READ_FAILED;
  }
  b->header_size = hdr;
  b->offset = m->pos;
  b->node_flags |= BOX_READ_ALLOC;
  if (!k) b->node_flags &= (uint8_t)~BOX_WRITE;  // unknown: never written back
  if (parent) link_child(b, parent);
  dump_printf(m, "%c%c%c%c  size: %llu\n", FCC_ARGS(type), (unsigned long long)size);
  m->read_end = end;
  m->depth++;
  if (k && k->rw) k->rw(m, b);
  if (k && (k->attrs & K_CHILDREN) && !m->read_overrun) read_children(m, b, end);
  m->depth--;
  if (m->read_overrun) {
    log_printf("%s: corrupt input type:=%c%c%c%c size=%llu\n", "rwBox", FCC_ARGS(type), (unsigned long long)size);
    mp4_set_error(m, MP4_ERR_BAD_INPUT);
    m->read_overrun = 0;
  }
  if (m->pos != end && k)
    dump_printf(m, "(actual %c%c%c%c box size %llu)\n", FCC_ARGS(type), (unsigned long long)(m->pos - start));
  m->read_end = saved_end;
  muxer_seek(m, end);
  *out = b;
  return READ_NODE;
}

void write_box(Mp4Muxer *m, Mp4Box *b) {
  const Mp4BoxKind *k = kind_in(b->type, b->parent, 0);
  if (!k) return;  // unknown types are not written
  if (b->node_size < k->node_size) {
    log_printf("%s: node of %c%c%c%c too small\n", "rwBox", FCC_ARGS(b->type));
    mp4_set_error(m, MP4_ERR_BAD_INPUT);
    return;
  }
  if (m->depth >= MP4_MAX_DEPTH) {
    log_printf("%s: recursion limit reached\n", "rwBox");
    mp4_set_error(m, MP4_ERR_RECURSION);
    return;
  }
  uint8_t hdr = b->size > 0xFFFFFFFFu ? 16 : 8;
  uint32_t size32 = hdr == 16 ? 1 : (uint32_t)b->size;
  rw32(m, &size32);
  rw32(m, &b->type);
  if (hdr == 16) rw64(m, &b->size);
  b->header_size = hdr;
  b->offset = m->pos;
  m->depth++;
  if (k->rw) k->rw(m, b);
  if (k->attrs & K_CHILDREN)
    for (Mp4Box *c = b->child; c; c = c->next)
      if (c->node_flags & BOX_WRITE) write_box(m, c);
  m->depth--;
  if (m->measuring) {
    uint64_t content = m->pos - b->offset;
    if (b->type == FCC('m', 'd', 'a', 't')) content += ((Mp4Mdat *)b)->payload_size;
    uint64_t total = content + 8;
    if (total > 0xFFFFFFFFu) total += 8;
    b->size = total;
  }
}

}  // namespace

uint32_t box_handler_type(const Mp4Box *box) {
  const Mp4Box *t = box;
  while (t && t->type != FCC('t', 'r', 'a', 'k')) t = t->parent;
  const Mp4Box *mdia = box_find(t, FCC('m', 'd', 'i', 'a'));
  const Mp4Hdlr *h = (const Mp4Hdlr *)box_find(mdia, FCC('h', 'd', 'l', 'r'));
  return h ? h->handler_type : 0;
}

size_t box_node_size(uint32_t type, uint32_t handler) {
  if (handler == FCC('v', 'i', 'd', 'e')) return sizeof(Mp4VisualEntry);
  if (handler == FCC('s', 'o', 'u', 'n')) return sizeof(Mp4AudioEntry);
  if (handler) return sizeof(Mp4OtherEntry);
  const Mp4BoxKind *k = kind_by_type(type);
  return k ? k->node_size : sizeof(Mp4Box);
}

Mp4Box *box_new(uint32_t type, uint32_t handler) {
  return box_alloc(box_node_size(type, handler), type, 0);
}

Mp4Box *rwBox(Mp4Muxer *m, Mp4Box *box, Mp4Box *parent) {
  if (is_reader(m)) {
    if (box) return NULL;
    uint64_t limit = parent ? box_end(parent) : input_end(m);
    Mp4Box *b = NULL;
    m->flags &= (uint8_t)~MP4_FLAG_SHORT_READ;
    ReadResult r = read_box(m, parent, limit, &b);
    if (r == READ_NODE && m->depth == 0) m->flags &= (uint8_t)~MP4_FLAG_SHORT_READ;
    return b;
  }
  if (!box) {
    log_printf("%s: attempting to write NULL box\n", "rwBox");
    mp4_set_error(m, MP4_ERR_NULL_BOX);
    return NULL;
  }
  if (m->depth == 0 && !m->measuring) {
    // Counting pass: every box of the subtree gets its exact size.
    Mp4Muxer c;
    memset(&c, 0, sizeof c);
    c.fd = -1;
    c.measuring = 1;
    c.flags = m->flags & MP4_FLAG_QT;
    write_box(&c, box);
  }
  write_box(m, box);
  if (parent && box->parent != parent) box_add_child(box, parent);
  return box;
}

int write_child_box(Mp4Muxer *m, Mp4Box *box, Mp4Box *parent) {
  if (!rwBox(m, box, parent)) return -1;
  m->last_parent = parent;
  int rc = 0;
  for (Mp4Box *p = parent; p; p = p->parent) rc |= updateBoxSize(m, p);
  return rc;
}

int mp4_aac_frequency_index(uint32_t rate) {
  static const uint32_t rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                   22050, 16000, 12000, 11025, 8000,  7350};
  for (int i = 0; i < 13; i++)
    if (rates[i] == rate) return i;
  return 15;
}
