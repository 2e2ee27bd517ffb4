#!/usr/bin/env bash
# Builds the shipped binaries for x86_64 and i686 (win32 thread model), builds
# the tests for both architectures (posix thread model), and runs them under
# CTest: the import check of both targets and the x86_64 tests under the
# host's Wine and, at the same time, the i686 tests under the 32-bit Wine of
# the chroot that tools/setup-i686.sh makes (emulated: this machine cannot run
# 32-bit code). Each architecture has its own private prefix, wineserver and
# Xvfb. The last lines say how many tests ran on each architecture.
#
#   tools/test.sh [ctest arguments...]
#
# QUELLAN_BUILD overrides the build folder (default: build/ in the checkout).
# QUELLAN_I686=off skips the i686 run on purpose (the summary says so, and
# the command still fails if the x86_64 tests do); without it, an i686 run
# that cannot happen fails the command.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUELLAN_BUILD:-$root/build}
i686=${QUELLAN_I686:-on}

configure() { # folder toolchain [options...]
  local dir=$1 toolchain=$2; shift 2
  cmake -S "$root" -B "$dir" -G Ninja --toolchain "$root/cmake/$toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
}

configure "$build/x64" x86_64-win32
cmake --build "$build/x64"
configure "$build/i686" i686-win32
cmake --build "$build/i686"
configure "$build/tests" x86_64-posix -DQUELLAN_TESTS=ON \
  -DQUELLAN_SHIPPED_DIR="$build/x64" -DQUELLAN_SHIPPED_DIR_I686="$build/i686"
cmake --build "$build/tests"
# The i686 tests only when they will run.
if [ "$i686" != off ]; then
  configure "$build/tests-i686" i686-posix -DQUELLAN_TESTS=ON -DQUELLAN_SHIPPED_DIR="$build/i686" \
    -DQUELLAN_SHIPPED_DIR_OTHER="$build/x64"
  cmake --build "$build/tests-i686"
fi

# The i686 runner; when it cannot be made, remember the one-line reason (its
# progress goes to standard output, the reason to standard error).
i686_missing=""
if [ "$i686" = off ]; then
  i686_missing="skipped on purpose (QUELLAN_I686=off)"
elif ! { reason=$("$root/tools/setup-i686.sh" 2>&1 >&3); } 3>&1; then
  i686_missing=$(printf '%s\n' "$reason" | tail -n 1)
fi

