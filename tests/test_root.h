// Every test program runs in a fresh simulated root of its own.
#pragma once
#include <string>

// Creates (once per process) a fresh root under /tmp, lays it out like
// scripts/run does, points M7391_ROOT at it and returns its path.
const std::string &test_root(void);
// A fresh empty directory inside the test root's tmp/ (board path returned,
// e.g. "/tmp/t3"), for tests that need their own files.
std::string test_scratch_dir(const char *tag);
