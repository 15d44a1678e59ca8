#!/usr/bin/env bash
# What many newsgroups cost pelliton: the CPU time of whole runs against
# the project's test news server on 127.0.0.1.
#
#   bench/newsgroups.sh [-r REPEAT] [-b BUILD_DIR] [NEWSRC_LINES [WALK_GROUPS]]
#
# Two cases, each run REPEAT times (default 3), medians shown:
#   newsrc  a newsrc of NEWSRC_LINES lines (default 500000), as one carried
#           over from a newsreader, read and rewritten by a run that fetches
#           one newsgroup with nothing new;
#   walk    a filter file of WALK_GROUPS newsgroups (default 50000), each
#           with an action, walked against a server that has nothing new in
#           any of them: a GROUP for each, and nothing else.
# Columns: the case, its size, pelliton's CPU seconds (user + sys, and the
# two apart), CPU per line or per newsgroup, wall seconds, peak RSS.  Each run checks that
# the newsrc it wrote has every line; a row that fails this says FAIL.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build-bench
repeat=3

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'
  exit 2
}

while getopts "r:b:h" opt; do
  case $opt in
    r) repeat=$OPTARG ;;
    b) build=$OPTARG ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
lines=${1:-500000}
groups=${2:-50000}
for n in "$repeat" "$lines" "$groups"; do
  case $n in '' | *[!0-9]* | 0) echo "newsgroups.sh: sizes and -r need positive numbers" >&2; exit 2 ;; esac
done

source "$repo/bench/common.sh"
bench_build "$build"
bench_scratch groups

# The server: one newsgroup with articles for the newsrc case, and one
# empty newsgroup for each of the walk (a spool of empty directories).
mkdir -p "$tmp/spool"
awk -v n="$groups" -v d="$tmp/spool" 'BEGIN { for (i = 0; i < n; i++) printf "%s/bench.walk.%06d\n", d, i }' |
  xargs mkdir
bench_server --spool "$tmp/spool" --synthetic bench.one:10:0

# The inputs, made once.
awk -v n="$lines" 'BEGIN { print "bench.one: 1-10";
  for (i = 1; i < n; i++) printf "alt.carried.over.group%07d: 1-%d\n", i, i }' >"$tmp/newsrc.big"
printf 'bench.one:\n%s/mbox\n' "$tmp" >"$tmp/filter.one"
awk -v n="$groups" -v d="$tmp" 'BEGIN { for (i = 0; i < n; i++)
  printf "bench.walk.%06d:\n%s/mbox\n", i, d }' >"$tmp/filter.walk"
awk -v n="$groups" 'BEGIN { for (i = 0; i < n; i++) printf "bench.walk.%06d: 1-0\n", i }' \
  >"$tmp/newsrc.walk"

# run_case FILTER NEWSRC LINES_EXPECTED: one run; prints
# "CPU USER SYS WALL RSS OK".
run_case() {
  cp "$2" "$tmp/newsrc"
  printf '[bench]\nhost 127.0.0.1\nport %s\nconfig %s\nnewsrc %s/newsrc\n' \
    "$port" "$1" "$tmp" >"$tmp/servers"
  local t0 t1 status=0
  t0=$(date +%s%N)
  "$runstat" "$tmp/usage" "$pelliton" -n 4 -f "$tmp/servers" bench >"$tmp/out" 2>"$tmp/err" ||
    status=$?
  t1=$(date +%s%N)
  local ok=1
  if [ "$status" != 0 ] || [ "$(wc -l <"$tmp/newsrc")" != "$3" ]; then
    ok=0
    { echo "newsgroups.sh: exit status $status, newsrc of $(wc -l <"$tmp/newsrc") lines"; head -5 "$tmp/err"; } >&2
  fi
  awk -v t0="$t0" -v t1="$t1" -v ok="$ok" -v u="$(tail -1 "$tmp/usage")" 'BEGIN {
    split(u, f, " "); printf "%.3f %.3f %.3f %.3f %d %d\n", f[1] + f[2], f[1], f[2], (t1 - t0) / 1e9, f[3], ok }'
}

median() {
  sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2];
    else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

echo "pelliton newsgroups benchmark, $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "machine: $(nproc) cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo);" \
  "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "medians of $repeat runs; CPU and peak RSS of pelliton from wait4"
echo
printf '| %-6s | %9s | %7s | %7s | %7s | %12s | %7s | %8s | %4s |\n' case size "CPU s" "user s" "sys s" \
  "CPU per item" "wall s" "RSS KB" ok
printf '|%s|%s|%s|%s|%s|%s|%s|%s|%s|\n' "--------" "----------:" "--------:" "--------:" "--------:" \
  "-------------:" "--------:" "---------:" "-----"
failed=0
for c in newsrc walk; do
  if [ "$c" = newsrc ]; then
    size=$lines; args=("$tmp/filter.one" "$tmp/newsrc.big" "$lines")
  else
    size=$groups; args=("$tmp/filter.walk" "$tmp/newsrc.walk" "$groups")
  fi
  cpus= users= syss= walls= rsss= oks=1
  for ((i = 0; i < repeat; i++)); do
    read -r cpu user sys wall rss ok < <(run_case "${args[@]}")
    cpus+="$cpu"$'\n' users+="$user"$'\n' syss+="$sys"$'\n' walls+="$wall"$'\n' rsss+="$rss"$'\n'
    [ "$ok" = 1 ] || oks=0
  done
  [ "$oks" = 1 ] || failed=1
  cpu=$(printf '%s' "$cpus" | median)
  user=$(printf '%s' "$users" | median)
  sys=$(printf '%s' "$syss" | median)
  wall=$(printf '%s' "$walls" | median)
  rss=$(printf '%s' "$rsss" | median)
  awk -v c="$c" -v n="$size" -v cpu="$cpu" -v user="$user" -v sys="$sys" -v wall="$wall" \
    -v rss="$rss" -v ok="$oks" 'BEGIN {
    printf "| %-6s | %9d | %7.3f | %7.3f | %7.3f | %9.2f µs | %7.3f | %8d | %4s |\n",
      c, n, cpu, user, sys, cpu / n * 1e6, wall, rss, ok ? "yes" : "FAIL" }'
done
echo
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
exit "$failed"
