// The host "h264enc": streams it makes from NV12 and UYVY frames with a wide
// pitch are checked by ffprobe and ffmpeg (profile, level, size, frame rate,
// SAR, IDR spacing, no B pictures, clean decoding, picture fidelity); rate
// control, slice output, output overflow and parameter faults.
#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>

#include "platform/framework/codec_engine.h"
#include "platform/framework/codec_frames.h"

namespace {

struct Encoder {
  Engine_Handle engine = nullptr;
  VIDENC1_Handle h = nullptr;
  H264VENC_Params params = H264VENC_PARAMS_DEFAULT;
  H264VENC_DynamicParams dyn = H264VENC_DYNAMICPARAMS_DEFAULT;
  Bytes stream;
  std::vector<int> types;
  int inputID = 0;

  Encoder(int w, int h, int pitch, bool uyvy, int profile = 100, int level = 40) {
    params.videncParams.maxWidth = w;
    params.videncParams.maxHeight = h;
    params.videncParams.inputChromaFormat = uyvy ? CODEC_CHROMA_YUV422ILE : CODEC_CHROMA_YUV420SP;
    params.profileIdc = profile;
    params.levelIdc = level;
    params.entropyMode = profile == 66 ? 0 : 1;
    params.enableVUIparams = 4;
    dyn.videncDynamicParams.inputWidth = w;
    dyn.videncDynamicParams.inputHeight = h;
    dyn.videncDynamicParams.captureWidth = pitch;
  }
  ~Encoder() {
    VIDENC1_delete(h);
    Engine_close(engine);
  }
  bool open() {
    int err = -1;
    engine = Engine_open("encode", nullptr, &err);
    if (!engine || err != Engine_EOK) return false;
    h = VIDENC1_create(engine, "h264enc", &params.videncParams);
    return h != nullptr;
  }
  int32_t set(uint32_t *ext = nullptr) {
    CodecStatus st{};
    st.size = sizeof st;
    int32_t rc = VIDENC1_control(h, XDM_SETPARAMS, &dyn.videncDynamicParams, &st);
    if (ext) *ext = st.extendedError;
    return rc;
  }
  // Encodes one frame into an output space of outSize bytes (guarded after
  // its end) and appends the access unit to the stream.
  int32_t encode(const TestFrame &f, VIDENC1_OutArgs *oa, size_t outSize = 1 << 20) {
    CodecBufDesc in{};
    in.numBufs = f.uyvy ? 1 : 2;
    in.bufs[0] = const_cast<uint8_t *>(f.luma.data());
    in.bufSizes[0] = (int32_t)f.luma.size();
    if (!f.uyvy) {
      in.bufs[1] = const_cast<uint8_t *>(f.chroma.data());
      in.bufSizes[1] = (int32_t)f.chroma.size();
    }
    std::vector<uint8_t> out(outSize + 64, 0xA5);
    CodecBufDesc ob{};
    ob.numBufs = 1;
    ob.bufs[0] = out.data();
    ob.bufSizes[0] = (int32_t)outSize;
    VIDENC1_InArgs ia{(int32_t)sizeof ia, ++inputID, 1};
    *oa = VIDENC1_OutArgs{};
    oa->size = sizeof *oa;
    int32_t rc = VIDENC1_process(h, &in, &ob, &ia, oa);
    for (size_t i = outSize; i < out.size(); i++)
      if (out[i] != 0xA5) ADD_FAILURE() << "output written past its space at " << i;
    if (rc == VIDENC1_EOK) {
      EXPECT_EQ(oa->outputID, inputID);
      if (params.outputDataMode == H264ENC_OUTPUT_FRAME)
        stream.insert(stream.end(), out.begin(), out.begin() + oa->bytesGenerated);
      types.push_back(oa->encodedFrameType);
    }
    return rc;
  }
  void encode_frames(int n, int first = 0, int noise = 0) {
    const VIDENC1_DynamicParams &d = dyn.videncDynamicParams;
    bool uyvy = params.videncParams.inputChromaFormat == CODEC_CHROMA_YUV422ILE;
    for (int t = first; t < first + n; t++) {
      TestFrame f = make_test_frame(d.inputWidth, d.inputHeight, d.captureWidth, uyvy, t, noise);
      VIDENC1_OutArgs oa;
      ASSERT_EQ(encode(f, &oa), VIDENC1_EOK) << "frame " << t << " ext " << oa.extendedError;
    }
  }
};

std::string write_stream(const char *tag, const Bytes &es) {
  std::string dir = test_scratch_dir(tag);
  std::string path = dir + "/out.h264";
  EXPECT_TRUE(write_board_file(path, es));
  return path;
}

// Offsets of the NAL units; false when any start code is not 4 bytes long.
bool nal_starts(const Bytes &es, std::vector<size_t> *starts) {
  bool all_long = true;
  for (size_t i = 0; i + 3 <= es.size(); i++) {
    if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1) {
      if (i == 0 || es[i - 1] != 0) all_long = false;
      if (starts) starts->push_back(i + 3);
      i += 2;
    }
  }
  return all_long;
}

