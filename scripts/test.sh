#!/usr/bin/env bash
# Builds both targets and runs the whole test suite:
#   Linux (native), Linux under AddressSanitizer and UndefinedBehaviorSanitizer,
#   Windows (mingw-w64) under Wine, and the fuzz targets for a bounded time.
# Usage: scripts/test.sh [stage...]   stages: linux sanitize windows fuzz (default: all)
# FUZZ_SECONDS sets the time per fuzz target (default 45).
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/setup.sh || exit 1

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(linux sanitize windows fuzz)
jobs=$(nproc)
passed=0
failed=0
results=()

# Adds up the closing line of a ctest run ("N% tests passed, F tests failed out of T").
count_ctest() {
  local line t f
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1)
  if [ -z "$line" ]; then failed=$((failed + 1)); return; fi
  f=$(sed -E 's/.* ([0-9]+) tests? failed out of.*/\1/' <<<"$line")
  t=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  passed=$((passed + t - f)); failed=$((failed + f))
}

run_ctest() {  # name builddir
  local log="$2/ctest.log"
  ctest --test-dir "$2" --output-on-failure -j "$jobs" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  count_ctest "$log"
  results+=("$1: $( [ "$rc" -eq 0 ] && echo ok || echo FAILED)")
  return "$rc"
}

build() {  # builddir cmake-args...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j "$jobs"
}

status=0
for stage in "${stages[@]}"; do
  echo "=== $stage"
  case $stage in
    linux)
      build build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRISVALE_BENCH=ON && run_ctest linux build || status=1 ;;
    sanitize)
      build build-sanitize -DCMAKE_BUILD_TYPE=Debug -DBRISVALE_SANITIZE=address,undefined &&
        ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest sanitize build-sanitize || status=1 ;;
    windows)
      export WINEPREFIX=$here/build-win/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
      unset DISPLAY
      mkdir -p build-win
      # A prefix made before 32-bit Wine could run has no 32-bit system: the prefixes are made anew.
      if /usr/lib/wine/wine --version >/dev/null 2>&1 && [ -f "$WINEPREFIX/system.reg" ] &&
         [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
        rm -rf build-win/wineprefix*
      fi
      if [ ! -f "$WINEPREFIX/system.reg" ]; then /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1; wineserver -w; fi
      build build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Debug &&
        run_ctest windows build-win || status=1
      wineserver -k 2>/dev/null ;;
    fuzz)
      if build build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRISVALE_FUZZ=ON -DBRISVALE_TESTS=OFF \
           -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14; then
        bash scripts/fuzz.sh build-fuzz "${FUZZ_SECONDS:-45}" && { passed=$((passed + 1)); results+=("fuzz: ok"); } ||
          { failed=$((failed + 1)); results+=("fuzz: FAILED"); status=1; }
      else
        failed=$((failed + 1)); results+=("fuzz: FAILED (build)"); status=1
      fi ;;
    *) echo "unknown stage $stage"; exit 2 ;;
  esac
done

echo "=== summary"
printf '%s\n' "${results[@]}"
echo "suite: $passed passed, $failed failed"
exit $status
