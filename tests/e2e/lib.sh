# Shell helpers shared by tests/e2e/e2e-https.sh and scripts/demo: a local nginx patch host made from the
# operators' template, a test CA, a private Xvfb display, polling, and a look at the launcher's window.
# Source it; it defines functions only.

# wait_for SECONDS WHAT COMMAND...   polls COMMAND until it succeeds; fails with a message once SECONDS
# have passed (a guard against hanging, not a measurement).
wait_for() {
  local limit=$1 what=$2; shift 2
  local deadline=$((SECONDS + limit))
  while :; do
    if "$@"; then return 0; fi
    [ "$SECONDS" -ge "$deadline" ] && break
    sleep 0.2
  done
  echo "timed out after ${limit}s waiting for: $what" >&2
  return 1
}

# make_test_ca DIR   writes DIR/ca.pem, DIR/ca.der, DIR/server.pem (chain), DIR/server.key for "localhost".
make_test_ca() {
  local d=$1
  mkdir -p "$d"
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Korvane local test CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$d/ca.key" -out "$d/ca.pem" 2>/dev/null
  openssl x509 -in "$d/ca.pem" -outform DER -out "$d/ca.der"
  openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout "$d/server.key" -out "$d/server.csr" 2>/dev/null
  printf '%s\n' "subjectAltName=DNS:localhost" "basicConstraints=CA:FALSE" \
    "keyUsage=critical,digitalSignature,keyEncipherment" "extendedKeyUsage=serverAuth" >"$d/server.ext"
  openssl x509 -req -in "$d/server.csr" -CA "$d/ca.pem" -CAkey "$d/ca.key" -CAcreateserial -days 30 \
    -extfile "$d/server.ext" -out "$d/server.crt" 2>/dev/null
  cat "$d/server.crt" "$d/ca.pem" >"$d/server.pem"
}

# write_nginx_conf TEMPLATE OUT_CONF RUNDIR PATCHDIR PORT SCHEME [EXTRA_LOCATION_TEXT]
# Turns the operators' template into a complete nginx.conf that listens on 127.0.0.1:PORT only, keeps its
# pid, logs and temp files in RUNDIR, and serves PATCHDIR. SCHEME is https (certificate RUNDIR/tls/server.pem
# and key RUNDIR/tls/server.key) or http. EXTRA_LOCATION_TEXT goes inside the server block.
# The top of an nginx.conf that keeps everything of one nginx below `run`, up to the open http block.
nginx_conf_head() {
  local run=$1
  [ "$(id -u)" -eq 0 ] && echo "user root root;"
  echo "worker_processes 1;"
  echo "pid $run/nginx.pid;"
  echo "error_log $run/error.log warn;"
  echo "events { worker_connections 64; }"
  echo "http {"
  echo "  access_log $run/access.log;"
  for t in client_body proxy fastcgi uwsgi scgi; do echo "  ${t}_temp_path $run/tmp/$t;"; done
}

# patchgen, a signing key in $work/run/manifest-key.pem, and a launcher that trusts it and fetches from
# https://localhost:PORT/patch/. Sets patchgen, public_key and launcher. What the build made is taken when given:
# the native patchgen as KORVANE_PATCHGEN, the launcher and its key as E2E_LAUNCHER and E2E_KEY (the tests'
# --launcher and --key); anything not given is built here (patchgen once per work folder).
build_publisher_and_launcher() {
  local src=$1 work=$2 port=$3
  if [ -n "${KORVANE_PATCHGEN:-}" ] && [ -x "$KORVANE_PATCHGEN" ]; then
    patchgen=$KORVANE_PATCHGEN
  else
    if [ ! -x "$work/patchgen-build/patchgen" ]; then
      cmake -S "$src" -B "$work/patchgen-build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
    fi
    cmake --build "$work/patchgen-build" --target patchgen -j2 >/dev/null
    patchgen="$work/patchgen-build/patchgen"
  fi
  if [ -n "${E2E_LAUNCHER:-}" ] && [ -n "${E2E_KEY:-}" ]; then
    cp "$E2E_KEY" "$work/run/manifest-key.pem"
    public_key=$(openssl pkey -in "$E2E_KEY" -pubout -outform DER | tail -c 65 | od -An -tx1 | tr -d ' \n')
    launcher=$E2E_LAUNCHER
    return 0
  fi
  "$patchgen" keygen --out "$work/run/manifest-key.pem" >"$work/run/keygen.txt" || fail "patchgen keygen"
  public_key=$(sed -n 's/^public key: //p' "$work/run/keygen.txt")
  cmake -S "$src" -B "$work/launcher-build" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DKORVANE_PATCH_BASE_URL="https://localhost:$port/patch/" \
    -DKORVANE_MANIFEST_PUBLIC_KEYS="$public_key" >/dev/null || fail "configuring the launcher"
  cmake --build "$work/launcher-build" --target Launcher -j2 >/dev/null || fail "building the launcher"
  launcher="$work/launcher-build/Launcher.exe"
}

