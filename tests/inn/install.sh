#!/usr/bin/env bash
# Installs INN (the Debian package inn2) on this machine when it is missing,
# and changes nothing else of the system.
#
# Exit status: 0 when INN is there (or now installed); 77 when it is
# missing and cannot be installed here (not root, not a Debian system);
# 1 when this runs as root and installing fails.  The reason goes to
# stdout.
#
# What an install changes beyond the packages themselves, and how it is
# kept from changing more:
#   - The package scripts would start innd on port 119 and exim on port 25
#     on every interface: a /usr/sbin/policy-rc.d that forbids starting any
#     daemon is in place during the install (made here, and removed after,
#     when the machine has none).
#   - They also enable innd, exim and cron to start at the next boot
#     (/etc/rc?.d links, systemd units and timers): whatever the install
#     enabled that was not enabled before is disabled again, in a way that
#     upgrades keep (update-rc.d disable; the systemd links removed).
#   - inn2's post-install step fails where the host name has no domain:
#     inn2 itself is installed under a fully qualified host name of its own
#     (a UTS namespace), after the packages it needs, which see the real
#     one.  Where the kernel gives no such namespace and the host name has
#     no domain, nothing is installed (77).  /etc/hosts is not touched, and
#     no package is configured but by the install itself.
#
# PELLITON_SYSTEM_ROOT, for the tests of this script only, puts the files
# it looks at and changes (policy-rc.d, the boot links, inn.conf) under
# another directory.
set -u

root=${PELLITON_SYSTEM_ROOT:-}
innd=/usr/lib/news/bin/innd

installed() {
  dpkg-query -W -f='${Status}' inn2 2>/dev/null | grep -q 'install ok installed' && [ -x "$innd" ]
}

installed && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "INN (package inn2) is not installed, and installing it needs root"
  exit 77
fi
if ! command -v apt-get >/dev/null || ! command -v dpkg >/dev/null; then
  echo "INN (package inn2) is not installed, and this is not a Debian system"
  exit 77
fi

# inn2 is installed under the same fully qualified host name that the
# test's instances run under (inn_uts_check, INN_UTS).
# shellcheck source=server.sh
source "$(dirname "$0")/server.sh"
inn_uts_check
if [ ${#INN_UTS[@]} = 0 ] && [[ $(hostname -f 2>/dev/null) != *.* ]]; then
  echo "INN (package inn2) is not installed, and its install needs a host name with a domain, which cannot be given it here"
  exit 77
fi

export DEBIAN_FRONTEND=noninteractive
policy=$root/usr/sbin/policy-rc.d
policy_created=0
enabled_recorded=0
cleanup() {
  # Also after an install that was interrupted: what it enabled so far
  # must not start at the next boot.
  [ "$enabled_recorded" = 1 ] && disable_what_install_enabled
  [ "$policy_created" = 1 ] && rm -f "$policy"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
if [ ! -e "$policy" ]; then
  policy_created=1
  printf '#!/bin/sh\nexit 101\n' > "$policy"
  chmod 755 "$policy"
fi

# What starts at boot: the services that an S link of a SysV runlevel
# starts, and the links by which a systemd target wants or requires a unit.
enabled() {
  local f
  for f in "$root"/etc/rc[0-6S].d/S*; do
    [ -L "$f" ] && echo "sysv ${f##*/S[0-9][0-9]}"
  done
  if [ -d "$root/etc/systemd/system" ]; then
    find "$root/etc/systemd/system" -mindepth 2 -maxdepth 2 -type l \
      \( -path '*.wants/*' -o -path '*.requires/*' \) -printf 'systemd %p\n'
  fi
  return 0
}

# Undone whether or not the install succeeded: a half-done install may have
# enabled something too.
disable_what_install_enabled() {
  comm -13 <(printf '%s\n' "$enabled_before") <(enabled | sort -u) |
    while read -r kind what; do
      case $kind in
        # Its S links become K links: off, and kept off by upgrades, which
        # only add links for a service that has none.
        sysv) update-rc.d "$what" disable >/dev/null 2>&1 ;;
        # Removing the link is what "systemctl disable" does, and it works
        # without a running systemd; deb-systemd-helper then counts the
        # unit as disabled, and upgrades leave it so.
        systemd) rm -f "$what" ;;
      esac
    done
}

enabled_before=$(enabled | sort -u)
enabled_recorded=1

apt-get update -qq >/dev/null 2>&1 || true
# What inn2 needs, as apt would install it along, under the real host name.
needed=$(apt-get -s install --no-install-recommends inn2 2>/dev/null |
  awk '$1 == "Inst" && $2 != "inn2" { print $2 }')
# shellcheck disable=SC2086  # package names, one word each
[ -z "$needed" ] || apt-get install -y -qq --no-install-recommends $needed >/dev/null 2>&1
"${INN_UTS[@]}" apt-get install -y -qq --no-install-recommends inn2 >/dev/null 2>&1

if ! installed; then
  echo "INN (package inn2) is not installed, and installing it failed"
  exit 1
fi
exit 0
