#!/usr/bin/python3
"""End-to-end runs of the notification daemon against the test MariaDB set
(primary + replicas, from the CTest fixture "mariadb") and an SMTP server
that stores what it accepts.

  e2e_test.py <notifier binary> <scenario>

Scenarios: delivery, replica_kill, smtp_outage, sigterm, foreign_claim (jobs
left in "sending" by another host and by a dead daemon), and mta (delivery through msmtp as the
local MTA, which relays to the same server). Each one loads 200
jobs (20 with addresses that are not valid) into a database of its own,
runs the daemon with 4 workers, disturbs the run as its name says, and then
checks, against the database and the server's store:
  - every valid job is done and its message arrived exactly once, with the
    job's recipient and the Message-ID the job records;
  - every invalid job failed with "invalid recipient address", and nothing
    that failed was sent;
  - no job is left pending or sending.
Set NOTIFIER_PRELOAD to run the daemon with that library preloaded.
"""
import email
import glob
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
from email import policy

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.dirname(HERE)
STATE = os.environ["KIVO_MARIADB_STATE"]
MARIADB_SH = os.environ["KIVO_MARIADB_SCRIPT"]
JOBS, INVALID = 200, 20


def fail(msg):
    print("FAIL: " + msg)
    sys.exit(1)


def read(path):
    with open(path) as f:
        return f.read().strip()


class Sql:
    def __init__(self, db):
        self.db = db

    def run(self, statements, db=True):
        cmd = ["mariadb", "--no-defaults", "-ukivo", "-pkivo", "--socket=%s/primary.sock" % STATE,
               "--batch", "--skip-column-names"]
        if db:
            cmd.append(self.db)
        out = subprocess.run(cmd, input=statements, capture_output=True, text=True, timeout=120)
        if out.returncode != 0:
            fail("mariadb: %s" % out.stderr)
        return [line.split("\t") for line in out.stdout.splitlines()]

    def load(self):
        self.run("DROP DATABASE IF EXISTS %s; CREATE DATABASE %s CHARACTER SET utf8mb4;" % (self.db, self.db), db=False)
        with open(os.path.join(SRC, "schema.sql")) as f:
            self.run(f.read())
        with open(os.path.join(SRC, "sample.sql")) as f:
            self.run(f.read())
        wait_replicas()

    def drop(self):
        self.run("DROP DATABASE IF EXISTS %s" % self.db, db=False)


def mariadb_sh(*args):
    out = subprocess.run([MARIADB_SH, args[0], STATE] + list(args[1:]), capture_output=True, text=True,
                         timeout=180)
    if out.returncode != 0:
        fail("mariadb.sh %s: %s%s" % (" ".join(args), out.stdout, out.stderr))


def wait_replicas():
    mariadb_sh("wait-replicas")


class Sink:
    """The storing SMTP server; can be stopped and started on the same port."""

    def __init__(self, work):
        self.spool = os.path.join(work, "mail")
        self.port_file = os.path.join(work, "smtp.port")
        self.port = 0
        self.proc = None

    def start(self):
        if os.path.exists(self.port_file):
            os.unlink(self.port_file)
        self.proc = subprocess.Popen(["/usr/bin/python3", os.path.join(SRC, "smtp_sink.py"), self.spool,
                                      "--port", str(self.port), "--port-file", self.port_file, "--lifetime", "600"])
        for _ in range(200):
            if os.path.exists(self.port_file):
                self.port = int(read(self.port_file))
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        fail("the SMTP server did not start")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(timeout=30)
        self.proc = None

    def messages(self):
        """(job id, Message-ID, envelope recipients, header To) per stored message."""
        out = []
        for path in sorted(glob.glob(os.path.join(self.spool, "*.eml"))):
            with open(path, "rb") as f:
                msg = email.message_from_binary_file(f, policy=policy.compat32)
            with open(path[:-4] + ".json") as f:
                env = json.load(f)
            out.append((msg["X-Notifier-Job"], msg["Message-ID"], env["rcpt_tos"], msg["To"]))
        return out