TEST(H264Encoder, Nv12StreamCarriesTheConfiguredProfileLevelRateSarAndGop) {
  Encoder e(640, 360, 704, false, 100, 31);
  e.dyn.videncDynamicParams.targetFrameRate = 30000;
  e.dyn.videncDynamicParams.intraFrameInterval = 10;
  e.dyn.idrFrameInterval = 10;
  e.dyn.vui.timingInfoPresentFlag = 1;
  e.dyn.vui.timeScale = 30000;
  e.dyn.vui.numUnitsInTicks = 500;
  e.dyn.vui.aspectRatioInfoPresentFlag = 1;
  e.dyn.aspectRatioX = 4;
  e.dyn.aspectRatioY = 3;
  ASSERT_TRUE(e.open());
  ASSERT_EQ(e.set(), VIDENC1_EOK);
  e.encode_frames(35);
  ASSERT_EQ(e.types.size(), 35u);
  for (size_t i = 0; i < e.types.size(); i++)
    EXPECT_EQ(e.types[i], i % 10 == 0 ? IVIDEO_IDR_FRAME : IVIDEO_P_FRAME) << "frame " << i;
  EXPECT_TRUE(nal_starts(e.stream, nullptr)) << "a NAL unit with a 3-byte start code";

  std::string path = write_stream("h264-nv12", e.stream);
  EXPECT_EQ(decode_errors(path), "");
  EXPECT_EQ(probe(path, "stream=codec_name,profile,level,width,height,r_frame_rate,sample_aspect_ratio"),
            "codec_name=h264\nprofile=High\nwidth=640\nheight=360\nsample_aspect_ratio=4:3\n"
            "level=31\nr_frame_rate=30/1\n");
  std::string frames = probe(path, "frame=pict_type,key_frame");
  std::string expect;
  for (int i = 0; i < 35; i++)
    expect += i % 10 == 0 ? "key_frame=1\npict_type=I\n" : "key_frame=0\npict_type=P\n";
  EXPECT_EQ(frames, expect);
}

TEST(H264Encoder, BaselineAndMainProfilesAndNtscTiming) {
  struct Case { int profile, level; bool uyvy; const char *name; } cases[] = {
    {66, 30, false, "profile=Constrained Baseline"},
    {77, 22, true, "profile=Main"},
  };
  for (const Case &c : cases) {
    Encoder e(352, 288, 384, c.uyvy, c.profile, c.level);
    // 29.97 frames/s: 30000 / (2 x 1001) pictures per tick pair.
    e.dyn.vui.timingInfoPresentFlag = 1;
    e.dyn.vui.timeScale = 60000;
    e.dyn.vui.numUnitsInTicks = 1001;
    e.dyn.videncDynamicParams.targetFrameRate = 29970;
    ASSERT_TRUE(e.open());
    ASSERT_EQ(e.set(), VIDENC1_EOK);
    e.encode_frames(12);
    std::string path = write_stream("h264-prof", e.stream);
    EXPECT_EQ(decode_errors(path), "");
    std::string s = probe(path, "stream=profile,level,r_frame_rate,width,height");
    EXPECT_NE(s.find(c.name), std::string::npos) << s;
    EXPECT_NE(s.find("level=" + std::to_string(c.level)), std::string::npos) << s;
    EXPECT_NE(s.find("r_frame_rate=30000/1001"), std::string::npos) << s;
    EXPECT_NE(s.find("width=352\nheight=288"), std::string::npos) << s;
  }
}

