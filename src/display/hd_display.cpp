#include "display/hd_display.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <unistd.h>

#include "core/global.h"
#include "core/hwreg.h"
#include "core/log.h"
#include "core/param_apply.h"
#include "core/param_block.h"
#include "core/param_flash.h"
#include "display/display_std.h"
#include "display/display_tx.h"
#include "display/osd_windows.h"
#include "media/capture.h"
#include "platform/device.h"
#include "platform/display_ioctl.h"
#include "platform/host_root.h"

DisplayInfo display_info;
HdDisplay *hd_display;
void (*display_status_message_hook)(const char *text);

namespace {

constexpr uint32_t kVencVidctl = 0x01C71E04u;

struct PresetRow {
  int16_t width, height;
  int8_t interlaced;
  int32_t fps;  // thousandths
};

PresetRow preset_row(int preset) {
  switch (preset) {
    case 1: return {720, 480, 0, 59940};
    case 2: return {720, 576, 0, 50000};
    case 3: return {1280, 720, 0, 24000};
    case 4: return {1280, 720, 0, 25000};
    case 5: return {1280, 720, 0, 30000};
    case 6: return {1280, 720, 0, 50000};
    case 8: return {1280, 720, 0, 60000};
    case 10: return {1920, 1080, 1, 30000};
    case 11: return {1920, 1080, 1, 25000};
    case 12: return {1920, 1080, 1, 50000};
    case 13: return {1920, 1080, 1, 60000};
    case 14: return {1920, 1080, 0, 24000};
    case 15: return {1920, 1080, 0, 25000};
    case 16: return {1920, 1080, 0, 30000};
    case 17: return {1920, 1080, 0, 50000};
    case 18: return {1920, 1080, 0, 60000};
    default: return {0, 0, 0, 0};
  }
}

void info_from_bt(const v4l2_bt_timings &bt) {
  display_info.width = (int32_t)bt.width;
  display_info.height = (int32_t)bt.height;
  display_info.interlaced = bt.interlaced ? 1 : 0;
  display_info.fps = (int32_t)dv_timings_refresh(&bt);
}

bool quitting(void) { return get_exit_code() != EXIT_RUNNING; }

// The capture's timing, with a CEA-861 row's porches when one matches; a
// 720p capture at 24 to 30 frames goes out at the 60 or 50 frame timing.
void capture_timings(DisplayAttrs *attrs, v4l2_dv_timings *t) {
  v4l2_dv_timings last;
  capture_timings_get(&last);
  const v4l2_bt_timings &cap = last.bt;
  uint32_t cw, ch, cil, rate;
  capture_input_get(&cw, &ch, &cil, &rate);
  v4l2_bt_timings &bt = t->bt;
  bt.width = cw;
  bt.height = ch;
  bt.interlaced = cil ? 1 : 0;
  bt.hfrontporch = cap.hfrontporch;
  bt.hsync = cap.hsync;
  bt.hbackporch = cap.hbackporch;
  bt.vfrontporch = cap.vfrontporch;
  bt.vsync = cap.vsync;
  bt.vbackporch = cap.vbackporch;
  uint32_t htotal = bt.width + bt.hfrontporch + bt.hsync + bt.hbackporch;
  uint32_t vtotal = bt.height + bt.vfrontporch + bt.vsync + bt.vbackporch;
  bt.pixelclock = (uint64_t)htotal * vtotal * rate / 1000;
  for (const CeaTiming *row = cea_timings; row->htotal; row++) {
    if (row->width != bt.width || row->height != bt.height || row->pixelclock != 74250000) continue;
    if (!((row->htotal == htotal && row->vtotal == vtotal) ||
          cea_rate_milli(row->htotal, row->vtotal) == rate))
      continue;
    if (vtotal == 750 && (htotal == 3300 || htotal == 3960)) {
      htotal = htotal == 3300 ? 1650 : 1980;
      continue;
    }
    htotal = row->htotal;
    vtotal = row->vtotal;
    bt.hfrontporch = row->hfp;
    bt.hsync = row->hsync;
    bt.hbackporch = row->htotal - row->width - row->hfp - row->hsync;
    bt.vfrontporch = row->vfp;
    bt.vsync = row->vsync;
    bt.vbackporch = row->vtotal - row->height - row->vfp - row->vsync;
    log_printf("Using cea 861 format\n");
    break;
  }
  if ((bt.hsync + bt.hbackporch) & 1) {
    log_printf("hsync + hbackporch cannot be odd: %d + %d\n", bt.hsync, bt.hbackporch);
    if (bt.hfrontporch > 0) {
      bt.hfrontporch--;
      bt.hsync++;
    } else if (bt.hbackporch > 0) {
      bt.hbackporch--;
      bt.hfrontporch++;
    }
  }
  log_printf("passthru mode: %dx%d (%dx%d) h:%d/%d/%d v:%d/%d/%d %llu\n", bt.width, bt.height,
             htotal, vtotal, bt.hfrontporch, bt.hsync, bt.hbackporch, bt.vfrontporch, bt.vsync,
             bt.vbackporch, (unsigned long long)bt.pixelclock);
  attrs->width = (int32_t)bt.width;
  attrs->height = (int32_t)bt.height;
}

// Programs the standard; false when the output cannot be created.
bool set_standard(int fd, DisplayAttrs *attrs) {
  int std = attrs->std;
  if (attrs->output == 0 || std == VSTD_D1_NTSC || std == VSTD_D1_PAL) {
    bool ntsc = std == VSTD_D1_NTSC || std == VSTD_480P;
    v4l2_std_id id = ntsc ? 0xB000 : 0xFF;
    display_info = {720, ntsc ? 480 : 576, 1, ntsc ? 29970 : 25000};
    log_printf("videoStd=%d v4l2_std_id=0x%llx\n", std, (unsigned long long)id);
    if (dev_ioctl(fd, VIDIOC_S_STD, &id) < 0) perror("VIDIOC_S_STD");
    return true;
  }
  if (std < 0 || std > VSTD_CAPTURE) {
    v4l2_dv_timings t = {};
    t.type = V4L2_DV_BT_656_1120;
    const CustomTiming *row = custom_timing_of(std);
    int htotal = 0, vtotal = 0;
    if (row) {
      t.bt.width = (uint32_t)row->width;
      t.bt.height = (uint32_t)row->height;
      t.bt.interlaced = (uint32_t)row->interlaced;
      t.bt.pixelclock = 74250000;
      t.bt.hfrontporch = (uint32_t)row->hfp;
      t.bt.hsync = (uint32_t)row->hsync;
      t.bt.hbackporch = (uint32_t)(row->htotal - row->width - row->hfp - row->hsync);
      t.bt.vfrontporch = (uint32_t)row->vfp;
      t.bt.vsync = (uint32_t)row->vsync;
      t.bt.vbackporch = (uint32_t)(row->vtotal - row->height - row->vfp - row->vsync);
      htotal = row->htotal;
      vtotal = row->vtotal;
    }
    log_printf("extended mode: %d %dx%d (%dx%d) h:%d/%d/%d v:%d/%d/%d  (scaled %dx%d)\n", std,
               t.bt.width, t.bt.height, htotal, vtotal, t.bt.hfrontporch, t.bt.hsync,
               t.bt.hbackporch, t.bt.vfrontporch, t.bt.vsync, t.bt.vbackporch, attrs->width,
               attrs->height);
    info_from_bt(t.bt);
    if (dev_ioctl(fd, VIDIOC_S_DV_TIMINGS, &t) < 0) {
      log_printf("VIDIOC_S_DV_TIMINGS: %s\n", strerror(errno));
      perror("VIDIOC_S_DV_TIMINGS");
    }
    return true;
  }
  // The capture's own timing: 0 follows the capture, 18 (1080p60, which has
  // no preset here) and 21 carry it unchanged.
  if (std == VSTD_AUTO || std == VSTD_1080P_60 || std == VSTD_CAPTURE) {
    v4l2_dv_timings t = {};
    t.type = V4L2_DV_BT_656_1120;
    capture_timings(attrs, &t);
    info_from_bt(t.bt);
    if (dev_ioctl(fd, VIDIOC_S_DV_TIMINGS, &t) < 0) perror("VIDIOC_S_DV_TIMINGS");
    return true;
  }
  int preset = video_std_preset(std);
  PresetRow p = preset_row(preset);
  display_info = {p.width, p.height, p.interlaced, p.fps};
  log_printf("videoStd=%d dv_preset=%d %dx%d%c%d\n", std, preset, p.width, p.height,
             p.interlaced ? 'i' : 'p', p.fps / 1000);
  v4l2_dv_preset cur = {};
  if (dev_ioctl(fd, VIDIOC_G_DV_PRESET, &cur) < 0) perror("VIDIOC_G_DV_PRESET");
  if (cur.preset != (uint32_t)preset) {
    v4l2_dv_preset set = {};
    set.preset = (uint32_t)preset;
    if (dev_ioctl(fd, VIDIOC_S_DV_PRESET, &set) < 0) {
      perror("VIDIOC_S_DV_PRESET");
      return false;
    }
  }
  return true;
}

bool set_format(HdDisplay *hd, int fd, const DisplayAttrs *attrs) {
  v4l2_format fmt = {};
  fmt.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
  if (dev_ioctl(fd, VIDIOC_G_FMT, &fmt) < 0) {
    perror("VIDIOC_G_FMT");
    return false;
  }
  int width = attrs->width, height = attrs->height;
  if (!width || !height) video_std_size(attrs->std, &width, &height, nullptr);
  int cs = attrs->color_space;
  if (cs != DISPLAY_CS_UYVY && cs != DISPLAY_CS_NV12) {
    log_printf("%s: unsupported colorSpace %d\n", "Display_setFormat", cs);
    return false;
  }
  int line = attrs->line_length;
  if (!line) line = ((cs == DISPLAY_CS_UYVY ? width * 2 : width) + 31) & ~31;
  v4l2_pix_format &p = fmt.fmt.pix;
  p.width = (uint32_t)width;
  p.height = (uint32_t)height;
  p.bytesperline = (uint32_t)line;
  p.pixelformat = cs == DISPLAY_CS_UYVY ? V4L2_PIX_FMT_UYVY : V4L2_PIX_FMT_NV12;
  p.sizeimage = (uint32_t)(cs == DISPLAY_CS_UYVY ? line * height : line * height * 3 / 2);
  int std = attrs->std;
  bool interlaced = std == VSTD_D1_NTSC || std == VSTD_D1_PAL || std == VSTD_1080I_30 ||
                    std == VSTD_1080I_25 || std == VSTD_1080I_60 || attrs->output == 0;
  p.field = interlaced ? V4L2_FIELD_INTERLACED : V4L2_FIELD_NONE;
  log_printf("display S_FMT %dx%d %d %s field=%d sizeimage=%d\n", width, height, line,
             cs == DISPLAY_CS_UYVY ? "UYVY" : "NV12", p.field, p.sizeimage);
  if (dev_ioctl(fd, VIDIOC_S_FMT, &fmt) < 0) {
    log_printf("VIDIOC_S_FMT: %s\n", strerror(errno));
    perror("VIDIOC_S_FMT");
    return false;
  }
  hd->image_size = (int32_t)p.sizeimage;
  return true;
}

int open_device(const char *device) {
  int fd = dev_open(device, O_RDWR | O_CLOEXEC);
  if (fd < 0) perror(device);
  return fd;
}

}  // namespace