write_nginx_conf() {
  local template=$1 out=$2 run=$3 patch=$4 port=$5 scheme=$6 extra=${7:-}
  mkdir -p "$run/tmp"
  local server
  server=$(sed -e '/listen \[::\]:443/d' \
               -e "s|^\( *\)listen 443 ssl http2;|\1listen 127.0.0.1:$port ssl;|" \
               -e 's|server_name patch.example.com;|server_name localhost 127.0.0.1;|' \
               -e "s|/etc/ssl/patch-host/fullchain.pem|$run/tls/server.pem|" \
               -e "s|/etc/ssl/patch-host/privkey.pem|$run/tls/server.key|" \
               -e "s|/srv/korvane/patch/|${patch%/}/|g" "$template")
  if [ "$scheme" = http ]; then
    server=$(printf '%s\n' "$server" | sed -e "s|listen 127.0.0.1:$port ssl;|listen 127.0.0.1:$port;|" -e '/^ *ssl_/d')
  fi
  if [ -n "$extra" ]; then
    server=$(printf '%s\n' "$server" | awk -v extra="$extra" '/^server \{/ { print; print extra; next } { print }')
  fi
  {
    nginx_conf_head "$run"
    printf '%s\n' "$server"
    echo "}"
  } >"$out"
}

# start_nginx CONF RUNDIR   starts nginx in the foreground-less "daemon off" mode in the background;
# sets NGINX_PID. Waits until the port answers is left to the caller.
start_nginx() {
  local conf=$1 run=$2
  nginx -t -e "$run/error.log" -c "$conf" -p "$run" >"$run/nginx-t.log" 2>&1 || { cat "$run/nginx-t.log" >&2; return 1; }
  nginx -e "$run/error.log" -c "$conf" -p "$run" -g 'daemon off;' >>"$run/nginx.out" 2>&1 &
  NGINX_PID=$!
}

stop_nginx() {
  if [ -n "${NGINX_PID:-}" ]; then
    kill "$NGINX_PID" 2>/dev/null || true
    wait "$NGINX_PID" 2>/dev/null || true
    NGINX_PID=
  fi
}

# start_xvfb WORKDIR   starts a private Xvfb (1280x720) and exports DISPLAY; sets XVFB_PID.
start_xvfb() {
  local fd_file="$1/xvfb.display"
  rm -f "$fd_file"
  Xvfb -displayfd 3 -screen 0 1280x720x24 -nolisten tcp 3>"$fd_file" 2>/dev/null &
  XVFB_PID=$!
  wait_for 20 "Xvfb to report its display" test -s "$fd_file"
  export DISPLAY=":$(head -n1 "$fd_file")"
}

stop_xvfb() {
  if [ -n "${XVFB_PID:-}" ]; then
    kill "$XVFB_PID" 2>/dev/null || true
    wait "$XVFB_PID" 2>/dev/null || true
    XVFB_PID=
  fi
}

# The launcher's main window id (first visible one titled Selmora), or nothing.
launcher_window() {
  xdotool search --onlyvisible --name '^Selmora$' 2>/dev/null | head -n1 || true
}
has_launcher_window() { [ -n "$(launcher_window)" ]; }
no_launcher_window() { [ -z "$(launcher_window)" ]; }

# start_button_saturation WINDOW   mean HSL saturation (0..1) of the start button: ~0 while grey.
start_button_saturation() {
  /usr/bin/import -silent -window "$1" png:- 2>/dev/null |
    /usr/bin/convert png:- -crop 363x108+452+403 +repage -colorspace HSL -channel G -separate +channel \
      -format '%[fx:mean]' info: 2>/dev/null
}

# start_button_ready WINDOW   true when the start button is drawn in colour (the update said the game may start).
# Measured: about 0.15 while grey, about 0.68 in colour.
start_button_ready() {
  local s
  s=$(start_button_saturation "$1") || return 1
  [ -n "$s" ] && awk -v s="$s" 'BEGIN { exit !(s > 0.4) }'
}

# click_start WINDOW   clicks the middle of the start button.
click_start() {
  xdotool mousemove --window "$1" $((452 + 181)) $((403 + 54)) click 1
}
