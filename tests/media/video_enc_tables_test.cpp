// The encoder's pure tables: capture geometry from the settings, the level
// by H.264 Table A-1, rate-control limits, VUI timing, the pixel aspect
// ratio, error names, snapshot sizes and the JPEG metadata insertion.
#include <gtest/gtest.h>
#include <vector>

#include "core/param_block.h"
#include "media/stream_ids.h"
#include "media/video_enc.h"
#include "platform/capture_ioctl.h"

namespace {

VideoChannelParams settings(uint8_t mode, uint16_t w, uint16_t h) {
  VideoChannelParams s{};
  s.stream_mode = mode;
  s.width = w;
  s.height = h;
  s.frame_rate = 1;
  s.interlaced = 1;
  return s;
}

VideoGeometry derive(const VideoChannelParams &s, VideoInput in) {
  VideoGeometry g;
  video_derive_geometry(&s, &in, &g);
  return g;
}

}  // namespace

TEST(VideoGeometry, SizePitchFormatAndFlip) {
  VideoInput in{1920, 1080, 30000, 0};
  VideoChannelParams s = settings(StreamMode_H264_ES, 0, 0);
  s.flip = 3;
  VideoGeometry g = derive(s, in);
  EXPECT_EQ(g.video_type, VIDEO_TYPE_H264);
  EXPECT_EQ(g.width, 1920u);  // 0 takes the input's size
  EXPECT_EQ(g.height, 1080u);
  EXPECT_EQ(g.fourcc, (uint32_t)V4L2_PIX_FMT_NV12);
  EXPECT_EQ(g.pitch, 1920u);
  EXPECT_EQ(g.flip, 0);       // above 720 x 576 the encoder never flips
  EXPECT_EQ(g.field, (uint32_t)V4L2_FIELD_NONE);
  EXPECT_EQ(g.fps, 30000u);

  s = settings(StreamMode_H264_ES, 710, 400);
  s.flip = 3;
  g = derive(s, in);
  EXPECT_EQ(g.pitch, 736u);   // (710 + 31) rounded down to 32
  EXPECT_EQ(g.flip, 3);

  s = settings(StreamMode_UYVY, 710, 400);
  s.flip = 3;
  g = derive(s, in);
  EXPECT_EQ(g.fourcc, (uint32_t)V4L2_PIX_FMT_UYVY);
  EXPECT_EQ(g.pitch, 1440u);  // 2 bytes a pixel
  EXPECT_EQ(g.flip, 0);

  s = settings(StreamMode_JPEG, 1920, 1080);
  s.flip = 7;
  EXPECT_EQ(derive(s, in).flip, 4);  // JPEG: only the rotation bit
}

TEST(VideoGeometry, DecimationAt1080p60) {
  VideoChannelParams s = settings(StreamMode_H264_ES, 0, 0);
  VideoGeometry g = derive(s, VideoInput{1920, 1080, 60000, 0});
  EXPECT_EQ(g.decimation, 2);
  EXPECT_EQ(g.min_decimation, 2);
  EXPECT_EQ(g.fps, 30000u);
  s.frame_rate = 3;
  g = derive(s, VideoInput{1920, 1080, 60000, 0});
  EXPECT_EQ(g.decimation, 3);
  EXPECT_EQ(g.fps, 20000u);
  // 720p60 and 1080p30 keep their rate.
  s.frame_rate = 0;
  EXPECT_EQ(derive(s, VideoInput{1280, 720, 60000, 0}).fps, 60000u);
  EXPECT_EQ(derive(s, VideoInput{1920, 1080, 30000, 0}).decimation, 1);
}