HdDisplay *Display_create(BufTab_Handle bufs, DisplayAttrs *attrs) {
  HdDisplay *hd = (HdDisplay *)calloc(1, sizeof *hd);
  if (!hd) {
    log_printf("%s: Failed to allocate memory\n", "Display_create");
    return nullptr;
  }
  hd->fd = -1;
  hd->bufs = bufs;
  hd->count = attrs->num_bufs;
  const ParamBlock *pb = get_param_block();
  if (display_is_ch7038b()) {
    int bypass = pb->display.standard == VSTD_1080P_60 ? 0 : 1;
    sys_write_text("/sys/module/ch7038b/parameters/bypass", bypass ? "1" : "0");
    log_printf("%s: ch7038b use_bypass=%d\n", "Display_create", bypass);
  }
  hd->fd = open_device(attrs->device);
  while (hd->fd >= 0) {
    v4l2_capability cap = {};
    if (dev_ioctl(hd->fd, VIDIOC_QUERYCAP, &cap) < 0) {
      perror("VIDIOC_QUERYCAP");
    } else {
      log_printf("%s: %s %s %x\n", attrs->device, cap.card, cap.driver, cap.capabilities);
      if (!(cap.capabilities & V4L2_CAP_VIDEO_OUTPUT)) {
        log_printf("%s is not a video output device!\n", attrs->device);
        break;
      }
    }
    v4l2_output out = {};
    for (out.index = 0; dev_ioctl(hd->fd, VIDIOC_ENUMOUTPUT, &out) == 0; out.index++)
      log_printf("output %d, name %s, caps %x\n", out.index, out.name, out.capabilities);
    log_printf("%s: output index=%d videoStd=%d %s %dx%d fd=%d\n", attrs->device, attrs->output,
               attrs->std, video_std_name(attrs->std), attrs->width, attrs->height, hd->fd);
    int index = attrs->output;
    if (dev_ioctl(hd->fd, VIDIOC_S_OUTPUT, &index) < 0) {
      perror("VIDIOC_S_OUTPUT");
      if (quitting()) break;
      dev_close(hd->fd);
      usleep(100000);
      hd->fd = open_device(attrs->device);
      continue;
    }
    if (!set_standard(hd->fd, attrs) || !set_format(hd, hd->fd, attrs)) break;
    hd->std = attrs->std;
    hd->color_space = attrs->color_space;
    v4l2_requestbuffers req = {};
    req.count = (uint32_t)(bufs ? BufTab_getNumBufs(bufs) : attrs->num_bufs);
    req.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    req.memory = V4L2_MEMORY_USERPTR;
    if (dev_ioctl(hd->fd, VIDIOC_REQBUFS, &req) < 0) {
      perror("VIDIOC_REQBUFS");
      if (quitting()) break;
      dev_close(hd->fd);
      usleep(100000);
      hd->fd = open_device(attrs->device);
      continue;
    }
    // The output starts once the attributes' count is queued, even on a
    // larger table (playback's): a single still then shows.
    hd->count = (int32_t)req.count < attrs->num_bufs ? (int32_t)req.count : attrs->num_bufs;
    osd_config_windows(attrs->std);
    if (display_is_ch7038b() && attrs->output == 2)
      hwreg_write(kVencVidctl, hwreg_read(kVencVidctl) | 8);
    return hd;
  }
  if (hd->fd >= 0) dev_close(hd->fd);
  free(hd);
  return nullptr;
}

