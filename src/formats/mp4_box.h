// MP4 box tree and byte I/O: the Mp4Muxer handle, its targets (file
// descriptor, primary stdio stream with a mirror, caller memory window, or no
// target at all to count bytes), the big-endian field movers shared by reading
// and writing, the box nodes and the error codes. Layouts follow ISO/IEC
// 14496-12, -14 and -15. A handle belongs to one caller: no locks.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#define MP4_FOURCC(a, b, c, d) \
  (((uint32_t)(uint8_t)(a) << 24) | ((uint32_t)(uint8_t)(b) << 16) | \
   ((uint32_t)(uint8_t)(c) << 8) | (uint32_t)(uint8_t)(d))

enum Mp4Error : uint8_t {
  MP4_ERR_NONE = 0,
  MP4_ERR_SEEK = 1,        // "seek out of range"
  MP4_ERR_NOMEM = 2,       // "failed to allocate memory"
  MP4_ERR_BAD_INPUT = 3,   // "bad input"
  MP4_ERR_NULL_BOX = 4,    // "cannot write null box"
  MP4_ERR_RECURSION = 5,   // "recursion limit reached"
  MP4_ERR_OVERFLOW = 6,    // "buffer overflow"
  MP4_ERR_REMUX = 7,       // "remux failed to find mdat"
  MP4_ERR_WRITE = 8,       // "write failed"
  MP4_ERR_MAX_SIZE = 9,    // "maximum size limit reached"
  MP4_ERR_OPEN = 10,       // "file open failed"
  MP4_ERR_DURATION = 11,   // "duration too big"
};

// Mp4Muxer flags.
enum : uint8_t {
  MP4_FLAG_READER = 0x01,
  MP4_FLAG_SHORT_READ = 0x02,   // end of input reached
  MP4_FLAG_DEFRAG = 0x04,
  MP4_FLAG_CHUNK_BREAK = 0x08,  // the next sample of any track starts a chunk
  MP4_FLAG_DUMP = 0x20,
  MP4_FLAG_QT = 0x40,           // QuickTime flavour ('wide' instead of 'free')
};

// Mp4Box node flags.
enum : uint8_t {
  BOX_ALLOCATED = 0x01,
  BOX_WRITE = 0x02,           // written with its parent
  BOX_IN_USE = 0x04,
  BOX_READ_ALLOC = 0x08,      // allocated while reading
  BOX_CALLER_STORAGE = 0x10,  // the node itself is not freed by box_free
};

#define MP4_MAX_DEPTH 20
// Room for an esds DecoderSpecificInfo; longer ones are truncated on reading.
#define MP4_DSI_MAX 128
// SPS and PPS together must stay below this (avcC of the writer).
#define MP4_PARAM_MAX 128
// Reading: memory the box tree of one file may take for its tables and raw
// fields, per table and in all; a file beyond either is refused (bad input).
#define MP4_READ_TABLE_MAX (16u << 20)
#define MP4_READ_TOTAL_MAX (64u << 20)

// Per-sample call of the reader, and of a writer that has one:
// (file offset, decode time, size, flags: 1 sync, 2 sample of a track
// without sync table / audio). The result is ignored.
typedef int (*Mp4SampleCallback)(uint64_t offset, uint64_t time, uint32_t size, uint32_t flags);

struct Mp4Box {
  uint64_t size;        // header plus payload: the value of the box header
  uint32_t type;
  uint64_t offset;      // file position right after the box header
  Mp4Box *child;
  Mp4Box *next;
  Mp4Box *parent;
  uint8_t node_flags;
  uint8_t version;
  uint32_t flags;       // 24 bits
  uint8_t header_size;  // 8, or 16 with a 64-bit size
  uint32_t node_size;   // bytes allocated for the node
  // Table boxes: entry count and the entry array (owned); entry_size bytes
  // each, capacity in bytes.
  uint32_t entry_count;
  uint32_t entry_size;
  size_t entry_capacity;
  void *entries;
  // Raw payload bytes some boxes carry (owned).
  uint8_t *data;
  uint32_t data_len;
};

