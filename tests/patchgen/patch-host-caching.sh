#!/usr/bin/env bash
# The shipped nginx configuration (tools/patchgen/nginx/patch-host.conf) on 127.0.0.1 over plain HTTP: what each
# path of the current release and of a coming one in a folder below it is answered with, and how long caches may
# keep it. Game files named like objects, manifests or history/ stay game files. Exits 77 (skipped) without nginx.
# Usage: patch-host-caching.sh PORT WORKDIR
set -euo pipefail
port=$1 work=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../e2e/lib.sh"
command -v nginx >/dev/null && command -v curl >/dev/null || { echo "nginx or curl missing: skipped"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work/run"
sha=$(printf 'x' | sha256sum | cut -c1-64)
p="$work/patch"
for tree in "" next/ releases/2.1/; do
  for f in manifest.txt manifest.zst files/data/a.txt delta/$sha.kcix packs/$sha.kpak z/$sha.zst z/$sha.kzix \
           history/releases.txt z/$sha.zst.patchgen-tmp files/z/$sha.zst files/history/x files/manifest.txt \
           files/next/z/$sha.zst; do
    mkdir -p "$(dirname "$p/$tree$f")"
    printf '%s' "$tree$f" >"$p/$tree$f"
  done
done

write_nginx_conf "$here/../../tools/patchgen/nginx/patch-host.conf" "$work/run/nginx.conf" "$work/run" "$p" "$port" http
trap stop_nginx EXIT
start_nginx "$work/run/nginx.conf" "$work/run"
wait_for 20 "nginx on port $port" curl -sf -o /dev/null "http://127.0.0.1:$port/patch/manifest.txt"

no_cache="200 no-cache"
immutable="200 public, max-age=31536000, immutable"
for tree in "" next/ releases/2.1/; do
  while read -r path expected; do
    url="http://127.0.0.1:$port/patch/$tree$path"
    got=$(curl -s -o "$work/body" -D - "$url" | tr -d '\r' |
          awk '/^HTTP/ { status = $2 } tolower($0) ~ /^cache-control:/ { sub(/^[^:]*: */, ""); cc = $0 }
               END { print status (cc == "" ? "" : " " cc) }')
    case $expected in no_cache) want=$no_cache ;; immutable) want=$immutable ;; *) want=$expected ;; esac
    [ "$got" = "$want" ] || fail "$tree$path: got '$got', expected '$want'"
    case $want in 200*) [ "$(cat "$work/body")" = "$tree$path" ] || fail "$tree$path: another file's bytes" ;; esac
  done <<LIST
manifest.txt no_cache
manifest.zst no_cache
files/data/a.txt no_cache
delta/$sha.kcix immutable
packs/$sha.kpak immutable
z/$sha.zst immutable
z/$sha.kzix immutable
history/releases.txt 404
z/$sha.zst.patchgen-tmp 404
files/z/$sha.zst no_cache
files/history/x no_cache
files/manifest.txt no_cache
files/next/z/$sha.zst no_cache
LIST
done
echo "ok: every path of the current and the coming releases answered as configured"
