// FLV writer: file header with an onMetaData script tag, AVC and AAC sequence
// headers, then one tag per H.264 access unit (Annex-B in, length-prefixed
// NAL units out) or AAC frame (ADTS in, raw out). No thread, no lock: one
// FlvMux per consumer; every write checks the room it is given.
#pragma once
#include <cstddef>
#include <cstdint>

#define FLV_TAG_AUDIO 8
#define FLV_TAG_VIDEO 9
#define FLV_TAG_SCRIPT 18

// Results below 0.
#define FLV_EINVAL (-1)   // NULL pointer, or a frame with nothing to write
#define FLV_ENOSPC (-2)   // does not fit the output; nothing is consumed

struct FlvMux {
  int32_t audio_codec_id;    // 10 AAC; 0 with audiosamplerate 0: no audio
  double audiodatarate;
  double audiosamplerate;
  int32_t audio_sample_size;
  int32_t stereo;
  uint32_t audio_ts;         // ms, of the next audio tag
  int32_t video_codec_id;    // 7 AVC
  double videodatarate;
  int32_t width;
  int32_t height;
  double framerate;
  uint32_t video_ts;         // ms, of the next video tag
  uint8_t audio_tag_header;  // computed by flv_write_header
  int32_t aac_packet_type;   // 1 raw frames (0 only inside flv_write_aac_config)
  int32_t avc_packet_type;   // 1 NAL units (0 only inside flv_write_avc_config)
  int32_t frame_type;        // 1 key frame, 2 inter frame: set before each video tag
  int32_t composition_time;  // ms
};

// A zeroed FlvMux, or NULL.
FlvMux *flv_new(void);
void flv_delete(FlvMux *flv);

// The 9-byte file header, PreviousTagSize0 and the onMetaData tag; computes
// audio_tag_header. Returns the bytes written or FLV_ENOSPC.
int flv_write_header(FlvMux *flv, uint8_t *out, size_t size);

// One tag of type FLV_TAG_AUDIO or FLV_TAG_VIDEO with its trailing
// PreviousTagSize, stamped video_ts or audio_ts. A video payload with AVC
// packet type 1 that begins with a start code has every start code turned
// into a 4-byte length; an AAC raw payload loses its ADTS header. Returns the
// bytes written, FLV_EINVAL or FLV_ENOSPC.
int flv_write_tag(FlvMux *flv, int type, uint8_t *out, size_t size,
                  const uint8_t *data, uint32_t len);

// The AVC sequence header tag (AVCDecoderConfigurationRecord) from the SPS and
// PPS units of a key frame, profile and level read from the SPS. The parameter
// sets that lead the frame are stepped over: *data and *len are moved past
// them. Returns the bytes written (0 and nothing moved when the frame has no
// SPS), or FLV_ENOSPC.
int flv_write_avc_config(FlvMux *flv, uint8_t *out, size_t size,
                         const uint8_t **data, uint32_t *len);

// The AAC sequence header tag: AudioSpecificConfig for AAC LC at 48000 Hz
// with 1 or 2 channels (stereo + 1). Returns the bytes written or FLV_ENOSPC.
int flv_write_aac_config(FlvMux *flv, uint8_t *out, size_t size);

// AMF0 number: marker 0x00 and the big-endian IEEE-754 double; returns 9.
size_t amf_write_number(uint8_t *out, double value);
// AMF0 string body: 16-bit big-endian length and the characters, no marker;
// returns length + 2.
size_t amf_write_string(uint8_t *out, const char *text);