// Per-type payloads: each starts with its Mp4Box and is allocated with its
// own node size.
struct Mp4Ftyp { Mp4Box box; uint32_t major_brand, minor_version; };  // brands: entries (u32)
struct Mp4Mdat { Mp4Box box; uint64_t payload_start, payload_size; };
struct Mp4Mvhd {
  Mp4Box box;
  uint64_t creation_time, modification_time;
  uint32_t timescale;
  uint64_t duration;
  uint32_t rate;
  uint16_t volume;
  uint32_t matrix[9];
  uint32_t next_track_id;
};
struct Mp4Tkhd {
  Mp4Box box;
  uint64_t creation_time, modification_time;
  uint32_t track_id;
  uint64_t duration;
  int16_t layer, alternate_group;
  uint16_t volume;
  uint32_t matrix[9];
  uint32_t width, height;  // 16.16
};
struct Mp4ElstEntry { uint64_t segment_duration; int64_t media_time; int16_t rate_integer, rate_fraction; };
struct Mp4Mdhd {
  Mp4Box box;
  uint64_t creation_time, modification_time;
  uint32_t timescale;
  uint64_t duration;
  uint16_t language;  // pad bit and three 5-bit letters
  uint16_t pre_defined;
};
struct Mp4Hdlr { Mp4Box box; uint32_t handler_type; };  // name: data (rest of the box)
struct Mp4Vmhd { Mp4Box box; uint16_t graphicsmode, opcolor[3]; };
struct Mp4Smhd { Mp4Box box; int16_t balance; };
struct Mp4Hmhd { Mp4Box box; uint16_t max_pdu, avg_pdu; uint32_t max_bitrate, avg_bitrate; };
struct Mp4VisualEntry {
  Mp4Box box;
  uint16_t data_reference_index;
  uint16_t width, height;
  uint32_t horizresolution, vertresolution;
  uint16_t frame_count;
  uint8_t compressorname[32];
  uint16_t depth;
};
struct Mp4AudioEntry {
  Mp4Box box;
  uint16_t data_reference_index;
  uint16_t entry_version, revision;
  uint32_t vendor;
  uint16_t channelcount, samplesize, compression_id, packet_size;
  uint32_t samplerate;  // 16.16
  uint32_t samples_per_packet, bytes_per_packet, bytes_per_frame, bytes_per_sample;
};
// mp4s, mett, metx: the text fields (if any) are kept raw in data.
struct Mp4OtherEntry { Mp4Box box; uint16_t data_reference_index; };
// avcC: data holds the SPS records (u16 length + bytes each), then the PPS
// records, then any trailing extension bytes, exactly as in the box.
struct Mp4AvcC {
  Mp4Box box;
  uint8_t configuration_version, profile, profile_compatibility, level;
  uint8_t length_size_minus_one;
  uint8_t num_sps, num_pps;
  uint32_t sps_bytes, pps_bytes;  // lengths of the two record runs in data
};
struct Mp4Esds {
  Mp4Box box;
  uint16_t es_id;
  uint8_t stream_dependence, url_flag, ocr_flag, stream_priority;
  uint16_t depends_on_es_id, ocr_es_id;
  uint8_t url_len;
  char url[256];
  uint8_t object_type, stream_type, upstream;
  uint32_t buffer_size_db, max_bitrate, avg_bitrate;
  uint32_t dsi_len;
  uint8_t dsi[MP4_DSI_MAX];
  uint8_t sl_predefined;
};
struct Mp4Iods {
  Mp4Box box;
  uint8_t tag;     // 0x10 (MP4_IOD_Tag) when written by us
  uint16_t od_id;  // ObjectDescriptorID and the two flags, as on the wire
  uint8_t od_profile, scene_profile, audio_profile, visual_profile, graphics_profile;
};
struct Mp4Pasp { Mp4Box box; uint32_t h_spacing, v_spacing; };
struct Mp4Btrt { Mp4Box box; uint32_t buffer_size_db, max_bitrate, avg_bitrate; };
struct Mp4Fiel { Mp4Box box; uint8_t field_count, field_order; };
struct Mp4ChanDesc { uint32_t label, flags; uint32_t coordinates[3]; };
struct Mp4Chan { Mp4Box box; uint32_t layout_tag, bitmap; };  // entries: Mp4ChanDesc
struct Mp4Stsz { Mp4Box box; uint32_t sample_size, sample_count; };  // entries: u32 when sample_size is 0
struct Mp4Stz2 { Mp4Box box; uint8_t field_size; };  // entries: u32 sizes
struct Mp4Padb { Mp4Box box; uint32_t sample_count; };  // data: packed pad bits
struct Mp4Sgpd {
  Mp4Box box;
  uint32_t grouping_type, default_length, default_description_index;
  uint32_t count;  // entry_count of the box; data: the entries as on the wire
};
struct Mp4Sbgp { Mp4Box box; uint32_t grouping_type, grouping_type_parameter; };  // entries: {count, index}
struct Mp4Mehd { Mp4Box box; uint64_t fragment_duration; };
struct Mp4Trex {
  Mp4Box box;
  uint32_t track_id, default_sample_description_index, default_sample_duration;
  uint32_t default_sample_size, default_sample_flags;
};
struct Mp4Mfhd { Mp4Box box; uint32_t sequence_number; };
struct Mp4Tfhd {
  Mp4Box box;
  uint32_t track_id;
  uint64_t base_data_offset;
  uint32_t sample_description_index, default_sample_duration, default_sample_size, default_sample_flags;
};
struct Mp4TrunEntry { uint32_t duration, size, flags, composition_offset; };
struct Mp4Trun { Mp4Box box; int32_t data_offset; uint32_t first_sample_flags; };  // entries: Mp4TrunEntry
struct Mp4TfraEntry { uint64_t time, moof_offset; uint32_t traf_number, trun_number, sample_number; };
struct Mp4Tfra { Mp4Box box; uint32_t track_id, length_sizes; };  // entries: Mp4TfraEntry
struct Mp4Mfro { Mp4Box box; uint32_t mfra_size; };
struct Mp4Data { Mp4Box box; uint32_t data_type, locale; };  // value: data
struct Mp4Meta { Mp4Box box; uint8_t quicktime; };  // QuickTime 'meta' has no version and flags

