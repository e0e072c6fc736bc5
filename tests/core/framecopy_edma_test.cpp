// EDMA frame copies, checked bit for bit against ffmpeg where ffmpeg does the
// same operation (repacking, flips) and against memmove otherwise.
#include <cstring>
#include <gtest/gtest.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "core/framecopy.h"
#include "core/log.h"
#include "platform/host_root.h"
#include "test_root.h"

extern char **environ;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes noise(size_t n, uint32_t seed) {
  Bytes v(n);
  for (auto &b : v) {
    seed = seed * 1664525u + 1013904223u;
    b = (uint8_t)(seed >> 24);
  }
  return v;
}

void save(const std::string &path, const Bytes &b) {
  FILE *f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fwrite(b.data(), 1, b.size(), f);
  fclose(f);
}

Bytes load(const std::string &path) {
  Bytes b;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return b;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
  fclose(f);
  return b;
}

// Runs ffmpeg on raw frames: in_fmt -> [filter] -> out_fmt at w x h.
Bytes ffmpeg_raw(const Bytes &in, const char *in_fmt, const char *out_fmt, int w, int h,
                 const char *filter) {
  static std::string dir = HostPath(test_scratch_dir("framecopy").c_str()).c_str();
  static int n;
  std::string src = dir + "/in" + std::to_string(n) + ".raw";
  std::string dst = dir + "/out" + std::to_string(n++) + ".raw";
  save(src, in);
  std::string size = std::to_string(w) + "x" + std::to_string(h);
  std::vector<const char *> argv = {"ffmpeg", "-nostdin", "-loglevel", "error", "-y",
                                    "-f", "rawvideo", "-pix_fmt", in_fmt, "-s", size.c_str(),
                                    "-i", src.c_str()};
  if (filter) {
    argv.push_back("-vf");
    argv.push_back(filter);
  }
  for (const char *a : {"-f", "rawvideo", "-pix_fmt", out_fmt}) argv.push_back(a);
  argv.push_back(dst.c_str());
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, (char *const *)argv.data(), environ) != 0)
    return {};
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  return load(dst);
}

// A contiguous buffer holding the given bytes.
Buffer_Handle buffer_with(const Bytes &b, size_t size = 0) {
  Buffer_Handle h = Buffer_create(size ? size : b.size(), nullptr);
  if (h) {
    memcpy(Buffer_getUserPtr(h), b.data(), b.size());
    Buffer_setNumBytesUsed(h, b.size());
  }
  return h;
}

Bytes contents(Buffer_Handle h, size_t n) {
  const uint8_t *p = (const uint8_t *)Buffer_getUserPtr(h);
  return Bytes(p, p + n);
}

Buffer_Handle gfx(ColorSpace cs, int w, int h, int line_length) {
  BufferGfx_Attrs a = BufferGfx_Attrs_DEFAULT;
  a.colorSpace = cs;
  int size = BufferGfx_calcDimensions(w, h, cs, &a.dim);
  if (line_length) {
    size = size / a.dim.lineLength * line_length;
    a.dim.lineLength = line_length;
  }
  return BufferGfx_create((size_t)size, &a);
}

// Planar Y, U, V with each row padded to a multiple of pad.
Bytes pad_planes(const Bytes &planar, int w, int h, int cw, int ch, int pad) {
  auto padded = [pad](int v) { return (v + pad - 1) / pad * pad; };
  Bytes out;
  size_t at = 0;
  for (int p = 0; p < 3; p++) {
    int pw = p ? cw : w, ph = p ? ch : h, stride = padded(pw);
    for (int r = 0; r < ph; r++) {
      out.insert(out.end(), planar.begin() + at, planar.begin() + at + pw);
      out.insert(out.end(), (size_t)(stride - pw), 0xEE);
      at += pw;
    }
  }
  return out;
}

// Rows of width bytes taken from an image with the given line length.
Bytes unstride(const Bytes &img, int rows, int width, int line_length, size_t start = 0) {
  Bytes out;
  for (int r = 0; r < rows; r++) {
    auto b = img.begin() + start + (size_t)r * line_length;
    out.insert(out.end(), b, b + width);
  }
  return out;
}

