// The simulated capture chain: the media controller /dev/media0 with its
// entities, pads and links, and the sub-devices of the CCDC, previewer,
// resizer and decoder. The graph is laid out from the entity names under
// <root>/sys/class/video4linux, so that /dev/v4l-subdevN and /dev/videoN
// are what sysfs says they are.
#include "platform/sim/sim_capture.h"

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "platform/host_root.h"
#include "platform/sim/sim_control.h"
#include "platform/sim/sim_drivers.h"

namespace simcap {

namespace {

Board *g_board;
int g_forced_decoder = SIM_DECODER_SYSFS;

struct NameRole {
  const char *name;
  Role role;
  uint16_t pads;
};
const NameRole kKnown[] = {
    {"DAVINCI CCDC", ROLE_CCDC, 2},
    {"DAVINCI PREVIEWER", ROLE_PREVIEWER, 2},
    {"DAVINCI RESIZER", ROLE_RESIZER, 3},
    {"DAVINCI AEW", ROLE_AEW, 1},
    {"DAVINCI AF", ROLE_AF, 1},
    {"DAVINCI VIDEO CCDC output", ROLE_CCDC_OUT, 1},
    {"DAVINCI VIDEO PRV input", ROLE_PRV_IN, 1},
    {"DAVINCI VIDEO PRV output", ROLE_PRV_OUT, 1},
    {"DAVINCI VIDEO RSZ input", ROLE_RSZ_IN, 1},
    {"DAVINCI VIDEO RSZ output", ROLE_OUT_A, 1},
    {"DAVINCI VIDEO RSZB output", ROLE_OUT_B, 1},
};

// The layout when the root has no sysfs names.
const struct { const char *node, *name; } kDefaultNodes[] = {
    {"v4l-subdev0", "DAVINCI CCDC"},         {"v4l-subdev1", "DAVINCI PREVIEWER"},
    {"v4l-subdev2", "DAVINCI RESIZER"},      {"v4l-subdev3", "DAVINCI AEW"},
    {"v4l-subdev4", "DAVINCI AF"},           {"v4l-subdev5", "adv7842 1-0020"},
    {"video0", "DAVINCI VIDEO CCDC output"}, {"video1", "DAVINCI VIDEO PRV output"},
    {"video2", "DAVINCI VIDEO PRV input"},   {"video3", "DAVINCI VIDEO RSZ input"},
    {"video4", "DAVINCI VIDEO RSZ output"},  {"video5", "DAVINCI VIDEO RSZB output"},
};

bool is_decoder_name(const char *name) {
  return strncmp(name, "tp2825 ", 7) == 0 || strncmp(name, "adv7842 ", 8) == 0;
}

int add_entity(Board &b, const char *name, bool subdev, int devnum) {
  if (b.nents == kMaxEntities) return -1;
  // A name already in the graph (sysfs lists the decoder twice) is one entity.
  for (int i = 0; i < b.nents; i++)
    if (strcmp(b.ents[i].name, name) == 0) return i;
  Entity &e = b.ents[b.nents];
  memset(&e, 0, sizeof e);
  e.id = (uint32_t)b.nents + 1;
  snprintf(e.name, sizeof e.name, "%s", name);
  e.subdev = subdev;
  e.devnum = devnum;
  e.role = ROLE_OTHER;
  e.type = subdev ? MEDIA_ENT_T_V4L2_SUBDEV : MEDIA_ENT_T_DEVNODE_V4L;
  for (const NameRole &k : kKnown)
    if (strcmp(k.name, name) == 0) {
      e.role = k.role;
      e.pads = k.pads;
    }
  if (is_decoder_name(name)) {
    e.role = ROLE_DECODER;
    e.pads = 1;
    e.type = MEDIA_ENT_T_V4L2_SUBDEV_DECODER;
  }
  if (e.role == ROLE_OTHER) return -1;  // not in the capture graph (the transmitter has its own driver)
  e.major = VIDEO_MAJOR;
  e.minor = subdev ? SUBDEV_MINOR_BASE + (unsigned)devnum : (unsigned)devnum;
  snprintf(e.path, sizeof e.path, subdev ? "/dev/v4l-subdev%d" : "/dev/video%d", devnum);
  for (v4l2_mbus_framefmt &f : e.pad_fmt) {
    f.width = 720;
    f.height = 480;
    f.code = 0x2008;
    f.field = V4L2_FIELD_NONE;
    f.colorspace = V4L2_COLORSPACE_SMPTE170M;
  }
  return b.nents++;
}

void add_link(Board &b, Role src, int src_pad, Role sink, int sink_pad, uint32_t flags) {
  int s = entity_of_role(b, src), d = entity_of_role(b, sink);
  if (s < 0 || d < 0 || b.nlinks == kMaxLinks) return;
  b.links[b.nlinks++] = {s, src_pad, d, sink_pad, flags};
}

const char *decoder_entity_name(DecoderKind k) {
  return k == DEC_TP2825 ? "tp2825 1-0044" : "adv7842 1-0020";
}

}  // namespace

Board &board(void) {
  static Board *b = new Board();
  g_board = b;
  return *b;
}

int entity_of_role(const Board &b, Role role) {
  for (int i = 0; i < b.nents; i++)
    if (b.ents[i].role == role) return i;
  return -1;
}

void build_locked(Board &b) {
  if (b.built) return;
  b.nents = 0;
  b.nlinks = 0;
  // sysfs first: v4l-subdevN then videoN.
  bool from_sysfs = false;
  if (root_dir()[0]) {
    for (int pass = 0; pass < 2; pass++)
      for (int k = 0; k < 16; k++) {
        char path[96], name[80];
        snprintf(path, sizeof path, "/sys/class/video4linux/%s%d/name",
                 pass == 0 ? "v4l-subdev" : "video", k);
        if (sys_read_text(path, name, sizeof name, true) <= 0) continue;
        size_t n = strlen(name);
        while (n && (name[n - 1] == '\n' || name[n - 1] == ' ')) name[--n] = 0;
        if (!n) continue;
        add_entity(b, name, pass == 0, k);
        from_sysfs = true;
      }
  }
  if (!from_sysfs || entity_of_role(b, ROLE_CCDC) < 0) {
    b.nents = 0;
    for (const auto &d : kDefaultNodes) {
      bool subdev = strncmp(d.node, "v4l-subdev", 10) == 0;
      add_entity(b, d.name, subdev, atoi(d.node + (subdev ? 10 : 5)));
    }
  }
  // The decoder: forced by the control, else as named in the graph.
  DecoderKind kind = DEC_ADV7842;
  int dec = entity_of_role(b, ROLE_DECODER);
  if (dec >= 0 && strncmp(b.ents[dec].name, "tp2825", 6) == 0) kind = DEC_TP2825;
  if (g_forced_decoder == SIM_DECODER_TP2825) kind = DEC_TP2825;
  if (g_forced_decoder == SIM_DECODER_ADV7842) kind = DEC_ADV7842;
  if (dec >= 0) snprintf(b.ents[dec].name, sizeof b.ents[dec].name, "%s", decoder_entity_name(kind));
  decoder_init(b.dec, kind);

  add_link(b, ROLE_DECODER, 0, ROLE_CCDC, 0, MEDIA_LNK_FL_ENABLED);
  add_link(b, ROLE_CCDC, 1, ROLE_CCDC_OUT, 0, MEDIA_LNK_FL_ENABLED);
  add_link(b, ROLE_CCDC, 1, ROLE_PREVIEWER, 0, 0);
  add_link(b, ROLE_CCDC, 1, ROLE_AEW, 0, 0);
  add_link(b, ROLE_CCDC, 1, ROLE_AF, 0, 0);
  add_link(b, ROLE_PRV_IN, 0, ROLE_PREVIEWER, 0, MEDIA_LNK_FL_ENABLED);
  add_link(b, ROLE_PREVIEWER, 1, ROLE_PRV_OUT, 0, 0);
  add_link(b, ROLE_PREVIEWER, 1, ROLE_RESIZER, 0, 0);
  add_link(b, ROLE_RSZ_IN, 0, ROLE_RESIZER, 0, MEDIA_LNK_FL_ENABLED);
  add_link(b, ROLE_RESIZER, 1, ROLE_OUT_A, 0, 0);
  add_link(b, ROLE_RESIZER, 2, ROLE_OUT_B, 0, 0);

  memset(&b.rsz_cont, 0, sizeof b.rsz_cont);
  memset(&b.rsz_single, 0, sizeof b.rsz_single);
  b.rsz_mode = RSZ_MODE_CONTINUOUS;
  b.rsz_input = RSZ_INPUT_MEMORY;
  b.rsz_config_writes = 0;
  memset(&b.prv, 0, sizeof b.prv);
  b.prv_default_sets = 0;
  outputs_reset_locked(b);
  b.out[0].ent = entity_of_role(b, ROLE_OUT_A);
  b.out[1].ent = entity_of_role(b, ROLE_OUT_B);

  for (int i = 0; i < b.nents; i++) {
    if (b.ents[i].devnum < 0) continue;
    sim_set_rdev(b.ents[i].path, b.ents[i].major, b.ents[i].minor);
  }
  sim_set_rdev("/dev/media0", MEDIA_MAJOR, 0);
  // Open files follow their paths into the new graph.
  for (FileState *fs : b.files) {
    if (!fs || fs->ent < 0) continue;
    fs->ent = -2;
    for (int i = 0; i < b.nents; i++)
      if (strcmp(b.ents[i].path, fs->file->path) == 0) fs->ent = i;
    fs->nsubs = 0;
    fs->nevents = 0;
  }
  b.built = true;
}

int take_failure_locked(Board &b, unsigned long request) {
  for (Failure &f : b.failures)
    if (f.request == request && f.count > 0) {
      if (--f.count == 0) f.request = 0;
      return -f.err;
    }
  return 0;
}

void post_event_locked(Board &b, int ent, uint32_t type, const void *data, size_t len) {
  for (FileState *fs : b.files) {
    if (!fs || fs->ent != ent) continue;
    bool subscribed = false;
    for (int i = 0; i < fs->nsubs; i++) subscribed |= fs->sub_type[i] == type;
    if (!subscribed) continue;
    // A full queue loses its oldest event, as the kernel's does.
    if (fs->nevents == (int)(sizeof fs->events / sizeof fs->events[0])) {
      memmove(&fs->events[0], &fs->events[1], sizeof fs->events[0] * (size_t)(fs->nevents - 1));
      fs->nevents--;
    }
    v4l2_event &ev = fs->events[fs->nevents++];
    memset(&ev, 0, sizeof ev);
    ev.type = type;
    if (data) memcpy(ev.u.data, data, len < sizeof ev.u.data ? len : sizeof ev.u.data);
    ev.sequence = fs->event_seq++;
    clock_gettime(CLOCK_MONOTONIC, &ev.timestamp);
    sim_file_set_readable(fs->file, true);
  }
}

namespace {

// ---- Media controller ----

int media_ioctl(Board &b, unsigned long request, void *arg) {
  switch (request) {
    case MEDIA_IOC_DEVICE_INFO: {
      media_device_info *info = (media_device_info *)arg;
      memset(info, 0, sizeof *info);
      snprintf(info->driver, sizeof info->driver, "davinci-vpfe");
      snprintf(info->model, sizeof info->model, "DM365 capture");
      snprintf(info->bus_info, sizeof info->bus_info, "platform:vpfe-capture");
      info->media_version = MEDIA_API_VERSION;
      return 0;
    }
    case MEDIA_IOC_ENUM_ENTITIES: {
      media_entity_desc *d = (media_entity_desc *)arg;
      uint32_t id = d->id & ~MEDIA_ENT_ID_FLAG_NEXT;
      bool next = d->id & MEDIA_ENT_ID_FLAG_NEXT;
      const Entity *e = nullptr;
      for (int i = 0; i < b.nents && !e; i++)
        if (next ? b.ents[i].id > id : b.ents[i].id == id) e = &b.ents[i];
      if (!e) return -EINVAL;
      memset(d, 0, sizeof *d);
      d->id = e->id;
      memcpy(d->name, e->name, sizeof d->name);
      d->type = e->type;
      d->pads = e->pads;
      for (int i = 0; i < b.nlinks; i++)
        if (&b.ents[b.links[i].src] == e) d->links++;
      d->dev.major = e->major;
      d->dev.minor = e->minor;
      return 0;
    }
    case MEDIA_IOC_ENUM_LINKS: {
      media_links_enum *le = (media_links_enum *)arg;
      int ent = -1;
      for (int i = 0; i < b.nents; i++)
        if (b.ents[i].id == le->entity) ent = i;
      if (ent < 0) return -EINVAL;
      const Entity &e = b.ents[ent];
      if (le->pads)
        for (int p = 0; p < e.pads; p++) {
          media_pad_desc &pd = le->pads[p];
          memset(&pd, 0, sizeof pd);
          pd.entity = e.id;
          pd.index = (uint16_t)p;
          bool source = e.role == ROLE_DECODER || e.role == ROLE_PRV_IN || e.role == ROLE_RSZ_IN ||
                        (p > 0 && (e.role == ROLE_CCDC || e.role == ROLE_PREVIEWER ||
                                   e.role == ROLE_RESIZER));
          pd.flags = source ? MEDIA_PAD_FL_SOURCE : MEDIA_PAD_FL_SINK;
        }
      if (le->links) {
        int n = 0;
        for (int i = 0; i < b.nlinks; i++) {
          const Link &l = b.links[i];
          if (l.src != ent) continue;
          media_link_desc &ld = le->links[n++];
          memset(&ld, 0, sizeof ld);
          ld.source.entity = b.ents[l.src].id;
          ld.source.index = (uint16_t)l.src_pad;
          ld.source.flags = MEDIA_PAD_FL_SOURCE;
          ld.sink.entity = b.ents[l.sink].id;
          ld.sink.index = (uint16_t)l.sink_pad;
          ld.sink.flags = MEDIA_PAD_FL_SINK;
          ld.flags = l.flags;
        }
      }
      return 0;
    }
    case MEDIA_IOC_SETUP_LINK: {
      media_link_desc *ld = (media_link_desc *)arg;
      Link *found = nullptr;
      for (int i = 0; i < b.nlinks; i++) {
        Link &l = b.links[i];
        if (b.ents[l.src].id == ld->source.entity && l.src_pad == ld->source.index &&
            b.ents[l.sink].id == ld->sink.entity && l.sink_pad == ld->sink.index)
          found = &l;
      }
      if (!found) return -EINVAL;
      bool enable = ld->flags & MEDIA_LNK_FL_ENABLED;
      if (found->flags & MEDIA_LNK_FL_IMMUTABLE) return enable ? 0 : -EINVAL;
      if (enable) {
        // A sink pad takes one source at a time.
        for (int i = 0; i < b.nlinks; i++) {
          const Link &l = b.links[i];
          if (&l != found && l.sink == found->sink && l.sink_pad == found->sink_pad &&
              (l.flags & MEDIA_LNK_FL_ENABLED))
            return -EBUSY;
        }
      }
      for (const Output &o : b.out)
        if (o.streaming) return -EBUSY;
      found->flags = enable ? (found->flags | MEDIA_LNK_FL_ENABLED)
                            : (found->flags & ~(uint32_t)MEDIA_LNK_FL_ENABLED);
      return 0;
    }
    default:
      return -ENOTTY;
  }
}

// ---- Sub-devices ----

int event_ioctl(Board &b, FileState *fs, unsigned long request, void *arg) {
  Entity &e = b.ents[fs->ent];
  switch (request) {
    case VIDIOC_SUBSCRIBE_EVENT: {
      const v4l2_event_subscription *s = (const v4l2_event_subscription *)arg;
      bool ok = false;
      if (e.role == ROLE_RESIZER) ok = s->type == RSZ_INT_CYC_RZA_EVENT || s->type == RSZ_INT_CYC_RZB_EVENT;
      if (e.role == ROLE_DECODER)
        ok = b.dec.kind == DEC_ADV7842 && s->type >= DECODER_EVENT_VSYNC &&
             s->type <= DECODER_EVENT_AUDIO_RATE;
      if (!ok) return -EINVAL;
      if (e.role == ROLE_RESIZER && (s->id == 0 || s->id % 16)) return -EINVAL;
      int i = 0;
      while (i < fs->nsubs && fs->sub_type[i] != s->type) i++;
      if (i == fs->nsubs) {
        if (fs->nsubs == 8) return -ENOMEM;
        fs->nsubs++;
      }
      fs->sub_type[i] = s->type;
      fs->sub_id[i] = s->id;
      if (e.role == ROLE_RESIZER) b.out[s->type == RSZ_INT_CYC_RZA_EVENT ? 0 : 1].slice_lines = s->id;
      return 0;
    }
    case VIDIOC_UNSUBSCRIBE_EVENT: {
      const v4l2_event_subscription *s = (const v4l2_event_subscription *)arg;
      for (int i = 0; i < fs->nsubs; i++)
        if (s->type == V4L2_EVENT_ALL || fs->sub_type[i] == s->type) {
          if (e.role == ROLE_RESIZER && fs->sub_type[i] == RSZ_INT_CYC_RZA_EVENT) b.out[0].slice_lines = 0;
          if (e.role == ROLE_RESIZER && fs->sub_type[i] == RSZ_INT_CYC_RZB_EVENT) b.out[1].slice_lines = 0;
          fs->sub_type[i] = fs->sub_type[--fs->nsubs];
          fs->sub_id[i] = fs->sub_id[fs->nsubs];
          i--;
        }
      return 0;
    }
    case VIDIOC_DQEVENT: {
      if (fs->nevents == 0) return -ENOENT;
      v4l2_event *ev = (v4l2_event *)arg;
      *ev = fs->events[0];
      memmove(&fs->events[0], &fs->events[1], sizeof fs->events[0] * (size_t)(fs->nevents - 1));
      fs->nevents--;
      ev->pending = (uint32_t)fs->nevents;
      if (!fs->nevents) sim_file_set_readable(fs->file, false);
      return 0;
    }
    default:
      return -ENOTTY;
  }
}

int resizer_config_ioctl(Board &b, unsigned long request, void *arg) {
  RszChannelConfig *cc = (RszChannelConfig *)arg;
  if (cc->oper_mode != RSZ_MODE_CONTINUOUS && cc->oper_mode != RSZ_MODE_SINGLE_SHOT) return -EINVAL;
  bool cont = cc->oper_mode == RSZ_MODE_CONTINUOUS;
  void *rec = cont ? (void *)&b.rsz_cont : (void *)&b.rsz_single;
  size_t size = cont ? sizeof b.rsz_cont : sizeof b.rsz_single;
  if (request == RSZ_S_CONFIG) {
    if (cont && !cc->chain) return -EINVAL;
    for (const Output &o : b.out)
      if (o.streaming) return -EBUSY;
    b.rsz_mode = cc->oper_mode;
    if (!cc->config) {
      if (cc->len) return -EINVAL;
      memset(rec, 0, size);
      return 0;
    }
    if (cc->len != size) return -EINVAL;
    memcpy(rec, cc->config, size);
    b.rsz_config_writes++;
    return 0;
  }
  if (!cc->config || cc->len != size) return -EINVAL;
  memcpy(cc->config, rec, size);
  return 0;
}

const struct { uint32_t id; uint32_t size; const char *name; } kPrvModules[] = {
    {1, 16, "luma adjust"}, {2, 24, "noise filter"}, {3, 64, "edge enhance"},
    {4, 12, "chroma suppress"}, {5, 32, "colour conversion"},
};

int previewer_ioctl(Board &b, unsigned long request, void *arg) {
  switch (request) {
    case PREV_S_CONFIG: {
      const PrvChannelConfig *cc = (const PrvChannelConfig *)arg;
      if (!cc->config) {
        if (cc->len) return -EINVAL;
        memset(&b.prv, 0, sizeof b.prv);
        b.prv.input_code = 0x2008;
        b.prv.gain = 512;
        b.prv_default_sets++;
        return 0;
      }
      if (cc->len != sizeof b.prv) return -EINVAL;
      memcpy(&b.prv, cc->config, sizeof b.prv);
      return 0;
    }
    case PREV_G_CONFIG: {
      PrvChannelConfig *cc = (PrvChannelConfig *)arg;
      if (!cc->config || cc->len != sizeof b.prv) return -EINVAL;
      memcpy(cc->config, &b.prv, sizeof b.prv);
      return 0;
    }
    case PREV_ENUM_CAP: {
      PrvModuleCap *cap = (PrvModuleCap *)arg;
      if (cap->index >= sizeof kPrvModules / sizeof kPrvModules[0]) return -EINVAL;
      cap->module_id = kPrvModules[cap->index].id;
      cap->param_size = kPrvModules[cap->index].size;
      snprintf(cap->name, sizeof cap->name, "%s", kPrvModules[cap->index].name);
      return 0;
    }
    case PREV_S_PARAM:
    case PREV_G_PARAM: {
      const PrvModuleParam *p = (const PrvModuleParam *)arg;
      for (const auto &m : kPrvModules)
        if (m.id == p->module_id) {
          if (p->len != m.size) return -EINVAL;
          if (request == PREV_G_PARAM && !p->param) return -EINVAL;
          if (request == PREV_G_PARAM) memset(p->param, 0, p->len);
          return 0;
        }
      return -EINVAL;
    }
    default:
      return -ENOTTY;
  }
}

int subdev_ioctl(Board &b, FileState *fs, unsigned long request, void *arg) {
  Entity &e = b.ents[fs->ent];
  switch (request) {
    case VIDIOC_SUBDEV_G_FMT:
    case VIDIOC_SUBDEV_S_FMT: {
      v4l2_subdev_format *f = (v4l2_subdev_format *)arg;
      if (f->pad >= e.pads || f->pad >= kMaxPads) return -EINVAL;
      if (f->which != V4L2_SUBDEV_FORMAT_ACTIVE && f->which != V4L2_SUBDEV_FORMAT_TRY) return -EINVAL;
      if (request == VIDIOC_SUBDEV_G_FMT) {
        f->format = e.pad_fmt[f->pad];
        return 0;
      }
      if (f->format.width == 0 || f->format.height == 0 || f->format.width > 4096 ||
          f->format.height > 4096)
        return -EINVAL;
      if (f->which == V4L2_SUBDEV_FORMAT_ACTIVE) e.pad_fmt[f->pad] = f->format;
      return 0;
    }
    case VIDIOC_SUBSCRIBE_EVENT:
    case VIDIOC_UNSUBSCRIBE_EVENT:
    case VIDIOC_DQEVENT:
      return event_ioctl(b, fs, request, arg);
    default:
      break;
  }
  switch (e.role) {
    case ROLE_RESIZER:
      if (request == RSZ_S_CONFIG || request == RSZ_G_CONFIG) return resizer_config_ioctl(b, request, arg);
      if (request == RSZ_S_INPUT) {
        uint32_t in = *(const uint32_t *)arg;
        if (in != RSZ_INPUT_MEMORY && in != RSZ_INPUT_PREVIEWER) return -EINVAL;
        b.rsz_input = in;
        return 0;
      }
      return -ENOTTY;
    case ROLE_PREVIEWER:
      return previewer_ioctl(b, request, arg);
    case ROLE_DECODER:
      return decoder_ioctl_locked(b, request, arg);
    default:
      return -ENOTTY;
  }
}

// ---- File operations ----

int cap_open(SimFile *f) {
  sim_capture_watch_commands();
  Board &b = board();
  std::lock_guard<std::mutex> l(b.lock);
  build_locked(b);
  int ent = -1;
  if (strcmp(f->path, "/dev/media0") != 0) {
    for (int i = 0; i < b.nents; i++)
      if (b.ents[i].devnum >= 0 && strcmp(b.ents[i].path, f->path) == 0) ent = i;
    if (ent < 0) return -ENXIO;
  }
  int slot = 0;
  while (slot < kMaxFiles && b.files[slot]) slot++;
  if (slot == kMaxFiles) return -EMFILE;
  FileState *fs = new FileState();
  fs->file = f;
  fs->ent = ent;
  b.files[slot] = fs;
  f->priv = fs;
  // A fresh descriptor of an output with frames waiting polls readable.
  for (const Output &o : b.out)
    if (ent >= 0 && o.ent == ent && o.nd) sim_file_set_readable(f, true);
  return 0;
}

void cap_release(SimFile *f) {
  Board &b = board();
  std::lock_guard<std::mutex> l(b.lock);
  FileState *fs = (FileState *)f->priv;
  if (fs && fs->ent >= 0) output_release_locked(b, fs);
  for (FileState *&slot : b.files)
    if (slot == fs) slot = nullptr;
  if (fs && fs->ent >= 0 && b.ents[fs->ent].role == ROLE_RESIZER)
    for (int i = 0; i < fs->nsubs; i++) {
      if (fs->sub_type[i] == RSZ_INT_CYC_RZA_EVENT) b.out[0].slice_lines = 0;
      if (fs->sub_type[i] == RSZ_INT_CYC_RZB_EVENT) b.out[1].slice_lines = 0;
    }
  delete fs;
  f->priv = nullptr;
}

int cap_ioctl(SimFile *f, unsigned long request, void *arg) {
  Board &b = board();
  std::unique_lock<std::mutex> lk(b.lock);
  FileState *fs = (FileState *)f->priv;
  if (!fs || fs->ent == -2) return -ENODEV;
  if (!arg) return -EFAULT;
  int rc = take_failure_locked(b, request);
  if (rc) return rc;
  if (fs->ent < 0) return media_ioctl(b, request, arg);
  if (b.ents[fs->ent].subdev) return subdev_ioctl(b, fs, request, arg);
  return video_ioctl_locked(b, fs, request, arg, lk);
}

void *cap_mmap(SimFile *f, size_t len, int, off_t off) {
  Board &b = board();
  std::lock_guard<std::mutex> l(b.lock);
  FileState *fs = (FileState *)f->priv;
  if (!fs || fs->ent < 0) return nullptr;
  return video_mmap_locked(b, fs->ent, len, off);
}

// Buffers are the driver's until REQBUFS frees them.
int cap_munmap(SimFile *, void *, size_t) { return 0; }

const SimDriverOps kCaptureOps = {cap_open, cap_release, nullptr, nullptr,
                                  cap_ioctl, cap_mmap,   cap_munmap};

void register_nodes_locked(Board &b) {
  sim_register("/dev/media0", &kCaptureOps, nullptr);
  for (int i = 0; i < b.nents; i++)
    if (b.ents[i].devnum >= 0) sim_register(b.ents[i].path, &kCaptureOps, nullptr);
}

}  // namespace

}  // namespace simcap

