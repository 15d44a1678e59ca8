#!/usr/bin/env bash
# Builds pelliton and runs every test.
#   scripts/test.sh            plain build in ./build
#   PELLITON_STRICT=1 scripts/test.sh
#                              warnings as errors, AddressSanitizer and
#                              UndefinedBehaviorSanitizer, in ./build-strict
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

build=build
flags=()
if [ "${PELLITON_STRICT:-0}" = 1 ]; then
  build=build-strict
  flags+=(-DPELLITON_WERROR=ON -DPELLITON_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
fi
cmake -S . -B "$build" "${flags[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"

# The strict check also fuzzes each input reader and the engine for a
# while (fuzz/run.sh skips itself where clang's fuzzer runtime is missing).
# It runs first so that CTest's summary closes the output.
if [ "${PELLITON_STRICT:-0}" = 1 ]; then
  fuzz/run.sh "${PELLITON_FUZZ_SECONDS:-30}"
fi

cd "$build"
ctest --output-on-failure -j"$(nproc)"
