// MP4 reader: the sample tables of the moov (stts, stss, stsc, stsz, stco or
// co64) walked with a cursor per track. Every index into a table is checked
// against its entry count, the walks step whole table entries rather than
// samples where counts come from the file, and a sample is reported only
// when it lies inside the mdat payload.
#include "formats/mp4_read.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/log.h"

namespace {

#define FCC MP4_FOURCC

const uint32_t kMaxTracks = 16;

bool is_reader(const Mp4Muxer *m, const char *who) {
  if (m && (m->flags & MP4_FLAG_READER)) return true;
  log_printf("%s: not a reader muxer\n", who);
  return false;
}

Mp4Box *stbl_of(const Mp4Track *t) {
  Mp4Box *minf = box_find(box_find(t->trak, FCC('m', 'd', 'i', 'a')), FCC('m', 'i', 'n', 'f'));
  return box_find(minf, FCC('s', 't', 'b', 'l'));
}

struct Tables {
  Mp4Box *stts, *stss, *stsc, *stco;
  Mp4Stsz *stsz;
  bool co64;
  uint32_t samples;  // from stsz
  uint32_t chunks;
};

bool tables(const Mp4Track *t, Tables *tb) {
  Mp4Box *stbl = stbl_of(t);
  if (!stbl) return false;
  tb->stts = box_find(stbl, FCC('s', 't', 't', 's'));
  tb->stss = box_find(stbl, FCC('s', 't', 's', 's'));
  tb->stsc = box_find(stbl, FCC('s', 't', 's', 'c'));
  tb->stsz = (Mp4Stsz *)box_find(stbl, FCC('s', 't', 's', 'z'));
  tb->stco = box_find(stbl, FCC('s', 't', 'c', 'o'));
  tb->co64 = false;
  if (!tb->stco) {
    tb->stco = box_find(stbl, FCC('c', 'o', '6', '4'));
    tb->co64 = true;
  }
  if (!tb->stts || !tb->stsc || !tb->stsz || !tb->stco) return false;
  if (!tb->stts->entries || !tb->stsc->entries || !tb->stco->entries) return false;
  if (tb->stsz->sample_size == 0 && !tb->stsz->box.entries) return false;
  tb->samples = tb->stsz->sample_size ? tb->stsz->sample_count : tb->stsz->box.entry_count;
  tb->chunks = tb->stco->entry_count;
  return true;
}

uint32_t sample_size(const Tables &tb, uint32_t i) {
  if (tb.stsz->sample_size) return tb.stsz->sample_size;
  return ((const uint32_t *)tb.stsz->box.entries)[i];
}

// Bytes of samples [from, to).
uint64_t sizes_between(const Tables &tb, uint32_t from, uint32_t to) {
  if (tb.stsz->sample_size) return (uint64_t)(to - from) * tb.stsz->sample_size;
  uint64_t sum = 0;
  for (uint32_t k = from; k < to; k++) sum += ((const uint32_t *)tb.stsz->box.entries)[k];
  return sum;
}

uint64_t chunk_offset(const Tables &tb, uint32_t c) {
  if (tb.co64) return ((const uint64_t *)tb.stco->entries)[c];
  return ((const uint32_t *)tb.stco->entries)[c];
}

const Mp4SttsEntry *stts_at(const Tables &tb, uint32_t e) { return (const Mp4SttsEntry *)tb.stts->entries + e; }
const Mp4StscEntry *stsc_at(const Tables &tb, uint32_t e) { return (const Mp4StscEntry *)tb.stsc->entries + e; }

// First chunk (0-based) of stsc entry e, and where the next entry starts.
uint64_t stsc_first(const Tables &tb, uint32_t e) {
  uint32_t fc = stsc_at(tb, e)->first_chunk;
  return fc ? fc - 1 : 0;
}
uint64_t stsc_next(const Tables &tb, uint32_t e) {
  return e + 1 < tb.stsc->entry_count ? stsc_first(tb, e + 1) : tb.chunks;
}

// Samples in the cursor's chunk (its stsc entry moved to cover it).
uint32_t chunk_samples(const Tables &tb, Mp4Track *t) {
  if (tb.stsc->entry_count == 0) return 0;
  while (t->stsc_entry + 1 < tb.stsc->entry_count && stsc_first(tb, t->stsc_entry + 1) <= t->chunk_index)
    t->stsc_entry++;
  while (t->stsc_entry > 0 && stsc_first(tb, t->stsc_entry) > t->chunk_index) t->stsc_entry--;
  return stsc_at(tb, t->stsc_entry)->samples_per_chunk;
}

// Whether sample i (0-based) is a sync sample: every sample of a track
// without stss (an all-intra file), else the ones stss lists (a sorted
// table: binary search; an empty one lists none).
bool is_sync(const Tables &tb, Mp4Track *t, uint32_t i) {
  if (!tb.stss) return true;
  if (!tb.stss->entries) return false;
  const uint32_t *s = (const uint32_t *)tb.stss->entries;
  uint32_t lo = 0, hi = tb.stss->entry_count;
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2;
    if (s[mid] < i + 1)
      lo = mid + 1;
    else
      hi = mid;
  }
  t->stss_index = lo;
  return lo < tb.stss->entry_count && s[lo] == i + 1;
}

