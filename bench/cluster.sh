# shellcheck shell=bash disable=SC2034,SC2154
# scripts/bench's cluster section: what HAProxy in front of the relays
# (contrib/haproxy/quonfetch-relays.cfg) costs on 4 KiB mirror GETs, against nginx serving the
# same files and one relay reached directly. wrk (bench/paths.lua) asks for 300 different files
# in turn, so that the balancer's hash on the digest spreads them over the relays. Sourced by
# scripts/bench after bench/lib.sh, bench/relay_load.sh and scripts/lib/cluster.sh (which starts
# the relays and HAProxy and stops them by pid). CLUSTER_SECONDS (default 10) sets each wrk run's
# length, for a trial run.

cluster_file_count=300
cluster_file_size=4096
cluster_connections=50
cluster_seconds=${CLUSTER_SECONDS:-10}

# cluster_make_files -> 300 files of 4 KiB in $data/sha1 for nginx, a relay's store holding them
# under both names (as a fetch leaves them) in $cluster_work/store, and the paths wrk asks for in
# $cluster_work/paths.txt.
cluster_make_files() {
  local split=$cluster_work/split store=$cluster_work/store sha1 sha256 file i
  mkdir -p "$split" "$store/sha1" "$store/sha256"
  # The same bytes every run: the same digests, so the same share of them for each relay.
  for i in $(seq -w 1 "$cluster_file_count"); do
    yes "quonfetch bench cluster file $i" | head -c "$cluster_file_size" >"$split/f$i" || true
  done
  : >"$cluster_work/paths.txt"
  while read -r sha1 file; do
    sha256=$(sha256sum <"$file" | cut -c1-64)
    mv "$file" "$store/sha1/$sha1"
    ln "$store/sha1/$sha1" "$store/sha256/$sha256"
    cp "$store/sha1/$sha1" "$data/sha1/$sha1"
    chmod 644 "$data/sha1/$sha1"
    printf '/kxmirror/downloads/sha1/%s\n' "$sha1" >>"$cluster_work/paths.txt"
  done < <(cd "$split" && sha1sum f* | sed "s|  |  $split/|")
  rmdir "$split"
}

# cluster_bench_relay NAME [FLAGS...] -> a relay on a copy of the store, once its store check has
# passed every file (a file not yet checked is answered 503).
cluster_bench_relay() {
  local name=$1
  shift
  cp -a "$cluster_work/store" "$cluster_work/$name.store"
  cluster_start_relay "$name" "$@" || return 1
  cluster_wait_for "$cluster_work/$name.log" \
    " Store: $cluster_file_count file\(s\) verified, 0 removed$" 60 || {
    echo "bench: relay $name did not verify its $cluster_file_count files:" >&2
    tail -5 "$cluster_work/$name.log" >&2
    return 1
  }
}

# cluster_serves_all PORT -> true once every path is answered 200 on 127.0.0.1:PORT (HAProxy
# takes its servers in after their first health check), at most 30 s.
cluster_serves_all() {
  local port=$1 codes
  sed "s|^.*$|url = \"http://127.0.0.1:$port&\"\\noutput = \"/dev/null\"|" \
    "$cluster_work/paths.txt" >"$cluster_work/check.curlrc"
  for _ in $(seq 1 60); do
    codes=$(curl -s -w '%{http_code}\n' --config "$cluster_work/check.curlrc" |
      sort | uniq -c | awk '{ printf "%s%s x %s", (NR > 1 ? ", " : ""), $2, $1 }' || true)
    [ "$codes" = "200 x $cluster_file_count" ] && return 0
    sleep 0.5
  done
  echo "bench: 127.0.0.1:$port does not answer every file with 200: $codes" >&2
  return 1
}

# cluster_relay_gets NAME -> the mirror GETs the relay has answered 200 so far, from its log.
cluster_relay_gets() {
  grep -c ' GET /kxmirror/downloads/sha1/[0-9a-f]* 200$' "$cluster_work/$1.log" || true
}

