// The overlay upload's body as a client may send it: any header, any data,
// in pieces of any size, ended normally or cut. Whatever arrives, the
// overlay gets at most one command and nothing outside the channel's frame
// or DMA buffer is written.
// Bytes: piece size, ending (bit 0: the client goes away), then the body.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/param_block.h"
#include "osd/osd_channel.h"
#include "osd/osd_composite.h"
#include "web/web_request.h"
#include "web/web_upload.h"

int fuzz_one(const uint8_t *data, size_t size) {
  static ParamBlock block;
  if (size < 2) return 0;
  const size_t piece = 1 + data[0] % 61, lines = 16, pitch = 40, frame = pitch * lines * 3 / 2, guard = 64;
  memset(&block, 0, sizeof block);
  osdInit(&block);
  std::vector<uint8_t> dma(frame + 2 * guard, 0x5A), mem(frame + 2 * guard, 0x5A);
  osdSetFormat(0, pitch, lines, OSD_LAYOUT_NV12, pitch);
  osdSetDMA(0, dma.data() + guard, 0, frame);

  WebRequest req;
  web_request_init(&req, nullptr, "/overlay");
  req.row = url_table_lookup("overlay");
  req.permission = 4;
  for (size_t i = 2; i < size; i += piece)
    post_overlay_func(&req, (const char *)data + i, size - i < piece ? size - i : piece);
  req.aborted = data[1] & 1;
  if (req.close_fn) req.close_fn(&req);
  if (req.upload_state) {
    fprintf(stderr, "the upload is still held after its close\n");
    abort();
  }
  osdComposite(0, mem.data() + guard, 0);
  for (size_t i = 0; i < guard; i++)
    if (mem[i] != 0x5A || mem[guard + frame + i] != 0x5A || dma[i] != 0x5A || dma[guard + frame + i] != 0x5A) {
      fprintf(stderr, "written outside the frame or the DMA buffer\n");
      abort();
    }
  web_request_release(&req);
  osdSetDMA(0, nullptr, 0, 0);
  return 0;
}
