# scripts/bench's resume section: one large file through the reference relay with
# bench/delay_proxy between the client and the relay, uncut, cut once half-way and cut every
# eighth of the file; the client continues a cut transfer with a Range request. Sourced by
# scripts/bench, after bench/lib.sh. RESUME_FILE_MIB (256) shrinks the file for a trial run; the
# cut points scale with it.

resume_mib=${RESUME_FILE_MIB:-256}
resume_wait=1  # the client's wait before a resume that follows one which brought bytes

# resume_origin -> a file of random bytes that the relay fetches through a file:// URL:
# resume_bytes, resume_sha1, resume_url.
resume_origin() {
  local dir=$work/resume-origin
  mkdir -p "$dir"
  head -c $((resume_mib << 20)) /dev/urandom >"$dir/resume.bin"
  resume_bytes=$((resume_mib << 20))
  resume_sha1=$(sha1sum "$dir/resume.bin" | cut -c1-40)
  resume_url=file://$dir/resume.bin
  chmod 755 "$work" "$dir"
  chmod 644 "$dir/resume.bin"
}

# resume_fill_store -> asks the relay for the file until it has fetched it into its store.
resume_fill_store() {
  local origin body reply status= i
  origin=$(printf '%s' "$resume_url" | sed 's|/|%2F|g; s|:|%3A|g')
  body=$(printf '0\naid=0,index=null,sha1=%s,size=%s,url=%s\n' "$resume_sha1" "$resume_bytes" \
    "$origin")
  for i in $(seq 1 600); do
    reply=$(curl -sS -H 'Content-Type: text/plain' --data-binary "$body"$'\n' \
      "http://$host:$relay_port/DownloadRequest" || true)
    status=$(printf '%s' "$reply" | sed -n 's/.*status=\([A-Za-z_]*\).*/\1/p' | head -1)
    [ "$status" = Available ] && return 0
    sleep 0.2
  done
  echo "bench: the reference relay never made the file available (last reply: $reply)" >&2
  return 1
}

# resume_proxy [CUT_OPTION BYTES] -> a fresh delay proxy (no delay) in front of the relay, cutting
# as told: proxy_port, proxy_pid. Fresh for every run, as --cut-after cuts one connection only.
resume_proxy() {
  start_delay_proxy "$repo/$bench_build/delay_proxy" "$relay_port" 0 "$work/resume-proxy.log" \
    "$@"
}

# resume_proxy_stop -> stops the proxy; resume_sent gets the bytes it sent to the client and
# resume_cuts the connections it cut, from its summary.
resume_proxy_stop() {
  local summary
  stop_pid "$proxy_pid"
  wait "$proxy_pid" 2>/dev/null || true
  proxy_pid=
  summary=$(tail -1 "$work/resume-proxy.log")
  resume_sent=$(sed -n 's/.*, bytes to the client: \([0-9]*\),.*/\1/p' <<<"$summary")
  resume_cuts=$(sed -n 's/.*, connections cut: \([0-9]*\)$/\1/p' <<<"$summary")
  [ -n "$resume_sent" ] && [ -n "$resume_cuts" ] || {
    echo "bench: the delay proxy wrote no summary:" >&2
    tail -3 "$work/resume-proxy.log" >&2
    exit 1
  }
}

# resume_check_file -> the output is the whole file with its SHA-1.
resume_check_file() {
  local sum
  sum=$(sha1sum "$work/out/resume.bin" 2>/dev/null | cut -c1-40 || true)
  [ "$sum" = "$resume_sha1" ] || {
    echo "bench: the resumed file is wrong or missing (SHA-1 ${sum:-none})" >&2
    exit 1
  }
}

# resume_run NAME [CUT_OPTION BYTES] -> one timed client run through a fresh proxy, checked;
# appends "SECONDS BYTES_TO_CLIENT RESUMES CUTS" to the array resume_NAME.
resume_run() {
  local -n _figures=resume_$1
  shift
  local s m resumes
  resume_proxy "$@"
  fresh_out
  timed_rss s m "$qf" -r "$host" -p "$proxy_port" -s "$resume_sha1" -z "$resume_bytes" \
    -u "$resume_url" -o "$work/out"
  resume_proxy_stop
  expect_success 1
  resume_check_file
  resumes=$(grep -c '^Resuming ' "$work/last.out" || true)
  _figures+=("$s $resume_sent $resumes $resume_cuts")
}

