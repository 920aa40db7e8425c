#!/bin/sh
# without_threads.sh TEST_REMOTE: the calls across the socket, in a process
# that has almost no thread to spare. Activations may fail, but with an error:
# neither the serving side nor the client side may end the process.
# Needs root, prlimit, setpriv and the user nobody; skipped (77) otherwise.
if [ "$(id -u)" != 0 ] || ! command -v prlimit >/dev/null || ! command -v setpriv >/dev/null ||
  ! id nobody >/dev/null 2>&1; then
  echo "skipped: needs root, prlimit, setpriv and the user nobody"
  exit 77
fi
for limit in 3 4 5 6 7 8; do
  BRISVALE_TEST_FEW_THREADS=1 prlimit --nproc=$limit setpriv --reuid=nobody --regid="$(id -g nobody)" \
    --clear-groups "$1" --gtest_filter='RemoteTest.ActivationsShortOfThreads*' >/dev/null 2>&1
  status=$?
  if [ $status -gt 1 ]; then
    echo "with $limit threads for the user the process ended abnormally (status $status)"
    exit 1
  fi
done
echo "every run ended normally"
