#include "media/capture_device.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "core/log.h"
#include "platform/device.h"

namespace {

bool rsz_defaults_set;

bool is_nv12(uint32_t fourcc) { return fourcc == V4L2_PIX_FMT_NV12; }

uint32_t entity_kind(uint32_t type) { return type & MEDIA_ENT_TYPE_MASK; }

int enum_links(int fd, const media_entity_desc &e, media_link_desc **links) {
  *links = (media_link_desc *)calloc(e.links ? e.links : 1, sizeof **links);
  media_pad_desc *pads = (media_pad_desc *)calloc(e.pads ? e.pads : 1, sizeof *pads);
  if (!*links || !pads) {
    log_printf("Failed to allocate links\n");
    free(*links);
    free(pads);
    *links = nullptr;
    return -1;
  }
  media_links_enum le = {};
  le.entity = e.id;
  le.pads = pads;
  le.links = *links;
  int rc = dev_ioctl(fd, MEDIA_IOC_ENUM_LINKS, &le);
  free(pads);
  if (rc != 0) {
    capture_perror("MEDIA_IOC_ENUM_LINKS");
    free(*links);
    *links = nullptr;
    return -1;
  }
  return 0;
}

void fourcc_chars(uint32_t f, char out[5]) {
  for (int i = 0; i < 4; i++) {
    char c = (char)((f >> (8 * i)) & 0xFF);
    out[i] = c >= 32 && c < 127 ? c : '?';
  }
  out[4] = 0;
}

}  // namespace

void capture_perror(const char *what) { log_printf("%s: %s\n", what, strerror(errno)); }

const char *mbus_code_name(uint32_t code) {
  switch (code) {
    case MBUS_YUYV8_2X8: return "YUYV8 2x8";
    case MBUS_UYVY8_2X8: return "UYVY8 2x8";
    case MBUS_UYVY8_1X16: return "UYVY8 1x16";
    case MBUS_YUYV8_1X16: return "YUYV8 1x16";
    case MBUS_NV12_1X20: return "NV12 1x20";
    default: return "unknown";
  }
}

// ---- Media controller ----

void media_enum_entities(int fd, MediaNode *chain, int log_all) {
  media_entity_desc d = {};
  for (uint32_t id = 0;; id = d.id) {
    memset(&d, 0, sizeof d);
    d.id = id | MEDIA_ENT_ID_FLAG_NEXT;
    if (dev_ioctl(fd, MEDIA_IOC_ENUM_ENTITIES, &d) != 0) break;
    if (log_all)
      log_printf("%s: %u \"%s\" type=%x pads=%u links=%u dev=%u:%u\n", "media_enum_entities", d.id,
                 d.name, d.type, d.pads, d.links, d.dev.major, d.dev.minor);
    for (MediaNode *n = chain; n; n = n->source)
      if (n->name && strncmp(d.name, n->name, sizeof d.name) == 0) n->entity = d;
  }
}

int media_enable_link(int fd, media_link_desc *link) {
  if (link->flags & MEDIA_LNK_FL_ENABLED) return 0;
  // Every enabled link that shares exactly one end with this one goes.
  media_entity_desc e = {};
  for (uint32_t id = 0;; id = e.id) {
    memset(&e, 0, sizeof e);
    e.id = id | MEDIA_ENT_ID_FLAG_NEXT;
    if (dev_ioctl(fd, MEDIA_IOC_ENUM_ENTITIES, &e) != 0) break;
    if (!e.links) continue;
    media_link_desc *links;
    if (enum_links(fd, e, &links) != 0) continue;
    for (uint32_t i = 0; i < e.links; i++) {
      media_link_desc &l = links[i];
      if (!(l.flags & MEDIA_LNK_FL_ENABLED)) continue;
      bool same_source = l.source.entity == link->source.entity && l.source.index == link->source.index;
      bool same_sink = l.sink.entity == link->sink.entity && l.sink.index == link->sink.index;
      if (same_source == same_sink) continue;
      l.flags &= ~(uint32_t)MEDIA_LNK_FL_ENABLED;
      if (dev_ioctl(fd, MEDIA_IOC_SETUP_LINK, &l) != 0) capture_perror("MEDIA_IOC_SETUP_LINK");
    }
    free(links);
  }
  link->flags |= MEDIA_LNK_FL_ENABLED;
  if (dev_ioctl(fd, MEDIA_IOC_SETUP_LINK, link) != 0) {
    capture_perror("MEDIA_IOC_SETUP_LINK");
    return -1;
  }
  return 0;
}

