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
cd "$build"
ctest --output-on-failure -j"$(nproc)"
