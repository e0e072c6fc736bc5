// Every font and style in NV12 and UYVY against reviewed reference frames
// (tests/osd/golden/<layout>_font<n>.pgm: the eight styles' frames one after
// the other). M7391_UPDATE_GOLDENS=1 rewrites them; review any change by
// looking at the frames before committing.
#include <gtest/gtest.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "osd_test_frames.h"

namespace {

struct Geometry {
  uint32_t width, pitch, lines;
  int32_t x, y;
};

// Two cells and a half fit on a line (one and a half in font 4) and a line and
// a half in the frame, so that the last character of the first line and the
// second line are cut; the odd left edge starts every cell unaligned.
Geometry geometry(int font, int layout) {
  Geometry g;
  g.x = 3;
  g.y = 2;
  g.width = 3 + (font == 4 ? 1 : 2) * osd_cell_width[font] + osd_cell_width[font] / 2;
  g.pitch = layout == OSD_LAYOUT_UYVY ? 2 * g.width : g.width;
  g.lines = 2 + osd_cell_height[font] + osd_cell_height[font] / 2;
  g.lines += g.lines & 1;
  return g;
}

// 0x7F is no printable character: it draws as a space.
const char kText[] = "g\x7fH\n4y\nx";

std::string golden_path(int layout, int font) {
  char name[64];
  snprintf(name, sizeof name, "/tests/osd/golden/%s_font%d.pgm", layout == OSD_LAYOUT_UYVY ? "uyvy" : "nv12", font);
  return std::string(M7391_SOURCE_DIR) + name;
}

bool read_pgm(const std::string &path, uint32_t *w, uint32_t *h, std::vector<uint8_t> *data) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return false;
  unsigned max = 0;
  bool ok = fscanf(f, "P5 %u %u %u", w, h, &max) == 3 && max == 255 && fgetc(f) != EOF;
  if (ok) {
    data->resize((size_t)*w * *h);
    ok = fread(data->data(), 1, data->size(), f) == data->size();
  }
  fclose(f);
  return ok;
}

void write_pgm(const std::string &path, uint32_t w, uint32_t h, const std::vector<uint8_t> &data) {
  FILE *f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  fprintf(f, "P5 %u %u 255\n", w, h);
  fwrite(data.data(), 1, data.size(), f);
  fclose(f);
}

class RenderGolden : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(RenderGolden, MatchesReviewedFrames) {
  int layout = std::get<0>(GetParam()), font = std::get<1>(GetParam());
  Geometry g = geometry(font, layout);
  size_t size = osd_test_frame_size(g.pitch, g.lines, layout);
  std::vector<uint8_t> all;
  static ParamBlock block;
  for (int style = 0; style < 8; style++) {
    osd_test_setup(&block, g.pitch, g.lines, layout, font, style, g.x, g.y);
    GuardedFrame fr(size);
    osd_test_fill_picture(fr.frame(), g.pitch, g.lines, layout);
    osdDrawText(0, fr.frame(), kText);
    EXPECT_EQ(fr.guard_damage(), -1) << "style " << style;
    all.insert(all.end(), fr.frame(), fr.frame() + size);
  }
  std::string path = golden_path(layout, font);
  uint32_t rows = (uint32_t)(all.size() / g.pitch);
  const char *update = getenv("M7391_UPDATE_GOLDENS");
  if (update && *update == '1') {
    write_pgm(path, g.pitch, rows, all);
    return;
  }
  uint32_t w = 0, h = 0;
  std::vector<uint8_t> want;
  ASSERT_TRUE(read_pgm(path, &w, &h, &want)) << path;
  ASSERT_EQ(w, g.pitch);
  ASSERT_EQ(h, rows);
  for (size_t i = 0; i < all.size(); i++) {
    if (all[i] != want[i]) {
      size_t style = i / size, off = i % size;
      ADD_FAILURE() << path << ": style " << style << " differs first at byte " << off << " (line "
                    << off / g.pitch << ", byte " << off % g.pitch << "): " << int(all[i]) << " != "
                    << int(want[i]);
      break;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllFonts, RenderGolden,
                         ::testing::Combine(::testing::Values(OSD_LAYOUT_NV12, OSD_LAYOUT_UYVY),
                                            ::testing::Values(1, 2, 3, 4)),
                         [](const ::testing::TestParamInfo<std::tuple<int, int>> &i) {
                           return std::string(std::get<0>(i.param) == OSD_LAYOUT_UYVY ? "UYVY" : "NV12") +
                                  "_font" + std::to_string(std::get<1>(i.param));
                         });

}  // namespace