int media_setup_links(int fd, MediaNode *node) {
  if (node->source && media_setup_links(fd, node->source) != 0) return -1;
  if (!node->entity.id) {
    log_printf("Missing sink entity: %s\n", node->name);
    media_enum_entities(fd, node, 1);
    return -1;
  }
  MediaNode *src = node->source;
  if (!src) return 0;
  if (!src->entity.id) {
    log_printf("Missing source entity: %s\n", src->name);
    media_enum_entities(fd, node, 1);
    return -1;
  }
  media_link_desc *links;
  if (enum_links(fd, src->entity, &links) != 0) return -1;
  int rc = 0;
  for (uint32_t i = 0; i < src->entity.links; i++) {
    media_link_desc &l = links[i];
    if (l.source.entity != src->entity.id || l.sink.entity != node->entity.id) continue;
    if (media_enable_link(fd, &l) != 0) rc = -1;
    node->sink_pad = l.sink.index;
    node->source_pad = l.source.index;
  }
  free(links);
  return rc;
}

int media_open_pipeline(MediaNode *output) {
  int mfd = dev_open("/dev/media0", O_RDWR);
  if (mfd < 0) {
    capture_perror("open /dev/media0");
    return -1;
  }
  media_enum_entities(mfd, output, 0);
  int rc = media_setup_links(mfd, output);
  dev_close(mfd);
  if (rc != 0) return -1;
  // Device nodes are found by their numbers, whatever their names.
  for (int k = 0; k < 16; k++) {
    char path[32];
    snprintf(path, sizeof path, k < 8 ? "/dev/v4l-subdev%d" : "/dev/video%d", k < 8 ? k : k - 8);
    struct stat st;
    if (dev_stat(path, &st) != 0 || !S_ISCHR(st.st_mode)) continue;
    for (MediaNode *n = output; n; n = n->source) {
      if (n->fd > 0 || !n->entity.id) continue;
      uint32_t kind = entity_kind(n->entity.type);
      bool subdev = kind == entity_kind(MEDIA_ENT_T_V4L2_SUBDEV);
      bool video = n->entity.type == MEDIA_ENT_T_DEVNODE_V4L;
      if (k < 8 ? !subdev : !video) continue;
      if (major(st.st_rdev) != n->entity.dev.major || minor(st.st_rdev) != n->entity.dev.minor)
        continue;
      int fd = dev_open(path, O_RDWR | O_CLOEXEC);
      if (fd < 0) {
        capture_perror(path);
        continue;
      }
      n->fd = fd;
      snprintf(n->path, sizeof n->path, "%s", path);
    }
  }
  return 0;
}

// ---- Formats ----

int subdev_format_setup(MediaNode *node, const v4l2_mbus_framefmt *sink,
                        const v4l2_mbus_framefmt *source) {
  v4l2_subdev_format f;
  if (source && node->source) {
    memset(&f, 0, sizeof f);
    f.which = V4L2_SUBDEV_FORMAT_ACTIVE;
    f.pad = node->source_pad;
    f.format = *source;
    if (dev_ioctl(node->source->fd, VIDIOC_SUBDEV_S_FMT, &f) != 0) {
      log_printf("%s, source pad, VIDIOC_SUBDEV_S_FMT: %s\n", node->source->name, strerror(errno));
      return -1;
    }
  }
  if (sink) {
    memset(&f, 0, sizeof f);
    f.which = V4L2_SUBDEV_FORMAT_ACTIVE;
    f.pad = node->sink_pad;
    f.format = *sink;
    if (dev_ioctl(node->fd, VIDIOC_SUBDEV_S_FMT, &f) != 0) {
      log_printf("%s, sink pad, VIDIOC_SUBDEV_S_FMT: %s\n", node->name, strerror(errno));
      return -1;
    }
  }
  return 0;
}