# One private X server per architecture, so that tests can create real
# windows and the two runs never take each other's focus.
xvfbs=()
start_xvfb() { # variable to receive the display, e.g. ":90"
  local display=90
  while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do
    display=$((display + 1))
  done
  Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfbs+=($!)
  for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X$display" ] && break
    sleep 0.1
  done
  printf -v "$1" ':%s' "$display"
}
i686_pid="" i686_display="" x64_display=""
cleanup() {
  [ -z "$i686_pid" ] || kill "$i686_pid" 2>/dev/null || true
  WINEPREFIX="$build/tests/wineprefix" wineserver -k 2>/dev/null || true
  if [ -z "$i686_missing" ] && [ -d "$build/tests-i686/wineprefix" ]; then
    WINEPREFIX="$build/tests-i686/wineprefix" QUELLAN_I686_BIND=$build \
      "$root/tools/i686-exec.sh" wineserver -k 2>/dev/null || true
  fi
  for pid in "${xvfbs[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
export WINEDEBUG=-all

# Counts from a CTest log: "ran failed skipped", or nothing when CTest never
# got to its closing line. Skipped tests did not run.
counts() {
  local total failed skipped
  read -r total failed < <(sed -n \
    's/^[0-9]*% tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/\2 \1/p' "$1" | tail -n 1)
  [ -n "${total:-}" ] || return 0
  skipped=$(grep -c '^[[:space:]]*[0-9]* - .* (Skipped)$' "$1" || true)
  echo "$((total - skipped)) $failed $skipped"
}

# i686: Wine 10 in the chroot, in one private mount namespace for the whole
# run, with its own prefix, persistent wineserver and X server. It takes the
# longest, so it runs in the background beside the x86_64 run (the two share
# nothing) and its log is shown when that one is done.
i686_rc=0
i686_log="$build/tests-i686/ctest.log"
rm -f "$i686_log"
if [ -z "$i686_missing" ]; then
  start_xvfb i686_display
  # shellcheck disable=SC2016
  DISPLAY=$i686_display WINEPREFIX="$build/tests-i686/wineprefix" QUELLAN_I686_BIND=$build \
    "$root/tools/i686-exec.sh" --host bash -c '
      run=$1; shift
      QUELLAN_WINE_EXEC=$run "$(dirname "$run")/wine-prefix.sh" "$WINEPREFIX" || exit 1
      "$run" wineserver -p  # exits with 2 when a server already serves the prefix
      "$run" wine "C:\\windows\\syswow64\\cmd.exe" /c exit >/dev/null 2>&1 || true
      ctest --test-dir "$0" --output-on-failure --timeout 600 "$@"
      rc=$?
      "$run" wineserver -k 2>/dev/null || true
      exit "$rc"
    ' "$build/tests-i686" "$root/tools/i686-exec.sh" "$@" >"$i686_log" 2>&1 &
  i686_pid=$!
fi

# x86_64: the host's Wine. A warm, persistent wineserver makes each test
# process start in a fraction of a second instead of seconds.
start_xvfb x64_display
export DISPLAY=$x64_display
export WINEPREFIX="$build/tests/wineprefix"
rm -f "$build/tests/ctest.log"
"$root/tools/wine-prefix.sh" "$WINEPREFIX"
# With a server already running for the prefix (a test run by hand), -p
# exits with 2 and that server serves: not a reason to stop.
wineserver -p || true
wine cmd /c exit >/dev/null 2>&1 || true
x64_rc=0
set +e
ctest --test-dir "$build/tests" --output-on-failure --timeout 300 "$@" 2>&1 | tee "$build/tests/ctest.log"
x64_rc=${PIPESTATUS[0]}
set -e
wineserver -k 2>/dev/null || true

if [ -n "$i686_pid" ]; then
  echo
  echo "==================== i686 (emulated: about two seconds a test) ===================="
  tail -n +1 -f --pid="$i686_pid" "$i686_log"
  wait "$i686_pid" || i686_rc=$?
  i686_pid=""
fi

# The summary: one line per architecture, and a loud one when i686 did not run.
read -r x64_ran x64_failed x64_skipped <<<"$(counts "$build/tests/ctest.log")" || true
if [ -z "$i686_missing" ]; then
  read -r i686_ran i686_failed i686_skipped <<<"$(counts "$build/tests-i686/ctest.log" 2>/dev/null)" || true
  if [ -z "${i686_ran:-}" ] && [ "$i686_rc" -ne 0 ]; then
    i686_missing="the run broke off (exit $i686_rc) before CTest could finish"
  fi
fi
echo
echo "==================== Summary ===================="
summary="${x64_ran:-0} tests ran on x86_64"
if [ -n "$i686_missing" ]; then
  summary+=", NONE on i686"
else
  summary+=", ${i686_ran:-0} on i686"
fi
skipped=()
[ "${x64_skipped:-0}" -eq 0 ] || skipped+=("${x64_skipped} on x86_64")
[ "${i686_skipped:-0}" -eq 0 ] || skipped+=("${i686_skipped} on i686")
[ ${#skipped[@]} -eq 0 ] || summary+=" (skipped: ${skipped[0]}${skipped[1]:+, ${skipped[1]}})"
echo "$summary"
[ "${x64_failed:-0}" -eq 0 ] || echo "x86_64: ${x64_failed} FAILED"
[ -z "$i686_missing" ] && [ "${i686_failed:-0}" -ne 0 ] && echo "i686: ${i686_failed} FAILED"
if [ -n "$i686_missing" ]; then
  echo "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!"
  echo "!!! THE i686 TESTS DID NOT RUN: $i686_missing"
  echo "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!"
fi
[ "$x64_rc" -eq 0 ] || exit "$x64_rc"
[ "$i686_rc" -eq 0 ] || exit "$i686_rc"
if [ -n "$i686_missing" ] && [ "$i686" != off ]; then
  exit 3
fi
