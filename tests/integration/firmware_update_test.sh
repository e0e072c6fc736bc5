#!/bin/bash
# Firmware through the web: kernel images made by mkimage are posted as raw
# bodies. A good one lands in the kernel region byte for byte (cmp, and
# mkimage -l reads the copy), the update page sees "Restarting" and the
# program reboots; after the restart FirmwareVersion gives the image's date.
# The same image again needs no update; a flipped data or header byte and an
# upload cut short are refused and leave the flash as it was.
. "$(dirname "$0")/common.sh"
command -v mkimage >/dev/null || fail "mkimage (u-boot-tools) is not installed"
new_root
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
B=http://127.0.0.1:$M7391_HTTP_PORT
W=$ROOT/run/fw
mkdir -p "$W"
KERNEL_OFF=$((0x860000))
EPOCH=1700000000

head -c 300000 /dev/urandom > "$W/kernel.bin"
SOURCE_DATE_EPOCH=$EPOCH mkimage -A arm -O linux -T kernel -C none -a 0x80008000 -e 0x80008000 \
  -n "m7391 test kernel" -d "$W/kernel.bin" "$W/good.img" >/dev/null || fail "mkimage"
SIZE=$(stat -c %s "$W/good.img")

post() { curl -s -g --max-time 30 -o /dev/null -w '%{http_code}' --data-binary @"$1" "$B/firmware"; }
region() { dd if="$ROOT/dev/mtd0" iflag=skip_bytes,count_bytes skip=$KERNEL_OFF count=$SIZE status=none; }
# bad <name> <offset>: the good image with one byte flipped.
bad() {
  cp "$W/good.img" "$W/$1.img"
  python3 - "$W/$1.img" "$2" <<'PY'
import sys
p, off = sys.argv[1], int(sys.argv[2])
b = bytearray(open(p, 'rb').read()); b[off] ^= 0x40; open(p, 'wb').write(b)
PY
}
# refused <image> <status>: posting it leaves that status and the flash alone.
refused() {
  local before
  before=$(region | md5sum)
  post "$1" >/dev/null
  wait_param FirmwareStatus "$2"
  [ "$(region | md5sum)" = "$before" ] || fail "$1 changed the kernel region"
  kill -0 "$BOX_PID" || fail "the program died after $1"
}

start_box "$ROOT/run/a.log"
wait_log "$ROOT/run/a.log" "httpd: started"
bad data 5000
refused "$W/data.img" "not a valid firmware file"
bad header 40
refused "$W/header.img" "not a valid firmware file"
head -c $((SIZE / 2)) "$W/good.img" > "$W/short.img"
refused "$W/short.img" "Firmware image truncated"
echo "ok: bad images refused"

: > "$ROOT/run/exec.log"
post "$W/good.img" >/dev/null
wait_param FirmwareStatus "Restarting" 60
wait_exit "$BOX_PID" 60
region > "$W/copy.img"
cmp "$W/good.img" "$W/copy.img" || fail "kernel region differs from the image"
mkimage -l "$W/copy.img" | grep -q "m7391 test kernel" || fail "mkimage -l: $(mkimage -l "$W/copy.img")"
[ "$(tail -3 "$ROOT/run/exec.log" | tr '\n' ' ')" = "sync touch /rebooting reboot " ] ||
  fail "exit actions: $(cat "$ROOT/run/exec.log")"
echo "ok: flashed and rebooted"

rm -f "$ROOT/rebooting"
: > "$ROOT/run/exec.log"
start_box "$ROOT/run/b.log"
wait_log "$ROOT/run/b.log" "httpd: started"
want=$(TZ=UTC date -u -d @$EPOCH '+%Y %m%d %H%M')
wait_param FirmwareVersion "$want"
post "$W/good.img" >/dev/null
wait_param FirmwareStatus "No update needed"
sleep 0.5
kill -0 "$BOX_PID" || fail "the program ended after an image it needed not write"
! grep -q reboot "$ROOT/run/exec.log" || fail "reboot after no update"
echo "ok: same image needs no update"
kill -INT "$BOX_PID"
wait_exit "$BOX_PID" 60
echo PASS
