#!/usr/bin/env bash
# Runs one cross-compiled test program (or a test script, *.sh, with its arguments) under Wine in a throw-away prefix,
# with the product's Windows and system directories in a throw-away folder too. When
# $VEXMOR_WINE_SIGD names the Linux build's vexmor-sigd, a server on a free loopback port is
# started for the run and its port handed over as $VEXMOR_SIGD_PORT. Every process of the run
# (Wine's and the server) is ended when it ends, whatever its outcome.
set -euo pipefail
run="$(mktemp -d "${TMPDIR:-/tmp}/vexmor-wine.XXXXXX")"
export WINEPREFIX="$run/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
sigd_pid=""
cleanup() {
  [ -n "$sigd_pid" ] && kill "$sigd_pid" 2>/dev/null && wait "$sigd_pid" 2>/dev/null
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  rm -rf "$run"
}
trap cleanup EXIT
mkdir -p "$run/windir" "$run/sysdir"
if [ -n "${VEXMOR_WINE_SIGD:-}" ]; then
  if [ ! -x "$VEXMOR_WINE_SIGD" ]; then
    echo "wine-test: $VEXMOR_WINE_SIGD is missing: build the Linux tree (scripts/build) first" >&2
    exit 1
  fi
  "$VEXMOR_WINE_SIGD" --listen 127.0.0.1:0 --memory --port-file "$run/sigd.port" &
  sigd_pid=$!
  # The port file appears once the server listens; give up after a minute.
  for _ in $(seq 600); do
    [ -s "$run/sigd.port" ] && break
    kill -0 "$sigd_pid" 2>/dev/null || { echo "wine-test: vexmor-sigd did not start" >&2; exit 1; }
    sleep 0.1
  done
  [ -s "$run/sigd.port" ] || { echo "wine-test: vexmor-sigd did not report its port" >&2; exit 1; }
  VEXMOR_SIGD_PORT="$(tr -dc '0-9' < "$run/sigd.port")"
  export VEXMOR_SIGD_PORT
fi
# The program sees them as Windows paths of the Z: drive Wine maps to /.
export VEXMOR_WINDIR="Z:$run/windir" VEXMOR_SYSDIR="Z:$run/sysdir" VEXMOR_TEST_RUN_DIR="$run"
wineboot -i >/dev/null 2>&1 || true
case "$1" in
  *.sh) "$@" ;;  # a test script that runs its programs with wine itself
  *) wine "$@" ;;
esac