// Audio samples are reported as audio whatever their sync flag: the caller
// tells the kinds apart by it.
uint32_t sample_flags(const Tables &tb, Mp4Track *t, uint32_t i) {
  if (t->handler_type == FCC('s', 'o', 'u', 'n')) return 2;
  return is_sync(tb, t, i) ? 1 : 0;
}

const char *kind_of(const Mp4Track *t) { return t->handler_type == FCC('s', 'o', 'u', 'n') ? "audio" : "video"; }

uint64_t to_90k(uint64_t time, uint32_t timescale) {
  if (timescale == 90000 || timescale == 0) return time;
  return (uint64_t)((unsigned __int128)time * 90000 / timescale);
}

bool inside_mdat(const Mp4Muxer *m, uint64_t offset, uint32_t size) {
  const Mp4Mdat *d = (const Mp4Mdat *)m->mdat;
  if (!d) return false;
  return offset >= d->payload_start && offset + size <= d->payload_start + d->payload_size;
}

void report(Mp4Muxer *m, Mp4Track *t, uint32_t size, uint32_t flags) {
  if (m->sample_callback) m->sample_callback(t->sample_offset, to_90k(t->current_time, t->timescale), size, flags);
}

// Counts the samples in a row whose duration is 0; true (the file refused)
// when there are too many: such a track never reaches the other's time.
bool stalled(Mp4Muxer *m, Mp4Track *t, uint32_t delta) {
  t->still_run = delta ? 0 : t->still_run + 1;
  if (t->still_run <= MP4_PLAY_MAX_SAMPLES) return false;
  log_printf("mp4: %s track: %u samples in a row without duration\n", kind_of(t), t->still_run);
  mp4_set_error(m, MP4_ERR_BAD_INPUT);
  return true;
}

int track_play_step(Mp4Muxer *m, Mp4Track *t) {
  Tables tb;
  if (!tables(t, &tb) || t->sample_index >= tb.samples) return -1;
  for (;;) {  // to the chunk that holds the sample; chunks run out first
    if (t->chunk_index >= tb.chunks) return -1;
    if (t->sample_in_chunk < chunk_samples(tb, t)) break;
    t->chunk_index++;
    t->sample_in_chunk = 0;
  }
  while (t->stts_entry < tb.stts->entry_count && t->stts_pos >= stts_at(tb, t->stts_entry)->sample_count) {
    t->stts_entry++;
    t->stts_pos = 0;
  }
  if (t->stts_entry >= tb.stts->entry_count) return -1;
  if (t->sample_in_chunk == 0) t->sample_offset = chunk_offset(tb, t->chunk_index);
  if (stalled(m, t, stts_at(tb, t->stts_entry)->sample_delta)) return -1;
  uint32_t size = sample_size(tb, t->sample_index);
  if (inside_mdat(m, t->sample_offset, size)) report(m, t, size, sample_flags(tb, t, t->sample_index));
  t->sample_offset += size;
  uint32_t delta = stts_at(tb, t->stts_entry)->sample_delta;
  t->current_time += delta;
  t->stts_pos++;
  t->sample_index++;
  t->sample_in_chunk++;
  return 0;
}

