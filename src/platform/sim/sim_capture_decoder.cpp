// The simulated decoder chips: the adv7842 (digital inputs with DV timings,
// composite and S-video with standards, events) and the tp2825 (two
// analog-HD inputs with DV presets and the format bits in the input status).
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/sim/sim_capture.h"
#include "platform/sim/sim_control.h"

namespace simcap {

namespace {

struct InputDesc {
  const char *name;
  bool analog_std;
};
const InputDesc kAdvInputs[] = {{"DVI", false},   {"CVideo", true}, {"SVideo", true},
                                {"Comp", false},  {"VGA", false},   {"DVI", false}};
const InputDesc kTpInputs[] = {{"AHD1", false}, {"AHD2", false}};

// Total (blanking included) sizes of the usual pictures.
void totals_for(uint32_t w, uint32_t h, uint32_t *htot, uint32_t *vtot) {
  if (w == 1920 && h == 1080) { *htot = 2200; *vtot = 1125; return; }
  if (w == 1280 && h == 720) { *htot = 1650; *vtot = 750; return; }
  if (w == 720 && h == 480) { *htot = 858; *vtot = 525; return; }
  if (w == 720 && h == 576) { *htot = 864; *vtot = 625; return; }
  *htot = w + w / 8 + 64;
  *vtot = h + h / 24 + 6;
}

struct PresetGeom {
  uint32_t w, h;
  bool interlaced;
  uint32_t fps_milli;  // frames per second x 1000
};

PresetGeom preset_geometry(uint32_t code) {
  switch (code & 63) {
    case 1: return {720, 480, true, 29970};
    case 2: return {720, 576, true, 25000};
    case 4: return {1280, 720, false, 25000};
    case 5: return {1280, 720, false, 30000};
    case 6: return {1280, 720, false, 50000};
    case 7: return {1280, 720, false, 59940};
    case 8: return {1280, 720, false, 60000};
    case 9: return {1920, 1080, true, 29970};
    case 10: return {1920, 1080, true, 30000};
    case 11: case 12: case 13: return {1920, 1080, true, 25000};
    case 14: return {1920, 1080, false, 24000};
    case 15: return {1920, 1080, false, 25000};
    case 16: return {1920, 1080, false, 30000};
    case 17: return {1920, 1080, false, 50000};
    case 18: return {1920, 1080, false, 60000};
    default: return {1280, 720, false, 30000};
  }
}

// Format bits 6-7 of a preset: 0 TVI, 64 AHD, 128 CVI; status format 1 AHD,
// 2 TVI, 3 CVI.
uint32_t preset_format_bits(uint32_t ahd_format) {
  return ahd_format == 1 ? 64 : ahd_format == 3 ? 128 : 0;
}

void set_digital(InputState &in, uint32_t w, uint32_t h, bool il, uint32_t fps, bool signal) {
  memset(&in, 0, sizeof in);
  in.signal = signal;
  in.width = w;
  in.height = h;
  in.interlaced = il;
  in.fps_milli = fps;
  in.audio_rate = 48000;
}

void set_analog(InputState &in, v4l2_std_id std, bool signal) {
  memset(&in, 0, sizeof in);
  in.signal = signal;
  in.analog_std = true;
  in.std = std;
  bool pal = std & V4L2_STD_625_50;
  in.width = 720;
  in.height = pal ? 576 : 480;
  in.interlaced = true;
  in.fps_milli = pal ? 25000 : 29970;
}

void set_ahd(InputState &in, uint32_t preset, uint32_t format, bool signal) {
  PresetGeom g = preset_geometry(preset);
  set_digital(in, g.w, g.h, g.interlaced, g.fps_milli, signal);
  in.preset = preset & 63;
  in.ahd_format = format;
}

const InputDesc &input_desc(const Decoder &d, int i) {
  return d.kind == DEC_TP2825 ? kTpInputs[i] : kAdvInputs[i];
}

struct CtrlDesc {
  uint32_t id;
  int32_t min, max;
};
const CtrlDesc kAdvCtrls[5] = {{V4L2_CID_BRIGHTNESS, -128, 127}, {V4L2_CID_CONTRAST, 0, 255},
                               {V4L2_CID_SATURATION, 0, 255},   {V4L2_CID_HUE, -127, 127},
                               {V4L2_CID_COLOR_KILLER, 0, 1}};
const CtrlDesc kTpCtrls[5] = {{V4L2_CID_BRIGHTNESS, -64, 63}, {V4L2_CID_CONTRAST, 0, 127},
                              {V4L2_CID_SATURATION, 0, 127}, {V4L2_CID_HUE, -90, 90},
                              {V4L2_CID_COLOR_KILLER, 0, 1}};

// The picture the current input carries, through a forced preset.
void active_picture(const Decoder &d, const InputState &in, uint32_t *w, uint32_t *h, bool *il,
                    uint32_t *fps) {
  if (d.kind == DEC_TP2825 && (d.preset & 63)) {
    PresetGeom g = preset_geometry(d.preset);
    *w = g.w, *h = g.h, *il = g.interlaced, *fps = g.fps_milli;
    return;
  }
  *w = in.width, *h = in.height, *il = in.interlaced, *fps = in.fps_milli;
}

}  // namespace

void timings_for(const InputState &in, v4l2_dv_timings *t) {
  memset(t, 0, sizeof *t);
  t->type = V4L2_DV_BT_656_1120;
  v4l2_bt_timings &bt = t->bt;
  uint32_t htot, vtot;
  totals_for(in.width, in.height, &htot, &vtot);
  bt.width = in.width;
  bt.height = in.height;
  bt.interlaced = in.interlaced ? V4L2_DV_INTERLACED : V4L2_DV_PROGRESSIVE;
  bt.polarities = V4L2_DV_HSYNC_POS_POL | V4L2_DV_VSYNC_POS_POL;
  bt.pixelclock = in.pixelclock ? in.pixelclock
                                : (uint64_t)htot * vtot * in.fps_milli / 1000;
  bt.hfrontporch = (htot - in.width) / 4;
  bt.hsync = (htot - in.width) / 4;
  bt.hbackporch = htot - in.width - bt.hfrontporch - bt.hsync;
  uint32_t vblank = vtot - in.height;
  if (in.interlaced) {
    uint32_t field = vblank / 2;
    bt.vfrontporch = 2;
    bt.vsync = 5;
    bt.vbackporch = field > 7 ? field - 7 : 0;
    bt.il_vfrontporch = 2;
    bt.il_vsync = 5;
    bt.il_vbackporch = vblank - field > 7 ? vblank - field - 7 : 0;
  } else {
    bt.vfrontporch = 4;
    bt.vsync = 5;
    bt.vbackporch = vblank > 9 ? vblank - 9 : 0;
  }
}

void decoder_init(Decoder &d, DecoderKind kind) {
  memset(&d, 0, sizeof d);
  d.kind = kind;
  const CtrlDesc *ctrls = kind == DEC_TP2825 ? kTpCtrls : kAdvCtrls;
  if (kind == DEC_TP2825) {
    d.name = "tp2825 1-0044";
    d.i2c_addr = 0x44;
    d.ninputs = 2;
    set_ahd(d.inputs[0], 16, 1, true);   // 1080p30 AHD
    set_ahd(d.inputs[1], 5, 2, false);   // 720p30 TVI, unplugged
  } else {
    d.name = "adv7842 1-0020";
    d.i2c_addr = 0x20;
    d.ninputs = 6;
    set_digital(d.inputs[0], 1920, 1080, false, 30000, true);
    set_analog(d.inputs[1], V4L2_STD_NTSC, true);
    set_analog(d.inputs[2], V4L2_STD_PAL, false);
    set_digital(d.inputs[3], 1280, 720, false, 60000, true);
    set_digital(d.inputs[4], 1024, 768, false, 60000, false);
    set_digital(d.inputs[5], 1920, 1080, false, 30000, false);
    d.std = V4L2_STD_525_60;
  }
  for (int i = 0; i < 5; i++) d.ctrl[i] = ctrls[i].min < 0 ? 0 : (ctrls[i].max + 1) / 2;
  d.ctrl[4] = 0;
  timings_for(d.inputs[0], &d.timings);
}

bool decoder_active_locked(const Board &b, uint32_t *w, uint32_t *h, bool *interlaced,
                           uint32_t *rate_milli) {
  const Decoder &d = b.dec;
  const InputState &in = d.inputs[d.input];
  if (!in.signal) return false;
  uint32_t fps;
  active_picture(d, in, w, h, interlaced, &fps);
  *rate_milli = *interlaced ? fps * 2 : fps;
  return *w && *h && fps;
}

void decoder_signal_changed_locked(Board &b, int input) {
  if (b.dec.kind != DEC_ADV7842 || input != b.dec.input) return;
  int ent = entity_of_role(b, ROLE_DECODER);
  if (ent >= 0) post_event_locked(b, ent, DECODER_EVENT_SIGNAL, nullptr, 0);
}

int decoder_ioctl_locked(Board &b, unsigned long request, void *arg) {
  Decoder &d = b.dec;
  InputState &cur = d.inputs[d.input];
  const CtrlDesc *ctrls = d.kind == DEC_TP2825 ? kTpCtrls : kAdvCtrls;
  switch (request) {
    case VIDIOC_G_INPUT:
      *(int *)arg = d.input;
      return 0;
    case VIDIOC_S_INPUT: {
      int i = *(const int *)arg;
      if (i < 0 || i >= d.ninputs) return -EINVAL;
      d.input = i;
      if (!d.inputs[i].analog_std) timings_for(d.inputs[i], &d.timings);
      return 0;
    }
    case VIDIOC_ENUMINPUT: {
      v4l2_input *in = (v4l2_input *)arg;
      if (in->index >= (uint32_t)d.ninputs) return -EINVAL;
      uint32_t index = in->index;
      const InputState &s = d.inputs[index];
      memset(in, 0, sizeof *in);
      in->index = index;
      snprintf((char *)in->name, sizeof in->name, "%s", input_desc(d, (int)index).name);
      in->type = V4L2_INPUT_TYPE_CAMERA;
      if (s.analog_std) {
        in->std = V4L2_STD_525_60 | V4L2_STD_625_50;
        in->capabilities = V4L2_IN_CAP_STD;
      } else {
        in->capabilities = V4L2_IN_CAP_DV_TIMINGS;
      }
      if (!s.signal) in->status = V4L2_IN_ST_NO_SIGNAL | V4L2_IN_ST_NO_H_LOCK;
      else if (d.kind == DEC_TP2825) in->status = s.ahd_format << DECODER_IN_ST_AHD_SHIFT;
      return 0;
    }
    case VIDIOC_G_STD:
      if (!cur.analog_std) return -ENODATA;
      *(v4l2_std_id *)arg = d.std;
      return 0;
    case VIDIOC_S_STD: {
      v4l2_std_id std = *(const v4l2_std_id *)arg;
      if (!cur.analog_std) return -ENODATA;
      if (!(std & V4L2_STD_ALL)) return -EINVAL;
      d.std = std;
      return 0;
    }
    case VIDIOC_QUERYSTD:
      if (!cur.analog_std) return -ENODATA;
      *(v4l2_std_id *)arg = cur.signal ? cur.std : V4L2_STD_UNKNOWN;
      return 0;
    case VIDIOC_QUERY_DV_TIMINGS:
      if (cur.analog_std) return -ENODATA;
      if (!cur.signal) return -ENOLINK;
      timings_for(cur, (v4l2_dv_timings *)arg);
      return 0;
    case VIDIOC_G_DV_TIMINGS:
      if (cur.analog_std) return -ENODATA;
      *(v4l2_dv_timings *)arg = d.timings;
      return 0;
    case VIDIOC_S_DV_TIMINGS: {
      const v4l2_dv_timings *t = (const v4l2_dv_timings *)arg;
      if (cur.analog_std) return -ENODATA;
      if (t->type != V4L2_DV_BT_656_1120 || !t->bt.width || !t->bt.height) return -EINVAL;
      d.timings = *t;
      return 0;
    }
    case VIDIOC_S_DV_PRESET:
    case VIDIOC_G_DV_PRESET:
    case VIDIOC_QUERY_DV_PRESET: {
      if (d.kind != DEC_TP2825) return -ENOTTY;
      v4l2_dv_preset *p = (v4l2_dv_preset *)arg;
      if (request == VIDIOC_S_DV_PRESET) {
        if ((p->preset & 63) > 18) return -EINVAL;
        d.preset = p->preset & 0xFF;
        return 0;
      }
      if (request == VIDIOC_G_DV_PRESET) {
        p->preset = d.preset;
        return 0;
      }
      if (!cur.signal) return -ENOLINK;
      p->preset = (d.preset & 63) ? d.preset : (cur.preset | preset_format_bits(cur.ahd_format));
      return 0;
    }
    case VIDIOC_G_PARM: {
      v4l2_streamparm *sp = (v4l2_streamparm *)arg;
      if (sp->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
      uint32_t w, h, fps;
      bool il;
      active_picture(d, cur, &w, &h, &il, &fps);
      memset(&sp->parm, 0, sizeof sp->parm);
      sp->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
      sp->parm.capture.timeperframe.numerator = 1000;
      sp->parm.capture.timeperframe.denominator = fps;
      return 0;
    }
    case VIDIOC_S_PARM: {
      v4l2_streamparm *sp = (v4l2_streamparm *)arg;
      return sp->type == V4L2_BUF_TYPE_VIDEO_CAPTURE ? 0 : -EINVAL;
    }
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL: {
      v4l2_control *c = (v4l2_control *)arg;
      for (int i = 0; i < 5; i++) {
        if (ctrls[i].id != c->id) continue;
        if (request == VIDIOC_G_CTRL) {
          c->value = d.ctrl[i];
          return 0;
        }
        int32_t v = c->value;
        d.ctrl[i] = v < ctrls[i].min ? ctrls[i].min : v > ctrls[i].max ? ctrls[i].max : v;
        return 0;
      }
      return -EINVAL;
    }
    case VIDIOC_DBG_G_REGISTER:
    case VIDIOC_DBG_S_REGISTER: {
      v4l2_dbg_register *r = (v4l2_dbg_register *)arg;
      if (r->match.type != V4L2_CHIP_MATCH_I2C_ADDR || r->match.addr != d.i2c_addr) return -EINVAL;
      if (r->reg > 0xFFFF) return -EINVAL;
      if (request == VIDIOC_DBG_S_REGISTER) {
        d.regs[r->reg] = (uint8_t)r->val;
      } else {
        r->val = d.regs[r->reg];
        r->size = 1;
      }
      return 0;
    }
    default:
      return -ENOTTY;
  }
}

namespace {

// Runs fn on an input under the chain's lock; a change to the current input
// raises the signal event. Out-of-range inputs are ignored.
template <typename Fn>
void with_input(int input, Fn fn) {
  Board &b = board();
  std::lock_guard<std::mutex> l(b.lock);
  build_locked(b);
  if (input < 0 || input >= b.dec.ninputs) return;
  fn(b.dec.inputs[input]);
  decoder_signal_changed_locked(b, input);
  b.cond.notify_all();
}

}  // namespace

}  // namespace simcap

using namespace simcap;

void sim_capture_set_signal(int input, int present) {
  with_input(input, [&](InputState &in) { in.signal = present != 0; });
}

void sim_capture_set_timings(int input, unsigned width, unsigned height, int interlaced,
                             unsigned fps_milli, uint64_t pixelclock) {
  with_input(input, [&](InputState &in) {
    in.width = width;
    in.height = height;
    in.interlaced = interlaced != 0;
    in.fps_milli = fps_milli;
    in.pixelclock = pixelclock;
  });
}

void sim_capture_set_standard(int input, uint64_t std) {
  with_input(input, [&](InputState &in) {
    bool signal = in.signal;
    if (in.analog_std) set_analog(in, std, signal);
  });
}

void sim_capture_set_ahd(int input, unsigned preset, unsigned format) {
  with_input(input, [&](InputState &in) { set_ahd(in, preset, format, in.signal); });
}

void sim_capture_set_audio_rate(int input, unsigned rate) {
  Board &b = board();
  std::lock_guard<std::mutex> l(b.lock);
  build_locked(b);
  if (input < 0 || input >= b.dec.ninputs) return;
  b.dec.inputs[input].audio_rate = rate;
  if (input != b.dec.input || b.dec.kind != DEC_ADV7842) return;
  int ent = entity_of_role(b, ROLE_DECODER);
  uint8_t data[4] = {(uint8_t)rate, (uint8_t)(rate >> 8), (uint8_t)(rate >> 16), (uint8_t)(rate >> 24)};
  if (ent >= 0) post_event_locked(b, ent, DECODER_EVENT_AUDIO_RATE, data, sizeof data);
}