# cluster_wrk PORT -> "REQUESTS_PER_S P99_MS ERRORS REQUESTS" of one wrk run through every path
# in turn.
cluster_wrk() {
  wrk -t 2 -c "$cluster_connections" -d "${cluster_seconds}s" --timeout 10s --latency \
    -s "$repo/bench/paths.lua" "http://127.0.0.1:$1" -- "$cluster_work/paths.txt" \
    >"$work/wrk.out" 2>&1 || {
    echo "bench: wrk failed:" >&2
    cat "$work/wrk.out" >&2
    return 1
  }
  awk '
    /^Requests\/sec:/ { rps = $2 }
    / requests in / { requests = $1 }
    $1 == "99%" {
      v = $2; unit = v; sub(/^[0-9.]+/, "", unit); sub(/[a-z]+$/, "", v)
      p99 = v * (unit == "us" ? 0.001 : unit == "ms" ? 1 : unit == "s" ? 1000 : 60000)
    }
    /Socket errors:/ { gsub(/,/, ""); errors += $4 + $6 + $8 + $10 }
    /Non-2xx or 3xx responses:/ { errors += $NF }
    END { if (rps == "" || p99 == "") exit 1; printf "%s %.3f %d %d\n", rps, p99, errors, requests }
  ' "$work/wrk.out" || {
    echo "bench: no figures in wrk's output:" >&2
    cat "$work/wrk.out" >&2
    return 1
  }
}

# cluster_start_all -> nginx, a relay reached directly, four relays for the balancer, and two
# HAProxy processes from the contrib configuration: one with the relay "single" alone (on the
# file's relay1 line, its other server lines left out), one with relay1..3. Each relay serves one
# row only, so that its log counts that row's GETs. Sets cluster_ports[nginx|direct|one|three].
cluster_start_all() {
  load_nginx_start "$data" || return 1
  cluster_ports[nginx]=$load_port
  # The relay reached directly starts as the relayload section starts its relay (wrk's 50
  # connections let through from one address), without a trusted proxy.
  cp -a "$cluster_work/store" "$cluster_work/direct.store"
  load_relay_start "$relay_bin" "$cluster_work/direct.store" || return 1
  cluster_ports[direct]=$load_port
  cluster_wait_for "$work/relay-load.out" \
    " Store: $cluster_file_count file\(s\) verified, 0 removed$" 60 || {
    echo "bench: the direct relay did not verify its $cluster_file_count files" >&2
    return 1
  }
  # Behind HAProxy: cluster_start_relay makes 127.0.0.1 their trusted proxy, whose connections
  # the per-client cap does not count.
  local name
  for name in single relay1 relay2 relay3; do
    cluster_bench_relay "$name" || return 1
  done
  local cfg=$repo/contrib/haproxy/quonfetch-relays.cfg one=$cluster_work/one-relay.cfg
  sed -E '/^[[:space:]]*server relay[23][[:space:]]/d' "$cfg" >"$one"
  [ "$(grep -cE '^[[:space:]]*server ' "$one")" = 1 ] || {
    echo "bench: $cfg no longer has the server lines relay1..3" >&2
    return 1
  }
  cluster_start_haproxy "$one" single || return 1
  cluster_ports[one]=$cluster_port
  # The log file follows the process; the next HAProxy writes a new one.
  mv "$cluster_work/haproxy.log" "$cluster_work/haproxy-one.log"
  cluster_start_haproxy "$cfg" relay1 relay2 relay3 || return 1
  cluster_ports[three]=$cluster_port
  local row
  for row in "${cluster_rows[@]}"; do cluster_serves_all "${cluster_ports[$row]}" || return 1; done
}

cluster_rows=(nginx direct one three)
declare -A cluster_ports=()
declare -A cluster_labels=(
  [nginx]="nginx, the files directly"
  [direct]="one relay, directly"
  [one]="HAProxy, 1 relay behind it"
  [three]="HAProxy, 3 relays behind it"
)

