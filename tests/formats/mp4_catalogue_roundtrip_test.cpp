// The box catalogue: a file the writer made reads back and writes again to
// the same bytes, a file ffmpeg made dumps field by field, 64-bit times
// switch boxes to version 1, and malformed input gives error codes, never a
// read outside the input.
#include <gtest/gtest.h>

#include <cstring>

#include "mp4_test_support.h"

namespace {

#define FCC MP4_FOURCC

Bytes rewrite(Mp4Box *b) {
  Bytes out(checkBoxSize(b) + 64);
  Mp4Muxer *w = mp4_new();
  mp4_buf_put(w, out.data(), (uint32_t)out.size());
  rwBox(w, b, NULL);
  out.resize(mp4_buf_get(w));
  EXPECT_EQ(mp4_get_error(w), 0);
  mp4_delete(w);
  return out;
}

Bytes write_box(Mp4Box *b) { return rewrite(b); }

Mp4Box *read_one(const Bytes &in, int *err) {
  Mp4Muxer *r = mp4_new_reader();
  mp4_buf_put(r, (void *)in.data(), (uint32_t)in.size());
  Mp4Box *b = rwBox(r, NULL, NULL);
  *err = mp4_get_error(r);
  mp4_buf_get(r);
  mp4_delete(r);
  return b;
}

int count_nodes(const Mp4Box *b) {
  int n = 0;
  for (; b; b = b->next) n += 1 + count_nodes(b->child);
  return n;
}

TEST(Mp4Catalogue, WriterFileReadsBackAndWritesTheSameBytes) {
  if (!have_ffmpeg()) GTEST_SKIP();
  const Mp4Input &in = mp4_input();
  std::string path = in.dir + "/roundtrip.mp4";
  ASSERT_EQ(mp4_write_file(path, in.video, in.audio), 0);
  Bytes file = read_board_file(path);
  int err = -1;
  Mp4Boxes boxes = mp4_read_boxes(file, &err);
  EXPECT_EQ(err, 0);
  std::vector<uint32_t> types;
  for (Mp4Box *b : boxes.top) types.push_back(b->type);
  EXPECT_EQ(types, (std::vector<uint32_t>{FCC('f', 't', 'y', 'p'), FCC('s', 'k', 'i', 'p'), FCC('f', 'r', 'e', 'e'),
                                          FCC('m', 'd', 'a', 't'), FCC('m', 'o', 'o', 'v')}));
  for (Mp4Box *b : boxes.top) {
    uint64_t start = b->offset - b->header_size;
    Bytes again = rewrite(b);
    size_t n = b->type == FCC('m', 'd', 'a', 't') ? 8 : (size_t)b->size;  // the mdat payload is not loaded
    ASSERT_EQ(again.size(), n);
    EXPECT_TRUE(memcmp(again.data(), file.data() + start, n) == 0 || b->type == FCC('s', 'k', 'i', 'p'))
        << std::string((const char *)&b->type, 4);
  }
  // The same boxes come from the file itself.
  Mp4Muxer *r = mp4_new_reader();
  ASSERT_EQ(mp4_open_file(r, HostPath(path.c_str()).c_str()), 0);
  std::vector<uint32_t> from_file;
  while (Mp4Box *b = rwBox(r, NULL, NULL)) {
    from_file.push_back(b->type);
    box_free(b);
    if (from_file.size() > file.size() / 8) {
      ADD_FAILURE() << "rwBox gives more boxes than the file holds";
      break;
    }
  }
  EXPECT_EQ(from_file, types);
  EXPECT_EQ(mp4_get_error(r), 0);
  EXPECT_TRUE(r->flags & MP4_FLAG_SHORT_READ);
  mp4_delete(r);
  // Every box of the moov is one the catalogue knows.
  Mp4Box *moov = boxes.find(FCC('m', 'o', 'o', 'v'));
  EXPECT_EQ(count_nodes(moov), 48);
  mp4_free_boxes(boxes);
}

TEST(Mp4Catalogue, DumpOfAnFfmpegFileShowsEveryField) {
  if (!have_ffmpeg()) GTEST_SKIP();
  const Mp4Input &in = mp4_input();
  std::string path = in.dir + "/ffmpeg.mp4";
  ASSERT_EQ(run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-r", "25", "-i", in.h264.c_str(), "-i",
                      in.aac.c_str(), "-c", "copy", "-f", "mp4", path.c_str()}),
            0);
  Bytes file = read_board_file(path);
  ASSERT_GT(file.size(), 1000u);
  char *text = NULL;
  size_t len = 0;
  FILE *dump = open_memstream(&text, &len);
  int err = -1;
  Mp4Boxes boxes = mp4_read_boxes(file, &err, dump);
  fclose(dump);
  std::string out(text, len);
  free(text);
  EXPECT_EQ(err, 0) << out;
  for (const char *line : {"ftyp  size: ", "major_brand: isom", "moov  size: ", "  mvhd  size: 108",
                           "    timescale: 1000", "    duration: 2000 (0:00:02.000)", "handler_type: vide",
                           "handler_type: soun", "avcC  size: ", "AVCProfileIndication: 100", "sequenceParameterSet: 67",
                           "pictureParameterSet: 68", "esds  size: ", "objectTypeIndication: 64", "audioObjectType: 2",
                           "samplingFrequencyIndex: 3", "channelConfiguration: 2", "stsz  size: ", "entry[49]: ",
                           "stco  size: ", "compressorname: ", "language: und", "mdat  size: "})
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  mp4_free_boxes(boxes);
}

