#!/usr/bin/env bash
# Installs, on a Debian machine, the packages that building and testing
# pelliton need and that the machine lacks.  Installs nothing that is there.
set -euo pipefail

packages=(g++ cmake make libgtest-dev libgmock-dev libbenchmark-dev)
# The fuzz targets want clang with its fuzzer runtime.
packages+=(clang libclang-rt-dev)
# The real-server test runs INN on loopback.
if [ "${PELLITON_WITH_INN:-1}" = 1 ]; then packages+=(inn2); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" != 0 ]; then
  echo "install-deps: missing packages: ${missing[*]} (not root: install them by hand)" >&2
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
policy_created=0
if [[ " ${missing[*]} " == *" inn2 "* ]] && [ ! -e /usr/sbin/policy-rc.d ]; then
  # Keep the package's scripts from starting innd and exim on every
  # interface; the tests start INN themselves, on loopback only.
  printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
  chmod 755 /usr/sbin/policy-rc.d
  policy_created=1
fi
if ! apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
  # inn2's post-install step fails where the host name has no domain; the
  # test script configures INN itself and finishes the installation.
  if [[ " ${missing[*]} " == *" inn2 "* ]] && [ -f /etc/news/inn.conf ]; then
    grep -q '^domain:' /etc/news/inn.conf || echo 'domain: localdomain' >> /etc/news/inn.conf
    dpkg --configure -a || true
  else
    [ $policy_created = 1 ] && rm -f /usr/sbin/policy-rc.d
    exit 1
  fi
fi
[ $policy_created = 1 ] && rm -f /usr/sbin/policy-rc.d
exit 0
