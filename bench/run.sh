#!/usr/bin/env bash
# Runs pelliton end to end against the project's test news server on
# 127.0.0.1 and prints what each run cost.
#
#   bench/run.sh [-r REPEAT] [-b BUILD_DIR] [-P] [-T] [-1] [-W WAYS] [-Z COMPRESS] [CASE]...
#
# A CASE is K:EVERY:D:N[,N]... : a synthetic newsgroup of K articles of
# which every EVERY-th matches the filter, served with a response delay of
# D milliseconds, fetched once for each -n N.  Without cases the runner
# measures the cases behind the speed targets (see bench/README.md).
#
# Every run starts from an empty newsrc and an empty mailbox; the filter is
# "* ^Subject:.*\(match\)" (the subjects of the matching articles end in
# "(match)") with a file action into that mailbox, or, for EVERY 1, the
# action alone, without a condition.  Each case runs REPEAT times (default
# 3) and the table shows the medians.  -W names the ways of reading that
# each case is run with, alternating run by run: "head" (overview no, HEAD
# and BODY), "over" (overview yes: OVER and ARTICLE, or ARTICLE alone
# without a condition), or "both"; default head.  -Z says whether the
# server file asks for COMPRESS DEFLATE: "no" (the default), "yes", or
# "both", alternating run by run with the ways (the test server offers it
# whenever it is asked for).  -P runs the
# test server and pelliton under SCHED_FIFO (root only), so that compilers
# and tests running beside them on a shared machine delay them less.  The runner
# checks that every matching article landed in the mailbox and that the
# newsrc ends at K; a row that fails this is marked FAIL.  -T speaks TLS
# from the first byte: the runner makes throwaway certificates with
# pelliton-testcerts, the server runs with --tls implicit, and pelliton
# verifies it against their CA.  -1 runs the test server and
# pelliton on one core (taskset), taking turns: on a machine whose cores
# share their execution units, a busy server on the other core slows
# pelliton's every instruction, and its CPU figure with it.
#
# Columns: the way, "+z" when compressed; R requests (head: HEAD for every article, BODY for
# every match; over: an OVER per 1000 numbers and an ARTICLE per match, or
# an ARTICLE per article); wall time, articles per second, CPU seconds
# (user + sys) of pelliton and of the test server during the run, peak RSS
# of pelliton, the bytes of responses the server sent (plaintext), the
# bytes that crossed the wire from the server and to it (compressed and
# encrypted as they went), and the latency limit ceil(R/N)*D with the
# ratio of wall time to it.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$repo/build-bench}
repeat=3
realtime=0
tls=0
ways=head
compressions=no
onecore=0

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'
  exit 2
}

while getopts "r:b:PT1W:Z:h" opt; do
  case $opt in
    r) repeat=$OPTARG ;;
    b) build=$OPTARG ;;
    P) realtime=1 ;;
    T) tls=1 ;;
    W) ways=$OPTARG ;;
    Z) compressions=$OPTARG ;;
    1) onecore=1 ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
case $repeat in '' | *[!0-9]* | 0) echo "run.sh: -r needs a positive number" >&2; exit 2 ;; esac
case $ways in
  head | over) ;;
  both) ways="head over" ;;
  *) echo "run.sh: -W takes head, over or both" >&2; exit 2 ;;
esac
case $compressions in
  no | yes) ;;
  both) compressions="no yes" ;;
  *) echo "run.sh: -Z takes no, yes or both" >&2; exit 2 ;;
esac
# The variants of each case: a way of reading, compressed or not.
variants=()
for way in $ways; do
  for z in $compressions; do
    if [ "$z" = yes ]; then variants+=("$way+z"); else variants+=("$way"); fi
  done
done
compress_server=()
[[ " ${variants[*]} " == *+z* ]] && compress_server=(--compress)

