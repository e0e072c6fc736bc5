// The host "jpegenc": pictures from NV12 and UYVY frames with a wide pitch,
// straight and turned 90 degrees, decode with ffmpeg at the right size and
// match their source; a picture too big for its output space is not written
// and tells its size, so that lowering the quality makes it fit; bad
// parameters get the published error codes.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "platform/framework/codec_engine.h"
#include "platform/framework/codec_frames.h"

namespace {

struct JpegEncoder {
  Engine_Handle engine = nullptr;
  IMGENC1_Handle h = nullptr;
  IMGENC1_Params params = IMGENC1_PARAMS_DEFAULT;
  IMGENC1_DynamicParams dyn = IMGENC1_DYNAMICPARAMS_DEFAULT;

  JpegEncoder(int width, int height, int pitch, bool uyvy) {
    dyn.inputWidth = width;
    dyn.inputHeight = height;
    dyn.captureWidth = pitch;
    dyn.inputChromaFormat = uyvy ? CODEC_CHROMA_YUV422ILE : CODEC_CHROMA_YUV420SP;
    engine = Engine_open("encode", nullptr, nullptr);
    h = IMGENC1_create(engine, "jpegenc", &params);
  }
  ~JpegEncoder() {
    IMGENC1_delete(h);
    Engine_close(engine);
  }
  int32_t control(int cmd, CodecStatus *st) {
    *st = CodecStatus{};
    st->size = sizeof *st;
    return IMGENC1_control(h, cmd, &dyn, st);
  }
  int32_t set(uint32_t *ext = nullptr) {
    CodecStatus st;
    int32_t rc = control(XDM_SETPARAMS, &st);
    if (ext) *ext = st.extendedError;
    return rc;
  }
  // Encodes into an output space of outSize bytes followed by guard bytes.
  int32_t encode(const TestFrame &f, size_t outSize, Bytes *jpeg, IMGENC1_OutArgs *oa) {
    CodecBufDesc in{};
    in.numBufs = f.uyvy ? 1 : 2;
    in.bufs[0] = const_cast<uint8_t *>(f.luma.data());
    in.bufSizes[0] = (int32_t)f.luma.size();
    if (!f.uyvy) {
      in.bufs[1] = const_cast<uint8_t *>(f.chroma.data());
      in.bufSizes[1] = (int32_t)f.chroma.size();
    }
    Bytes out(outSize + 64, 0x5A);
    CodecBufDesc ob{};
    ob.numBufs = 1;
    ob.bufs[0] = out.data();
    ob.bufSizes[0] = (int32_t)outSize;
    IMGENC1_InArgs ia{(int32_t)sizeof ia};
    *oa = IMGENC1_OutArgs{};
    oa->size = sizeof *oa;
    int32_t rc = IMGENC1_process(h, &in, &ob, &ia, oa);
    for (size_t i = outSize; i < out.size(); i++)
      if (out[i] != 0x5A) ADD_FAILURE() << "output written past its space at " << i;
    if (rc == IMGENC1_EOK) {
      jpeg->assign(out.begin(), out.begin() + oa->bytesGenerated);
    } else if (outSize > 0) {
      EXPECT_EQ(out[0], 0x5A) << "a failed picture left bytes behind";
    }
    return rc;
  }
};

// Clockwise quarter turn of a w x h luma plane.
Bytes rotate_luma(const Bytes &y, int w, int h) {
  Bytes r(y.size());
  for (int row = 0; row < h; row++)
    for (int c = 0; c < w; c++) r[(size_t)c * h + (h - 1 - row)] = y[(size_t)row * w + c];
  return r;
}

TEST(JpegEncoder, PicturesDecodeAtTheirSizeAndMatchTheSource) {
  struct Case { bool uyvy; int rotation; int chroma_num; } cases[] = {
    {false, 0, 2}, {true, 0, 4}, {false, 90, 2}, {true, 90, 4},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.uyvy ? "UYVY" : "NV12") + " rotation " + std::to_string(c.rotation));
    const int w = 320, h = 240, pitch = 352;
    JpegEncoder e(w, h, pitch, c.uyvy);
    ASSERT_NE(e.h, nullptr);
    e.dyn.qValue = 90;
    e.dyn.rotation = c.rotation;
    ASSERT_EQ(e.set(), IMGENC1_EOK);
    CodecStatus st;
    ASSERT_EQ(e.control(XDM_GETBUFINFO, &st), IMGENC1_EOK);
    EXPECT_EQ(st.bufInfo.minNumInBufs, c.uyvy ? 1 : 2);
    EXPECT_EQ(st.bufInfo.minInBufSize[0], c.uyvy ? pitch * 2 * h : pitch * h);

    TestFrame f = make_test_frame(w, h, pitch, c.uyvy, 3);
    Bytes jpeg;
    IMGENC1_OutArgs oa;
    ASSERT_EQ(e.encode(f, st.bufInfo.minOutBufSize[0], &jpeg, &oa), IMGENC1_EOK) << oa.extendedError;
    ASSERT_GT(jpeg.size(), 4u);
    EXPECT_EQ(jpeg[0], 0xFF);
    EXPECT_EQ(jpeg[1], 0xD8);
    EXPECT_EQ(jpeg[jpeg.size() - 2], 0xFF);
    EXPECT_EQ(jpeg[jpeg.size() - 1], 0xD9);

