#!/bin/bash
# Sender A taken round and round by the web forms as a person would: a run
# with headers (mode 2), a stop, a second stop on the stopped sender, and a
# TCP run (mode 4) to a receiver that takes one connection only, the mode
# set in the form that starts the sender (odd rounds) or in one of its own.
# Each run begins while the encoder it starts is not running yet: the one
# connection carries the stream (MPEG-TS, H.264 and AAC, read by ffprobe)
# and the log has one "starting" and one "stopped" per start, no run ending
# as it begins. A busy loop on every core runs beside the box throughout: on
# a loaded host a sender's first entry comes late, when a start taken for an
# end is most likely.
. "$(dirname "$0")/common.sh"
new_root
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
W=$ROOT/run/rounds
mkdir -p "$W"
ROUNDS=${ROUNDS:-10}
form() { post_form "$@"; }
wait_status() { wait_param "UDP[0].Status" "$@"; }
starts() { grep -c "udpA starting" "$LOGF" || true; }
# A failed connect or write: "udpA error ...", "udpA: connection refused",
# "TCP write: ...", "UDP write: ...".
errors() { grep -cE "udpA error|udpA: connection refused|(TCP|UDP) write: " "$LOGF" || true; }
runs() { echo "$(starts) $(grep -c "udpA: stopped" "$LOGF" || true) $(errors)"; }
# begin <mode>: sets the mode and starts the sender, in one form or two.
begin() {
  if [ $((round % 2)) = 1 ]; then
    form -d "UDP[0].StreamMode=$1" -d "UDP[0].State=start"
  else
    form -d "UDP[0].StreamMode=$1"
    form -d "UDP[0].State=start"
  fi
}
# runs_went <what> <starting stopped errors before>: one run more, no error
# (the log may lag the status a moment).
runs_went() {
  local want="$(($2 + 1)) $(($3 + 1)) $4"
  for _ in $(seq 50); do [ "$(runs)" = "$want" ] && return 0; sleep 0.1; done
  fail "round $round: $1 runs (starting, stopped, errors) went from $2 $3 $4 to $(runs)"
}
codecs() { ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$1" 2>/dev/null | grep . | sort -u | tr '\n' ' '; }

for _ in $(seq "$(nproc)"); do
  bash -c 'while :; do :; done' &
  PIDS+=("$!")
done
start_box "$ROOT/run/a.log"
wait_log "$LOGF" "httpd: started"
form -d "Video[0].StreamMode=0" -d "UDP[0].StreamID=1" -d "UDP[0].Addr=127.0.0.1" \
  -d "UDP[0].Port=5004" -d "UDP[0].RetryTimeout=0"

for round in $(seq "$ROUNDS"); do
  # Mode 2 to nobody: datagrams go out all the same.
  set -- $(runs)
  begin 2
  wait_status "^Streaming UDP [1-9][0-9]* bytes sent"
  form -d "UDP[0].State=stop"
  wait_status "^Stopped$"
  form -d "UDP[0].State=stop"
  runs_went "mode 2" "$@"

  # Mode 4 to a receiver of one connection, which keeps all it gets.
  out=$W/tcp$round.ts
  timeout 120 socat -u TCP-LISTEN:5004,reuseaddr,bind=127.0.0.1 "CREATE:$out" &
  RX=$!
  PIDS+=("$RX")
  for _ in $(seq 100); do ss -ltn | grep -q "127.0.0.1:5004 " && break; sleep 0.1; done
  set -- $(runs)
  begin 4
  # Half a megabyte is some seconds of the stream.
  for _ in $(seq 600); do
    [ "$(stat -c %s "$out" 2>/dev/null || echo 0)" -ge 500000 ] && break
    kill -0 "$RX" 2>/dev/null || break
    sleep 0.1
  done
  form -d "UDP[0].State=stop"
  wait_status "^Stopped$"
  wait "$RX" || fail "round $round: the receiver ($?)"
  runs_went "mode 4" "$@"
  [ "$(codecs "$out")" = "aac h264 " ] ||
    fail "round $round: the connection carried $(stat -c %s "$out") bytes: '$(codecs "$out")'"
  fmt=$(ffprobe -v error -show_entries format=format_name -of csv=p=0 "$out")
  [ "$fmt" = mpegts ] || fail "round $round: format $fmt"
  echo "ok: round $round ($(stat -c %s "$out") bytes)"
done

kill -INT "$BOX_PID"
wait_exit "$BOX_PID"
echo PASS