TEST(VideoGeometry, InterlacedFieldOrders) {
  struct Case { uint8_t setting; uint16_t h; uint8_t slices; uint32_t field; uint32_t cap_h; uint32_t fps; };
  const Case cases[] = {
      {0, 480, 0, V4L2_FIELD_INTERLACED, 480, 29970},
      {0, 1080, 0, V4L2_FIELD_TOP, 1080, 29970},
      {1, 1080, 0, V4L2_FIELD_INTERLACED, 1080, 29970},
      {4, 480, 0, V4L2_FIELD_INTERLACED, 480, 29970},
      {6, 480, 0, V4L2_FIELD_SEQ_BT, 480, 29970},
      {12, 480, 0, V4L2_FIELD_INTERLACED, 480, 29970},      // unknown: as 0
      {1, 480, 1, V4L2_FIELD_ALTERNATE, 240, 59940},        // slices: one field a buffer
      {8, 480, 1, V4L2_FIELD_ALTERNATE, 240, 59940},
      {2, 480, 1, V4L2_FIELD_TOP, 480, 29970},
  };
  for (const Case &c : cases) {
    VideoChannelParams s = settings(StreamMode_H264_ES, 720, c.h);
    s.interlaced = c.setting;
    s.slice_mode = c.slices;
    VideoGeometry g = derive(s, VideoInput{720, 480, 59940, 1});
    EXPECT_EQ(g.field, c.field) << (int)c.setting;
    EXPECT_EQ(g.alternate, c.field == (uint32_t)V4L2_FIELD_ALTERNATE) << (int)c.setting;
    EXPECT_EQ(g.capture_height, c.cap_h) << (int)c.setting;
    EXPECT_EQ(g.fps, c.fps) << (int)c.setting;
  }
  // Progressive input has no fields whatever the setting.
  VideoChannelParams s = settings(StreamMode_H264_ES, 720, 480);
  s.interlaced = 6;
  EXPECT_EQ(derive(s, VideoInput{720, 480, 59940, 0}).field, (uint32_t)V4L2_FIELD_NONE);
}

TEST(VideoGeometry, SliceLinesRoundUpTo16) {
  VideoChannelParams s = settings(StreamMode_H264_ES, 0, 0);
  VideoInput in{1920, 1080, 30000, 0};
  s.slice_mode = 1;
  EXPECT_EQ(derive(s, in).slice_lines, 224u);  // 1080 / 5 = 216
  s.slice_mode = 100;
  EXPECT_EQ(derive(s, in).slice_lines, 112u);
  s.slice_mode = 0;
  EXPECT_EQ(derive(s, in).slice_lines, 0u);
  // As tall as the picture: whole frames.
  s = settings(StreamMode_H264_ES, 320, 240);
  s.slice_mode = 255;
  EXPECT_EQ(derive(s, in).slice_lines, 0u);
}

TEST(H264Level, TableA1) {
  struct Case { uint32_t w, h, fps, rate; int profile, configured, alt, level; };
  const Case cases[] = {
      {1920, 1080, 30000, 5000000, 100, 40, 0, 40},
      {1920, 1080, 30000, 5000000, 100, 30, 0, 40},   // raised
      {1920, 1080, 60000, 5000000, 100, 40, 0, 42},   // 8160 MBs x 60
      {1280, 720, 30000, 5000000, 100, 30, 0, 31},
      {1280, 720, 60000, 5000000, 100, 30, 0, 32},
      {640, 360, 30000, 1000000, 100, 20, 0, 30},     // 27600 MB/s: beyond 2.2
      {720, 480, 29970, 20000000, 77, 30, 0, 32},     // 20 Mbit/s in Main: 3.2
      {720, 480, 29970, 12000000, 100, 30, 0, 30},    // High allows 12.5 Mbit/s at 3
      {176, 144, 15000, 100000, 66, 10, 0, 9},        // 100 kbit/s: 1b
      {176, 144, 15000, 100000, 66, 9, 0, 9},
      {176, 144, 15000, 60000, 66, 9, 0, 10},         // 1b configured, the table says 1
      {1920, 1080, 59940, 8000000, 100, 40, 1, 40},   // fields: 34 rows of 120
      {1920, 1080, 59940, 8000000, 100, 42, 1, 41},   // fields stay within 21..41
      {320, 240, 59940, 200000, 100, 12, 1, 21},
      {4096, 2304, 60000, 20000000, 100, 40, 0, 51},  // beyond the table
  };
  for (const Case &c : cases)
    EXPECT_EQ(h264_level_select(c.w, c.h, c.alt, c.fps, c.rate, c.profile, c.configured), c.level)
        << c.w << "x" << c.h << " @" << c.fps << " " << c.rate;
}

