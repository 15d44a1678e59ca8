#!/usr/bin/env bash
# Installs, on a Debian machine, the packages that building and testing
# pelliton need and that the machine lacks.  Installs nothing that is there.
set -euo pipefail

packages=(g++ cmake make libgtest-dev libgmock-dev libbenchmark-dev)
# The Maildir tests read what pelliton delivered with Python's mailbox module.
packages+=(python3)
# A fault trial watches with strace that the mailboxes are synced before
# each save of the newsrc file.
packages+=(strace)
# TLS: OpenSSL 3's libraries and headers; the openssl command makes the
# certificates of the real-server test and checks its TLS readers.
packages+=(libssl-dev openssl)
# COMPRESS DEFLATE: zlib's library and headers.
packages+=(zlib1g-dev)
# Their manual pages, when wanted: PELLITON_WITH_SSL_DOC=1.
[ "${PELLITON_WITH_SSL_DOC:-0}" = 1 ] && packages+=(libssl-doc)
# The fuzz targets want clang with its fuzzer runtime.
packages+=(clang libclang-rt-dev)
# The real-server test runs INN on loopback.  tests/inn/install.sh installs
# it when it is missing, and keeps its daemons from starting now or at the
# next boot; an install that fails as root is an error, one that cannot be
# done here (not root) only a note.
if [ "${PELLITON_WITH_INN:-1}" = 1 ]; then
  # Its status is looked at here, so it must not end this script first.
  inn_status=0
  inn_reason=$(bash "$(dirname "$0")/../tests/inn/install.sh") || inn_status=$?
  case $inn_status in
    0) ;;
    77) echo "install-deps: $inn_reason" >&2 ;;
    *)
      echo "install-deps: $inn_reason" >&2
      exit 1
      ;;
  esac
fi

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
apt-get install -y -qq --no-install-recommends "${missing[@]}"
