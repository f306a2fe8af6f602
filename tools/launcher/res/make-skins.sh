#!/usr/bin/env bash
# Builds the launcher skin images (logo, window background, buttons,
# progress bar, icon) into this directory with ImageMagick 6.
#
#   tools/launcher/res/make-skins.sh            # writes next to this script
#   tools/launcher/res/make-skins.sh OUTDIR     # writes somewhere else
#
# Every output is an 8-bit RGBA PNG (colour type 6) of a fixed size, because
# the launcher blits them with per-pixel alpha at fixed positions.
# Edit the colours and fonts below and run again; the result is deterministic.
set -euo pipefail

CONVERT=/usr/bin/convert       # ImageMagick 6 from Debian

# ---------------------------------------------------------------- fonts
FONT_CJK=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc              # captions
FONT_TITLE=/usr/share/fonts/truetype/dejavu/DejaVuSerifCondensed-Bold.ttf
FONT_EMBLEM=/usr/share/fonts/truetype/dejavu/DejaVuSerif-Bold.ttf

# ---------------------------------------------------------------- texts
TITLE_TEXT="SELMORA"
SUBTITLE_TEXT="賽爾莫拉 Online"
CAP_COMMUNITY="加入社群"
CAP_SETTINGS="遊戲設定"
CAP_START="開始遊戲"

# ---------------------------------------------------------------- gold / metal
GOLD_HI="#fffbe6"      # brightest highlight of the metal
GOLD_LIGHT="#ffe38a"
GOLD="#f2b632"
GOLD_DEEP="#a4620c"    # dark band in the middle of the metal
GOLD_EDGE="#4a2604"    # outline around gold shapes
GLOW_WARM="#ff9a2a"    # outer glow of the logo and the start button
SILVER="#e9ecf5"

# ---------------------------------------------------------------- sky / scenery
SKY_TOP="#050820"
SKY_HIGH="#151a45"
SKY_MID="#3a2a62"
SKY_LOW="#93466a"
SKY_HORIZON="#f29a4e"
SUN_GLOW="#ffc46b"
MOON="#fff6dc"
CLOUD_TINT="#b87ab0"
MOUNTAIN_FAR="#6b4a7e"
MOUNTAIN_MID="#332a58"
CASTLE="#1c1838"
CASTLE_WINDOW="#ffcf6e"
MOUNTAIN_NEAR="#141330"
FOREGROUND="#07071a"
FOG="#d79ab4"
STATUS_STRIP="#03030c" # darkening under the progress bar

# ---------------------------------------------------------------- buttons
# community button: deep blue body, gold rim
COMM_TOP="#2f5a9a";  COMM_BOT="#102650";  COMM_RIM="#e8c065";  COMM_GLOW="#5fa8ff"
# settings button: dark slate body, gold rim, gold gear
SET_TOP="#3a3f5c";   SET_BOT="#171a2c";   SET_RIM="#d9b25a";   SET_GLOW="#ffd27a"
# start button: warm orange-gold
START_TOP="#ffc650"; START_BOT="#c4520c"; START_RIM="#fff0b0"; START_GLOW="$GLOW_WARM"
CAPTION="#fff8e8"
CAPTION_OUTLINE="#1a0c02"
START_CAPTION="#fffdf4"
START_OUTLINE="#5a2200"
# menu glyph: three gold bars, a slate plate under the pointer
MENU_GLYPH="#e8d2a0"; MENU_HOVER_TOP="$SET_TOP"; MENU_HOVER_BOT="$SET_BOT"; MENU_RIM="$SET_RIM"
# close button
CLOSE_GLYPH="#d9d2c4"; CLOSE_HOVER_TOP="#d8433a"; CLOSE_HOVER_BOT="#8e1612"

# ---------------------------------------------------------------- progress bar
TRACK_FILL="#07070f"; TRACK_EDGE="#6b5a3a"
FILL_LEFT="#c2490a";  FILL_MID="#f39a1c";  FILL_RIGHT="#ffd45a"

# ---------------------------------------------------------------- misc
SEED=20261208          # plasma / star noise seed; keeps the output reproducible
DRAW_LOGO_ON_BACKGROUND=1

# ============================================================================
OUT=${1:-$(cd "$(dirname "$0")" && pwd)}
mkdir -p "$OUT"
T=$(mktemp -d)
trap '[ -n "${KEEP_TMP:-}" ] || rm -rf "$T"' EXIT   # KEEP_TMP=1 keeps the intermediate layers

for f in "$FONT_CJK" "$FONT_TITLE" "$FONT_EMBLEM"; do
  [ -f "$f" ] || { echo "missing font: $f (see scripts/install-deps)" >&2; exit 1; }
done

C() { "$CONVERT" "$@"; }

# Writes a PNG as 8-bit RGBA without time stamps so rebuilds are byte-identical.
save() { # src dst
  C "$1" -strip -define png:exclude-chunks=date,time -depth 8 "PNG32:$2"
}

# White rounded rectangle on black, the size of the whole canvas.
rr_mask() { # W H x0 y0 x1 y1 r out
  C -size "$1x$2" xc:black -fill white -stroke none \
    -draw "roundrectangle $3,$4 $5,$6 $7,$7" "$8"
}

# Solid colour with the given grey image as alpha.
paint() { # colour mask out [opacity 0..1]
  local op=${4:-1}
  C "$2" -alpha off \( +clone -fill "$1" -colorize 100 \) +swap \
    -compose CopyOpacity -composite -channel A -evaluate multiply "$op" +channel "$3"
}

