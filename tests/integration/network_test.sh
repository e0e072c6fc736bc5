#!/bin/bash
# Network services of the real binary on the simulated machine: the Wi-Fi
# tools archive on a USB disk at start is unpacked (diff -r) and brings the
# access point up with its files and daemons; the time server and telnet
# follow their settings (a new time server restarts ntpd); Clock moves only the program's clock; two quick
# access-point changes leave whole files. Nothing on the host changes.
. "$(dirname "$0")/common.sh"
new_root --no-sd --usb sda1:3
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
LOG=$ROOT/run/a.log
D=$ROOT/run/sim/daemons

# The archive: the tools' scripts and a program, as the disk carries them.
SRC=$ROOT/tmp/wifi-src
mkdir -p "$SRC/Wifi/bin"
printf '#!/bin/sh\necho configure\n' > "$SRC/Wifi/wifi_configure.sh"
printf '#!/bin/sh\necho run\n' > "$SRC/Wifi/wifi_run.sh"
head -c 3000 /dev/urandom > "$SRC/Wifi/bin/hostapd"
chmod 755 "$SRC/Wifi"/*.sh
tar cf "$ROOT/run/sim/storage/vol/sda1/wifi_archive.tar" -C "$SRC" Wifi
printf 'Module                  Size  Used by\nr8188eu               400000  0\n' > "$ROOT/run/sim/lsmod"
host_hostname=$(hostname)

start_box "$LOG"
wait_log "$LOG" "Wifi archive exists" 60
for _ in $(seq 1 200); do grep -q "/usr/sbin/dnsd" "$D" 2>/dev/null && break; sleep 0.1; done
diff -r "$SRC/Wifi" "$ROOT/Wifi" || fail "unpacked tree differs"
grep -qx "/Wifi/wifi_configure.sh" "$ROOT/run/exec.log" || fail "configure script not run"
grep -q "^[0-9]* /usr/bin/hostapd /etc/hostapd.conf$" "$D" || fail "no hostapd: $(cat "$D")"
grep -qx "driver=rtl871xdrv" "$ROOT/etc/hostapd.conf" || fail "driver lines missing"
addr=$(curl -s -g --max-time 5 --retry 10 --retry-connrefused --retry-delay 1 "http://127.0.0.1:$M7391_HTTP_PORT/Net%5B0%5D.Addr")
grep -q "^opt router $addr$" "$ROOT/etc/udhcpd.conf" || fail "udhcpd.conf for $addr: $(cat "$ROOT/etc/udhcpd.conf")"
echo "ok: Wi-Fi archive from USB"

post_form -d NetworkTimeServer=pool.example
for _ in $(seq 1 100); do grep -q "ntpd -n -p pool.example" "$D" && break; sleep 0.1; done
grep -q "^[0-9]* /usr/sbin/ntpd -n -p pool.example$" "$D" || fail "no ntpd: $(cat "$D")"
post_form -d NetworkTimeServer=ntp.example
for _ in $(seq 1 100); do grep -q pool.example "$D" || break; sleep 0.1; done
[ "$(grep -c ' /usr/sbin/ntpd -n -p ntp.example$' "$D")" = 1 ] || fail "ntpd not restarted: $(cat "$D")"
! grep -q pool.example "$D" || fail "the old ntpd still runs"
grep -q "^/usr/sbin/ntpd -n -p pool.example$" "$ROOT/run/exec.log" || fail "ntpd start not logged"
post_form -d EnableTelnet=1
grep -q "^[0-9]* /usr/sbin/telnetd -l /bin/sh$" "$D" || fail "no telnetd"
post_form -d EnableTelnet=0
! grep -q telnetd "$D" || fail "telnetd still running"
echo "ok: time server and telnet"

post_form -d "Clock=2031-02-03 04:05:06"
wait_param Clock "^2031-02-03 04:0"
grep -qx "hwclock -w -f /dev/rtc1" "$ROOT/run/exec.log" || fail "RTC not written"
[ "$(date +%Y)" != 2031 ] || fail "the host's clock moved"
[ "$(hostname)" = "$host_hostname" ] || fail "the host's name changed"
echo "ok: clock"

# Two changes at once: each set-up writes whole files, the value kept wins.
post_form -d WIFI.Ssid=first &
first=$!
post_form -d WIFI.Ssid=second
wait "$first"
ssid=$(curl -s -g --max-time 5 --retry 10 --retry-connrefused --retry-delay 1 "http://127.0.0.1:$M7391_HTTP_PORT/WIFI.Ssid")
for _ in $(seq 1 100); do grep -qx "ssid=$ssid" "$ROOT/etc/hostapd.conf" && break; sleep 0.1; done
grep -qx "ssid=$ssid" "$ROOT/etc/hostapd.conf" || fail "ssid $ssid not applied"
sleep 1
[ "$(grep -c '^ssid=' "$ROOT/etc/hostapd.conf")" = 1 ] || fail "hostapd.conf mixed"
[ "$(tail -n1 "$ROOT/etc/hostapd.conf")" = "#wmm_ac_vo_acm=0" ] || fail "hostapd.conf cut"
[ "$(grep -c /usr/bin/hostapd "$D")" = 1 ] || fail "hostapd twice: $(cat "$D")"
echo "ok: quick changes"

kill -INT "$BOX_PID"
wait_exit "$BOX_PID" 30
echo PASS
