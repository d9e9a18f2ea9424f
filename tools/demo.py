#!/usr/bin/env python3
"""Pushes sample messages through build/qmail-zelmd the way qmail-smtpd
does: message on descriptor 0, envelope on descriptor 1, a qmail home as
current directory, a queue program that records what it is handed, and
zelmd-sim as the classification daemon. The filter's syslog lines are
caught on a /dev/log of the demo's own, in a private mount namespace."""

import os
import shutil
import socket
import subprocess
import sys
import tempfile

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FILTER = os.path.join(TOP, "build", "qmail-zelmd")
SIM = os.path.join(TOP, "build", "zelmd-sim")
CHECK = os.path.join(TOP, "build", "qmail-zelmd-check")
STAT = os.path.join(TOP, "build", "qmail-zelmd-stat")

GTUBE = "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X"
EICAR = r"X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"

# What qmail-smtpd tells the SMTP client for each exit code.
SMTP_ANSWER = {
    0: "250 ok",
    1: "451 qq temporary problem (#4.3.0)",
    11: "554 envelope address too long for qq (#5.1.3)",
    31: "554 mail server permanently rejected message (#5.3.0)",
    54: "451 qq read error (#4.3.0)",
    71: "451 mail server temporarily rejected message (#4.3.0)",
    91: "451 qq internal bug (#4.3.0)",
}
# 82: the filter's own reply, read from descriptor 6.


class Demo:
    def __init__(self):
        self.work = tempfile.mkdtemp(prefix="zelmd-demo-")
        self.home = os.path.join(self.work, "home")
        self.queue = os.path.join(self.work, "queue")
        self.dev = os.path.join(self.work, "dev")
        self.reports = os.path.join(self.work, "reports")
        for d in (os.path.join(self.home, "control"), self.queue, self.dev, self.reports):
            os.makedirs(d)
        recorder = os.path.join(self.work, "recording-queue")
        with open(recorder, "w") as f:
            f.write("#!/bin/sh\n# Stands in for qmail-queue: keeps what it is handed and accepts it.\n"
                    f"cat > {self.queue}/message\ncat <&1 > {self.queue}/envelope\nexit 0\n")
        os.chmod(recorder, 0o755)
        os.chmod(self.reports, 0o700)  # copies of mail are for the administrator only
        self.control("zelmd_queue_binary", recorder)
        self.control("zelmd_report_imap_folder", self.reports)
        self.log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.log.bind(os.path.join(self.dev, "log"))
        self.log.setblocking(False)
        self.logged = []  # every syslog line, for qmail-zelmd-stat at the end
        self.isolate = os.geteuid() == 0 and shutil.which("unshare") is not None
        self.made_home = False
        self.made_spool = not os.path.exists("/tmp/qmail-zelmd")
        # The queue program runs in the qmail home; make one when qmail is
        # not installed.
        if not os.path.isdir("/var/qmail"):
            os.mkdir("/var/qmail")
            self.made_home = True
        self.sim = subprocess.Popen([SIM, "--port", "0"], stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL, text=True)
        line = self.sim.stdout.readline()  # "zelmd-sim listening on ADDR:PORT"
        self.port = line.rsplit(":", 1)[1].strip()
        for direction in ("in", "out"):
            self.control(f"zelmd_{direction}_host", "127.0.0.1")
            self.control(f"zelmd_{direction}_port", self.port)

    def close(self):
        self.sim.terminate()
        self.sim.wait()
        self.log.close()
        shutil.rmtree(self.work, ignore_errors=True)
        if self.made_home:
            os.rmdir("/var/qmail")
        if self.made_spool:
            try:
                os.rmdir("/tmp/qmail-zelmd")
            except OSError:
                pass

    def control(self, name, value):
        with open(os.path.join(self.home, "control", name), "w") as f:
            f.write(value + "\n")

    def run(self, title, message, sender, recipients, env=None, reply_pipe=False):
        print(f"== {title}")
        envelope = b"F" + sender.encode() + b"\0"
        envelope += b"".join(b"T" + r.encode() + b"\0" for r in recipients) + b"\0"
        ours, theirs = socket.socketpair()
        ours.sendall(envelope)
        ours.shutdown(socket.SHUT_WR)
        for name in ("message", "envelope"):
            path = os.path.join(self.queue, name)
            if os.path.exists(path):
                os.unlink(path)
        argv = [FILTER]
        if self.isolate:
            argv = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                    f'mount --bind "{self.dev}" /dev && exec "{FILTER}"']
        msgfile = os.path.join(self.work, "input")
        with open(msgfile, "wb") as f:
            f.write(message.encode() if isinstance(message, str) else message)
        # As notqmail's qmail-smtpd does: a pipe on descriptor 6 for the
        # queue program's own reply, read when it ends with 82.
        replies, reply_end = os.pipe() if reply_pipe else (None, None)
        with open(msgfile, "rb") as m:
            p = subprocess.Popen(argv, stdin=m, stdout=theirs, cwd=self.home,
                                 env={"PATH": "/usr/bin:/bin", **(env or {})},
                                 pass_fds=(6,) if reply_pipe else (),
                                 preexec_fn=(lambda: os.dup2(reply_end, 6)) if reply_pipe else None)
        theirs.close()
        said = ours.recv(4096).decode(errors="replace").strip()
        code = p.wait()
        answer = SMTP_ANSWER.get(code, "451 qq temporary problem (#4.3.0)")
        if reply_pipe:
            os.close(reply_end)
            text = os.read(replies, 512).decode(errors="replace")
            os.close(replies)
            if code == 82:
                print(f"the filter's reply on descriptor 6: {text}")
                answer = ("554 " if text.startswith("D") else "451 ") + text[1:]
        print(f"exit code {code}: qmail-smtpd answers \"{answer}\"")
        if said:
            print(f"the filter said on descriptor 1: {said}")
        while True:
            try:
                line = self.log.recv(4096).decode(errors="replace")
            except BlockingIOError:
                break
            print("syslog: " + line.split(": ", 1)[-1])
            self.logged.append(line.split(">", 1)[-1])
        for name in sorted(os.listdir(self.reports)):
            path = os.path.join(self.reports, name)
            with open(path, "rb") as f:
                lines = f.read().decode(errors="replace").split("\n")
            print(f"report copy {path.replace(self.work, '<demo>')}, mode "
                  f"{oct(os.stat(path).st_mode & 0o777)}: answer lines, then the message:")
            for line in lines[:2] + ["..."] + [l for l in lines[2:] if l.startswith("Subject:")] + ["..."]:
                print("   | " + line.rstrip("\r"))
            os.unlink(path)
        path = os.path.join(self.queue, "message")
        if os.path.exists(path):
            with open(path, "rb") as f:
                received = f.read()
            head = received.split(b"\n\n", 1)[0].decode(errors="replace").splitlines()
            stamped = [line for line in head if line.startswith("X-ZELM-")]
            print(f"queued ({len(received)} bytes)" + (", stamped after the header's last line:" if stamped else ", unchanged"))
            for line in stamped:
                print("   | " + line)
        else:
            print("nothing was queued")
        print()