# ============================================================================
# logo.png 700x300 - title lettering over a transparent background
make_logo() {
  local W=700 H=300
  # letter shapes
  C -size ${W}x${H} xc:black -font "$FONT_TITLE" -pointsize 116 -kerning 3 \
    -fill white -gravity north -annotate +0+48 "$TITLE_TEXT" "$T/l_mask.png"
  # outline = dilated letters
  C "$T/l_mask.png" -morphology Dilate Disk:4 "$T/l_outline.png"
  # metal: banded vertical gradient across the letter height
  C -size ${W}x48 xc:"$GOLD_HI" \( -size ${W}x40 gradient:"$GOLD_HI"-"$GOLD_LIGHT" \) \
    \( -size ${W}x22 gradient:"$GOLD_LIGHT"-"$GOLD" \) \( -size ${W}x22 gradient:"$GOLD"-"$GOLD_DEEP" \) \
    \( -size ${W}x10 gradient:"$GOLD_DEEP"-"$GOLD" \) \( -size ${W}x28 gradient:"$GOLD"-"$GOLD_LIGHT" \) \
    \( -size ${W}x130 gradient:"$GOLD_LIGHT"-"$GOLD_DEEP" \) -append -crop ${W}x${H}+0+0 +repage "$T/l_metal.png"
  # bevel light from the upper left
  C "$T/l_mask.png" -blur 0x2.5 -shade 120x40 -auto-level "$T/l_shade.png"
  C "$T/l_metal.png" \( "$T/l_shade.png" -level 10%,100% \) -compose Overlay -composite \
    "$T/l_mask.png" -alpha off -compose CopyOpacity -composite "$T/l_face.png"
  paint "$GOLD_EDGE" "$T/l_outline.png" "$T/l_edge.png"
  # thin bright rim between outline and face
  C "$T/l_mask.png" -morphology Dilate Disk:1.5 "$T/l_rim_m.png"
  paint "$GOLD_LIGHT" "$T/l_rim_m.png" "$T/l_rim.png"
  # glows
  C "$T/l_outline.png" -morphology Dilate Disk:3 -blur 0x10 "$T/l_glow_m.png"
  paint "$GLOW_WARM" "$T/l_glow_m.png" "$T/l_glow.png" 0.85
  C "$T/l_outline.png" -blur 0x26 -level 0,55% "$T/l_halo_m.png"
  paint "#ff6a10" "$T/l_halo_m.png" "$T/l_halo.png" 0.35
  # drop shadow
  C "$T/l_outline.png" -roll +3+6 -blur 0x4 "$T/l_shadow_m.png"
  paint "#000000" "$T/l_shadow_m.png" "$T/l_shadow.png" 0.75

  # subtitle with decorative rules and diamonds
  local sy=210
  C -size ${W}x${H} xc:black -font "$FONT_CJK" -pointsize 34 -fill white -gravity north \
    -annotate +0+$sy "$SUBTITLE_TEXT" "$T/l_sub_m.png"
  local tw
  tw=$(C -font "$FONT_CJK" -pointsize 34 label:"$SUBTITLE_TEXT" -format %w info:)
  local lx1=$(( W/2 - tw/2 - 18 )) rx0=$(( W/2 + tw/2 + 18 )) ly=$(( sy + 24 ))
  C -size ${W}x${H} xc:black -fill white -stroke none \
    -draw "polygon $((lx1-150)),$ly $((lx1-10)),$((ly-2)) $lx1,$ly $((lx1-10)),$((ly+2))" \
    -draw "polygon $((rx0+150)),$ly $((rx0+10)),$((ly-2)) $rx0,$ly $((rx0+10)),$((ly+2))" \
    -draw "polygon $((lx1-160)),$ly $((lx1-154)),$((ly-6)) $((lx1-148)),$ly $((lx1-154)),$((ly+6))" \
    -draw "polygon $((rx0+160)),$ly $((rx0+154)),$((ly-6)) $((rx0+148)),$ly $((rx0+154)),$((ly+6))" \
    "$T/l_rule_m.png"
  C "$T/l_sub_m.png" "$T/l_rule_m.png" -compose Lighten -composite "$T/l_sub_all.png"
  C -size ${W}x${sy} xc:"$SILVER" \( -size ${W}x22 gradient:"#ffffff-$GOLD_LIGHT" \) \
    \( -size ${W}x30 gradient:"$GOLD_LIGHT"-"$GOLD" \) \( -size ${W}x$((H-sy-52)) xc:"$GOLD" \) \
    -append "$T/l_sub_col.png"
  C "$T/l_sub_col.png" "$T/l_sub_all.png" -alpha off -compose CopyOpacity -composite "$T/l_sub.png"
  C "$T/l_sub_all.png" -morphology Dilate Disk:2 "$T/l_sub_out_m.png"
  paint "#1a0a00" "$T/l_sub_out_m.png" "$T/l_sub_out.png" 0.9
  C "$T/l_sub_out_m.png" -blur 0x8 "$T/l_sub_glow_m.png"
  paint "$GLOW_WARM" "$T/l_sub_glow_m.png" "$T/l_sub_glow.png" 0.55

  # sparkle on the top right of the title
  local bb sx sy2
  bb=$(C "$T/l_mask.png" -trim -format '%X %Y %w' info:)
  read -r sx sy2 tw <<<"${bb//+/}"
  local px=$(( sx + tw - 30 )) py=$(( sy2 + 6 ))
  C -size ${W}x${H} xc:black -fill white \
    -draw "polygon $((px-34)),$py $((px-3)),$((py-3)) $px,$((py-30)) $((px+3)),$((py-3)) $((px+34)),$py $((px+3)),$((py+3)) $px,$((py+30)) $((px-3)),$((py+3))" \
    "$T/l_spark_m.png"
  C "$T/l_spark_m.png" -blur 0x6 -level 0,40% "$T/l_spark_g.png"
  paint "#fff2c0" "$T/l_spark_m.png" "$T/l_spark.png"
  paint "$GLOW_WARM" "$T/l_spark_g.png" "$T/l_spark_glow.png" 0.7

  C -size ${W}x${H} xc:none \
    "$T/l_halo.png" -compose over -composite \
    "$T/l_glow.png" -composite \
    "$T/l_shadow.png" -composite \
    "$T/l_edge.png" -composite \
    "$T/l_rim.png" -composite \
    "$T/l_face.png" -composite \
    "$T/l_sub_glow.png" -composite \
    "$T/l_sub_out.png" -composite \
    "$T/l_sub.png" -composite \
    "$T/l_spark_glow.png" -composite \
    "$T/l_spark.png" -composite \
    "$T/logo.png"
  # fade everything out before the edges so nothing is cut by the window border
  C -size ${W}x${H} xc:white -fill black -draw "rectangle 0,0 $((W-1)),3" \
    -draw "rectangle 0,$((H-4)) $((W-1)),$((H-1))" -draw "rectangle 0,0 3,$((H-1))" \
    -draw "rectangle $((W-4)),0 $((W-1)),$((H-1))" -blur 0x3 "$T/l_edgefade.png"
  C "$T/logo.png" \( +clone -alpha extract "$T/l_edgefade.png" -compose Multiply -composite \) \
    -alpha off -compose CopyOpacity -composite "$T/logo.png"
  save "$T/logo.png" "$OUT/logo.png"
}

