# Sourced by the benchmark scripts: a loopback patch host (nginx on 127.0.0.1) serving a directory.
#
#   start_patch_host WORK_DIR WWW_DIR PORT PROBE_PATH [ACCESS_LOG]
#                                    # serves WWW_DIR at http://127.0.0.1:PORT/patch/; with ACCESS_LOG, one line
#                                    # per request: body bytes sent, status, request
#   stop_patch_host                                     # stops it by its PID; safe to call twice
#
# start_patch_host waits, with a time-out, until PROBE_PATH (relative to WWW_DIR) can be fetched.

patch_host_pid=""

start_patch_host() {
  local work="$1" www="$2" port="$3" probe="$4" log="${5:-}"
  local access="access_log off;"
  [ -n "$log" ] && access="log_format bytes '\$body_bytes_sent \$status \"\$request\"'; access_log $log bytes;"
  mkdir -p "$work/nginx/logs" "$work/nginx/tmp"
  cat > "$work/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log warn;
events { worker_connections 256; }
http {
  $access
  client_body_temp_path $work/nginx/tmp/body;
  proxy_temp_path $work/nginx/tmp/proxy;
  fastcgi_temp_path $work/nginx/tmp/fastcgi;
  uwsgi_temp_path $work/nginx/tmp/uwsgi;
  scgi_temp_path $work/nginx/tmp/scgi;
  types { }
  default_type application/octet-stream;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 100000;
  server {
    listen 127.0.0.1:$port;
    location /patch/ { alias $www/; gzip off; charset off; }
    location / { return 404; }
  }
}
CONF
  nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" 2>"$work/nginx/logs/stderr.log" &
  patch_host_pid=$!
  local _
  for _ in $(seq 1 100); do
    if curl -s --fail -o /dev/null --max-time 1 -r 0-0 "http://127.0.0.1:$port/patch/$probe"; then return 0; fi
    kill -0 "$patch_host_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "patch host: nginx did not come up on 127.0.0.1:$port" >&2
  cat "$work/nginx/logs/"* >&2
  return 1
}

stop_patch_host() {
  [ -n "$patch_host_pid" ] || return 0
  kill "$patch_host_pid" 2>/dev/null || true
  local _
  for _ in $(seq 1 50); do kill -0 "$patch_host_pid" 2>/dev/null || break; sleep 0.1; done
  patch_host_pid=""
}