using namespace simcap;

void sim_capture_register(void) {
  Board &b = board();
  std::lock_guard<std::mutex> l(b.lock);
  build_locked(b);
  register_nodes_locked(b);
}

void sim_capture_reset(int decoder) {
  Board &b = board();
  std::lock_guard<std::mutex> l(b.lock);
  g_forced_decoder = decoder;
  b.built = false;
  for (Failure &f : b.failures) f = {};
  b.stalled = false;
  b.y4m_path[0] = 0;
  build_locked(b);
  register_nodes_locked(b);
  b.cond.notify_all();
}

void sim_capture_info(SimCaptureInfo *info) {
  Board &b = board();
  std::lock_guard<std::mutex> l(b.lock);
  build_locked(b);
  memset(info, 0, sizeof *info);
  info->decoder = b.dec.kind == DEC_TP2825 ? SIM_DECODER_TP2825 : SIM_DECODER_ADV7842;
  info->input = b.dec.input;
  info->std = b.dec.std;
  info->preset = b.dec.preset;
  info->rsz_mode = b.rsz_mode;
  info->rsz_config_writes = b.rsz_config_writes;
  info->rsz_input = b.rsz_input;
  if (b.rsz_mode == RSZ_MODE_CONTINUOUS)
    memcpy(info->rsz_config, &b.rsz_cont, sizeof b.rsz_cont);
  else
    memcpy(info->rsz_config, &b.rsz_single, sizeof b.rsz_single);
  info->prv_default_sets = b.prv_default_sets;
  memcpy(info->ctrl, b.dec.ctrl, sizeof info->ctrl);
  // The chain from the decoder to each output must be enabled end to end.
  Role chain[][2] = {{ROLE_DECODER, ROLE_CCDC}, {ROLE_CCDC, ROLE_PREVIEWER},
                     {ROLE_PREVIEWER, ROLE_RESIZER}, {ROLE_RESIZER, ROLE_OUT_A},
                     {ROLE_RESIZER, ROLE_OUT_B}};
  info->links_ok = 1;
  for (auto &c : chain) {
    bool on = false;
    int s = entity_of_role(b, c[0]), d = entity_of_role(b, c[1]);
    for (int i = 0; i < b.nlinks; i++)
      on |= b.links[i].src == s && b.links[i].sink == d && (b.links[i].flags & MEDIA_LNK_FL_ENABLED);
    if (!on) info->links_ok = 0;
  }
  for (int k = 0; k < 2; k++) {
    const Output &o = b.out[k];
    SimCaptureOutputInfo &oi = info->out[k];
    oi.streaming = o.streaming;
    oi.width = o.fmt.width;
    oi.height = o.fmt.height;
    oi.bytesperline = o.fmt.bytesperline;
    oi.pixelformat = o.fmt.pixelformat;
    oi.buffers = o.nbufs;
    oi.queued = o.nq;
    oi.done = o.nd;
    oi.frames = o.frames;
    oi.dropped = o.dropped;
    oi.slice_lines = o.slice_lines;
  }
}

uint8_t sim_capture_reg(unsigned reg) {
  Board &b = board();
  std::lock_guard<std::mutex> l(b.lock);
  build_locked(b);
  return b.dec.regs[reg & 0xFFFF];
}

void sim_capture_fail_request(unsigned long request, int count, int err) {
  Board &b = board();
  std::lock_guard<std::mutex> l(b.lock);
  for (Failure &f : b.failures)
    if (f.request == request || f.request == 0) {
      f.request = count > 0 ? request : 0;
      f.count = count;
      f.err = err ? err : EIO;
      return;
    }
}

void sim_capture_stall(int stalled) {
  Board &b = board();
  std::lock_guard<std::mutex> l(b.lock);
  b.stalled = stalled != 0;
  b.cond.notify_all();
}