# ============================================================================
# background.png 924x574 - dusk sky, castle on a hill, layered mountains

# "x,y x,y ..." outline of a ridge, closed along the bottom of the canvas.
# The height falls off towards VALLEY_X so the middle of the scene stays open.
ridge() { # base amp f1 p1 f2 p2 f3 p3 valley_x valley_depth
  awk -v b="$1" -v a="$2" -v f1="$3" -v p1="$4" -v f2="$5" -v p2="$6" \
      -v f3="$7" -v p3="$8" -v vx="$9" -v vd="${10}" '
  function rg(t) { t = sin(t); return 1 - (t < 0 ? -t : t) }   # sharp-peaked wave
  BEGIN {
    for (x = -10; x <= 934; x += 4) {
      h = 0.5 * (1 + sin(x * f1 + p1)) * 0.42 + rg(x * f2 + p2) * 0.33 + rg(x * f3 + p3) * 0.15 \
        + rg(x * f3 * 2.7 + p1) * 0.07 + rg(x * f3 * 6.1 + p2) * 0.03
      d = (x - vx) / 462; if (d < 0) d = -d; if (d > 1) d = 1
      h = h * (1 - vd * (1 - d))
      printf "%d,%d ", x, b - a * h
    }
    printf "934,600 -10,600"
  }'
}