// Table entries.
struct Mp4SttsEntry { uint32_t sample_count, sample_delta; };
struct Mp4StscEntry { uint32_t first_chunk, samples_per_chunk, sample_description_index; };
struct Mp4SbgpEntry { uint32_t sample_count, group_description_index; };

struct Mp4QueueEntry { uint64_t offset; uint32_t size, duration; };

struct Mp4Track {
  uint32_t handler_type;       // 'vide' or 'soun'
  const char *name;            // "Video" or "Audio"
  uint32_t fourcc;             // sample entry
  uint32_t audio_selector;     // 0 = AAC
  uint32_t width, height;
  uint32_t timescale;
  uint32_t default_duration;
  uint32_t spare[3];
  uint32_t sample_rate, channels;
  // Interleave queue: samples held back in the handle's interleave buffer.
  uint32_t queue_count, queue_capacity;
  Mp4QueueEntry *queue;
  uint64_t current_time;
  // Reader cursor.
  uint32_t sample_index, stts_entry, stts_pos, stss_index, stsc_entry, chunk_index, sample_in_chunk;
  uint64_t sample_offset;
  uint32_t still_run;          // reader: samples in a row whose time did not advance
  Mp4Box *trak;                // reader: the track's box in the moov
  // Writer: where this track's current chunk continues.
  uint64_t chunk_end;
};

#define MP4_USER_DATA_MAX (1u << 20)