int track_reverse_step(Mp4Muxer *m, Mp4Track *t) {
  Tables tb;
  if (!tables(t, &tb) || t->sample_index == 0 || t->sample_index > tb.samples) return -1;
  // The stts slot of the previous sample.
  while (t->stts_pos == 0) {
    if (t->stts_entry == 0) return -1;
    t->stts_entry--;
    if (t->stts_entry < tb.stts->entry_count) t->stts_pos = stts_at(tb, t->stts_entry)->sample_count;
  }
  if (t->stts_entry >= tb.stts->entry_count) return -1;
  uint32_t i = t->sample_index - 1;
  if (t->sample_in_chunk > 0) {
    t->sample_in_chunk--;
    t->sample_offset -= sample_size(tb, i);
  } else {
    uint32_t n = 0;
    do {
      if (t->chunk_index == 0) return -1;
      t->chunk_index--;
      n = chunk_samples(tb, t);
    } while (n == 0);
    if (t->chunk_index >= tb.chunks || n - 1 > i) return -1;
    t->sample_in_chunk = n - 1;
    t->sample_offset = chunk_offset(tb, t->chunk_index) + sizes_between(tb, i - t->sample_in_chunk, i);
  }
  if (stalled(m, t, stts_at(tb, t->stts_entry)->sample_delta)) return -1;
  t->stts_pos--;
  t->current_time -= stts_at(tb, t->stts_entry)->sample_delta;
  t->sample_index = i;
  uint32_t size = sample_size(tb, i);
  if (inside_mdat(m, t->sample_offset, size))
    report(m, t, size, sample_flags(tb, t, i));
  else
    log_printf("mp4 ignoring sample offset %llu,%u outside of mdat %llu\n", (unsigned long long)t->sample_offset,
               size, m->mdat ? (unsigned long long)((Mp4Mdat *)m->mdat)->payload_start : 0ull);
  return 0;
}

void cursor_reset(Mp4Track *t) {
  t->current_time = 0;
  t->sample_index = t->stts_entry = t->stts_pos = t->stss_index = 0;
  t->stsc_entry = t->chunk_index = t->sample_in_chunk = 0;
  t->sample_offset = 0;
  t->still_run = 0;
}

// Moves the cursor to sample s: its stts slot and time, its chunk and the
// offset inside it. s must not pass the samples stts times.
int cursor_to(Mp4Track *t, const Tables &tb, uint32_t s) {
  cursor_reset(t);
  uint32_t left = s;
  while (t->stts_entry < tb.stts->entry_count) {
    const Mp4SttsEntry *e = stts_at(tb, t->stts_entry);
    if (left < e->sample_count) break;
    left -= e->sample_count;
    t->current_time += (uint64_t)e->sample_count * e->sample_delta;
    t->stts_entry++;
  }
  if (left) {
    if (t->stts_entry >= tb.stts->entry_count) return -1;
    t->current_time += (uint64_t)left * stts_at(tb, t->stts_entry)->sample_delta;
    t->stts_pos = left;
  }
  t->sample_index = s;
  uint64_t acc = 0;
  for (uint32_t e = 0; e < tb.stsc->entry_count; e++) {
    uint64_t first = stsc_first(tb, e), next = stsc_next(tb, e);
    uint32_t spc = stsc_at(tb, e)->samples_per_chunk;
    if (next <= first || spc == 0) continue;
    uint64_t n = (next - first) * spc;
    if (s < acc + n) {
      uint64_t chunk = first + (s - acc) / spc;
      if (chunk >= tb.chunks) return -1;
      t->stsc_entry = e;
      t->chunk_index = (uint32_t)chunk;
      t->sample_in_chunk = (uint32_t)((s - acc) % spc);
      t->sample_offset = chunk_offset(tb, t->chunk_index) + sizes_between(tb, s - t->sample_in_chunk, s);
      return 0;
    }
    acc += n;
  }
  // Past the last chunk: the end of the track (a play step ends at once).
  t->chunk_index = tb.chunks;
  return s >= tb.samples ? 0 : -1;
}

