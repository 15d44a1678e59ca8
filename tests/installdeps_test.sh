#!/usr/bin/env bash
# scripts/install-deps.sh where INN is missing and cannot be installed (not
# root): the rest of the set-up goes on, and the script succeeds with a
# note, so that scripts/test.sh runs every test and the INN test reports
# itself skipped.
#
# The package tools and the user id are stand-ins on PATH: nothing is
# installed or looked up, and nothing outside the test's own directory
# changes, whoever runs it.
set -u

here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/pelliton-installdeps.XXXXXX")
trap 'rm -rf "$work"' EXIT

mkdir "$work/bin"
cat > "$work/bin/id" <<'EOF'
#!/bin/sh
[ "${1:-}" = -u ] && { echo 1000; exit 0; }
exec /usr/bin/id "$@"
EOF
# Every package is installed but INN's.
cat > "$work/bin/dpkg-query" <<'EOF'
#!/bin/sh
for last; do :; done
[ "$last" = inn2 ] && exit 1
printf 'install ok installed'
EOF
for tool in apt-get dpkg; do
  printf '#!/bin/sh\necho "%s $*" >> "%s/called"\nexit 1\n' "$tool" "$work" > "$work/bin/$tool"
done
chmod +x "$work/bin"/*

PATH=$work/bin:$PATH bash "$here/../scripts/install-deps.sh" >"$work/out" 2>"$work/err"
status=$?

failures=0
if [ "$status" != 0 ]; then
  echo "FAIL: install-deps.sh ended with status $status"
  failures=1
fi
if ! grep -qx 'install-deps: INN (package inn2) is not installed, and installing it needs root' \
  "$work/err"; then
  echo "FAIL: no note about INN"
  failures=1
fi
if [ -e "$work/called" ]; then
  echo "FAIL: package tools were run:"
  cat "$work/called"
  failures=1
fi
if [ "$failures" != 0 ]; then
  echo "--- stdout:"
  cat "$work/out"
  echo "--- stderr:"
  cat "$work/err"
  exit 1
fi
echo "ok"
