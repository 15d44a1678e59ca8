#!/usr/bin/env bash
# What a decompression bomb costs pelliton: the real program against the
# test news server on 127.0.0.1 with COMPRESS DEFLATE, once as it is and
# once with SIZE bytes of one endless line in the body of a matching
# article, which travel as about a thousandth of that.
#
#   bench/bomb.sh [-b BUILD_DIR] [-s SIZE] [-l ARTICLELIMIT]
#
# SIZE in bytes (default 4294967296, 4 GiB); ARTICLELIMIT as in the server
# file (default 64m, the default).  Prints, for each run, the wall time,
# the CPU seconds and the peak RSS of pelliton (from wait4), the bytes that
# crossed the wire from the server, and what pelliton said.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$repo/build-bench}
size=4294967296
limit=64m
while getopts "b:s:l:h" opt; do
  case $opt in
    b) build=$OPTARG ;;
    s) size=$OPTARG ;;
    l) limit=$OPTARG ;;
    *) sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'; exit 2 ;;
  esac
done
case $size in '' | *[!0-9]*) echo "bomb.sh: -s needs a number of bytes" >&2; exit 2 ;; esac

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target pelliton pelliton-testserver pelliton-runstat >/dev/null

tmp=$(mktemp -d "${TMPDIR:-/tmp}/pelliton-bomb.XXXXXX")
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Article 100 of 200 matches; its body is the bomb.
for run in ordinary bomb; do
  bomb=()
  [ "$run" = bomb ] && bomb=(--bomb "BODY 100=$size")
  rm -f "$tmp/port" "$tmp/stats"
  "$build/pelliton-testserver" --synthetic bench:200:10 --compress "${bomb[@]}" \
    --port-file "$tmp/port" --stats "$tmp/stats" >"$tmp/server.out" 2>&1 &
  server_pid=$!
  for ((i = 0; i < 200; i++)); do
    [ -s "$tmp/port" ] && break
    sleep 0.05
  done
  [ -s "$tmp/port" ] || { cat "$tmp/server.out" >&2; exit 1; }
  cat >"$tmp/servers" <<EOF
[bench]
host 127.0.0.1
port $(cat "$tmp/port")
config $tmp/filter
newsrc $tmp/newsrc-$run
compress yes
articlelimit $limit
EOF
  printf 'bench:\n* ^Subject:.*\\(match\\)\n%s\n' "$tmp/mbox-$run" >"$tmp/filter"
  t0=$(date +%s%N)
  status=0
  "$build/bench/pelliton-runstat" "$tmp/usage" "$build/pelliton" -f "$tmp/servers" -n 32 bench \
    2>"$tmp/err" || status=$?
  t1=$(date +%s%N)
  kill -USR1 "$server_pid"
  for ((i = 0; i < 200; i++)); do
    [ -s "$tmp/stats" ] && break
    sleep 0.01
  done
  read -r _ down _ <"$tmp/stats"
  read -r user sys rss <"$tmp/usage"
  awk -v run="$run" -v t0="$t0" -v t1="$t1" -v u="$user" -v s="$sys" -v rss="$rss" \
    -v down="$down" -v st="$status" 'BEGIN {
    printf "%-8s  exit %d  wall %.3f s  CPU %.3f s  peak RSS %d KB  %d bytes from the server\n",
      run, st, (t1 - t0) / 1e9, u + s, rss, down }'
  sed 's/^/          /' "$tmp/err"
  kill -TERM "$server_pid"
  wait "$server_pid" 2>/dev/null || true
  server_pid=
done