make_background() {
  local W=924 H=574
  local CX=482 CY=350          # sun / castle centre

  # sky
  C \( -size ${W}x120 gradient:"$SKY_TOP"-"$SKY_HIGH" \) \
    \( -size ${W}x110 gradient:"$SKY_HIGH"-"$SKY_MID" \) \
    \( -size ${W}x70  gradient:"$SKY_MID"-"$SKY_LOW" \) \
    \( -size ${W}x70  gradient:"$SKY_LOW"-"$SKY_HORIZON" \) \
    \( -size ${W}x204 xc:"$SKY_HORIZON" \) -append "$T/b_sky.png"

  # stars, fading out towards the horizon
  C -size ${W}x${H} xc:gray50 -seed $SEED +noise Random -channel G -separate +channel \
    -threshold 99.8% "$T/b_star_pts.png"
  C -size ${W}x${H} xc:gray50 -seed $((SEED + 1)) +noise Random -channel R -separate +channel \
    -threshold 99.96% -blur 0x1.3 -level 0,22% "$T/b_star_big.png"
  C "$T/b_star_pts.png" -evaluate multiply 0.7 "$T/b_star_big.png" -compose Lighten -composite \
    \( -size ${W}x${H} gradient:white-black -level 0,60% \) -compose Multiply -composite "$T/b_star_m.png"
  paint "#fff4e0" "$T/b_star_m.png" "$T/b_stars.png" 0.9

  # moon with a soft halo
  local mx=170 my=92
  C -size ${W}x${H} xc:black -fill white -draw "circle $mx,$my $((mx+22)),$my" \
    -fill black -draw "circle $((mx+11)),$((my-6)) $((mx+31)),$((my-6))" -blur 0x0.8 "$T/b_moon_m.png"
  paint "$MOON" "$T/b_moon_m.png" "$T/b_moon.png"
  C -size ${W}x${H} xc:black -fill white -draw "circle $mx,$my $((mx+26)),$my" -blur 0x22 "$T/b_moonglow_m.png"
  paint "$MOON" "$T/b_moonglow_m.png" "$T/b_moonglow.png" 0.35

  # warm glow rising behind the castle
  C -size 1400x1000 radial-gradient:white-black -evaluate pow 2.2 \
    -crop ${W}x${H}+$((700-CX))+$((500-CY)) +repage "$T/b_sun_m.png"
  paint "$SUN_GLOW" "$T/b_sun_m.png" "$T/b_sun.png" 0.85

  # light rays fanning up from the glow
  local rays="" ang
  for ang in -78 -61 -47 -33 -21 -9 4 15 28 41 55 70 84; do
    rays+=$(awk -v a="$ang" -v cx=$CX -v cy=$CY 'BEGIN {
      pi = 3.14159265; r = 900; w = 0.035 + (a < 0 ? -a : a) % 3 * 0.012
      t = (a - 90) * pi / 180
      printf "-draw \"polygon %d,%d %d,%d %d,%d\" ", cx, cy, cx + r*cos(t-w), cy + r*sin(t-w), cx + r*cos(t+w), cy + r*sin(t+w)
    }')
  done
  eval C -size ${W}x${H} xc:black -fill white $rays -blur 0x7 "$T/b_rays_raw.png"
  C -size 1300x1000 radial-gradient:white-black -crop ${W}x${H}+$((650-CX))+$((500-CY)) +repage \
    "$T/b_rays_fade.png"
  C "$T/b_rays_raw.png" "$T/b_rays_fade.png" -compose Multiply -composite "$T/b_rays_m.png"
  paint "#ffd9a0" "$T/b_rays_m.png" "$T/b_rays.png" 0.22

  # drifting clouds in the upper-middle sky
  C -size 462x150 -seed $SEED plasma:gray50-gray50 -colorspace gray -blur 0x6 -auto-level \
    -level 45%,90% -resize ${W}x200\! "$T/b_cloud_raw.png"
  C -size ${W}x${H} xc:black "$T/b_cloud_raw.png" -geometry +0+150 -compose over -composite \
    \( -size ${W}x${H} xc:black -fill white -draw "rectangle 0,190 $W,300" -blur 0x40 \) \
    -compose Multiply -composite "$T/b_cloud_m.png"
  paint "$CLOUD_TINT" "$T/b_cloud_m.png" "$T/b_clouds.png" 0.55

  # far mountains, hazy
  C -size ${W}x${H} xc:black -fill white -draw "polygon $(ridge 392 130 0.011 1.3 0.016 0.4 0.031 2.1 $CX 0.6)" \
    "$T/b_far_m.png"
  C \( -size ${W}x290 xc:"$MOUNTAIN_FAR" \) \( -size ${W}x284 gradient:"$MOUNTAIN_FAR"-"$FOG" \) -append \
    "$T/b_far_m.png" -alpha off -compose CopyOpacity -composite "$T/b_far.png"
  # low fog over them
  C -size ${W}x${H} xc:black -fill white -draw "rectangle 0,360 $W,400" -blur 0x18 "$T/b_fog1_m.png"
  paint "$FOG" "$T/b_fog1_m.png" "$T/b_fog1.png" 0.35

  # castle on its rock
  C -size ${W}x${H} xc:black -fill white -stroke none \
    -draw "polygon 330,430 372,392 404,372 432,360 468,354 512,355 548,360 584,374 620,396 660,430" \
    -draw "rectangle 398,326 566,362" \
    -draw "rectangle 388,310 404,362" -draw "polygon 384,311 396,288 408,311" \
    -draw "rectangle 560,306 576,362" -draw "polygon 556,307 568,283 580,307" \
    -draw "rectangle 418,292 442,362" -draw "polygon 413,293 430,256 447,293" \
    -draw "rectangle 520,282 544,362" -draw "polygon 515,283 532,244 549,283" \
    -draw "rectangle 456,268 508,362" -draw "polygon 450,269 482,218 514,269" \
    -draw "rectangle 472,240 492,270" -draw "polygon 468,241 482,200 496,241" \
    -draw "line 482,200 482,186" -draw "polygon 482,186 496,190 482,194" \
    "$T/b_castle_base.png"
  # crenellations along the wall and tower tops
  local cren="" x
  for x in $(seq 400 9 560); do cren+="-draw \"rectangle $x,320 $((x+4)),326\" "; done
  for x in 458 468 478 488 498; do cren+="-draw \"rectangle $x,263 $((x+5)),268\" "; done
  eval C "$T/b_castle_base.png" -fill white $cren "$T/b_castle_m.png"
  C \( -size ${W}x300 xc:"$CASTLE" \) \( -size ${W}x274 gradient:"$CASTLE"-"$MOUNTAIN_NEAR" \) -append \
    "$T/b_castle_m.png" -alpha off -compose CopyOpacity -composite "$T/b_castle.png"
  # rim light on the castle edges facing the glow
  C "$T/b_castle_m.png" \( +clone -roll +0+2 -negate \) -compose Multiply -composite -blur 0x0.6 \
    "$T/b_castle_rim_m.png"
  paint "#ffb070" "$T/b_castle_rim_m.png" "$T/b_castle_rim.png" 0.55
  # lit windows
  C -size ${W}x${H} xc:black -fill white \
    -draw "rectangle 477,284 480,292" -draw "rectangle 485,284 488,292" \
    -draw "rectangle 479,306 484,316" -draw "rectangle 428,306 431,313" \
    -draw "rectangle 530,296 533,303" -draw "rectangle 394,322 396,327" \
    -draw "rectangle 566,318 568,323" -draw "rectangle 466,336 468,341" \
    -draw "rectangle 498,334 500,339" -draw "rectangle 440,340 442,344" \
    -draw "rectangle 524,338 526,342" "$T/b_win_pts.png"
  C "$T/b_win_pts.png" \( +clone -blur 0x3 -level 0,45% \) -compose Lighten -composite "$T/b_win_m.png"
  paint "$CASTLE_WINDOW" "$T/b_win_m.png" "$T/b_windows.png"

  # middle range, framing the castle from both sides
  C -size ${W}x${H} xc:black -fill white -draw "polygon $(ridge 456 230 0.008 4.0 0.012 1.0 0.029 0.3 $CX 0.85)" \
    "$T/b_mid_m.png"
  C \( -size ${W}x250 xc:"$MOUNTAIN_MID" \) \( -size ${W}x324 gradient:"$MOUNTAIN_MID-#5a3e6e" \) -append \
    "$T/b_mid_m.png" -alpha off -compose CopyOpacity -composite "$T/b_mid.png"
  C -size ${W}x${H} xc:black -fill white -draw "rectangle 0,425 $W,450" -blur 0x16 "$T/b_fog2_m.png"
  paint "$FOG" "$T/b_fog2_m.png" "$T/b_fog2.png" 0.22

  # near hills and the dark foreground where the buttons sit
  C -size ${W}x${H} xc:black -fill white -draw "polygon $(ridge 474 110 0.013 2.2 0.019 5.1 0.043 1.7 $CX 0.7)" \
    "$T/b_near_m.png"
  paint "$MOUNTAIN_NEAR" "$T/b_near_m.png" "$T/b_near.png"
  C -size ${W}x${H} xc:black -fill white -draw "polygon $(ridge 505 34 0.017 0.6 0.045 2.9 0.09 0.9 $CX 0.3)" \
    "$T/b_fore_m.png"
  paint "$FOREGROUND" "$T/b_fore_m.png" "$T/b_fore.png"

  # vignette and a darker strip for the status text and progress bar
  C -size ${W}x${H} radial-gradient:white-black -evaluate pow 0.5 \
    +level 25%,100% "$T/b_vig.png"
  C -size ${W}x${H} xc:black \( -size ${W}x74 gradient:black-white \) -geometry +0+500 -compose over \
    -composite -level 0,100% "$T/b_strip_m.png"
  paint "$STATUS_STRIP" "$T/b_strip_m.png" "$T/b_strip.png" 0.8

  C "$T/b_sky.png" \
    "$T/b_stars.png" -compose over -composite \
    "$T/b_clouds.png" -compose over -composite \
    "$T/b_sun.png" -compose screen -composite \
    "$T/b_rays.png" -compose screen -composite \
    "$T/b_far.png" -compose over -composite \
    "$T/b_fog1.png" -composite \
    "$T/b_castle.png" -composite \
    "$T/b_castle_rim.png" -composite \
    "$T/b_windows.png" -composite \
    "$T/b_mid.png" -composite \
    "$T/b_fog2.png" -composite \
    "$T/b_near.png" -composite \
    "$T/b_fore.png" -composite \
    "$T/b_vig.png" -compose Multiply -composite \
    "$T/b_moonglow.png" -compose screen -composite \
    "$T/b_moon.png" -compose over -composite \
    "$T/b_strip.png" -compose over -composite \
    "$T/bg.png"
  if [ "$DRAW_LOGO_ON_BACKGROUND" = 1 ]; then
    C "$T/bg.png" \( "$OUT/logo.png" -resize 46% \) -gravity north -geometry +0+4 -compose over -composite \
      "$T/bg.png"
  fi
  C "$T/bg.png" -alpha off "$T/bg.png"
  save "$T/bg.png" "$OUT/background.png"
}

