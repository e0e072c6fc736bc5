# Shared by the integration tests: a fresh root per test, the real binary
# installed as <root>/usr/bin/m7391, started and ended as a person would.
set -euo pipefail
: "${M7391_BIN:?M7391_BIN must name the built m7391}"
: "${M7391_SOURCE_DIR:?}"
MKROOT=$(dirname "$M7391_BIN")/../tools/mkroot

fail() { echo "FAIL: $*" >&2; FAILED=1; [ -n "${LOGF:-}" ] && tail -50 "$LOGF" >&2; exit 1; }
# A command that stops the test without fail says what it was.
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2' ERR

# new_root [mkroot options]: a fresh root in $ROOT.
new_root() {
  ROOT=$(realpath "$(mktemp -d /tmp/m7391-it-XXXXXX)")
  "$MKROOT" "$ROOT" "$M7391_SOURCE_DIR/www" "$@"
  install -m 0755 "$M7391_BIN" "$ROOT/usr/bin/m7391"
  export M7391_ROOT=$ROOT
  trap 'cleanup_all' EXIT
}

# A test that fails keeps its root, the box's logs in it, and says where.
PIDS=()
cleanup_all() {
  local rc=$?
  for p in "${PIDS[@]:-}"; do [ -n "$p" ] && kill -9 "$p" 2>/dev/null || true; done
  [ -n "${ROOT:-}" ] || return 0
  if [ "$rc" != 0 ]; then
    [ -z "${FAILED:-}" ] && [ -n "${LOGF:-}" ] && tail -50 "$LOGF" >&2
    echo "exit $rc; the test's root is kept: $ROOT" >&2
  elif [ -z "${KEEP_ROOT:-}" ]; then
    rm -rf "$ROOT"
  fi
  return 0
}

# start_box <logfile>: starts m7391 in the background; sets BOX_PID.
start_box() {
  LOGF=$1
  "$ROOT/usr/bin/m7391" >"$LOGF" 2>&1 &
  BOX_PID=$!
  PIDS+=("$BOX_PID")
}

# wait_log <file> <text> [seconds]
wait_log() {
  local f=$1 text=$2 t=${3:-30}
  for _ in $(seq 1 $((t * 10))); do
    grep -qF -- "$text" "$f" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "no '$text' in $f after ${t}s"
}

# gui_stops: how often the menu has drawn the recording as stopped (once at
# start-up too). wait_gui_stop <count before> waits for one more: a key that
# comes before it finds the menu still recording.
gui_stops() { grep -c "updateRecordingStatus: record=0" "$LOGF" || true; }
wait_gui_stop() {
  for _ in $(seq 1 300); do [ "$(gui_stops)" -gt "$1" ] && return 0; sleep 0.1; done
  fail "the menu did not draw the recording as stopped"
}

# wait_exit <pid> [seconds]: waits for the process to end; sets EXIT_STATUS.
wait_exit() {
  local pid=$1 t=${2:-30}
  for _ in $(seq 1 $((t * 10))); do
    if ! kill -0 "$pid" 2>/dev/null; then
      set +e; wait "$pid" 2>/dev/null; EXIT_STATUS=$?; set -e
      return 0
    fi
    sleep 0.1
  done
  fail "process $pid still running after ${t}s"
}

# post_form <curl -d args...>: posts to the web server's /controls (at
# $M7391_HTTP_PORT, default 80) as the settings pages do; fails unless the
# form is taken.
post_form() {
  local code
  # A form that changes the network restarts the web server: the next
  # request may find it between two starts (refused, so nothing was sent).
  code=$(curl -s -g --max-time 20 --retry 10 --retry-connrefused --retry-delay 1 \
    -o /dev/null -w "%{http_code}" -d redirect=/index.htm "$@" \
    "http://127.0.0.1:${M7391_HTTP_PORT:-80}/controls")
  [ "$code" = 303 ] || fail "form $*: $code"
}

# wait_param <name> <extended regex> [seconds]: polls a parameter's value.
wait_param() {
  local url="http://127.0.0.1:${M7391_HTTP_PORT:-80}/$1"
  for _ in $(seq 1 $((${3:-20} * 10))); do
    curl -s -g --max-time 5 "$url" | grep -E -- "$2" >/dev/null && return 0
    sleep 0.1
  done
  fail "$1 is '$(curl -s -g --max-time 5 "$url")', wanted '$2'"
}

# osd_text: tesseract's reading of the OSD's shown pages (negated, x3),
# dumped through the simulated display's command file.
osd_text() {
  local name=osd$(date +%s%N).png
  local png=$ROOT/tmp/$name
  echo "osd /tmp/$name" >>"$ROOT/run/sim_display.cmd"
  for _ in $(seq 1 300); do [ -s "$png" ] && break; sleep 0.1; done
  [ -s "$png" ] || fail "no OSD dump"
  ffmpeg -nostdin -v error -y -i "$png" -vf negate,scale=iw*3:ih*3 "$png.x3.png"
  OMP_THREAD_LIMIT=1 tesseract "$png.x3.png" - --psm 6 2>/dev/null | tr '\n' ' '
}
# The decoding checks give ffmpeg -fps_mode passthrough: a frame the capture
# lost on a loaded host leaves a gap of two periods in a valid file, and
# ffmpeg's own frame-rate conversion would fold neighbouring frames onto one
# output stamp and complain of its muxer ("non monotonically increasing dts").
# ffmpeg_errors <log>: the errors in a log ffmpeg wrote with -v level+warning.
# When ffmpeg saw RTP datagrams go missing (a busy host's socket buffer ran
# over), the decoders' and muxers' complaints about the gap are left out;
# the rest (connection, protocol) still count.
ffmpeg_errors() {
  local errs
  errs=$(grep '\[\(error\|fatal\|panic\)\]' "$1" || true)
  if grep -q "RTP: missed\|max delay reached" "$1"; then
    errs=$(grep -v '^\[\(h264\|aac\|mp3\|mpegts\|null\) @\|non monotonically increasing dts' <<<"$errs" || true)
  fi
  printf '%s' "$errs"
}
