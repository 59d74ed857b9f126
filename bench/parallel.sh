# scripts/bench's parallel section: many files side by side (-j) over a slow link, against curl
# --parallel and aria2c, with nginx as the stand-in relay behind bench/delay_proxy; one status
# pass over many records; the same files over https with HTTP/2. Sourced by scripts/bench, after
# bench/lib.sh. PARALLEL_FILES (200), PARALLEL_RECORDS (20000) and PARALLEL_SUBSET (2000) shrink
# the work for a trial run.

par_small_count=${PARALLEL_FILES:-200}
par_big_count=16
par_big_mib=16
par_records=${PARALLEL_RECORDS:-20000}
par_subset=${PARALLEL_SUBSET:-2000}
par_delay_ms=10       # each way: a 20 ms round trip
par_pass_delay_ms=25  # each way: a 50 ms round trip
par_https_wait=3      # the client's wait after each of the three failures on http

# par_locations -> the stand-in relay's two locations: every file available, the mirror.
par_locations() {
  cat <<CONF
    location = /DownloadRequest {
      default_type text/plain;
      return 200 "0\\naid=0,status=Available\\n";
    }
    location /kxmirror/downloads/sha1/ { alias $data/sha1/; }
CONF
}

# par_nginx_conf PREFIX -> nginx's configuration: the stand-in relay on http_port, the same on
# h2_port over TLS with HTTP/2 only (a plain-http request there is answered 400), and on pass_port
# every download request answered with a status that files nothing. One log per server.
par_nginx_conf() {
  local prefix=$1
  nginx_head "$prefix" 1 1024
  cat <<CONF
  # \$connection is the server's serial number of the connection; \$msec the time of the reply.
  log_format par '\$connection \$scheme \$server_protocol \$request_method \$status \$msec';
  server {
    listen 127.0.0.1:$par_http_port;
    access_log $prefix/http.log par;
$(par_locations)
  }
  server {
    listen 127.0.0.1:$par_h2_port ssl http2;
    ssl_certificate $prefix/tls/cert.pem;
    ssl_certificate_key $prefix/tls/key.pem;
    access_log $prefix/h2.log par;
$(par_locations)
  }
  server {
    listen 127.0.0.1:$par_pass_port;
    access_log $prefix/pass.log par;
    location = /DownloadRequest {
      default_type text/plain;
      return 200 "0\\naid=0,status=Failed\\n";
    }
  }
}
CONF
}

# par_nginx_start -> nginx with a self-signed certificate for 127.0.0.1, on three free ports.
par_nginx_start() {
  local prefix=$work/nginx-par attempt
  mkdir -p "$prefix/tmp" "$prefix/tls"
  chmod 755 "$work"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
    -keyout "$prefix/tls/key.pem" -out "$prefix/tls/cert.pem" 2>/dev/null
  [ "$(id -u)" -eq 0 ] && chown -R nobody:nogroup "$prefix"
  for attempt in 1 2 3 4 5; do
    par_http_port=$(random_port); par_h2_port=$(random_port); par_pass_port=$(random_port)
    [ "$(printf '%s\n' "$par_http_port" "$par_h2_port" "$par_pass_port" | sort -u | wc -l)" = 3 ] ||
      continue
    par_nginx_conf "$prefix" >"$prefix/nginx.conf"
    if run_as_server nginx -q -p "$prefix" -e "$prefix/error.log" -c "$prefix/nginx.conf" \
        2>>"$work/nginx-start.log"; then
      wait_for_file "$prefix/nginx.pid" || return 1
      nginx_pid=$(cat "$prefix/nginx.pid")
      wait_for_port "$par_http_port" && wait_for_port "$par_h2_port" &&
        wait_for_port "$par_pass_port" && return 0
    fi
  done
  echo "bench: nginx did not start:" >&2
  tail -5 "$work/nginx-start.log" "$prefix/error.log" >&2 2>/dev/null
  return 1
}

# par_proxy PORT_VAR TARGET_PORT DELAY_MS LOG -> one more delay proxy in front of TARGET_PORT,
# kept in extra_pids; its port goes to PORT_VAR.
par_proxy() {
  local -n _port=$1
  start_delay_proxy "$repo/$bench_build/delay_proxy" "$2" "$3" "$4"
  extra_pids+=("$proxy_pid")
  _port=$proxy_port
  proxy_pid=
}

