#!/usr/bin/env bash
# Runs one GoogleTest binary for CTest: run_gtest.sh REPORT BINARY [ARGS...].
# The binary writes its XML report to REPORT. When it passed but skipped a test, this exits 77,
# which CTest shows as skipped (a passing exit would hide the skip); scripts/test then checks each
# skip against tests/allowed_skips.txt. Every other result is passed through.
set -uo pipefail
report=$1
shift
rm -f "$report"
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
