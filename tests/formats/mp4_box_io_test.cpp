// The MP4 handle's byte targets and field movers: counting, memory windows
// with overflow, zero-filled gaps, descriptor lengths, error codes, file
// descriptor and mirror targets, and the 64-bit header takeover of the
// 'free' box in front of an mdat.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "formats/mp4_box.h"
#include "platform/host_root.h"
#include "test_root.h"

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes file_bytes(FILE *f) {
  fflush(f);
  Bytes v;
  off_t end = lseek(fileno(f), 0, SEEK_END);
  v.resize((size_t)end);
  if (end > 0 && pread(fileno(f), v.data(), v.size(), 0) != end) v.clear();
  return v;
}

std::string scratch_file(const char *name) {
  static std::string dir = test_scratch_dir("mp4io");
  return dir + "/" + name;
}

TEST(Mp4ByteTargets, HandleWithoutTargetCountsBytes) {
  Mp4Muxer *m = mp4_new();
  ASSERT_NE(m, nullptr);
  uint32_t v = 0x12345678;
  uint64_t w = 1;
  EXPECT_EQ(write_n(m, "abc", 3), 0);
  EXPECT_EQ(rw32(m, &v), 0);
  EXPECT_EQ(rw64(m, &w), 0);
  EXPECT_EQ(write_n(m, NULL, 1000), 0);
  EXPECT_EQ(muxer_pos(m), 3u + 4 + 8 + 1000);
  EXPECT_EQ(muxer_seek(m, 5000), 0);
  EXPECT_EQ(muxer_pos(m), 5000u);
  EXPECT_EQ(mp4_get_error(m), 0);
  EXPECT_EQ(mp4_strerror(m), nullptr);
  mp4_delete(m);
}

TEST(Mp4ByteTargets, WindowOverflowKeepsWhatFitsAndReportsError6) {
  Mp4Muxer *m = mp4_new();
  uint8_t win[16];
  memset(win, 0xAA, sizeof win);
  mp4_buf_put(m, win, sizeof win);
  uint8_t a[10], b[10];
  memset(a, 1, sizeof a);
  memset(b, 2, sizeof b);
  EXPECT_EQ(write_n(m, a, 10), 0);
  EXPECT_EQ(mp4_get_error(m), 0);
  write_n(m, b, 10);
  EXPECT_EQ(mp4_get_error(m), MP4_ERR_OVERFLOW);
  EXPECT_STREQ(mp4_strerror(m), "buffer overflow");
  EXPECT_EQ(muxer_pos(m), 20u);
  for (int i = 0; i < 10; i++) EXPECT_EQ(win[i], 1);
  for (int i = 10; i < 16; i++) EXPECT_EQ(win[i], 2);
  EXPECT_EQ(mp4_buf_get(m), 16u);
  // A second window continues at the position; the old overflow is gone.
  uint8_t win2[8];
  mp4_buf_put(m, win2, sizeof win2);
  EXPECT_EQ(write_n(m, a, 8), 0);
  EXPECT_EQ(mp4_buf_get(m), 8u);
  EXPECT_EQ(muxer_pos(m), 28u);
  mp4_delete(m);
}

TEST(Mp4ByteTargets, WindowSeekPastEndZeroFillsAndSeekBackPatches) {
  Mp4Muxer *m = mp4_new();
  uint8_t win[32];
  memset(win, 0xEE, sizeof win);
  mp4_buf_put(m, win, sizeof win);
  uint32_t x = 0x01020304;
  rw32(m, &x);
  EXPECT_EQ(muxer_seek(m, 12), 0);
  for (int i = 4; i < 12; i++) EXPECT_EQ(win[i], 0) << i;
  x = 0x0A0B0C0D;
  rw32(m, &x);
  EXPECT_EQ(muxer_seek(m, 2), 0);
  uint16_t y = 0xBEEF;
  rw16(m, &y);
  EXPECT_EQ(win[2], 0xBE);
  EXPECT_EQ(win[3], 0xEF);
  EXPECT_EQ(win[12], 0x0A);
  EXPECT_EQ(win[16], 0xEE);  // never written
  muxer_seek(m, 16);
  EXPECT_EQ(mp4_buf_get(m), 16u);
  EXPECT_EQ(mp4_get_error(m), 0);
  mp4_delete(m);
}