void dump_format(const char *name, const v4l2_format *fmt) {
  const v4l2_pix_format &p = fmt->fmt.pix;
  char fc[5];
  fourcc_chars(p.pixelformat, fc);
  log_printf("%s: type=%u %ux%u %s bytesperline=%u sizeimage=%u field=%u\n", name, fmt->type,
             p.width, p.height, fc, p.bytesperline, p.sizeimage, p.field);
}

void dump_formats(MediaNode *node) {
  v4l2_capability cap = {};
  if (dev_ioctl(node->fd, VIDIOC_QUERYCAP, &cap) == 0)
    log_printf("%s %s %s %x %x\n", (const char *)cap.driver, (const char *)cap.card,
               (const char *)cap.bus_info, cap.version, cap.capabilities);
  for (uint32_t i = 0; i < 64; i++) {
    v4l2_fmtdesc d = {};
    d.index = i;
    d.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (dev_ioctl(node->fd, VIDIOC_ENUM_FMT, &d) != 0) break;
    log_printf("fmt %u type=%x flags=%x %c%c%c%c %s\n", d.index, d.type, d.flags,
               (char)(d.pixelformat & 0xFF), (char)((d.pixelformat >> 8) & 0xFF),
               (char)((d.pixelformat >> 16) & 0xFF), (char)(d.pixelformat >> 24),
               (const char *)d.description);
  }
}

int format_setup(MediaNode *node, uint32_t width, uint32_t height, uint32_t fourcc,
                 uint32_t bytesperline, uint32_t field) {
  uint32_t asked_size = is_nv12(fourcc) ? bytesperline * height * 3 / 2 : bytesperline * height;
  log_printf("%s: s_fmt bytesperline=%u sizeimage=%u\n", "format_setup", bytesperline, asked_size);
  v4l2_format f = {};
  f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  f.fmt.pix.width = width;
  f.fmt.pix.height = height;
  f.fmt.pix.pixelformat = fourcc;
  f.fmt.pix.bytesperline = bytesperline;
  f.fmt.pix.sizeimage = asked_size;
  f.fmt.pix.field = field;
  if (dev_ioctl(node->fd, VIDIOC_S_FMT, &f) != 0) {
    capture_perror("VIDIOC_S_FMT");
    dump_format(node->name, &f);
    dump_formats(node);
    return -1;
  }
  if (dev_ioctl(node->fd, VIDIOC_G_FMT, &f) != 0) {
    capture_perror("VIDIOC_G_FMT");
    return -1;
  }
  v4l2_pix_format &p = f.fmt.pix;
  uint32_t bpl = p.bytesperline;
  if (bpl == 0)
    bpl = (p.width * (is_nv12(p.pixelformat) ? 1 : 2) + 31) & ~31u;
  else if (bpl != bytesperline)
    log_printf("%s: driver didn't want bytesperline=%u, returned %u\n", "format_setup", bytesperline, bpl);
  uint32_t size = is_nv12(p.pixelformat) ? bpl * p.height * 3 / 2 : bpl * p.height;
  if (size != p.sizeimage) {
    log_printf("%s: buf_size %u disagrees with format: \n", "format_setup", size);
    dump_format(node->name, &f);
  }
  if (p.width != width || p.height != height)
    log_printf("%s: %dx%d -> %dx%d %d %d\n", "format_setup", (int)width, (int)height, (int)p.width,
               (int)p.height, (int)bpl, (int)size);
  p.bytesperline = bpl;
  node->fmt = f;
  node->frame_size = size;
  return 0;
}

// ---- Input and standard ----

