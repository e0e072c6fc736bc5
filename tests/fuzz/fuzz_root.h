// A fresh board root under /tmp for the harnesses that read or write files,
// made on the first call and removed when the harness ends.
#pragma once
#include <cstdlib>
#include <string>

#include "platform/host_root.h"

inline const std::string &fuzz_root(void) {
  static std::string root;
  if (root.empty()) {
    char tmpl[] = "/tmp/m7391-fuzz-XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    root = tmpl;
    root_set(root.c_str());
    atexit([] { (void)!system(("rm -rf " + root).c_str()); });
  }
  return root;
}
