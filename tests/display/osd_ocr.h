// Reading the OSD back: tesseract's text of a dumped PNG (negated and
// scaled by three, as it reads dark text on light best), and a tolerant
// comparison of what it read.
#pragma once
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/host_root.h"

inline std::string ocr(const char *name) {
  std::string host = HostPath(name).c_str();
  std::string cmd = "ffmpeg -v error -y -i '" + host + "' -vf 'negate,scale=iw*3:ih*3' '" + host +
                    ".x3.png' && OMP_THREAD_LIMIT=1 tesseract '" + host + ".x3.png' - --psm 6 2>/dev/null";
  std::string out;
  if (FILE *p = popen(cmd.c_str(), "r")) {
    char buf[256];
    while (fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
  }
  return out;
}

// Every word of want among the words read, ignoring case, one wrong
// character allowed in each.
inline bool ocr_has(const std::string &read, const std::string &want) {
  auto words = [](const std::string &t) {
    std::vector<std::string> w;
    std::string cur;
    for (char c : t + " ") {
      if (isspace((unsigned char)c)) {
        if (!cur.empty()) w.push_back(cur);
        cur.clear();
      } else {
        cur += (char)tolower((unsigned char)c);
      }
    }
    return w;
  };
  auto near = [](const std::string &a, const std::string &b) {
    std::vector<size_t> d(b.size() + 1);
    for (size_t j = 0; j <= b.size(); j++) d[j] = j;
    for (size_t i = 1; i <= a.size(); i++) {
      size_t prev = d[0];
      d[0] = i;
      for (size_t j = 1; j <= b.size(); j++) {
        size_t cur = std::min({d[j] + 1, d[j - 1] + 1, prev + (a[i - 1] != b[j - 1])});
        prev = d[j];
        d[j] = cur;
      }
    }
    return d[b.size()] <= 1;
  };
  std::vector<std::string> got = words(read);
  for (const std::string &w : words(want)) {
    bool found = false;
    for (const std::string &g : got) found = found || near(g, w);
    if (!found) return false;
  }
  return true;
}

