// Replays a fuzz harness over its corpus directory, then over deterministic
// mutations of every corpus file (bit flips, truncations, insertions), so CI
// runs each parser on malformed input without a fuzzing engine. With
// -DM7391_FUZZ=ON and clang the same harnesses link against libFuzzer, which
// calls fuzz_one through its entry point below and brings its own main.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

int fuzz_one(const uint8_t *data, size_t size);

#ifdef M7391_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_one(data, size);
  return 0;
}
#else

static std::vector<uint8_t> read_file(const std::string &path) {
  std::vector<uint8_t> v;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return v;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) v.insert(v.end(), buf, buf + n);
  fclose(f);
  return v;
}

int main(int argc, char **argv) {
  std::vector<std::vector<uint8_t>> corpus;
  if (argc > 1) {
    if (DIR *d = opendir(argv[1])) {
      while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        corpus.push_back(read_file(std::string(argv[1]) + "/" + e->d_name));
      }
      closedir(d);
    }
  }
  corpus.push_back({});
  unsigned seed = 12345;
  auto rnd = [&seed]() { seed = seed * 1103515245u + 12345u; return (seed >> 8) & 0xFFFFFF; };
  int runs = 0;
  static const uint8_t none[1] = {0};
  for (auto &c : corpus) {
    // An empty input still points somewhere, as libFuzzer's do.
    fuzz_one(c.empty() ? none : c.data(), c.size());
    runs++;
    for (int m = 0; m < 300; m++) {
      std::vector<uint8_t> v = c;
      int kind = rnd() % 4;
      if (kind == 0 && !v.empty()) {
        for (int k = 0, n = 1 + rnd() % 8; k < n; k++) v[rnd() % v.size()] ^= (uint8_t)(1 << (rnd() % 8));
      } else if (kind == 1 && !v.empty()) {
        v.resize(rnd() % v.size());
      } else if (kind == 2) {
        size_t at = v.empty() ? 0 : rnd() % v.size();
        for (int k = 0, n = 1 + rnd() % 16; k < n; k++) v.insert(v.begin() + at, (uint8_t)rnd());
      } else if (!v.empty()) {
        size_t at = rnd() % v.size();
        v[at] = (uint8_t)(rnd() % 2 ? 0xFF : 0x00);
      }
      fuzz_one(v.empty() ? none : v.data(), v.size());
      runs++;
    }
  }
  printf("fuzz replay: %d inputs\n", runs);
  return 0;
}
#endif