def mail(subject, body, sender="alice@example.org"):
    return f"From: {sender}\nTo: bob@example.net\nSubject: {subject}\n\n{body}\n"


def main():
    d = Demo()
    try:
        version = subprocess.run(["build/qmail-zelmd", "-v"], cwd=TOP, capture_output=True, text=True)
        print(f"$ build/qmail-zelmd -v\n{version.stdout}")
        print(f"zelmd-sim listens on 127.0.0.1:{d.port}; classification on for both directions\n")
        d.control("zelmd_check_inbound", "1")
        d.control("zelmd_check_outbound", "1")
        inbound = {"TCPREMOTEIP": "192.0.2.7"}
        outbound = {"TCPREMOTEIP": "198.51.100.20", "RELAYCLIENT": ""}
        d.run("inbound, clean", mail("lunch", "Hi Bob, lunch at noon?"),
              "alice@example.org", ["bob@example.net"], inbound)
        d.run("inbound, GTUBE, no blocking rule", mail("cheap", GTUBE, "spammer@example.com"),
              "spammer@example.com", ["bob@example.net"], inbound)
        d.control("zelmd_onsession_in_block_spam", "1")
        d.control("zelmd_onsession_in_block_virus", "1")
        print("-- inbound spam and viruses are now refused for good\n")
        d.run("inbound, GTUBE", mail("cheap", GTUBE, "spammer@example.com"),
              "spammer@example.com", ["bob@example.net"], inbound)
        d.run("inbound, EICAR", mail("invoice", EICAR, "mallory@example.com"),
              "mallory@example.com", ["bob@example.net"], inbound)
        d.control("zelmd_custom_reply", "1")
        print("-- the sender is now told why, by a qmail-smtpd that reads descriptor 6"
              " (notqmail 1.08 or later)\n")
        d.run("inbound, GTUBE, told to the sender", mail("cheap", GTUBE, "spammer@example.com"),
              "spammer@example.com", ["bob@example.net"], inbound, reply_pipe=True)
        d.control("zelmd_custom_reply", "0")
        d.run("outbound from a relay client, clean",
              mail("report", "Figures attached.", "carol@example.net"),
              "carol@example.net", ["dave@example.org"], outbound)
        d.run("outbound, GTUBE: the daemon flags the sender, so a report copy is made",
              mail("offer", GTUBE, "carol@example.net"),
              "carol@example.net", ["dave@example.org"], outbound)
        d.control("zelmd_onsession_out_totspam_num", "1")
        d.control("zelmd_onsession_out_totspam_action", "1")
        print("-- outbound senders with one spam message or more are now refused for the time being\n")
        d.run("outbound, clean, from the sender who sent spam before",
              mail("sorry", "That was not me.", "carol@example.net"),
              "carol@example.net", ["dave@example.org"], outbound)
        d.run("outbound, EICAR, from another client",
              mail("tool", EICAR, "erin@example.net"), "erin@example.net",
              ["dave@example.org"], {"TCPREMOTEIP": "203.0.113.5", "RELAYCLIENT": ""})
        big = mail("big", "x" * 300000)
        d.run("inbound, a 300 kB message: spooled and sent to the daemon from the spool file",
              big, "alice@example.org", ["bob@example.net"], inbound)
        d.control("zelmd_in_port", "1")
        d.control("zelmd_require_scan", "1")
        d.run("the daemon cannot be reached and a scan is required", mail("x", "y"),
              "alice@example.org", ["bob@example.net"], inbound)
        if not d.isolate:
            print("(syslog lines are shown only when the demo runs as root)")
        # The port is put right again; the check then names the broken
        # requirement and the flagged senders' report folder in its table.
        d.control("zelmd_in_port", str(d.port))
        print("== qmail-zelmd-check on the demo's qmail home")
        sys.stdout.flush()
        subprocess.run([CHECK, "-d", d.home])
        if d.logged:
            log = os.path.join(d.work, "maillog")
            with open(log, "w") as f:
                f.write("\n".join(d.logged) + "\n")
            print("\n== qmail-zelmd-stat on the demo's own log")
            sys.stdout.flush()
            subprocess.run([STAT, log])
    finally:
        d.close()


if __name__ == "__main__":
    sys.exit(main())
