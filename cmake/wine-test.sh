#!/usr/bin/env bash
# Runs one cross-compiled test program (and its arguments) under Wine in a throw-away prefix,
# with the product's Windows and system directories in a throw-away folder too. Every Wine
# process of the prefix is ended when the run ends, whatever its outcome.
set -euo pipefail
run="$(mktemp -d "${TMPDIR:-/tmp}/vexmor-wine.XXXXXX")"
export WINEPREFIX="$run/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  rm -rf "$run"
}
trap cleanup EXIT
mkdir -p "$run/windir" "$run/sysdir"
# The program sees them as Windows paths of the Z: drive Wine maps to /.
export VEXMOR_WINDIR="Z:$run/windir" VEXMOR_SYSDIR="Z:$run/sysdir" VEXMOR_TEST_RUN_DIR="$run"
wineboot -i >/dev/null 2>&1 || true
# wine's own start-up noise goes to standard error; the test's output stays readable.
wine "$@"
