#!/usr/bin/env bash
# Runs one GoogleTest binary for CTest: run_gtest.sh REPORT BINARY [ARGS...].
# The binary writes its XML report to REPORT. When it passed but skipped a test, this exits 77,
# which CTest shows as skipped (a passing exit would hide the skip); scripts/test then checks each
# skip against tests/allowed_skips.txt. Every other result is passed through.
set -uo pipefail
report=$1
shift
rm -f "$report"

# The sanitizers read their suppression files in every process a test starts, whichever user
# it runs as: the test gets copies in a directory of its own that everyone may read, so that
# nothing depends on who may read the checkout. (Isolated children keep it reachable like the
# checkout itself.)
if [[ -n ${KORVANE_SOURCE_DIR:-} ]]; then
  suppressions=$KORVANE_SOURCE_DIR/tests/support
  copies=$(mktemp -d "${TMPDIR:-/tmp}/korvane-sanitizers.XXXXXX") || exit 1
  trap 'rm -rf "$copies"' EXIT
  cp "$suppressions"/*.supp "$copies"/ && chmod 0755 "$copies" && chmod 0644 "$copies"/*.supp ||
    exit 1
  for name in ASAN_OPTIONS LSAN_OPTIONS TSAN_OPTIONS; do
    if [[ -n ${!name:-} ]]; then
      export "$name=${!name//"$suppressions"/$copies}"
    fi
  done
fi

"$@" "--gtest_output=xml:$report"
status=$?
if ((status == 77)); then
  echo "run_gtest.sh: the test binary itself exited 77; counted as a failure" >&2
  exit 1
fi
if ((status == 0)) && grep -q 'result="skipped"' "$report" 2>/dev/null; then
  exit 77
fi
exit "$status"