TEST(H264Encoder, DecodedPicturesMatchTheirPitchedSource) {
  for (bool uyvy : {false, true}) {
    Encoder e(320, 240, 352, uyvy);
    e.params.videncParams.rateControlPreset = H264ENC_RC_PRESET_NONE;
    e.dyn.intraFrameQP = 18;
    e.dyn.interPFrameQP = 18;
    ASSERT_TRUE(e.open());
    ASSERT_EQ(e.set(), VIDENC1_EOK);
    e.encode_frames(5);
    std::string dir = test_scratch_dir("h264-psnr");
    std::string path = dir + "/out.h264";
    ASSERT_TRUE(write_board_file(path, e.stream));
    std::vector<Bytes> pics = decode_luma(path, dir, 320, 240, 2);
    ASSERT_EQ(pics.size(), 5u);
    for (int t = 0; t < 5; t++) {
      TestFrame f = make_test_frame(320, 240, 352, uyvy, t);
      EXPECT_GT(luma_psnr(pics[t], f.y), 40.0) << (uyvy ? "UYVY" : "NV12") << " frame " << t;
    }
  }
}

TEST(H264Encoder, OneFieldPerBufferIsCodedAsAHalfHeightPicture) {
  Encoder e(320, 240, 352, false);
  e.params.videncParams.inputContentType = IVIDEO_INTERLACED;
  ASSERT_TRUE(e.open());
  ASSERT_EQ(e.set(), VIDENC1_EOK);
  for (int t = 0; t < 6; t++) {
    TestFrame field = make_test_frame(320, 120, 352, false, t);
    VIDENC1_OutArgs oa;
    ASSERT_EQ(e.encode(field, &oa), VIDENC1_EOK);
  }
  std::string path = write_stream("h264-fields", e.stream);
  EXPECT_EQ(decode_errors(path), "");
  EXPECT_EQ(probe(path, "stream=width,height"), "width=320\nheight=120\n");
}

TEST(H264Encoder, RateControlFollowsTheTarget) {
  const int fps = 30, n = 150;
  auto measure = [&](Encoder &e, int first) {
    size_t before = e.stream.size();
    e.encode_frames(n, first, 24);
    return (double)(e.stream.size() - before) * 8 * fps / n;
  };
  {
    Encoder e(320, 240, 320, false);
    e.dyn.rcAlgo = H264ENC_RCALGO_CBR;
    e.dyn.idrFrameInterval = e.dyn.videncDynamicParams.intraFrameInterval = 0;
    e.dyn.videncDynamicParams.targetBitRate = 400000;
    ASSERT_TRUE(e.open());
    ASSERT_EQ(e.set(), VIDENC1_EOK);
    double r1 = measure(e, 0);
    EXPECT_NEAR(r1, 400000, 400000 * 0.2);
    // A new rate under the VBV is taken in place, without a new IDR picture.
    e.dyn.videncDynamicParams.targetBitRate = 800000;
    ASSERT_EQ(e.set(), VIDENC1_EOK);
    double r2 = measure(e, n);
    EXPECT_NEAR(r2, 800000, 800000 * 0.2);
    EXPECT_EQ(e.types[n], IVIDEO_P_FRAME);
    EXPECT_EQ(decode_errors(write_stream("h264-cbr", e.stream)), "");
  }
  {
    Encoder e(320, 240, 320, false);
    e.dyn.rcAlgo = H264ENC_RCALGO_VBR;
    e.dyn.videncDynamicParams.targetBitRate = 600000;
    ASSERT_TRUE(e.open());
    ASSERT_EQ(e.set(), VIDENC1_EOK);
    EXPECT_NEAR(measure(e, 0), 600000, 600000 * 0.3);
  }
  {
    // Fixed QP: a coarser quantiser makes a much smaller stream.
    size_t bytes[2];
    int qps[2] = {20, 40};
    for (int i = 0; i < 2; i++) {
      Encoder e(320, 240, 320, false);
      e.dyn.rcAlgo = H264ENC_RCALGO_FIXED_QP;
      e.dyn.intraFrameQP = e.dyn.interPFrameQP = qps[i];
      ASSERT_TRUE(e.open());
      ASSERT_EQ(e.set(), VIDENC1_EOK);
      e.encode_frames(20, 0, 24);
      bytes[i] = e.stream.size();
    }
    EXPECT_GT(bytes[0], 3 * bytes[1]);
  }
}

struct SliceSink {
  std::vector<Bytes> chunks;
  std::vector<uint8_t> space;
  size_t used = 0;
  int refuse_after = -1;   // refuse more space after that many chunks
};

