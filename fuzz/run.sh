#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one for a while,
# starting from the seed corpus in fuzz/corpus/<target>.
#   fuzz/run.sh [seconds]     seconds per target, default 30
# Fails when a target finds anything: a crash, a sanitizer report, a leak,
# a hang or a broken property.  The input that did it is kept in
# $PELLITON_FUZZ_BUILD/fuzz-findings (default build-fuzz/fuzz-findings);
# rerun it with   build-fuzz/fuzz/<target>_fuzz <file>.
# Exits 0 with a message, running nothing, where clang or its fuzzer
# runtime is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
case $seconds in
  '' | *[!0-9]*) echo "usage: fuzz/run.sh [seconds]" >&2; exit 2 ;;
esac
build=${PELLITON_FUZZ_BUILD:-build-fuzz}
targets=(serverfile filterfile newsrc engine compression)

if ! command -v clang >/dev/null || ! command -v clang++ >/dev/null; then
  echo "fuzz: clang not found; fuzzing skipped"
  exit 0
fi
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
  'extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }' \
  >"$probe/probe.cpp"
if ! clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" \
    >/dev/null 2>&1; then
  echo "fuzz: clang's fuzzer runtime is missing (libclang-rt-dev); fuzzing skipped"
  exit 0
fi

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
mkdir -p "$build"
# Quiet unless it fails, so that what ran before (the test summary in CI)
# stays in view.
if ! { CC=clang CXX=clang++ cmake -S . -B "$build" "${generator[@]}" -DPELLITON_FUZZ=ON \
         -DPELLITON_TESTS=OFF -DPELLITON_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build "$build" --target "${targets[@]/%/_fuzz}"; } >"$build/fuzz-build.log" 2>&1; then
  tail -n 40 "$build/fuzz-build.log" >&2
  echo "fuzz: building the fuzz targets failed" >&2
  exit 1
fi

findings=$build/fuzz-findings
mkdir -p "$findings"
failed=()
for target in "${targets[@]}"; do
  # New inputs go to a working corpus in the build tree; the seeds in the
  # source tree are only read.
  corpus=$build/fuzz-corpus/$target
  log=$build/fuzz-$target.log
  mkdir -p "$corpus"
  status=0
  # -close_fd_mask=2: the code's own diagnostics are dropped; libFuzzer and
  # the sanitizers still report on a descriptor of their own.
  "$build/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$findings/$target-" \
    "$corpus" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 || true)
  if [ "$status" -eq 0 ]; then
    echo "fuzz: $target: ${runs:-?} inputs in ${seconds}s, ${cov:-cov: ?}, no finding"
  else
    echo "fuzz: $target: FINDING (exit status $status); log $log" >&2
    grep -E -A40 '^==[0-9]+==ERROR|runtime error|property violated|^SUMMARY|deadly signal|timeout after' \
      "$log" | head -n 80 >&2 || tail -n 40 "$log" >&2
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: findings in: ${failed[*]} (inputs in $findings)" >&2
  exit 1
fi
echo "fuzz: every target ran ${seconds}s without a finding"