// Each limit of each level, at its edge and one past it, the others far
// below theirs: the lowest level whose every limit holds is chosen (51
// past the table). Bit rates in Main, where the table's own rates hold.
TEST(H264Level, EveryLevelsEdges) {
  struct Row { int idc; uint32_t mbps, fs, kbps; };
  const Row a1[] = {{10, 1485, 99, 64},        {9, 1485, 99, 128},        {11, 3000, 396, 192},
                    {12, 6000, 396, 384},      {13, 11880, 396, 768},     {20, 11880, 396, 2000},
                    {21, 19800, 792, 4000},    {22, 20250, 1620, 4000},   {30, 40500, 1620, 10000},
                    {31, 108000, 3600, 14000}, {32, 216000, 5120, 20000}, {40, 245760, 8192, 20000},
                    {41, 245760, 8192, 50000}, {42, 522240, 8704, 50000}, {50, 589824, 22080, 135000},
                    {51, 983040, 36864, 240000}};
  auto lowest = [&](uint32_t mbps, uint32_t fs, uint32_t kbps) {
    for (const Row &r : a1)
      if (mbps <= r.mbps && fs <= r.fs && kbps <= r.kbps) return r.idc;
    return 51;
  };
  for (const Row &r : a1) {
    for (uint32_t past : {0u, 1u}) {
      uint32_t mbps = r.mbps + past, fs = r.fs + past, kbps = r.kbps + past;
      // One macroblock at mbps frames a second; fs macroblocks in a row at
      // one frame a second; one macroblock at one frame a second.
      EXPECT_EQ(h264_level_select(16, 16, 0, mbps * 1000, 1000, 77, 10), lowest(mbps, 1, 1)) << r.idc << "+" << past;
      EXPECT_EQ(h264_level_select(16 * fs, 16, 0, 1000, 1000, 77, 10), lowest(fs, fs, 1)) << r.idc << "+" << past;
      EXPECT_EQ(h264_level_select(16, 16, 0, 1000, kbps * 1000, 77, 10), lowest(1, 1, kbps)) << r.idc << "+" << past;
    }
  }
  EXPECT_EQ(h264_level_select(1920, 1080, 0, 30000, 20000000, 77, 10), 40);
  EXPECT_EQ(h264_level_select(1920, 1080, 0, 30000, 20001000, 77, 10), 41);
  EXPECT_EQ(h264_level_select(1920, 1080, 0, 30000, 25000000, 100, 10), 40);   // High: 1.25 times
  EXPECT_EQ(h264_level_select(1920, 1080, 0, 30000, 25001000, 100, 10), 41);
}

TEST(H264Tables, VuiTimingGivesTheFrameRate) {
  struct Case { uint32_t fps, dec; int alt; int ts, units, target; };
  const Case cases[] = {
      {29970, 1, 0, 60000, 1001, 30000},
      {59940, 1, 0, 120000, 1001, 60000},
      {29970, 2, 0, 60000, 1001, 30000},   // 59.94 halved
      {30000, 1, 0, 30000, 500, 30000},
      {25000, 1, 0, 25000, 500, 25000},
      {24000, 1, 0, 24000, 500, 24000},
      {20000, 3, 0, 20000, 500, 20000},
      {59940, 1, 1, 120000, 2002, 30000},  // one field a picture
      {50000, 1, 1, 50000, 1000, 25000},
      {7492, 4, 0, 7492, 500, 7500},
  };
  for (const Case &c : cases) {
    H264Timing t;
    h264_vui_timing(c.fps, c.dec, c.alt, &t);
    EXPECT_EQ(t.time_scale, c.ts) << c.fps << "/" << c.dec;
    EXPECT_EQ(t.units_per_tick, c.units) << c.fps << "/" << c.dec;
    EXPECT_EQ(t.target_fps, c.target) << c.fps << "/" << c.dec;
    // H.264: frames per second = time_scale / (2 x num_units_in_tick).
    double rate = t.time_scale / (2.0 * t.units_per_tick);
    EXPECT_NEAR(rate, c.fps / 1000.0 / (c.alt ? 2 : 1), 0.01) << c.fps;
  }
}