int32_t put_data_get_space(void *handle, H264ENC_DataSyncDesc *desc) {
  SliceSink *s = (SliceSink *)handle;
  s->chunks.emplace_back(desc->buf, desc->buf + desc->bufSize);
  if (s->refuse_after >= 0 && (int)s->chunks.size() >= s->refuse_after) return -1;
  s->used = (s->used + desc->bufSize + 4096) % (s->space.size() - 65536);
  desc->buf = s->space.data() + s->used;
  desc->bufSize = 65536;
  return 0;
}

TEST(H264Encoder, SliceModeHandsOverOneChunkPerSlice) {
  Encoder e(320, 240, 352, false);
  SliceSink sink;
  sink.space.resize(1 << 20);
  e.params.sliceMode = H264ENC_SLICEMODE_ROWS;
  e.params.outputDataMode = H264ENC_OUTPUT_SLICES;
  e.dyn.sliceSize = 2;   // 15 macroblock rows: 8 slices
  e.dyn.putDataGetSpaceFxn = put_data_get_space;
  e.dyn.dataSyncHandle = &sink;
  e.dyn.idrFrameInterval = e.dyn.videncDynamicParams.intraFrameInterval = 4;
  ASSERT_TRUE(e.open());
  ASSERT_EQ(e.set(), VIDENC1_EOK);
  e.encode_frames(8);
  // Per IDR picture: the parameter sets, then 8 slices; per P picture 8 slices.
  ASSERT_EQ(sink.chunks.size(), 2u * 9 + 6u * 8);
  Bytes all;
  size_t k = 0;
  for (int f = 0; f < 8; f++) {
    bool idr = f % 4 == 0;
    if (idr) {
      const Bytes &c = sink.chunks[k++];
      ASSERT_GE(c.size(), 5u);
      EXPECT_EQ(Bytes(c.begin(), c.begin() + 5), (Bytes{0, 0, 0, 1, 0x67}));
      std::vector<size_t> st;
      EXPECT_TRUE(nal_starts(c, &st));
      ASSERT_EQ(st.size(), 2u);
      EXPECT_EQ(c[st[1]] & 0x1F, 8);
      all.insert(all.end(), c.begin(), c.end());
    }
    for (int s = 0; s < 8; s++) {
      const Bytes &c = sink.chunks[k++];
      std::vector<size_t> st;
      EXPECT_TRUE(nal_starts(c, &st));
      ASSERT_EQ(st.size(), 1u) << "frame " << f << " slice " << s;
      EXPECT_EQ(c[st[0]] & 0x1F, idr ? 5 : 1);
      all.insert(all.end(), c.begin(), c.end());
    }
  }
  std::string path = write_stream("h264-slices", all);
  EXPECT_EQ(decode_errors(path), "");
  EXPECT_NE(probe(path, "stream=width,height").find("width=320\nheight=240"), std::string::npos);

  // Space refused in the middle of a picture: the call fails and the next
  // picture starts a fresh stream.
  sink.chunks.clear();
  sink.refuse_after = 3;
  TestFrame f = make_test_frame(320, 240, 352, false, 9);
  VIDENC1_OutArgs oa;
  EXPECT_EQ(e.encode(f, &oa), VIDENC1_EFAIL);
  EXPECT_EQ(oa.extendedError, (uint32_t)H264ENC_ERR_PUTDATA);
  EXPECT_EQ(sink.chunks.size(), 3u);
  sink.refuse_after = -1;
  EXPECT_EQ(e.encode(f, &oa), VIDENC1_EOK);
  EXPECT_EQ(oa.encodedFrameType, IVIDEO_IDR_FRAME);
}

TEST(H264Encoder, AnAccessUnitThatDoesNotFitIsDroppedAndTheStreamRecovers) {
  Encoder e(320, 240, 320, false);
  ASSERT_TRUE(e.open());
  ASSERT_EQ(e.set(), VIDENC1_EOK);
  e.encode_frames(3);
  TestFrame f = make_test_frame(320, 240, 320, false, 3, 24);
  VIDENC1_OutArgs oa;
  EXPECT_EQ(e.encode(f, &oa, 100), VIDENC1_EFAIL);   // guard bytes checked inside
  EXPECT_EQ(oa.extendedError, (uint32_t)H264ENC_ERR_OUTPUTBUF);
  EXPECT_EQ(oa.bytesGenerated, 0);
  EXPECT_EQ(e.encode(f, &oa), VIDENC1_EOK);
  EXPECT_EQ(oa.encodedFrameType, IVIDEO_IDR_FRAME);
  e.encode_frames(3, 4);
  EXPECT_EQ(decode_errors(write_stream("h264-full", e.stream)), "");
}