int input_setup(int fd, int input, v4l2_std_id *standard) {
  int cur;
  if (dev_ioctl(fd, VIDIOC_G_INPUT, &cur) != 0) {
    log_printf("vid_fd = %d\n", fd);
    capture_perror("VIDIOC_G_INPUT");
    return -1;
  }
  if (dev_ioctl(fd, VIDIOC_S_INPUT, &input) != 0) {
    capture_perror("VIDIOC_S_INPUT");
    return -1;
  }
  v4l2_input in = {};
  in.index = (uint32_t)input;
  if (dev_ioctl(fd, VIDIOC_ENUMINPUT, &in) != 0) {
    capture_perror("VIDIOC_ENUMINPUT");
    return -1;
  }
  if (!(in.capabilities & V4L2_IN_CAP_STD)) return 0;
  if (!*standard && dev_ioctl(fd, VIDIOC_G_STD, standard) != 0) {
    capture_perror("VIDIOC_G_STD");
    return -1;
  }
  // A whole line-count family is taken as its common broadcast standard.
  if (*standard == V4L2_STD_525_60) *standard = V4L2_STD_NTSC;
  else if (*standard == V4L2_STD_625_50) *standard = V4L2_STD_PAL;
  if (dev_ioctl(fd, VIDIOC_S_STD, standard) != 0) {
    capture_perror("VIDIOC_S_STD");
    return -1;
  }
  return 0;
}

// ---- Buffers ----

int buffer_setup(MediaNode *node, void **addrs, uint32_t count) {
  bool mmapped = node->flags & MEDIA_NODE_MMAP;
  v4l2_requestbuffers req = {};
  req.count = count;
  req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  req.memory = mmapped ? V4L2_MEMORY_MMAP : V4L2_MEMORY_USERPTR;
  if (dev_ioctl(node->fd, VIDIOC_REQBUFS, &req) != 0) {
    capture_perror("VIDIOC_REQBUFS");
    return -1;
  }
  if (req.count != count) {
    log_printf("%d buffers not supported by %s device, req.count=%d\n", (int)count, node->name,
               (int)req.count);
    return -1;
  }
  node->nbufs = count;
  if (!addrs) return 0;
  for (uint32_t i = 0; i < count; i++) {
    v4l2_buffer b = {};
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = req.memory;
    b.index = i;
    if (mmapped) {
      if (dev_ioctl(node->fd, VIDIOC_QUERYBUF, &b) != 0) {
        capture_perror("VIDIOC_QUERYBUF");
        return -1;
      }
      if (b.length != node->frame_size) {
        log_printf("%s: buffer size mismatch %u != %u\n", node->name, b.length, node->frame_size);
        node->frame_size = b.length;
      }
      void *p = dev_mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, node->fd, b.m.offset);
      if (p == MAP_FAILED) {
        capture_perror("mmap");
        return -1;
      }
      addrs[i] = p;
    } else {
      b.m.userptr = (unsigned long)addrs[i];
      b.length = node->frame_size;
    }
    if (dev_ioctl(node->fd, VIDIOC_QBUF, &b) != 0) {
      int e = errno;
      log_printf("QBUF: %s index=%d length=%d userptr=%lx\n", node->name, (int)i, (int)b.length,
                 (unsigned long)addrs[i]);
      errno = e;
      capture_perror("VIDIOC_QBUF");
      return -1;
    }
  }
  return 0;
}

void buffer_release(MediaNode *node) {
  if (node->fd <= 0) return;
  if ((node->flags & MEDIA_NODE_STREAMING) || node->nbufs) {
    v4l2_requestbuffers req = {};
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = (node->flags & MEDIA_NODE_MMAP) ? V4L2_MEMORY_MMAP : V4L2_MEMORY_USERPTR;
    if (dev_ioctl(node->fd, VIDIOC_REQBUFS, &req) != 0) capture_perror("VIDIOC_REQBUFS");
    node->flags &= ~MEDIA_NODE_STREAMING;
    node->nbufs = 0;
  }
  dev_close(node->fd);
  node->fd = -1;
}

// ---- Resizer and previewer ----

