// Instructions counted by callgrind for the benchmarks: the program runs a
// copy of itself under valgrind with "--instr <case...> <reps>", and that
// copy counts only the repetitions of one case.
#pragma once
#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

// This program's own path, for the copy under valgrind.
inline const std::string &bench_self_path(void) {
  static std::string path = [] {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, (size_t)n) : std::string();
  }();
  return path;
}

// Instructions per repetition of one case, whose arguments follow "--instr";
// 0 when valgrind cannot be run.
inline double callgrind_instructions(const std::vector<std::string> &case_args, int reps) {
  char dir[] = "/tmp/m7391-callgrind-XXXXXX";
  if (!mkdtemp(dir)) return 0;
  std::string out = std::string(dir) + "/callgrind.out";
  std::vector<std::string> args = {"valgrind", "--tool=callgrind", "--instr-atstart=no",
                                   "--callgrind-out-file=" + out, bench_self_path(), "--instr"};
  args.insert(args.end(), case_args.begin(), case_args.end());
  args.push_back(std::to_string(reps));
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int status = 0;
  double ir = 0;
  if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) == 0 && waitpid(pid, &status, 0) == pid &&
      WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    if (FILE *fp = fopen(out.c_str(), "r")) {
      char line[256];
      while (fgets(line, sizeof line, fp))
        if (!strncmp(line, "totals:", 7) || !strncmp(line, "summary:", 8)) ir = atof(strchr(line, ':') + 1) / reps;
      fclose(fp);
    }
  }
  posix_spawn_file_actions_destroy(&fa);
  unlink(out.c_str());
  rmdir(dir);
  return ir;
}

// In the copy under valgrind: one untimed run (first touch), then reps
// counted ones.
template <class F>
void callgrind_count(int reps, F run_once) {
  run_once();
  CALLGRIND_START_INSTRUMENTATION;
  for (int i = 0; i < reps; i++) run_once();
  CALLGRIND_STOP_INSTRUMENTATION;
}
