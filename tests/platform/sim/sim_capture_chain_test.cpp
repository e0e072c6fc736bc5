// The simulated capture chain answers the media controller, sub-device and
// V4L2 requests as the board's drivers do, and delivers the test pattern at
// the input's rate.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/capture_ioctl.h"
#include "platform/device.h"
#include "platform/framework/dmai.h"
#include "platform/host_root.h"
#include "platform/sim/sim_capture.h"
#include "platform/sim/sim_control.h"
#include "test_root.h"

namespace {

std::vector<media_entity_desc> entities(int mfd) {
  std::vector<media_entity_desc> v;
  media_entity_desc d = {};
  for (uint32_t id = 0;; id = d.id) {
    memset(&d, 0, sizeof d);
    d.id = id | MEDIA_ENT_ID_FLAG_NEXT;
    if (dev_ioctl(mfd, MEDIA_IOC_ENUM_ENTITIES, &d) != 0) break;
    v.push_back(d);
  }
  return v;
}

const media_entity_desc *by_name(const std::vector<media_entity_desc> &v, const char *name) {
  for (const auto &d : v)
    if (strcmp(d.name, name) == 0) return &d;
  return nullptr;
}

// Enables source -> sink, first disabling whatever feeds the sink pad.
int enable(int mfd, const std::vector<media_entity_desc> &v, const char *src, const char *sink) {
  const media_entity_desc *s = by_name(v, src), *d = by_name(v, sink);
  if (!s || !d) return -1;
  for (const auto &e : v) {
    media_link_desc links[16];
    media_links_enum le = {};
    le.entity = e.id;
    le.links = links;
    if (dev_ioctl(mfd, MEDIA_IOC_ENUM_LINKS, &le) != 0) return -1;
    for (int i = 0; i < e.links; i++)
      if (links[i].sink.entity == d->id && links[i].source.entity != s->id &&
          (links[i].flags & MEDIA_LNK_FL_ENABLED)) {
        links[i].flags &= ~MEDIA_LNK_FL_ENABLED;
        if (dev_ioctl(mfd, MEDIA_IOC_SETUP_LINK, &links[i]) != 0) return -1;
      }
  }
  media_link_desc l = {};
  l.source.entity = s->id;
  l.source.index = strcmp(sink, "DAVINCI VIDEO RSZB output") == 0 ? 2 : (strcmp(src, "adv7842 1-0020") == 0 || strcmp(src, "tp2825 1-0044") == 0) ? 0 : 1;
  l.sink.entity = d->id;
  l.flags = MEDIA_LNK_FL_ENABLED;
  return dev_ioctl(mfd, MEDIA_IOC_SETUP_LINK, &l);
}

const char *node_path(const media_entity_desc &d, char *buf) {
  bool subdev = (d.type & MEDIA_ENT_TYPE_MASK) == (MEDIA_ENT_T_V4L2_SUBDEV & MEDIA_ENT_TYPE_MASK);
  for (int k = 0; k < 8; k++) {
    snprintf(buf, 32, subdev ? "/dev/v4l-subdev%d" : "/dev/video%d", k);
    struct stat st;
    if (dev_stat(buf, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) == d.dev.major &&
        minor(st.st_rdev) == d.dev.minor)
      return buf;
  }
  return nullptr;
}

// One resizer output streaming user-pointer buffers from contiguous memory.
struct Stream {
  int mfd = -1, vfd = -1;
  uint8_t *ring = nullptr;
  uint32_t size = 0;
  int nbufs = 4;