TEST(Mp4Catalogue, TimesPast32BitsSwitchToVersion1) {
  Mp4Mdhd *mdhd = (Mp4Mdhd *)box_new(FCC('m', 'd', 'h', 'd'), 0);
  mdhd->timescale = 90000;
  mdhd->duration = 5000000000ull;
  Bytes b = write_box(&mdhd->box);
  EXPECT_EQ(b.size(), 44u);
  EXPECT_EQ(b[8], 1);
  mdhd->duration = 4000000000ull;
  mdhd->box.version = 0;
  EXPECT_EQ(write_box(&mdhd->box).size(), 32u);
  mdhd->duration = 5000000000ull;
  b = write_box(&mdhd->box);
  int err = -1;
  Mp4Mdhd *back = (Mp4Mdhd *)read_one(b, &err);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(back->box.version, 1);
  EXPECT_EQ(back->duration, 5000000000ull);
  EXPECT_EQ(back->timescale, 90000u);
  box_free(&back->box);
  box_free(&mdhd->box);

  Mp4Box *elst = box_new(FCC('e', 'l', 's', 't'), 0);
  elst->entry_size = sizeof(Mp4ElstEntry);
  Mp4ElstEntry e = {1000, 0, 1, 0};
  box_entries_add(elst, 1, &e);
  EXPECT_EQ(write_box(elst).size(), 16u + 12);
  ((Mp4ElstEntry *)elst->entries)->segment_duration = 1ull << 33;
  EXPECT_EQ(write_box(elst).size(), 16u + 20);
  box_free(elst);

  Mp4Tkhd *tkhd = (Mp4Tkhd *)box_new(FCC('t', 'k', 'h', 'd'), 0);
  tkhd->duration = 1ull << 32;
  EXPECT_EQ(write_box(&tkhd->box).size(), 104u);
  box_free(&tkhd->box);
}

TEST(Mp4Catalogue, FixedSampleSizeStszHasNoEntryTable) {
  Mp4Stsz *stsz = (Mp4Stsz *)box_new(FCC('s', 't', 's', 'z'), 0);
  stsz->sample_size = 100;
  stsz->sample_count = 7;
  Bytes b = write_box(&stsz->box);
  EXPECT_EQ(b.size(), 20u);
  int err = -1;
  Mp4Stsz *back = (Mp4Stsz *)read_one(b, &err);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->sample_size, 100u);
  EXPECT_EQ(back->sample_count, 7u);
  EXPECT_EQ(back->box.entry_count, 0u);
  box_free(&back->box);
  box_free(&stsz->box);
}

Bytes be32(uint32_t v) { return {(uint8_t)(v >> 24), (uint8_t)(v >> 16), (uint8_t)(v >> 8), (uint8_t)v}; }