struct Mp4Muxer {
  int fd;                      // -1 = none
  FILE *file;                  // primary stream
  FILE *mirror;                // receives every byte too
  int owned;                   // file was opened by the handle
  uint8_t flags;
  uint8_t error;
  uint8_t depth;               // rwBox recursion
  uint64_t pos;
  // Memory window.
  uint64_t win_start;
  uint8_t *win;
  uint32_t win_size;
  int32_t adjustment;          // defragmenter only
  // Overflow of the current window: bytes past its end, never delivered.
  uint64_t ovf_start;
  uint8_t *ovf;
  uint32_t ovf_capacity;
  uint64_t highest;            // highest position written
  uint32_t next_track_id;
  Mp4Track *tracks;            // track id n at index n - 1
  void *defrag_callback;
  Mp4Box *last_parent;         // write_child_box
  uint16_t sps_len;
  const uint8_t *sps;
  uint16_t pps_len;
  const uint8_t *pps;
  uint32_t avc_profile, avc_level;
  Mp4Box *moov;
  Mp4Box *mdat;
  Mp4Muxer *partner;
  uint32_t interleave;         // 90 kHz ticks, 0 = off
  uint8_t *ilv_buf;
  uint32_t ilv_capacity;
  uint64_t ilv_deadline;
  uint32_t moov_reserve_estimate, moov_reserve_interval, moov_reserve_countdown;
  uint8_t moov_reserve_full;
  uint32_t moov_reserve_minutes;
  Mp4SampleCallback sample_callback;
  uint64_t max_size;           // 0 = no limit
  // Implementation state beyond the list above.
  uint8_t param_buf[MP4_PARAM_MAX];  // the stored SPS and PPS (or VOL header)
  uint32_t ilv_used;
  uint8_t primary_failed, mirror_failed;
  int file_fd, mirror_fd;      // under file and mirror when fileno has none; -1
  uint8_t max_reached;         // error 9 happened: no further samples
  uint8_t measuring;           // a counting pass run by rwBox itself
  uint8_t read_overrun;        // a field read ran past the current box
  uint64_t read_end;           // reading: end of the current box or input
  uint64_t read_held;          // reading: bytes of tables and fields allocated
  FILE *dump_out;
  // The moov's user data (udta): one 'uuid' box, its 16-byte extended type
  // then the caller's bytes (at most MP4_USER_DATA_MAX); NULL when none.
  uint8_t *user_data;
  uint32_t user_data_len;
};

// Handle.
Mp4Muxer *mp4_new(void);
Mp4Muxer *mp4_new_reader(void);
void mp4_delete(Mp4Muxer *m);
// Opens path "rb" for a reader, else "w+b" (the 64-bit mdat takeover reads the
// file back); the handle closes it. 0, or -1 with error 10.
int mp4_open_file(Mp4Muxer *m, const char *path);
void mp4_set_file(Mp4Muxer *m, FILE *f);
void mp4_set_mirror_file(Mp4Muxer *m, FILE *f);
void mp4_set_fd(Mp4Muxer *m, int fd);
// The descriptors under the primary and the mirror stream, for streams that
// are not plain files over one (a volume's own I/O, which fileno does not
// see through): the mirror's first copy and the cut after a write failure
// use them. -1: the stream's fileno.
void mp4_set_stream_fds(Mp4Muxer *m, int file_fd, int mirror_fd);
// The descriptor under f, one of the handle's streams; -1 when none.
int mp4_stream_fd(const Mp4Muxer *m, FILE *f);
// Writes out what the streams hold buffered, so that the file on the volume
// keeps up with what was written. A stream that fails is a write failure
// (error 8), as in write_n. 0 or -1.
int mp4_flush(Mp4Muxer *m);
// Dump boxes to out while reading (NULL: off).
void mp4_set_dump(Mp4Muxer *m, FILE *out);
void mp4_buf_put(Mp4Muxer *m, void *ptr, uint32_t size);
uint32_t mp4_buf_get(Mp4Muxer *m);
int mp4_get_error(const Mp4Muxer *m);
int mp4_has_error(const Mp4Muxer *m);
const char *mp4_strerror(const Mp4Muxer *m);
const char *mp4_error_text(int code);
void mp4_set_interleave(Mp4Muxer *m, uint32_t ticks);
void mp4_set_sample_callback(Mp4Muxer *m, Mp4SampleCallback callback);
void mp4_set_max_size(Mp4Muxer *m, uint64_t bytes);
// Records code unless the handle already holds one.
void mp4_set_error(Mp4Muxer *m, int code);

