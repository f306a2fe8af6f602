#!/usr/bin/env bash
# The Windows build of patchgen (CNG digests, signatures and key files, wide paths) under Wine: build and
# verify a small game with a Chinese file name, catch a tampered served file, refuse a device name, sign
# with keys of its own and of OpenSSL's making. Digests are checked against sha256sum, key files and
# signatures against the openssl command, chunk indices byte for byte against the native patchgen's, which is
# built in NATIVE_BUILD_DIR. Usage: windows-exe.sh PATCHGEN.exe WORKDIR NATIVE_BUILD_DIR
set -euo pipefail
exe=$1 work=$2 native_build=$3
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
# Chunk indices: one random, one cut at maxSize throughout, one just too small for an index.
head -c 3500000 /dev/urandom >"$work/game/Data/資料/世界.pak"
head -c 1048576 /dev/zero >"$work/game/zeros.bin"
head -c 1048575 /dev/urandom >"$work/game/under.bin"

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

# The native build the suite made (KORVANE_PATCHGEN), or one made here.
native=${KORVANE_PATCHGEN:-}
if [ -z "$native" ] || [ ! -x "$native" ]; then
  env -u CC -u CXX -u CMAKE_TOOLCHAIN_FILE cmake -S "$here/../.." -B "$native_build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null &&
    cmake --build "$native_build" --target patchgen -j2 >/dev/null || fail "cannot build the native patchgen"
  native="$native_build/patchgen"
fi
"$native" build --quiet --game "$work/game" --launcher "$work/Launcher.exe" --out "$work/native" \
  --version 2.0 || fail "native build exited $?"
[ "$(grep -c '^DELTA|' "$manifest")" -eq 2 ] || { cat "$manifest" >&2; fail "not exactly two DELTA lines"; }
[ "$(ls "$work/patch/delta" | wc -l)" -eq 2 ] || fail "not exactly two indices under delta/"
cmp "$manifest" "$work/native/manifest.txt" || fail "the native patchgen writes another manifest"
diff -r "$work/patch/delta" "$work/native/delta" || fail "the native patchgen writes other chunk indices"
echo "ok: patchgen.exe writes the chunk indices the native patchgen writes, byte for byte"
grep -q "^ZFILE|zeros.bin|" "$manifest" && grep -q "^ZCHUNKS|zeros.bin|" "$manifest" ||
  { cat "$manifest" >&2; fail "no compressed copies of zeros.bin"; }
diff -r "$work/patch/z" "$work/native/z" || fail "the native patchgen writes other compressed copies"
echo "ok: patchgen.exe writes the compressed copies the native patchgen writes, byte for byte"

# A second release with one changed file: a patch from the first, which verify decodes with history/'s copy.
pak="$work/game/Data/資料/世界.pak"
cp "$pak" "$work/pak.new" && printf 'CHANGED' | dd of="$work/pak.new" bs=1 seek=1000 conv=notrunc status=none
mv "$work/pak.new" "$pak"
run build --quiet --game "$(win "$work/game")" --launcher "$(win "$work/Launcher.exe")" --out "$(win "$work/patch")" \
  --version 2.1 || fail "second build exited $?"
grep -q "^ZPATCH|Data/資料/世界.pak|" "$manifest" || { cat "$manifest" >&2; fail "no patch of the changed file"; }
out=$(run verify "$(win "$work/patch")") || fail "verify of the second release exited $?: $out"
grep -q "not checked" <<<"$out" && fail "verify did not check the patch: $out"
echo "ok: a patch from the release before, checked by verify"

run verify --quiet "$(win "$work/patch")" || fail "verify of a good tree exited $?"
index=$(ls "$work/patch/delta" | head -n 1)
cp "$work/patch/delta/$index" "$work/index.kcix"
printf 'X' | dd of="$work/patch/delta/$index" bs=1 seek=100 conv=notrunc status=none
set +e
out=$(run verify "$(win "$work/patch")" 2>&1)
rc=$?
set -e
[ "$rc" -eq 1 ] || fail "verify of a tampered index exited $rc"
grep -q "delta/$index.*digest differs" <<<"$out" || fail "verify did not name the tampered index: $out"
mv "$work/index.kcix" "$work/patch/delta/$index"
rm "$work/patch/files/Data/abc.txt" && printf 'abd' >"$work/patch/files/Data/abc.txt"
set +e
out=$(run verify "$(win "$work/patch")" 2>&1)
rc=$?
set -e
[ "$rc" -eq 1 ] || fail "verify of a tampered tree exited $rc"
grep -q "abc.txt" <<<"$out" || fail "verify did not name the tampered file: $out"
echo "ok: verify passes a good tree and names a tampered index and a tampered file"

