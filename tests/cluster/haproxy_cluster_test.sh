#!/usr/bin/env bash
# Three relays behind HAProxy (contrib/haproxy/quonfetch-relays.cfg), driven by quonfetch:
#  1. 300 files through HAProxy: each fetched from its origin exactly once across the three, and
#     every file verified by the client; the stores together hold far more than one could.
#  2. relay2 stopped: a second run gets all 300 again, and the files fetched anew are exactly
#     relay2's share, fetched by the other two.
#  3. relay2 back on its store: a third run gets all 300 again and no relay fetches anything.
# Usage: haproxy_cluster_test.sh QUONFETCH QUONFETCH_RELAY SOURCE_DIR. Exits 77 (skipped) when
# haproxy is not installed. Prints its figures on the way.
set -euo pipefail

client=$1
cluster_relay_binary=$2
source_dir=$3
if ! command -v haproxy >/dev/null 2>&1; then
  echo "SKIPPED: haproxy is not installed (scripts/setup installs it)"
  exit 77
fi

cluster_work=$(mktemp -d /tmp/quonfetch-cluster-test.XXXXXX)
source "$source_dir/scripts/lib/cluster.sh"
trap 'cluster_stop_all; rm -rf "$cluster_work"' EXIT

failures=0
check() {  # check DESCRIPTION COMMAND...: runs the command, counts and names a failure.
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

# 300 files of 4 KiB each, the same every run: the digests, and so which relay owns each, are
# fixed, so the test is deterministic.
files=300
file_size=4096
mkdir -p "$cluster_work/origin"
for i in $(seq -w 1 $files); do
  yes "quonfetch cluster record $i" | head -c $file_size > "$cluster_work/origin/r$i.bin" || true
done
for file in "$cluster_work"/origin/*.bin; do
  printf '%s %s file://%s %s\n' "$(sha1sum < "$file" | cut -d' ' -f1)" $file_size "$file" \
    "$(sha256sum < "$file" | cut -d' ' -f1)"
done > "$cluster_work/list.txt"
cut -d' ' -f1 "$cluster_work/list.txt" | sort > "$cluster_work/all.sha1"

# Each store holds at most 160 of these files: far fewer than the 300, and more than the ~150 each
# of the two relays left own once relay2 stops, so that no eviction blurs what is fetched anew.
store_limit=$((160 * file_size))
relays=(relay1 relay2 relay3)
for name in "${relays[@]}"; do
  cluster_start_relay "$name" --allow-file-origins --max-store-size "$store_limit"
done
cluster_start_haproxy "$source_dir/contrib/haproxy/quonfetch-relays.cfg" "${relays[@]}"

# run_client OUT: fetches the list through HAProxy into the folder OUT.
run_client() {
  "$client" -r 127.0.0.1 -p "$cluster_port" -j 16 -t 1 -f "$cluster_work/list.txt" \
    -o "$cluster_work/$1" > "$cluster_work/$1.out" 2>&1
}

# every_file_arrived OUT: the client's count line says all of them and each file has its digest.
every_file_arrived() {
  local out=$1
  tail -n 1 "$cluster_work/$out.out" | grep -qx "$files download(s) successfully downloaded." &&
    (cd "$cluster_work/$out" &&
      awk '{ n = $3; sub(".*/", "", n); print $1 "  " n }' "$cluster_work/list.txt" |
      sha1sum --check --quiet --strict -)
}

fetch_and_verify() {
  run_client "$1" && every_file_arrived "$1"
}

# The files in a relay's store (its sha1 names, without temporary files).
store_count() {
  find "$cluster_work/$1.store/sha1" -maxdepth 1 -type f ! -name '.*' | wc -l
}

# -- 1. Three relays ----------------------------------------------------------------------------
check "first run: the client says $files arrived, each with its sha1" \
  fetch_and_verify out1