// Byte movers: 0 on success, -1 when the bytes did not all move.
int read_n(Mp4Muxer *m, void *buf, int64_t n);
int write_n(Mp4Muxer *m, const void *data, int64_t n);  // data NULL: zeros
uint64_t muxer_pos(Mp4Muxer *m);
int muxer_seek(Mp4Muxer *m, uint64_t pos);

// Big-endian field movers: read into or write from *v by the reader flag.
int rw8(Mp4Muxer *m, uint8_t *v);
int rw16(Mp4Muxer *m, uint16_t *v);
int rw16(Mp4Muxer *m, int16_t *v);
int rw24(Mp4Muxer *m, uint32_t *v);
int rw32(Mp4Muxer *m, uint32_t *v);
int rw32(Mp4Muxer *m, int32_t *v);
int rw64(Mp4Muxer *m, uint64_t *v);
int rw64(Mp4Muxer *m, int64_t *v);
int rw32to64(Mp4Muxer *m, uint64_t *v);
int rw_bytes(Mp4Muxer *m, void *p, uint32_t n);
int rw_version_flags(Mp4Muxer *m, Mp4Box *b);
int rw_descriptor_length(Mp4Muxer *m, uint32_t *len);
int rw_pre_defined(Mp4Muxer *m, int bits, uint32_t value);
int rw_reserved(Mp4Muxer *m, int bits);

// Tree.
Mp4Box *box_alloc(size_t node_size, uint32_t type, uint64_t box_size);
void box_add_child(Mp4Box *child, Mp4Box *parent);
Mp4Box *box_find(const Mp4Box *parent, uint32_t type);
Mp4Box *box_parent(const Mp4Box *box);
void box_free(Mp4Box *tree);
// Unlinks box from its parent (sizes of the ancestors follow) and frees it.
void box_remove(Mp4Box *box);
// Adds delta to the box and every ancestor.
void box_grow(Mp4Box *box, int64_t delta);
// Appends n entries of the box's entry size (copied from src, or zeroed);
// the entry array grows to the next power of two of bytes below 1 MiB, in
// whole MiB above. Returns the first new entry, NULL when out of memory.
void *box_entries_add(Mp4Box *box, uint32_t n, const void *src);
// Makes room for count entries of entry_size bytes; 0 or -1.
int grow_array(Mp4Box *box, uint32_t count);
// Replaces the box's raw data with a copy of len bytes; 0 or -1.
int box_set_data(Mp4Box *box, const void *data, uint32_t len);
// Serialized size of a subtree (only the boxes marked to be written).
uint64_t checkBoxSize(Mp4Box *tree);
// Rewrites the header of an already written box with its current size, taking
// over a preceding 8-byte 'free' ('wide') box when the size needs 64 bits.
int updateBoxSize(Mp4Muxer *m, Mp4Box *box);
uint64_t box_end(const Mp4Box *box);

// Catalogue (mp4_catalogue.cpp).
// Reading: box NULL reads the next box into a new node (NULL when none could
// be read); writing: writes box and its children marked BOX_WRITE. With a
// parent the node is attached to it.
Mp4Box *rwBox(Mp4Muxer *m, Mp4Box *box, Mp4Box *parent);
// Writes box, attaches it to parent and rewrites the ancestors' headers.
int write_child_box(Mp4Muxer *m, Mp4Box *box, Mp4Box *parent);
// Node size for a box type; handler selects the sample entry layout inside
// stsd ('vide', 'soun'...), 0 elsewhere.
size_t box_node_size(uint32_t type, uint32_t handler);
// Allocates a node of the right size for type (BOX_WRITE set, size 0).
Mp4Box *box_new(uint32_t type, uint32_t handler);
// Handler type of the trak that holds box (0 when none).
uint32_t box_handler_type(const Mp4Box *box);
// The audio sampling frequency table of ISO/IEC 14496-3: index of rate, 15
// when the rate is not in it.
int mp4_aac_frequency_index(uint32_t rate);
