# scripts/bench's relayload section: the reference relay's mirror under load against nginx
# serving the same folder, with wrk; and a mirror GET while slow sockets hold connections open.
# Sourced by scripts/bench, after bench/lib.sh. RELAY_BASELINE names an earlier relay binary to
# measure the same way, for a before/after table. RELAY_LOAD_SMALL_ONLY=1 leaves out the large
# file's rows (some five of the eight minutes).

# load_nginx_start DATA_DIR -> nginx with as many workers as cores on a free port: load_port.
load_nginx_start() {
  local prefix=$work/nginx-load
  mkdir -p "$prefix/tmp"
  [ "$(id -u)" -eq 0 ] && chown -R nobody:nogroup "$prefix"
  load_port=$(random_port)
  {
    nginx_head "$prefix" auto 4096
    cat <<CONF
  log_format conn '\$connection';
  access_log $prefix/access.log conn;
  server {
    listen 127.0.0.1:$load_port backlog=1024;
    location /kxmirror/downloads/sha1/ { alias $1/sha1/; }
  }
}
CONF
  } >"$prefix/nginx.conf"
  run_as_server nginx -q -p "$prefix" -e "$prefix/error.log" -c "$prefix/nginx.conf"
  wait_for_file "$prefix/nginx.pid" && nginx_pid=$(cat "$prefix/nginx.pid")
  wait_for_port "$load_port"
}

# load_relay_start BINARY STORE -> the relay on a free port serving STORE: load_port, relay_pid.
load_relay_start() {
  # Appended to, so that each wrk run can empty it while the relay writes.
  : >"$work/relay-load.out"
  [ "$(id -u)" -eq 0 ] && chown -R nobody:nogroup "$2" "$work/relay-load.out"
  local extra=()
  # Every wrk connection comes from 127.0.0.1; the per-address limit must let 500 through.
  "$1" --help | grep -q -- --max-connections-per-client && extra=(--max-connections-per-client 5000)
  setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all -- \
    "$1" --store "$2" --port 0 "${extra[@]}" >>"$work/relay-load.out" 2>&1 &
  relay_pid=$!
  local i
  for i in $(seq 1 100); do
    load_port=$(sed -n '1s|.*Listening on http://127\.0\.0\.1:\([0-9]*\).*|\1|p' "$work/relay-load.out")
    [ -n "$load_port" ] && return 0
    sleep 0.1
  done
  echo "bench: the relay did not start" >&2
  return 1
}

# fewest_answers LOG KEY_FIELD CONNECTIONS -> the fewest answers any one connection got, from a
# server's log of the run (one line per answered request; KEY_FIELD names the connection). A
# connection that never appears got none.
fewest_answers() {
  awk -v field="$2" -v want="$3" '{ n[$field]++ } END {
      min = -1; for (k in n) if (min < 0 || n[k] < min) min = n[k]
      if (length(n) < want || min < 0) min = 0
      print min }' "$1"
}

# wrk_row NAME SERVER_LOG KEY_FIELD CONNECTIONS SECONDS URL -> one table row from a wrk run.
# KEY_FIELD 0: the fewest answers are not counted (a large file's run ends with every connection
# cut off mid-reply, and both servers log those too).
wrk_row() {
  local name=$1 log=$2 field=$3 connections=$4 seconds=$5 url=$6
  : >"$log"
  wrk -t 2 -c "$connections" -d "${seconds}s" --timeout 120s --latency "$url" >"$work/wrk.out" 2>&1
  local rps p99 errors fewest=n/a transfer
  rps=$(sed -n 's/^Requests\/sec:[[:space:]]*//p' "$work/wrk.out")
  transfer=$(sed -n 's/^Transfer\/sec:[[:space:]]*//p' "$work/wrk.out")
  p99=$(awk '$1 == "99%" { print $2 }' "$work/wrk.out")
  errors=$(sed -n 's/.*Socket errors: //p; s/.*Non-2xx or 3xx responses: \([0-9]*\)/non-2xx \1/p' "$work/wrk.out" | paste -sd ' ')
  [ "$field" = 0 ] || fewest=$(fewest_answers "$log" "$field" "$connections")
  row "$name" "$connections" "${rps:-0}" "${transfer:--}" "${p99:--}" "$fewest" "${errors:-none}"
}