int rsz_clock_divider(uint32_t width, uint32_t height, int interlaced) {
  uint32_t px = width * (interlaced ? height / 2 : height);
  int n = px < 37632 ? 26 : px <= 86399 ? 16 : px <= 337919 ? 14 : 12;
  return n + (interlaced ? 5 : 0);
}

namespace {

void rsz_check_output_width(int output, uint32_t width, int downscale) {
  uint32_t max = output == 1 ? 2176 : 1088;
  if (downscale) max /= 2;
  if (width > max)
    log_printf("WARNING: resize output%d width %d > max %d (downscale=%d)\n", output, (int)width,
               (int)max, downscale);
}

void rsz_set_output_spec(RszOutputSpec *o, int output, const v4l2_pix_format *fmt, uint32_t flip,
                         const CaptureCrop *crop) {
  if (!fmt) {
    o->enable = 0;
    return;
  }
  o->enable = 1;
  o->pix_fmt = is_nv12(fmt->pixelformat) ? RSZ_PIX_FMT_NV12 : RSZ_PIX_FMT_UYVY;
  o->width = fmt->width;
  o->height = fmt->height;
  o->line_length = fmt->bytesperline;
  o->vflip = flip & 1;
  o->hflip = (flip >> 1) & 1;
  o->downscale_filter = (flip & 0x3C) != 0;
  if (o->downscale_filter) o->h_phase = o->v_phase = 0;
  CaptureCrop c = crop ? *crop : CaptureCrop{0, 0, 0, 0};
  o->crop_x = c.x;
  o->crop_y = c.y;
  o->crop_w = c.width;
  o->crop_h = c.height;
  log_printf("%s: %dx%d (%d) crop %d,%d %dx%d\n", "rsz_set_output_spec", (int)o->width,
             (int)o->height, output, (int)c.x, (int)c.y, (int)c.width, (int)c.height);
  rsz_check_output_width(output, o->width, o->downscale_filter);
}

}  // namespace

int rsz_setup(int fd, int chained, uint32_t in_width, uint32_t in_height,
              const v4l2_pix_format *out_a, const v4l2_pix_format *out_b, uint32_t flip_a,
              uint32_t flip_b, int interlaced, const CaptureCrop *crop_a,
              const CaptureCrop *crop_b) {
  RszChannelConfig cc = {};
  if (!rsz_defaults_set) {
    cc.oper_mode = RSZ_MODE_CONTINUOUS;
    cc.chain = 1;
    if (dev_ioctl(fd, RSZ_S_CONFIG, &cc) != 0) {
      capture_perror("failed to set default configuration in resizer");
      return -1;
    }
    rsz_defaults_set = true;
  }
  RszContinuousConfig cont = {};
  RszSingleShotConfig single = {};
  cc.oper_mode = chained ? RSZ_MODE_CONTINUOUS : RSZ_MODE_SINGLE_SHOT;
  cc.chain = chained ? 1 : 0;
  cc.len = chained ? sizeof cont : sizeof single;
  cc.config = chained ? (void *)&cont : (void *)&single;
  if (dev_ioctl(fd, RSZ_G_CONFIG, &cc) != 0) {
    capture_perror("failed to get resizer channel configuration");
    return -1;
  }
  RszOutputSpec *o1 = chained ? &cont.output1 : &single.output1;
  RszOutputSpec *o2 = chained ? &cont.output2 : &single.output2;
  if (chained) {
    RszInputSpec &in = cont.input;
    in.width = in_width;
    in.height = interlaced ? in_height / 2 : in_height;
    in.ppln = in.width + 8;
    in.lpfr = (interlaced ? in.height & ~1u : in.height) + 10;
    in.pix_fmt = out_a && is_nv12(out_a->pixelformat) ? RSZ_PIX_FMT_NV12 : RSZ_PIX_FMT_UYVY;
    in.interlaced = interlaced ? 1 : 0;
    in.clk_div_n = (uint32_t)rsz_clock_divider(in_width, in_height, interlaced);
    log_printf("%s: clk_div = %d:%d\n", "rsz_setup", 1, (int)in.clk_div_n);
  } else {
    CaptureCrop c = crop_a ? *crop_a : CaptureCrop{0, 0, 0, 0};
    single.partial_vflip = flip_a & 1;
    single.partial_hflip = (flip_a >> 1) & 1;
    single.partial_x = c.x;
    single.partial_y = c.y;
    single.partial_w = c.width;
    single.partial_h = c.height;
    log_printf("%s: (%d) crop %d,%d %dx%d\n", "rsz_set_partial_output_spec", (int)flip_a, (int)c.x,
               (int)c.y, (int)c.width, (int)c.height);
  }
  rsz_set_output_spec(o1, 1, out_a, flip_a, crop_a);
  rsz_set_output_spec(o2, 2, out_b, flip_b, crop_b);
  if (dev_ioctl(fd, RSZ_S_CONFIG, &cc) != 0) {
    capture_perror("failed to set configuration in resizer");
    return -1;
  }
  return 0;
}