printf 'x' >"$work/bad/CON.txt"
set +e
out=$(run build --game "$(win "$work/bad")" --launcher "$(win "$work/Launcher.exe")" --out "$(win "$work/badpatch")" 2>&1)
rc=$?
set -e
[ "$rc" -ne 0 ] || fail "a device name was accepted"
grep -q "CON.txt" <<<"$out" || fail "the refusal does not name the file: $out"
[ ! -f "$work/badpatch/manifest.txt" ] || fail "a manifest was written for a refused tree"
echo "ok: a device name is refused by name and nothing is written"

# r || s in hex as a DER ECDSA signature file, for the openssl command.
der_integer() {
  local h=$1
  while [ "${h:0:2}" = "00" ] && [ ${#h} -gt 2 ]; do h=${h:2}; done
  [ $((16#${h:0:2})) -ge 128 ] && h="00$h"
  printf '02%02x%s' $((${#h} / 2)) "$h"
}
signature_der() {
  local body
  body="$(der_integer "${1:0:64}")$(der_integer "${1:64:64}")"
  printf '30%02x%s' $((${#body} / 2)) "$body" | xxd -r -p >"$2"
}

run keygen --out "$(win "$work/key.pem")" >"$work/keygen.txt" || fail "keygen exited $?"
public=$(sed -n 's/^public key: //p' "$work/keygen.txt" | tr -d '\r')
[ "$(openssl pkey -in "$work/key.pem" -pubout -outform DER | tail -c 65 | xxd -p -c 65)" = "$public" ] ||
  fail "OpenSSL reads another key from the file keygen wrote"
run build --quiet --game "$(win "$work/game")" --launcher "$(win "$work/Launcher.exe")" --out "$(win "$work/signed")" \
  --sign-key "$(win "$work/key.pem")" --sequence 9 || fail "signed build exited $?"
signed="$work/signed/manifest.txt"
grep -qx "SEQUENCE=9" "$signed" || fail "no SEQUENCE=9 line"
head -n -1 "$signed" >"$work/signed-part.txt"
signature_der "$(tail -n 1 "$signed" | cut -d'|' -f3)" "$work/signature.der"
openssl pkey -in "$work/key.pem" -pubout -out "$work/public.pem"
openssl dgst -sha256 -verify "$work/public.pem" -signature "$work/signature.der" "$work/signed-part.txt" >/dev/null ||
  fail "OpenSSL does not accept the signature patchgen.exe wrote"
run verify --quiet "$(win "$work/signed")" --public-key "$public" || fail "verify of its own signature exited $?"
echo "ok: keygen, a signed build and verify agree with OpenSSL"

openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$work/openssl-key.pem" 2>/dev/null
openssl_public=$(openssl pkey -in "$work/openssl-key.pem" -pubout -outform DER | tail -c 65 | xxd -p -c 65)
run build --quiet --game "$(win "$work/game")" --launcher "$(win "$work/Launcher.exe")" --out "$(win "$work/signed2")" \
  --sign-key "$(win "$work/openssl-key.pem")" || fail "build with an OpenSSL key exited $?"
run verify --quiet "$(win "$work/signed2")" --public-key "$openssl_public" || fail "verify with the OpenSSL key exited $?"
set +e
out=$(run verify "$(win "$work/signed2")" --public-key "$public" 2>&1)
rc=$?
set -e
[ "$rc" -eq 1 ] || fail "verify against the wrong key exited $rc"
echo "ok: a key made by OpenSSL signs, and the wrong key is caught"
echo "patchgen.exe: PASS"