TEST(Mp4ByteTargets, ReaderWindowStopsAtItsEnd) {
  uint8_t data[6] = {0, 0, 0, 7, 1, 2};
  Mp4Muxer *m = mp4_new_reader();
  mp4_buf_put(m, data, sizeof data);
  uint32_t v = 0;
  EXPECT_EQ(rw32(m, &v), 0);
  EXPECT_EQ(v, 7u);
  EXPECT_EQ(rw32(m, &v), -1);
  EXPECT_EQ(v, 0u);
  EXPECT_TRUE(m->flags & MP4_FLAG_SHORT_READ);
  EXPECT_EQ(muxer_pos(m), 4u);  // a read past the window moves nothing
  uint16_t s = 0;
  EXPECT_EQ(rw16(m, &s), 0);
  EXPECT_EQ(s, 0x0102);
  mp4_buf_get(m);
  mp4_delete(m);
}

TEST(Mp4FieldMovers, DescriptorLengthUsesFewestGroups) {
  struct Case {
    uint32_t len;
    std::vector<uint8_t> bytes;
  } cases[] = {
    {0, {0x00}},
    {127, {0x7F}},
    {128, {0x81, 0x00}},
    {0x3FFF, {0xFF, 0x7F}},
    {0x4000, {0x81, 0x80, 0x00}},
    {0xFFFFFFFF, {0x8F, 0xFF, 0xFF, 0xFF, 0x7F}},
  };
  for (const Case &c : cases) {
    uint8_t win[8] = {0};
    Mp4Muxer *m = mp4_new();
    mp4_buf_put(m, win, sizeof win);
    uint32_t len = c.len;
    rw_descriptor_length(m, &len);
    uint32_t n = mp4_buf_get(m);
    EXPECT_EQ(Bytes(win, win + n), c.bytes) << c.len;
    mp4_delete(m);

    Mp4Muxer *r = mp4_new_reader();
    mp4_buf_put(r, win, n);
    uint32_t back = 1;
    EXPECT_EQ(rw_descriptor_length(r, &back), 0);
    EXPECT_EQ(back, c.len);
    mp4_buf_get(r);
    mp4_delete(r);
  }
  // Four bytes of ISO's 0x80 0x80 0x80 form read as well.
  uint8_t padded[4] = {0x80, 0x80, 0x80, 0x05};
  Mp4Muxer *r = mp4_new_reader();
  mp4_buf_put(r, padded, 4);
  uint32_t back = 0;
  EXPECT_EQ(rw_descriptor_length(r, &back), 0);
  EXPECT_EQ(back, 5u);
  mp4_buf_get(r);
  mp4_delete(r);
}

TEST(Mp4Errors, CodesOutsideTheTableHaveNoTextAndTheFirstErrorStays) {
  EXPECT_EQ(mp4_error_text(0), nullptr);
  EXPECT_EQ(mp4_error_text(12), nullptr);

  Mp4Muxer *m = mp4_new();
  EXPECT_EQ(rwBox(m, NULL, NULL), nullptr);
  EXPECT_EQ(mp4_get_error(m), MP4_ERR_NULL_BOX);
  write_n(m, "x", -1);
  EXPECT_EQ(mp4_get_error(m), MP4_ERR_NULL_BOX);
  EXPECT_TRUE(mp4_has_error(m));
  mp4_delete(m);

  Mp4Muxer *r = mp4_new_reader();
  EXPECT_EQ(mp4_open_file(r, "/nonexistent/dir/x.mp4"), -1);
  EXPECT_EQ(mp4_get_error(r), MP4_ERR_OPEN);
  EXPECT_STREQ(mp4_strerror(r), "file open failed");
  mp4_delete(r);
}

// Writes 'free' and an mdat header, then pretends the mdat grew past 4 GiB.
Mp4Box *free_and_mdat(Mp4Muxer *m, bool with_free) {
  if (with_free) {
    Mp4Box *gap = box_new(MP4_FOURCC('f', 'r', 'e', 'e'), 0);
    rwBox(m, gap, NULL);
    box_free(gap);
  } else {
    write_n(m, "\0\0\0\x08skip", 8);
  }
  Mp4Box *mdat = box_new(MP4_FOURCC('m', 'd', 'a', 't'), 0);
  rwBox(m, mdat, NULL);
  EXPECT_EQ(mdat->offset, 16u);
  write_n(m, "payload!", 8);
  ((Mp4Mdat *)mdat)->payload_size = 0x100000000ull + 8;
  mdat->size = 8 + ((Mp4Mdat *)mdat)->payload_size;
  return mdat;
}

