#!/bin/sh
# Installs the Debian packages the build and the tests need, only those that
# are missing; prints nothing when everything is already there.
set -e
PKGS="build-essential cmake ninja-build pkg-config git
libssl-dev openssl libengine-gost-openssl
libboost-dev libboost-thread-dev libboost-filesystem-dev libboost-date-time-dev
libcurl4-openssl-dev libldap2-dev
libgtest-dev libgmock-dev libbenchmark-dev
clang-14 libclang-rt-14-dev clang-format"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
echo "installing:$missing" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq >/dev/null
$SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