# slow_get_row NAME PORT SHA1 -> the median time of 20 mirror GETs of a 4 KiB file, alone and
# while 1000 slow sockets hold connections open.
slow_get_row() {
  local name=$1 port=$2 sha1=$3 alone slow times=() i t
  for i in $(seq 1 20); do
    times+=("$(curl -s -o /dev/null -m 10 -w '%{time_total}' "http://127.0.0.1:$port/kxmirror/downloads/sha1/$sha1" || echo 10)")
  done
  alone=$(median "${times[@]}")
  python3 "$repo/bench/slow_sockets.py" "$port" 1000 >"$work/slow.out" 2>&1 &
  local slow_pid=$!
  for i in $(seq 1 100); do grep -q '^open' "$work/slow.out" && break; sleep 0.1; done
  times=()
  local failures=0
  for i in $(seq 1 20); do
    t=$(curl -s -o /dev/null -m 10 -w '%{time_total}' "http://127.0.0.1:$port/kxmirror/downloads/sha1/$sha1") || { t=10; failures=$((failures + 1)); }
    times+=("$t")
  done
  slow=$(median "${times[@]}")
  kill "$slow_pid" 2>/dev/null; wait "$slow_pid" 2>/dev/null || true
  row "$name" "$(fmt %.1f "$alone * 1000")" "$(fmt %.1f "$slow * 1000")" "$((20 - failures)) of 20"
}

# wait_until_served PORT SHA1... -> returns once every file is answered 200 (at most a minute).
wait_until_served() {
  local port=$1 sha1 i code
  shift
  for sha1 in "$@"; do
    for i in $(seq 1 600); do
      code=$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/kxmirror/downloads/sha1/$sha1" || true)
      [ "$code" = 200 ] && break
      sleep 0.1
    done
  done
}

relay_load_section() {
  local small_sha1 big_sha1_load store=$work/load-store
  echo "bench: relay load" >&2
  mkdir -p "$data/sha1"
  head -c 4096 /dev/urandom >"$work/small.tmp"
  small_sha1=$(sha1sum "$work/small.tmp" | cut -c1-40)
  mv "$work/small.tmp" "$data/sha1/$small_sha1"
  head -c $((big_mib << 20)) /dev/urandom >"$work/big-load.tmp"
  big_sha1_load=$(sha1sum "$work/big-load.tmp" | cut -c1-40)
  mv "$work/big-load.tmp" "$data/sha1/$big_sha1_load"
  chmod 644 "$data/sha1/"*
  # The relay's store holds the same files under both names, as a fetch would leave them.
  mkdir -p "$store/sha1" "$store/sha256"
  for sha1 in "$small_sha1" "$big_sha1_load"; do
    cp "$data/sha1/$sha1" "$store/sha1/$sha1"
    ln "$store/sha1/$sha1" "$store/sha256/$(sha256sum "$store/sha1/$sha1" | cut -c1-64)"
  done

  local servers=(nginx relay) binaries=("" "$relay_bin")
  if [ -n "${RELAY_BASELINE:-}" ]; then servers+=(baseline); binaries+=("$RELAY_BASELINE"); fi
  echo "## The reference relay's mirror under load (wrk, 2 threads)"
  echo
  echo "Requests per second, 99th percentile latency, and the fewest answers any one connection"
  echo "got (from the server's own log of the run). 4 KiB for 10 s, ${big_mib} MiB for 30 s; the"
  echo "large file's fewest answers are not counted: its runs end with replies cut off."
  echo
  row "Server, file" "Connections" "Requests/s" "Transfer/s" "p99" "Fewest answers" "wrk errors"
  row "---" "---:" "---:" "---:" "---:" "---:" "---"
  local slow_rows=() i
  for i in "${!servers[@]}"; do
    local server=${servers[$i]} log field
    if [ "$server" = nginx ]; then
      load_nginx_start "$data"; log=$work/nginx-load/access.log; field=1
    else
      load_relay_start "${binaries[$i]}" "$store"; log=$work/relay-load.out
      # "TIME ADDR:PORT GET ..." on a relay that stamps its log, "ADDR:PORT GET ..." before.
      field=2; head -1 "$log" | grep -q "^Listening" && field=1
      # Files of an earlier run are served once the relay has checked them (503 until then; an
      # older relay checks at the first GET): not part of the figures.
      wait_until_served "$load_port" "$big_sha1_load" "$small_sha1"
    fi
    for connections in 50 500; do
      wrk_row "$server, 4 KiB" "$log" "$field" "$connections" 10 \
        "http://127.0.0.1:$load_port/kxmirror/downloads/sha1/$small_sha1"
      [ "${RELAY_LOAD_SMALL_ONLY:-0}" = 1 ] && continue
      wrk_row "$server, ${big_mib} MiB" "$log" 0 "$connections" 30 \
        "http://127.0.0.1:$load_port/kxmirror/downloads/sha1/$big_sha1_load"
    done
    slow_rows+=("$(slow_get_row "$server" "$load_port" "$small_sha1")")
    stop_servers
  done
  echo
  echo "## A mirror GET while 1000 slow sockets hold connections"
  echo
  echo "Median of 20 GETs of the 4 KiB file (curl, new connection each, 10 s limit); each slow"
  echo "socket sends one byte of a request every 10 s and never finishes it."
  echo
  row "Server" "Alone, ms" "With 1000 slow sockets, ms" "Answered"
  row "---" "---:" "---:" "---:"
  printf '%s\n' "${slow_rows[@]}"
  echo
  rm -rf "$store" "$data/sha1/$small_sha1" "$data/sha1/$big_sha1_load"
}