TEST(Mp4UpdateBoxSize, SixtyFourBitSizeTakesOverTheFreeBox) {
  FILE *f = sys_fopen(scratch_file("takeover.mp4").c_str(), "w+b");
  ASSERT_NE(f, nullptr);
  Mp4Muxer *m = mp4_new();
  mp4_set_file(m, f);
  Mp4Box *mdat = free_and_mdat(m, true);
  EXPECT_EQ(updateBoxSize(m, mdat), 0);
  EXPECT_EQ(mp4_get_error(m), 0);
  EXPECT_EQ(muxer_pos(m), 24u);  // back where it was
  EXPECT_EQ(mdat->header_size, 16);
  EXPECT_EQ(mdat->offset, 16u);  // the payload did not move
  const uint8_t expect[] = {0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 1, 0, 0, 0, 0x18,
                            'p', 'a', 'y', 'l', 'o', 'a', 'd', '!'};
  EXPECT_EQ(file_bytes(f), Bytes(expect, expect + sizeof expect));
  box_free(mdat);
  mp4_delete(m);
  fclose(f);
}

TEST(Mp4UpdateBoxSize, SixtyFourBitWithoutFreeOrReadAccessFails) {
  FILE *f = sys_fopen(scratch_file("nofree.mp4").c_str(), "w+b");
  Mp4Muxer *m = mp4_new();
  mp4_set_file(m, f);
  Mp4Box *mdat = free_and_mdat(m, false);
  EXPECT_EQ(updateBoxSize(m, mdat), -1);
  EXPECT_EQ(mp4_get_error(m), MP4_ERR_WRITE);
  EXPECT_EQ(mdat->header_size, 8);
  box_free(mdat);
  mp4_delete(m);
  fclose(f);

  // A stream opened "w" cannot be read back.
  f = sys_fopen(scratch_file("wonly.mp4").c_str(), "wb");
  m = mp4_new();
  mp4_set_file(m, f);
  mdat = free_and_mdat(m, true);
  EXPECT_EQ(updateBoxSize(m, mdat), -1);
  EXPECT_EQ(mp4_get_error(m), MP4_ERR_WRITE);
  box_free(mdat);
  mp4_delete(m);
  fclose(f);

  Mp4Muxer *r = mp4_new_reader();
  Mp4Box *b = box_new(MP4_FOURCC('m', 'd', 'a', 't'), 0);
  EXPECT_EQ(updateBoxSize(r, b), -1);
  box_free(b);
  mp4_delete(r);
}

TEST(Mp4UpdateBoxSize, ThirtyTwoBitSizeIsPatchedInPlace) {
  uint8_t win[64];
  memset(win, 0, sizeof win);
  Mp4Muxer *m = mp4_new();
  mp4_buf_put(m, win, sizeof win);
  Mp4Box *mdat = box_new(MP4_FOURCC('m', 'd', 'a', 't'), 0);
  rwBox(m, mdat, NULL);
  write_n(m, "0123456789", 10);
  mdat->size += 10;
  EXPECT_EQ(updateBoxSize(m, mdat), 0);
  EXPECT_EQ(win[3], 18);
  EXPECT_EQ(muxer_pos(m), 18u);
  EXPECT_EQ(mp4_buf_get(m), 18u);
  box_free(mdat);
  mp4_delete(m);
}

TEST(Mp4FileTargets, MirrorAndDescriptorGetTheSameBytes) {
  FILE *a = sys_fopen(scratch_file("primary.bin").c_str(), "w+b");
  FILE *b = sys_fopen(scratch_file("mirror.bin").c_str(), "w+b");
  int fd = sys_open(scratch_file("fd.bin").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_TRUE(a && b && fd >= 0);
  Mp4Muxer *m = mp4_new();
  Mp4Muxer *d = mp4_new();
  mp4_set_file(m, a);
  mp4_set_mirror_file(m, b);
  mp4_set_fd(d, fd);
  for (Mp4Muxer *h : {m, d}) {
    uint32_t v = 0xCAFEBABE;
    rw32(h, &v);
    write_n(h, NULL, 100);
    muxer_seek(h, 200);
    write_n(h, "end", 3);
    muxer_seek(h, 4);
    write_n(h, "mid", 3);
    EXPECT_EQ(mp4_get_error(h), 0);
  }
  Bytes pa = file_bytes(a), pb = file_bytes(b), pd(203);
  ASSERT_EQ(pread(fd, pd.data(), pd.size(), 0), 203);
  EXPECT_EQ(pa.size(), 203u);
  EXPECT_EQ(pa, pb);
  EXPECT_EQ(pa, pd);
  EXPECT_EQ(pa[4], 'm');
  EXPECT_EQ(pa[200], 'e');
  mp4_delete(m);
  mp4_delete(d);
  fclose(a);
  fclose(b);
  close(fd);
}

}  // namespace
