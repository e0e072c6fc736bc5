# Sourced by scripts/sanitize and scripts/fuzz: how a sanitizer build is
# configured. -O1 and line tables only: reports keep their source lines,
# the build stays quick.
# sanitize_configure <dir> <-fsanitize=...> [cmake options...]
sanitize_configure() {
  local dir=$1 flags=$2
  shift 2
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
    -DCMAKE_CXX_FLAGS="$flags -fno-omit-frame-pointer" -DCMAKE_C_FLAGS="$flags -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" -DM7391_TEST_TIMEOUT=300 "$@" >/dev/null
}
# Its tests' own code keeps -O1: its checks of every load and store slow
# unoptimised code the most.
tsan_configure() { sanitize_configure "$1" -fsanitize=thread -DM7391_TEST_CODE_OPT=; }
# The AddressSanitizer build (with UndefinedBehaviorSanitizer) is clang's,
# with libFuzzer's coverage: one build serves the unit tests, the replays
# of the fuzz corpus and the fuzzing.
asan_configure() {
  CC=clang CXX=clang++ sanitize_configure "$1" \
    "-fsanitize=address,undefined -fno-sanitize-recover=undefined" -DM7391_FUZZ=ON
}