class Daemon:
    def __init__(self, binary, work, sql, sink, workers=4):
        self.binary, self.work, self.sql, self.sink, self.workers = binary, work, sql, sink, workers
        self.proc = None
        self.runs = 0

    def configure(self, replicas=("replica1",), mta=False):
        with open(os.path.join(self.work, "dbinfo"), "w") as f:
            f.write("DB_MASTER main:127.0.0.1:%s\n" % read(os.path.join(STATE, "primary.port")))
            for r in replicas:
                f.write("DB_SLAVE main:127.0.0.1:%s\n" % read(os.path.join(STATE, r + ".port")))
            f.write("DB_TIMEOUT main:2\n")
        os.makedirs(os.path.join(self.work, "spool"), exist_ok=True)
        with open(os.path.join(SRC, "notifier.conf.in")) as f:
            conf = f.read()
        for k, v in (("@WORKERS@", str(self.workers)), ("@STATE@", self.work), ("@SRC@", SRC),
                     ("@DATABASE@", self.sql.db), ("@SMTP_PORT@", str(self.sink.port))):
            conf = conf.replace(k, v)
        if mta:
            rc = os.path.join(self.work, "msmtprc")
            with open(rc, "w") as f:
                f.write("account default\nhost 127.0.0.1\nport %d\nfrom notices@kivo.test\nauth off\ntls off\n"
                        % self.sink.port)
            os.chmod(rc, 0o600)
            conf += "delivery mta\nmta /usr/bin/msmtp -C %s -t\n" % rc
        with open(os.path.join(self.work, "notifier.conf"), "w") as f:
            f.write(conf)

    def start(self):
        self.runs += 1
        env = dict(os.environ)
        if os.environ.get("NOTIFIER_PRELOAD"):
            env["LD_PRELOAD"] = os.environ["NOTIFIER_PRELOAD"]
        self.err_path = os.path.join(self.work, "notifier-%d.err" % self.runs)
        self.err = open(self.err_path, "w")
        self.proc = subprocess.Popen([self.binary, "-c", os.path.join(self.work, "notifier.conf"), "-x"],
                                     stdout=subprocess.PIPE, stderr=self.err, text=True, env=env)
        if os.environ.get("NOTIFIER_PRELOAD"):
            # The run only counts if the library really is in the process.
            name = os.path.basename(os.environ["NOTIFIER_PRELOAD"])
            loaded = False
            for _ in range(200):  # until the loader has mapped the daemon's libraries
                try:
                    with open("/proc/%d/maps" % self.proc.pid) as f:
                        maps = f.read()
                except OSError:
                    break
                if "libkivo_base_r" in maps:
                    loaded = name in maps
                    break
                time.sleep(0.01)
            if not loaded:
                fail("%s is not loaded in the daemon" % name)

    def wait(self, timeout=150):
        try:
            out, _ = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.communicate()
            fail("the daemon did not finish within %d s (stderr in %s)" % (timeout, self.err_path))
        self.err.close()
        sys.stdout.write(out)
        if self.proc.returncode != 0:
            fail("the daemon exited with %d; stderr:\n%s" % (self.proc.returncode, tail(self.err_path)))
        return out

    def stderr(self):
        with open(self.err_path) as f:
            return f.read()


def tail(path, n=40):
    with open(path) as f:
        return "".join(f.readlines()[-n:])


def wait_for_messages(sink, count, timeout=60):
    end = time.time() + timeout
    while time.time() < end:
        if len(glob.glob(os.path.join(sink.spool, "*.eml"))) >= count:
            return
        time.sleep(0.02)
    fail("fewer than %d messages arrived within %d s" % (count, timeout))


def check(sql, sink, allow_pending=False, message_ids=True):
    """The invariants every scenario ends with. Returns the jobs by state."""
    rows = sql.run("SELECT id, recipient, state, IFNULL(message_id,''), IFNULL(reason,'') FROM jobs")
    jobs = {int(r[0]): r[1:] for r in rows}
    if len(jobs) != JOBS:
        fail("expected %d jobs, found %d" % (JOBS, len(jobs)))
    stored = {}
    for job, mid, rcpts, to in sink.messages():
        if job is None:
            fail("a stored message carries no job header")
        job = int(job)
        if job in stored:
            fail("job %d was delivered twice (%s and %s)" % (job, stored[job][0], mid))
        stored[job] = (mid, rcpts, to)
    states = {}
    for job, (recipient, state, mid, reason) in jobs.items():
        states.setdefault(state, []).append(job)
        invalid = job % 10 == 0
        if state == "sending":
            fail("job %d was left half-done (state sending)" % job)
        if state == "pending":
            if not allow_pending:
                fail("job %d is still pending" % job)
            if job in stored:
                fail("job %d is pending but a message for it arrived" % job)
            continue
        if invalid:
            if state != "failed" or reason != "invalid recipient address":
                fail("job %d (%s) should have failed as invalid, is %s (%s)" % (job, recipient, state, reason))
        elif state == "failed":
            fail("valid job %d failed: %s" % (job, reason))
        if state == "done":
            if job not in stored:
                fail("job %d is done but its message never arrived" % job)
            smid, rcpts, to = stored[job]
            if rcpts != [recipient] or to.strip().rstrip(",").strip() != recipient:
                fail("job %d: sent to %s / To: %s instead of %s" % (job, rcpts, to, recipient))
            if message_ids and smid != mid:
                fail("job %d: the job records Message-ID %s, the message carries %s" % (job, mid, smid))
        elif job in stored:
            fail("job %d is %s but a message for it arrived" % (job, state))
    return states