struct FramecopyTest : ::testing::Test {
  void SetUp() override { ASSERT_EQ(Framecopy_open(), 0); }
};

}  // namespace

TEST_F(FramecopyTest, LinearCopiesOfAnyLength) {
  for (size_t len : {(size_t)1, (size_t)0xFFFF, (size_t)0x10000, (size_t)(3 * 0x10000 + 123)}) {
    Bytes data = noise(len, (uint32_t)len);
    Buffer_Handle src = buffer_with(data), dst = buffer_with(Bytes(len, 0));
    ASSERT_EQ(Framecopy_buffer_copy(dst, src, len), 0) << len;
    EXPECT_EQ(contents(dst, len), data) << len;
    EXPECT_LT(Framecopy_buffer_copy(dst, src, len + 1), 0);
    Buffer_delete(src);
    Buffer_delete(dst);
  }
}

TEST_F(FramecopyTest, MemmoveMatchesMemmoveForEveryOverlap) {
  const size_t size = 400000;
  struct Case { size_t dst, src, len; };
  for (Case c : {Case{1000, 0, 300000}, Case{0, 1000, 300000}, Case{1, 0, 70000},
                 Case{0, 3, 70000}, Case{50000, 0, 50000}, Case{0, 200000, 150000},
                 Case{40000, 0, 0x8000 + 17}}) {
    Bytes ref = noise(size, 7);
    Buffer_Handle b = buffer_with(ref);
    uint32_t p = Buffer_getPhysicalPtr(b);
    ASSERT_EQ(Framecopy_memmove(p + (uint32_t)c.dst, p + (uint32_t)c.src, c.len), 0);
    memmove(ref.data() + c.dst, ref.data() + c.src, c.len);
    EXPECT_TRUE(contents(b, size) == ref) << c.dst << " <- " << c.src << " len " << c.len;
    Buffer_delete(b);
  }
}

TEST_F(FramecopyTest, NegativeLineStepFlipsLikeFfmpegVflip) {
  const int w = 173, h = 61;
  Bytes img = noise((size_t)w * h, 3);
  Bytes want = ffmpeg_raw(img, "gray", "gray", w, h, "vflip");
  ASSERT_EQ(want.size(), img.size());
  Buffer_Handle src = buffer_with(img), dst = buffer_with(Bytes(img.size(), 0));
  uint32_t last_line = Buffer_getPhysicalPtr(dst) + (uint32_t)((h - 1) * w);
  ASSERT_EQ(Framecopy_memcpy2d(last_line, Buffer_getPhysicalPtr(src), w, -w, w, h), 0);
  EXPECT_TRUE(contents(dst, img.size()) == want);
  Buffer_delete(src);
  Buffer_delete(dst);
}

TEST_F(FramecopyTest, Yuv420pToNv12MatchesFfmpeg) {
  const int w = 70, h = 38;
  Bytes planar = noise((size_t)w * h * 3 / 2, 11);
  Bytes want = ffmpeg_raw(planar, "yuv420p", "nv12", w, h, nullptr);
  ASSERT_EQ(want.size(), planar.size());
  for (int pad : {1, 16}) {
    for (int ll : {w, w + 42}) {
      Buffer_Handle src = buffer_with(pad_planes(planar, w, h, w / 2, h / 2, pad));
      Buffer_Handle dst = gfx(ColorSpace_YUV420PSEMI, w, h, ll);
      ASSERT_EQ(Framecopy_yuv420p_to_nv12(dst, src, w, h, pad), 0) << pad << " " << ll;
      Bytes out = contents(dst, Buffer_getSize(dst));
      Bytes got = unstride(out, h, w, ll);
      Bytes chroma = unstride(out, h / 2, w, ll, BufferGfx_getChromaOffset(dst));
      got.insert(got.end(), chroma.begin(), chroma.end());
      EXPECT_TRUE(got == want) << "pad " << pad << " line length " << ll;
      Buffer_delete(src);
      Buffer_delete(dst);
    }
  }
}

