#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine.
# Only packages that are missing are installed, so a second run is quick.
# As root apt-get runs directly; any other user needs sudo.
#
# usage: setup.sh [--simulate] [--also PACKAGE]...
#   --simulate  run the very same apt-get command lines, but as a simulation
#               (apt-get -s; the package lists are not updated)
#   --also      treat PACKAGE as needed too (tests use it to force the install
#               branch with a package that is not installed)
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang-14 libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 wine64-tools
  g++-mingw-w64-i686-posix wine32:i386 wixl msitools
  socat python3 python3-pymodbus python3-serial python3-serial-asyncio
)

simulate=()
while [ $# -gt 0 ]; do
  case $1 in
    --simulate) simulate=(-s) ;;
    --also) [ $# -ge 2 ] || { echo "setup: --also needs a package name" >&2; exit 2; }
            packages+=("$2"); shift ;;
    *) echo "setup: unknown argument $1 (usage: setup.sh [--simulate] [--also PACKAGE]...)" >&2; exit 2 ;;
  esac
  shift
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0

as_root=()
# A simulation needs no root.
if [ "$(id -u)" -ne 0 ] && [ ${#simulate[@]} -eq 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "setup: these packages are missing and installing them needs root: ${missing[*]}" >&2
    echo "setup: run this script as root, or install sudo and give this user the right to use it" >&2
    exit 1
  fi
  as_root=(sudo)
fi
# env passes the setting through sudo whatever its policy on the environment.
apt=("${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600)
# 32-bit Wine comes from Debian's i386 architecture, which a fresh machine lacks.
i386=no
for p in "${missing[@]}"; do case $p in *:i386) i386=yes ;; esac; done
if [ $i386 = yes ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  if [ ${#simulate[@]} -gt 0 ]; then
    # apt-get knows no i386 package before the architecture is added: the simulation leaves them out.
    echo "setup: a real run adds the i386 architecture first (dpkg --add-architecture i386)"
    kept=()
    for p in "${missing[@]}"; do case $p in *:i386) ;; *) kept+=("$p") ;; esac; done
    missing=("${kept[@]}")
    [ ${#missing[@]} -gt 0 ] || exit 0
  else
    "${as_root[@]}" dpkg --add-architecture i386
  fi
fi
echo "setup: installing ${missing[*]}"
if [ ${#simulate[@]} -eq 0 ]; then
  "${apt[@]}" update -qq
fi
"${apt[@]}" install "${simulate[@]}" -y -qq --no-install-recommends "${missing[@]}"