Bytes box(const char *type, const Bytes &payload) {
  Bytes b = be32((uint32_t)payload.size() + 8);
  b.insert(b.end(), type, type + 4);
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes b;
  for (auto &p : parts) b.insert(b.end(), p.begin(), p.end());
  return b;
}

TEST(Mp4Catalogue, MalformedBoxesGiveErrorsAndStayInsideTheInput) {
  int err;
  // A size below the header.
  Bytes tiny = cat({be32(4), Bytes{'m', 'o', 'o', 'v'}, Bytes(8, 0)});
  EXPECT_EQ(read_one(tiny, &err), nullptr);
  EXPECT_EQ(err, MP4_ERR_BAD_INPUT);

  // A top-level box running past the end: the end of input, no node.
  Bytes cut = box("moov", Bytes(100, 0));
  cut.resize(50);
  EXPECT_EQ(read_one(cut, &err), nullptr);

  // A child running past its container: the container comes back, flagged.
  Bytes bad_child = box("moov", cat({be32(0x1000), Bytes{'t', 'r', 'a', 'k'}, Bytes(16, 0)}));
  Mp4Box *b = read_one(bad_child, &err);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(err, MP4_ERR_BAD_INPUT);
  EXPECT_EQ(b->child, nullptr);
  box_free(b);

  // An entry count far beyond the box.
  Bytes stsz = box("stsz", cat({be32(0), be32(0), be32(0x40000000), be32(11), be32(12)}));
  b = read_one(stsz, &err);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(err, MP4_ERR_BAD_INPUT);
  EXPECT_EQ(b->entry_count, 2u);
  EXPECT_EQ(mp4_entries<uint32_t>(b)[1], 12u);
  box_free(b);

  // Nesting deeper than the recursion limit.
  Bytes deep = box("free", {});
  for (int i = 0; i < 30; i++) deep = box("udta", deep);
  b = read_one(deep, &err);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(err, MP4_ERR_RECURSION);
  box_free(b);

  // A descriptor longer than its esds.
  Bytes esds = box("esds", cat({be32(0), Bytes{0x03, 0x7F, 0x00, 0x01, 0x00}}));
  b = read_one(esds, &err);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(err, MP4_ERR_BAD_INPUT);
  box_free(b);

  // A parameter set longer than its avcC.
  Bytes avcc = box("avcC", Bytes{1, 100, 0, 40, 0xFF, 0xE1, 0x00, 0x40, 0x67});
  b = read_one(avcc, &err);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(err, MP4_ERR_BAD_INPUT);
  box_free(b);
}

TEST(Mp4Catalogue, SizeFormsAndUnknownBoxes) {
  int err;
  // Size 0: the box runs to the end of the input.
  Bytes open = cat({be32(0), Bytes{'f', 'r', 'e', 'e'}, Bytes(20, 0)});
  Mp4Box *b = read_one(open, &err);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(b->size, 28u);
  box_free(b);

  // Size 1: a 64-bit size after the type.
  Bytes wide = cat({be32(1), Bytes{'m', 'd', 'a', 't'}, be32(0), be32(24), Bytes(8, 0x55)});
  b = read_one(wide, &err);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(b->header_size, 16);
  EXPECT_EQ(((Mp4Mdat *)b)->payload_size, 8u);
  EXPECT_EQ(((Mp4Mdat *)b)->payload_start, 16u);
  box_free(b);

  // Unknown boxes: skipped inside a container, returned unwritable at the top.
  Bytes moov = box("moov", cat({box("zzzz", Bytes(5, 1)), box("mvhd", Bytes(100, 0))}));
  b = read_one(moov, &err);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(err, 0);
  ASSERT_NE(b->child, nullptr);
  EXPECT_EQ(b->child->type, FCC('m', 'v', 'h', 'd'));
  EXPECT_EQ(b->child->next, nullptr);
  box_free(b);
  b = read_one(box("zzzz", Bytes(3, 0)), &err);
  ASSERT_NE(b, nullptr);
  EXPECT_FALSE(b->node_flags & BOX_WRITE);
  EXPECT_EQ(write_box(b).size(), 0u);
  box_free(b);
}

}  // namespace
