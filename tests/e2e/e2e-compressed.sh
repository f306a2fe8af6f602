#!/usr/bin/env bash
# End to end, the way bytes shrink on the wire: the real launcher against the shipped patch-host.conf in a
# real nginx over HTTPS, on three releases that patchgen publishes one after the other.
#   1. A fresh install: what compresses arrives as compressed copies under z/ (the big file as compressed
#      chunks, the small ones as ranges of containers), what does not as itself.
#   2. The next release: the changed files arrive as patches from the copies the player has.
#   3. A third release whose host lost one container and has one flipped byte in another: each file whose
#      patch cannot be had or does not decode still arrives, the next way down, and nothing is left half done.
#   4. Patch day: the coming release published beside the current one and announced; its pre-load cut short
#      by the start of the game and resumed at the next start; withdrawn; announced again; opened; and the
#      day's update taken from what was pre-loaded.
# Usage: e2e-compressed.sh --port N --probe probe_child.exe --trust-ca trust_ca.exe --work DIR
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

build_publisher_and_launcher "$src" "$work" "$port"
cp "$launcher" "$work/Launcher.exe"

# Game data that compresses like a game's levels and texts: lines of a made-up level format, from a fixed
# seed so that every run publishes the same bytes. lines FILE SEED COUNT
lines() {
  awk -v seed="$2" -v n="$3" 'BEGIN {
    srand(seed)
    split("tree rock wall door chest torch spawn water bridge gate", kinds, " ")
    for (i = 0; i < n; i++)
      printf "entity %d %s x=%d y=%d z=%d hp=%d\n", i, kinds[int(rand() * 10) + 1], rand() * 4096, rand() * 4096, rand() * 64, rand() * 500
  }' >"$1"
}
g="$work/game-src"
mkdir -p "$g/Data" "$g/Maps" "$g/Text/zh-TW"
lines "$g/Data/world.pak" 1 60000            # about 3 MiB: patchgen gives it a chunk index
for i in 1 2 3; do lines "$g/Maps/level-$i.map" $((10 + i)) 6000; done
for i in $(seq 1 12); do lines "$g/Text/zh-TW/line-$i.txt" $((100 + i)) 60; done
head -c 400000 /dev/urandom >"$g/Data/music.ogg"   # compresses by nothing: published as itself only
cp "$probe" "$g/Zorexe.exe"
cp "$probe" "$g/Setup.exe"

# publish VERSION SEQUENCE: a release of the game as it is now, signed, verified with zstd decoding every
# compressed copy and patch.
publish() {
  "$patchgen" build -q --game "$g" --launcher "$work/Launcher.exe" --out "$work/patch" --version "$1" \
    --sign-key "$work/run/manifest-key.pem" --sequence "$2" || fail "patchgen build $1"
  "$patchgen" verify "$work/patch" --public-key "$public_key" >/dev/null || fail "patchgen verify $1"
}
publish 1.0.0 100
for line in ZPACK ZFILE ZCHUNKS; do
  grep -q "^$line|" "$work/patch/manifest.txt" || fail "release 1.0.0 has no $line line"
done
grep -q '^ZCHUNKS|Data/world.pak|' "$work/patch/manifest.txt" || fail "world.pak has no compressed chunks"
grep -q '|Data/music.ogg|' <(grep '^Z' "$work/patch/manifest.txt") && fail "music.ogg has a compressed copy"

make_test_ca "$work/run/tls"
write_nginx_conf "$src/tools/patchgen/nginx/patch-host.conf" "$work/run/nginx.conf" "$work/run" "$work/patch" "$port" https
start_nginx "$work/run/nginx.conf" "$work/run"
wait_for 20 "nginx on port $port" curl -sf -o /dev/null --cacert "$work/run/tls/ca.pem" \
  "https://localhost:$port/patch/manifest.zst"
start_xvfb "$work/run"
"$src/scripts/wine-prefix-setup"
wine "$trust_ca" "$(winepath -w "$work/run/tls/ca.der")" || fail "trusting the test CA in the prefix"

