# Helpers for scripts/bench: timing with medians, the nginx stand-in relay, the reference relay.
# Sourced, not run. Every server started here is recorded and stopped by stop_servers.

# Seconds since the epoch with microseconds.
now() { printf '%s\n' "$EPOCHREALTIME"; }

# elapsed START END -> seconds between two now() readings.
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.6f\n", b - a }'; }

# median V1 V2 ... -> the median of the values.
median() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 }
    END { if (NR % 2) printf "%.6f\n", v[(NR + 1) / 2];
          else printf "%.6f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# calc EXPRESSION -> the value of an awk expression, e.g. calc "1 / 3".
calc() { awk "BEGIN { printf \"%.6g\n\", $1 }"; }

# fmt FORMAT EXPRESSION -> the value of an awk expression, printed with FORMAT.
fmt() { awk "BEGIN { printf \"$1\", $2 }"; }

# timed_rss OUT_VAR RSS_VAR COMMAND... -> runs COMMAND with its output discarded, storing its
# wall time in seconds in OUT_VAR and its peak resident memory in KiB in RSS_VAR; last_cpu gets
# its user plus system CPU seconds. Fails when the command does.
timed_rss() {
  local -n _seconds=$1 _rss=$2
  shift 2
  local start end
  start=$(now)
  /usr/bin/time -f '%M %U %S' -o "$work/rss.txt" "$@" >"$work/last.out" 2>&1 || {
    echo "bench: command failed: $*" >&2
    tail -5 "$work/last.out" >&2
    return 1
  }
  end=$(now)
  _seconds=$(elapsed "$start" "$end")
  local usage
  usage=$(tail -1 "$work/rss.txt")
  _rss=${usage%% *}
  last_cpu=$(awk '{ printf "%.2f\n", $2 + $3 }' <<<"$usage")
}

# run_as_server COMMAND... -> runs a server unprivileged: as nobody when we are root.
run_as_server() {
  if [ "$(id -u)" -eq 0 ]; then
    setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all -- "$@"
  else
    "$@"
  fi
}

# random_port -> a port number in the ephemeral-free range 20000-59999 that nothing listens on.
random_port() {
  local port tries
  for tries in $(seq 1 50); do
    port=$((20000 + RANDOM % 40000))
    if ! ss -Hltn "sport = :$port" 2>/dev/null | grep -q .; then
      echo "$port"
      return 0
    fi
  done
  echo "bench: no free port found" >&2
  return 1
}

# start_nginx DATA_DIR -> starts nginx with its own prefix under $work/nginx, serving DATA_DIR;
# sets available_port and failed_port. Retries with other ports when a bind fails.
start_nginx() {
  local data=$1 prefix=$work/nginx attempt
  mkdir -p "$prefix/tmp"
  chmod 755 "$work"
  [ "$(id -u)" -eq 0 ] && chown -R nobody:nogroup "$prefix"
  for attempt in 1 2 3 4 5; do
    available_port=$(random_port)
    failed_port=$(random_port)
    [ "$available_port" = "$failed_port" ] && continue
    sed -e "s|@PREFIX@|$prefix|g" -e "s|@DATA@|$data|g" \
        -e "s|@AVAILABLE_PORT@|$available_port|g" -e "s|@FAILED_PORT@|$failed_port|g" \
        "$repo/bench/nginx.conf.in" >"$prefix/nginx.conf"
    if run_as_server nginx -q -p "$prefix" -e "$prefix/error.log" -c "$prefix/nginx.conf" \
        2>>"$work/nginx-start.log"; then
      nginx_pid_file=$prefix/nginx.pid
      wait_for_file "$nginx_pid_file" || return 1
      nginx_pid=$(cat "$nginx_pid_file")
      wait_for_port "$available_port" && wait_for_port "$failed_port" && return 0
    fi
  done
  echo "bench: nginx did not start:" >&2
  tail -5 "$work/nginx-start.log" "$prefix/error.log" >&2 2>/dev/null
  return 1
}

# wait_for_file PATH -> waits up to 10 s for PATH to exist and be non-empty.
wait_for_file() {
  local i
  for i in $(seq 1 100); do
    [ -s "$1" ] && return 0
    sleep 0.1
  done
  echo "bench: timed out waiting for $1" >&2
  return 1
}

# wait_for_port PORT -> waits up to 10 s for something to listen on 127.0.0.1:PORT.
wait_for_port() {
  local i
  for i in $(seq 1 100); do
    ss -Hltn "sport = :$1" 2>/dev/null | grep -q . && return 0
    sleep 0.1
  done
  echo "bench: nothing listens on port $1" >&2
  return 1
}

# start_relay BINARY STORE_DIR -> starts the reference relay on a port of its choosing, with
# file:// origins allowed; sets relay_port and relay_pid.
start_relay() {
  local binary=$1 store=$2 i
  mkdir -p "$store"
  [ "$(id -u)" -eq 0 ] && chown nobody:nogroup "$store"
  : >"$work/relay.out"
  [ "$(id -u)" -eq 0 ] && chown nobody:nogroup "$work/relay.out"
  # Started directly rather than through run_as_server: a backgrounded function would be a
  # subshell, and $! its pid instead of the relay's.
  if [ "$(id -u)" -eq 0 ]; then
    setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all -- \
      "$binary" --store "$store" --port 0 --allow-file-origins >"$work/relay.out" 2>&1 &
  else
    "$binary" --store "$store" --port 0 --allow-file-origins >"$work/relay.out" 2>&1 &
  fi
  relay_pid=$!
  for i in $(seq 1 100); do
    # The line begins with its time on relays that stamp their log.
    relay_port=$(sed -n '1s|.*Listening on http://127\.0\.0\.1:\([0-9]*\).*|\1|p' "$work/relay.out")
    [ -n "$relay_port" ] && return 0
    kill -0 "$relay_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "bench: the reference relay did not start:" >&2
  head -5 "$work/relay.out" >&2
  return 1
}

# stop_pid PID -> ends one process we started, waiting up to 5 s before forcing it.
stop_pid() {
  local pid=$1 i
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for i in $(seq 1 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
}

# start_delay_proxy BINARY TARGET_PORT DELAY_MS LOG [OPTION...] -> starts bench/delay_proxy in
# front of 127.0.0.1:TARGET_PORT, holding every chunk DELAY_MS each way, with the further options
# given (a cut), and logging its connections to LOG; sets proxy_port and proxy_pid.
start_delay_proxy() {
  local binary=$1 target=$2 delay=$3 log=$4 i
  shift 4
  : >"$log"
  "$binary" --target "$target" --delay-ms "$delay" --log "$log" "$@" >"$work/proxy.out" 2>&1 &
  proxy_pid=$!
  for i in $(seq 1 100); do
    proxy_port=$(sed -n '1s|^Listening on 127\.0\.0\.1:\([0-9]*\)$|\1|p' "$work/proxy.out")
    [ -n "$proxy_port" ] && return 0
    kill -0 "$proxy_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "bench: the delay proxy did not start:" >&2
  head -5 "$work/proxy.out" >&2
  return 1
}

# round_trip_counts PROXY_LOG -> "CONNECTIONS REQUESTS WAITS" since the last call: connections
# the delay proxy opened, requests in the stand-in relay's access log, and those of them that
# asked for a "100 Continue" (each a round trip spent waiting). Empties both logs.
round_trip_counts() {
  local proxy_log=$1 access=$work/nginx/access.log connections requests waits
  connections=$(grep -c '^connection ' "$proxy_log" || true)
  requests=$(wc -l <"$access")
  waits=$(grep -ci ' 100-continue$' "$access" || true)
  : >"$proxy_log"
  : >"$access"
  echo "$connections $requests $waits"
}

# curl_request_entry BASE_URL SHA1 SIZE NAME -> the curl config lines of one file's download
# request, with the body Quonfetch sends; the reply is discarded.
curl_request_entry() {
  local base=$1 sum=$2 size=$3 name=$4
  local body="0\\naid=0,index=null,sha1=$sum,size=$size,url=http%3A%2F%2Forigin.invalid%2Ffiles%2F$name\\n"
  printf 'url = "%s/DownloadRequest"\n' "$base"
  printf 'header = "Content-Type: text/plain"\n'
  printf 'data-binary = "%s"\n' "$body"
  printf 'output = "/dev/null"\n'
}

# curl_fetch_entry BASE_URL SHA1 NAME -> the curl config lines of one file's fetch from the
# mirror into $work/out/NAME.
curl_fetch_entry() {
  printf 'url = "%s/kxmirror/downloads/sha1/%s"\noutput = "%s/out/%s"\n' "$1" "$2" "$work" "$3"
}

# curl_exchange BASE_URL SHA1 SIZE NAME -> the curl config lines of one file's two requests
# (the download request, then the fetch into $work/out/NAME), as Quonfetch sends them.
curl_exchange() {
  curl_request_entry "$@"
  printf 'next\n'
  curl_fetch_entry "$1" "$2" "$4"
}

# extra_pids: more servers a section started (delay proxies side by side); stop_servers ends them.
extra_pids=()

stop_servers() {
  local pid
  for pid in "${extra_pids[@]}"; do
    stop_pid "$pid"
    wait "$pid" 2>/dev/null || true
  done
  extra_pids=()
  if [ -n "${proxy_pid:-}" ]; then
    stop_pid "$proxy_pid"
    wait "$proxy_pid" 2>/dev/null || true
    proxy_pid=
  fi
  if [ -n "${nginx_pid:-}" ]; then
    stop_pid "$nginx_pid"
    nginx_pid=
  fi
  if [ -n "${relay_pid:-}" ]; then
    stop_pid "$relay_pid"
    wait "$relay_pid" 2>/dev/null || true
    relay_pid=
  fi
}

# connections_in_log -> distinct connections in the stand-in relay's access log, then empties it.
connections_in_log() {
  local log=$work/nginx/access.log
  awk '{ seen[$1] = 1 } END { print length(seen) }' "$log"
  : >"$log"
}

# requests_in_log -> lines in the stand-in relay's access log.
requests_in_log() { wc -l <"$work/nginx/access.log"; }

# row CELL... -> one line of a table, cells separated by " | ".
row() {
  local IFS='|'
  local line="| $1"
  shift
  local cell
  for cell in "$@"; do line+=" | $cell"; done
  printf '%s |\n' "$line"
}

# nginx_head PREFIX WORKERS CONNECTIONS -> the start of an nginx configuration of the
# benchmarks' own, up to the inside of its http block: daemon, pid file, error log and temporary
# folders under PREFIX, files sent with sendfile, connections kept alive. The caller writes the
# rest of the http block and closes it.
nginx_head() {
  local prefix=$1 workers=$2 connections=$3
  cat <<CONF
worker_processes $workers;
daemon on;
pid $prefix/nginx.pid;
error_log $prefix/error.log warn;
worker_rlimit_nofile $((connections * 2));
events { worker_connections $connections; }
http {
  client_body_temp_path $prefix/tmp/body;
  proxy_temp_path $prefix/tmp/proxy;
  fastcgi_temp_path $prefix/tmp/fastcgi;
  uwsgi_temp_path $prefix/tmp/uwsgi;
  scgi_temp_path $prefix/tmp/scgi;
  default_type application/octet-stream;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 120s;
  keepalive_requests 100000000;
CONF
}