# ============================================================================
# buttons: rounded plate with rim, gloss and caption; three states
#   normal  - plate with a soft outer glow
#   hover   - brighter plate, stronger and wider glow, brighter caption
#   pressed - darker plate moved down 2 px, inner shadow, faint glow

# Draws one button state: glow, plate, gloss, rim, caption and an optional icon
# (white-on-black mask the size of the button, drawn in gold above the caption).
make_plate() { # out W H margin radius top bot rim glow state caption pointsize text_dy text_col outline_col [icon_mask]
  local out=$1 W=$2 H=$3 m=$4 r=$5 top=$6 bot=$7 rim=$8 glow=$9 state=${10}
  local cap=${11} ps=${12} tdy=${13} tcol=${14} ocol=${15} icon=${16:-}
  # glow: blur sigma as a fraction of the margin so it fades out inside the image
  local dy=0 bright=100 gop=0.6 gblur=0.28 glevel=100 capcol=$tcol
  case $state in
    hover)   bright=115; gop=1.0;  gblur=0.36; glevel=40 ;;
    pressed) bright=78;  gop=0.3;  gblur=0.22; dy=2 ;;
  esac
  gblur=$(awk -v m="$m" -v f="$gblur" 'BEGIN { print m * f }')
  local x0=$m y0=$((m + dy)) x1=$((W - 1 - m)) y1=$((H - 1 - m + dy))
  [ "$state" = pressed ] && y0=$((m + dy)) && y1=$((H - 1 - m + dy - 1))
  local p
  p=$T/p_$(basename "$out" .png)

  rr_mask $W $H $x0 $y0 $x1 $y1 $r "$p.m.png"
  # outer glow
  C "$p.m.png" -blur 0x$gblur -level 0,$glevel% \
    \( -size ${W}x${H} xc:black -fill white -draw "rectangle 2,2 $((W - 3)),$((H - 3))" -blur 0x1.2 \) \
    -compose Multiply -composite "$p.g.m.png"
  paint "$glow" "$p.g.m.png" "$p.glow.png" $gop
  # plate body
  C \( -size ${W}x$((y0 + 2)) xc:"$top" \) \( -size ${W}x$((y1 - y0 - 2)) gradient:"$top"-"$bot" \) \
    \( -size ${W}x$((H - y1 + 1)) xc:"$bot" \) -append -crop ${W}x${H}+0+0 +repage \
    -modulate $bright,100,100 "$p.m.png" -alpha off -compose CopyOpacity -composite "$p.body.png"
  # gloss on the upper half
  local mid=$(( (y0 + y1) / 2 ))
  rr_mask $W $H $((x0 + 3)) $((y0 + 3)) $((x1 - 3)) $mid $((r > 4 ? r - 3 : 1)) "$p.gl0.png"
  C "$p.gl0.png" \( -size ${W}x${H} xc:black \( -size ${W}x$((mid - y0)) gradient:gray42-gray0 \) \
    -geometry +0+$y0 -compose over -composite \) -compose Multiply -composite "$p.gl.m.png"
  local glossop=0.5; [ "$state" = pressed ] && glossop=0.2
  paint "#ffffff" "$p.gl.m.png" "$p.gloss.png" $glossop
  # inner shadow for the pressed state, light bottom bounce otherwise
  if [ "$state" = pressed ]; then
    C "$p.m.png" \( +clone -roll +0+5 -blur 0x6 -negate \) -compose Multiply -composite \
      -level 0,55% "$p.in.m.png"
    paint "#000000" "$p.in.m.png" "$p.inner.png" 0.85
  else
    C "$p.m.png" \( +clone -roll +0-3 -blur 0x3 -negate \) -compose Multiply -composite "$p.in.m.png"
    paint "#ffffff" "$p.in.m.png" "$p.inner.png" 0.18
  fi
  # rim: dark outer line, coloured rim, thin light inner line
  C -size ${W}x${H} xc:black -fill none -stroke white -strokewidth 3 \
    -draw "roundrectangle $x0,$y0 $x1,$y1 $r,$r" "$p.rim_o.m.png"
  paint "#0a0604" "$p.rim_o.m.png" "$p.rim_o.png" 0.55
  C -size ${W}x${H} xc:black -fill none -stroke white -strokewidth 1.6 \
    -draw "roundrectangle $((x0 + 1)),$((y0 + 1)) $((x1 - 1)),$((y1 - 1)) $((r - 1)),$((r - 1))" "$p.rim.m.png"
  C \( -size ${W}x$((H / 2)) gradient:"#ffffff-$rim" \) \( -size ${W}x$((H - H / 2)) gradient:"$rim"-"$rim" \) \
    -append -modulate $bright,100,100 "$p.rim.m.png" -alpha off -compose CopyOpacity -composite "$p.rim.png"
  C -size ${W}x${H} xc:black -fill none -stroke white -strokewidth 1 \
    -draw "roundrectangle $((x0 + 3)),$((y0 + 3)) $((x1 - 3)),$((y1 - 3)) $((r - 3)),$((r - 3))" "$p.rim_i.m.png"
  paint "#ffffff" "$p.rim_i.m.png" "$p.rim_i.png" 0.22
  # small diamonds in the middle of the left and right rim
  local cy=$(( (y0 + y1) / 2 ))
  C -size ${W}x${H} xc:black -fill white \
    -draw "polygon $((x0 - 4)),$cy $x0,$((cy - 5)) $((x0 + 4)),$cy $x0,$((cy + 5))" \
    -draw "polygon $((x1 - 4)),$cy $x1,$((cy - 5)) $((x1 + 4)),$cy $x1,$((cy + 5))" "$p.dia.m.png"
  paint "$rim" "$p.dia.m.png" "$p.dia.png"
  [ "$W" -lt 150 ] && C -size ${W}x${H} xc:none "$p.dia.png"

  # caption (plus optional icon), with dark outline and drop shadow
  [ "$state" = hover ] && capcol="#ffffff"
  local tyo=$(( tdy + dy ))
  C -size ${W}x${H} xc:black -font "$FONT_CJK" -pointsize "$ps" -fill white -gravity center \
    -annotate +0+$tyo "$cap" "$p.t.m.png"
  if [ -n "$icon" ]; then
    C "$icon" -roll +0+$dy "$p.i.m.png"
  else
    C -size ${W}x${H} xc:black "$p.i.m.png"
  fi
  C "$p.t.m.png" "$p.i.m.png" -compose Lighten -composite "$p.ti.m.png"
  C "$p.ti.m.png" -morphology Dilate Disk:1.6 "$p.o.m.png"
  paint "$ocol" "$p.o.m.png" "$p.outline.png" 0.9
  C "$p.o.m.png" -roll +1+2 -blur 0x1.5 "$p.s.m.png"
  paint "#000000" "$p.s.m.png" "$p.shadow.png" 0.6
  paint "$capcol" "$p.t.m.png" "$p.text.png"
  if [ -n "$icon" ]; then
    C \( -size ${W}x${H} gradient:"$GOLD_HI"-"$GOLD" \) -modulate $bright,100,100 \
      "$p.i.m.png" -alpha off -compose CopyOpacity -composite "$p.icon.png"
  else
    C -size ${W}x${H} xc:none "$p.icon.png"
  fi
  # caption glow on hover
  C "$p.o.m.png" -blur 0x4 "$p.tg.m.png"
  local tgop=0; [ "$state" = hover ] && tgop=0.5
  paint "$glow" "$p.tg.m.png" "$p.tglow.png" $tgop

  C -size ${W}x${H} xc:none \
    "$p.glow.png" -compose over -composite \
    "$p.body.png" -composite \
    "$p.inner.png" -composite \
    "$p.gloss.png" -composite \
    "$p.rim_o.png" -composite \
    "$p.rim.png" -composite \
    "$p.rim_i.png" -composite \
    "$p.dia.png" -composite \
    "$p.tglow.png" -composite \
    "$p.shadow.png" -composite \
    "$p.outline.png" -composite \
    "$p.text.png" -composite \
    "$p.icon.png" -composite \
    "$p.out.png"
  save "$p.out.png" "$out"
}

