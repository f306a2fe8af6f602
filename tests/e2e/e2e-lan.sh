#!/usr/bin/env bash
# End-to-end runs of the real launcher in the two networks players sit in besides their own line, all on
# this machine, with the operator's host a real nginx over HTTPS:
#   1. an internet café: a second nginx runs the shipped lan-cache.conf in front of the operator's host and
#      the seats name it in LocalMirrors. Two seats (fresh game folders) install the same patch one after
#      the other: the second one's files come from the cache, and the origin only answers revalidations
#      (304); one file corrupted in the cache's store still arrives right, from the origin, and the cache is
#      dropped for the rest of that run; with the cache down every file comes from the origin and the cache
#      costs one failed connection;
#   2. a proxy: the player's Internet settings name a real tinyproxy, and the update goes through it; a
#      proxy that asks for a login the launcher cannot give shows "代理伺服器需要驗證".
# Usage: e2e-lan.sh --port N --probe probe_child.exe --updater-probe updater_probe.exe --trust-ca trust_ca.exe
#                   --work DIR [--launcher Launcher.exe --key KEY.pem]   (the build's launcher for this port and
#                   its key; else built here)
#   N: the origin; N+1 the café cache; N+2 tinyproxy; N+3 tinyproxy that asks for a password.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
. "$here/lib.sh"

while [ $# -gt 0 ]; do
  case "$1" in
    --port) port=$2 ;; --probe) probe=$2 ;; --updater-probe) updater_probe=$2 ;; --trust-ca) trust_ca=$2 ;;
    --work) work=$2 ;;
    --launcher) E2E_LAUNCHER=$2 ;; --key) E2E_KEY=$2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done
cache_port=$((port + 1))
proxy_port=$((port + 2))
auth_port=$((port + 3))

fail() { echo "FAIL: $*" >&2; [ -n "${DISPLAY:-}" ] && /usr/bin/import -silent -window root "$work/failure.png" 2>/dev/null; exit 1; }
pass() { echo "ok: $*"; }

mkdir -p "$work"
rm -rf "$work/run" "$work/game-src" "$work/seat-"* "$work/patch" "$work/wineprefix" "$work/failure.png"
mkdir -p "$work/run/origin" "$work/run/cache" "$work/game-src"

export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if locale -a 2>/dev/null | grep -qi '^zh_TW\.utf-\?8$'; then export LC_ALL=zh_TW.UTF-8; fi