// Seeks a track to time (its timescale): the first sample starting at or
// after it, or with an stss the last sync sample starting before it.
int track_seek(Mp4Track *t, uint64_t time) {
  Tables tb;
  if (!tables(t, &tb)) return -1;
  uint64_t now = 0;
  uint32_t s = 0;
  for (uint32_t e = 0; e < tb.stts->entry_count && s < tb.samples && now < time; e++) {
    const Mp4SttsEntry *x = stts_at(tb, e);
    uint32_t n = x->sample_count;
    if (n > tb.samples - s) n = tb.samples - s;
    uint64_t span = (uint64_t)n * x->sample_delta;
    if (now + span < time || x->sample_delta == 0) {
      now += span;
      s += n;
      continue;
    }
    uint64_t k = (time - now + x->sample_delta - 1) / x->sample_delta;  // samples starting before time
    s += (uint32_t)k;
    now += k * x->sample_delta;
  }
  if (tb.stss && tb.stss->entries) {
    const uint32_t *ss = (const uint32_t *)tb.stss->entries;
    uint32_t key = 0;
    for (uint32_t i = 0; i < tb.stss->entry_count && ss[i] <= s; i++)
      if (ss[i] >= 1) key = ss[i] - 1;
    s = key;
  }
  return cursor_to(t, tb, s);
}

// The bytes a track's samples claim, at most the mdat's payload (samples
// lie inside it). A file whose tables claim more is refused.
bool sizes_fit(Mp4Muxer *m, const Mp4Track *t) {
  Tables tb;
  const Mp4Mdat *d = (const Mp4Mdat *)m->mdat;
  if (!d || !tables(t, &tb)) return true;
  uint64_t sum = tb.stsz->sample_size ? (uint64_t)tb.samples * tb.stsz->sample_size : sizes_between(tb, 0, tb.samples);
  if (sum <= d->payload_size) return true;
  log_printf("%s: %s track: samples of %llu bytes in an mdat of %llu\n", "mp4_open_reader", kind_of(t),
             (unsigned long long)sum, (unsigned long long)d->payload_size);
  mp4_set_error(m, MP4_ERR_BAD_INPUT);
  return false;
}