TEST(H264Tables, PixelAspectRatio) {
  struct Case { int code; uint32_t w, h; bool written; int x, y; };
  const Case cases[] = {{1, 720, 480, true, 8, 9},    {2, 720, 480, true, 32, 27},
                        {2, 1920, 1080, true, 1, 1},  {1, 720, 576, true, 16, 15},
                        {0, 720, 480, false, 1, 1},   {3, 720, 480, false, 1, 1}};
  for (const Case &c : cases) {
    int x = 0, y = 0;
    EXPECT_EQ(h264_pixel_aspect(c.code, c.w, c.h, &x, &y), c.written) << c.code << " " << c.w;
    EXPECT_EQ(x, c.x) << c.code << " " << c.w;
    EXPECT_EQ(y, c.y) << c.code << " " << c.w;
  }
}

TEST(VideoEncTables, SnapshotReduceSize) {
  struct Case { int w, h, rw, rh; };
  const Case cases[] = {{768, 576, 768, 576},   {720, 480, 720, 480},  {1280, 720, 640, 360},
                        {1536, 1152, 768, 576}, {1920, 1080, 640, 360}, {3064, 2040, 1021, 680},
                        {4000, 3000, 640, 480}};
  for (const Case &c : cases) {
    int w = c.w, h = c.h;
    snapshot_reduce_size(&w, &h);
    EXPECT_EQ(w, c.rw) << c.w << "x" << c.h;
    EXPECT_EQ(h, c.rh) << c.w << "x" << c.h;
  }
}

TEST(JpegMetadata, InsertedBeforeTheClosingMarkerWhenItFits) {
  const std::vector<uint8_t> pic = {0xFF, 0xD8, 1, 2, 3, 0xFF, 0xD9};
  const uint8_t meta[] = {0xFF, 0xFE, 0x00, 0x04, 'h', 'i'};
  std::vector<uint8_t> buf(64, 0xAA);
  std::copy(pic.begin(), pic.end(), buf.begin());
  uint32_t n = jpeg_insert_metadata(buf.data(), 7, 64, meta, sizeof meta, 1);
  ASSERT_EQ(n, 13u);
  const std::vector<uint8_t> want = {0xFF, 0xD8, 1, 2, 3, 0xFF, 0xFE, 0, 4, 'h', 'i', 0xFF, 0xD9};
  EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + n), want);
  EXPECT_EQ(buf[13], 0xAA);
  // Disabled, absent, or too big for the space: the picture stays as it was.
  std::copy(pic.begin(), pic.end(), buf.begin());
  EXPECT_EQ(jpeg_insert_metadata(buf.data(), 7, 64, meta, sizeof meta, 0), 7u);
  EXPECT_EQ(jpeg_insert_metadata(buf.data(), 7, 64, nullptr, 6, 1), 7u);
  EXPECT_EQ(jpeg_insert_metadata(buf.data(), 7, 12, meta, sizeof meta, 1), 7u);
  EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 7), pic);
  // Not a whole picture: nothing to insert into.
  EXPECT_EQ(jpeg_insert_metadata(buf.data(), 5, 64, meta, sizeof meta, 1), 5u);
}