int Display_delete(HdDisplay *hd) {
  if (!hd) return -1;
  log_printf("%s: fd=%d\n", "Display_delete", hd->fd);
  if (hd->fd >= 0) dev_close(hd->fd);
  if (hd_display == hd) hd_display = nullptr;
  free(hd);
  return 0;
}

int display_dequeue(HdDisplay *hd, Buffer_Handle *buf) {
  if (hd->queued < hd->count) {
    *buf = BufTab_getBuf(hd->bufs, hd->queued);
    return *buf ? 0 : -1;
  }
  v4l2_buffer b = {};
  b.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
  b.memory = V4L2_MEMORY_USERPTR;
  // Not reported here: a caller that retries reports once.
  if (dev_ioctl(hd->fd, VIDIOC_DQBUF, &b) < 0) return -1;
  *buf = BufTab_getBuf(hd->bufs, (int)b.index);
  return *buf ? 0 : -1;
}

int display_queue_buffer(HdDisplay *hd, Buffer_Handle buf, void *userptr) {
  v4l2_buffer b = {};
  b.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
  b.memory = V4L2_MEMORY_USERPTR;
  b.index = (uint32_t)Buffer_getId(buf);
  b.m.userptr = (unsigned long)userptr;
  b.bytesused = (uint32_t)Buffer_getNumBytesUsed(buf);
  b.length = b.bytesused;
  if (dev_ioctl(hd->fd, VIDIOC_QBUF, &b) < 0) {
    perror("Display VIDIOC_QBUF");
    log_printf("vb: %d %p %d\n", b.index, userptr, b.bytesused);
    return -1;
  }
  if (hd->queued < hd->count && ++hd->queued == hd->count) {
    log_printf("display streamon\n");
    int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    if (dev_ioctl(hd->fd, VIDIOC_STREAMON, &type) < 0) perror("Display VIDIOC_STREAMON");
    if (!display_is_ch7038b()) hdmi_tx_reg_write(25, 0);
  }
  return 0;
}

