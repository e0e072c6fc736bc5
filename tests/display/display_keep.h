// What a test that runs the monitor output changes outside itself, put back
// when it ends: the OSD windows and zoom the output's standard sets, the
// output's mode as the menus read it, the simulated output and its monitor's
// EDID. A member of the fixture, so the next test of the program finds the
// output as a fresh process has it.
#pragma once
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/hwreg.h"
#include "display/display_tx.h"
#include "display/hd_display.h"
#include "display/osd_windows.h"
#include "platform/host_root.h"
#include "platform/sim/sim_control.h"
#include "test_root.h"

struct DisplayKeep {
  static constexpr uint32_t kOsdRegs[] = {0x01C71C08u, 0x01C71C0Cu, 0x01C71C70u,
                                          0x01C71C74u, 0x01C71C80u, 0x01C71C84u};
  uint32_t regs[sizeof kOsdRegs / sizeof kOsdRegs[0]];
  int scale;
  DisplayInfo info;
  bool had_edid;
  std::vector<char> edid;

  DisplayKeep() {
    test_root();
    hwreg_map();
    for (size_t i = 0; i < std::size(kOsdRegs); i++) regs[i] = hwreg_read(kOsdRegs[i]);
    scale = osd_scale;
    info = display_info;
    std::ifstream f(HostPath("/run/sim/edid.bin").c_str(), std::ios::binary);
    had_edid = bool(f);
    if (had_edid) edid.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  ~DisplayKeep() {
    for (size_t i = 0; i < std::size(kOsdRegs); i++) hwreg_write(kOsdRegs[i], regs[i]);
    osd_scale = scale;
    display_info = info;
    sim_video_out_reset();
    if (had_edid) {
      std::ofstream f(HostPath("/run/sim/edid.bin").c_str(), std::ios::binary | std::ios::trunc);
      f.write(edid.data(), std::streamsize(edid.size()));
    } else {
      sys_unlink("/run/sim/edid.bin");
    }
    display_edid_forget();
  }
};

// The OSD's hardware cursor, which a plugged mouse switches on (and which
// stays on when the mouse goes, as on the board).
struct CursorKeep {
  static constexpr uint32_t kCursorRegs[] = {0x01C71C10u, 0x01C71C9Cu, 0x01C71CA0u, 0x01C71CA4u,
                                             0x01C71CA8u};
  uint32_t regs[sizeof kCursorRegs / sizeof kCursorRegs[0]];
  CursorKeep() {
    hwreg_map();
    for (size_t i = 0; i < std::size(kCursorRegs); i++) regs[i] = hwreg_read(kCursorRegs[i]);
  }
  ~CursorKeep() {
    for (size_t i = 0; i < std::size(kCursorRegs); i++) hwreg_write(kCursorRegs[i], regs[i]);
  }
};