TEST_F(FramecopyTest, Yuv422pToUyvyMatchesFfmpeg) {
  const int w = 96, h = 27 * 2;
  Bytes planar = noise((size_t)w * h * 2, 12);
  Bytes want = ffmpeg_raw(planar, "yuv422p", "uyvy422", w, h, nullptr);
  ASSERT_EQ(want.size(), planar.size());
  for (int pad : {1, 32}) {
    Buffer_Handle src = buffer_with(pad_planes(planar, w, h, w / 2, h, pad));
    Buffer_Handle dst = buffer_with(Bytes((size_t)w * h * 2, 0));
    ASSERT_EQ(Framecopy_yuv422p_to_uyvy(dst, src, w, h, pad), 0);
    EXPECT_TRUE(contents(dst, want.size()) == want) << "pad " << pad;
    Buffer_delete(src);
    Buffer_delete(dst);
  }
}

TEST_F(FramecopyTest, ConversionsRefuseShortBuffersAndOddSizes) {
  Buffer_Handle src = buffer_with(Bytes(64 * 48 * 2, 1));
  Buffer_Handle small = buffer_with(Bytes(64 * 48, 0));
  EXPECT_LT(Framecopy_yuv422p_to_uyvy(small, src, 64, 48, 1), 0);
  EXPECT_LT(Framecopy_yuv420p_to_nv12(small, src, 64, 48, 1), 0);
  EXPECT_LT(Framecopy_yuv420p_to_nv12(src, src, 63, 48, 1), 0);
  EXPECT_EQ(contents(small, 64 * 48), Bytes(64 * 48, 0));
  Buffer_delete(src);
  Buffer_delete(small);
}

TEST_F(FramecopyTest, RotateTurnsByHalfACircleLikeFfmpeg) {
  const int w = 64, h = 36;
  Bytes nv12 = noise((size_t)w * h * 3 / 2, 21);
  Bytes want = ffmpeg_raw(nv12, "nv12", "nv12", w, h, "hflip,vflip");
  ASSERT_EQ(want.size(), nv12.size());
  Buffer_Handle src = gfx(ColorSpace_YUV420PSEMI, w, h, 0);
  Buffer_Handle dst = gfx(ColorSpace_YUV420PSEMI, w, h, 0);
  memcpy(Buffer_getUserPtr(src), nv12.data(), nv12.size());
  ASSERT_EQ(Framecopy_rotate(src, dst), 0);
  EXPECT_TRUE(contents(dst, want.size()) == want);

  BufferGfx_setColorSpace(src, ColorSpace_UYVY);
  BufferGfx_setColorSpace(dst, ColorSpace_UYVY);
  log_reset();
  EXPECT_LT(Framecopy_rotate(src, dst), 0);
  Buffer_delete(src);
  Buffer_delete(dst);
}

TEST_F(FramecopyTest, RegionAndPlaneCopiesBetweenNv12Frames) {
  const int w = 64, h = 32;
  Bytes frame = noise((size_t)w * h * 3 / 2, 5);
  Buffer_Handle src = gfx(ColorSpace_YUV420PSEMI, w, h, 0);
  Buffer_Handle dst = gfx(ColorSpace_YUV420PSEMI, w, h, w + 64);
  memcpy(Buffer_getUserPtr(src), frame.data(), frame.size());
  ASSERT_EQ(Framecopy_planes(dst, src), 0);
  Bytes out = contents(dst, Buffer_getSize(dst));
  Bytes got = unstride(out, h, w, w + 64);
  Bytes chroma = unstride(out, h / 2, w, w + 64, BufferGfx_getChromaOffset(dst));
  got.insert(got.end(), chroma.begin(), chroma.end());
  EXPECT_TRUE(got == frame);

  // A 16x8 region at (8, 4) of the source into (20, 10) of the destination.
  BufferGfx_Dimensions sd = {8, 4, 16, 8, w}, dd = {20, 10, 16, 8, w + 64};
  BufferGfx_setDimensions(src, &sd);
  BufferGfx_setDimensions(dst, &dd);
  ASSERT_EQ(Framecopy_accel_execute2(src, dst), 0);
  out = contents(dst, Buffer_getSize(dst));
  for (int r = 0; r < 8; r++)
    EXPECT_EQ(memcmp(&out[(10 + r) * (w + 64) + 20], &frame[(4 + r) * w + 8], 16), 0) << r;
  size_t sc = (size_t)w * h, dc = BufferGfx_getChromaOffset(dst);
  for (int r = 0; r < 4; r++)
    EXPECT_EQ(memcmp(&out[dc + (5 + r) * (w + 64) + 20], &frame[sc + (2 + r) * w + 8], 16), 0);

  // Chroma lines pair luma lines: an odd origin cannot be copied.
  sd.y = 3;
  BufferGfx_setDimensions(src, &sd);
  log_reset();
  EXPECT_LT(Framecopy_accel_execute2(src, dst), 0);
  char buf[4096];
  std::string log(buf, log_read(buf, sizeof buf));
  EXPECT_NE(log.find("Framecopy2"), std::string::npos);
  EXPECT_NE(log.find("(srcDim.y & 0x1) == 0"), std::string::npos);
  Buffer_delete(src);
  Buffer_delete(dst);
}

