// Input devices under arbitrary input: event records from a keyboard, a
// mouse or a touch panel into keyboard_scan (the pointer stays on the screen,
// the text-entry buffer within its limit), device descriptions in the evemu
// format, and the simulated devices' command lines.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "display/gui_layout.h"
#include "display/keyboard_input.h"
#include "display/text_entry.h"
#include "fuzz_root.h"
#include "platform/sim/sim_control.h"

int fuzz_one(const uint8_t *data, size_t size) {
  fuzz_root();
  if (size < 2) return 0;
  int mode = data[0] % 5;
  static const char *const kinds[] = {"keyboard", "mouse", "touch"};
  if (mode == 3) {
    sim_input_plug_description(3, (const char *)data + 1, size - 1);
    keyboard_scan();
  } else if (mode == 4) {
    std::string text((const char *)data + 1, size - 1);
    size_t start = 0;
    while (start <= text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      sim_input_command(text.substr(start, end - start).c_str());
      start = end + 1;
    }
    keyboard_scan();
  } else {
    if (sim_input_plug(mode, kinds[mode]) != 0) abort();
    keyboard_scan();
    text_entry_begin("", data[1] % 70);
    for (size_t i = 2; i + 8 <= size; i += 8) {
      uint16_t type, code;
      int32_t value;
      memcpy(&type, data + i, 2);
      memcpy(&code, data + i + 2, 2);
      memcpy(&value, data + i + 4, 4);
      sim_input_push(mode, type % 0x20, code % 0x300, value);
    }
    keyboard_scan();
    if (gui_input.x < 0 || gui_input.x >= osd_layout.screen_width) abort();
    if (gui_input.y < 0 || gui_input.y >= osd_layout.screen_height) abort();
    pthread_mutex_lock(&text_entry.mutex);
    size_t len = strnlen(text_entry.buffer, TEXT_ENTRY_MAX);
    if (len >= TEXT_ENTRY_MAX || (text_entry.size && len >= text_entry.size)) abort();
    pthread_mutex_unlock(&text_entry.mutex);
    text_entry_finish(nullptr, 0, 0);
  }
  for (int n = 0; n < SIM_INPUT_SLOTS; n++) sim_input_unplug(n);
  keyboard_scan();
  return 0;
}
