#!/bin/bash
# Volumes formatted elsewhere carry links: on the simulated SD card and USB
# disks, links to a file, to a folder and to nothing point into a sealed
# folder outside every volume. Each caller is driven through its own
# interface (the web's forms and downloads, the control protocol on UDP
# 12200 and through the serial bridge, the keyboard through the simulated
# input), and the sealed folder's listing and checksums
# are the same afterwards: nothing outside a volume was read, written,
# created or deleted.
. "$(dirname "$0")/common.sh"
command -v evemu-event >/dev/null || fail "evemu-event missing (evemu-tools)"
new_root --usb sda1:3 --usb sdb1:1
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
B=http://127.0.0.1:$M7391_HTTP_PORT
C="curl -s -g --max-time 20"
PY=/usr/bin/python3
CLIENT="$M7391_SOURCE_DIR/tests/control/ctl_client.py"
FEED="$PY $M7391_SOURCE_DIR/tests/integration/input_feed.py"
KBD=$ROOT/run/input/event0
V=$ROOT/run/sim/storage/vol
SEALED=$ROOT/sealed

# The sealed folder: what a link on a volume would lead a caller to.
mkdir -p "$SEALED/dcim" "$SEALED/inner"
printf '#ovl 3 1 7 7\r\nSEALED TEXT\r\n' >"$SEALED/secret.txt"
head -c 5000 /dev/urandom >"$SEALED/victim.mp4"
cp "$SEALED/victim.mp4" "$SEALED/inner/victim.mp4"
seal() { (cd "$SEALED" && find . -printf '%p %y %s %m\n' | sort && find . -type f -print0 | sort -z | xargs -0 sha256sum); }
seal >"$ROOT/run/sealed.before"

# The SD card: its recording folder is a link to a folder outside.
mkdir -p "$V/mmcblk0p1"
rm -rf "$V/mmcblk0p1/DCIM"
ln -s "$SEALED/dcim" "$V/mmcblk0p1/DCIM"
# The internal USB disk: a real recording folder holding links, a folder
# link at its root, and the overlay's file as a link.
mkdir -p "$V/sda1/DCIM"
head -c 3000 /dev/urandom >"$V/sda1/DCIM/real.mp4"
ln -s "$SEALED/victim.mp4" "$V/sda1/DCIM/linked.mp4"
ln -s "$SEALED/made.mp4" "$V/sda1/DCIM/dangling.mp4"
ln -s "$SEALED/inner" "$V/sda1/DCIM/sub"
ln -s "$SEALED" "$V/sda1/lnk"
ln -s "$SEALED/secret.txt" "$V/sda1/parameters.txt"
# The external one: its log file is a link to nothing.
mkdir -p "$V/sdb1/DCIM"
ln -s "$SEALED/log.txt" "$V/sdb1/log.txt"
ln -s "$SEALED/config.txt" "$V/sdb1/config.txt"

start_box "$ROOT/run/a.log"
wait_log "$LOGF" "httpd: started"
wait_log "$ROOT/run/exec.log" "/dev/sda1 /media/int" 20
wait_log "$ROOT/run/exec.log" "/dev/sdb1 /media/ext" 20
wait_log "$ROOT/run/exec.log" "/dev/mmcblk0p1 /media/mmc" 20
wait_log "$LOGF" "passthru start" 30

# The overlay's file was not read through its link.
grep -q "parameters.txt: font=3 bg=1 x=7 y=7" "$LOGF" && fail "parameters.txt read through its link"

# ctl <args>: the control protocol on UDP 12200; prints the status.
ctl() { $PY "$CLIENT" "$@" | sed -n 1p; }
refused() { local s; s=$(ctl "$@"); [ -n "$s" ] && [ "$s" != "status 0 (ok)" ] || fail "control $*: $s"; }
refused file_open 1 0 lnk/secret.txt
refused file_open 1 0 DCIM/linked.mp4
refused file_open 1 0 DCIM/sub/victim.mp4
refused file_open 1 1 lnk/new.txt
refused file_open 1 1 DCIM/dangling.mp4
refused file_open 1 1 parameters.txt
refused file_delete 1 sub/victim.mp4
refused file_delete 1 ../lnk/victim.mp4
refused file_rename 1 real.mp4 sub/moved.mp4
refused file_rename 1 sub/victim.mp4 got.mp4
refused save_log 2 0
[ "$($PY "$CLIENT" file_count 1 | sed -n 2p)" = 1 ] || fail "links listed: $($PY "$CLIENT" file_count 1)"
# A plain file is written and closed as usual, on the volume.
[ "$(ctl file_open 1 1 notes.txt)" = "status 0 (ok)" ] || fail "file_open notes.txt"
[ "$(ctl file_write notes)" = "status 0 (ok)" ] || fail "file_write"
[ "$(ctl file_close)" = "status 0 (ok)" ] || fail "file_close"
[ "$(cat "$V/sda1/notes.txt")" = notes ] || fail "notes.txt: $(cat "$V/sda1/notes.txt")"
echo "ok: control protocol"

# The web: a download through a link, a delete through a folder link.
code=$($C -o /dev/null -w "%{http_code}" "$B/download?s=1&f=linked.mp4")
[ "$code" != 200 ] || fail "a linked file was downloaded"
code=$($C -o /dev/null -w "%{http_code}" "$B/download?s=1&f=sub/victim.mp4")
[ "$code" != 200 ] || fail "a file in a linked folder was downloaded"
$C -o /dev/null -d delete_file=sub/victim.mp4 -d delete_file=linked.mp4 "$B/delete_files_int" || true
echo "ok: web"

# The keyboard: R records to the SD card, whose folder is a link; the
# recording is refused.
post_form -d Recording.StorageDevice=4 -d DVR_Esc_disabled=1
echo "plug 0 keyboard" >>"$ROOT/run/sim_input.cmd"
wait_log "$LOGF" "keyboard repeat 500 100"
$FEED "$KBD" key R
wait_log "$LOGF" "error: file open failed" 30
$FEED "$KBD" key R
echo "ok: keyboard"

# The serial bridge: the same requests over the line.
post_form -d Serial.State=stop
post_form -d Serial.StreamID=7
post_form -d Serial.State=start
wait_param Serial.Status "^Serial Command Processor"
$PY - "$ROOT/dev/ttyS0.peer" "$CLIENT" <<'EOF' || fail "serial bridge"
import importlib.util, sys
peer, client = sys.argv[1:3]
spec = importlib.util.spec_from_file_location("ctl_client", client)
ctl = importlib.util.module_from_spec(spec)
spec.loader.exec_module(ctl)
c = ctl.Client(serial=peer)
for op, args in (("file_open", (1, 0, "lnk/secret.txt")), ("file_open", (1, 1, "DCIM/sub/new.mp4")),
                 ("file_delete", (1, "sub/victim.mp4")), ("file_open", (1, 0, "DCIM/linked.mp4"))):
    r = c.call(op, *args)
    if r.status == 0:
        print("FAIL: serial %s %r answered 0" % (op, args), file=sys.stderr)
        sys.exit(1)
EOF
echo "ok: serial bridge"

kill -INT "$BOX_PID"
wait_exit "$BOX_PID" 30
seal >"$ROOT/run/sealed.after"
diff "$ROOT/run/sealed.before" "$ROOT/run/sealed.after" >&2 || fail "the sealed folder changed"
# The links themselves are still there, as planted or removed, never followed.
[ -f "$V/sda1/DCIM/real.mp4" ] || fail "real.mp4 lost"
echo PASS
