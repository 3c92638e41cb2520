#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is
# missing (a fresh machine of this kind has most of them already).
# With arguments: installs those packages instead (the arm64 cross build
# asks for its own this way).
# ser2net is for the tests, which start their own server with their own
# configuration: its system service is never started (the default
# configuration names /dev/ttyS0, which may be the machine's console).
set -euo pipefail
packages=(cmake make g++ clang libclang-rt-14-dev libgtest-dev libbenchmark-dev valgrind groff-base man-db dpkg-dev file lintian
  libxml2-utils python3 ser2net)
[ $# -eq 0 ] || packages=("$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "Not root: install these packages first: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
# No service may start during the install: invoke-rc.d asks policy-rc.d, and
# 101 means "not allowed". One already in place is left as it is.
policy=/usr/sbin/policy-rc.d
own_policy=
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  own_policy=1
  trap 'rm -f "$policy"' EXIT
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
if [ -n "$own_policy" ]; then
  rm -f "$policy"
  trap - EXIT
fi
# The package enables its service for the next boot: undo that too.
if [[ " ${missing[*]} " == *" ser2net "* ]]; then
  systemctl disable ser2net.service >/dev/null 2>&1 || true
  update-rc.d ser2net disable >/dev/null 2>&1 || true
fi
