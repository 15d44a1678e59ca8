#!/usr/bin/env bash
# Installs INN (the Debian package inn2) on this machine when it is missing.
# Exit status: 0 when INN is there (or now installed), 77 when it is missing
# and cannot be installed (not root, or the install failed), with the
# reason on stdout.  The package's scripts are kept from starting innd or
# exim on the machine's interfaces; whoever needs INN starts it on loopback.
set -u

innd=/usr/lib/news/bin/innd

installed() {
  dpkg-query -W -f='${Status}' inn2 2>/dev/null | grep -q 'install ok installed' && [ -x "$innd" ]
}

installed && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "INN (package inn2) is not installed, and installing it needs root"
  exit 77
fi
if ! command -v apt-get >/dev/null; then
  echo "INN (package inn2) is not installed, and this is not a Debian system"
  exit 77
fi

export DEBIAN_FRONTEND=noninteractive
policy=/usr/sbin/policy-rc.d
policy_created=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' > "$policy"
  chmod 755 "$policy"
  policy_created=1
fi
cleanup() { [ "$policy_created" = 1 ] && rm -f "$policy"; }
trap cleanup EXIT

# Every INN program resolves the host name when it reads inn.conf.
host=$(uname -n)
if [ -n "$host" ] && ! grep -Eq "[[:space:]]$host([[:space:]]|\$)" /etc/hosts; then
  echo "127.0.0.1 $host" >> /etc/hosts
fi

apt-get update -qq >/dev/null 2>&1 || true
if ! apt-get install -y -qq --no-install-recommends inn2 >/dev/null 2>&1; then
  # The post-install step fails where the host name has no domain; the
  # package is unpacked by then and only needs the domain to finish.
  if [ -f /etc/news/inn.conf ]; then
    grep -q '^domain:' /etc/news/inn.conf || echo 'domain: localdomain' >> /etc/news/inn.conf
    dpkg --configure -a >/dev/null 2>&1 || true
  fi
fi
if ! installed; then
  echo "INN (package inn2) is not installed, and installing it failed"
  exit 77
fi
exit 0