// Reads top-level boxes until the moov and the mdat are both known: the
// moov becomes the handle's tree, the mdat node is kept for its payload
// bounds, every other box is freed.
int open_reader(Mp4Muxer *m) {
  if (m->moov && m->tracks) return mp4_has_error(m) ? -1 : 0;
  if (!m->moov) {
    muxer_seek(m, 0);
    for (;;) {
      Mp4Box *b = rwBox(m, NULL, NULL);
      if (!b) break;
      if (b->type == FCC('m', 'o', 'o', 'v') && !m->moov)
        m->moov = b;
      else if (b->type == FCC('m', 'd', 'a', 't') && !m->mdat)
        m->mdat = b;
      else
        box_free(b);
      if (m->moov && m->mdat) break;
    }
    if (!m->moov || mp4_has_error(m)) {
      log_printf("%s: no readable moov%s%s\n", "mp4_open_reader", mp4_has_error(m) ? ": " : "",
                 mp4_has_error(m) ? mp4_strerror(m) : "");
      box_free(m->moov);
      box_free(m->mdat);
      m->moov = m->mdat = NULL;
      return -1;
    }
  }
  uint32_t count = 0;
  for (Mp4Box *c = m->moov->child; c; c = c->next)
    if (c->type == FCC('t', 'r', 'a', 'k')) count++;
  if (count > kMaxTracks) count = kMaxTracks;
  if (count == 0) return -1;
  m->tracks = (Mp4Track *)calloc(count, sizeof(Mp4Track));
  if (!m->tracks) return -1;
  m->next_track_id = count + 1;
  uint32_t i = 0;
  for (Mp4Box *c = m->moov->child; c && i < count; c = c->next) {
    if (c->type != FCC('t', 'r', 'a', 'k')) continue;
    Mp4Track *t = &m->tracks[i++];
    t->trak = c;
    Mp4Box *mdia = box_find(c, FCC('m', 'd', 'i', 'a'));
    Mp4Hdlr *h = (Mp4Hdlr *)box_find(mdia, FCC('h', 'd', 'l', 'r'));
    Mp4Mdhd *d = (Mp4Mdhd *)box_find(mdia, FCC('m', 'd', 'h', 'd'));
    if (h) t->handler_type = h->handler_type;
    if (d) t->timescale = d->timescale;
    Mp4Box *stsd = box_find(stbl_of(t), FCC('s', 't', 's', 'd'));
    if (stsd && stsd->child) t->fourcc = stsd->child->type;
  }
  for (uint32_t k = 0; k < i; k++)
    if (!sizes_fit(m, &m->tracks[k])) return -1;
  return 0;
}

// The last track with the handler, NULL when none.
Mp4Track *track_of(Mp4Muxer *m, uint32_t handler) {
  Mp4Track *found = NULL;
  for (uint32_t i = 0; m->tracks && i + 1 < m->next_track_id; i++)
    if (m->tracks[i].handler_type == handler && m->tracks[i].timescale) found = &m->tracks[i];
  return found;
}

bool ready(Mp4Muxer *m, const char *who, Mp4Track **video, Mp4Track **audio) {
  if (!is_reader(m, who) || open_reader(m)) return false;
  *video = track_of(m, FCC('v', 'i', 'd', 'e'));
  *audio = track_of(m, FCC('s', 'o', 'u', 'n'));
  return *video != NULL;
}

// a's current time is later than v's (compared across timescales).
int time_cmp(const Mp4Track *a, const Mp4Track *v) {
  unsigned __int128 x = (unsigned __int128)a->current_time * v->timescale;
  unsigned __int128 y = (unsigned __int128)v->current_time * a->timescale;
  return x < y ? -1 : x > y ? 1 : 0;
}

// The sample entry of the first track that carries a decoder configuration.
Mp4Box *config_box(Mp4Muxer *m) {
  if (!m->moov) return NULL;
  for (Mp4Box *c = m->moov->child; c; c = c->next) {
    if (c->type != FCC('t', 'r', 'a', 'k')) continue;
    Mp4Track t = {};
    t.trak = c;
    Mp4Box *stsd = box_find(stbl_of(&t), FCC('s', 't', 's', 'd'));
    Mp4Box *entry = stsd ? stsd->child : NULL;
    if (!entry) continue;
    Mp4Box *cfg = NULL;
    if (entry->type == FCC('a', 'v', 'c', '1')) cfg = box_find(entry, FCC('a', 'v', 'c', 'C'));
    if (entry->type == FCC('m', 'p', '4', 'v')) cfg = box_find(entry, FCC('e', 's', 'd', 's'));
    if (cfg) return cfg;
  }
  return NULL;
}