    std::string dir = test_scratch_dir("jpeg");
    std::string path = dir + "/pic.jpg";
    ASSERT_TRUE(write_board_file(path, jpeg));
    EXPECT_EQ(decode_errors(path), "");
    int ow = c.rotation ? h : w, oh = c.rotation ? w : h;
    EXPECT_EQ(probe(path, "stream=codec_name,width,height"),
              "codec_name=mjpeg\nwidth=" + std::to_string(ow) + "\nheight=" + std::to_string(oh) + "\n");
    std::vector<Bytes> pics = decode_luma(path, dir, ow, oh, c.chroma_num);
    ASSERT_EQ(pics.size(), 1u);
    Bytes want = c.rotation ? rotate_luma(f.y, w, h) : f.y;
    EXPECT_GT(luma_psnr(pics[0], want), 36.0);
  }
}

TEST(JpegEncoder, APictureTooBigIsNotWrittenAndLowerQualityMakesItFit) {
  JpegEncoder e(640, 480, 640, false);
  ASSERT_NE(e.h, nullptr);
  TestFrame f = make_test_frame(640, 480, 640, false, 1, 30);
  Bytes jpeg;
  IMGENC1_OutArgs oa;
  e.dyn.qValue = 95;
  ASSERT_EQ(e.set(), IMGENC1_EOK);
  ASSERT_EQ(e.encode(f, 1 << 20, &jpeg, &oa), IMGENC1_EOK);
  const int32_t full = oa.bytesGenerated;

  // A space of half that size: nothing is written, the needed size is told.
  const size_t space = (size_t)full / 2;
  ASSERT_EQ(e.encode(f, space, &jpeg, &oa), IMGENC1_EFAIL);
  EXPECT_EQ(oa.extendedError, (uint32_t)JPEGENC_ERR_OUTPUTBUF);
  EXPECT_EQ(oa.bytesGenerated, full);

  // The caller's remedy: lower the quality by 3 until the picture fits.
  int tries = 0;
  int32_t rc;
  while ((rc = e.encode(f, space, &jpeg, &oa)) != IMGENC1_EOK &&
         oa.extendedError == JPEGENC_ERR_OUTPUTBUF && e.dyn.qValue > 2 && tries < 40) {
    e.dyn.qValue -= 3;
    if (e.dyn.qValue < 2) e.dyn.qValue = 2;
    ASSERT_EQ(e.set(), IMGENC1_EOK);
    tries++;
  }
  ASSERT_EQ(rc, IMGENC1_EOK);
  EXPECT_GT(tries, 0);
  EXPECT_LE(jpeg.size(), space);
  std::string path = test_scratch_dir("jpeg-fit") + "/pic.jpg";
  ASSERT_TRUE(write_board_file(path, jpeg));
  EXPECT_EQ(decode_errors(path), "");
}

TEST(JpegEncoder, BadParametersAndInputsGetTheirErrorCodes) {
  Engine_Handle engine = Engine_open("encode", nullptr, nullptr);
  IMGENC1_Params p = IMGENC1_PARAMS_DEFAULT;
  p.maxWidth = 0;
  EXPECT_EQ(IMGENC1_create(engine, "jpegenc", &p), nullptr);
  EXPECT_EQ(IMGENC1_create(engine, "jpegdec", &IMGENC1_PARAMS_DEFAULT), nullptr);
  Engine_close(engine);

  JpegEncoder e(640, 480, 640, false);
  ASSERT_NE(e.h, nullptr);
  TestFrame f = make_test_frame(640, 480, 640, false, 0);
  Bytes jpeg;
  IMGENC1_OutArgs oa;
  EXPECT_EQ(e.encode(f, 1 << 20, &jpeg, &oa), IMGENC1_EFAIL);
  EXPECT_EQ(oa.extendedError, (uint32_t)JPEGENC_ERR_NOTCONFIGURED);

  typedef IMGENC1_DynamicParams D;
  expect_refused<JpegEncoder, D>(e, e.dyn, {
    {[](D &d) { d.qValue = 0; }, JPEGENC_INVALID_QVALUE},
    {[](D &d) { d.qValue = 101; }, JPEGENC_INVALID_QVALUE},
    {[](D &d) { d.rotation = 45; }, JPEGENC_INVALID_ROTATION},
    {[](D &d) { d.inputWidth = 2000; }, JPEGENC_INVALID_INPUTWIDTH},
    {[](D &d) { d.inputWidth = 641; }, JPEGENC_INVALID_INPUTWIDTH},
    {[](D &d) { d.inputHeight = 1200; }, JPEGENC_INVALID_INPUTHEIGHT},
    {[](D &d) { d.captureWidth = 600; }, JPEGENC_INVALID_CAPTUREWIDTH},
    {[](D &d) { d.inputChromaFormat = 7; }, JPEGENC_INVALID_INPUTCHROMAFORMAT},
    {[](D &d) { d.generateHeader = 1; }, JPEGENC_INVALID_GENERATEHEADER},
  }, IMGENC1_EFAIL);
  ASSERT_EQ(e.set(), IMGENC1_EOK);
  f.chroma.resize(100);
  EXPECT_EQ(e.encode(f, 1 << 20, &jpeg, &oa), IMGENC1_EFAIL);
  EXPECT_EQ(oa.extendedError, (uint32_t)JPEGENC_ERR_INPUTBUF);
}

}  // namespace
