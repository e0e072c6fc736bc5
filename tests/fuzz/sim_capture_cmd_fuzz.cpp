// The simulated capture chain's and board's command lines (the command files
// scripts write): every line is taken or refused, never misread.
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/sim/sim_control.h"

int fuzz_one(const uint8_t *data, size_t size) {
  std::string text((const char *)data, size);
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    // A file path given to "y4m" is read; keep the fuzzer off the disk.
    if (line.compare(0, 3, "y4m") != 0) sim_capture_command(line.c_str());
    sim_board_command(line.c_str());
    start = end + 1;
  }
  sim_capture_stall(0);
  return 0;
}
