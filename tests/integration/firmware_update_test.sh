#!/bin/bash
# Firmware through the web: kernel images made by mkimage are posted as raw
# bodies. A good one lands in the kernel region byte for byte (cmp, and
# mkimage -l reads the copy), the update page sees "Restarting" and the
# program reboots; after the restart FirmwareVersion gives the image's date.
# The same image again needs no update; a flipped data or header byte and an
# upload cut short are refused and leave the flash as it was, and so are an
# x86 ramdisk, an image one byte larger than the kernel region, and combined
# files (a tar of the kernel and the Wi-Fi tools archive, loaded from a USB
# disk by the control protocol) cut inside their archive entry or carrying a
# damaged archive: every flash region compares equal (cmp) afterwards.
# A refused image is shown: the upload's answer and the update status page
# say why, and the control protocol's update_firmware answers "out of
# range". At start a USB disk carries a Wi-Fi tools archive that reaches
# outside /Wifi (refused whole: nothing of it is written) and a rescue
# firmware file whose size a loop toggles while it is checked (the program
# lives and refuses it).
. "$(dirname "$0")/common.sh"
command -v mkimage >/dev/null || fail "mkimage (u-boot-tools) is not installed"
new_root --no-sd --usb sda1:3
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

CLIENT="$M7391_SOURCE_DIR/tests/control/ctl_client.py"
DISK=$ROOT/run/sim/storage/vol/sda1
# Every region an update could touch: the boot block, the Wi-Fi archive,
# the kernel and the web bundle (the settings ring and the user log change
# on their own while the program runs).
REGIONS="0:0x20000 0x60000:0x780000 0x860000:0x780000 0xFE0000:0x20000"
save_regions() {
  local r
  for r in $REGIONS; do
    dd if="$ROOT/dev/mtd0" iflag=skip_bytes,count_bytes skip=$((${r%:*})) count=$((${r#*:})) \
      status=none of="$W/region.${r%:*}.$1"
  done
}
same_regions() {
  local r
  save_regions after
  for r in $REGIONS; do
    cmp -s "$W/region.${r%:*}.$1" "$W/region.${r%:*}.after" || fail "$2 changed flash region ${r%:*}"
  done
}
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
  save_regions before
  post "$1" >/dev/null
  wait_param FirmwareStatus "$2" 60
  same_regions before "$1"
  kill -0 "$BOX_PID" || fail "the program died after $1"
}
# refused_file <file on the disk> <status>: the same, loaded by the control
# protocol's update_firmware, whose reply says it was refused.
refused_file() {
  save_regions before
  local reply
  reply=$(timeout 30 python3 "$CLIENT" update_firmware 1 "$1") || fail "update_firmware $1"
  grep -qx "status 2 (out of range)" <<<"$reply" || fail "update_firmware $1 answered: $reply"
  wait_param FirmwareStatus "$2" 60
  same_regions before "$1"
  kill -0 "$BOX_PID" || fail "the program died after $1"
}

# The disk at start: a Wi-Fi archive with etc/escape.conf and
# usr/html/escape.htm beside Wifi/, and a 6 MB rescue image (its data CRC
# wrong) cut to 64 bytes for a moment again and again.
python3 "$M7391_SOURCE_DIR/tests/core/hostile_archives.py" "$W/h"
cp "$W/h/wifi_outside.tar" "$DISK/wifi_archive.tar"
head -c 6000000 /dev/urandom > "$W/rescue.bin"
mkimage -A arm -O linux -T kernel -C none -a 0x80008000 -e 0x80008000 -n rescue -d "$W/rescue.bin" \
  "$W/rescue.img" >/dev/null || fail "mkimage rescue"
RESCUE_SIZE=$(stat -c %s "$W/rescue.img")
python3 - "$W/rescue.img" <<'PY'
import sys
b = bytearray(open(sys.argv[1], 'rb').read()); b[100000] ^= 1; open(sys.argv[1], 'wb').write(b)
PY
cp "$W/rescue.img" "$DISK/rescue_7391.fw"
(while [ ! -e "$W/stop" ]; do
  truncate -s 64 "$DISK/rescue_7391.fw"; truncate -s "$RESCUE_SIZE" "$DISK/rescue_7391.fw"; sleep 0.005
done) &
TOGGLE=$!
PIDS+=("$TOGGLE")
start_box "$ROOT/run/a.log"
wait_log "$ROOT/run/a.log" "httpd: started"
wait_log "$ROOT/run/a.log" "rescue_7391.fw size" 60
for _ in $(seq 1 600); do
  grep -qE "^.*(Firmware upload failed|not a valid firmware file|firmware file too small)$" "$ROOT/run/a.log" && break
  kill -0 "$BOX_PID" 2>/dev/null || break
  sleep 0.1
done
touch "$W/stop"
wait "$TOGGLE" || true
kill -0 "$BOX_PID" 2>/dev/null || fail "the program died checking a rescue file that shrinks"
grep -qE "(Firmware upload failed|not a valid firmware file|firmware file too small)$" "$ROOT/run/a.log" ||
  fail "the rescue file was not refused"
rm -f "$DISK/rescue_7391.fw"
grep -q "Wifi archive exists" "$ROOT/run/a.log" || fail "the Wi-Fi archive was not seen"
grep -q "wifi_archive_read: the archive is refused" "$ROOT/run/a.log" || fail "the Wi-Fi archive was not refused"
for f in etc/escape.conf usr/html/escape.htm Wifi/wifi_configure.sh; do
  [ ! -e "$ROOT/$f" ] || fail "the refused Wi-Fi archive wrote $f"
done
[ "$(curl -s -g --max-time 10 -o /dev/null -w '%{http_code}' "$B/escape.htm")" = 404 ] ||
  fail "escape.htm is served"
! grep -qx "/Wifi/wifi_configure.sh" "$ROOT/run/exec.log" || fail "the refused archive's script ran"
rm -f "$DISK/wifi_archive.tar"
echo "ok: hostile disk at start"

bad data 5000
refused "$W/data.img" "not a valid firmware file"
bad header 40
refused "$W/header.img" "not a valid firmware file"
head -c $((SIZE / 2)) "$W/good.img" > "$W/short.img"
refused "$W/short.img" "Firmware image truncated"
SOURCE_DATE_EPOCH=$EPOCH mkimage -A x86 -O linux -T ramdisk -C none -n "x86 ramdisk" -d "$W/kernel.bin" \
  "$W/x86.img" >/dev/null || fail "mkimage x86"
refused "$W/x86.img" "not a valid firmware file"
# The kernel region is 0x780000 bytes: header and data one byte more.
head -c $((0x780000 - 64 + 1)) /dev/urandom > "$W/big.bin"
mkimage -A arm -O linux -T kernel -C none -a 0x80008000 -e 0x80008000 -n big -d "$W/big.bin" \
  "$W/big.img" >/dev/null || fail "mkimage big"
[ "$(stat -c %s "$W/big.img")" = $((0x780001)) ] || fail "big.img is $(stat -c %s "$W/big.img") bytes"
refused "$W/big.img" "Firmware file too large"
echo "ok: bad images refused"

# The uploader learns why: an image refused at its header is answered 400
# with the reason, and the update status page shows it once rather than
# sending the browser away.
head -c 4096 /dev/urandom > "$W/noise.img"
code=$(curl -s -g --max-time 30 -o "$W/reply.htm" -w '%{http_code}' --data-binary @"$W/noise.img" "$B/firmware")
[ "$code" = 400 ] || fail "a refused upload answered $code"
grep -q "not a valid firmware file" "$W/reply.htm" || fail "the answer does not say why: $(cat "$W/reply.htm")"
status_page() { curl -s -g --max-time 10 -o "$W/status.htm" -w '%{http_code}' "$B/admin_update_status.htm"; }
[ "$(status_page)" = 200 ] || fail "the status page went away before showing the outcome"
grep -q "not a valid firmware file" "$W/status.htm" || fail "status page: $(cat "$W/status.htm")"
[ "$(status_page)" = 303 ] || fail "the status page stays after its outcome was shown"
# A whole image whose data is damaged is checked before the answer, which
# refuses it; the status page shows the refusal.
[ "$(post "$W/data.img")" = 400 ] || fail "a damaged whole image was not refused in its answer"
for _ in $(seq 1 600); do
  code=$(status_page)
  [ "$code" = 200 ] || fail "the status page went away ($code) before the refusal"
  grep -q "not a valid firmware file" "$W/status.htm" && break
  sleep 0.1
done
grep -q "not a valid firmware file" "$W/status.htm" || fail "the status page never showed the refusal"
echo "ok: refusals shown"

# Combined files: the good kernel with a Wi-Fi tools archive.
mkdir -p "$W/tree/Wifi" "$W/c"
head -c 100000 /dev/urandom > "$W/tree/Wifi/tool"
echo "ssid=box" > "$W/tree/Wifi/hostapd.conf"
tar --format=ustar -C "$W/tree" -cf "$W/c/wifi_archive.tar" Wifi
cp "$W/good.img" "$W/c/m7391.fw"
tar --format=ustar -C "$W/c" -cf "$W/combined.tar" m7391.fw wifi_archive.tar
head -c $((512 + $(stat -c %s "$W/good.img") / 512 * 512 + 512 + 512 + 50000)) "$W/combined.tar" \
  > "$DISK/cut.tar"
refused_file cut.tar "not a valid firmware file"
head -c 20000 /dev/urandom > "$W/c/wifi_archive.tar"
tar --format=ustar -C "$W/c" -cf "$DISK/noise.tar" m7391.fw wifi_archive.tar
refused_file noise.tar "not a valid firmware file"
echo "ok: bad combined files refused"

: > "$ROOT/run/exec.log"
post "$W/good.img" >/dev/null
wait_param FirmwareStatus "Restarting" 60
wait_exit "$BOX_PID" 60
region > "$W/copy.img"
cmp "$W/good.img" "$W/copy.img" || fail "kernel region differs from the image"
mkimage -l "$W/copy.img" | grep "m7391 test kernel" >/dev/null || fail "mkimage -l: $(mkimage -l "$W/copy.img")"
[ "$(tail -3 "$ROOT/run/exec.log" | tr '\n' ' ')" = "sync touch /rebooting reboot " ] ||
  fail "exit actions: $(cat "$ROOT/run/exec.log")"
# The streams ran through every refusal and stopped only for the accepted
# image, once it was checked and before the first erase.
first() { grep -n -m1 -F "$1" "$ROOT/run/a.log" | cut -d: -f1; }
stop=$(first "stopping all streams")
[ -n "$stop" ] && [ "$(first "flash_thread: fw total")" -lt "$stop" ] &&
  [ "$stop" -lt "$(first "flash_kernel_image: erasing")" ] || fail "the streams stopped at line ${stop:-none}"
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