# gear icon mask (white on black) centred at cx,cy
gear_mask() { # W H cx cy r_outer r_inner r_hole teeth out
  local pts
  pts=$(awk -v cx="$3" -v cy="$4" -v ro="$5" -v ri="$6" -v n="$8" 'BEGIN {
    pi = 3.14159265
    for (i = 0; i < n; i++) {
      a = 2 * pi * i / n; s = pi / n
      printf "%.2f,%.2f ", cx + ri * cos(a - 0.55*s), cy + ri * sin(a - 0.55*s)
      printf "%.2f,%.2f ", cx + ro * cos(a - 0.32*s), cy + ro * sin(a - 0.32*s)
      printf "%.2f,%.2f ", cx + ro * cos(a + 0.32*s), cy + ro * sin(a + 0.32*s)
      printf "%.2f,%.2f ", cx + ri * cos(a + 0.55*s), cy + ri * sin(a + 0.55*s)
    }
  }')
  C -size "$1x$2" xc:black -fill white -draw "polygon $pts" -draw "circle $3,$4 $(awk -v c="$3" -v r="$6" 'BEGIN{print c + r * 0.93}'),$4" \
    -fill black -draw "circle $3,$4 $(awk -v c="$3" -v r="$7" 'BEGIN{print c + r}'),$4" "$9"
}

make_buttons() {
  local s
  gear_mask 109 97 54 33 17 12.5 5 8 "$T/gear.png"
  for s in normal hover pressed; do
    make_plate "$OUT/btn_community_$s.png" 300 95 9 14 "$COMM_TOP" "$COMM_BOT" "$COMM_RIM" "$COMM_GLOW" $s \
      "$CAP_COMMUNITY" 30 -1 "$CAPTION" "$CAPTION_OUTLINE"
    make_plate "$OUT/btn_start_$s.png" 363 108 10 18 "$START_TOP" "$START_BOT" "$START_RIM" "$START_GLOW" $s \
      "$CAP_START" 38 -1 "$START_CAPTION" "$START_OUTLINE"
    make_plate "$OUT/btn_settings_$s.png" 109 97 6 12 "$SET_TOP" "$SET_BOT" "$SET_RIM" "$SET_GLOW" $s \
      "$CAP_SETTINGS" 17 22 "$CAPTION" "$CAPTION_OUTLINE" "$T/gear.png"
  done
}


# ============================================================================
# The title-bar glyphs (close, menu): a glyph over its shadow, and under the pointer a rounded plate with a rim.

# The glyph from its white mask $p.x.m.png: $p.x.png in its colour, $p.xs.png its soft dark shadow.
glyph_layers() { # colour p
  paint "$1" "$2.x.m.png" "$2.x.png"
  C "$2.x.m.png" -morphology Dilate Disk:1.5 -blur 0x1 "$2.xs.m.png"
  paint "#000000" "$2.xs.m.png" "$2.xs.png" 0.7
}

