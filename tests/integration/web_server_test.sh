#!/bin/bash
# The web server of the real binary, driven with curl as a person's browser
# would: pages, users and logins, forms saved to flash a second later (and
# kept across a restart), downloads from the SD card, and bad requests.
. "$(dirname "$0")/common.sh"
new_root
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
B=http://127.0.0.1:$M7391_HTTP_PORT
C="curl -s -g --max-time 20"

# status <curl args...>: prints the HTTP status of the last reply.
status() { $C -o /dev/null -w '%{http_code}' "$@"; }
# has <pattern> <curl args...>: the reply's body holds the pattern (read
# whole first: with pipefail a grep that stops early would fail curl).
has() {
  local pat=$1
  shift
  $C "$@" > "$ROOT/run/reply" || true
  grep -q -- "$pat" "$ROOT/run/reply"
}

start_web() {
  start_box "$ROOT/run/$1.log"
  wait_log "$ROOT/run/$1.log" "httpd: started"
}

# The parameter slot counter the program found in flash at its start.
start_count() {
  sed -n 's/.*get_cur_param_block: flash_offs=[0-9a-f]* count=\([0-9]*\).*/\1/p' "$ROOT/run/$1.log" | tail -1
}

start_web a
[ "$(status $B/)" = 303 ] || fail "root is not a redirect"
has "^Location: /index.htm" -D - -o /dev/null $B/ || fail "root does not go to /index.htm"
has "<title>.* - Home</title>" $B/index.htm || fail "no title on index.htm"
for p in index.htm setup_streama.htm admin_users.htm download.htm; do
  $C $B/$p > "$ROOT/run/page.htm"
  [ -z "$(xmllint --html --noout "$ROOT/run/page.htm" 2>&1)" ] || fail "$p is not clean HTML"
done
echo "ok: pages"

# The unit starts open (the guest is Admin); an administrator is made and the
# guest brought down to Stream View, in one form.
[ "$(status -d create_user_name=admin -d create_user_pass=secret -d create_user_perm=5 \
      -d GuestPermission=1 -d redirect=/admin_users.htm $B/controls)" = 303 ] || fail "user form"
[ "$(status $B/config.txt)" = 401 ] || fail "guest still reads config.txt"
[ "$(status --basic -u admin:secret $B/config.txt)" = 200 ] || fail "admin cannot read config.txt"
echo "ok: users"

# A password change cut in transit (the client goes mid-body) changes
# nothing, in the unit or in flash: admin:secret still works after the
# restart below.
exec 7<>/dev/tcp/127.0.0.1/$M7391_HTTP_PORT
printf 'POST /controls HTTP/1.1\r\nHost: x\r\nAuthorization: Basic %s\r\nContent-Type: %s\r\nContent-Length: 200\r\n\r\nUser[0].Password=secr' \
  "$(printf admin:secret | base64)" application/x-www-form-urlencoded >&7
exec 7<&-
wait_log "$ROOT/run/a.log" "cut off, nothing changed" 10
[ "$(status --basic -u admin:secret $B/config.txt)" = 200 ] || fail "a cut form changed the password"

# The form's save reaches flash by itself: the process is killed, not ended.
sleep 2.5
kill -9 "$BOX_PID"
wait_exit "$BOX_PID"
start_web b
C1=$(start_count b)
[ -n "$C1" ] || fail "no parameter block in flash after the first form"
[ "$(status --digest -u admin:secret $B/config.txt)" = 200 ] || fail "admin lost after a restart"
[ "$(status --digest -u admin:wrong $B/config.txt)" = 401 ] || fail "wrong password accepted"
echo "ok: users kept in flash (count $C1)"

# Two forms within a second: both apply at once, answer 303, one flash save.
H=$($C --basic -u admin:secret -D - -o /dev/null -d BitRate=3000000 -d redirect=/setup_streama.htm \
    $B/streamA_controls)
grep -q "^HTTP/1.1 303" <<<"$H" || fail "form not answered 303: $H"
grep -q "^Location: /setup_streama.htm" <<<"$H" || fail "form not sent back to its page"
[ "$(status --basic -u admin:secret -d BitRate=1500000 -H "Referer: $B/setup_streamb.htm" \
      $B/streamB_controls)" = 303 ] || fail "second form"
# A page of another site gets nothing changed, cached credentials or not.
[ "$(status --basic -u admin:secret -d BitRate=700000 -H 'Referer: http://x/setup_streamb.htm' \
      $B/streamB_controls)" = 403 ] || fail "a form from another site"
[ "$(status --basic -u admin:secret -H 'Origin: http://x' "$B/load_default_params")" = 403 ] ||
  fail "defaults loaded from another site"
[ "$($C $B/Video[0].BitRate)" = 3000000 ] || fail "value not applied at once"
has 'name="BitRate" value="3000000" min="100000"' --basic -u admin:secret $B/setup_streama.htm ||
  fail "setup page does not show the new value"
