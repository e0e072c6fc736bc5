// Cost of compositing the overlay text into a frame, against the floor of
// touching the same bytes: a memset of the text's cells, row by row, in the
// same run. Reported per case (font, characters, frame size): wall time per
// frame, `vs_fill` (how many times the fill's time compositing takes) and,
// when valgrind is installed, `Ir` (instructions per composite, counted by
// callgrind in a child run of this program) and `Ir_per_px` (per text
// pixel). Growth must follow the text's area only: the same text costs the
// same on a 720x480 frame as on a 1920x1080 one.
#include <benchmark/benchmark.h>

#include <chrono>
#include <map>

#include "callgrind_count.h"
#include "core/param_block.h"
#include "osd/osd_channel.h"
#include "osd/osd_composite.h"
#include "osd/osd_font.h"

namespace {

struct Case {
  int font, style, chars;
  uint32_t width, lines;
};

ParamBlock block;
std::vector<uint8_t> frame;

void setup(const Case &c) {
  memset(&block, 0, sizeof block);
  osdInit(&block);
  OsdTextConfig &t = block.video[0].osd;
  t.enabled = (uint8_t)c.font;
  t.transparent = (uint8_t)c.style;
  t.x = 16;
  t.y = 16;
  static const char kPangram[] = "The quick brown fox jumps over the lazy dog 0123456789 ";
  for (int i = 0; i < c.chars; i++) t.message[i] = kPangram[i % (sizeof kPangram - 1)];
  osdSetFormat(0, c.width, c.lines, OSD_LAYOUT_NV12, c.width);
  osdSetConfig(0, &t);
  frame.assign((size_t)c.width * c.lines * 3 / 2, 100);
}

// The fill peer: every byte of the text's cells written once.
void fill(const Case &c) {
  uint32_t w = (uint32_t)c.chars * osd_cell_width[c.font], h = osd_cell_height[c.font];
  uint8_t *p = frame.data() + 16 + (size_t)16 * c.width;
  for (uint32_t r = 0; r < h; r++, p += c.width) memset(p, 16, w);
  benchmark::ClobberMemory();
}

// Instructions of one composite (each case counted once).
double instructions(const Case &c) {
  static std::map<std::string, double> cache;
  char key[96];
  snprintf(key, sizeof key, "%d %d %d %u %u", c.font, c.style, c.chars, c.width, c.lines);
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  double ir = callgrind_instructions({std::to_string(c.font), std::to_string(c.style), std::to_string(c.chars),
                                      std::to_string(c.width), std::to_string(c.lines)},
                                     50);
  cache[key] = ir;
  return ir;
}

void BM_Composite(benchmark::State &state) {
  Case c = {(int)state.range(0), (int)state.range(1), (int)state.range(2), (uint32_t)state.range(3),
            (uint32_t)state.range(4)};
  setup(c);
  // The fill's time per frame, measured beside.
  auto t0 = std::chrono::steady_clock::now();
  const int fills = 20000;
  for (int i = 0; i < fills; i++) fill(c);
  double fill_ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() / fills;
  int64_t frames = 0;
  t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    osdComposite(0, frame.data(), 0);
    benchmark::ClobberMemory();
    frames++;
  }
  double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
  double px = (double)c.chars * osd_cell_width[c.font] * osd_cell_height[c.font];
  state.counters["text_px"] = px;
  state.counters["fill_ns"] = fill_ns;
  if (frames) state.counters["vs_fill"] = ns / (double)frames / fill_ns;
  double ir = instructions(c);
  if (ir > 0) {
    state.counters["Ir"] = ir;
    state.counters["Ir_per_px"] = ir / px;
  }
}

// font, style, characters, frame width and lines; every text fits its frame.
void Cases(benchmark::internal::Benchmark *b) {
  for (int chars : {10, 20, 40, 80})
    for (auto wh : {std::pair<int, int>{720, 480}, {1920, 1080}}) b->Args({1, 0, chars, wh.first, wh.second});
  b->Args({1, 0, 40, 3840, 2160});
  for (int font : {2, 3})
    for (auto wh : {std::pair<int, int>{1280, 720}, {1920, 1080}}) b->Args({font, 0, 40, wh.first, wh.second});
  b->Args({4, 0, 40, 1920, 1080});
  b->Args({1, 1, 40, 1920, 1080});
  b->Args({2, 6, 40, 1920, 1080});
}
BENCHMARK(BM_Composite)->Apply(Cases)->ArgNames({"font", "style", "chars", "w", "h"});

}  // namespace

int main(int argc, char **argv) {
  if (argc == 8 && !strcmp(argv[1], "--instr")) {
    Case c = {atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), (uint32_t)atoi(argv[5]), (uint32_t)atoi(argv[6])};
    setup(c);
    callgrind_count(atoi(argv[7]), [] { osdComposite(0, frame.data(), 0); });
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
