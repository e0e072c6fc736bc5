// MPEG-TS muxer (ISO/IEC 13818-1): one frame at a time (an H.264 access unit
// in Annex-B form, an ADTS AAC frame or a chunk of 16-bit stereo PCM) into
// 188-byte packets, with PAT/PMT, a PCR packet and the PES framing in front.
// No thread, no lock: one TsMux per muxed consumer, driven by its thread.
#pragma once
#include <cstddef>
#include <cstdint>

#define TS_PACKET_SIZE 188
// Tables follow the clock: a PAT and a PMT once this many 90 kHz ticks have
// passed since the last ones (about every 100 ms of video).
#define TSMUX_PSI_INTERVAL 9001u

// tsmux_write results below 0.
#define TSMUX_EINVAL (-1)   // NULL pointer, or no stream has that PID
#define TSMUX_ENOSPC (-2)   // does not fit the output; the TsMux is unchanged

struct TsStream {
  uint32_t pid;            // 0: the stream is absent
  uint8_t stream_type;     // 0x1B H.264, 0x10 MPEG-4 visual, 0x0F AAC, 0x03 MPEG audio, 0x06 PCM
  uint8_t profile_idc;     // video: H.264 profile_idc
  uint8_t level_idc;       // video: H.264 level_idc; MPEG-4: profile_and_level_indication
  uint8_t spare;
  uint8_t key;             // the current PES carries a key frame
  uint32_t pts, prev_pts;  // 90 kHz, low 32 bits; set pts before each tsmux_write
  uint8_t pts_bit32;       // the 33rd bit, toggled when pts wraps
  uint32_t dts, prev_dts;  // 0 with dts_bit32 0: no DTS is written
  uint8_t dts_bit32;
  uint8_t cc;              // continuity counter (low 4 bits)
  uint8_t stream_id;       // PES stream_id; 0 picks the default for the record
  uint32_t registration;   // audio 0x06: 1 marks SMPTE 302M
  char format_id[4];       // registration descriptor's format_identifier
  uint32_t aes3_frame;     // SMPTE 302M: AES3 frame counter, 0..191
  // Demuxer: the PES being scanned (pes_len 0 = ends at the next PES start),
  // where its first packet lies in the caller's buffer, PES read so far,
  // continuity errors, and the counter expected next.
  uint32_t pes_len, pes_seen;
  uint32_t read_offset;
  uint32_t pes_count;
  uint32_t cc_errors;
  uint8_t pes_open;
  uint8_t expect_cc;
};

struct TsMux {
  TsStream audio;
  TsStream video;
  uint32_t pmt_pid;
  uint32_t pcr_pid;
  uint32_t clock;          // 90 kHz: the PCR of the next PCR packet (caller sets)
  uint32_t last_pcr_clock;
  uint8_t pcr_bit32;
  uint32_t last_psi_time;  // set to TSMUX_PSI_INTERVAL or more before clock so
                           // that the first write carries the tables
  uint8_t pat_cc, pmt_cc, pcr_cc;
  uint8_t pes_ext_written; // PCM without 302M: the P-STD extension goes once
  // Demuxer (ts_demux.cpp): what the PAT and PMT said, the expected
  // continuity counters of the tables and the PCR PID, the last PCR, and
  // where the next scan starts in the caller's buffer.
  uint32_t program_number;
  uint32_t pmt_crc;        // of the PMT last learnt: a repeat is not parsed again
  uint8_t pat_expect_cc, pmt_expect_cc, pcr_expect_cc;
  uint8_t discontinuity;
  uint32_t pcr;            // 90 kHz, low 32 bits
  uint8_t pcr33;           // its 33rd bit
  uint32_t scan_offset;
  uint32_t result_len;     // payload length of the PES the scan completed
  uint32_t result_pid;
  // Set by the caller when the buffer ends where the input ends: a PES of
  // unbounded length still open there is complete.
  uint8_t at_end;
};

// A zeroed TsMux, or NULL.
TsMux *tsmux_new(void);
void tsmux_delete(TsMux *mux);