def scenario(name, binary):
    work = tempfile.mkdtemp(prefix="notifier-%s-" % name, dir=os.environ.get("TMPDIR", "/tmp"))
    sql = Sql("notifier_e2e_" + name)
    sink = Sink(work)
    sql.load()
    sink.start()
    daemon = Daemon(binary, work, sql, sink)
    daemon.configure(mta=(name == "mta"))
    try:
        if name in ("delivery", "mta"):
            daemon.start()
            daemon.wait()
        elif name == "replica_kill":
            daemon.start()
            wait_for_messages(sink, 30)
            mariadb_sh("kill", "replica1")
            daemon.wait()
            err = daemon.stderr()
            if "all slaves failed, trying the master" not in err:
                fail("no read failed over to the primary; stderr:\n" + tail(daemon.err_path))
        elif name == "smtp_outage":
            daemon.start()
            wait_for_messages(sink, 40)
            sink.stop()
            time.sleep(3)
            sink.start()
            out = daemon.wait()
            if " 0 deferred for retry" in out:
                fail("the outage deferred no job: it was not noticed")
        elif name == "foreign_claim":
            # Two jobs in "sending" before the start: one held by a daemon on
            # another host, left alone (and not waited for at the end), and
            # one claimed on this host by a process that is gone, marked
            # failed rather than sent again.
            gone = subprocess.Popen(["true"])
            gone.wait()
            host = socket.gethostname()[:39]
            for job, holder in ((JOBS + 1, "elsewhere:1/0/1"), (JOBS + 2, "%s:%d/0/1" % (host, gone.pid))):
                sql.run("INSERT INTO jobs (id, account_id, recipient, name, subject, state, claimed_by) "
                        "VALUES (%d, 1, 'other@example.test', 'Other', 'Held', 'sending', '%s')" % (job, holder))
            daemon.start()
            daemon.wait(timeout=60)
            if "1 job(s) in state sending left to whoever holds them" not in daemon.stderr():
                fail("the daemon did not report the job held elsewhere")
            left = sql.run("SELECT id, state, IFNULL(reason,'') FROM jobs WHERE id>%d ORDER BY id" % JOBS)
            if left != [[str(JOBS + 1), "sending", ""],
                        [str(JOBS + 2), "failed", "interrupted while sending: delivery unknown, not sent again"]]:
                fail("jobs held before the start ended as %s" % left)
            sql.run("DELETE FROM jobs WHERE id>%d" % JOBS)
        elif name == "sigterm":
            daemon.start()
            wait_for_messages(sink, 50)
            t0 = time.time()
            daemon.proc.send_signal(signal.SIGTERM)
            out = daemon.wait(timeout=20)
            took = time.time() - t0
            if took > 10:
                fail("the daemon took %.1f s to stop" % took)
            if "stopped by signal" not in daemon.stderr():
                fail("the daemon did not report the signal")
            first = check(sql, sink, allow_pending=True)
            if not first.get("pending"):
                fail("SIGTERM came too late to leave jobs pending; nothing was tested")
            print("after SIGTERM (%.1f s): %d done, %d pending" % (took, len(first.get("done", [])),
                                                                  len(first["pending"])))
            daemon.start()
            daemon.wait()
        else:
            fail("unknown scenario " + name)
        # Through the MTA the daemon never sees the Message-ID it could record.
        states = check(sql, sink, message_ids=(name != "mta"))
        done, failed = len(states.get("done", [])), len(states.get("failed", []))
        if done != JOBS - INVALID or failed != INVALID:
            fail("%d done and %d failed" % (done, failed))
        overtaken = sum(open(os.path.join(work, f)).read().count("was overtaken")
                        for f in os.listdir(work) if f.startswith("notifier-") and f.endswith(".err"))
        print("PASS %s: %d delivered exactly once, %d refused as invalid (%d claims overtaken)"
              % (name, done, failed, overtaken))
    finally:
        daemon_proc = daemon.proc
        if daemon_proc and daemon_proc.poll() is None:
            daemon_proc.kill()
        sink.stop()
        if name == "replica_kill":
            mariadb_sh("restart", "replica1")
            wait_replicas()
    sql.drop()
    subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print(__doc__)
        sys.exit(2)
    scenario(sys.argv[2], sys.argv[1])
