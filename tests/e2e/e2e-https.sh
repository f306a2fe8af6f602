#!/usr/bin/env bash
# End-to-end run of the real launcher against nginx over HTTPS, all on this machine:
#   1. a fresh game directory holding only Launcher.exe gets every game file, byte for byte (names with a
#      space, %, #, +, &, [, ], ; and CJK among them); the start button turns to colour; a click starts
#      Zorexe.exe and the launcher exits;
#   2. a second start finds everything up to date: nginx sees no request under files/;
#   3. after a new launcher is published, the launcher downloads it, swaps itself and restarts; the
#      restarted launcher is up to date and starts the game;
#   4. an older signed manifest replayed by the host, and a manifest changed after signing, are refused:
#      nothing is fetched and the start button stays grey;
#   5. a patch that rewrites 256 KiB of a 6 MiB file is fetched as ranges by the file's chunk index, and the
#      rebuilt file is the published one.
# Every manifest is signed with a key made here; the launcher under test is built to trust only that key
# (nothing of it is kept). The certificate comes from a CA made here and trusted only in this test's own
# Wine prefix.
# Usage: e2e-https.sh --port N --probe probe_child.exe --trust-ca trust_ca.exe --work DIR
#        [--launcher Launcher.exe --key KEY.pem]   (the build's launcher for this port and its key; else built here)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
. "$here/lib.sh"

while [ $# -gt 0 ]; do
  case "$1" in
    --port) port=$2 ;; --probe) probe=$2 ;; --trust-ca) trust_ca=$2 ;; --work) work=$2 ;;
    --launcher) E2E_LAUNCHER=$2 ;; --key) E2E_KEY=$2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done

fail() { echo "FAIL: $*" >&2; [ -n "${DISPLAY:-}" ] && /usr/bin/import -silent -window root "$work/failure.png" 2>/dev/null; exit 1; }
pass() { echo "ok: $*"; }

mkdir -p "$work"
rm -rf "$work/run" "$work/game-src" "$work/game" "$work/patch" "$work/wineprefix" "$work/failure.png"
mkdir -p "$work/run" "$work/game-src" "$work/game"

export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if locale -a 2>/dev/null | grep -qi '^zh_TW\.utf-\?8$'; then export LC_ALL=zh_TW.UTF-8; fi