TEST_F(FramecopyTest, RectanglesFromOneLineAndOverlappingMoves) {
  const int pitch = 128, lines = 40;
  Bytes plane = noise((size_t)pitch * lines, 9);
  Buffer_Handle b = buffer_with(plane);
  uint8_t *p = (uint8_t *)Buffer_getUserPtr(b);
  Bytes ref = plane;

  // Line 2's first 50 bytes replicated into a 50x10 rectangle from line 5.
  FramecopyRect fill = {50, 10, pitch};
  ASSERT_EQ(Framecopy_move_rect(0, &fill, p + 2 * pitch, p + 5 * pitch + 3), 0);
  for (int r = 0; r < 10; r++) memcpy(&ref[(5 + r) * pitch + 3], &ref[2 * pitch], 50);
  EXPECT_TRUE(contents(b, ref.size()) == ref);

  // Scroll a 100x20 block down by 3 lines and right by 1: the areas overlap.
  FramecopyRect move = {100, 20, pitch};
  ASSERT_EQ(Framecopy_move_rect_safe(0, &move, p + 4 * pitch, p + 7 * pitch + 1), 0);
  for (int r = 19; r >= 0; r--) memmove(&ref[(7 + r) * pitch + 1], &ref[(4 + r) * pitch], 100);
  EXPECT_TRUE(contents(b, ref.size()) == ref);
  // And back up.
  ASSERT_EQ(Framecopy_move_rect_safe(0, &move, p + 7 * pitch + 1, p + 4 * pitch), 0);
  for (int r = 0; r < 20; r++) memmove(&ref[(4 + r) * pitch], &ref[(7 + r) * pitch + 1], 100);
  EXPECT_TRUE(contents(b, ref.size()) == ref);

  // Memory the device cannot see is refused and left alone.
  static uint8_t outside[pitch * 4];
  EXPECT_LT(Framecopy_move_rect(0, &fill, outside, p), 0);
  EXPECT_LT(Framecopy_move_rect_safe(0, &move, p, outside), 0);
  EXPECT_LT(Framecopy_memcpy(0x1000, Buffer_getPhysicalPtr(b), 16), 0);
  EXPECT_TRUE(contents(b, ref.size()) == ref);
  Buffer_delete(b);
}

TEST_F(FramecopyTest, UvcPayloadsCarryTheirHeaders) {
  const size_t len = 2 * 16381 + 100;
  Bytes data = noise(len, 4);
  Buffer_Handle src = buffer_with(data), dst = buffer_with(Bytes(3 * 16383, 0));
  ASSERT_EQ(uvc_memcpy(dst, src, 1), 0);
  EXPECT_EQ(Buffer_getNumBytesUsed(dst), len + 3 * 2);
  Bytes out = contents(dst, 3 * 16383);
  for (int s = 0; s < 3; s++) {
    EXPECT_EQ(out[s * 16383], 2);
    EXPECT_EQ(out[s * 16383 + 1], s == 2 ? 0x83 : 0x81);
    size_t n = s == 2 ? 100 : 16381;
    EXPECT_EQ(memcmp(&out[s * 16383 + 2], &data[s * 16381], n), 0) << s;
  }
  Buffer_Handle small = buffer_with(Bytes(16383, 0));
  EXPECT_LT(uvc_memcpy(small, src, 0), 0);
  EXPECT_LT(uvc_memcpy(nullptr, src, 0), 0);
  Buffer_delete(src);
  Buffer_delete(dst);
  Buffer_delete(small);
}