// Muxes one frame of the stream whose record has `pid` into dest: tables when
// due, a PCR packet when the clock moved, then the PES packets. Before the
// call set, for video, clock = pts + 900, video.key and video.pts; for audio
// only audio.pts. Returns the bytes written (a multiple of 188), or
// TSMUX_EINVAL / TSMUX_ENOSPC. On TSMUX_ENOSPC the TsMux is as it was before
// the call (counters, wrap bits), so the same frame can be written later.
int tsmux_write(TsMux *mux, uint32_t pid, uint8_t *dest, size_t dest_size,
                const uint8_t *data, uint32_t len);

// Upper bound of what tsmux_write produces for a frame of len bytes, tables
// and PCR included: a mux buffer at least this large takes the frame.
size_t tsmux_max_size(uint32_t len);

// Builds the PES header (and, for H.264, the access-unit delimiter) for the
// stream of `pid` into hdr (room for 64 bytes) and returns its length; 0 when
// no stream has that PID. Updates the 33-bit wrap tracking of the stream.
// key and cc (optional) receive the stream's key flag and continuity counter.
uint32_t tsmux_pes_header(TsMux *mux, uint32_t pid, uint8_t *key, uint8_t *cc,
                          uint8_t *hdr, const uint8_t *data, uint32_t len);

// Writes one 188-byte packet: hdr (first packet of a PES: sets
// payload_unit_start_indicator), then as much of data as fits, with
// adaptation-field stuffing when they do not fill it. Returns the bytes taken
// from data. hdr_len must not exceed 184.
uint32_t tsmux_write_packet(uint8_t *pkt, uint32_t pid, uint8_t cc, int priority,
                            const uint8_t *hdr, uint32_t hdr_len,
                            const uint8_t *data, uint32_t len);

// SMPTE 302M twin of tsmux_write_packet for 16-bit stereo PCM (little-endian
// pairs of samples). The packed payload is 5 bytes per pair; `offset` is the
// position in it where this packet starts, so a 5-byte group may straddle two
// packets. hdr (PES header plus the 4-byte AES3 header) is given only for the
// first packet, which also carries random_access_indicator. frame0 is the AES3
// frame counter at the first pair of the PES. Returns the packed bytes taken.
uint32_t s302m_write_packet(uint8_t *pkt, uint32_t pid, uint8_t cc,
                            const uint8_t *hdr, uint32_t hdr_len,
                            const uint8_t *pcm, uint32_t pairs, uint32_t offset,
                            uint32_t frame0);

// Demuxing (ts_demux.cpp) with a zeroed TsMux: the PIDs are learnt from the
// PAT and PMT met on the way. The caller owns the buffer of packets and
// slides it through the file; the offsets kept in the TsMux are positions in
// that buffer.
//
// Scans from the scan offset for the next PES of a known elementary stream
// that completes inside buffer[0, len) (at its declared length, or when the
// next PES of its PID starts); returns its PID with its payload length in
// result_len, or 0 when none completes.
uint32_t tsmux_read_next(TsMux *mux, const uint8_t *buffer, size_t len);
// Copies the payload of the completed PES of pid (the audio or video stream)
// into out and returns its length. 0 when it does not complete in the buffer,
// when pid is not a known stream, or when the payload is larger than
// capacity: that PES is dropped with a log line and the stream moves past it.
uint32_t tsmux_read(TsMux *mux, uint32_t pid, uint8_t *out, size_t capacity,
                    const uint8_t *buffer, size_t len);
// The lowest buffer offset the demuxer still needs: the caller may drop the
// bytes before it.
uint32_t tsmux_needed_from(const TsMux *mux);
// The caller dropped n bytes from the front of its buffer. A PES that began
// in them is dropped with a log line (a full buffer holding one unfinished
// PES is given up this way rather than waited on forever).
void tsmux_slide(TsMux *mux, uint32_t n);
// The caller's buffer starts afresh at another place in the file: open PES
// packets are forgotten and the continuity counters are learnt again (the
// PAT and PMT learnt are kept).
void tsmux_reposition(TsMux *mux);
