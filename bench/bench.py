#!/usr/bin/env python3
"""qmail-zelmd side by side with the floor (bench/floor.c), in one run.

Every scenario runs filter and floor in pairs, alternating which goes first,
through bench/measure.c, which reports each run's CPU (user + system, the
process and its reaped queue program), wall time and peak RSS from wait4.
Per scenario the table gives the medians and the medians of the pairwise
ratios filter/floor. A second table gives messages per second and CPU per
message with 1, 8 and 64 filters (or floors) at once. Started by
bench/run.sh, which builds what it needs.
"""

import argparse
import hashlib
import json
import os
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import traceback

CPU_WALL_LIMIT = 1.25
EXEC_LIMIT = 1.05  # pass-through against the least a pass-through can do
POLICY_LIMIT = 1.05  # a large policy against none, the same message
POLICY_ENTRIES = 10000
RSS_LIMIT_KIB = 4096
QMAIL_HOME = "/var/qmail"  # the queue program's child changes into it
SPOOL_DIRS = ("/tmp/qmail-zelmd", "/tmp/qmail-zelmd-floor")

# The fixed answer: every line the filter requires, ended by CR LF.
ANSWER = ("X-ZELM-PVer: 0000001\r\nX-ZELM-Spam: None\r\nX-ZELM-VOD: Clean\r\n"
          "X-ZELM-Flags: 0\r\nX-ZELM-RefID: bench-0001\r\n")
STAMP = b"X-ZELM-Spam: None\n"
SENDER = b"sender@example.org"
RECIPIENTS = (b"rcpt1@example.net", b"rcpt2@example.net")
# Ten recipients, each of a domain the policy lists.
POLICY_RECIPIENTS = tuple(b"rcpt@d%d.example.net" % (i * 997) for i in range(10))

KIB, MIB = 1024, 1024 * 1024

# Throughput: filters (or floors) running side by side, each starting the
# next message as soon as its last one ended, for a fixed time per round.
THROUGHPUT_NAME = "throughput inline 4 KiB to 127.0.0.1"
THROUGHPUT_SIZE, THROUGHPUT_HOST = 4 * KIB, "127.0.0.1"
CONCURRENCY = (1, 8, 64)
THROUGHPUT_ROUNDS = 4  # per side and concurrency, the order alternating

