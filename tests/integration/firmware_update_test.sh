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
. "$(dirname "$0")/common.sh"
command -v mkimage >/dev/null || fail "mkimage (u-boot-tools) is not installed"
new_root --usb sda1:3
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
# protocol's update_firmware.
refused_file() {
  save_regions before
  timeout 30 python3 "$CLIENT" update_firmware 1 "$1" >/dev/null || fail "update_firmware $1"
  wait_param FirmwareStatus "$2" 60
  same_regions before "$1"
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