  int start(const char *decoder, const char *out, uint32_t w, uint32_t h, uint32_t fourcc) {
    mfd = dev_open("/dev/media0", O_RDWR);
    auto v = entities(mfd);
    if (enable(mfd, v, decoder, "DAVINCI CCDC") || enable(mfd, v, "DAVINCI CCDC", "DAVINCI PREVIEWER") ||
        enable(mfd, v, "DAVINCI PREVIEWER", "DAVINCI RESIZER") || enable(mfd, v, "DAVINCI RESIZER", out))
      return -1;
    char path[32];
    const media_entity_desc *o = by_name(v, out);
    if (!o || !node_path(*o, path)) return -2;
    vfd = dev_open(path, O_RDWR);
    v4l2_format f = {};
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    f.fmt.pix.width = w;
    f.fmt.pix.height = h;
    f.fmt.pix.pixelformat = fourcc;
    if (dev_ioctl(vfd, VIDIOC_S_FMT, &f)) return -3;
    size = f.fmt.pix.sizeimage;
    v4l2_requestbuffers r = {};
    r.count = (uint32_t)nbufs;
    r.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    r.memory = V4L2_MEMORY_USERPTR;
    if (dev_ioctl(vfd, VIDIOC_REQBUFS, &r)) return -4;
    ring = (uint8_t *)CMEM_alloc((size_t)size * (size_t)nbufs, 32);
    for (int i = 0; i < nbufs; i++)
      if (qbuf(i)) return -5;
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    return dev_ioctl(vfd, VIDIOC_STREAMON, &type) ? -6 : 0;
  }
  int qbuf(int i) {
    v4l2_buffer b = {};
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_USERPTR;
    b.index = (uint32_t)i;
    b.m.userptr = (unsigned long)(ring + (size_t)i * size);
    b.length = size;
    return dev_ioctl(vfd, VIDIOC_QBUF, &b);
  }
  // Waits for a frame as the capture thread does; -1 after two seconds.
  int dqbuf(v4l2_buffer *b) {
    pollfd p = {vfd, POLLIN | POLLPRI, 0};
    if (poll(&p, 1, 2000) != 1) return -1;
    memset(b, 0, sizeof *b);
    b->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b->memory = V4L2_MEMORY_USERPTR;
    return dev_ioctl(vfd, VIDIOC_DQBUF, b);
  }
  ~Stream() {
    if (vfd >= 0) dev_close(vfd);
    if (mfd >= 0) dev_close(mfd);
    if (ring) CMEM_free(ring);
  }
};

// The frame number shown by the 16-cell strip on the bottom line (UYVY).
uint32_t counter_of(const uint8_t *frame, uint32_t w, uint32_t h, uint32_t bpl) {
  const uint8_t *row = frame + (size_t)(h - 1) * bpl;
  uint32_t n = 0;
  for (uint32_t cell = 0; cell < 16; cell++) {
    uint32_t x = cell * w / 16 + w / 32;
    n = n << 1 | (row[2 * x + 1] > 128);
  }
  return n;
}

class SimCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    hwmap();
    sim_capture_reset(SIM_DECODER_ADV7842);
  }
  void TearDown() override { sim_capture_reset(SIM_DECODER_SYSFS); }
  static void hwmap() { sim_mem_reg(0x01C20810); }
};

}  // namespace

TEST_F(SimCapture, GraphFollowsSysfsAndDeviceNumbersMatchTheNodes) {
  sim_capture_reset(SIM_DECODER_SYSFS);
  int mfd = dev_open("/dev/media0", O_RDWR);
  ASSERT_GE(mfd, 0);
  auto v = entities(mfd);
  // The root's sysfs names a tp2825 board.
  for (const char *n : {"DAVINCI CCDC", "DAVINCI PREVIEWER", "DAVINCI RESIZER", "DAVINCI VIDEO RSZ output",
                        "DAVINCI VIDEO RSZB output", "tp2825 1-0044"})
    EXPECT_NE(by_name(v, n), nullptr) << n;
  char path[32];
  ASSERT_NE(node_path(*by_name(v, "DAVINCI CCDC"), path), nullptr);
  EXPECT_STREQ(path, "/dev/v4l-subdev0");
  ASSERT_NE(node_path(*by_name(v, "DAVINCI VIDEO RSZ output"), path), nullptr);
  EXPECT_STREQ(path, "/dev/video4");
  ASSERT_NE(node_path(*by_name(v, "tp2825 1-0044"), path), nullptr);
  EXPECT_STREQ(path, "/dev/v4l-subdev5");
  EXPECT_EQ(by_name(v, "tp2825 1-0044")->type, (uint32_t)MEDIA_ENT_T_V4L2_SUBDEV_DECODER);
  // An entity id that does not exist ends the enumeration.
  media_entity_desc d = {};
  d.id = 99;
  EXPECT_EQ(dev_ioctl(mfd, MEDIA_IOC_ENUM_ENTITIES, &d), -1);
  dev_close(mfd);
  SimCaptureInfo info;
  sim_capture_info(&info);
  EXPECT_EQ(info.decoder, SIM_DECODER_TP2825);
}

TEST_F(SimCapture, ASinkPadTakesOneSourceAtATime) {
  int mfd = dev_open("/dev/media0", O_RDWR);
  auto v = entities(mfd);
  media_link_desc l = {};
  l.source.entity = by_name(v, "DAVINCI CCDC")->id;
  l.source.index = 1;
  l.sink.entity = by_name(v, "DAVINCI PREVIEWER")->id;
  l.flags = MEDIA_LNK_FL_ENABLED;
  // The previewer's input node feeds its sink pad at power-on.
  EXPECT_EQ(dev_ioctl(mfd, MEDIA_IOC_SETUP_LINK, &l), -1);
  EXPECT_EQ(errno, EBUSY);
  EXPECT_EQ(enable(mfd, v, "DAVINCI CCDC", "DAVINCI PREVIEWER"), 0);
  dev_close(mfd);
}