int display_put_buffer(HdDisplay *hd, Buffer_Handle buf) {
  return display_queue_buffer(hd, buf, Buffer_getUserPtr(buf));
}

int display_get_fps(void) { return hd_display ? video_std_fps(hd_display->std) : 0; }

void Display_standard_cycle(void) {
  ParamBlock *pb = get_param_block();
  int cur = pb->display.standard, next;
  if (pb->display.output != 0) {
    switch (cur) {
      case 0: next = display_is_ch7038b() ? VSTD_1080P_60 : VSTD_1080P_30; break;
      case VSTD_1080P_30: next = VSTD_720P_60; break;
      case VSTD_1080P_25: next = VSTD_720P_50; break;
      case VSTD_1080P_60: next = VSTD_1080P_30; break;
      default: next = 0; break;
    }
  } else {
    next = cur == 0 ? VSTD_D1_NTSC : cur == VSTD_D1_NTSC ? VSTD_D1_PAL : 0;
  }
  pb->display.standard = (uint8_t)next;
  log_printf("%s: set %s\n", "Display_standard_cycle", video_std_name(next));
  save_and_apply_params();
  setDisplayStd(next);
  if (pb->display.display_mode == 0) startDisplayPassthru();
  if (display_status_message_hook) display_status_message_hook(video_std_name(next));
}