# resume_curl_contrast -> one curl -o of the mirror URL through a proxy that cuts half-way:
# resume_curl gets "EXIT_STATUS BYTES_WRITTEN ERROR".
resume_curl_contrast() {
  local status=0 written error
  resume_proxy --cut-after $((resume_bytes / 2))
  fresh_out
  curl -sS -o "$work/out/resume.bin" \
    "http://$host:$proxy_port/kxmirror/downloads/sha1/$resume_sha1" 2>"$work/curl.err" ||
    status=$?
  resume_proxy_stop
  written=$(stat -c %s "$work/out/resume.bin" 2>/dev/null || echo 0)
  error=$(head -1 "$work/curl.err" | sed 's/^curl: //; s/^([0-9]*) //')
  resume_curl="$status $written $error"
}

# resume_met RATIO GOAL -> yes when RATIO is at most GOAL.
resume_met() { awk -v r="$1" -v g="$2" 'BEGIN { print (r <= g) ? "yes" : "no" }'; }

# resume_field NAME FIELD -> the median of one field of the runs of NAME.
resume_field() {
  local -n _entries=resume_$1
  median $(printf '%s\n' "${_entries[@]}" | cut -d' ' -f"$2")
}

# resume_spread NAME -> the fastest and the slowest run of NAME, "0.412–0.690".
resume_spread() {
  local -n _runs=resume_$1
  printf '%s\n' "${_runs[@]}" | cut -d' ' -f1 | sort -g |
    awk 'NR == 1 { low = $1 } { high = $1 } END { printf "%.3f–%.3f\n", low, high }'
}

# resume_row LABEL NAME UNCUT_MEDIAN -> one table row: time, cuts and resumes, time less the
# waits against the uncut time, bytes to the client against the file's size.
resume_row() {
  local label=$1 name=$2 uncut=$3 t resumes cuts net sent ratio met_t= met_b= goal_t=
  t=$(resume_field "$name" 1)
  sent=$(resume_field "$name" 2)
  resumes=$(resume_field "$name" 3)
  cuts=$(resume_field "$name" 4)
  ratio=$(calc "$sent / $resume_bytes")
  met_b=$(resume_met "$ratio" 1.01)
  net=$(calc "($t - $resumes * $resume_wait) / $uncut")
  if [ "$name" != uncut ]; then
    goal_t="at most 1.00"
    met_t=$(resume_met "$(fmt %.2f "$net")" 1.00)
  fi
  row "$label" "$(fmt %.3f "$t")" "$(resume_spread "$name")" "$(fmt %.0f "$cuts")" "$(fmt %.0f "$resumes")" \
    "$(fmt %.3f "$net")" "$goal_t" \
    "$met_t" "$(fmt %.4f "$ratio")" "at most 1.01" "$met_b"
}

resume_table() {
  local uncut every_mib=$((resume_mib / 8))
  uncut=$(resume_field uncut 1)
  echo "## A cut transfer continues ($resume_mib MiB through the reference relay)"
  echo
  row "Run" "Median s" "Fastest–slowest s" "Cuts" "Resumes" "(Time − resumes × $resume_wait s) ÷ uncut" "Goal" "Met" \
    "Bytes to the client ÷ file size" "Goal" "Met"
  row "---" "---:" "---:" "---:" "---:" "---:" "---" "---" "---:" "---" "---"
  resume_row "uncut" uncut "$uncut"
  resume_row "cut once, half-way" half "$uncut"
  resume_row "cut every $every_mib MiB" every "$uncut"
  echo
  echo "Through bench/delay_proxy without delay, fresh for each run, which resets both sides of a"
  echo "connection once it has carried the bytes given to --cut-after (the first connection) or"
  echo "--cut-every (each one); bytes to the client from its summary. Every run's file is checked"
  echo "with sha1sum and the client's last line must count 1 download; resumes are the client's"
  echo "\"Resuming\" lines, each after a $resume_wait s wait."
  echo
  local status written error
  read -r status written error <<<"$resume_curl"
  echo "curl -o of the mirror URL through the same half-way cut exits $status ($error) with"
  echo "$written of $resume_bytes bytes written, and nothing continues it."
  echo
}

resume_section() {
  echo "bench: resume ($resume_mib MiB)" >&2
  local run
  resume_uncut=(); resume_half=(); resume_every=()
  resume_origin
  start_relay "$relay_bin" "$work/resume-store"
  resume_fill_store
  # The first run through the proxy, untimed: every measured run is served from the store.
  resume_run uncut
  resume_uncut=()
  for run in $(seq 1 "$runs"); do
    echo "bench: resume, turn $run of $runs" >&2
    resume_run uncut
    resume_run half --cut-after $((resume_bytes / 2))
    resume_run every --cut-every $((resume_bytes / 8))
  done
  resume_curl_contrast
  fresh_out
  stop_servers
  rm -rf "$work/resume-store" "$work/resume-origin"
  resume_table
}