// Each frame's stamp, sequence number and counter are read before its
// buffer goes back. The chain says what it did: frames fall on the input's
// grid, so stamps step by whole frames; the sequence counts the frames it
// filled; the counter counts the frame times it served, those that found no
// buffer queued (dropped, the reader held off the CPU) among them. A frame
// time the chain's own clock was held off for is passed over with no count
// at all: the stamp moves on by it and nothing else does.
TEST_F(SimCapture, DeliversThePatternAtTheInputRateWithExactStamps) {
  Stream s;
  ASSERT_EQ(s.start("adv7842 1-0020", "DAVINCI VIDEO RSZ output", 640, 360, V4L2_PIX_FMT_UYVY), 0);
  SimCaptureInfo info;
  sim_capture_info(&info);
  const uint64_t dropped = info.out[0].dropped + info.out[1].dropped;
  v4l2_buffer b[6];
  uint32_t counter[6];
  for (int i = 0; i < 6; i++) {
    ASSERT_EQ(s.dqbuf(&b[i]), 0) << i;
    const uint8_t *f = (const uint8_t *)b[i].m.userptr;
    counter[i] = counter_of(f, 640, 360, 1280);
    if (i == 5) {
      EXPECT_EQ(b[5].bytesused, 640u * 2 * 360);
      // The first and second bars under the grain.
      EXPECT_NEAR(f[1], 180, 6);                  // white luma
      EXPECT_NEAR(f[80 * 2 + 0], 44, 6);          // yellow Cb
      EXPECT_NEAR(f[80 * 2 + 1], 162, 6);         // yellow Y
    }
    ASSERT_EQ(s.qbuf((int)b[i].index), 0);
  }
  uint64_t unfilled = 0;
  for (int i = 1; i < 6; i++) {
    // 1080p30 on the DVI input: 3000 ticks a frame.
    uint32_t step = capture_buf_stamp(&b[i]) - capture_buf_stamp(&b[i - 1]);
    EXPECT_TRUE(step >= 3000u && step % 3000 == 0) << i << ": " << step;
    // The strip holds 16 bits of the frame number.
    uint32_t served = (counter[i] - counter[i - 1]) & 0xFFFF;
    EXPECT_GE(served, 1u) << i << ": the same frame number twice";
    EXPECT_LE(served, step / 3000) << i << ": more frames served than frame times passed";
    if (served >= 1) unfilled += served - 1;
    EXPECT_EQ(b[i].sequence, b[i - 1].sequence + 1) << i;
  }
  sim_capture_info(&info);
  EXPECT_LE(unfilled, info.out[0].dropped + info.out[1].dropped - dropped)
      << "frames served and never filled that the chain did not count as dropped";
}

TEST_F(SimCapture, UserPointersMustBeContiguousMemory) {
  Stream s;
  ASSERT_EQ(s.start("adv7842 1-0020", "DAVINCI VIDEO RSZB output", 320, 240, V4L2_PIX_FMT_NV12), 0);
  static uint8_t heap[320 * 240 * 3 / 2];
  v4l2_buffer b = {};
  ASSERT_EQ(s.dqbuf(&b), 0);
  b.m.userptr = (unsigned long)heap;
  b.length = sizeof heap;
  EXPECT_EQ(dev_ioctl(s.vfd, VIDIOC_QBUF, &b), -1);
  EXPECT_EQ(errno, EFAULT);
}

TEST_F(SimCapture, NoSignalStopsFramesAndRaisesTheDecoderEvent) {
  Stream s;
  ASSERT_EQ(s.start("adv7842 1-0020", "DAVINCI VIDEO RSZ output", 320, 180, V4L2_PIX_FMT_UYVY), 0);
  int dfd = dev_open("/dev/v4l-subdev5", O_RDWR);
  v4l2_event_subscription sub = {};
  sub.type = DECODER_EVENT_SIGNAL;
  ASSERT_EQ(dev_ioctl(dfd, VIDIOC_SUBSCRIBE_EVENT, &sub), 0);
  sim_capture_set_signal(0, 0);
  pollfd p = {dfd, POLLIN | POLLPRI, 0};
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  v4l2_event ev = {};
  ASSERT_EQ(dev_ioctl(dfd, VIDIOC_DQEVENT, &ev), 0);
  EXPECT_EQ(ev.type, (uint32_t)DECODER_EVENT_SIGNAL);
  EXPECT_EQ(dev_ioctl(dfd, VIDIOC_DQEVENT, &ev), -1);
  v4l2_input in = {};
  ASSERT_EQ(dev_ioctl(dfd, VIDIOC_ENUMINPUT, &in), 0);
  EXPECT_TRUE(in.status & V4L2_IN_ST_NO_SIGNAL);
  v4l2_dv_timings t;
  EXPECT_EQ(dev_ioctl(dfd, VIDIOC_QUERY_DV_TIMINGS, &t), -1);
  EXPECT_EQ(errno, ENOLINK);
  // Drain what was captured before the signal went, then nothing comes.
  pollfd q = {s.vfd, POLLIN, 0};
  v4l2_buffer b;
  while (poll(&q, 1, 0) == 1) ASSERT_EQ(s.dqbuf(&b), 0);
  EXPECT_EQ(poll(&q, 1, 300), 0);
  dev_close(dfd);
}

