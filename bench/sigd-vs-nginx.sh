#!/usr/bin/env bash
# Requests per second of vexmor-sigd's compare path against nginx serving a one-byte file,
# both on 127.0.0.1 with keep-alive, loaded by wrk with the same settings one after the other.
# Run by hand; needs wrk and nginx (Debian: apt-get install wrk nginx-light).
#   bench/sigd-vs-nginx.sh            uses $VEXMOR_SIGD, else build-bench/bin, else build/bin
#   WRK_ARGS="-t2 -c64 -d10s"         the load (default shown)
#   ROUNDS=3                          alternating rounds; the median of each side is compared
# Besides the rates it prints the processor time each server spent per request (user + system,
# from /proc), which says more than the rate on a machine that is busy with other work.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
wrk_args=(${WRK_ARGS:--t2 -c64 -d10s})

sigd="${VEXMOR_SIGD:-}"
if [[ -z "$sigd" ]]; then
  for candidate in "$top/build-bench/bin/vexmor-sigd" "$top/build/bin/vexmor-sigd"; do
    if [[ -x "$candidate" ]]; then sigd="$candidate"; break; fi
  done
fi
if [[ -z "$sigd" || ! -x "$sigd" ]]; then
  echo "no vexmor-sigd binary: build it (scripts/run-bench or scripts/build) or set VEXMOR_SIGD" >&2
  exit 1
fi
for tool in wrk nginx curl; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done

work="$(mktemp -d)"
chmod 755 "$work"  # nginx workers drop to an unprivileged user and must read the file
sigd_pid=""
nginx_pid=""
cleanup() {
  [[ -n "$sigd_pid" ]] && kill "$sigd_pid" 2>/dev/null && wait "$sigd_pid" 2>/dev/null || true
  [[ -n "$nginx_pid" ]] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

wait_for() {  # url
  for _ in $(seq 1 200); do
    curl -fs -o /dev/null "$1" && return 0
    sleep 0.05
  done
  echo "nothing answers at $1" >&2
  exit 1
}

rounds="${ROUNDS:-3}"

cpu_ticks() {  # pids... -> user + system clock ticks
  local total=0
  for pid in "$@"; do total=$((total + $(awk '{ print $14 + $15 }' "/proc/$pid/stat"))); done
  echo "$total"
}

measure() {  # url pids... -> "rate microseconds-of-processor-per-request"
  local url="$1"; shift
  local before after
  before="$(cpu_ticks "$@")"
  wrk "${wrk_args[@]}" "$url" >"$work/wrk.out"
  after="$(cpu_ticks "$@")"
  awk -v ticks=$((after - before)) -v hz="$(getconf CLK_TCK)" '
    /requests in/ { n = $1 }
    /^Requests\/sec:/ { r = $2 }
    END { printf "%s %.1f\n", r, ticks * 1e6 / hz / n }' "$work/wrk.out"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# vexmor-sigd with one stored signature, so the compare answers "1" from the store.
"$sigd" --listen 127.0.0.1:0 --db "$work/signatures.db" --port-file "$work/sigd.port" \
  >/dev/null 2>"$work/sigd.log" &
sigd_pid=$!
for _ in $(seq 1 200); do [[ -s "$work/sigd.port" ]] && break; sleep 0.05; done
sigd_port="$(cat "$work/sigd.port")"
curl -fs -o /dev/null "http://127.0.0.1:$sigd_port/cgi-bin/checksum_update.cgi?checksum_val=-4242"
sigd_url="http://127.0.0.1:$sigd_port/cgi-bin/checksum_compare.cgi?checksum_val=-4242"
[[ "$(curl -fs "$sigd_url")" == "1" ]] || { echo "vexmor-sigd does not answer 1" >&2; exit 1; }

# nginx from a throw-away configuration: nothing of /etc/nginx is read.
mkdir -p "$work/www" "$work/nginx"
printf 'x' >"$work/www/one"
chmod 644 "$work/www/one"
nginx_port="$(free_port)"
cat >"$work/nginx.conf" <<CONF
worker_processes auto;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  keepalive_requests 1000000;
  server {
    listen 127.0.0.1:$nginx_port;
    root $work/www;
  }
}
CONF
nginx -c "$work/nginx.conf" -p "$work/nginx" -g 'daemon off;' &
nginx_pid=$!
nginx_url="http://127.0.0.1:$nginx_port/one"
wait_for "$nginx_url"
nginx_workers=($(pgrep -P "$nginx_pid"))

# Both servers run all along and take turns under load, so a change in the machine's other
# work hits both sides alike.
: >"$work/sigd.rounds"
: >"$work/nginx.rounds"
for round in $(seq 1 "$rounds"); do
  read -r s_rate s_cpu < <(measure "$sigd_url" "$sigd_pid")
  read -r n_rate n_cpu < <(measure "$nginx_url" "${nginx_workers[@]}")
  echo "round $round: vexmor-sigd $s_rate/s ($s_cpu us cpu/request), nginx $n_rate/s ($n_cpu us cpu/request)"
  echo "$s_rate $s_cpu" >>"$work/sigd.rounds"
  echo "$n_rate $n_cpu" >>"$work/nginx.rounds"
done
sigd_rate="$(cut -d' ' -f1 "$work/sigd.rounds" | median)"
nginx_rate="$(cut -d' ' -f1 "$work/nginx.rounds" | median)"
sigd_cpu="$(cut -d' ' -f2 "$work/sigd.rounds" | median)"
nginx_cpu="$(cut -d' ' -f2 "$work/nginx.rounds" | median)"

echo "wrk ${wrk_args[*]}, keep-alive, loopback, $(nproc) processors, median of $rounds rounds"
echo "vexmor-sigd compare: $sigd_rate requests/s, $sigd_cpu us processor time per request"
echo "nginx one-byte file: $nginx_rate requests/s, $nginx_cpu us processor time per request"
awk -v a="$sigd_rate" -v b="$nginx_rate" 'BEGIN { printf "ratio: %.2f (target: at least 0.50)\n", a / b }'
