#!/usr/bin/env bash
# Requests per second of vexmor-sigd's compare path against nginx serving a one-byte file,
# both on 127.0.0.1 with keep-alive, loaded by wrk with the same settings one after the other.
# Run by hand; needs wrk and nginx (Debian: apt-get install wrk nginx-light).
#   bench/sigd-vs-nginx.sh            uses $VEXMOR_SIGD, else build-bench/bin, else build/bin
#   WRK_ARGS="-t2 -c64 -d10s"         the load (default shown)
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

rate() {  # url -> requests per second
  wrk "${wrk_args[@]}" "$1" | tee "$work/wrk.out" >&2
  awk '/^Requests\/sec:/ { print $2 }' "$work/wrk.out"
}

# vexmor-sigd with one stored signature, so the compare answers "1" from the store.
"$sigd" --listen 127.0.0.1:0 --db "$work/signatures.db" --port-file "$work/sigd.port" \
  >/dev/null &
sigd_pid=$!
for _ in $(seq 1 200); do [[ -s "$work/sigd.port" ]] && break; sleep 0.05; done
sigd_port="$(cat "$work/sigd.port")"
curl -fs -o /dev/null "http://127.0.0.1:$sigd_port/cgi-bin/checksum_update.cgi?checksum_val=-4242"
sigd_url="http://127.0.0.1:$sigd_port/cgi-bin/checksum_compare.cgi?checksum_val=-4242"
[[ "$(curl -fs "$sigd_url")" == "1" ]] || { echo "vexmor-sigd does not answer 1" >&2; exit 1; }

echo "== vexmor-sigd $sigd_url" >&2
sigd_rate="$(rate "$sigd_url")"
kill "$sigd_pid"; wait "$sigd_pid" || true; sigd_pid=""

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

echo "== nginx $nginx_url" >&2
nginx_rate="$(rate "$nginx_url")"

echo "wrk ${wrk_args[*]}, keep-alive, loopback, $(nproc) processors"
echo "vexmor-sigd compare: $sigd_rate requests/s"
echo "nginx one-byte file: $nginx_rate requests/s"
awk -v a="$sigd_rate" -v b="$nginx_rate" 'BEGIN { printf "ratio: %.2f (target: at least 0.50)\n", a / b }'
