// The playback thread's ADTS walk over arbitrary bytes, each frame it yields
// decoded as the thread does: every frame must lie inside the buffer, the
// walk must move forward, and the decoder must refuse or decode, never more.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "media/sound.h"

namespace {

struct Decoder {
  Engine_Handle engine = Engine_open("encode", nullptr, nullptr);
  Adec1_Handle dec = Adec1_create(engine, "aacdec", &Adec1_Params_DEFAULT, nullptr);
  Buffer_Handle in, out;
  Decoder() {
    Buffer_Attrs ref = Buffer_Attrs_DEFAULT;
    ref.reference = true;
    in = Buffer_create(AUDIO_BUF_BYTES, &ref);
    out = Buffer_create(AUDIO_BUF_BYTES, &Buffer_Attrs_DEFAULT);
  }
};

}  // namespace

int fuzz_one(const uint8_t *data, size_t size) {
  static Decoder d;
  if (!d.dec || !d.in || !d.out) abort();
  // The thread's buffers hold 4096 bytes.
  if (size > AUDIO_BUF_BYTES) size = AUDIO_BUF_BYTES;
  size_t pos = 0;
  AdtsFrame f;
  int r;
  size_t before = pos;
  while ((r = adts_next_frame(data, size, &pos, &f)) == 1) {
    // Each frame moves the walk on: one that stays would never end.
    if (f.offset + f.length != pos || pos <= before || f.length < f.header || pos > size || f.rate <= 0) abort();
    before = pos;
    Buffer_setUserPtr(d.in, (int8_t *)data + f.offset);
    Buffer_setSize(d.in, f.length);
    Buffer_setNumBytesUsed(d.in, f.length);
    if (Adec1_process(d.dec, d.in, d.out) < 0) {
      // The thread starts a fresh decoder after a failure.
      Adec1_delete(d.dec);
      d.dec = Adec1_create(d.engine, "aacdec", &Adec1_Params_DEFAULT, nullptr);
      if (!d.dec) abort();
    } else if (Buffer_getNumBytesUsed(d.out) > Buffer_getSize(d.out) ||
               Buffer_getNumBytesUsed(d.in) > f.length) {
      abort();
    }
  }
  if (r < 0 && pos >= size) abort();
  return 0;
}
