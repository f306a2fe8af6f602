#!/usr/bin/env bash
# The Windows build of patchgen (CNG digests, wide paths) under Wine: build and verify a small game with
# a Chinese file name, catch a tampered served file, refuse a device name. Digests are checked against
# sha256sum. Usage: windows-exe.sh PATCHGEN.exe WORKDIR
set -euo pipefail
exe=$1 work=$2
here=$(cd "$(dirname "$0")" && pwd)
run() { "$here/../../scripts/wine-run" "$exe" "$@"; }
win() { printf 'Z:%s' "${1//\//\\}"; }
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work/game/Data/資料" "$work/bad"
printf 'abc' >"$work/game/Data/abc.txt"
: >"$work/game/empty.bin"
head -c 200000 /dev/urandom >"$work/game/Data/資料/地圖.map"
head -c 4096 /dev/urandom >"$work/Launcher.exe"

run build --quiet --game "$(win "$work/game")" --launcher "$(win "$work/Launcher.exe")" --out "$(win "$work/patch")" \
  --version 2.0 || fail "build exited $?"
manifest="$work/patch/manifest.txt"
[ -f "$manifest" ] || fail "no manifest.txt"
expect() { grep -qxF "$1" "$manifest" || { cat "$manifest" >&2; fail "manifest lacks: $1"; }; }
expect "VERSION=2.0"
expect "FILE|Data/abc.txt|3|ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"
expect "FILE|empty.bin|0|e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"
expect "FILE|Data/資料/地圖.map|200000|$(sha256sum "$work/game/Data/資料/地圖.map" | cut -d' ' -f1)"
expect "LAUNCHER_SELF|4096|$(sha256sum "$work/Launcher.exe" | cut -d' ' -f1)"
cmp -s "$work/patch/files/Data/資料/地圖.map" "$work/game/Data/資料/地圖.map" || fail "served file differs"
cmp -s "$work/patch/files/Launcher.exe" "$work/Launcher.exe" || fail "served launcher differs"
echo "ok: build writes the manifest and the served tree"

run verify --quiet "$(win "$work/patch")" || fail "verify of a good tree exited $?"
rm "$work/patch/files/Data/abc.txt" && printf 'abd' >"$work/patch/files/Data/abc.txt"
set +e
out=$(run verify "$(win "$work/patch")" 2>&1)
rc=$?
set -e
[ "$rc" -eq 1 ] || fail "verify of a tampered tree exited $rc"
grep -q "abc.txt" <<<"$out" || fail "verify did not name the tampered file: $out"
echo "ok: verify passes a good tree and names a tampered file"

printf 'x' >"$work/bad/CON.txt"
set +e
out=$(run build --game "$(win "$work/bad")" --launcher "$(win "$work/Launcher.exe")" --out "$(win "$work/badpatch")" 2>&1)
rc=$?
set -e
[ "$rc" -ne 0 ] || fail "a device name was accepted"
grep -q "CON.txt" <<<"$out" || fail "the refusal does not name the file: $out"
[ ! -f "$work/badpatch/manifest.txt" ] || fail "a manifest was written for a refused tree"
echo "ok: a device name is refused by name and nothing is written"
echo "patchgen.exe: PASS"