launcher_pid= origin_pid= cache_pid= proxy_pid= auth_pid=
stop_pid() { if [ -n "$1" ]; then kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; fi; }
cleanup() {
  [ -n "$launcher_pid" ] && kill "$launcher_pid" 2>/dev/null || true
  wineserver -k 2>/dev/null || true   # this test's own prefix only
  stop_pid "$origin_pid"; stop_pid "$cache_pid"; stop_pid "$proxy_pid"; stop_pid "$auth_pid"
  stop_xvfb
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# The publisher and a launcher built to trust a key made now and to fetch from this test's origin.
build_publisher_and_launcher "$src" "$work" "$port"

# The patch: one big file with a chunk index, a few small ones, non-ASCII names.
g="$work/game-src"
mkdir -p "$g/資料/地圖" "$g/Data"
head -c $((6 * 1024 * 1024)) /dev/urandom >"$g/Data/world.pak"
head -c 300000 /dev/urandom >"$g/資料/地圖/第一章.map"
printf '歡迎來到 Selmora\n' >"$g/資料/說明.txt"
printf 'readme\r\n' >"$g/README.txt"
printf 'percent' >"$g/Data/100%%.pak"
cp "$probe" "$g/Zorexe.exe"
cp "$probe" "$g/Setup.exe"
"$patchgen" build -q --game "$g" --launcher "$launcher" --out "$work/patch" --version 1.0.0 \
  --sign-key "$work/run/manifest-key.pem" --sequence 100 || fail "patchgen build"
patch_bytes=$(find "$work/patch/files" -type f ! -name Launcher.exe -printf '%s\n' | awk '{ s += $1 } END { print s }')

# The operator's host: the shipped patch-host.conf over HTTPS.
make_test_ca "$work/run/origin/tls"
write_nginx_conf "$src/tools/patchgen/nginx/patch-host.conf" "$work/run/origin/nginx.conf" "$work/run/origin" \
  "$work/patch" "$port" https
start_nginx "$work/run/origin/nginx.conf" "$work/run/origin"
origin_pid=$NGINX_PID
wait_for 20 "the origin on port $port" curl -sf -o /dev/null --cacert "$work/run/origin/tls/ca.pem" \
  "https://localhost:$port/patch/manifest.txt"

# The café's cache: the shipped lan-cache.conf with this test's origin, port, store and CA.
write_cache_conf() {
  local run=$work/run/cache
  mkdir -p "$run/tmp" "$run/store"
  {
    nginx_conf_head "$run"
    sed -e "s|/var/cache/korvane|$run/store|" \
        -e "s|^\( *\)listen 80;|\1listen 127.0.0.1:$cache_port;|" \
        -e "s|proxy_pass https://patch.example.com;|proxy_pass https://localhost:$port;|" \
        -e "s|patch.example.com|localhost|g" \
        -e "s|/etc/ssl/certs/ca-certificates.crt|$work/run/origin/tls/ca.pem|" \
        "$src/tools/patchgen/nginx/lan-cache.conf"
    echo "}"
  } >"$run/nginx.conf"
}
write_cache_conf
start_cache() {
  start_nginx "$work/run/cache/nginx.conf" "$work/run/cache"
  cache_pid=$NGINX_PID
  wait_for 20 "the cache on port $cache_port" curl -sf -o /dev/null "http://127.0.0.1:$cache_port/patch/files/README.txt"
}
start_cache
status=$(curl -s -o /dev/null -D - "http://127.0.0.1:$cache_port/patch/files/README.txt" | tr -d '\r' |
  sed -n 's/^X-Cache-Status: //Ip')
[ -n "$status" ] || fail "the cache sends no X-Cache-Status"
pass "the cache runs lan-cache.conf in front of the origin (X-Cache-Status: $status)"

start_xvfb "$work/run"
"$src/scripts/wine-prefix-setup"
wine "$trust_ca" "$(winepath -w "$work/run/origin/tls/ca.der")" || fail "trusting the test CA in the prefix"
wine reg add 'HKLM\Software\Korvane\Launcher' /v LocalMirrors /t REG_SZ \
  /d "http://127.0.0.1:$cache_port/patch/" /f >/dev/null || fail "setting LocalMirrors"

seat_matches() {
  local f rel
  while IFS= read -r -d '' f; do
    rel=${f#"$g"/}
    cmp -s "$f" "$work/$1/$rel" || return 1
  done < <(find "$g" -type f -print0)
}
origin_lines() { wc -l <"$work/run/origin/access.log"; }
# The origin's answers since line $1 for paths below files/, delta/, packs/ or z/ (compressed copies):
# "status bytes" each.
origin_file_answers() {
  tail -n +"$(( $1 + 1 ))" "$work/run/origin/access.log" | grep -E '"GET /patch/(files|delta|packs|z)/' |
    awk '{ print $9, $10 }' || true
}
sum_bytes() { awk '{ s += $2 } END { print s + 0 }'; }
run_seat() {
  local seat=$1
  rm -rf "$work/$seat"; mkdir -p "$work/$seat"
  cp "$launcher" "$work/$seat/Launcher.exe"
  (cd "$work/$seat" && WINEDEBUG=-all,+debugstr exec wine Launcher.exe) >"$work/run/$seat.log" 2>&1 &
  launcher_pid=$!
}
logged() { grep -q "$2" "$work/run/$1.log"; }
launcher_gone() { ! kill -0 "$launcher_pid" 2>/dev/null; }
close_launcher() {
  xdotool mousemove --window "$win" $((868 + 16)) $((0 + 19)) click 1
  wait_for 30 "the launcher to close ($1)" launcher_gone || fail "$1: the launcher did not close"
  launcher_pid=
}
install_seat() {
  run_seat "$1"
  wait_for 60 "the launcher window ($1)" has_launcher_window || fail "no launcher window ($1)"
  win=$(launcher_window)
  wait_for 240 "the start button in colour ($1)" start_button_ready "$win" || fail "$1: start button stayed grey"
  seat_matches "$1" || fail "$1: game files differ from the published ones"
  close_launcher "$1"
}
mirror_line() { grep -o "local mirror http://127.0.0.1:$cache_port/patch/: [0-9]* bytes of [0-9]*" "$work/run/$1.log" | head -n1; }

# 1a. The first seat fills the cache.
before=$(origin_lines)
install_seat seat-1
first_bytes=$(origin_file_answers "$before" | sum_bytes)
pass "seat 1: installed through the cache; the origin sent $first_bytes bytes of files ($patch_bytes published)"

# 1b. The second seat: the origin only revalidates.
due_at=$((SECONDS + 2))   # the cache's copies of files/ are then due for revalidation
copies_due() { [ "$SECONDS" -ge "$due_at" ]; }
wait_for 10 "the cache's copies to be due" copies_due
before=$(origin_lines)
install_seat seat-2
answers=$(origin_file_answers "$before")
second_bytes=$(printf '%s\n' "$answers" | sum_bytes)
statuses=$(printf '%s\n' "$answers" | awk 'NF { print $1 }' | sort -u | tr '\n' ' ')
[ -z "$answers" ] || [ "$statuses" = "304 " ] || fail "seat 2: the origin answered $statuses for files"
[ "$second_bytes" -lt $((patch_bytes / 100)) ] || fail "seat 2: the origin sent $second_bytes bytes of files"
line=$(mirror_line seat-2)
[ -n "$line" ] || fail "seat 2: no local mirror line"
n=$(echo "$line" | awk '{ print $(NF-3) }'); m=$(echo "$line" | awk '{ print $NF }')
[ "$n" -eq "$m" ] && [ "$m" -gt 0 ] || fail "seat 2: $line"
pass "seat 2: the origin answered only ${statuses:-nothing}with $second_bytes bytes of files (seat 1: $first_bytes); $line"
echo "measured: origin file bytes seat1=$first_bytes seat2=$second_bytes patch=$patch_bytes"

# 1c. One file corrupted in the cache's store: it arrives right all the same, from the origin. The map is
# above the size that goes into packs, so it is fetched by its own name; the small files come in packs.
map_url="/patch/files/%E8%B3%87%E6%96%99/%E5%9C%B0%E5%9C%96/%E7%AC%AC%E4%B8%80%E7%AB%A0.map"
map_file="$g/資料/地圖/第一章.map"
entry=$(grep -rl --null -a "KEY: $map_url" "$work/run/cache/store" | tr -d '\0' | head -n1)
[ -n "$entry" ] || fail "the map is not in the cache's store"
size=$(stat -c %s "$entry")
printf 'X' | dd of="$entry" bs=1 seek=$((size - 2)) conv=notrunc status=none
cmp -s <(curl -s "http://127.0.0.1:$cache_port$map_url") "$map_file" &&
  fail "the corrupted store entry is not served"
before=$(origin_lines)
install_seat seat-3
tail -n +"$((before + 1))" "$work/run/origin/access.log" | grep -q "\"GET $map_url HTTP/[0-9.]*\" 200 " ||
  fail "seat 3: the map was not fetched from the origin"
logged seat-3 'local mirror' || fail "seat 3: no local mirror line"
logged seat-3 "local mirror http://127.0.0.1:$cache_port/patch/ failed (a file with another digest): skipped" ||
  fail "seat 3: the cache was not dropped at the wrong file"
[ -z "$(find "$work/seat-3" -name '*.part')" ] || fail "seat 3: a .part is left"
pass "seat 3: a wrong file from the cache never took its name; it came from the origin, the cache was dropped; $(mirror_line seat-3)"

# 1d. The cache is down.
stop_pid "$cache_pid"; cache_pid=
before=$(origin_lines)
install_seat seat-4
logged seat-4 "local mirror http://127.0.0.1:$cache_port/patch/ unreachable: skipped" ||
  fail "seat 4: the cache's failure is not logged"
failures=$(grep -cE 'WinHttpSendRequest failed for (files|z)/' "$work/run/seat-4.log" || true)
[ "$failures" -le 4 ] || fail "seat 4: $failures failed connections to the cache, expected one per worker at most"
files=$(find "$g" -type f | wc -l)
# A file comes whole, by its own name or as a compressed copy under z/ (the programs compress).
got=$(tail -n +"$((before + 1))" "$work/run/origin/access.log" | grep -cE '"GET /patch/(files|z)/[^"]*" 200 ' || true)
[ "$got" -ge "$files" ] || fail "seat 4: the origin served $got files of $files"
pass "seat 4: cache down, $failures failed connection(s) to it, every file from the origin"

# 2. The player's proxy, as the browser's settings name it: DefaultConnectionSettings (version 0x46, a
#    counter, flags 3 = direct + proxy, then the proxy, the bypass list and the script URL, each as a
#    length and its bytes).
wine reg delete 'HKLM\Software\Korvane\Launcher' /v LocalMirrors /f >/dev/null || fail "removing LocalMirrors"
le32() { printf '%02x%02x%02x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255)); }
use_proxy() {
  local hex
  hex="$(le32 0x46)$(le32 "$2")$(le32 3)$(le32 ${#1})$(printf '%s' "$1" | xxd -p | tr -d '\n')$(le32 0)$(le32 0)"
  hex="$hex$(printf '0%.0s' $(seq 64))"
  wine reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections' \
    /v DefaultConnectionSettings /t REG_BINARY /d "$hex" /f >/dev/null || fail "setting the user's proxy"
}
start_tinyproxy() {   # PORT NAME [EXTRA LINE]
  printf '%s\n' "Port $1" "Listen 127.0.0.1" "Timeout 60" "LogFile \"$work/run/$2.log\"" "LogLevel Info" \
    "MaxClients 20" "Allow 127.0.0.1" "ConnectPort $port" ${3:+"$3"} >"$work/run/$2.conf"
  tinyproxy -d -c "$work/run/$2.conf" >"$work/run/$2.out" 2>&1 &
  echo $!
}
proxy_pid=$(start_tinyproxy "$proxy_port" tinyproxy)
wait_for 20 "tinyproxy on port $proxy_port" curl -sf -o /dev/null -x "http://127.0.0.1:$proxy_port" \
  --cacert "$work/run/origin/tls/ca.pem" "https://localhost:$port/patch/manifest.txt"
use_proxy "127.0.0.1:$proxy_port" 1
connects=$(grep -c "CONNECT localhost:$port" "$work/run/tinyproxy.log" || true)
install_seat seat-5
logged seat-5 "proxy for https://localhost:$port/patch/: 127.0.0.1:$proxy_port (the user's proxy)" ||
  fail "seat 5: the launcher did not choose the user's proxy"
after=$(grep -c "CONNECT localhost:$port" "$work/run/tinyproxy.log" || true)
[ "$after" -gt "$connects" ] || fail "seat 5: tinyproxy saw no CONNECT to the patch host"
pass "seat 5: installed through tinyproxy ($((after - connects)) CONNECT requests in its log)"

# A proxy that wants a password: the run ends with the status, and the log names the proxy and the scheme.
# Asked over http: Wine's WinHTTP fails a CONNECT that the proxy answers with 407 in WinHttpSendRequest,
# without the answer, so an https request could not show it here.
auth_pid=$(start_tinyproxy "$auth_port" tinyproxy-auth "BasicAuth player secret")
wait_for 20 "tinyproxy with a password on port $auth_port" sh -c \
  "curl -s -o /dev/null -w '%{http_code}' -x http://127.0.0.1:$auth_port http://localhost:$port/ | grep -q 407"
use_proxy "127.0.0.1:$auth_port" 2
mkdir -p "$work/seat-6"
cp "$updater_probe" "$work/seat-6/Launcher.exe"
(cd "$work/seat-6" && WINEDEBUG=-all,+debugstr wine Launcher.exe --host "http://localhost:$port/patch/" \
  --key "$public_key") >"$work/run/seat-6.log" 2>&1 || fail "seat 6: the updater probe failed"
messages=$(cat "$work/seat-6/Launcher.exe.messages.txt")
printf '%s\n' "$messages" | grep -qx 'S 代理伺服器需要驗證' || fail "seat 6: no proxy status in: $messages"
printf '%s\n' "$messages" | grep -qx 'F 1' || fail "seat 6: the start button would not stay off: $messages"
logged seat-6 "proxy 127.0.0.1:$auth_port asks for Basic authentication" || fail "seat 6: the scheme is not logged"
grep -q "Request (file descriptor [0-9]*): GET http://localhost:$port/patch/manifest\.zst" "$work/run/tinyproxy-auth.log" ||
  fail "seat 6: tinyproxy saw no request"
pass "seat 6: a proxy that asks for a password ends the run with 代理伺服器需要驗證; proxy and scheme logged"
echo "e2e_lan: PASS"