// The first SPS and the first PPS of an avcC, each bounded by its run.
bool avcc_sets(const Mp4AvcC *c, const uint8_t **sps, uint32_t *sps_len, const uint8_t **pps, uint32_t *pps_len) {
  const uint8_t *d = c->box.data;
  uint32_t n = c->box.data_len;
  if (!d || c->num_sps == 0 || c->num_pps == 0 || c->sps_bytes < 2 || c->sps_bytes > n || n - c->sps_bytes < 2 ||
      c->pps_bytes > n - c->sps_bytes)
    return false;
  *sps_len = (uint32_t)(d[0] << 8 | d[1]);
  *sps = d + 2;
  const uint8_t *p = d + c->sps_bytes;
  *pps_len = (uint32_t)(p[0] << 8 | p[1]);
  *pps = p + 2;
  return *sps_len + 2 <= c->sps_bytes && *pps_len + 2 <= c->pps_bytes;
}

// One step would deliver more audio than any real file holds between two
// video samples.
int too_many(Mp4Muxer *m, const char *who) {
  log_printf("%s: more than %u audio samples before the next video sample\n", who, MP4_PLAY_MAX_SAMPLES);
  mp4_set_error(m, MP4_ERR_BAD_INPUT);
  return -1;
}

}  // namespace

int mp4_read_check(Mp4Muxer *m, char *why, size_t size) {
  if (!is_reader(m, "mp4_read_check")) {
    snprintf(why, size, "not a reader");
    return -1;
  }
  if (open_reader(m)) {
    if (!m->moov) snprintf(why, size, "no index (moov): the file was cut short");
    else snprintf(why, size, "damaged index (moov)%s%s", mp4_has_error(m) ? ": " : "",
                  mp4_has_error(m) ? mp4_strerror(m) : "");
    return -1;
  }
  // Fragments hold their own sample tables (moof), which the reader skips.
  if (box_find(m->moov, FCC('m', 'v', 'e', 'x'))) {
    snprintf(why, size, "fragmented MP4 (moof): not played");
    return -1;
  }
  Mp4Track *v = track_of(m, FCC('v', 'i', 'd', 'e'));
  if (!v) {
    snprintf(why, size, "no video track");
    return -1;
  }
  uint32_t c = v->fourcc;
  if (c != FCC('a', 'v', 'c', '1') && c != FCC('a', 'v', 'c', '3') && c != FCC('m', 'p', '4', 'v')) {
    char name[5] = {0};
    for (int i = 0; i < 4; i++) {
      char ch = (char)(c >> (24 - 8 * i));
      name[i] = ch >= 0x20 && ch < 0x7F ? ch : '?';
    }
    snprintf(why, size, "video is '%s', not H.264", name);
    return -1;
  }
  Tables tb;
  if (!tables(v, &tb) || tb.samples == 0) {
    snprintf(why, size, "no video samples in the index (moov)");
    return -1;
  }
  return 0;
}

int mp4_seek(Mp4Muxer *m, uint64_t time) {
  Mp4Track *v, *a;
  if (!ready(m, "mp4_seek", &v, &a)) return -1;
  int rc = track_seek(v, (uint64_t)((unsigned __int128)time * v->timescale / 90000));
  if (rc == 0 && a) track_seek(a, (uint64_t)((unsigned __int128)v->current_time * a->timescale / v->timescale));
  return rc;
}

int mp4_play(Mp4Muxer *m) {
  Mp4Track *v, *a;
  if (!ready(m, "mp4_play", &v, &a)) return -1;
  for (uint32_t n = 0; a && time_cmp(a, v) <= 0; n++) {
    if (n == MP4_PLAY_MAX_SAMPLES) return too_many(m, "mp4_play");
    if (track_play_step(m, a)) break;
  }
  if (mp4_has_error(m)) return -1;
  return track_play_step(m, v);
}

int mp4_play_reverse(Mp4Muxer *m) {
  Mp4Track *v, *a;
  if (!ready(m, "mp4_play_reverse", &v, &a)) return -1;
  for (uint32_t n = 0; a && time_cmp(a, v) >= 0; n++) {
    if (n == MP4_PLAY_MAX_SAMPLES) return too_many(m, "mp4_play_reverse");
    if (track_reverse_step(m, a)) break;
  }
  if (mp4_has_error(m)) return -1;
  return track_reverse_step(m, v);
}

