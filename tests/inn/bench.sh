#!/usr/bin/env bash
# Times pelliton fetching from a real INN server on 127.0.0.1 and prints
# the figures; asserts nothing.
#
#   bash tests/inn/bench.sh [-k ARTICLES] [-r REPEATS] [-n "1 16"] LABEL=BINARY...
#   bash tests/inn/bench.sh [-k ...] --variants
#
# Posts ARTICLES articles (default 1000; a header of about 530 bytes, a
# body of about 1.8 KB) into a fresh newsgroup of a private INN instance,
# then runs every BINARY with each -n value REPEATS times (default 3) into
# an empty mailbox, every article matching: one HEAD and one BODY request
# per article.  Prints wall time (median), articles and requests per
# second, and CPU seconds.
#
# --variants builds, from a scratch copy of the source tree outside the
# repository, pelliton as it is, without TCP_QUICKACK, without TCP_NODELAY
# and without both, and times the four.  The repository is not touched.
#
# Needs root and INN (see tests/inn/install.sh).
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)

articles=1000
repeats=3
maxreqs="1 16"
variants=0
while [ $# -gt 0 ]; do
  case $1 in
    -k) articles=$2; shift 2 ;;
    -r) repeats=$2; shift 2 ;;
    -n) maxreqs=$2; shift 2 ;;
    --variants) variants=1; shift ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || [ "$variants" = 1 ] || { sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
[ "$(id -u)" = 0 ] || { echo "bench: needs root (INN runs as the news user)" >&2; exit 1; }
reason=$(bash "$here/install.sh") || { echo "bench: $reason" >&2; exit 1; }

source "$here/server.sh"
source "$here/nntp.sh"

work=$(mktemp -d /tmp/pelliton-inn-bench.XXXXXX)
cleanup() {
  nntp_close
  inn_stop
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

labels=()
binaries=()
if [ "$variants" = 1 ]; then
  # A scratch copy of the sources with socket options taken out.
  build_variant() {  # build_variant LABEL SED-SCRIPT
    local src=$work/src-$1
    mkdir -p "$src"
    (cd "$repo" && git ls-files -co --exclude-standard | grep -Ev '^(build|bench/|fuzz/)' |
      tar -cf - -T -) | tar -xf - -C "$src"
    sed -i -E "$2" "$src/src/connection.cpp" "$src/src/nntppipeline.cpp"
    echo "bench: building '$1' in $src" >&2
    cmake -S "$src" -B "$src/build" -G Ninja -DPELLITON_TESTS=OFF -DPELLITON_BENCH=OFF \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
      cmake --build "$src/build" --target pelliton >/dev/null || {
      echo "bench: building '$1' failed" >&2
      exit 1
    }
    labels+=("$1")
    binaries+=("$src/build/pelliton")
  }
  quick='s|^([[:space:]]*)(.*setsockopt\(.*TCP_QUICKACK.*)$|\1// \2|'
  nodelay='s|^([[:space:]]*)(.*setsockopt\(.*TCP_NODELAY.*)$|\1// \2|'
  grep -q 'setsockopt(.*TCP_QUICKACK' "$repo/src/nntppipeline.cpp" "$repo/src/connection.cpp" &&
    grep -q 'setsockopt(.*TCP_NODELAY' "$repo/src/connection.cpp" ||
    { echo "bench: the socket options are not where --variants expects them" >&2; exit 1; }
  build_variant "as it is" ""
  build_variant "no TCP_QUICKACK" "$quick"
  build_variant "no TCP_NODELAY" "$nodelay"
  build_variant "neither" "$quick;$nodelay"
else
  for arg in "$@"; do
    labels+=("${arg%%=*}")
    binaries+=("$(realpath "${arg#*=}")")
  done
fi

port=$(inn_free_port) || { echo "bench: no free port" >&2; exit 1; }
inn_start "$work/inn" "$port" || exit 1
group=pelliton.bench
inn_newgroup $group >/dev/null || exit 1
nntp_connect "$port" || { echo "bench: cannot connect to INN" >&2; exit 1; }

echo "bench: posting $articles articles" >&2
body=$work/body
for ((i = 0; i < 24; i++)); do
  printf 'Line %02d of a body that is about one and a half kilobytes long, give or take.\n' "$i"
done > "$body"
SECONDS=0
for ((i = 1; i <= articles; i++)); do
  {
    printf 'From: Bench Poster <bench@pelliton.test>\nNewsgroups: %s\n' "$group"
    printf 'Subject: benchmark article %d\nMessage-ID: <bench.%d.%s@pelliton.test>\n' "$i" "$i" "$$"
    printf 'Organization: The pelliton benchmark\nUser-Agent: tests/inn/bench.sh\n\n'
    cat "$body"
  } > "$work/article"
  nntp_post "$work/article" || { echo "bench: posting failed: $NNTP_LINE" >&2; exit 1; }
done
nntp_command "GROUP $group"
echo "bench: posted in ${SECONDS}s; $NNTP_LINE" >&2
nntp_close

run=$work/run
mkdir -p "$run"
printf '[inn]\nhost 127.0.0.1\nport %s\nconfig %s/filters\nnewsrc %s/newsrc\n' \
  "$port" "$run" "$run" > "$run/servers"
printf '%s:\n%s/mbox\n' "$group" "$run" > "$run/filters"

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# One timed run: appends wall and CPU seconds to $work/{wall,cpu}.I.N.
run_once() {  # run_once I N
  local wall user sys got
  rm -f "$run/mbox" "$run/newsrc"
  TIMEFORMAT='%R %U %S'
  { time "${binaries[$1]}" -n "$2" -f "$run/servers" inn >/dev/null 2>"$run/stderr"; } 2>"$work/time"
  read -r wall user sys < "$work/time"
  echo "$wall" >> "$work/wall.$1.$2"
  awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }' >> "$work/cpu.$1.$2"
  got=$(grep -c '^From pelliton ' "$run/mbox" 2>/dev/null)
  [ "$got" = "$articles" ] ||
    echo "bench: ${labels[$1]} -n $2 delivered ${got:-0} articles: $(cat "$run/stderr")" >&2
}

# A warm-up run that is not counted brings INN's files into the page cache;
# then the builds take turns within each round, so that a change of load
# on the machine falls on all of them alike.
run_once 0 1
rm -f "$work"/wall.* "$work"/cpu.*
for ((r = 0; r < repeats; r++)); do
  for i in "${!labels[@]}"; do
    for n in $maxreqs; do run_once "$i" "$n"; done
  done
done

printf '\n%d articles from INN 2.7 on 127.0.0.1, every one matching (%d requests), median of %d runs\n\n' \
  "$articles" $((2 * articles)) "$repeats"
printf '| %-16s | %4s | %9s | %10s | %10s | %8s | %7s |\n' \
  build -n "wall s" "articles/s" "requests/s" "ms/req" "CPU s"
printf '|%s|%s|%s|%s|%s|%s|%s|\n' ------------------ ------ ----------- ------------ ------------ ---------- ---------
for i in "${!labels[@]}"; do
  for n in $maxreqs; do
    wall=$(median < "$work/wall.$i.$n")
    cpu=$(median < "$work/cpu.$i.$n")
    awk -v l="${labels[$i]}" -v n="$n" -v w="$wall" -v c="$cpu" -v a="$articles" \
      'BEGIN { printf "| %-16s | %4d | %9.2f | %10.0f | %10.0f | %8.2f | %7.2f |\n",
               l, n, w, a / w, 2 * a / w, 1000 * w / (2 * a), c }'
  done
done
