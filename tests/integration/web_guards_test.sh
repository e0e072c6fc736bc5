#!/bin/bash
# Guards of the web server, on the real binary with curl: HLS segment names
# outside the five slots are not found; an address that keeps giving wrong
# passwords is made to wait (429 with Retry-After) while another address
# logs in, and so does the administrator's browser behind the same address
# once it logged in before (its known-browser cookie); the guessing is one
# log line with the address and the count;
# a GET that changes something is refused to a browser (a Mozilla
# User-Agent) that does not show it came from the box's own pages, and taken
# from a tool or with the page's Referer; a browser's read under a host name
# that is not the box's own is refused.
. "$(dirname "$0")/common.sh"
new_root
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
B=http://127.0.0.1:$M7391_HTTP_PORT
LOG=$ROOT/run/a.log
start_box "$LOG"
wait_log "$LOG" "httpd: started"
status() { curl -s -g --max-time 20 -o /dev/null -w '%{http_code}' "$@"; }
[ "$(status -d create_user_name=admin -d create_user_pass=secret -d create_user_perm=5 \
  -d GuestPermission=1 -d Video[0].GOPSize=44 "$B/controls")" = 200 ] || fail "could not create the administrator"

for name in streamA5.ts streamA9.ts streamB5.ts streamB8.ts streamA10.ts streamC0.ts streama0.ts streamA0.TS streamC.m3u8; do
  [ "$(status "$B/$name")" = 404 ] || fail "$name answered $(status "$B/$name")"
done
echo "ok: HLS names outside the slots are not found"

# A page of another site whose name was made to lead here (DNS rebinding)
# reads no setting; a tool under any name, and a page under the box's own
# address or localhost, are served.
BR='Video[0].BitRate'
[ "$(status -H 'Host: evil.example' -e http://evil.example/x.htm "$B/$BR")" = 403 ] || fail "a rebound page read $BR"
[ "$(status -H 'Host: evil.example:8080' -H 'Sec-Fetch-Site: same-origin' "$B/index.htm")" = 403 ] || fail "a rebound page read index.htm"
[ "$(curl -s -g -H 'Host: evil.example' "$B/$BR")" = 5000000 ] || fail "a tool under another name was refused"
[ "$(status -e "$B/index.htm" "$B/$BR")" = 200 ] || fail "the box's own page under its address was refused"
L=http://localhost:$M7391_HTTP_PORT
[ "$(status -H "Host: localhost:$M7391_HTTP_PORT" -e "$L/index.htm" "$B/$BR")" = 200 ] || fail "a page under localhost was refused"
echo "ok: reads under a foreign host name refused to browsers only"

# The administrator's browser logs in once and is known from then on (its
# cookie); a guesser behind the same address (a NAT) does not make it wait.
JAR=$ROOT/run/admin.jar
browser="Mozilla/5.0 (X11; Linux x86_64) Chrome/120.0 Safari/537.36"
[ "$(status -A "$browser" -c "$JAR" --digest -u admin:secret "$B/config.txt")" = 200 ] || fail "the administrator's login"
grep -q "Known" "$JAR" || fail "no known-browser cookie: $(cat "$JAR")"

# Wrong passwords until the address must wait: more than the free tries,
# however long each took (the waits double).
wrong=0
for i in $(seq 1 30); do
  head=$(curl -s -g --max-time 20 -D - -o /dev/null --basic -u "admin:guess$i" "$B/config.txt")
  code=$(head -n1 <<<"$head" | cut -d' ' -f2)
  [ "$code" = 401 ] || break
  wrong=$((wrong + 1))
done
[ "$code" = 429 ] || fail "wrong password $i answered $code"
[ "$wrong" -ge 5 ] || fail "waiting after $wrong wrong passwords"
after=$(grep -i '^Retry-After:' <<<"$head" | tr -dc 0-9)
[ -n "$after" ] && [ "$after" -ge 1 ] && [ "$after" -le 60 ] || fail "Retry-After '$after'"
[ "$(status --interface 127.0.0.2 --digest -u admin:secret "$B/config.txt")" = 200 ] || fail "another address was refused"
echo "ok: $wrong wrong passwords, then a wait of $after s for that address only"
[ "$(status -A "$browser" -b "$JAR" --digest -u admin:secret "$B/config.txt")" = 200 ] ||
  fail "the administrator's known browser waited for the guesser at its address"
[ "$(status -A "$browser" --digest -u admin:secret "$B/config.txt")" = 429 ] || fail "an unknown browser did not wait"
echo "ok: the known browser's right password is taken while its address waits"

for url in load_default_params logout.htm; do
  [ "$(status -A "$browser" --interface 127.0.0.3 --basic -u admin:secret "$B/$url")" = 403 ] || fail "$url from a browser without its page"
done
# A typed or bookmarked login page is no attack.
[ "$(status -A "$browser" --interface 127.0.0.3 "$B/login.htm")" = 401 ] || fail "login.htm typed in a browser"
[ "$(curl -s -g --interface 127.0.0.3 --basic -u admin:secret "$B/Video[0].GOPSize")" = 44 ] || fail "the defaults were restored"
[ "$(status --interface 127.0.0.3 --basic -u admin:secret -A "$browser" -e "$B/admin_update.htm" "$B/load_default_params")" = 303 ] ||
  fail "the box's own page could not restore the defaults"
[ "$(curl -s -g "$B/Video[0].GOPSize")" = 30 ] || fail "the defaults were not restored"
echo "ok: a browser's GET changes something only from the box's own pages"

kill -INT "$BOX_PID"
wait_exit "$BOX_PID"
grep -q "web_login_tick: wrong credentials from 127.0.0.1 $wrong times, [1-9][0-9]* more tries refused" "$LOG" ||
  fail "no line for the wrong passwords: $(grep 'wrong credentials' "$LOG")"
[ "$(grep -c 'wrong credentials from' "$LOG")" = 1 ] || fail "more than one line for one episode"
echo PASS