game_matches() {
  local f rel
  while IFS= read -r -d '' f; do
    rel=${f#"$g"/}
    cmp -s "$f" "$work/game/$rel" || { echo "differs: $rel" >&2; return 1; }
  done < <(find "$g" -type f -print0)
}
access_count() { wc -l <"$work/run/access.log"; }
# Body bytes nginx sent since line $1 for game data (files/, packs/, delta/, z/).
data_bytes_since() {
  tail -n +"$(( $1 + 1 ))" "$work/run/access.log" | { grep -E '"GET /patch/(files|packs|delta|z)/' || true; } |
    awk '{ s += $10 } END { print s + 0 }'
}
logged() { grep -q "$2" "$work/run/launcher-$1.log"; }
launcher_gone() { ! kill -0 "$launcher_pid" 2>/dev/null; }
# The launcher's own log in the game folder (it has the lines in UTF-16 that the debugger output lacks):
# its line count now, and whether it gained a line matching PATTERN since line count MARK.
log_mark() { wc -l <"$work/game/logs/launcher.log" 2>/dev/null || echo 0; }
game_logged() { tail -n +"$(( $1 + 1 ))" "$work/game/logs/launcher.log" 2>/dev/null | grep -q "$2"; }
# start NAME: the launcher in the player's folder, until its window shows the start button in colour; `mark`
# is the launcher log's line count before it.
start() {
  mark=$(log_mark)
  (cd "$work/game" && WINEDEBUG=-all,+debugstr exec wine Launcher.exe) >"$work/run/launcher-$1.log" 2>&1 &
  launcher_pid=$!
  wait_for 60 "the launcher window ($1)" has_launcher_window || fail "no launcher window ($1)"
  win=$(launcher_window)
  wait_for 240 "the start button in colour ($1)" start_button_ready "$win" || fail "$1: start button stayed grey"
}
# close NAME: the player closes the launcher.
close() {
  xdotool mousemove --window "$win" $((868 + 16)) $((0 + 19)) click 1
  wait_for 30 "the launcher to close ($1)" launcher_gone || fail "$1: the launcher did not close"
  launcher_pid=
}
# update NAME: one run of the launcher, until the start button is in colour and the files match the release.
update() {
  start "$1"
  game_matches || fail "$1: game files differ from the published ones"
  [ -z "$(find "$work/game" -name '*.part' -not -path '*/korvane-preload/*')" ] || fail "$1: a .part is left"
  close "$1"
}
raw_bytes() { du -cb "$@" | tail -n1 | cut -f1; }

# 1. A fresh install.
cp "$work/Launcher.exe" "$work/game/Launcher.exe"
before=$(access_count)
update fresh
sent=$(data_bytes_since "$before")
raw=$(raw_bytes "$g")
tail -n +"$((before + 1))" "$work/run/access.log" | grep -q '"GET /patch/z/[0-9a-f]*\.zst HTTP/[0-9.]*" 20[06] ' ||
  fail "fresh: nothing fetched under z/"
logged fresh '\[Launcher\]\[updater\] Maps.level-1.map: compressed file, ' || fail "fresh: level-1.map not a compressed file"
logged fresh '\[Launcher\]\[updater\] Data.music.ogg: whole file, ' || fail "fresh: music.ogg not fetched as itself"
[ "$sent" -lt $((raw / 2)) ] || fail "fresh: $sent bytes on the wire for $raw bytes of game"
pass "fresh: $sent bytes on the wire for $raw bytes of game; compressed copies under z/, music.ogg as itself"

# 2. The next release changes a little of each of several files, the way a game's patch does.
sed -i '30000,30040s/hp=[0-9]*/hp=1/' "$g/Data/world.pak"
sed -i '100,120s/tree/oak/' "$g/Maps/level-1.map"
# (A new file renamed over the old one, as OPERATORS.md asks: the release's files are hard links.)
{ cat "$g/Maps/level-2.map"; printf 'entity 6000 gate x=1 y=2 z=3 hp=4\n'; } >"$g/Maps/level-2.new"
mv "$g/Maps/level-2.new" "$g/Maps/level-2.map"
for i in 3 7; do sed -i '5s/.*/translated again/' "$g/Text/zh-TW/line-$i.txt"; done
lines "$g/Text/zh-TW/line-13.txt" 113 60
changed=(Data/world.pak Maps/level-1.map Maps/level-2.map Text/zh-TW/line-3.txt Text/zh-TW/line-7.txt)
publish 1.0.1 200
grep -q '^ZPATCH|Maps/level-1.map|' "$work/patch/manifest.txt" || fail "release 1.0.1 has no patch for level-1.map"
alone=0
for f in "${changed[@]}"; do alone=$((alone + $(zstd -19 -c "$g/$f" | wc -c))); done
before=$(access_count)
update next
sent=$(data_bytes_since "$before")
for f in Data/world.pak Maps/level-1.map Maps/level-2.map Text/zh-TW/line-3.txt; do
  logged next "\\[Launcher\\]\\[updater\\] ${f//\//.}: patch from [0-9a-f]\\{16\\}\\.\\.\\., " ||
    fail "next: $f did not arrive as a patch"
done
[ "$sent" -lt $((alone / 10)) ] || fail "next: $sent bytes on the wire; the changed files compressed alone are $alone"
pass "next: changed files as patches, $sent bytes on the wire (the same files compressed alone: $alone)"

# 3. A third release, and a host that lost the container of the patches and has a byte flipped in
#    level-3.map's compressed copy: world.pak comes as compressed chunks, level-3.map as itself.
sed -i '40000,40010s/hp=/hp=9/' "$g/Data/world.pak"
sed -i '2000,2100s/wall/fence/' "$g/Maps/level-3.map"
publish 1.0.2 300
containers=
for f in Data/world.pak Maps/level-3.map; do   # the containers of the patches from the player's copies
  base=$(sha256sum "$work/game/$f" | cut -c1-64)
  c=$(grep "^ZPATCH|$f|$base|" "$work/patch/manifest.txt" | cut -d'|' -f5)
  [ -n "$c" ] || fail "release 1.0.2 has no patch for $f from the player's copy"
  containers=$(printf '%s\n' $containers "$c" | sort -u)
done
for c in $containers; do mv "$work/patch/z/$c.zst" "$work/run/lost-$c.zst"; done
copy=$(grep "^ZFILE|Maps/level-3.map|" "$work/patch/manifest.txt") || fail "level-3.map has no compressed copy"
at=$(echo "$copy" | awk -F'|' '{ print $4 + int($5 / 2) }')
flipped="$work/patch/z/$(echo "$copy" | cut -d'|' -f3).zst"
dd if="$flipped" of="$work/run/flipped-byte" bs=1 skip="$at" count=1 status=none
printf '\x5a' | dd of="$flipped" bs=1 seek="$at" conv=notrunc status=none
update damaged
for c in $containers; do
  logged damaged "\\[Launcher\\]\\[pack\\] z/$c.zst: [0-9]* file(s) one by one" ||
    fail "damaged: the lost container $c is not logged"
done
logged damaged '\[Launcher\]\[updater\] Maps.level-3.map: compressed file given up' ||
  fail "damaged: level-3.map's broken copy is not logged as given up"
logged damaged '\[Launcher\]\[updater\] Data.world.pak: compressed chunks, ' ||
  fail "damaged: world.pak did not arrive as compressed chunks"
logged damaged '\[Launcher\]\[updater\] Maps.level-3.map: whole file, ' ||
  fail "damaged: level-3.map did not arrive as itself"
pass "damaged host: lost patches and a broken copy given up, each file the next way down, every file right"
for c in $containers; do mv "$work/run/lost-$c.zst" "$work/patch/z/$c.zst"; done
dd if="$work/run/flipped-byte" of="$flipped" bs=1 seek="$at" conv=notrunc status=none
"$patchgen" verify "$work/patch" --public-key "$public_key" >/dev/null || fail "the host is not whole again"

# 4. Patch day. The coming release 1.1.0 changes 9 MB: a new cinematic, new music and a level (as files
#    renamed over the old ones: the releases' files are hard links).
rm -rf "$work/release-1.0.2" && cp -a "$work/game" "$work/release-1.0.2"
head -c 6000000 /dev/urandom >"$g/Data/cinematic.bik"
head -c 3000000 /dev/urandom >"$g/Data/music.new" && mv "$g/Data/music.new" "$g/Data/music.ogg"
sed '1000,1100s/rock/stone/' "$g/Maps/level-2.map" >"$g/Maps/level-2.new" && mv "$g/Maps/level-2.new" "$g/Maps/level-2.map"
change=$(raw_bytes "$g/Data/cinematic.bik" "$g/Data/music.ogg" "$g/Maps/level-2.map")
"$patchgen" build -q --game "$g" --launcher "$work/Launcher.exe" --out "$work/patch/next" --previous "$work/patch" \
  --version 1.1.0 --sign-key "$work/run/manifest-key.pem" --sequence 500 || fail "patchgen build 1.1.0 into next/"
"$patchgen" verify "$work/patch/next" --public-key "$public_key" >/dev/null || fail "patchgen verify next/"
key="$work/run/manifest-key.pem"
announce() {
  "$patchgen" announce "$work/patch" --next next --opens "$(date -u -d '+1 day' +%Y-%m-%dT%H:%M:%SZ)" \
    --sign-key "$key" >/dev/null || fail "patchgen announce"
}
announce
staging="$work/game/korvane-preload"
old_matches() { diff -rq --exclude=korvane-preload --exclude=logs --exclude=Zorexe.exe.record.txt "$work/release-1.0.2" "$work/game" >/dev/null; }
staged_count() { ls "$staging" 2>/dev/null | grep -cE '^[0-9a-f]{64}$' || true; }
# 4a. Announced: the pre-load runs at the player's 1 MB/s limit, and the game's start ends it half-way.
wine reg add 'HKCU\Software\Korvane\Launcher' /v MaxDownloadKBps /t REG_DWORD /d 1024 /f >/dev/null 2>&1
before=$(access_count)
start preload-cut
part_grown() { [ -n "$(find "$staging" -maxdepth 1 -name '*.part' -size +1000k 2>/dev/null)" ]; }
wait_for 60 "a pre-load .part of 1 MB" part_grown || fail "preload-cut: no .part grew in $staging"
old_matches || fail "preload-cut: the installed game changed while pre-loading"
rm -f "$work/game/Zorexe.exe.record.txt"
click_start "$win"
wait_for 30 "Zorexe.exe to be started" test -s "$work/game/Zorexe.exe.record.txt" || fail "preload-cut: no game start"
wait_for 60 "the launcher to exit" launcher_gone || fail "preload-cut: the launcher did not exit"
launcher_pid=
[ "$(staged_count)" -lt 3 ] || fail "preload-cut: everything was staged before the start"
game_logged "$mark" '\[Launcher\]\[preload\] release 1.1.0, opening ' || fail "preload-cut: no pre-load logged"
old_matches || fail "preload-cut: the installed game changed"
pass "announced: pre-load under the limit, cut short by the game's start with $(staged_count) of 3 files staged"

# 4b. The next start goes on from there: the cut-off file resumes with a range request.
wine reg add 'HKCU\Software\Korvane\Launcher' /v MaxDownloadKBps /t REG_DWORD /d 0 /f >/dev/null 2>&1
before=$(access_count)
start preload-resumed
wait_for 120 "the pre-load to finish" game_logged "$mark" 'the next release is ready' || fail "preload-resumed: not ready"
close preload-resumed
[ "$(staged_count)" -eq 3 ] || fail "preload-resumed: $(staged_count) of 3 files staged"
tail -n +"$((before + 1))" "$work/run/access.log" | grep -q '"GET /patch/next/files/[^ ]* HTTP/[0-9.]*" 206 ' ||
  fail "preload-resumed: the cut-off file was not resumed with a range"
old_matches || fail "preload-resumed: the installed game changed"
pass "next start: the pre-load resumed where it stopped (206) and finished; the game untouched"

# 4c. Withdrawn: the next start removes what was staged.
"$patchgen" withdraw "$work/patch" --sign-key "$key" >/dev/null || fail "patchgen withdraw"
start withdrawn
wait_for 60 "the staged files to go" game_logged "$mark" 'no release announced: 3 staged file' || fail "withdrawn: staged files kept"
close withdrawn
[ ! -e "$staging" ] || fail "withdrawn: $staging is still there"
pass "withdrawn: the staged files removed at the next start"

# 4d. Announced again, pre-loaded whole; then opened: the day's update takes every changed file from the
#     staging folder, and the host sends no game data at all.
announce
start announced-again
wait_for 120 "the pre-load to finish" game_logged "$mark" 'the next release is ready' || fail "announced-again: not ready"
close announced-again
"$patchgen" open "$work/patch" --sign-key "$key" >/dev/null || fail "patchgen open"
"$patchgen" verify "$work/patch" --public-key "$public_key" >/dev/null || fail "patchgen verify after open"
before=$(access_count)
update day
sent=$(data_bytes_since "$before")
game_logged "$mark" '\[Launcher\]\[preload\] 3 file(s), [0-9]* bytes, taken from the pre-load' || fail "day: nothing taken from the pre-load"
[ "$sent" -lt $((change / 50)) ] || fail "day: $sent bytes of game data on the wire for a change of $change"
[ ! -e "$staging" ] || fail "day: $staging is still there"
pass "opened: the day's update took 3 files from the pre-load; $sent bytes of game data on the wire for a $change-byte change"
echo "e2e_compressed: PASS"