# name, message size, daemon host (None: classification off), pairs, and
# what the filter is held against: "floor" (floor.c), "exec" (passfloor.c,
# which puts the queue program in its place) or "policy" (the filter itself
# without the policy file, the same message to the same recipients)
SCENARIOS = [
    ("pass-through 4 KiB", 4 * KIB, None, 100, "exec"),
    ("pass-through 10 MiB", 10 * MIB, None, 60, "exec"),
    ("inline 4 KiB to 127.0.0.1", 4 * KIB, "127.0.0.1", 100, "floor"),
    ("inline 10 MiB to 127.0.0.1", 10 * MIB, "127.0.0.1", 60, "floor"),
    ("file request 10 MiB to localhost", 10 * MIB, "localhost", 60, "floor"),
    ("inline 100 MiB to 127.0.0.1", 100 * MIB, "127.0.0.1", 16, "floor"),
    (f"{POLICY_ENTRIES}-entry policy, 4 KiB to 10 listed domains", 4 * KIB, "127.0.0.1", 100,
     "policy"),
]
LIMITS = {"floor": CPU_WALL_LIMIT, "exec": EXEC_LIMIT, "policy": POLICY_LIMIT}


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def message_bytes(size):
    """A plausible mail: a header, a blank line, lines of text, LF ends."""
    head = (b"Received: from client.example.org (client.example.org [192.0.2.7])\n"
            b"  by mx.example.org with SMTP; 1 Jan 2024 00:00:00 -0000\n"
            b"From: Sender <" + SENDER + b">\nTo: <" + RECIPIENTS[0] + b">\n"
            b"Subject: benchmark message\nMessage-ID: <bench@example.org>\n\n")
    line = b"Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod.\n"
    body = line * ((size - len(head)) // len(line) + 1)
    return (head + body)[:size - 1] + b"\n"


def envelope_bytes(recipients=RECIPIENTS):
    return b"F" + SENDER + b"\0" + b"".join(b"T" + r + b"\0" for r in recipients) + b"\0"


def recipients_of(against):
    return POLICY_RECIPIENTS if against == "policy" else RECIPIENTS


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def localhost_addresses(port):
    """What "localhost" resolves to here, each as an nginx listen address."""
    found = []
    for family, _, _, _, sa in socket.getaddrinfo("localhost", port, type=socket.SOCK_STREAM):
        addr = f"[{sa[0]}]" if family == socket.AF_INET6 else sa[0]
        if addr in found:
            continue
        try:  # an address this machine cannot bind would stop nginx
            with socket.socket(family, socket.SOCK_STREAM) as s:
                s.bind((sa[0], 0))
        except OSError:
            continue
        found.append(addr)
    return found


def throughput_worker(cwd, argv, message, envelope, deadline, out):
    """One of the concurrent runners, in a process of its own: runs argv
    back to back until the deadline and writes what it counted to out.
    The message fits a pipe, so it waits there whole, as the envelope does,
    and no feeder is needed."""
    os.chdir(cwd)
    env = {"PATH": "/usr/bin:/bin"}
    actions = lambda m, e: [(os.POSIX_SPAWN_DUP2, m, 0), (os.POSIX_SPAWN_DUP2, e, 1),
                            (os.POSIX_SPAWN_OPEN, 2, "/dev/null", os.O_WRONLY, 0)]
    count, cpu_us, exits = 0, 0, {}
    while time.monotonic() < deadline:
        mr, mw = os.pipe()
        er, ew = os.pipe()
        os.write(mw, message)
        os.close(mw)
        os.write(ew, envelope)
        os.close(ew)
        pid = os.posix_spawn(argv[0], argv, env, file_actions=actions(mr, er))
        os.close(mr)
        os.close(er)
        _, status, ru = os.wait4(pid, 0)
        code = os.waitstatus_to_exitcode(status)
        if code != 0:
            exits[code] = exits.get(code, 0) + 1
        count += 1
        cpu_us += round((ru.ru_utime + ru.ru_stime) * 1e6)
    me = resource.getrusage(resource.RUSAGE_SELF)
    os.write(out, json.dumps({"count": count, "cpu_us": cpu_us, "exits": exits,
                              "driver_us": round((me.ru_utime + me.ru_stime) * 1e6)}).encode())


def wait_listening(port, proc, seconds=10):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if proc.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def print_table(header, lines, left):
    widths = [max(len(r[i]) for r in [header] + lines) for i in range(len(header))]
    fmt = lambda r: "  ".join(c.ljust(w) if i in left else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths)))
    print(fmt(header))
    print("  ".join("-" * w for w in widths))
    for r in lines:
        print(fmt(r))
    print()