launcher_pid=
cleanup() {
  [ -n "$launcher_pid" ] && kill "$launcher_pid" 2>/dev/null || true
  wineserver -k 2>/dev/null || true   # this test's own prefix only
  stop_nginx
  stop_xvfb
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# The publisher, a signing key made now, and the launcher built to trust it and to fetch from this test's host.
build_publisher_and_launcher "$src" "$work" "$port"
sign=(--sign-key "$work/run/manifest-key.pem")

# The game as published.
g="$work/game-src"
mkdir -p "$g/資料/地圖" "$g/Data"
head -c $((6 * 1024 * 1024)) /dev/urandom >"$g/Data/world.pak"
head -c 70000 /dev/urandom >"$g/資料/地圖/第一章.map"
printf '歡迎來到 Selmora\n' >"$g/資料/說明.txt"
printf 'readme\r\n' >"$g/README.txt"
# Names a host that decodes request paths must still tell apart: each is a file of its own.
printf 'percent' >"$g/Data/100%%.pak"
printf 'escape look-alike' >"$g/Data/a%%20b.pak"
printf 'space' >"$g/Data/a b.pak"
printf 'marks' >"$g/Data/#1+2&[3];x.pak"
printf 'cjk' >"$g/資料/地圖 #2.map"
cp "$probe" "$g/Zorexe.exe"
cp "$probe" "$g/Setup.exe"
cp "$launcher" "$work/Launcher-1.exe"
"$patchgen" build -q --game "$g" --launcher "$work/Launcher-1.exe" --out "$work/patch" --version 1.0.0 \
  --status "伺服器正常" --news "e2e" "${sign[@]}" --sequence 100 || fail "patchgen build"
"$patchgen" verify "$work/patch" --public-key "$public_key" || fail "patchgen verify"
cp "$work/patch/manifest.txt" "$work/run/manifest-100.txt"

# HTTPS on 127.0.0.1 with a certificate for "localhost" from a CA made now.
make_test_ca "$work/run/tls"
write_nginx_conf "$src/tools/patchgen/nginx/patch-host.conf" "$work/run/nginx.conf" "$work/run" "$work/patch" "$port" https
start_nginx "$work/run/nginx.conf" "$work/run"
wait_for 20 "nginx on port $port" curl -sf -o /dev/null --cacert "$work/run/tls/ca.pem" \
  "https://localhost:$port/patch/manifest.txt"
pass "nginx serves https://localhost:$port/patch/manifest.txt with the test CA"

start_xvfb "$work/run"
"$src/scripts/wine-prefix-setup"
wine "$trust_ca" "$(winepath -w "$work/run/tls/ca.der")" || fail "trusting the test CA in the prefix"
wine reg query 'HKLM\Software\Microsoft\SystemCertificates\Root\Certificates' 2>/dev/null | grep -qi \
  "$(openssl x509 -in "$work/run/tls/ca.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')" ||
  fail "the test CA is not in the prefix's Root store"
pass "test CA trusted in the prefix's Root store"

game_matches() {
  local f rel
  while IFS= read -r -d '' f; do
    rel=${f#"$g"/}
    cmp -s "$f" "$work/game/$rel" || return 1
  done < <(find "$g" -type f -print0)
}
access_count() { wc -l <"$work/run/access.log"; }
file_requests_since() { tail -n +"$(( $1 + 1 ))" "$work/run/access.log" | grep -c '"GET /patch/files/' || true; }

# The launcher's debugger output goes to its log (Wine prints it with +debugstr).
run_launcher() {
  (cd "$work/game" && WINEDEBUG=-all,+debugstr exec wine Launcher.exe) >"$work/run/launcher-$1.log" 2>&1 &
  launcher_pid=$!
}
logged() { grep -q "$2" "$work/run/launcher-$1.log"; }
launcher_gone() { ! kill -0 "$launcher_pid" 2>/dev/null; }
wait_ready_window() {
  wait_for 60 "the launcher window" has_launcher_window || fail "no launcher window ($1)"
  win=$(launcher_window)
  wait_for 240 "the start button in colour" start_button_ready "$win" ||
    fail "start button stayed grey ($1), saturation $(start_button_saturation "$win")"
}
start_game_and_wait_exit() {
  rm -f "$work/game/Zorexe.exe.record.txt"
  click_start "$win"
  wait_for 30 "Zorexe.exe to be started" test -s "$work/game/Zorexe.exe.record.txt" || fail "no game record ($1)"
  grep -q 'Zorexe.exe' "$work/game/Zorexe.exe.record.txt" || fail "record does not name Zorexe.exe ($1)"
  wait_for 60 "the launcher to exit" launcher_gone || fail "launcher did not exit after start ($1)"
  wait_for 30 "the launcher window to close" no_launcher_window || fail "launcher window still open ($1)"
  launcher_pid=
}

# 1. Fresh install.
cp "$work/Launcher-1.exe" "$work/game/Launcher.exe"
# A player's first start: nothing remembered of earlier runs in this prefix.
wine reg delete 'HKCU\Software\Korvane\Launcher' /v LastSelfUpdateSha /f >/dev/null 2>&1 || true
wine reg delete 'HKLM\Software\Korvane\Launcher' /f >/dev/null 2>&1 || true
before=$(access_count)
run_launcher 1
wait_ready_window "first run"
game_matches || fail "game files differ from the published ones after the start button turned to colour"
pass "first run: every game file matches the published bytes; start button in colour"
requested=$(file_requests_since "$before")
# The small files come as ranges of their packs (206 in nginx's log), world.pak as a file of its own.
pack_ranges=$(tail -n +"$((before + 1))" "$work/run/access.log" | grep -c '"GET /patch/packs/[0-9a-f]*\.kpak [^"]*" 206 ' || true)
[ "$pack_ranges" -ge 1 ] || fail "first run: no range request for a pack (206) in nginx's access log"
[ "$requested" -ge 1 ] || fail "first run made no file request, expected one for Data/world.pak"
pass "first run: $pack_ranges range request(s) for packs answered 206, $requested whole-file request(s)"
grep -q '"GET /patch/files/Launcher.exe' "$work/run/access.log" && fail "first run downloaded Launcher.exe although it is current"
start_game_and_wait_exit "first run"
pass "first run: click on start ran Zorexe.exe and the launcher exited"

# 2. Everything up to date.
before=$(access_count)
run_launcher 2
wait_ready_window "second run"
tail -n +"$((before + 1))" "$work/run/access.log" | grep -qE '"GET /patch/manifest\.(txt|zst)[^"]*" 200 ' ||
  fail "second run did not fetch the manifest"
requested=$(file_requests_since "$before")
[ "$requested" -eq 0 ] || fail "second run requested $requested files under files/"
game_matches || fail "game files changed on the second run"
start_game_and_wait_exit "second run"
pass "second run: manifest fetched, no file requested, game started"

# 3. A new launcher is published: same program with bytes appended.
cp "$work/Launcher-1.exe" "$work/Launcher-2.exe"
printf 'korvane e2e launcher build 2\n' >>"$work/Launcher-2.exe"
"$patchgen" build -q --game "$g" --launcher "$work/Launcher-2.exe" --out "$work/patch" --version 1.0.1 \
  "${sign[@]}" --sequence 200 || fail "patchgen build of the new launcher"
"$patchgen" verify "$work/patch" --public-key "$public_key" || fail "patchgen verify after the new launcher"
before=$(access_count)
run_launcher 3
wait_for 120 "Launcher.exe to be replaced" cmp -s "$work/game/Launcher.exe" "$work/Launcher-2.exe" ||
  fail "Launcher.exe was not replaced by the published one"
pass "third run: Launcher.exe now has the new launcher's bytes"
wait_for 60 "the first launcher process to end" launcher_gone || fail "the old launcher did not exit for its restart"
launcher_pid=
if [ -e "$work/game/Launcher.exe.old" ]; then
  cmp -s "$work/game/Launcher.exe.old" "$work/Launcher-1.exe" || fail "Launcher.exe.old is not the previous launcher"
fi
# The first process has ended, so a window now belongs to the restarted launcher.
wait_for 60 "the restarted launcher's window" has_launcher_window || fail "no window from the restarted launcher"
win=$(launcher_window)
wait_for 240 "the start button in colour" start_button_ready "$win" || fail "restarted launcher: start button stayed grey"
got=$(tail -n +"$((before + 1))" "$work/run/access.log" | grep '"GET /patch/files/' | sed 's/.*"GET \([^ ]*\).*/\1/' | sort -u)
[ "$got" = "/patch/files/Launcher.exe" ] || fail "third run requested other files: $got"
rm -f "$work/game/Zorexe.exe.record.txt"
click_start "$win"
wait_for 30 "Zorexe.exe to be started" test -s "$work/game/Zorexe.exe.record.txt" || fail "restarted launcher did not start the game"
wait_for 60 "the restarted launcher window to close" no_launcher_window || fail "restarted launcher still open"
cmp -s "$work/game/Launcher.exe" "$work/Launcher-2.exe" || fail "Launcher.exe changed after the restart"
pass "third run: new launcher downloaded, swapped in and restarted; restarted launcher up to date and started the game"
# reg query cannot show a REG_QWORD; an export writes it as hex(b) bytes, least significant first. The
# value lives under HKLM, named after the installation ("LastManifestSequence <its digest>").
wine reg export 'HKLM\Software\Korvane\Launcher' "$(winepath -w "$work/run/launcher.reg")" /y >/dev/null 2>&1
iconv -f UTF-16 -t UTF-8 "$work/run/launcher.reg" | grep -q '"LastManifestSequence [0-9a-f]\{16\}"=hex(b):c8,00,00,00,00,00,00,00' ||
  fail "LastManifestSequence is not 200 after the third run"
pass "the registry keeps sequence 200"

# 4. Manifests the launcher must refuse: nothing fetched, the start button grey, the reason logged.
refused_run() {
  local name=$1 reason=$2
  before=$(access_count)
  run_launcher "$name"
  wait_for 60 "the refusal to be logged ($name)" logged "$name" "manifest signature: $reason" ||
    fail "$name: no log line naming the refusal"
  wait_for 60 "the launcher window" has_launcher_window || fail "no launcher window ($name)"
  win=$(launcher_window)
  start_button_ready "$win" && fail "$name: the start button is in colour"
  requested=$(file_requests_since "$before")
  [ "$requested" -eq 0 ] || fail "$name: $requested requests under files/"
  xdotool mousemove --window "$win" $((868 + 16)) $((0 + 19)) click 1
  wait_for 30 "the launcher to close ($name)" launcher_gone || fail "$name: the launcher did not close"
  launcher_pid=
}
# The host serves the manifest twice: as manifest.txt and as one zstd frame, manifest.zst, which the
# launcher asks for first. The replay comes in both; the change after signing only in manifest.zst.
serve_manifest() { cp "$1" "$work/patch/manifest.txt" && zstd -q -f -19 "$1" -o "$work/patch/manifest.zst"; }
cp "$work/patch/manifest.txt" "$work/run/manifest-200.txt"
serve_manifest "$work/run/manifest-100.txt" || fail "serving the older manifest"
refused_run replayed "sequence 100 is lower than 200"
pass "an older signed manifest replayed by the host is refused"
sed 's/^VERSION=1.0.1$/VERSION=1.0.2/' "$work/run/manifest-200.txt" >"$work/run/manifest-tampered.txt"
cmp -s "$work/run/manifest-tampered.txt" "$work/run/manifest-200.txt" && fail "the manifest was not changed"
serve_manifest "$work/run/manifest-200.txt" || fail "serving the signed manifest"
zstd -q -f -19 "$work/run/manifest-tampered.txt" -o "$work/patch/manifest.zst" || fail "compressing the changed manifest"
refused_run tampered "signature by key .* does not verify"
pass "a manifest changed after signing is refused, though manifest.txt beside it is the signed one"
# 5. A patch rewrites 256 KiB inside Data/world.pak: the launcher fetches only what changed, by the file's
#    chunk index and range requests, and the file it builds is the published one.
dd if=/dev/urandom of="$g/Data/world.pak" bs=4096 seek=500 count=64 conv=notrunc status=none
"$patchgen" build -q --game "$g" --launcher "$work/Launcher-2.exe" --out "$work/patch" --version 1.0.2 \
  "${sign[@]}" --sequence 300 || fail "patchgen build of the changed world.pak"
"$patchgen" verify "$work/patch" --public-key "$public_key" || fail "patchgen verify after the changed world.pak"
grep -q '^DELTA|Data/world.pak|' "$work/patch/manifest.txt" || fail "no DELTA line for Data/world.pak"
before=$(access_count)
run_launcher delta
wait_ready_window "delta run"
game_matches || fail "game files differ from the published ones after the delta run"
pak_lines=$(tail -n +"$((before + 1))" "$work/run/access.log" | grep '"GET /patch/files/Data/world.pak ' || true)
[ -n "$pak_lines" ] || fail "delta run: world.pak was not requested"
statuses=$(printf '%s\n' "$pak_lines" | awk '{ print $9 }' | sort -u | tr '\n' ' ')
[ "$statuses" = "206 " ] || fail "delta run: world.pak answers were $statuses, not ranges only"
sent=$(printf '%s\n' "$pak_lines" | awk '{ s += $10 } END { print s + 0 }')
[ "$sent" -lt $((1024 * 1024)) ] || fail "delta run: $sent bytes of world.pak sent for a 256 KiB change"
tail -n +"$((before + 1))" "$work/run/access.log" | grep -q '"GET /patch/delta/[0-9a-f]*\.kcix HTTP/[0-9.]*" 200 ' ||
  fail "delta run: the chunk index was not fetched"
logged delta '\[Launcher\]\[delta\] Data.world.pak: [0-9]* bytes from the local copy' ||
  fail "delta run: no log line for the delta update of world.pak"
start_game_and_wait_exit "delta run"
pass "delta run: world.pak rebuilt from the local copy and $sent bytes of ranges; game started"
echo "e2e_https: PASS"
