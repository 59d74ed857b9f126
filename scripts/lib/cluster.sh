# shellcheck shell=bash disable=SC2034,SC2154
# Starts and stops the pieces of a relay cluster on this machine: quonfetch-relay processes on free
# loopback ports and HAProxy in front of them with contrib/haproxy/quonfetch-relays.cfg.
# Sourced by scripts/cluster-demo and the cluster's whole-system test; every process it starts is
# remembered by its pid and stopped by cluster_stop_all (call it from an EXIT trap).
#
# The caller sets cluster_relay_binary and cluster_work (a folder of its own); the caller reads
# cluster_relay_pid, cluster_relay_port and cluster_port.

cluster_pids=()
declare -A cluster_relay_pid=() cluster_relay_port=()
cluster_port=

# cluster_wait_for FILE PATTERN SECONDS: waits until a line of FILE matches the extended regex.
cluster_wait_for() {
  local file=$1 pattern=$2 tenths=$(($3 * 10))
  while ((tenths-- > 0)); do
    if [ -f "$file" ] && grep -qE "$pattern" "$file"; then return 0; fi
    sleep 0.1
  done
  return 1
}

# cluster_start_relay NAME [FLAGS...]: a relay with the store $cluster_work/NAME.store and the log
# $cluster_work/NAME.log, on a free port (its first log line names it). HAProxy, on 127.0.0.1,
# is its trusted proxy: the relay sees each client's own address in X-Forwarded-For.
cluster_start_relay() {
  local name=$1
  shift
  local log="$cluster_work/$name.log"
  "$cluster_relay_binary" --store "$cluster_work/$name.store" --port 0 \
    --trusted-proxy 127.0.0.1 "$@" > "$log" 2>&1 &
  local pid=$!
  cluster_pids+=("$pid")
  cluster_relay_pid[$name]=$pid
  if ! cluster_wait_for "$log" ' Listening on http://127\.0\.0\.1:[0-9]+$' 30; then
    echo "cluster: relay $name did not start:" >&2
    cat "$log" >&2
    return 1
  fi
  local first
  first=$(grep -m1 -E ' Listening on ' "$log")
  cluster_relay_port[$name]=${first##*:}
}

# cluster_stop PID: SIGTERM, then waits for it; its exit status is returned.
cluster_stop() {
  local pid=$1 status=0
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || status=$?
  local kept=()
  for p in "${cluster_pids[@]}"; do [ "$p" = "$pid" ] || kept+=("$p"); done
  cluster_pids=("${kept[@]}")
  return "$status"
}

cluster_stop_all() {
  local p
  for p in "${cluster_pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${cluster_pids[@]}"; do wait "$p" 2>/dev/null || true; done
  cluster_pids=()
}

# True when something accepts connections on 127.0.0.1:PORT.
cluster_port_open() {
  (exec 3<> "/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# cluster_start_haproxy CFG RELAY_NAMES...: HAProxy on a free loopback port ($cluster_port), its
# servers relay1..N given the relays' ports in order, its output in $cluster_work/haproxy.log.
# HAProxy cannot report a port it picked, so a port unused now is tried, and another if it was
# taken meanwhile.
cluster_start_haproxy() {
  local cfg=$1
  shift
  local i=1 name
  for name in "$@"; do
    export "QUONFETCH_RELAY$i=127.0.0.1:${cluster_relay_port[$name]}"
    i=$((i + 1))
  done
  local log="$cluster_work/haproxy.log" port pid
  for _ in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 12000))
    cluster_port_open "$port" && continue
    QUONFETCH_CLUSTER_BIND="127.0.0.1:$port" haproxy -db -f "$cfg" > "$log" 2>&1 &
    pid=$!
    local tries=200
    while ((tries-- > 0)) && kill -0 "$pid" 2>/dev/null && ! cluster_port_open "$port"; do
      sleep 0.05
    done
    if kill -0 "$pid" 2>/dev/null && cluster_port_open "$port"; then
      cluster_pids+=("$pid")
      cluster_port=$port
      return 0
    fi
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  echo "cluster: haproxy did not start:" >&2
  cat "$log" >&2
  return 1
}

# cluster_fetches NAME: the sha1 of every fetch the relay stored, one a line, in its log's order.
cluster_fetches() {
  sed -nE 's/^.* Fetch of .* for ([0-9a-f]{40}): stored, .*$/\1/p' "$cluster_work/$1.log"
}
