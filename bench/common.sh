# Sourced by the benchmark scripts that run the real pelliton against the
# test server: the Release build of the programs they need, a scratch
# directory, and the test server, both gone on every way out.
#   bench_build BUILD_DIR       builds pelliton, the test server and
#                               pelliton-runstat; sets pelliton, testserver
#                               and runstat
#   bench_scratch NAME          makes $tmp (in memory where there is some,
#                               so that the disk does not decide the
#                               figures) and sets the traps
#   bench_server ARG...         starts the test server with ARG... and
#                               waits for its port; sets server_pid, port

bench_build() {
  local build=$1 buildlog
  buildlog=$(mktemp "${TMPDIR:-/tmp}/pelliton-bench-build.XXXXXX")
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release >"$buildlog" 2>&1 ||
      { cat "$buildlog" >&2; rm -f "$buildlog"; exit 1; }
  fi
  cmake --build "$build" -j2 --target pelliton pelliton-testserver pelliton-runstat >"$buildlog" 2>&1 ||
    { cat "$buildlog" >&2; rm -f "$buildlog"; exit 1; }
  rm -f "$buildlog"
  pelliton=$build/pelliton
  testserver=$build/pelliton-testserver
  runstat=$build/bench/pelliton-runstat
}

server_pid=
bench_cleanup() {
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  [ -n "${tmp:-}" ] && rm -rf "$tmp"
}

bench_scratch() {
  local base=${TMPDIR:-/tmp}
  [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
  tmp=$(mktemp -d "$base/pelliton-bench-$1.XXXXXX")
  trap bench_cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
}

bench_server() {
  rm -f "$tmp/port"
  "$testserver" "$@" --port-file "$tmp/port" >"$tmp/server.out" 2>&1 &
  server_pid=$!
  local i
  for ((i = 0; i < 6000; i++)); do
    [ -s "$tmp/port" ] && break
    kill -0 "$server_pid" 2>/dev/null || { cat "$tmp/server.out" >&2; exit 1; }
    sleep 0.05
  done
  [ -s "$tmp/port" ] || { echo "$(basename "$0"): the test server wrote no port file" >&2; exit 1; }
  port=$(cat "$tmp/port")
}