int prv_setup(int fd) {
  PrvChannelConfig cc = {RSZ_MODE_CONTINUOUS, 0, nullptr};
  if (dev_ioctl(fd, PREV_S_CONFIG, &cc) != 0) {
    capture_perror("failed to set default configuration on prv");
    return -1;
  }
  PrvContinuousConfig cfg = {};
  cc.len = sizeof cfg;
  cc.config = &cfg;
  if (dev_ioctl(fd, PREV_G_CONFIG, &cc) != 0) {
    capture_perror("failed to get default configuration from prv");
    return -1;
  }
  if (dev_ioctl(fd, PREV_S_CONFIG, &cc) != 0) {
    capture_perror("failed to set configuration on prv");
    return -1;
  }
  for (uint32_t i = 0;; i++) {
    PrvModuleCap cap = {};
    cap.index = i;
    if (dev_ioctl(fd, PREV_ENUM_CAP, &cap) != 0) break;
    PrvModuleParam p = {cap.module_id, 0, cap.param_size, nullptr};
    if (dev_ioctl(fd, PREV_S_PARAM, &p) != 0) {
      capture_perror("PREV_S_PARAM");
      return -1;
    }
  }
  return 0;
}

// ---- Decoder registers and the capture rate ----

uint32_t subdev_reg_read(int fd, uint32_t addr, uint32_t reg) {
  v4l2_dbg_register r = {};
  r.match.type = V4L2_CHIP_MATCH_I2C_ADDR;
  r.match.addr = addr;
  r.reg = reg;
  r.size = 1;
  if (dev_ioctl(fd, VIDIOC_DBG_G_REGISTER, &r) != 0) capture_perror("VIDIOC_DBG_G_REGISTER");
  return (uint32_t)r.val;
}

int subdev_reg_write(int fd, uint32_t addr, uint32_t reg, uint32_t value) {
  v4l2_dbg_register r = {};
  r.match.type = V4L2_CHIP_MATCH_I2C_ADDR;
  r.match.addr = addr;
  r.reg = reg;
  r.val = value & 0xFF;
  r.size = 1;
  if (dev_ioctl(fd, VIDIOC_DBG_S_REGISTER, &r) != 0) {
    capture_perror("VIDIOC_DBG_S_REGISTER");
    log_printf("%02x %02llx %02llx\n", addr, (unsigned long long)r.reg, (unsigned long long)r.val);
    return -1;
  }
  return 0;
}

uint32_t capture_read_fps(int fd, int interlaced) {
  v4l2_streamparm sp = {};
  sp.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (dev_ioctl(fd, VIDIOC_G_PARM, &sp) != 0) {
    capture_perror("VIDIOC_G_PARM");
    return 0;
  }
  const v4l2_fract &t = sp.parm.capture.timeperframe;
  uint32_t fps = t.numerator == 1000 ? t.denominator
                 : t.numerator ? (uint32_t)(1000ull * t.denominator / t.numerator) : 0;
  return interlaced ? fps * 2 : fps;
}