for name in "${relays[@]}"; do cluster_fetches "$name" > "$cluster_work/$name.first"; done
cat "$cluster_work"/relay?.first | sort > "$cluster_work/fetched1.sha1"
total_fetches=$(wc -l < "$cluster_work/fetched1.sha1")
repeated=$(uniq -d "$cluster_work/fetched1.sha1" | wc -l)
echo "figures: fetches per relay: relay1 $(wc -l < "$cluster_work/relay1.first")," \
  "relay2 $(wc -l < "$cluster_work/relay2.first"), relay3 $(wc -l < "$cluster_work/relay3.first");" \
  "$total_fetches fetches of $files digests, $repeated digest(s) fetched more than once"
check "each digest fetched from its origin exactly once across the three" \
  cmp -s "$cluster_work/fetched1.sha1" "$cluster_work/all.sha1"
# Every mirror GET reached its relay through HAProxy, which the relay trusts to name the client.
via_haproxy() {
  local name
  for name in "${relays[@]}"; do
    grep -qE ' 127\.0\.0\.1 via 127\.0\.0\.1:[0-9]+ GET /kxmirror/downloads/sha1/' \
      "$cluster_work/$name.log" || return 1
    ! grep -E ' GET /kxmirror/downloads/' "$cluster_work/$name.log" | grep -qv ' via ' || return 1
  done
}
check "each relay logs its mirror GETs under the client's address, via HAProxy" via_haproxy
check "no fetch ended otherwise than stored" \
  test "$(cat "$cluster_work"/relay?.log | grep -c ' Fetch of ')" -eq "$files"

held=0
for name in "${relays[@]}"; do
  count=$(store_count "$name")
  held=$((held + count))
  echo "figures: $name's store holds $count file(s), at most $((store_limit / file_size))"
  check "$name's store stays within --max-store-size" test $((count * file_size)) -le "$store_limit"
done
check "the three stores hold every file: more than any one store can ($held > $((store_limit / file_size)))" \
  test "$held" -eq "$files" -a $((held * file_size)) -gt "$store_limit"

