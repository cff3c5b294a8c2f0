#!/usr/bin/env bash
# Look-ups per second through two vexmor-sigd servers sharing one three-master Redis Cluster,
# against one vexmor-sigd on SQLite, under the same wrk load (the two servers each take half
# of the connections, and their rates are added). Everything runs on loopback ports and is
# stopped at the end. The look-ups spread over 2,000 link signatures, half of them reported,
# so every master is asked. Run by hand; needs wrk, redis-server, redis-tools and curl.
#   bench/sigd-redis-vs-sqlite.sh     uses $VEXMOR_SIGD, else build-bench/bin, else build/bin
#   CONNECTIONS=64 DURATION=10s ROUNDS=3   the load (defaults shown); the median is compared
#   REDIS_THREADS=8                        event loops of each Redis-backed server
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
connections="${CONNECTIONS:-64}"
duration="${DURATION:-10s}"
rounds="${ROUNDS:-3}"

sigd="${VEXMOR_SIGD:-}"
if [[ -z "$sigd" ]]; then
  for candidate in "$top/build-bench/bin/vexmor-sigd" "$top/build/bin/vexmor-sigd"; do
    if [[ -x "$candidate" ]]; then sigd="$candidate"; break; fi
  done
fi
[[ -n "$sigd" && -x "$sigd" ]] || { echo "no vexmor-sigd binary: build it or set VEXMOR_SIGD" >&2; exit 1; }
for tool in wrk redis-server redis-cli curl python3; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done

work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {  # below 55000, so that the cluster bus (port + 10000) fits too
  python3 -c '
import socket
while True:
    s = socket.socket(); s.bind(("127.0.0.1", 0)); p = s.getsockname()[1]; s.close()
    if p < 55000: print(p); break'
}

start_sigd() {  # name, arguments... (not in a subshell: the cleanup needs the process id)
  local name="$1"; shift
  "$sigd" --listen 127.0.0.1:0 --port-file "$work/$name.port" "$@" >/dev/null 2>"$work/$name.log" &
  pids+=($!)
  for _ in $(seq 1 200); do [[ -s "$work/$name.port" ]] && break; sleep 0.05; done
  [[ -s "$work/$name.port" ]] || { cat "$work/$name.log" >&2; exit 1; }
}

# Three masters, no replicas.
nodes=()
for i in 1 2 3; do
  port="$(free_port)"
  mkdir -p "$work/redis$i"
  redis-server --port "$port" --bind 127.0.0.1 --cluster-enabled yes --cluster-config-file nodes.conf \
    --appendonly yes --save "" --dir "$work/redis$i" --daemonize no >"$work/redis$i/log" 2>&1 &
  pids+=($!)
  for _ in $(seq 1 100); do redis-cli -p "$port" ping >/dev/null 2>&1 && break; sleep 0.05; done
  nodes+=("127.0.0.1:$port")
done
redis-cli --cluster create "${nodes[@]}" --cluster-yes >"$work/create.log"
for _ in $(seq 1 200); do
  ok=0
  for node in "${nodes[@]}"; do
    redis-cli -p "${node#*:}" cluster info | grep -q cluster_state:ok && ok=$((ok + 1))
  done
  [[ $ok == 3 ]] && break
  sleep 0.05
done

# A look-up on Redis waits for the node's answer on its event loop, so the Redis-backed servers
# run more loops than processors to keep requests in flight.
redis_threads="${REDIS_THREADS:-8}"
start_sigd sqlite --db "$work/signatures.db"
start_sigd redis-a --threads "$redis_threads" --store "redis://${nodes[0]},${nodes[1]}"
start_sigd redis-b --threads "$redis_threads" --store "redis://${nodes[2]}"
sqlite_port="$(cat "$work/sqlite.port")"
redis_a="$(cat "$work/redis-a.port")"
redis_b="$(cat "$work/redis-b.port")"

# The same 1,000 reported signatures in both stores.
python3 - "$sqlite_port" "$redis_a" <<'PY'
import http.client, sys
for port in sys.argv[1:]:
    connection = http.client.HTTPConnection("127.0.0.1", int(port))
    for sig in range(2, 2002, 2):
        connection.request("GET", "/cgi-bin/checksum_update_url.cgi?checksum_rec=%d" % sig)
        assert connection.getresponse().read() == b"OK\n"
PY
for port in "$sqlite_port" "$redis_b"; do
  [[ "$(curl -fs "http://127.0.0.1:$port/cgi-bin/checksum_compare_url.cgi?checksum_rec=1000")" == 1 ]] ||
    { echo "the server on port $port does not answer 1" >&2; exit 1; }
done

cat >"$work/lookups.lua" <<'LUA'
math.randomseed(os.time())
request = function()
  return wrk.format("GET", "/cgi-bin/checksum_compare_url.cgi?checksum_rec=" .. math.random(1, 2000))
end
LUA

rate() { awk '/^Requests\/sec:/ { print $2 }' "$1"; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
half=$((connections / 2))
: >"$work/sqlite.rounds"
: >"$work/redis.rounds"
for round in $(seq 1 "$rounds"); do
  wrk -t2 -c"$connections" -d"$duration" -s "$work/lookups.lua" "http://127.0.0.1:$sqlite_port/" >"$work/sqlite.out"
  wrk -t1 -c"$half" -d"$duration" -s "$work/lookups.lua" "http://127.0.0.1:$redis_a/" >"$work/a.out" &
  wrk_a=$!
  wrk -t1 -c"$half" -d"$duration" -s "$work/lookups.lua" "http://127.0.0.1:$redis_b/" >"$work/b.out"
  wait "$wrk_a"
  s="$(rate "$work/sqlite.out")"
  r="$(awk -v a="$(rate "$work/a.out")" -v b="$(rate "$work/b.out")" 'BEGIN { printf "%.0f", a + b }')"
  errors="$(cat "$work"/{sqlite,a,b}.out | awk '/Non-2xx/ { n += $NF } END { print n + 0 }')"
  echo "round $round: one server on SQLite $s/s; two servers on Redis Cluster $r/s; non-2xx answers: $errors"
  echo "$s" >>"$work/sqlite.rounds"
  echo "$r" >>"$work/redis.rounds"
done
echo "wrk, $connections connections, $duration per side and round, keep-alive, loopback, $(nproc) processors"
echo "one vexmor-sigd on SQLite:            $(median <"$work/sqlite.rounds") look-ups/s (median of $rounds)"
echo "two vexmor-sigd on one Redis Cluster: $(median <"$work/redis.rounds") look-ups/s (median of $rounds)"