cases=("$@")
if [ ${#cases[@]} -eq 0 ]; then
  cases=(
    2000:1:10:1,4,16,32,64   # latency: every article matches, 4000 requests
    2000:10:0:1,4,16,32,64   # throughput: one article in ten matches
    100000:10:0:32           # the same at 50 times the size: speed and memory
    2000:1:0:32              # every article matches, no delay ...
    100000:1:0:32            # ... and at 50 times the size
  )
fi
for c in "${cases[@]}"; do
  if ! [[ $c =~ ^[0-9]+:[0-9]+:[0-9]+:[0-9]+(,[0-9]+)*$ ]]; then
    echo "run.sh: bad case '$c' (K:EVERY:D:N[,N]...)" >&2
    exit 2
  fi
done

# --- Build --------------------------------------------------------------
buildlog=$(mktemp "${TMPDIR:-/tmp}/pelliton-bench-build.XXXXXX")
if [ ! -f "$build/CMakeCache.txt" ]; then
  generator=()
  command -v ninja >/dev/null && generator=(-G Ninja)
  cmake -S "$repo" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release >"$buildlog" 2>&1 ||
    { cat "$buildlog" >&2; rm -f "$buildlog"; exit 1; }
fi
cmake --build "$build" --target pelliton pelliton-testserver pelliton-testcerts pelliton-runstat \
  >"$buildlog" 2>&1 ||
  { cat "$buildlog" >&2; rm -f "$buildlog"; exit 1; }
rm -f "$buildlog"
pelliton=$build/pelliton
testserver=$build/pelliton-testserver
testcerts=$build/pelliton-testcerts
runstat=$build/bench/pelliton-runstat

# GNU time reports the CPU time and peak memory of the one command it runs;
# without it (and without the rights to install it) the small helper that
# the build makes does the same, to the microsecond rather than the
# hundredth of a second (PELLITON_BENCH_TIMER=wait4 picks it anyway).
timer=
if [ "${PELLITON_BENCH_TIMER:-}" = wait4 ]; then
  timer=helper
elif [ ! -x /usr/bin/time ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq time >/dev/null 2>&1 || true
fi
if [ -n "$timer" ]; then
  :
elif [ -x /usr/bin/time ] && /usr/bin/time -f "%U" true >/dev/null 2>&1; then
  timer=gnu
else
  timer=helper
fi

prio=()
if [ "$onecore" = 1 ]; then
  if ! command -v taskset >/dev/null; then
    echo "run.sh: -1 needs taskset" >&2
    exit 2
  fi
  prio=(taskset -c 0)
fi
if [ "$realtime" = 1 ]; then
  if [ "$(id -u)" != 0 ] || ! command -v chrt >/dev/null; then
    echo "run.sh: -P needs root and chrt" >&2
    exit 2
  fi
  # Both block in poll between bursts of work, and the kernel keeps 5% of
  # every second for everything else, so the machine stays usable.
  prio+=(chrt --fifo 10)
fi

# --- Server and clean-up ------------------------------------------------
tmp=$(mktemp -d "${TMPDIR:-/tmp}/pelliton-bench.XXXXXX")
server_pid=
run_pid=

stop_server() {
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
  fi
}
cleanup() {
  if [ -n "$run_pid" ]; then
    # timeout passes the signal on to pelliton.
    kill -TERM "$run_pid" 2>/dev/null || true
    wait "$run_pid" 2>/dev/null || true
  fi
  stop_server
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

tls_server=()
tls_client=
if [ "$tls" = 1 ]; then
  "$testcerts" "$tmp/certs" >/dev/null
  tls_server=(--tls implicit --cert "$tmp/certs/server-chain.pem" --key "$tmp/certs/server-key.pem")
  tls_client=$(printf 'tls yes\ncafile %s' "$tmp/certs/ca.pem")
fi

port=
# start_server D GROUP:K:EVERY...
start_server() {
  local delay=$1
  shift
  local args=() g
  for g in "$@"; do args+=(--synthetic "$g"); done
  rm -f "$tmp/port"
  "${prio[@]}" "$testserver" --delay-ms "$delay" --port-file "$tmp/port" "${args[@]}" \
    --stats "$tmp/stats" \
    "${tls_server[@]}" "${compress_server[@]}" \
    >"$tmp/server.out" 2>&1 &
  server_pid=$!
  local i
  for ((i = 0; i < 200; i++)); do
    [ -s "$tmp/port" ] && break
    if ! kill -0 "$server_pid" 2>/dev/null; then
      echo "run.sh: the test server did not start:" >&2
      cat "$tmp/server.out" >&2
      exit 1
    fi
    sleep 0.05
  done
  if [ ! -s "$tmp/port" ]; then
    echo "run.sh: the test server wrote no port file" >&2
    exit 1
  fi
  port=$(cat "$tmp/port")
}

# CPU seconds (user + sys) that a process has used so far.
cpu_of() {
  local stat ticks
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || { echo 0; return; }
  ticks=$(getconf CLK_TCK)
  # Fields after the command name, which is in parentheses: utime is the
  # 12th and stime the 13th of them.
  echo "${stat##*) }" | awk -v t="$ticks" '{ printf "%.2f", ($12 + $13) / t }'
}

# Bytes the server has counted since it started: of responses (plaintext),
# and on the wire, sent and received.
server_bytes() {
  rm -f "$tmp/stats"
  kill -USR1 "$server_pid"
  local i
  for ((i = 0; i < 400; i++)); do
    [ -s "$tmp/stats" ] && break
    sleep 0.005
  done
  cat "$tmp/stats" 2>/dev/null || echo 0 0 0
}

median() {
  tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 }
    END { if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2];
          else printf "%.6f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# run_once K EVERY N GROUP VARIANT: one fetch from scratch; writes
# "WALL USER+SYS MAXRSS_KB SERVER_CPU OK BYTES WIRE_DOWN WIRE_UP" to
# $tmp/result, with a message on stderr when the run did not deliver what
# it should have.
run_once() {
  local k=$1 every=$2 n=$3 group=$4 way=${5%+z}
  local compress=no
  [ "$5" = "$way" ] || compress=yes
  local dir=$tmp/run
  rm -rf "$dir"
  mkdir -p "$dir"
  cat >"$dir/servers" <<EOF
[bench]
host 127.0.0.1
port $port
config $dir/filter
newsrc $dir/newsrc
overview $([ "$way" = over ] && echo yes || echo no)
compress $compress
$tls_client
EOF
  {
    echo "$group:"
    [ "$every" = 1 ] || echo '* ^Subject:.*\(match\)'
    echo "$dir/mbox"
  } >"$dir/filter"
  # The time limit stands outside the measuring command, so that the
  # figures are pelliton's alone.
  local cmd=(timeout 900 "${prio[@]}")
  if [ "$timer" = gnu ]; then
    cmd+=(/usr/bin/time -f "%U %S %M" -o "$dir/usage")
  else
    cmd+=("$runstat" "$dir/usage")
  fi
  cmd+=("$pelliton" -f "$dir/servers" -n "$n" bench)
  local s0 t0 t1 s1 b0 b1 status=0
  b0=$(server_bytes)
  s0=$(cpu_of "$server_pid")
  t0=$(date +%s%N)
  # Waited for in the background, so that a signal to this script ends the
  # run at once instead of after it.
  "${cmd[@]}" >"$dir/out" 2>"$dir/err" &
  run_pid=$!
  wait "$run_pid" || status=$?
  run_pid=
  t1=$(date +%s%N)
  s1=$(cpu_of "$server_pid")
  b1=$(server_bytes)

  local ok=1 delivered want=$((every > 0 ? k / every : 0))
  delivered=$(grep -c '^From pelliton ' "$dir/mbox" 2>/dev/null || true)
  if [ "$status" != 0 ] || [ "${delivered:-0}" != "$want" ] ||
    ! grep -qx "$group: 1-$k" "$dir/newsrc" 2>/dev/null; then
    ok=0
    {
      echo "run.sh: K=$k EVERY=$every -n $n: exit status $status," \
        "${delivered:-0} of $want articles delivered, newsrc: $(cat "$dir/newsrc" 2>/dev/null)"
      head -5 "$dir/err"
    } >&2
  fi
  local usage
  usage=$(tail -1 "$dir/usage" 2>/dev/null || echo "0 0 0")
  awk -v t0="$t0" -v t1="$t1" -v s0="$s0" -v s1="$s1" -v ok="$ok" -v u="$usage" \
    -v b0="$b0" -v b1="$b1" 'BEGIN {
    split(u, f, " "); split(b0, x, " "); split(b1, y, " ");
    printf "%.6f %.6f %d %.2f %d %d %d %d\n", (t1 - t0) / 1e9, f[1] + f[2], f[3], s1 - s0, ok,
      y[1] - x[1], y[2] - x[2], y[3] - x[3] }' \
    >"$tmp/result"
}

# --- Measure -------------------------------------------------------------
cores=$(nproc)
cpu_model=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
echo "pelliton end-to-end benchmark, $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "machine: $cores cores, ${cpu_model:-unknown CPU}; load average at start:" \
  "$(cut -d' ' -f1-3 /proc/loadavg)"
echo "medians of $repeat runs$([ "$tls" = 1 ] && echo "; TLS from the first byte")$([ "$onecore" = 1 ] && echo "; server and pelliton on one core"); CPU and peak RSS from $([ "$timer" = gnu ] && echo "GNU time" || echo "wait4")$([ "$realtime" = 1 ] && echo "; server and pelliton under SCHED_FIFO")"
echo
printf '| %6s | %7s | %5s | %4s | %4s | %7s | %8s | %10s | %7s | %8s | %9s | %10s | %10s | %8s | %8s | %10s | %4s |\n' \
  way K match "D ms" "-n" R "wall s" "articles/s" "CPU s" "RSS KB" "server s" "bytes" \
  "wire down" "wire up" "limit s" "wall/limit" ok
printf '|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|\n' \
  "--------" "--------:" "------:" "-----:" "-----:" "--------:" "---------:" "-----------:" \
  "--------:" "---------:" "----------:" "-----------:" "-----------:" "---------:" \
  "---------:" "-----------:" "-----:"

# Cases with the same delay share one server.
declare -A by_delay=()
for c in "${cases[@]}"; do
  IFS=: read -r k every d ns <<<"$c"
  by_delay[$d]+="$c "
done
failed=0
for d in $(printf '%s\n' "${!by_delay[@]}" | sort -n); do
  groups=()
  for c in ${by_delay[$d]}; do
    IFS=: read -r k every _ _ <<<"$c"
    groups+=("bench.k$k.e$every:$k:$every")
  done
  mapfile -t groups < <(printf '%s\n' "${groups[@]}" | sort -u)
  start_server "$d" "${groups[@]}"
  for c in ${by_delay[$d]}; do
    IFS=: read -r k every _ ns <<<"$c"
    group=bench.k$k.e$every
    for n in ${ns//,/ }; do
      # The variants take turns, run by run, so that a change of load on
      # the machine falls on all alike.
      declare -A walls=() cpus=() rsss=() servers=() bytes=() downs=() ups=() oks=()
      for v in "${variants[@]}"; do oks[$v]=1; done
      for ((i = 0; i < repeat; i++)); do
        for v in "${variants[@]}"; do
          run_once "$k" "$every" "$n" "$group" "$v"
          read -r wall cpu rss scpu ok nbytes down up <"$tmp/result"
          walls[$v]+="$wall " cpus[$v]+="$cpu " rsss[$v]+="$rss "
          servers[$v]+="$scpu " bytes[$v]+="$nbytes " downs[$v]+="$down " ups[$v]+="$up "
          [ "$ok" = 1 ] || oks[$v]=0
        done
      done
      for v in "${variants[@]}"; do
        way=${v%+z}
        wall=$(median <<<"${walls[$v]}")
        cpu=$(median <<<"${cpus[$v]}")
        rss=$(median <<<"${rsss[$v]}")
        scpu=$(median <<<"${servers[$v]}")
        nbytes=$(median <<<"${bytes[$v]}")
        down=$(median <<<"${downs[$v]}")
        up=$(median <<<"${ups[$v]}")
        matches=$((every > 0 ? k / every : 0))
        if [ "$way" = head ]; then
          r=$((k + matches))
        elif [ "$every" = 1 ]; then
          r=$k
        else
          r=$(((k + 999) / 1000 + matches))
        fi
        [ "${oks[$v]}" = 1 ] || failed=1
        awk -v way="$v" -v k="$k" -v e="$every" -v d="$d" -v n="$n" -v r="$r" \
          -v wall="$wall" -v cpu="$cpu" -v rss="$rss" -v scpu="$scpu" -v nbytes="$nbytes" \
          -v down="$down" -v up="$up" -v ok="${oks[$v]}" 'BEGIN {
          limit = int((r + n - 1) / n) * d / 1000;
          match_ = e == 0 ? "none" : (e == 1 ? "all" : "1/" e);
          if (limit > 0) { lim = sprintf("%.3f", limit); ratio = sprintf("%.2f", wall / limit) }
          else { lim = "-"; ratio = "-" }
          printf "| %6s | %7d | %5s | %4d | %4d | %7d | %8.3f | %10.0f | %7.3f | %8d | %9.2f | %10d | %10d | %8d | %8s | %10s | %4s |\n",
            way, k, match_, d, n, r, wall, k / wall, cpu, rss, scpu, nbytes, down, up, lim, ratio,
            ok ? "yes" : "FAIL" }'
      done
      unset walls cpus rsss servers bytes downs ups oks
    done
  done
  stop_server
done
echo
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
exit "$failed"
