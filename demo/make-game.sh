#!/usr/bin/env bash
# Makes the demo game: a few files of different sizes, folders with Chinese names, a short music loop in
# BGM/BG.MP3, and the stand-in programs Zorexe.exe and Setup.exe.
# Usage: make-game.sh OUTDIR STAND_IN.exe [BIG_MIB] [INSTALLED_MIB]
# Data/textures.pak (INSTALLED_MIB, default 320) stands for the part of the game a player already has: the
# demo puts it in the game directory beforehand, so the launcher's file check has something to read.
# OUTDIR is emptied first. The music is generated with sox and encoded with lame.
set -euo pipefail
out=$1 stand_in=$2 big_mib=${3:-48} installed_mib=${4:-320}

rm -rf "$out"
mkdir -p "$out/Data" "$out/BGM" "$out/資料/地圖" "$out/資料/角色"

# The big archive: random bytes, so the download stage is long enough to see.
head -c $((big_mib * 1024 * 1024)) /dev/urandom >"$out/Data/world.pak"
head -c $((installed_mib * 1024 * 1024)) /dev/urandom >"$out/Data/textures.pak"
head -c $((300 * 1024)) /dev/urandom >"$out/資料/地圖/第一章.map"
head -c $((120 * 1024)) /dev/urandom >"$out/資料/角色/勇者.dat"
printf '歡迎來到 Selmora。\r\n這是示範用的遊戲資料。\r\n' >"$out/資料/說明.txt"
printf '[Client]\r\nWidth=1280\r\nHeight=720\r\n' >"$out/Data/client.ini"

# An eight-second loop: a soft chord with a slow fade in and out, mono, 64 kbit/s.
wav=$(mktemp --suffix=.wav)
trap 'rm -f "$wav"' EXIT
sox -n -r 22050 -c 1 -b 16 "$wav" synth 8 sine 220 sine 277.18 sine 329.63 remix - \
  tremolo 0.5 40 fade t 1 8 1 gain -n -6
lame --quiet -b 64 -m m "$wav" "$out/BGM/BG.MP3"

cp "$stand_in" "$out/Zorexe.exe"
cp "$stand_in" "$out/Setup.exe"