# par_make_files TAG COUNT BYTES BASE_URL -> COUNT random files of BYTES in the mirror's folder,
# and for them: TAG.list (Quonfetch's list), TAG.sums (sha1sum -c, names in $work/out),
# TAG.exchanges.curlrc (every download request, then every fetch), TAG.urls.curlrc and TAG.aria2
# (the fetches only).
par_make_files() {
  local tag=$1 count=$2 bytes=$3 base=$4 dir=$work/par-$1 sum path name
  mkdir -p "$dir"
  head -c $((count * bytes)) /dev/urandom | split -b "$bytes" -a 5 -d - "$dir/$tag"
  : >"$work/$tag.list"; : >"$work/$tag.sums"; : >"$work/$tag.urls.curlrc"; : >"$work/$tag.aria2"
  : >"$work/$tag.requests"
  while read -r sum path; do
    name=$(basename "$path").bin
    mv "$path" "$data/sha1/$sum"
    printf '%s %s http://origin.invalid/files/%s\n' "$sum" "$bytes" "$name" >>"$work/$tag.list"
    printf '%s  %s\n' "$sum" "$name" >>"$work/$tag.sums"
    { [ -s "$work/$tag.requests" ] && printf 'next\n'
      curl_request_entry "$base" "$sum" "$bytes" "$name"; } >>"$work/$tag.requests"
    curl_fetch_entry "$base" "$sum" "$name" >>"$work/$tag.urls.curlrc"
    printf '%s/kxmirror/downloads/sha1/%s\n  out=%s\n' "$base" "$sum" "$name" >>"$work/$tag.aria2"
  done < <(cd "$dir" && sha1sum "$tag"* | sed "s|  |  $dir/|")
  rmdir "$dir"
  chmod 644 "$data"/sha1/*
  { cat "$work/$tag.requests"; printf 'next\n'; cat "$work/$tag.urls.curlrc"; } \
    >"$work/$tag.exchanges.curlrc"
  rm -f "$work/$tag.requests"
}

# par_check_out TAG -> every file of TAG is in $work/out with its SHA-1.
par_check_out() {
  (cd "$work/out" && sha1sum --quiet -c "$work/$1.sums" >"$work/sums.out" 2>&1) || {
    echo "bench: wrong or missing files after a run:" >&2
    head -5 "$work/sums.out" >&2
    exit 1
  }
}

# par_counts PROXY_LOG ACCESS_LOG -> "CONNECTIONS REQUESTS" since the last call: connections the
# delay proxy opened and requests the server logged. Empties both logs.
par_counts() {
  local connections requests
  connections=$(grep -c '^connection ' "$1" || true)
  requests=$(wc -l <"$2")
  : >"$1"
  : >"$2"
  echo "$connections $requests"
}

# par_h2_counts ACCESS_LOG END -> "TLS_CONNECTIONS TLS_REQUESTS PLAIN_FAILURES AFTER_MOVE" from
# the https server's log of one run that ended at END (seconds since the epoch): connections and
# requests over TLS, plain-http requests refused, and the run's time after the client's wait
# that followed the last refusal. Empties the log.
par_h2_counts() {
  awk -v end="$2" -v wait="$par_https_wait" '
    $2 == "https" { tls[$1] = 1; requests++ }
    $2 != "https" { failures++; if ($6 > last) last = $6 }
    END { after = last > 0 ? end - last - wait : -1
          printf "%d %d %d %.6f\n", length(tls), requests, failures, after }' "$1"
  : >"$1"
}

# par_h2_spread ACCESS_LOG -> the requests each TLS connection carried, most first, repeated
# counts folded: "385, 15 × 1".
par_h2_spread() {
  awk '$2 == "https" { n[$1]++ } END { for (c in n) print n[c] }' "$1" | sort -rn | uniq -c |
    awk '{ item = ($1 > 1) ? $1 " × " $2 : $2; out = (NR > 1) ? out ", " item : item }
      END { print out }'
}

# par_time VAR COUNTS_VAR PROXY_LOG ACCESS_LOG COMMAND... -> times COMMAND (median later) and
# appends "CONNECTIONS REQUESTS CPU_SECONDS" to the array named COUNTS_VAR.
par_time() {
  local -n _times=$1 _counts=$2
  local proxy_log=$3 access=$4 s m
  shift 4
  timed_rss s m "$@"
  _times+=("$s")
  _counts+=("$(par_counts "$proxy_log" "$access") $last_cpu")
}

# par_field ARRAY FIELD -> the median of one field of "A B ..." entries.
par_field() {
  local -n _entries=$1
  median $(printf '%s\n' "${_entries[@]}" | cut -d' ' -f"$2")
}

# par_met RATIO GOAL -> yes when RATIO is at most GOAL.
par_met() { awk -v r="$1" -v g="$2" 'BEGIN { print (r <= g) ? "yes" : "no" }'; }

# par_row WORK CLIENT TIMES COUNTS FILES RATIO GOAL [CPU_SCALE] -> one table row; RATIO and GOAL
# may be empty.
par_row() {
  local work_name=$1 client=$2 times=$3 counts=$4 files=$5 ratio=$6 goal=$7 cpu_scale=${8:-1} met=
  [ -n "$goal" ] && met=$(par_met "$ratio" "$goal")
  [ -n "$ratio" ] && ratio=$(fmt %.3f "$ratio")
  row "$work_name" "$client" "$(fmt %.3f "$(median "${!times}")")" \
    "$(fmt %.2f "$(par_field "$counts" 3) * $cpu_scale")" \
    "$(fmt %.0f "$(par_field "$counts" 1)")" "$(fmt %.2f "$(par_field "$counts" 2) / $files")" \
    "$ratio" "${goal:+at most $goal}" "$met"
}

# par_quonfetch PORT LIST JOBS -> qf_cmd: quonfetch's command line for a list through the proxy
# on PORT.
par_quonfetch() {
  qf_cmd=("$qf" -r "$host" -p "$1" -f "$2" -o "$work/out" -j "$3")
}

# par_run_small PORT -> one turn of the 4 KiB files through the proxy on PORT.
par_run_small() {
  local port=$1 http_log=$work/nginx-par/http.log n=$par_small_count
  fresh_out
  par_quonfetch "$port" "$work/small.list" 1
  par_time t_j1 c_j1 "$work/par-a.log" "$http_log" "${qf_cmd[@]}"
  expect_success "$n"
  fresh_out
  par_quonfetch "$port" "$work/small.list" 16
  par_time t_j16 c_j16 "$work/par-a.log" "$http_log" "${qf_cmd[@]}"
  expect_success "$n"
  fresh_out
  par_time t_cx c_cx "$work/par-a.log" "$http_log" curl -sS --parallel --parallel-max 16 \
    --config "$work/small.exchanges.curlrc"
  par_check_out small
  fresh_out
  par_time t_cu c_cu "$work/par-a.log" "$http_log" curl -sS --parallel --parallel-max 16 \
    --config "$work/small.urls.curlrc"
  par_check_out small
  fresh_out
  par_time t_au c_au "$work/par-a.log" "$http_log" aria2c "${aria2_options[@]}" -j 16 -x 1 \
    -i "$work/small.aria2"
  par_check_out small
}

# par_run_big PORT -> one turn of the 16 MiB files through the proxy on PORT.
par_run_big() {
  local port=$1 http_log=$work/nginx-par/http.log
  fresh_out
  par_quonfetch "$port" "$work/big.list" 8
  par_time t_bq c_bq "$work/par-a.log" "$http_log" "${qf_cmd[@]}"
  expect_success "$par_big_count"
  par_check_out big
  fresh_out
  par_time t_ba c_ba "$work/par-a.log" "$http_log" aria2c "${aria2_options[@]}" -j 8 -x 1 \
    -i "$work/big.aria2"
  par_check_out big
  fresh_out
  par_time t_bc c_bc "$work/par-a.log" "$http_log" curl -sS --parallel --parallel-max 8 \
    --config "$work/big.urls.curlrc"
  par_check_out big
}

# par_run_h2 PORT -> one turn of the 4 KiB files through the proxy on PORT, in front of the
# https-only server: three refusals on http, then everything over TLS.
par_run_h2() {
  local s m end proxied
  fresh_out
  par_quonfetch "$1" "$work/small.list" 16
  timed_rss s m "${qf_cmd[@]}"
  end=$(now)
  expect_success "$par_small_count"
  par_check_out small
  t_h2+=("$s")
  h2_spread+=("$(par_h2_spread "$work/nginx-par/h2.log")")
  # "TLS_CONNECTIONS TLS_REQUESTS REFUSED AFTER_MOVE PROXY_CONNECTIONS"
  proxied=$(par_counts "$work/par-b.log" /dev/null | cut -d' ' -f1)
  c_h2+=("$(par_h2_counts "$work/nginx-par/h2.log" "$end") $proxied")
}

# par_run_pass PORT -> one turn of the status pass through the proxy on PORT: every record's
# request sent once (answered with a status that files nothing), by -j 1 on the subset and by
# -j 32 on the whole list.
par_run_pass() {
  local pass_log=$work/nginx-par/pass.log
  par_quonfetch "$1" "$work/pass-subset.list" 1
  par_time t_p1 c_p1 "$work/par-c.log" "$pass_log" "${qf_cmd[@]}"
  expect_success 0
  par_quonfetch "$1" "$work/pass.list" 32
  par_time t_p32 c_p32 "$work/par-c.log" "$pass_log" "${qf_cmd[@]}"
  expect_success 0
}

# par_setup -> nginx, the three delay proxies (a_port, b_port, c_port) and the files.
par_setup() {
  mkdir -p "$data/sha1" "$work/out"
  par_nginx_start
  par_proxy a_port "$par_http_port" "$par_delay_ms" "$work/par-a.log"
  par_proxy b_port "$par_h2_port" "$par_delay_ms" "$work/par-b.log"
  par_proxy c_port "$par_pass_port" "$par_pass_delay_ms" "$work/par-c.log"
  par_make_files small "$par_small_count" "$small_size" "http://$host:$a_port"
  par_make_files big "$par_big_count" $((par_big_mib << 20)) "http://$host:$a_port"
  make_list "$par_records" "$work/pass.list"
  head -n "$par_subset" "$work/pass.list" >"$work/pass-subset.list"
  : >"$work/nginx-par/http.log"; : >"$work/nginx-par/h2.log"; : >"$work/nginx-par/pass.log"
  : >"$work/par-a.log"; : >"$work/par-b.log"; : >"$work/par-c.log"
}

# par_table -> the section's table and its goals, from the runs' figures.
par_table() {
  local small="$par_small_count × $small_size B at $((2 * par_delay_ms)) ms"
  local big="$par_big_count × $par_big_mib MiB at $((2 * par_delay_ms)) ms"
  local pass="status pass, $par_records records at $((2 * par_pass_delay_ms)) ms"
  local q16 qb fastest scale p1 p32 i t_p1x=()
  q16=$(median "${t_j16[@]}")
  echo '## Many files over a slow link (`-j`)'
  echo
  row "Work" "Client" "Median s" "CPU s" "Connections opened" "Requests per file" "Ratio" "Goal" \
    "Met"
  row "---" "---" "---:" "---:" "---:" "---:" "---:" "---" "---"
  par_row "$small" "quonfetch -j 1" t_j1[@] c_j1 "$par_small_count" "" ""
  par_row "$small" "quonfetch -j 16 (÷ -j 1)" t_j16[@] c_j16 "$par_small_count" \
    "$(calc "$q16 / $(median "${t_j1[@]}")")" 0.10
  par_row "$small" \
    "curl --parallel --parallel-max 16, the same POSTs then GETs (quonfetch -j 16 ÷ this)" \
    t_cx[@] c_cx "$par_small_count" "$(calc "$q16 / $(median "${t_cx[@]}")")" 1.05
  par_row "$small, URL only" "aria2c -j 16 -x 1 (quonfetch -j 16 ÷ this)" t_au[@] c_au \
    "$par_small_count" "$(calc "$q16 / $(median "${t_au[@]}")")" ""
  par_row "$small, URL only" "curl --parallel --parallel-max 16 (quonfetch -j 16 ÷ this)" t_cu[@] \
    c_cu "$par_small_count" "$(calc "$q16 / $(median "${t_cu[@]}")")" ""
  scale=$(calc "$par_records / $par_subset")
  for i in "${!t_p1[@]}"; do t_p1x+=("$(calc "${t_p1[$i]} * $scale")"); done
  p1=$(median "${t_p1x[@]}"); p32=$(median "${t_p32[@]}")
  par_row "$pass" "quonfetch -j 1 (timed on $par_subset records, × $scale)" t_p1x[@] c_p1 \
    "$par_subset" "" "" "$scale"
  par_row "$pass" "quonfetch -j 32 (÷ -j 1)" t_p32[@] c_p32 "$par_records" \
    "$(calc "$p32 / $p1")" 0.04
  qb=$(median "${t_bq[@]}")
  fastest=$(median "${t_ba[@]}")
  [ "$(par_met "$(median "${t_bc[@]}")" "$fastest")" = yes ] && fastest=$(median "${t_bc[@]}")
  par_row "$big" "quonfetch -j 8 (÷ the faster of the two below)" t_bq[@] c_bq "$par_big_count" \
    "$(calc "$qb / $fastest")" 1.05
  par_row "$big, URL only" "aria2c -j 8 -x 1" t_ba[@] c_ba "$par_big_count" "" ""
  par_row "$big, URL only" "curl --parallel --parallel-max 8" t_bc[@] c_bc "$par_big_count" "" ""
  echo
  echo "Through bench/delay_proxy (a new connection also pays one round trip); connections from"
  echo "the proxy's log, requests from nginx's. Every file's SHA-1 is checked after every run."
  echo
  par_h2_table "$small"
}

# par_h2_table WORK -> the https run: time in all and after the move, connections over TLS.
par_h2_table() {
  local total after
  total=$(median "${t_h2[@]}")
  after=$(par_field c_h2 4)
  echo "## The same files over https with HTTP/2 (-j 16)"
  echo
  row "Work" "Client" "Median s in all" "Median s after the move (*)" \
    "After the move ÷ -j 16 over http" "Connections over TLS" "Connections in all" \
    "Plain-http requests refused" "Requests per file over TLS"
  row "---" "---" "---:" "---:" "---:" "---:" "---:" "---:" "---:"
  row "$1" "quonfetch -j 16" "$(fmt %.3f "$total")" "$(fmt %.3f "$after")" \
    "$(fmt %.3f "$after / $(median "${t_j16[@]}")")" "$(fmt %.0f "$(par_field c_h2 1)")" \
    "$(fmt %.0f "$(par_field c_h2 5)")" "$(fmt %.0f "$(par_field c_h2 3)")" \
    "$(fmt %.2f "$(par_field c_h2 2) / $par_small_count")"
  echo
  echo "nginx listens with ssl and http2 only, so each plain-http download request is answered"
  echo "400; after the third the client moves to https on the same port. (*) the run's end less"
  echo "the last refusal in nginx's log and the client's $par_https_wait s wait that follows it."
  echo "Requests each TLS connection carried, run by run: $(printf '%s; ' "${h2_spread[@]}" |
    sed 's/; $//')."
}

parallel_section() {
  echo "bench: parallel" >&2
  local run a_port b_port c_port qf_cmd=()
  local aria2_options=(--no-conf -q -d "$work/out" --allow-overwrite=true
    --auto-file-renaming=false --file-allocation=none)
  t_j1=(); t_j16=(); t_cx=(); t_cu=(); t_au=(); t_bq=(); t_ba=(); t_bc=(); t_h2=()
  t_p1=(); t_p32=()
  c_j1=(); c_j16=(); c_cx=(); c_cu=(); c_au=(); c_bq=(); c_ba=(); c_bc=(); c_h2=()
  c_p1=(); c_p32=(); h2_spread=()
  par_setup
  for run in $(seq 1 "$runs"); do
    echo "bench: parallel, turn $run of $runs" >&2
    par_run_small "$a_port"
    par_run_big "$a_port"
    par_run_h2 "$b_port"
    par_run_pass "$c_port"
  done
  fresh_out
  stop_servers
  par_table
  echo
  local tag
  for tag in small big; do
    (cd "$data/sha1" && cut -d' ' -f1 "$work/$tag.sums" | xargs rm -f)
    rm -f "$work/$tag".{list,sums,urls.curlrc,exchanges.curlrc,aria2}
  done
  rm -f "$work"/pass*.list
}