TEST(H264Encoder, ResetForcedFramesAndIntraPicturesBetweenIdrs) {
  Encoder e(320, 240, 320, false);
  e.dyn.idrFrameInterval = 12;
  e.dyn.videncDynamicParams.intraFrameInterval = 4;
  ASSERT_TRUE(e.open());
  ASSERT_EQ(e.set(), VIDENC1_EOK);
  e.encode_frames(13);
  std::vector<int> expect = {3, 1, 1, 1, 0, 1, 1, 1, 0, 1, 1, 1, 3};
  EXPECT_EQ(e.types, expect);

  CodecStatus st{};
  st.size = sizeof st;
  ASSERT_EQ(VIDENC1_control(e.h, XDM_RESET, nullptr, &st), VIDENC1_EOK);
  e.encode_frames(2, 13);
  EXPECT_EQ(e.types[13], IVIDEO_IDR_FRAME);
  EXPECT_EQ(e.types[14], IVIDEO_P_FRAME);
  e.dyn.videncDynamicParams.forceFrame = IVIDEO_IDR_FRAME;
  ASSERT_EQ(e.set(), VIDENC1_EOK);
  e.encode_frames(1, 15);
  EXPECT_EQ(e.types[15], IVIDEO_IDR_FRAME);
  EXPECT_EQ(decode_errors(write_stream("h264-reset", e.stream)), "");

  ASSERT_EQ(VIDENC1_control(e.h, XDM_GETBUFINFO, nullptr, &st), VIDENC1_EOK);
  EXPECT_EQ(st.bufInfo.minNumInBufs, 2);
  EXPECT_EQ(st.bufInfo.minInBufSize[0], 320 * 240);
  EXPECT_EQ(st.bufInfo.minInBufSize[1], 320 * 120);
  EXPECT_EQ(st.bufInfo.minNumOutBufs, 1);
  EXPECT_GE(st.bufInfo.minOutBufSize[0], 320 * 240);
}

TEST(H264Encoder, BadParametersAndInputsAreRefused) {
  int err;
  EXPECT_EQ(Engine_open("decode", nullptr, &err), nullptr);
  EXPECT_EQ(err, Engine_ENOTFOUND);
  {
    Encoder e(320, 240, 320, false, 88);
    EXPECT_FALSE(e.open());
  }
  {
    Encoder e(320, 240, 320, false);
    ASSERT_TRUE(e.open());
    EXPECT_EQ(VIDENC1_create(e.engine, "h264dec", &e.params.videncParams), nullptr);
    TestFrame f = make_test_frame(320, 240, 320, false, 0);
    VIDENC1_OutArgs oa;
    EXPECT_EQ(e.encode(f, &oa), VIDENC1_EFAIL);
    EXPECT_EQ(oa.extendedError, (uint32_t)H264ENC_ERR_NOTCONFIGURED);

    typedef H264VENC_DynamicParams D;
    expect_refused<Encoder, D>(e, e.dyn, {
      {[](D &d) { d.videncDynamicParams.inputWidth = 336; }, H264ENC_ERR_INPUTSIZE},
      {[](D &d) { d.videncDynamicParams.inputHeight = 239; }, H264ENC_ERR_INPUTSIZE},
      {[](D &d) { d.videncDynamicParams.captureWidth = 300; }, H264ENC_ERR_CAPTUREWIDTH},
      {[](D &d) { d.videncDynamicParams.targetFrameRate = 0; }, H264ENC_ERR_FRAMERATE},
      {[](D &d) { d.videncDynamicParams.targetBitRate = 60000000; }, H264ENC_ERR_BITRATE},
      {[](D &d) { d.rcAlgo = 3; }, H264ENC_ERR_RATECONTROL},
      {[](D &d) { d.rcQMin = 40; d.rcQMax = 30; }, H264ENC_ERR_QP},
      {[](D &d) { d.videncDynamicParams.interFrameInterval = 3; }, H264ENC_ERR_INTERVAL},
      {[](D &d) { d.aspectRatioX = 0; }, H264ENC_ERR_ASPECTRATIO},
    }, VIDENC1_EFAIL);
    ASSERT_EQ(e.set(), VIDENC1_EOK);
    f.chroma.resize(f.chroma.size() / 2);
    EXPECT_EQ(e.encode(f, &oa), VIDENC1_EFAIL);
    EXPECT_EQ(oa.extendedError, (uint32_t)H264ENC_ERR_INPUTBUF);
  }
}

}  // namespace
