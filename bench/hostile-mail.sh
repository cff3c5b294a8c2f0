#!/usr/bin/env bash
# Hostile messages against a plain one of the same size: each runs through "vexmor analyse" and
# through the host program with the real hook library, both under an address-space limit
# (default 1 GB). Prints seconds and peak memory per message, and whether the host stayed up.
# usage: bench/hostile-mail.sh [BIN_DIR] [SIZE_BYTES] [LIMIT_BYTES]
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
bin="$(cd "${1:-$top/build/bin}" && pwd)"
size="${2:-480000}"
limit="${3:-1073741824}"
work="$(mktemp -d "${TMPDIR:-/tmp}/vexmor-hostile.XXXXXX")"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

python3 - "$work/mail" "$size" <<'PY'
import os, sys
out, size = sys.argv[1], int(sys.argv[2])
os.makedirs(out)
def fill(unit):
    return unit * (size // len(unit))
html = {
    "plain-html": b"<html><body><p>" + fill(b"plain words of a letter ") + b"</p></body></html>",
    "unclosed-formatting": b"<html>" + fill(b"<b><i><u><font>"),
    "deep-nesting": b"<html>" + fill(b"<x>"),
    "unclosed-tables": b"<html>" + fill(b"<table><tr><td>"),
    "unclosed-divs": b"<html>" + fill(b"<div>t"),
    "misnested": b"<html>" + fill(b"<a><b></a><p>"),
    "standards-links": b"<html>" + fill(b'<a href="http://www.w3.org/">x ') + b"http://spam.example.net/",
}
plain = {
    "plain-text": fill(b"plain words of a letter "),
    "standards-links-text": fill(b"http://www.w3.org/ ") + b"http://spam.example.net/",
    "markers-text": fill(b"=20=3D&nbsp;"),
}
for kinds, ctype in ((html, "text/html"), (plain, "text/plain")):
    for name, body in kinds.items():
        with open(os.path.join(out, name + ".eml"), "wb") as f:
            f.write(b"From: Someone <someone@sender.example>\r\nTo: <me@example.org>\r\n"
                    b"Subject: " + name.encode() + b"\r\nContent-Type: " + ctype.encode() +
                    b"\r\n\r\n" + body + b"\r\n")
PY

export VEXMOR_WINDIR="$work/windows" VEXMOR_SYSDIR="$work/system" VEXMOR_THROTTLE=off
mkdir -p "$VEXMOR_WINDIR" "$VEXMOR_SYSDIR"

echo "== vexmor analyse, address space limited to $limit bytes"
for file in "$work"/mail/*.eml; do
  name="$(basename "$file" .eml)"
  if /usr/bin/time -f "%e %M" -o "$work/time" prlimit --as="$limit" \
       "$bin/vexmor" analyse --no-throttle "$file" >/dev/null 2>"$work/err"; then
    result=ok
  else
    result="FAILED ($(tail -n 1 "$work/err" | cut -c1-60))"
  fi
  read -r secs kb < <(tail -n 1 "$work/time") || true
  printf '%-22s %8s s %8s KB  %s\n' "$name" "$secs" "$kb" "$result"
done

echo "== host program, address space limited to $limit bytes"
install="$work/install/"
maildir="$work/Maildir/"
mkdir -p "$install" "$maildir"/{cur,new,tmp}
"$bin/vexmor-sigd" --listen 127.0.0.1:0 --port-file "$work/sigd.port" --db "$work/sig.db" \
  2>"$work/sigd.err" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/sigd.port" ] && break; sleep 0.1; done
server="127.0.0.1:$(cat "$work/sigd.port")"
printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Vexmor\\Settings]\n@="%s"\n"Signature Servers"="%s@127.0.0.1"\n"Mail Store"="%s"\n' \
  "$server" "$server" "$maildir" >"$VEXMOR_WINDIR/user.reg"
printf '[Vexmor]\nPath=%s\nPath_Len=%d\nReceiveMsg_Start=1\n' "$install" $((${#install} + 1)) \
  >"$VEXMOR_WINDIR/Vexmor_Path.ini"
host=
start_host() {
  rm -f "$work/host.ready"
  prlimit --as="$limit" "$bin/Vexmor_PlugIn" --maildir "$maildir" --install-dir "$install" \
    --hook-library "$bin/libVexmor_Hook.so" --ready-file "$work/host.ready" 2>>"$work/host.err" &
  host=$!
  pids+=("$host")
  for _ in $(seq 150); do [ -s "$work/host.ready" ] && break; sleep 0.1; done
}
start_host
restarts=0
log="${install}Vexmor_OE_Log.txt"
done_count() {
  local n
  n="$(grep -c -E '(Completed applying|Applied) Vexmor filters on Incoming mail' "$log" 2>/dev/null)" || true
  echo "${n:-0}"
}
for file in "$work"/mail/*.eml; do
  name="$(basename "$file" .eml)"
  if ! kill -0 "$host" 2>/dev/null; then
    # Measure the next message on a fresh host; the count of deaths is the result that matters.
    restarts=$((restarts + 1))
    rm -rf "$maildir"/new/* "$maildir"/cur/*
    start_host
  fi
  before="$(done_count)"
  start="$(date +%s.%N)"
  cp "$file" "$maildir/tmp/$name"
  mv "$maildir/tmp/$name" "$maildir/new/$name"
  result="not filtered within 300 s"
  for _ in $(seq 3000); do
    if [ "$(done_count)" -gt "$before" ]; then result=filtered; break; fi
    if ! kill -0 "$host" 2>/dev/null; then result="HOST DIED"; break; fi
    sleep 0.1
  done
  printf '%-22s %8.2f s  %s\n' "$name" "$(echo "$(date +%s.%N) - $start" | bc)" "$result"
done
echo "host restarts after a death: $restarts"
kill -0 "$host" 2>/dev/null && echo "host still up" || { echo "host is down:"; tail -n 3 "$work/host.err"; }
