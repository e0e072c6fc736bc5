// Shared by the host codecs behind codec_engine.h; nothing outside
// src/platform/ includes it.
#pragma once
#include "platform/framework/codec_engine.h"

enum { ENGINE_MAGIC = 0x454e4743 };

struct Engine_Object {
  uint32_t magic;
};

bool engine_valid(Engine_Handle engine);

// True when input or output buffer i is there and holds at least need bytes.
inline bool codec_buf_ok(const CodecBufDesc *b, int i, int64_t need) {
  return b && b->numBufs > i && b->bufs[i] && b->bufSizes[i] >= need;
}
