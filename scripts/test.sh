#!/usr/bin/env bash
# The test command: installs what a fresh Debian 12 machine lacks (as root), builds both trees and
# runs every test: native unit tests under ASan/UBSan and the bounded fuzz runs, the Windows unit
# tests under Wine, and the Wine scenarios. Ends with one line "tests: N passed, N failed".
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${JOBS:-$(nproc)}
start=$(date +%s)

if [ "$(id -u)" = 0 ]; then
  bash scripts/bootstrap.sh || { echo "bootstrap failed"; exit 1; }
fi
bash scripts/build.sh || { echo "build failed"; exit 1; }
. tests/testbed/wine-env.sh
wine_make_template

passed=0
failed=0
status=0
logs=build/test-logs
mkdir -p "$logs"

# Adds the counts of one runner's closing line to the totals.
count_ctest() {
  local line
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1)
  [ -n "$line" ] || return 0
  local total fail
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  fail=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  passed=$((passed + total - fail))
  failed=$((failed + fail))
}

echo "== native unit tests and fuzzing (ASan/UBSan)"
(cd build/native && ctest -j "$jobs" --output-on-failure) 2>&1 | tee "$logs/native.log"
[ "${PIPESTATUS[0]}" = 0 ] || status=1
count_ctest "$logs/native.log"

echo "== Windows unit tests under Wine"
(cd build/win && ctest -j "$jobs" --output-on-failure) 2>&1 | tee "$logs/win.log"
[ "${PIPESTATUS[0]}" = 0 ] || status=1
count_ctest "$logs/win.log"

echo "== Wine scenarios"
/usr/bin/python3 -m pytest -q -n "$jobs" -p no:cacheprovider tests 2>&1 | tee "$logs/scenarios.log"
[ "${PIPESTATUS[0]}" = 0 ] || status=1
line=$(grep -E '^=*\s*[0-9]+ (passed|failed)' "$logs/scenarios.log" | tail -n 1)
p=$(grep -oE '[0-9]+ passed' <<<"$line" | grep -oE '[0-9]+' || echo 0)
f=$(grep -oE '[0-9]+ failed' <<<"$line" | grep -oE '[0-9]+' || echo 0)
e=$(grep -oE '[0-9]+ errors?' <<<"$line" | grep -oE '[0-9]+' || echo 0)
passed=$((passed + ${p:-0}))
failed=$((failed + ${f:-0} + ${e:-0}))

echo "== done in $(( $(date +%s) - start )) s"
echo "tests: $passed passed, $failed failed"
[ "$failed" = 0 ] || status=1
exit $status
