#!/bin/bash
# The web interface in headless Chromium (Debian's chromium, driven by
# playwright-core), with the box at a LAN address (not loopback, where
# Chromium sends no Sec-Fetch-* headers): log in, change stream A's bit rate
# on its setup page, save, see the new value, see a form and images
# (restore defaults, log out) of another site refused, and find a recording
# in the file list; every page of the menu at 1280x900 and 390x844 (the
# screenshots are kept as artefacts) fits its width with the menu above the
# content on the phone, and shows words where a row has a list of values;
# at last the box's own Restore defaults button works. scripts/test installs
# both; run by hand without them the test is skipped.
# The LAN address is added in a network namespace of the test's own.
if [ -z "${M7391_OWN_NETNS:-}" ] && unshare -n true 2>/dev/null; then
  M7391_OWN_NETNS=1 exec unshare -n sh -c 'ip link set lo up && exec bash "$0" "$@"' "$0" "$@"
fi
. "$(dirname "$0")/common.sh"
PW_DIR=${M7391_PLAYWRIGHT_DIR:-$HOME/.cache/m7391-playwright}
if [ ! -x /usr/bin/chromium ] || [ ! -d "$PW_DIR/node_modules/playwright-core" ] || ! command -v node >/dev/null; then
  echo "SKIP: needs /usr/bin/chromium and playwright-core in $PW_DIR"
  exit 0
fi
if [ -z "${M7391_OWN_NETNS:-}" ]; then
  echo "SKIP: needs a network namespace of its own"
  exit 0
fi
ip addr add 10.77.0.1/24 dev lo
new_root
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
B=http://10.77.0.1:$M7391_HTTP_PORT
ARTIFACTS=$(dirname "$M7391_BIN")/../test-artifacts
mkdir -p "$ARTIFACTS"

start_box "$ROOT/run/a.log"
wait_log "$ROOT/run/a.log" "httpd: started"
wait_log "$ROOT/run/a.log" "/dev/mmcblk0p1 /media/mmc"
SD="$ROOT/run/sim/storage/vol/mmcblk0p1/DCIM"
mkdir -p "$SD/2026"
head -c 3000 /dev/urandom > "$SD/2026/rec_0001.ts"
code=$(curl -s -o /dev/null -w '%{http_code}' -d create_user_name=admin -d create_user_pass=secret \
  -d create_user_perm=5 -d GuestPermission=1 "$B/controls")
[ "$code" = 200 ] || fail "could not create the administrator ($code)"

# A page of another origin, on another port of the box's address (the same
# site to cookies: the session cookie goes along), that loads the
# restore-defaults and logout URLs as images and withholds its address.
XS=$ROOT/run/xsite
mkdir -p "$XS"
echo "<html><body><img referrerpolicy=\"no-referrer\" src=\"$B/load_default_params\">" \
  "<img referrerpolicy=\"no-referrer\" src=\"$B/logout.htm\"></body></html>" >"$XS/img.htm"
python3 -m http.server 8000 --bind 10.77.0.1 --directory "$XS" >"$ROOT/run/xsite.log" 2>&1 &
PIDS+=("$!")
for _ in $(seq 100); do curl -s -o /dev/null http://10.77.0.1:8000/img.htm && break; sleep 0.1; done

NODE_PATH="$PW_DIR/node_modules" timeout 240 node "$(dirname "$0")/web_browser_check.js" "$B" \
  "$ARTIFACTS/web_setup_streama.png" "$ARTIFACTS" "http://10.77.0.1:8000/img.htm" || fail "browser check"
# The browser may not show the images' answers to the page (opaque
# responses): the box says what it refused.
for url in load_default_params logout.htm; do
  grep -q "web_from_own_page: /$url from a browser that did not name the page it came from refused" "$LOGF" ||
    fail "the image of /$url was not refused as a browser's request without its page"
done
[ "$(curl -s -g "$B/Video[0].BitRate")" = 5000000 ] || fail "the box's own Restore defaults button did not restore them"
kill -INT "$BOX_PID"
wait_exit "$BOX_PID"
echo PASS
