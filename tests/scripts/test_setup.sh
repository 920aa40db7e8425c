#!/usr/bin/env bash
# The install branch of scripts/setup.sh, run for real with a package that is
# surely missing, against recording stand-ins for apt-get, sudo and id: the
# command lines it runs as root and as a user with sudo, and its refusal for a
# user without sudo. Every case starts from a PATH that holds only the tools
# the script needs, so the machine's own sudo cannot leak in.
set -uo pipefail
setup=$(cd "$(dirname "$0")/../.." && pwd)/scripts/setup.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
package=brisvale-no-such-package

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# bin/ with the real tools the script uses, a fake dpkg-query, a fake apt-get that records its
# environment and arguments, and (when asked) a fake sudo and a fake id.
make_bin() {  # dir uid with-sudo
  local dir=$1 tool
  mkdir -p "$dir"
  for tool in bash grep env cat; do ln -s "$(command -v "$tool")" "$dir/$tool"; done
  # Every package counts as installed but the test's own.
  printf '#!/bin/sh\ncase "$3" in %s*) ;; *) echo "install ok installed" ;; esac\n' "$package" >"$dir/dpkg-query"
  # A machine with no foreign architecture yet.
  printf '#!/bin/sh\n[ "$1" = --print-foreign-architectures ] || echo "dpkg $*" >>"%s/calls"\n' "$dir" >"$dir/dpkg"
  printf '#!/bin/sh\necho "apt-get DEBIAN_FRONTEND=$DEBIAN_FRONTEND $*" >>"%s/calls"\n' "$dir" >"$dir/apt-get"
  printf '#!/bin/sh\n[ "$1" = -u ] && echo %s\n' "$2" >"$dir/id"
  if [ "$3" = yes ]; then
    printf '#!/bin/sh\necho "sudo $*" >>"%s/calls"\nexec "$@"\n' "$dir" >"$dir/sudo"
  fi
  chmod +x "$dir"/*
}

# A case: a fresh bin/ for (uid, with-sudo), setup.sh run with the arguments
# before "--", and the calls it made compared with the lines after "--".
check() {  # name uid with-sudo args... -- expected-lines...
  local name=$1 dir=$work/$1 args=() want
  make_bin "$dir" "$2" "$3"
  shift 3
  while [ "$1" != -- ]; do args+=("$1"); shift; done
  shift
  PATH=$dir "$dir/bash" "$setup" "${args[@]}" >"$dir/out" 2>&1 || fail "$name: exit $? $(cat "$dir/out")"
  want=$(printf '%s\n' "$@")
  [ "$(cat "$dir/calls" 2>/dev/null)" = "$want" ] ||
    fail "$name: calls were:\n$(cat "$dir/calls" 2>/dev/null)\nwanted:\n$want\noutput:\n$(cat "$dir/out")"
}

apt="apt-get DEBIAN_FRONTEND=noninteractive -o DPkg::Lock::Timeout=600"
sudo_apt="sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600"
install="install -y -qq --no-install-recommends $package"
simulated="$apt install -s -y -qq --no-install-recommends $package"

# Root: apt-get directly, lists updated first.
check root 0 no --also "$package" -- "$apt update -qq" "$apt $install"
grep -q "setup: installing $package" "$work/root/out" || fail "root: no install line"
# A user with sudo, for 32-bit Wine: the i386 architecture is added before the
# lists are updated, and every apt-get line goes through sudo, the setting kept.
check i386 1000 yes --also "$package:i386" -- "sudo dpkg --add-architecture i386" "dpkg --add-architecture i386" \
  "$sudo_apt update -qq" "$apt update -qq" "$sudo_apt $install:i386" "$apt $install:i386"
# Simulation: the install line with -s, no update; it needs no root, so a user
# without sudo runs it directly.
check usersim 1000 no --simulate --also "$package" -- "$simulated"

# Refusal: a user without sudo (the packages named, nothing run).
make_bin "$work/nosudo" 1000 no
if PATH=$work/nosudo "$work/nosudo/bash" "$setup" --also "$package" >"$work/nosudo/out" 2>&1; then fail "no sudo: succeeded"; fi
grep -q "needs root: $package" "$work/nosudo/out" || fail "no sudo: message was $(cat "$work/nosudo/out")"
[ ! -e "$work/nosudo/calls" ] || fail "no sudo: ran $(cat "$work/nosudo/calls")"

echo "setup script: $([ $failures -eq 0 ] && echo ok || echo "$failures failed")"
[ $failures -eq 0 ]