cluster_section() {
  echo "bench: cluster" >&2
  cluster_work=$work/cluster
  cluster_relay_binary=$relay_bin
  mkdir -p "$cluster_work"
  cluster_make_files
  cluster_start_all
  declare -A rps=() p99=() errors=() gets=()
  local asked=0
  local run row before=() name i figures r p e n
  for run in $(seq 1 "$runs"); do
    for row in "${cluster_rows[@]}"; do
      if [ "$row" = three ]; then
        before=()
        for name in single relay1 relay2 relay3; do before+=("$(cluster_relay_gets "$name")"); done
      fi
      figures=$(cluster_wrk "${cluster_ports[$row]}")
      read -r r p e n <<<"$figures"
      rps[$row]+="$r "; p99[$row]+="$p "; errors[$row]=$((${errors[$row]:-0} + e))
      if [ "$row" = three ]; then
        asked=$((asked + n))
        i=0
        for name in single relay1 relay2 relay3; do
          gets[$name]=$((${gets[$name]:-0} + $(cluster_relay_gets "$name") - before[i]))
          i=$((i + 1))
        done
      fi
    done
  done
  cluster_table
  stop_servers
  cluster_stop_all
  local sha1
  while read -r sha1; do rm -f "$data/sha1/${sha1##*/}"; done <"$cluster_work/paths.txt"
  rm -rf "$cluster_work"
}

# cluster_table -> the section's Markdown, from the rps, p99, errors and gets of cluster_section.
cluster_table() {
  local nginx direct row r p total
  # shellcheck disable=SC2086  # the lists of figures are split into the values
  {
    nginx=$(median ${rps[nginx]})
    direct=$(median ${rps[direct]})
  }
  echo "## Several relays behind HAProxy (4 KiB mirror GETs, wrk, $cluster_connections connections)"
  echo
  echo "wrk (2 threads, --latency) for ${cluster_seconds} s per run, asking for $cluster_file_count"
  echo "files of $cluster_file_size bytes in turn (bench/paths.lua); medians of $runs runs, the rows"
  echo "taking turns. Every relay's store holds every file; HAProxy runs"
  echo "contrib/haproxy/quonfetch-relays.cfg, with only its relay1 line for one relay (a relay of"
  echo "its own, not the one reached directly)."
  echo
  row "Server" "Requests/s" "p99 ms" "Requests/s ÷ nginx" "Requests/s ÷ one relay" \
    "wrk errors (all runs)"
  row "---" "---:" "---:" "---:" "---:" "---:"
  for row in "${cluster_rows[@]}"; do
    # shellcheck disable=SC2086
    {
      r=$(median ${rps[$row]})
      p=$(median ${p99[$row]})
    }
    row "${cluster_labels[$row]}" "$(fmt %.0f "$r")" "$(fmt %.2f "$p")" \
      "$(fmt %.3f "$r / $nginx")" "$(fmt %.3f "$r / $direct")" "${errors[$row]}"
  done
  echo
  total=$((gets[relay1] + gets[relay2] + gets[relay3]))
  printf 'Behind HAProxy with 3 relays, all runs: wrk counted %d answers; the relays logged %d GETs answered, relay1 %d (%s%%), relay2 %d (%s%%), relay3 %d (%s%%).\n' \
    "$asked" "$total" \
    "${gets[relay1]}" "$(fmt %.1f "100 * ${gets[relay1]} / ($total + 0.000001)")" \
    "${gets[relay2]}" "$(fmt %.1f "100 * ${gets[relay2]} / ($total + 0.000001)")" \
    "${gets[relay3]}" "$(fmt %.1f "100 * ${gets[relay3]} / ($total + 0.000001)")"
  if grep -qs ' is DOWN' "$cluster_work"/haproxy*.log; then
    echo
    echo "HAProxy took a relay out during the runs:"
    grep -h ' is DOWN' "$cluster_work"/haproxy*.log | sed 's/^/    /'
  fi
  echo
}
