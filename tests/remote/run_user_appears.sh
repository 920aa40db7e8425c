#!/bin/sh
# run_user_appears.sh TEST_REMOTE: a server published before the user had a
# runtime folder, then the folder appears (the first login): clients still
# find the server. Needs root and unshare for a /run/user of its own;
# skipped (77) otherwise.
if [ "$(id -u)" != 0 ] || ! command -v unshare >/dev/null ||
  ! unshare -m sh -c 'mount --make-rprivate / && mount -t tmpfs tmpfs /run/user' 2>/dev/null; then
  echo "skipped: needs root and unshare to make a /run/user of its own"
  exit 77
fi
out=$(BRISVALE_TEST_OWN_RUN_USER=1 unshare -m sh -c 'mount --make-rprivate / && mount -t tmpfs tmpfs /run/user &&
  exec "$0" --gtest_filter="*BeforeTheFirstLogin*"' "$1" 2>&1)
status=$?
echo "$out"
[ $status = 0 ] && echo "$out" | grep -q '^\[  PASSED  \] 1 test'