TEST_F(SimCapture, DecoderRegistersMatchTheChipAddress) {
  int dfd = dev_open("/dev/v4l-subdev5", O_RDWR);
  v4l2_dbg_register r = {};
  r.match.type = V4L2_CHIP_MATCH_I2C_ADDR;
  r.match.addr = 0x20;
  r.reg = 0x5DD;
  r.val = 0xBC;
  ASSERT_EQ(dev_ioctl(dfd, VIDIOC_DBG_S_REGISTER, &r), 0);
  EXPECT_EQ(sim_capture_reg(0x5DD), 0xBC);
  r.match.addr = 0x44;
  EXPECT_EQ(dev_ioctl(dfd, VIDIOC_DBG_G_REGISTER, &r), -1);
  dev_close(dfd);
}

TEST(SimCaptureText, CommandsAreCheckedWordForWord) {
  EXPECT_EQ(sim_capture_command("reset adv7842"), 0);
  EXPECT_EQ(sim_capture_command("timings 0 1920 1080 p 60000 148500000"), 0);
  EXPECT_EQ(sim_capture_command("# a comment"), 0);
  EXPECT_EQ(sim_capture_command("timings 0 1920 1080 x 60000"), -1);
  EXPECT_EQ(sim_capture_command("signal 9 1"), -1);
  EXPECT_EQ(sim_capture_command("signal 0 -1"), -1);
  EXPECT_EQ(sim_capture_command("stall 1 2"), -1);
  EXPECT_EQ(sim_capture_command("fail 0 1"), -1);
  EXPECT_EQ(sim_capture_command("bogus"), -1);
  int dfd = dev_open("/dev/v4l-subdev5", O_RDWR);
  v4l2_dv_timings t = {};
  ASSERT_EQ(dev_ioctl(dfd, VIDIOC_QUERY_DV_TIMINGS, &t), 0);
  EXPECT_EQ((uint64_t)t.bt.pixelclock, 148500000u);  // packed: read out first
  dev_close(dfd);
  sim_capture_reset(SIM_DECODER_SYSFS);
}

TEST(SimCaptureText, CommandFileIsFollowed) {
  RootKeep keep({"/run/sim_capture.cmd"});
  sim_capture_reset(SIM_DECODER_ADV7842);
  int mfd = dev_open("/dev/media0", O_RDWR);  // starts the watcher
  ASSERT_EQ(sys_write_text("/run/sim_capture.cmd", "signal 0 0\n"), 0);
  int dfd = dev_open("/dev/v4l-subdev5", O_RDWR);
  v4l2_input in = {};
  for (int i = 0; i < 50 && !(in.status & V4L2_IN_ST_NO_SIGNAL); i++) {
    usleep(20000);
    in.index = 0;
    ASSERT_EQ(dev_ioctl(dfd, VIDIOC_ENUMINPUT, &in), 0);
  }
  EXPECT_TRUE(in.status & V4L2_IN_ST_NO_SIGNAL);
  dev_close(dfd);
  dev_close(mfd);
  sim_capture_reset(SIM_DECODER_SYSFS);
}

TEST(SimCaptureText, Y4mHeadersOutsideWhatWeShowAreRefused) {
  SimY4mHeader h;
  const char ok[] = "YUV4MPEG2 W320 H240 F25:1 Ip A1:1 C420jpeg\n";
  ASSERT_EQ(sim_y4m_parse_header((const uint8_t *)ok, sizeof ok - 1, &h), 0);
  EXPECT_EQ(h.width, 320u);
  EXPECT_EQ(h.height, 240u);
  const char *bad[] = {"YUV4MPEG2 W0 H240\n", "YUV4MPEG2 W320\n", "YUV4MPEG2 W320 H240 C420p10\n",
                       "YUV4MPEG W320 H240\n", "YUV4MPEG2 W99999 H2\n"};
  for (const char *b : bad) EXPECT_EQ(sim_y4m_parse_header((const uint8_t *)b, strlen(b), &h), -1) << b;
}