sleep 2.5
kill -9 "$BOX_PID"
wait_exit "$BOX_PID"
start_web c
C2=$(start_count c)
[ "$C2" = $((C1 + 1)) ] || fail "two forms saved $((C2 - C1)) times"
[ "$($C $B/Video[0].BitRate)" = 3000000 ] || fail "stream A bit rate not kept"
[ "$($C $B/Video[1].BitRate)" = 1500000 ] || fail "stream B bit rate not kept"
echo "ok: deferred save, once for two forms"

# Permissions: the guest (Stream View) reads stream settings and writes none.
[ "$(status -d BitRate=200000 $B/streamA_controls)" = 401 ] || fail "guest wrote a setting"
[ "$($C $B/Video[0].BitRate)" = 3000000 ] || fail "refused form changed the value"
[ "$(status -d confirm=on $B/clear_log)" = 401 ] || fail "guest cleared the access log"
has "Unauthorized" --basic -u admin:secret $B/setup_streama.htm && fail "admin refused"
has "<h2>Unauthorized</h2>" $B/setup_streama.htm || fail "guest saw the setup page"
echo "ok: permissions"

# Cookie login and logout.
[ "$(status --basic -u admin:secret "$B/login.htm?redirect=/index.htm")" = 303 ] || fail "login"
TOKEN=$($C --basic -u admin:secret -D - -o /dev/null "$B/login.htm?a=cookie&redirect=/index.htm" |
  sed -n 's/^Set-Cookie: Token=\([0-9a-f]\{16\}\).*/\1/p' | tr -d '\r')
[ ${#TOKEN} = 16 ] || fail "no session cookie"
[ "$(status -H "Cookie: Token=$TOKEN" $B/config.txt)" = 200 ] || fail "cookie session refused"
[ "$(status -H "Cookie: Token=$TOKEN" "$B/logout.htm?redirect=/index.htm")" = 303 ] || fail "logout"
[ "$(status -H "Cookie: Token=$TOKEN" $B/config.txt)" = 401 ] || fail "cookie works after logout"
has "admin               LOGIN" --basic -u admin:secret $B/log.txt || fail "no LOGIN in log.txt"
has "LOGOUT" --basic -u admin:secret $B/log.txt || fail "no LOGOUT in log.txt"
echo "ok: cookie login"

# config.txt, the program log, and a recording from the SD card.
has "^Video\[0\].BitRate = 3000000$" --basic -u admin:secret $B/config.txt || fail "config.txt"
has "httpd: started" --basic -u admin:secret $B/debuglog.txt || fail "debuglog.txt"
wait_log "$ROOT/run/c.log" "/dev/mmcblk0p1 /media/mmc"
SD="$ROOT/run/sim/storage/vol/mmcblk0p1/DCIM"
mkdir -p "$SD/2026"
head -c 300000 /dev/urandom > "$SD/2026/rec_0001.ts"
has "2026/rec_0001.ts" --basic -u admin:secret "$B/download.htm" || fail "file not listed"
$C --basic -u admin:secret -o "$ROOT/run/got.ts" "$B/download?s=2&f=2026/rec_0001.ts"
cmp "$SD/2026/rec_0001.ts" "$ROOT/run/got.ts" || fail "download differs"
[ "$(status --basic -u admin:secret "$B/download?s=2&f=../../etc/passwd")" = 404 ] || fail "'..' served"
[ "$(status "$B/download?s=2&f=2026/rec_0001.ts")" = 401 ] || fail "guest downloaded"
echo "ok: config.txt, logs, download"

# Bad requests get clear answers and leave the unit serving, nothing lost.
[ "$(status --basic -u admin:secret -d BitRate=999999999 $B/streamA_controls)" = 400 ] ||
  fail "out-of-range value not refused"
has "NoSuchThing: No such parameter" --basic -u admin:secret -d NoSuchThing=1 $B/controls ||
  fail "unknown parameter not named"
[ "$(status --basic -u admin:secret -H 'Content-Type: application/json' -d '{}' $B/controls)" = 400 ] ||
  fail "unreadable body not refused"
status -H "X-Big: $(head -c 60000 /dev/zero | tr '\0' a)" $B/index.htm > /dev/null || true
status -H "Authorization: Digest nonce=" $B/index.htm > /dev/null || true
status -H "Authorization: Basic !!!" $B/index.htm > /dev/null || true
status -H "Cookie: Token=zzzz" $B/index.htm > /dev/null || true
printf 'POST /controls HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\nVideo[0].GOP' |
  timeout 2 bash -c "cat > /dev/tcp/127.0.0.1/$M7391_HTTP_PORT" 2>/dev/null || true
kill -0 "$BOX_PID" || fail "the program died on a bad request"
[ "$($C $B/Video[0].BitRate)" = 3000000 ] || fail "value lost after bad requests"
echo "ok: bad requests"

kill -INT "$BOX_PID"
wait_exit "$BOX_PID"
grep -q "myRendezvousCleanup: httpd" "$ROOT/run/c.log" || fail "httpd did not end cleanly"
echo PASS