uint32_t mp4_get_parameter_size(Mp4Muxer *m) {
  if (!m) return 0;
  if ((m->flags & MP4_FLAG_READER) && open_reader(m)) return 0;
  Mp4Box *cfg = config_box(m);
  if (!cfg) return 0;
  if (cfg->type == FCC('e', 's', 'd', 's')) {
    uint32_t n = ((Mp4Esds *)cfg)->dsi_len;
    return n <= MP4_DSI_MAX ? n : MP4_DSI_MAX;
  }
  const uint8_t *sps, *pps;
  uint32_t sps_len, pps_len;
  if (!avcc_sets((Mp4AvcC *)cfg, &sps, &sps_len, &pps, &pps_len)) return 0;
  return sps_len + pps_len + 8;
}

void mp4_get_parameter_data(Mp4Muxer *m, uint8_t *buffer) {
  if (!is_reader(m, "mp4_get_parameter_data") || !buffer || open_reader(m)) return;
  Mp4Box *cfg = config_box(m);
  if (!cfg) return;
  if (cfg->type == FCC('e', 's', 'd', 's')) {
    const Mp4Esds *e = (const Mp4Esds *)cfg;
    memcpy(buffer, e->dsi, e->dsi_len <= MP4_DSI_MAX ? e->dsi_len : MP4_DSI_MAX);
    return;
  }
  const uint8_t *sps, *pps;
  uint32_t sps_len, pps_len;
  if (!avcc_sets((Mp4AvcC *)cfg, &sps, &sps_len, &pps, &pps_len)) return;
  static const uint8_t sc[4] = {0, 0, 0, 1};
  memcpy(buffer, sc, 4);
  memcpy(buffer + 4, sps, sps_len);
  memcpy(buffer + 4 + sps_len, sc, 4);
  memcpy(buffer + 8 + sps_len, pps, pps_len);
}

int mp4_sample_to_annexb(uint8_t *data, uint32_t len) {
  uint32_t pos = 0;
  while (len - pos >= 4) {
    const uint8_t *p = data + pos;
    uint32_t n = (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
    if (n > len - pos - 4) return -1;
    data[pos] = data[pos + 1] = data[pos + 2] = 0;
    data[pos + 3] = 1;
    pos += 4 + n;
  }
  return pos == len ? 0 : -1;
}

int mp4_adts_header(Mp4Muxer *m, uint32_t size, uint8_t *h) {
  if (!m || !(m->flags & MP4_FLAG_READER) || open_reader(m)) return -1;
  Mp4Track *a = track_of(m, FCC('s', 'o', 'u', 'n'));
  Mp4Box *stsd = a ? box_find(stbl_of(a), FCC('s', 't', 's', 'd')) : NULL;
  Mp4Esds *e = stsd && stsd->child ? (Mp4Esds *)box_find(stsd->child, FCC('e', 's', 'd', 's')) : NULL;
  if (!e || e->dsi_len < 2) return -1;
  uint32_t object = e->dsi[0] >> 3;
  uint32_t freq = (uint32_t)(e->dsi[0] & 7) << 1 | e->dsi[1] >> 7;
  uint32_t channels = (e->dsi[1] >> 3) & 15;
  uint64_t total = (uint64_t)size + 7;
  if (object < 1 || object > 4 || freq > 12 || total > 0x1FFF) return -1;
  h[0] = 0xFF;
  h[1] = 0xF1;  // MPEG-4, layer 0, no CRC
  h[2] = (uint8_t)((object - 1) << 6 | freq << 2 | channels >> 2);
  h[3] = (uint8_t)((channels & 3) << 6 | (uint32_t)total >> 11);
  h[4] = (uint8_t)(total >> 3);
  h[5] = (uint8_t)((uint32_t)(total & 7) << 5 | 0x1F);
  h[6] = 0xFC;
  return 0;
}