# A download request whose body comes apart from its head (a slow link, a proxy's own buffering)
# still goes to the digest's owner: HAProxy waits for the body before it picks a relay.
# slow_post SHA1: sends the request of the list's file SHA1, its body 0.3 s after its head; true
# when the reply is a 200.
slow_post() {
  local sha1=$1 url
  url=$(grep "^$sha1 " "$cluster_work/list.txt" | cut -d' ' -f3)
  url=${url//%/%25}
  url=${url//:/%3A}
  url=${url//\//%2F}
  local body
  body=$(printf '0\naid=0,index=null,sha1=%s,size=%s,url=%s\n' "$sha1" "$file_size" "$url")
  exec 3<> "/dev/tcp/127.0.0.1/$cluster_port"
  printf 'POST /DownloadRequest HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\n' >&3
  printf 'Content-Length: %d\r\nConnection: close\r\n\r\n' $((${#body} + 1)) >&3
  sleep 0.3
  printf '%s\n' "$body" >&3
  local reply
  reply=$(timeout 10 cat <&3) || true
  exec 3<&-
  [[ $reply == "HTTP/1.1 200 "* ]]
}

# requested_of NAME SHA1: how many download requests for SHA1 the relay NAME logged.
requested_of() {
  grep -c "POST /DownloadRequest 200 sha1=$2 " "$cluster_work/$1.log" || true
}

for name in "${relays[@]}"; do
  for sha1 in $(head -n 2 "$cluster_work/$name.first"); do
    before=$(requested_of "$name" "$sha1")
    check "a download request with a late body for one of $name's files is answered" \
      slow_post "$sha1"
    others=0
    for other in "${relays[@]}"; do
      [ "$other" = "$name" ] || others=$((others + $(requested_of "$other" "$sha1")))
    done
    check "... and reaches $name alone" \
      test "$(requested_of "$name" "$sha1")" -eq $((before + 1)) -a "$others" -eq 0
  done
done

# -- 2. One relay stopped -----------------------------------------------------------------------
for name in "${relays[@]}"; do wc -l < "$cluster_work/$name.log" > "$cluster_work/$name.mark"; done
check "relay2 stops cleanly" cluster_stop "${cluster_relay_pid[relay2]}"
check "haproxy takes relay2 out after its failed health checks" \
  cluster_wait_for "$cluster_work/haproxy.log" 'relays/relay2 is DOWN' 20

check "second run, relay2 stopped: the client says $files arrived, each with its sha1" \
  fetch_and_verify out2

# What relay1 and relay3 fetched since the mark: exactly what relay2 had fetched.
for name in relay1 relay3; do
  tail -n +$(($(cat "$cluster_work/$name.mark") + 1)) "$cluster_work/$name.log" |
    sed -nE 's/^.* Fetch of .* for ([0-9a-f]{40}): stored, .*$/\1/p' > "$cluster_work/$name.second"
done
cat "$cluster_work/relay1.second" "$cluster_work/relay3.second" | sort > "$cluster_work/moved.sha1"
sort "$cluster_work/relay2.first" > "$cluster_work/relay2.share"
echo "figures: moved $(wc -l < "$cluster_work/moved.sha1") of $files" \
  "(relay1 fetched $(wc -l < "$cluster_work/relay1.second") anew," \
  "relay3 $(wc -l < "$cluster_work/relay3.second")); relay2's share was" \
  "$(wc -l < "$cluster_work/relay2.share")"
check "the files fetched anew are exactly relay2's share, each once" \
  cmp -s "$cluster_work/moved.sha1" "$cluster_work/relay2.share"
check "relay1 and relay3 evicted nothing" \
  test "$(cat "$cluster_work/relay1.log" "$cluster_work/relay3.log" | grep -ci 'evict')" -eq 0

# -- 3. The relay back --------------------------------------------------------------------------
for name in "${relays[@]}"; do wc -l < "$cluster_work/$name.log" > "$cluster_work/$name.mark"; done
relay2_port=${cluster_relay_port[relay2]}
"$cluster_relay_binary" --store "$cluster_work/relay2.store" --port "$relay2_port" \
  --allow-file-origins --max-store-size "$store_limit" > "$cluster_work/relay2.log" 2>&1 &
cluster_pids+=("$!")
echo 0 > "$cluster_work/relay2.mark"
check "relay2 starts again on its port and verifies its store" \
  cluster_wait_for "$cluster_work/relay2.log" "Store: $(wc -l < "$cluster_work/relay2.share") file\\(s\\) verified, 0 removed" 20
check "haproxy puts relay2 back after its good health checks" \
  cluster_wait_for "$cluster_work/haproxy.log" 'relays/relay2 is UP' 20
check "third run, relay2 back: the client says $files arrived, each with its sha1" \
  fetch_and_verify out3
fetched3=0
for name in "${relays[@]}"; do
  fetched3=$((fetched3 + $(tail -n +$(($(cat "$cluster_work/$name.mark") + 1)) \
    "$cluster_work/$name.log" | grep -c ' Fetch of ' || true)))
done
sed -nE 's/^.* POST \/DownloadRequest 200 sha1=([0-9a-f]{40}) .*$/\1/p' "$cluster_work/relay2.log" |
  sort -u > "$cluster_work/relay2.asked"
echo "figures: third run, relay2 back with its store: asked for $(wc -l < "$cluster_work/relay2.asked")" \
  "digest(s); $fetched3 fetch(es) in all"
check "relay2 is asked for its share again, and only for it" \
  cmp -s "$cluster_work/relay2.asked" "$cluster_work/relay2.share"
check "relay2 serves its share from its store again: no relay fetches anything" \
  test "$fetched3" -eq 0

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed; the logs:"
  for log in "$cluster_work"/*.log; do echo "== $log"; tail -n 20 "$log"; done
  exit 1
fi
echo "all checks passed"
