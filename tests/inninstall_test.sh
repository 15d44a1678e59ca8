#!/usr/bin/env bash
# tests/inn/install.sh interrupted in the middle of installing INN, as
# root: what the install enabled to start at the next boot so far is
# disabled again, what was enabled before is left alone, and the
# policy-rc.d made for the install is gone.
#
# The package tools and the user id are stand-ins on PATH, and the files
# that the script looks at and changes lie under the test's own directory
# (PELLITON_SYSTEM_ROOT): nothing is installed, and nothing outside that
# directory changes, whoever runs it.
set -u

here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/pelliton-inninstall.XXXXXX")
trap 'rm -rf "$work"' EXIT

root=$work/root
mkdir -p "$work/bin" "$root/usr/sbin" "$root/etc/rc2.d" \
  "$root/etc/systemd/system/multi-user.target.wants"
# Enabled before the install: stays so.
ln -s ../init.d/cron "$root/etc/rc2.d/S01cron"
ln -s /lib/systemd/system/cron.service "$root/etc/systemd/system/multi-user.target.wants/cron.service"

cat > "$work/bin/id" <<'EOF'
#!/bin/sh
[ "${1:-}" = -u ] && { echo 0; exit 0; }
exec /usr/bin/id "$@"
EOF
# INN is missing, and nothing is left half-done.
cat > "$work/bin/dpkg-query" <<'EOF'
#!/bin/sh
exit 1
EOF
printf '#!/bin/sh\nexit 0\n' > "$work/bin/dpkg"
# A host name with a domain, for where no UTS namespace can give one.
printf '#!/bin/sh\necho inn.example.test\n' > "$work/bin/hostname"
printf '#!/bin/sh\necho "update-rc.d $*" >> "%s/called"\n' "$work" > "$work/bin/update-rc.d"
# The install enables innd the way the package does, and is interrupted
# there: its caller is sent SIGTERM.
cat > "$work/bin/apt-get" <<EOF
#!/bin/sh
[ "\$1" = update ] && exit 0
# Asked what inn2 needs: nothing more.
[ "\$1" = -s ] && exit 0
ln -s ../init.d/inn2 "$root/etc/rc2.d/S01inn2"
ln -s /lib/systemd/system/inn2.service "$root/etc/systemd/system/multi-user.target.wants/inn2.service"
kill -TERM \$PPID
exit 0
EOF
chmod +x "$work/bin"/*

PATH=$work/bin:$PATH PELLITON_SYSTEM_ROOT=$root bash "$here/inn/install.sh" >"$work/out" 2>"$work/err"
status=$?

failures=0
fail() {
  echo "FAIL: $*"
  failures=1
}
[ "$status" = 130 ] || fail "install.sh ended with status $status, not 130"
[ -e "$root/usr/sbin/policy-rc.d" ] && fail "policy-rc.d was left behind"
[ -L "$root/etc/systemd/system/multi-user.target.wants/inn2.service" ] &&
  fail "the systemd link that the install made was left behind"
grep -qx 'update-rc.d inn2 disable' "$work/called" 2>/dev/null ||
  fail "the SysV links that the install made were not disabled"
[ -L "$root/etc/rc2.d/S01cron" ] && [ -L "$root/etc/systemd/system/multi-user.target.wants/cron.service" ] ||
  fail "what was enabled before the install was touched"
grep -q cron "$work/called" 2>/dev/null && fail "cron, enabled before, was disabled"
if [ "$failures" != 0 ]; then
  echo "--- stdout:"
  cat "$work/out"
  echo "--- stderr:"
  cat "$work/err"
  echo "--- called:"
  cat "$work/called" 2>/dev/null
  exit 1
fi
echo "ok"
