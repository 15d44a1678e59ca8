#!/usr/bin/env bash
# What pelliton holds in memory against a server whose headers are huge:
# the peak RSS of whole runs against the project's test news server on
# 127.0.0.1.
#
#   bench/heldheaders.sh [-r REPEAT] [-b BUILD_DIR] [-p PELLITON] [-k ARTICLES]
#                        [-s HEADER_MB] [MAXREQ]...
#
# One newsgroup of ARTICLES articles (default 40), each with a header of
# HEADER_MB megabytes (default 30: a From, a Subject that matches, a
# Message-ID and lines of padding) and a one-line body, every one of them
# matching; a run fetches them all into a mailbox, with -n MAXREQ for each
# MAXREQ given (default 16 32), each run REPEAT times (default 1).
# Columns: -n, wall seconds, peak RSS of pelliton, the HEAD requests the
# server received (more than ARTICLES when headers were asked for again),
# and whether the mailbox holds every article once and the newsrc ends at
# ARTICLES.  -p measures another build of pelliton (an older one, say)
# against the same server.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build-bench
repeat=1
articles=40
megabytes=30
pelliton=

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'
  exit 2
}

while getopts "r:b:p:k:s:h" opt; do
  case $opt in
    r) repeat=$OPTARG ;;
    b) build=$OPTARG ;;
    p) pelliton=$OPTARG ;;
    k) articles=$OPTARG ;;
    s) megabytes=$OPTARG ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
maxreqs=("$@")
[ ${#maxreqs[@]} -eq 0 ] && maxreqs=(16 32)
for n in "$repeat" "$articles" "$megabytes" "${maxreqs[@]}"; do
  case $n in '' | *[!0-9]* | 0) echo "heldheaders.sh: sizes, -r and MAXREQ need positive numbers" >&2; exit 2 ;; esac
done

source "$repo/bench/common.sh"
other=$pelliton
bench_build "$build"
[ -n "$other" ] && pelliton=$other
bench_scratch held

# The articles: the padding is written once and shared by every article
# file, which the server reads into memory and the spool then gives back.
mkdir -p "$tmp/spool/bench.held"
awk -v mb="$megabytes" 'BEGIN { line = sprintf("X-Pad: %0993d", 0);
  for (i = 0; i < mb * 1048; i++) print line }' >"$tmp/pad"
for ((a = 1; a <= articles; a++)); do
  {
    printf 'From: bench@example.org\nSubject: held %d (match)\nMessage-ID: <%d.held@bench>\n' "$a" "$a"
    cat "$tmp/pad"
    printf '\nbody of %d\n' "$a"
  } >"$tmp/spool/bench.held/$a"
done
rm -f "$tmp/pad"
bench_server --spool "$tmp/spool" --log "$tmp/log"
rm -rf "$tmp/spool"
printf 'bench.held:\n* ^Subject:.*\\(match\\)\n%s/mbox\n' "$tmp" >"$tmp/filters"
printf '[bench]\nhost 127.0.0.1\nport %s\nconfig %s/filters\nnewsrc %s/newsrc\n' \
  "$port" "$tmp" "$tmp" >"$tmp/servers"

echo "$articles articles with headers of $megabytes MB, every one matching; peak RSS from wait4"
printf '| %4s | %8s | %10s | %6s | %4s |\n' "-n" "wall s" "RSS KB" "HEADs" ok
printf '|-----:|---------:|-----------:|-------:|-----:|\n'
for maxreq in "${maxreqs[@]}"; do
  for ((r = 0; r < repeat; r++)); do
    rm -f "$tmp/mbox" "$tmp/newsrc"
    : >"$tmp/log"
    status=0
    t0=$(date +%s%N)
    "$runstat" "$tmp/usage" "$pelliton" -n "$maxreq" -f "$tmp/servers" bench >"$tmp/out" 2>"$tmp/err" ||
      status=$?
    t1=$(date +%s%N)
    heads=$(grep -c $'\tHEAD ' "$tmp/log" || true)
    messages=$(grep -c '^Subject: held ' "$tmp/mbox" 2>/dev/null || true)
    ok=yes
    if [ "$status" != 0 ] || [ "$messages" != "$articles" ] ||
       [ "$(cat "$tmp/newsrc" 2>/dev/null)" != "bench.held: 1-$articles" ]; then
      ok=FAIL
      { echo "heldheaders.sh: -n $maxreq: exit status $status, $messages messages"; head -3 "$tmp/err"; } >&2
    fi
    awk -v n="$maxreq" -v t0="$t0" -v t1="$t1" -v u="$(tail -1 "$tmp/usage")" -v h="$heads" -v ok="$ok" \
      'BEGIN { split(u, f, " "); printf "| %4d | %8.3f | %10d | %6d | %4s |\n", n, (t1 - t0) / 1e9, f[3], h, ok }'
  done
done
