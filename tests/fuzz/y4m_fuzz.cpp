// Y4M files given to the simulated capture chain: a file is shown or
// refused, and showing it never reads past a frame.
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "fuzz_root.h"
#include "platform/sim/sim_capture.h"
#include "platform/sim/sim_control.h"

int fuzz_one(const uint8_t *data, size_t size) {
  SimY4mHeader h;
  sim_y4m_parse_header(data, size, &h);
  static std::string path = fuzz_root() + "/y4m_fuzz.y4m";
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return 0;
  if (size) fwrite(data, 1, size, f);
  fclose(f);
  if (sim_capture_set_y4m(path.c_str()) == 0) {
    for (uint32_t fourcc : {V4L2_PIX_FMT_UYVY, V4L2_PIX_FMT_NV12}) {
      v4l2_pix_format fmt = {};
      fmt.width = 64;
      fmt.height = 48;
      fmt.pixelformat = fourcc;
      fmt.bytesperline = fourcc == V4L2_PIX_FMT_NV12 ? 64 : 128;
      std::vector<uint8_t> out(fmt.bytesperline * 48 * 2);
      for (uint64_t n = 0; n < 3; n++) simcap::pattern_render(path.c_str(), n, 720, 480, nullptr, &fmt, out.data());
    }
  }
  sim_capture_set_y4m(nullptr);
  unlink(path.c_str());
  return 0;
}
