// The overlay upload's body handler fed as the server feeds it: the header
// and data in pieces of any size, a command without data acted on at once,
// bytes past the announced length dropped, and uploads that are too large,
// cut by their client or meant for the HD on-screen display leaving the
// slots as they were and nothing held; so do commands the overlay would
// drop and images it cannot decode, answered with the reason.
#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>

#include "core/param_block.h"
#include "osd/osd_channel.h"
#include "web/web_request.h"
#include "web/web_upload.h"

namespace {

ParamBlock block;

std::string header(uint32_t length, uint8_t kind, uint8_t opacity, int16_t x, int16_t y) {
  std::string h(10, '\0');
  memcpy(&h[0], &length, 4);
  h[4] = (char)kind;
  h[5] = (char)opacity;
  memcpy(&h[6], &x, 2);
  memcpy(&h[8], &y, 2);
  return h;
}

// Posts body in pieces of `piece` bytes; ends it (cut when aborted).
// Returns whether the request collected errors; *before_close gets slot 3's
// type as it was before the end.
std::string last_errors;
bool upload(const std::string &body, size_t piece, bool aborted = false, uint32_t *before_close = nullptr) {
  WebRequest req;
  web_request_init(&req, nullptr, "/overlay");
  req.row = url_table_lookup("overlay");
  req.permission = 4;
  for (size_t i = 0; i < body.size(); i += piece)
    post_overlay_func(&req, body.data() + i, std::min(piece, body.size() - i));
  req.aborted = aborted;
  if (before_close) *before_close = osd_channel(0)->slots[3].type;
  if (req.close_fn) req.close_fn(&req);
  EXPECT_EQ(req.upload_state, nullptr);
  bool errors = req.errors != nullptr;
  last_errors = req.errors ? req.errors : "";
  web_request_release(&req);
  return errors;
}

TEST(WebOverlayUpload, PiecesCommandsAndRefusals) {
  memset(&block, 0, sizeof block);
  osdInit(&block);
  osdSetFormat(0, 64, 36, OSD_LAYOUT_NV12, 64);
  const OverlaySlot &s = osd_channel(0)->slots[3];
  const std::string rlea = std::string("RLEA\x08\x00\x02\x00\x00\x00", 10) + "\xF8\x80";
  // One byte at a time, with bytes past the announced length.
  EXPECT_FALSE(upload(header((uint32_t)rlea.size(), 0x03, 8, -2, 5) + rlea + "junk", 1));
  EXPECT_EQ(s.type, 2u);
  EXPECT_EQ(s.len, 2u);
  EXPECT_EQ(s.x, -2);
  EXPECT_EQ(s.y, 5);
  EXPECT_EQ(s.width, 8u);
  EXPECT_EQ(s.height, 2u);
  // A command without data acts as soon as its header is in.
  uint32_t type = 9;
  upload(header(0, 0x03, 0, 0, 0), 4, false, &type);
  EXPECT_EQ(type, 0u);
  EXPECT_FALSE(upload(header(2, 0x03, 0, 0, 0) + "extra", 3));
  EXPECT_EQ(s.type, 2u);
  // Nothing of these reaches the slot.
  std::string big = header((16u << 20) + 1, 0x03, 8, 0, 0) + rlea;
  EXPECT_TRUE(upload(big, 7));
  EXPECT_FALSE(upload(header((uint32_t)rlea.size(), 0x03, 8, 9, 9) + rlea.substr(0, 6), 5, true));
  EXPECT_TRUE(upload(header((uint32_t)rlea.size(), 0x03, 8, 9, 9) + rlea.substr(0, 6), 5));
  EXPECT_TRUE(upload(header((uint32_t)rlea.size(), 0x23, 8, 9, 9) + rlea, 64));
  EXPECT_TRUE(upload(header(0, 0x03, 0, 0, 0).substr(0, 7), 64));
  struct Refused {
    std::string body, reason;
  } refused[] = {
      {header(3, 0x33, 0, 0, 0) + "extra", "no such overlay channel"},
      {header(10, 0x03, 8, 0, 0) + std::string("RLEA\0\0\2\0\0\0", 10), "run-length image without its size"},
      {header(16, 0x03, 8, 0, 0) + std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16), "the PNG image cannot be read"},
      {header(8, 0x03, 8, 0, 0) + "GIF89a..", "not a PNG or BMP image"},
      {header((uint32_t)rlea.size(), 0x03, 8, 64, 0) + rlea, "the 8x2 image at 64,0 lies wholly outside the 64x36 frame"},
      {header((uint32_t)rlea.size(), 0x03, 8, 0, -2) + rlea, "the 8x2 image at 0,-2 lies wholly outside the 64x36 frame"},
      // The display refuses (and logs) what it would not show.
      {header((uint32_t)rlea.size(), 0x23, 8, 9, 9) + rlea, "The on-screen display does not show uploaded images"},
  };
  web_osd_post_image = [](const OverlayCommand *) { return -1; };
  for (const Refused &r : refused) {
    EXPECT_TRUE(upload(r.body, 5)) << r.reason;
    EXPECT_NE(last_errors.find("overlay: " + r.reason), std::string::npos) << last_errors;
  }
  web_osd_post_image = nullptr;
  EXPECT_EQ(s.type, 2u);
  EXPECT_EQ(s.x, -2);
}

}  // namespace
