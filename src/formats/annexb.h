// H.264 access units in Annex-B byte-stream form (ITU-T H.264 Annex B): NAL
// units behind 3-byte (00 00 01) or 4-byte (00 00 00 01) start codes.
#pragma once
#include <cstddef>
#include <cstdint>

// Offset of the next 00 00 01 at or after from, or len.
size_t annexb_find_start_code(const uint8_t *d, size_t len, size_t from);
// Whether d begins with a 3- or 4-byte start code.
bool annexb_starts_with_start_code(const uint8_t *d, size_t len);
// nal_unit_type of the first NAL unit when d begins with a start code, else -1.
int annexb_first_nal_type(const uint8_t *d, size_t len);

// Walks the NAL units of a frame; bytes before the first start code are not
// a NAL unit.
struct AnnexbWalk {
  const uint8_t *d;
  size_t len;
  size_t next;  // the next start code's 00 00 01
};

void annexb_walk_init(AnnexbWalk *w, const uint8_t *d, size_t len);
// The next non-empty NAL unit as [*start, *end). *end is also where the next
// start code begins, its leading zero_byte included.
bool annexb_walk_next(AnnexbWalk *w, size_t *start, size_t *end);
