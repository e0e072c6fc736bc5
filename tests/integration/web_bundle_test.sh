#!/bin/bash
# The custom web bundle: a page zipped with zip is posted, served, and still
# served after a restart; customzip.txt lists it as unzip -l does. A
# bundle past the flash block is refused and the old one stays; so is every
# bundle that names a place outside the web root (../, /, a backslash),
# carries a link (zip -y), unpacks past its budget or past what it states,
# whose entries overlap, or that unzip would read otherwise (a second zip
# hidden in the comment, a Unicode Path name, local sizes of its own), or
# that the web root cannot take as written (an entry ".", a file that is
# also a folder, a path through customzip.txt or through index.htm): the
# answer says it was refused, and neither the web root nor anything outside
# it changes, no link appears; the old bundle is the one unpacked at the next
# start, and the stock pages stay pages. CustomClear clears it.
. "$(dirname "$0")/common.sh"
new_root
export M7391_HTTP_PORT=${M7391_HTTP_PORT:-80}
B=http://127.0.0.1:$M7391_HTTP_PORT
C="curl -s -g --max-time 20"
W=$ROOT/run/bundle
mkdir -p "$W/page"
echo '<html><body>bundle page 7391</body></html>' > "$W/page/bundle_test.htm"
(cd "$W/page" && zip -q -X "$W/b.zip" bundle_test.htm) || fail "zip"
head -c 200000 /dev/urandom > "$W/page/big.bin"
(cd "$W/page" && zip -q -0 -X "$W/big.zip" big.bin) || fail "zip"

start_box "$ROOT/run/a.log"
wait_log "$ROOT/run/a.log" "httpd: started"
$C -o /dev/null --data-binary @"$W/b.zip" "$B/customzip"
$C "$B/bundle_test.htm" | grep "bundle page 7391" >/dev/null || fail "bundle page not served"
(cd "$W" && unzip -l b.zip) > "$W/listing.txt"
diff <(sed 's|Archive:.*||' "$W/listing.txt") <(sed 's|Archive:.*||' "$ROOT/usr/html/customzip.txt") ||
  fail "customzip.txt differs from unzip -l"
wait_param CustomZipSize "^$(stat -c %s "$W/b.zip")\$"
echo "ok: bundle served"

python3 "$M7391_SOURCE_DIR/tests/core/hostile_archives.py" "$W/h"
webroot() { (cd "$ROOT/usr/html" && find . -printf '%p %y %s\n' | sort); }
before=$(webroot)
for z in zip_dotdot zip_abs zip_backslash zip_symlink zip_budget zip_sizelie zip_overlap zip_badcrc \
  zip_hidden zip_unicode zip_localsize zip_dot zip_dirfile zip_listing zip_page; do
  code=$($C -o "$W/reply.htm" -w '%{http_code}' --data-binary @"$W/h/$z.zip" "$B/customzip")
  [ "$code" = 400 ] || fail "$z answered $code"
  grep -q "refused" "$W/reply.htm" || fail "$z: the answer does not say it was refused"
  [ "$(webroot)" = "$before" ] || fail "$z changed the web root: $(diff <(echo "$before") <(webroot))"
  for f in escape.htm etc/escape.htm usr/escape.htm etc/rt-victim.sh; do [ ! -e "$ROOT/$f" ] || fail "$z wrote $f"; done
done
[ -z "$(find "$ROOT/usr/html" -type l -o -name unchecked.htm -o -name zeros.bin)" ] || fail "a link or unchecked file"
$C "$B/bundle_test.htm" | grep "bundle page 7391" >/dev/null || fail "bundle page gone after refused bundles"
wait_param CustomZipSize "^$(stat -c %s "$W/b.zip")\$"
echo "ok: hostile bundles refused"

$C -o /dev/null --data-binary @"$W/big.zip" "$B/customzip"
wait_log "$ROOT/run/a.log" "customzip oversize"
kill -INT "$BOX_PID"
wait_exit "$BOX_PID" 60
rm -f "$ROOT/usr/html/bundle_test.htm"
start_box "$ROOT/run/b.log"
wait_log "$ROOT/run/b.log" "httpd: started"
$C "$B/bundle_test.htm" | grep "bundle page 7391" >/dev/null || fail "bundle gone after an oversize one and a restart"
[ ! -e "$ROOT/usr/html/big.bin" ] || fail "the oversize bundle was unpacked"
for p in index.htm admin_update.htm customzip.txt; do [ -f "$ROOT/usr/html/$p" ] || fail "$p is no file"; done
[ "$($C -o /dev/null -w '%{http_code}' "$B/admin_update.htm")" != 404 ] || fail "admin_update.htm gone"
echo "ok: oversize keeps the old bundle across a restart"

post_form -d CustomClear=1
wait_param CustomZipSize "^-1\$"
[ ! -e "$ROOT/usr/html/customzip.txt" ] || fail "customzip.txt after CustomClear"
kill -INT "$BOX_PID"
wait_exit "$BOX_PID" 60
rm -f "$ROOT/usr/html/bundle_test.htm"
start_box "$ROOT/run/c.log"
wait_log "$ROOT/run/c.log" "httpd: started"
[ ! -e "$ROOT/usr/html/bundle_test.htm" ] || fail "cleared bundle unpacked again"
kill -INT "$BOX_PID"
wait_exit "$BOX_PID" 60
echo PASS