class Daemon:
    """nginx answering every request with ANSWER, or zelmd-sim --answer."""

    def __init__(self, work, build_dir, kind, cpu):
        self.work = work
        self.cpu = cpu
        self.proc = None
        self.access_log = None
        nginx = shutil.which("nginx") or ("/usr/sbin/nginx" if os.access("/usr/sbin/nginx", os.X_OK) else None)
        if kind in ("auto", "nginx") and nginx:
            self.start_nginx(nginx)
        elif kind == "nginx":
            raise SystemExit("nginx is not installed")
        else:
            self.start_sim(os.path.join(build_dir, "zelmd-sim"))

    def start_nginx(self, nginx):
        prefix = os.path.join(self.work, "nginx")
        os.makedirs(prefix)
        self.port = free_port()
        self.access_log = os.path.join(prefix, "access.log")
        listens = ["127.0.0.1"]
        for addr in localhost_addresses(self.port):
            if addr not in listens:
                listens.append(addr)
        answer = ANSWER.replace("\r", "\\r").replace("\n", "\\n")
        conf = f"""
worker_processes 1;
pid {prefix}/nginx.pid;
error_log {prefix}/error.log;
events {{ worker_connections 1024; }}
http {{
  log_format bench '$request_uri $content_length';
  access_log {self.access_log} bench;
  client_body_temp_path {prefix}/body;
  proxy_temp_path {prefix}/proxy;
  fastcgi_temp_path {prefix}/fastcgi;
  uwsgi_temp_path {prefix}/uwsgi;
  scgi_temp_path {prefix}/scgi;
  server {{
{''.join(f"    listen {a}:{self.port};{chr(10)}" for a in listens)}
    client_max_body_size 0;
    # return reads the body only to throw it away: nothing reaches the disk.
    location / {{
      default_type text/plain;
      return 200 "{answer}";
    }}
  }}
}}
"""
        path = os.path.join(prefix, "nginx.conf")
        with open(path, "w") as f:
            f.write(conf)
        self.proc = subprocess.Popen(
            [nginx, "-p", prefix, "-c", path, "-e", os.path.join(prefix, "error.log"),
             "-g", "daemon off;"], stdin=subprocess.DEVNULL, preexec_fn=self.pin)
        if not wait_listening(self.port, self.proc):
            self.stop()
            raise SystemExit("nginx did not start: see " + os.path.join(prefix, "error.log"))
        self.name = f"nginx on {', '.join(listens)} port {self.port}"

    def start_sim(self, sim):
        answer = os.path.join(self.work, "answer")
        with open(answer, "w") as f:
            f.write(ANSWER)
        self.proc = subprocess.Popen([sim, "--listen", "127.0.0.1", "--port", "0", "--answer", answer],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True, preexec_fn=self.pin)
        line = self.proc.stdout.readline()
        if "listening on" not in line:
            self.stop()
            raise SystemExit("zelmd-sim did not start")
        self.port = int(line.rsplit(":", 1)[1])
        self.name = f"zelmd-sim --answer on 127.0.0.1 port {self.port}"

    def pin(self):
        if self.cpu is not None:
            os.sched_setaffinity(0, {self.cpu})

    def pids(self):
        """The daemon's process and its children (nginx's workers)."""
        pids = [self.proc.pid]
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open(f"/proc/{entry}/stat") as f:
                        ppid = int(f.read().rsplit(")", 1)[1].split()[1])
                except (OSError, IndexError, ValueError):
                    continue
                if ppid == self.proc.pid:
                    pids.append(int(entry))
        return pids

    def cpu_ns(self):
        """CPU time of the daemon's threads so far, from schedstat (to the
        nanosecond; stat counts in clock ticks, too coarse for a few seconds
        of a cheap daemon)."""
        total = 0
        for pid in self.pids():
            try:
                tasks = os.listdir(f"/proc/{pid}/task")
            except OSError:
                continue
            for tid in tasks:
                try:
                    with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                        total += int(f.read().split()[0])
                except (OSError, IndexError, ValueError):
                    pass
        return total

    def set_cpus(self, cpus):
        for pid in self.pids():
            for tid in os.listdir(f"/proc/{pid}/task"):
                try:
                    os.sched_setaffinity(int(tid), cpus)
                except OSError:
                    pass

    def requests(self):
        """(uri, body length) of each request so far; nginx only."""
        if not self.access_log or not os.path.exists(self.access_log):
            return None
        with open(self.access_log) as f:
            return [tuple(line.split()) for line in f if line.strip()]

    def settled_requests(self):
        """requests() once the count holds still: nginx writes a request's
        line after its answer, when the client may have ended already."""
        last = self.requests()
        for _ in range(40):
            if last is None:
                break
            time.sleep(0.05)
            now = self.requests()
            if len(now) == len(last):
                break
            last = now
        return last

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGQUIT if self.access_log else signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Bench:
    def __init__(self, args):
        self.args = args
        self.bin = os.path.abspath(args.bin_dir)
        self.filter = os.path.join(os.path.abspath(args.build_dir), "qmail-zelmd")
        self.measure = os.path.join(self.bin, "measure")
        self.made = []
        self.work = tempfile.mkdtemp(prefix="zelmd-bench-")
        self.daemon = None

    # --- set-up -------------------------------------------------------------
    def prepare(self):
        for d in (QMAIL_HOME,) + SPOOL_DIRS:
            if not os.path.exists(d):
                self.made.append(d)
        os.makedirs(QMAIL_HOME, exist_ok=True)
        self.envelopes = {}
        for against in ("floor", "policy"):
            path = os.path.join(self.work, "envelope-" + against)
            with open(path, "wb") as f:
                f.write(envelope_bytes(recipients_of(against)))
            self.envelopes[recipients_of(against)] = path
        self.messages = {}
        sizes = {s[1] for s in self.scenarios()}
        if self.wants_throughput():
            sizes.add(THROUGHPUT_SIZE)
        for size in sorted(sizes):
            path = os.path.join(self.work, f"message-{size}")
            data = message_bytes(size)
            with open(path, "wb") as f:
                f.write(data)
            self.messages[size] = (path, data)
        cpus = sorted(os.sched_getaffinity(0))
        # Filter or floor and its queue program on one CPU, feeder and
        # daemon on another: cross-CPU wake-ups of an idle virtual machine
        # cost more than the work and swing with the machine's load.
        self.pins = None
        if self.args.pin and len(cpus) >= 2:
            self.pins = (cpus[-1], cpus[0])
            log(f"pinned: measured process on cpu {cpus[-1]}, feeder and daemon on cpu {cpus[0]}")
        self.daemon = Daemon(self.work, self.args.build_dir, self.args.daemon,
                             self.pins[1] if self.pins else None)
        log("daemon:", self.daemon.name)

    def scenarios(self):
        chosen = SCENARIOS
        if self.args.only:
            chosen = [s for s in SCENARIOS if any(o in s[0] for o in self.args.only)]
        scale = self.args.pairs_scale
        return [(n, size, host, max(3, int(round(p * scale))), against)
                for n, size, host, p, against in chosen]

    def wants_throughput(self):
        return self.args.throughput and (not self.args.only or any(o in THROUGHPUT_NAME for o in self.args.only))

    def throughput_seconds(self):
        return max(0.5, self.args.throughput_seconds * self.args.pairs_scale)

    def home(self, name, host, queue, policy=False):
        """A qmail home whose control files give this scenario; with policy
        a compiled control/zelmd_policy that lists every recipient's domain
        among its entries."""
        home = os.path.join(self.work, "home-" + "".join(c if c.isalnum() else "-" for c in name)
                            + ("-policy" if policy else ""))
        control = os.path.join(home, "control")
        os.makedirs(control, exist_ok=True)
        files = {"zelmd_queue_binary": queue}
        if host:
            files.update(zelmd_in_host=host, zelmd_in_port=str(self.daemon.port),
                         zelmd_check_inbound="1",
                         # An answer that does not come refuses the message,
                         # so no run can pass for classified without one.
                         zelmd_require_scan="1")
        for k, v in files.items():
            with open(os.path.join(control, k), "w") as f:
                f.write(v + "\n")
        if policy and not os.path.exists(os.path.join(control, "zelmd_policy.cdb")):
            with open(os.path.join(control, "zelmd_policy"), "w") as f:
                for i in range(POLICY_ENTRIES):
                    f.write(f"d{i}.example.net:check=1,block_spam=1,max_size=20000000\n")
            subprocess.run([os.path.join(os.path.dirname(self.filter), "qmail-zelmd-policy"),
                            "-d", home], check=True)
        return home

    def commands(self, name, host, queue, against):
        filt = [self.home(name, host, queue, against == "policy"), self.filter]
        if against == "policy":
            return filt, [self.home(name, host, queue), self.filter]
        if against == "exec":
            return filt, [filt[0], os.path.join(self.bin, "passfloor")]
        floor = ["/", os.path.join(self.bin, "floor"), queue]
        if host:
            floor += [host, str(self.daemon.port)]
        return filt, floor

    # --- running ------------------------------------------------------------
    def run(self, size, cmd, extra_env=None, envelope=None):
        env = {"PATH": "/usr/bin:/bin"}
        if extra_env:
            env.update(extra_env)
        pin = ["-c", str(self.pins[0]), "-f", str(self.pins[1])] if self.pins else []
        envelope = envelope or self.envelopes[RECIPIENTS]
        out = subprocess.run([self.measure] + pin + [self.messages[size][0], envelope] + cmd,
                             env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True)
        if out.returncode != 0:
            raise SystemExit(f"measure failed: {out.stderr.strip()}")
        r = dict(kv.split("=") for kv in out.stdout.split())
        r = {k: int(v) for k, v in r.items()}
        if r["exit"] != 0:
            raise SystemExit(f"{cmd[1]} exited {r['exit']} ({' '.join(cmd)}): {out.stderr.strip()}")
        return r

    def check(self, name, size, host, against="floor"):
        """Before timing: both hand on the message and envelope they got, the
        filter stamps the verdict when it classifies, and the daemon saw the
        requests it should have."""
        capture = os.path.join(self.bin, "capture")
        filt, floor = self.commands(name, host, capture, against)
        expect = self.messages[size][1]
        recipients = recipients_of(against)
        seen = len(self.daemon.settled_requests() or [])
        for who, cmd in (("filter", filt), ("floor", floor)):
            got_msg = os.path.join(self.work, "got-message")
            got_env = os.path.join(self.work, "got-envelope")
            self.run(size, cmd, {"DRAIN_MESSAGE": got_msg, "DRAIN_ENVELOPE": got_env},
                     self.envelopes[recipients])
            with open(got_env, "rb") as f:
                if f.read() != envelope_bytes(recipients):
                    raise SystemExit(f"{name}: {who} handed on a different envelope")
            with open(got_msg, "rb") as f:
                got = f.read()
            if (who == "filter" or against == "policy") and host:
                head_end = expect.index(b"\n\n") + 1
                stamped = got[:len(got) - len(expect) + head_end]
                if STAMP not in stamped[head_end:] or got[:head_end] != expect[:head_end] \
                        or got[len(stamped):] != expect[head_end:]:
                    raise SystemExit(f"{name}: the filter did not stamp the verdict behind the header")
            elif hashlib.sha256(got).digest() != hashlib.sha256(expect).digest():
                raise SystemExit(f"{name}: {who} did not hand on the message unchanged")
        reqs = self.daemon.settled_requests()
        if reqs is None:
            return
        reqs = reqs[seen:]
        want = 2 if host else 0
        if len(reqs) != want:
            raise SystemExit(f"{name}: the daemon saw {len(reqs)} requests, not {want}")
        if host:
            kind = "File" if host == "localhost" and size >= 32000 else "Inline"
            for uri, _ in reqs:
                if not uri.endswith("ClassifyMessage_" + kind):
                    raise SystemExit(f"{name}: request to {uri}, not a {kind.lower()} request")
            if reqs[0][1] != reqs[1][1] and kind == "Inline":
                raise SystemExit(f"{name}: bodies of {reqs[0][1]} and {reqs[1][1]} bytes differ")

    def measure_scenario(self, name, size, host, pairs, against):
        filt, floor = self.commands(name, host, os.path.join(self.bin, "drain"), against)
        envelope = self.envelopes[recipients_of(against)]
        run = lambda cmd: self.run(size, cmd, None, envelope)
        run(filt)  # warm caches; not counted
        run(floor)
        rows = []
        for i in range(pairs):
            # Alternate which goes first, so drift and order cancel.
            if i % 2 == 0:
                a = run(filt)
                b = run(floor)
            else:
                b = run(floor)
                a = run(filt)
            rows.append((a, b))
        return rows

    def throughput_round(self, cmd, n, seconds):
        """n runners of cmd side by side for about seconds: messages done,
        wall time until the last ended, their CPU from wait4, the daemon's."""
        cwd, argv = cmd
        message = self.messages[THROUGHPUT_SIZE][1]
        envelope = envelope_bytes()
        seen = len(self.daemon.settled_requests() or [])
        # The runners are all there before the clock starts, and all start
        # when the go pipe closes: forking 64 of them takes a while.
        go_r, go_w = os.pipe()
        workers = []
        for _ in range(n):
            r, w = os.pipe()
            pid = os.fork()
            if pid == 0:
                code = 1
                try:
                    os.close(r)
                    os.close(go_w)
                    os.read(go_r, 1)
                    throughput_worker(cwd, argv, message, envelope, time.monotonic() + seconds, w)
                    code = 0
                except BaseException:
                    traceback.print_exc()
                finally:
                    os._exit(code)
            os.close(w)
            workers.append((pid, r))
        os.close(go_r)
        daemon0 = self.daemon.cpu_ns()
        t0 = time.monotonic()
        os.close(go_w)
        got = {"count": 0, "cpu_us": 0, "driver_us": 0, "exits": {}}
        for pid, r in workers:
            with os.fdopen(r, "rb") as f:
                data = f.read()
            _, status = os.waitpid(pid, 0)
            if status != 0 or not data:
                raise SystemExit(f"{THROUGHPUT_NAME}: a runner of {argv[0]} failed")
            part = json.loads(data)
            for k in ("count", "cpu_us", "driver_us"):
                got[k] += part[k]
            for code, times in part["exits"].items():
                got["exits"][code] = got["exits"].get(code, 0) + times
        got["wall_us"] = round((time.monotonic() - t0) * 1e6)
        got["daemon_us"] = round((self.daemon.cpu_ns() - daemon0) / 1000)
        if got["exits"]:
            raise SystemExit(f"{THROUGHPUT_NAME}, {n} at once: {argv[0]} ended with "
                             + ", ".join(f"{c} ({t} times)" for c, t in sorted(got["exits"].items()))
                             + f" of {got['count']} runs")
        if self.daemon.access_log:
            answered = len(self.daemon.settled_requests()) - seen
            if answered != got["count"]:
                raise SystemExit(f"{THROUGHPUT_NAME}, {n} at once: the daemon saw {answered} "
                                 f"requests for {got['count']} messages")
        return got

    def measure_throughput(self):
        """Rounds of each concurrency for filter and floor in turn. Nothing is
        pinned: runners side by side on one CPU would only take turns."""
        self.daemon.set_cpus(os.sched_getaffinity(0))
        try:
            return self.throughput_rounds()
        finally:
            if self.pins:
                self.daemon.set_cpus({self.pins[1]})

    def throughput_rounds(self):
        seconds = self.throughput_seconds()
        filt, floor = self.commands(THROUGHPUT_NAME, THROUGHPUT_HOST, os.path.join(self.bin, "drain"),
                                    "floor")
        sides = {"filter": (filt[0], filt[1:]), "floor": (floor[0], floor[1:])}
        for cmd in sides.values():  # warm caches and the daemon; not counted
            self.throughput_round(cmd, 8, 0.3)
        results = []
        for n in CONCURRENCY:
            t = time.monotonic()
            totals = {who: [] for who in sides}
            for i in range(THROUGHPUT_ROUNDS):
                order = ("filter", "floor") if i % 2 == 0 else ("floor", "filter")
                for who in order:
                    totals[who].append(self.throughput_round(sides[who], n, seconds))
            log(f"{THROUGHPUT_NAME}: {n} at once, {THROUGHPUT_ROUNDS} rounds of {seconds:.1f} s "
                f"per side in {time.monotonic() - t:.1f} s")
            results.append((n, totals))
        return results

    # --- report -------------------------------------------------------------
    @staticmethod
    def summary(rows):
        med = lambda xs: statistics.median(xs)
        f = {k: med([a[k] for a, _ in rows]) for k in ("cpu_us", "wall_us", "maxrss_kib")}
        g = {k: med([b[k] for _, b in rows]) for k in ("cpu_us", "wall_us", "maxrss_kib")}
        ratio = {k: med([a[k] / max(b[k], 1) for a, b in rows]) for k in ("cpu_us", "wall_us")}
        return f, g, ratio

    def report(self, results):
        header = ("scenario", "against", "pairs", "cpu ms filter", "floor", "ratio", "wall ms filter",
                  "floor", "ratio", "rss KiB filter", "floor", "targets")
        lines = []
        held_all = True
        for name, against, rows in results:
            f, g, ratio = self.summary(rows)
            limit = LIMITS[against]
            misses = []
            if ratio["cpu_us"] > limit:
                misses.append("cpu")
            # A wall time near a millisecond swings more than the tighter limits.
            if ratio["wall_us"] > max(limit, CPU_WALL_LIMIT):
                misses.append("wall")
            if max(a["maxrss_kib"] for a, _ in rows) > RSS_LIMIT_KIB:
                misses.append("rss")
            held_all = held_all and not misses
            lines.append((name, f"{against} <= {limit}", str(len(rows)),
                          f"{f['cpu_us'] / 1000:.2f}", f"{g['cpu_us'] / 1000:.2f}", f"{ratio['cpu_us']:.2f}",
                          f"{f['wall_us'] / 1000:.2f}", f"{g['wall_us'] / 1000:.2f}", f"{ratio['wall_us']:.2f}",
                          f"{f['maxrss_kib']:.0f}", f"{g['maxrss_kib']:.0f}",
                          "held" if not misses else "MISSED: " + ", ".join(misses)))
        print_table(header, lines, (0, 1, 11))
        print(f"targets: cpu ratio (median of pairwise filter/floor) at most the limit of the row "
              f"(floor: floor.c; exec: passfloor.c; policy: the filter without the policy), wall "
              f"ratio at most {CPU_WALL_LIMIT} or the row's limit, peak rss of every filter run "
              f"<= {RSS_LIMIT_KIB} KiB")
        print("all targets held" if held_all else "some targets missed")
        return held_all

    @staticmethod
    def report_throughput(results, seconds):
        header = ("at once", "msg/s filter", "floor", "ratio", "cpu ms/msg filter", "floor", "ratio",
                  "daemon cpu ms/msg filter", "floor", "messages filter", "floor")
        lines, driver, per_core = [], [], []
        for n, rounds in results:
            figures = {who: [{"rate": r["count"] / (r["wall_us"] / 1e6), "cpu": r["cpu_us"] / r["count"] / 1000,
                              "daemon": r["daemon_us"] / r["count"] / 1000} for r in rs]
                       for who, rs in rounds.items()}
            med = {who: {k: statistics.median(f[k] for f in fs) for k in ("rate", "cpu", "daemon")}
                   for who, fs in figures.items()}
            ratio = {k: statistics.median(a[k] / b[k] for a, b in zip(figures["filter"], figures["floor"]))
                     for k in ("rate", "cpu")}
            driver.append(max(sum(r["driver_us"] for r in rs) / sum(r["count"] for r in rs) / 1000
                              for rs in rounds.values()))
            per_core.append(f"{1000 / med['filter']['cpu']:.0f} at {n}")
            f, g = med["filter"], med["floor"]
            lines.append((str(n), f"{f['rate']:.0f}", f"{g['rate']:.0f}", f"{ratio['rate']:.2f}",
                          f"{f['cpu']:.2f}", f"{g['cpu']:.2f}", f"{ratio['cpu']:.2f}",
                          f"{f['daemon']:.3f}", f"{g['daemon']:.3f}",
                          str(sum(r["count"] for r in rounds["filter"])),
                          str(sum(r["count"] for r in rounds["floor"]))))
        print(f"{THROUGHPUT_NAME}: filters (or floors) side by side, {THROUGHPUT_ROUNDS} rounds "
              f"of {seconds:.1f} s each; medians of the rounds, of pairwise ratios filter/floor")
        print_table(header, lines, ())
        print("cpu per message: filter or floor with its queue program (wait4); daemon: "
              "its CPU per request; nothing pinned")
        print(f"the runners starting them took up to {max(driver):.2f} ms per message besides; "
              f"messages per second per core of filter and drain: {', '.join(per_core)}")

    def cleanup(self):
        if self.daemon:
            self.daemon.stop()
        shutil.rmtree(self.work, ignore_errors=True)
        for d in reversed(self.made):
            try:
                os.rmdir(d)  # only when empty: never take what others left
            except OSError:
                pass


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build-dir", default="build")
    p.add_argument("--bin-dir", default="build/bench")
    p.add_argument("--daemon", choices=("auto", "nginx", "sim"), default="auto")
    p.add_argument("--pairs-scale", type=float, default=1.0, help="scale every scenario's pair count")
    p.add_argument("--only", action="append", help="run the scenarios whose name holds this text")
    p.add_argument("--json", help="write every run's figures to this file")
    p.add_argument("--no-pin", dest="pin", action="store_false",
                   help="let the scheduler place every process")
    p.add_argument("--strict", action="store_true", help="exit 2 when a target is missed")
    p.add_argument("--no-throughput", dest="throughput", action="store_false",
                   help="leave out the throughput table (filters side by side)")
    p.add_argument("--throughput-seconds", type=float, default=1.0,
                   help="length of each throughput round (scaled by --pairs-scale)")
    args = p.parse_args()

    bench = Bench(args)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        bench.prepare()
        load = os.getloadavg()[0]
        log(f"machine: {os.cpu_count()} cpus, load {load:.2f}")
        if load > 0.5 * (os.cpu_count() or 1):
            log("the machine is busy: wall times in particular will be noisy")
        results = []
        for name, size, host, pairs, against in bench.scenarios():
            bench.check(name, size, host, against)
            t = time.monotonic()
            rows = bench.measure_scenario(name, size, host, pairs, against)
            log(f"{name}: {pairs} pairs in {time.monotonic() - t:.1f} s")
            results.append((name, against, rows))
        throughput = []
        if bench.wants_throughput():
            bench.check(THROUGHPUT_NAME, THROUGHPUT_SIZE, THROUGHPUT_HOST)
            throughput = bench.measure_throughput()
        if args.json:
            with open(args.json, "w") as f:
                json.dump([{"scenario": n, "against": w,
                            "pairs": [{"filter": a, "floor": b} for a, b in rows]}
                           for n, w, rows in results]
                          + [{"scenario": THROUGHPUT_NAME, "at_once": n, "rounds": totals}
                             for n, totals in throughput], f, indent=1)
        held = bench.report(results) if results else True
        if throughput:
            if results:
                print()
            bench.report_throughput(throughput, bench.throughput_seconds())
    finally:
        bench.cleanup()
    sys.exit(2 if args.strict and not held else 0)


if __name__ == "__main__":
    main()
