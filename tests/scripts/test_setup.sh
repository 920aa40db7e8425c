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

run_setup() {  # dir args...
  local dir=$1
  shift
  PATH=$dir "$dir/bash" "$setup" "$@" >"$dir/out" 2>&1
}

expect_calls() {  # case dir expected-lines...
  local name=$1 dir=$2
  shift 2
  local want
  want=$(printf '%s\n' "$@")
  [ "$(cat "$dir/calls" 2>/dev/null)" = "$want" ] ||
    fail "$name: calls were:\n$(cat "$dir/calls" 2>/dev/null)\nwanted:\n$want\noutput:\n$(cat "$dir/out")"
}

apt_opts="-o DPkg::Lock::Timeout=600"
install="install -y -qq --no-install-recommends $package"

# Root: apt-get directly, lists updated first.
make_bin "$work/root" 0 no
run_setup "$work/root" --also "$package" || fail "root: exit $? $(cat "$work/root/out")"
grep -q "setup: installing $package" "$work/root/out" || fail "root: no install line"
expect_calls root "$work/root" \
  "apt-get DEBIAN_FRONTEND=noninteractive $apt_opts update -qq" \
  "apt-get DEBIAN_FRONTEND=noninteractive $apt_opts $install"

# A user with sudo: both apt-get lines through sudo, the setting kept.
make_bin "$work/user" 1000 yes
run_setup "$work/user" --also "$package" || fail "sudo user: exit $? $(cat "$work/user/out")"
expect_calls "sudo user" "$work/user" \
  "sudo env DEBIAN_FRONTEND=noninteractive apt-get $apt_opts update -qq" \
  "apt-get DEBIAN_FRONTEND=noninteractive $apt_opts update -qq" \
  "sudo env DEBIAN_FRONTEND=noninteractive apt-get $apt_opts $install" \
  "apt-get DEBIAN_FRONTEND=noninteractive $apt_opts $install"

# 32-bit Wine: the i386 architecture is added (through sudo) before the lists are updated.
make_bin "$work/i386root" 0 no
run_setup "$work/i386root" --also "$package:i386" || fail "i386 root: exit $? $(cat "$work/i386root/out")"
expect_calls "i386 root" "$work/i386root" "dpkg --add-architecture i386" \
  "apt-get DEBIAN_FRONTEND=noninteractive $apt_opts update -qq" \
  "apt-get DEBIAN_FRONTEND=noninteractive $apt_opts $install:i386"
make_bin "$work/i386" 1000 yes
run_setup "$work/i386" --also "$package:i386" || fail "i386: exit $? $(cat "$work/i386/out")"
expect_calls i386 "$work/i386" \
  "sudo dpkg --add-architecture i386" "dpkg --add-architecture i386" \
  "sudo env DEBIAN_FRONTEND=noninteractive apt-get $apt_opts update -qq" \
  "apt-get DEBIAN_FRONTEND=noninteractive $apt_opts update -qq" \
  "sudo env DEBIAN_FRONTEND=noninteractive apt-get $apt_opts $install:i386" \
  "apt-get DEBIAN_FRONTEND=noninteractive $apt_opts $install:i386"

# Simulation: the same install line with -s, no update.
make_bin "$work/simulate" 0 no
run_setup "$work/simulate" --simulate --also "$package" || fail "simulate: exit $?"
expect_calls simulate "$work/simulate" \
  "apt-get DEBIAN_FRONTEND=noninteractive $apt_opts install -s -y -qq --no-install-recommends $package"

# A simulation needs no root: a user without sudo runs it directly.
make_bin "$work/usersim" 1000 no
run_setup "$work/usersim" --simulate --also "$package" || fail "user simulate: exit $? $(cat "$work/usersim/out")"
expect_calls "user simulate" "$work/usersim" \
  "apt-get DEBIAN_FRONTEND=noninteractive $apt_opts install -s -y -qq --no-install-recommends $package"

# A user without sudo: a clear refusal naming the packages, nothing run.
make_bin "$work/nosudo" 1000 no
if run_setup "$work/nosudo" --also "$package"; then fail "no sudo: succeeded"; fi
grep -q "needs root: $package" "$work/nosudo/out" || fail "no sudo: message was $(cat "$work/nosudo/out")"
[ ! -e "$work/nosudo/calls" ] || fail "no sudo: ran $(cat "$work/nosudo/calls")"

# Nothing missing: nothing run, whoever runs it.
make_bin "$work/complete" 1000 no
run_setup "$work/complete" || fail "nothing missing: exit $?"
[ ! -e "$work/complete/calls" ] || fail "nothing missing: ran $(cat "$work/complete/calls")"

# A bad argument is refused with the usage.
make_bin "$work/bad" 0 no
if run_setup "$work/bad" --bogus; then fail "bad argument: accepted"; fi
grep -q "usage: setup.sh" "$work/bad/out" || fail "bad argument: $(cat "$work/bad/out")"

# The real apt-get, simulating the install of a small package this machine
# lacks; only where the package lists know one.
real=
for candidate in sl cowsay fortune-mod; do
  if ! dpkg-query -W -f='${Status}' "$candidate" 2>/dev/null | grep -q "install ok installed" &&
     apt-cache show "$candidate" >/dev/null 2>&1; then
    real=$candidate
    break
  fi
done
if [ -n "$real" ]; then
  bash "$setup" --simulate --also "$real" >"$work/real.out" 2>&1 || fail "real apt-get: exit $? $(cat "$work/real.out")"
  grep -q "^Inst $real " "$work/real.out" || fail "real apt-get: $(cat "$work/real.out")"
else
  echo "setup script: no package lists name a missing package; the real apt-get case was not run"
fi

echo "setup script: $([ $failures -eq 0 ] && echo ok || echo "$failures failed")"
[ $failures -eq 0 ]