# The plate: its mask $p.m.png, its gradient body $p.plate.png and its rim $p.rim.png.
plate_layers() { # W H x0 y0 x1 y1 top bot rim rim_opacity p
  local W=$1 H=$2 x0=$3 y0=$4 x1=$5 y1=$6 p=${11}
  rr_mask $W $H $x0 $y0 $x1 $y1 6 "$p.m.png"
  C \( -size ${W}x${H} gradient:"$7"-"$8" \) "$p.m.png" -alpha off -compose CopyOpacity -composite "$p.plate.png"
  C -size ${W}x${H} xc:black -fill none -stroke white -strokewidth 1 \
    -draw "roundrectangle $x0,$y0 $x1,$y1 6,6" "$p.r.m.png"
  paint "$9" "$p.r.m.png" "$p.rim.png" ${10}
}

# Fully transparent layers, where a state has no plate.
empty_layers() { # W H p name...
  local W=$1 H=$2 p=$3 f
  shift 3
  for f in "$@"; do C -size ${W}x${H} xc:none "$p.$f.png"; done
}

# The layers $p.<name>.png, bottom first, over a transparent canvas, saved as `out`.
stack_layers() { # W H p out name...
  local W=$1 H=$2 p=$3 out=$4 f args=()
  shift 4
  for f in "$@"; do args+=("$p.$f.png" -compose over -composite); done
  C -size ${W}x${H} xc:none "${args[@]}" "$p.out.png"
  save "$p.out.png" "$out"
}

# A title-bar button btn_<name>_<state>.png in its three states: the glyph in the state's colour over its shadow
# and, under the pointer, a plate in the gradient top..bot (pressed: its own gradient, everything 1 px lower).
# <name>_glyph draws the glyph's white mask $p.x.m.png and <name>_plate makes the plate's layers; both see W, H,
# s, p, dy, top and bot. The layers are stacked bottom first; a state without a plate has them empty.
title_button() { # name W H colour_normal colour_hover colour_pressed top bot pressed_top pressed_bot layer...
  local name=$1 W=$2 H=$3 s
  local -A colour=([normal]=$4 [hover]=$5 [pressed]=$6)
  local hover_top=$7 hover_bot=$8 pressed_top=$9 pressed_bot=${10}
  shift 10
  local layers=("$@")
  for s in normal hover pressed; do
    local p=$T/${name}_$s dy=0 top=$hover_top bot=$hover_bot
    if [ $s = pressed ]; then dy=1; top=$pressed_top; bot=$pressed_bot; fi
    "${name}_glyph"
    glyph_layers "${colour[$s]}" "$p"
    if [ $s = normal ]; then
      empty_layers $W $H "$p" "${layers[@]:0:${#layers[@]}-2}"
    else
      "${name}_plate"
    fi
    stack_layers $W $H "$p" "$OUT/btn_${name}_$s.png" "${layers[@]}"
  done
}

# close button 32x38: an X drawn with two strokes
close_glyph() {
  local cx=16 cy=$((18 + dy)) k=6
  C -size ${W}x${H} xc:black -fill none -stroke white -strokewidth 2.6 \
    -draw "stroke-linecap round line $((cx - k)),$((cy - k)) $((cx + k)),$((cy + k))" \
    -draw "stroke-linecap round line $((cx + k)),$((cy - k)) $((cx - k)),$((cy + k))" "$p.x.m.png"
}

close_plate() {
  plate_layers $W $H 2 $((3 + dy)) 29 $((34 + dy)) "$top" "$bot" "#ffb0a0" 0.5 "$p"
  C "$p.m.png" -blur 0x1.5 \( -size ${W}x${H} xc:black -fill white \
    -draw "rectangle 1,1 $((W - 2)),$((H - 2))" -blur 0x0.8 \) -compose Multiply -composite "$p.g.m.png"
  paint "$top" "$p.g.m.png" "$p.glow.png" 0.6
  if [ $s = pressed ]; then
    C "$p.m.png" \( +clone -roll +0+3 -blur 0x3 -negate \) -compose Multiply -composite "$p.in.m.png"
    paint "#000000" "$p.in.m.png" "$p.inner.png" 0.7
  else
    empty_layers $W $H "$p" inner
  fi
}

make_close() {
  title_button close 32 38 "$CLOSE_GLYPH" "#ffffff" "#f0dcdc" "$CLOSE_HOVER_TOP" "$CLOSE_HOVER_BOT" "#9a2620" "#5a0c0a" \
    glow plate inner rim xs x
}

# menu glyph 40x30: three bars, like the close button's plate under the pointer
menu_glyph() {
  local cx=20 cy=$((15 + dy)) k=8
  C -size ${W}x${H} xc:black -fill none -stroke white -strokewidth 2.4 \
    -draw "stroke-linecap round line $((cx - k)),$((cy - 6)) $((cx + k)),$((cy - 6))" \
    -draw "stroke-linecap round line $((cx - k)),$cy $((cx + k)),$cy" \
    -draw "stroke-linecap round line $((cx - k)),$((cy + 6)) $((cx + k)),$((cy + 6))" "$p.x.m.png"
}

menu_plate() {
  plate_layers $W $H 2 $((2 + dy)) 37 $((27 + dy)) "$top" "$bot" "$MENU_RIM" 0.7 "$p"
}

make_menu() {
  title_button menu 40 30 "$MENU_GLYPH" "$GOLD_HI" "$GOLD_LIGHT" "$MENU_HOVER_TOP" "$MENU_HOVER_BOT" "$SET_BOT" \
    "#0b0d18" plate rim xs x
}

# ============================================================================
# progress bar 527x13: recessed track and the warm fill drawn over it
make_progress() {
  local W=527 H=13 r=6
  # track
  rr_mask $W $H 0 0 $((W - 1)) $((H - 1)) $r "$T/t.m.png"
  C \( -size ${W}x${H} gradient:"#000000-$TRACK_FILL" \) "$T/t.m.png" -alpha off \
    -compose CopyOpacity -composite -channel A -evaluate multiply 0.9 +channel "$T/t.body.png"
  C "$T/t.m.png" \( +clone -roll +0+3 -blur 0x2 -negate \) -compose Multiply -composite "$T/t.in.m.png"
  paint "#000000" "$T/t.in.m.png" "$T/t.inner.png" 0.9
  C -size ${W}x${H} xc:black -fill none -stroke white -strokewidth 1 \
    -draw "roundrectangle 0.5,0.5 $((W - 1)).5,$((H - 1)).5 $r,$r" "$T/t.e.m.png"
  C \( -size ${W}x${H} gradient:"#000000-$TRACK_EDGE" \) "$T/t.e.m.png" -alpha off \
    -compose CopyOpacity -composite "$T/t.edge.png"
  C -size ${W}x${H} xc:none "$T/t.body.png" -compose over -composite "$T/t.inner.png" -composite \
    "$T/t.edge.png" -composite "$T/t.out.png"
  save "$T/t.out.png" "$OUT/progress_track.png"

  # fill: inset one pixel so the groove's edge stays visible around it
  rr_mask $W $H 1 1 $((W - 2)) $((H - 2)) $((r - 1)) "$T/f.m.png"
  C \( -size ${H}x$((W / 2)) gradient:"$FILL_RIGHT"-"$FILL_MID" \) \
    \( -size ${H}x$((W - W / 2)) gradient:"$FILL_MID"-"$FILL_LEFT" \) -append -rotate 90 "$T/f.h.png"
  # vertical shading: light top band, darker bottom
  C -size ${W}x${H} gradient:gray85-gray35 "$T/f.v.png"
  C "$T/f.h.png" "$T/f.v.png" -compose Overlay -composite "$T/f.col.png"
  C "$T/f.col.png" "$T/f.m.png" -alpha off -compose CopyOpacity -composite "$T/f.body.png"
  C -size ${W}x${H} xc:black -fill white -draw "roundrectangle 3,2 $((W - 4)),4 2,2" -blur 0x0.7 "$T/f.hl.m.png"
  paint "#fffbe8" "$T/f.hl.m.png" "$T/f.hl.png" 0.6
  C -size ${W}x${H} xc:none "$T/f.body.png" -compose over -composite "$T/f.hl.png" -composite "$T/f.out.png"
  save "$T/f.out.png" "$OUT/progress_fill.png"
}

# ============================================================================
# icon.png 256x256: round gold medallion with a serif "S"; transparent corners
make_icon() {
  local W=256 c=128
  C -size ${W}x${W} xc:black -fill white -draw "circle $c,$c $c,6" "$T/i.outer.png"
  C -size ${W}x${W} xc:black -fill white -draw "circle $c,$c $c,22" "$T/i.inner.png"
  # ring: metallic gradient, bevelled
  C \( -size ${W}x$((W / 2)) gradient:"$GOLD_HI"-"$GOLD" \) \( -size ${W}x$((W / 2)) gradient:"$GOLD"-"$GOLD_DEEP" \) \
    -append \( "$T/i.outer.png" -blur 0x3 -shade 120x35 -auto-level \) -compose Overlay -composite \
    "$T/i.outer.png" -alpha off -compose CopyOpacity -composite "$T/i.ring.png"
  # dark enamel centre with a soft light
  C -size ${W}x${W} radial-gradient:"#3c4f9a-#0b0f2e" "$T/i.inner.png" -alpha off \
    -compose CopyOpacity -composite "$T/i.enamel.png"
  C "$T/i.inner.png" \( +clone -roll +0+6 -blur 0x6 -negate \) -compose Multiply -composite "$T/i.in.m.png"
  paint "#000000" "$T/i.in.m.png" "$T/i.inshadow.png" 0.8
  # engraved line inside the ring
  C -size ${W}x${W} xc:black -fill none -stroke white -strokewidth 2 -draw "circle $c,$c $c,14" "$T/i.line.m.png"
  paint "$GOLD_EDGE" "$T/i.line.m.png" "$T/i.line.png" 0.7
  # letter
  C -size ${W}x${W} xc:black -font "$FONT_EMBLEM" -pointsize 190 -fill white -gravity center \
    -annotate +0+4 "${TITLE_TEXT:0:1}" "$T/i.s.m.png"
  C "$T/i.s.m.png" -morphology Dilate Disk:4 "$T/i.so.m.png"
  paint "$GOLD_EDGE" "$T/i.so.m.png" "$T/i.so.png"
  C "$T/i.so.m.png" -blur 0x9 "$T/i.sg.m.png"
  paint "$GLOW_WARM" "$T/i.sg.m.png" "$T/i.sglow.png" 0.8
  C \( -size ${W}x90 gradient:"$GOLD_HI"-"$GOLD_LIGHT" \) \( -size ${W}x40 gradient:"$GOLD_LIGHT"-"$GOLD_DEEP" \) \
    \( -size ${W}x126 gradient:"$GOLD"-"$GOLD_DEEP" \) -append \
    \( "$T/i.s.m.png" -blur 0x2 -shade 120x40 -auto-level -level 10%,100% \) -compose Overlay -composite \
    "$T/i.s.m.png" -alpha off -compose CopyOpacity -composite "$T/i.s.png"
  # outer dark edge so the icon reads on light backgrounds
  C -size ${W}x${W} xc:black -fill none -stroke white -strokewidth 3 -draw "circle $c,$c $c,6" "$T/i.edge.m.png"
  paint "$GOLD_EDGE" "$T/i.edge.m.png" "$T/i.edge.png"
  C -size ${W}x${W} xc:none "$T/i.ring.png" -compose over -composite "$T/i.edge.png" -composite \
    "$T/i.line.png" -composite "$T/i.enamel.png" -composite "$T/i.inshadow.png" -composite \
    "$T/i.sglow.png" -composite "$T/i.so.png" -composite "$T/i.s.png" -composite "$T/i.out.png"
  save "$T/i.out.png" "$OUT/icon.png"
  C "$OUT/icon.png" -define icon:auto-resize=256,48,32,16 "$OUT/launcher.ico"
}

make_logo
make_background
make_buttons
make_close
make_menu
make_progress
make_icon
