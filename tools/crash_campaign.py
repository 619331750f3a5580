#!/usr/bin/env python3
"""Crash campaign: kestrup-host's update road under SIGKILL.

Runs `kestrup-host update` (sometimes `status`) against a file feed and a slowed
loopback mirror, and kills it with SIGKILL at random instants, right after a store
commit (the write-ahead log grows) and right after the installer starts. Every few
roads two hosts are started at once on the same data folder. After every cycle it
checks:
  - the workflow store passes PRAGMA integrity_check;
  - the saved state is one of the defined states and holds that state's keys;
  - no downloaded installer file was started more often than the launch limit
    allows (Kestrup/InstallRetries + 1);
  - no run ended in an unexpected way (a crash, a failed check or download, a
    refused launch, or exit 70 other than for the second of two hosts).
Each road (registry at version 1) ends with an unkilled `update` and `status`:
the registry must then hold version 2, `status` must say there is no update (2)
and the state must be Idle. The next road puts version 1 back.

Workers run roads side by side, each with its own folders and mirror (worker i
uses seed N + i); the host mostly waits on the mirror, so they share a core well.
A run of at least 150 points must reach every kind of kill point.

  tools/crash_campaign.py [--build build] [--points 300] [--workers 1] [--seed N]
                          [--progress ROADS] [--keep]

Exit status 0 when every check held; the summary line gives the figures.
"""
import argparse
import hashlib
import multiprocessing
import os
import random
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

APP = "7d3c9a4e-2f61-4b8a-9c05-5e1f2a3b4c6d"
DOMAIN = "crash-campaign"
INSTALL_RETRIES = 3
STATES = {1: "Idle", 2: "UpdateAvailable", 3: "Downloading", 4: "Downloaded", 5: "Installing"}
OFFER_KEYS = {"serviceOfferingId", "serviceOfferingVersion", "ksFile"}
DOWNLOAD_KEYS = OFFER_KEYS | {"retries", "installerArgs", "sessionId"}
# Keys each state must hold; every state may also hold the time of the last check.
REQUIRED = {1: set(), 2: OFFER_KEYS, 3: DOWNLOAD_KEYS, 4: DOWNLOAD_KEYS | {"installerFilename"},
            5: DOWNLOAD_KEYS | {"installerFilename"}}
ALLOWED = {1: {"lastCheckForUpdate"} | OFFER_KEYS,  # a check interrupted between its commits
           2: OFFER_KEYS | {"lastCheckForUpdate"},
           3: DOWNLOAD_KEYS | {"lastCheckForUpdate", "installerFilename"},
           4: DOWNLOAD_KEYS | {"lastCheckForUpdate", "installerFilename"},
           5: DOWNLOAD_KEYS | {"lastCheckForUpdate", "installerFilename"}}

INSTALLER = r"""#!/bin/sh
# Campaign installer: records its launch (which downloaded file, by inode and
# time), takes a moment, then moves the registry to version 2.
set -eu
echo "launch $(stat -c '%%i-%%Y' "$0") $$" >> "%(launches)s"
sleep 0.1
tmp="$1.install.$$"
sed -e "/id=\"$2\"/s/version=\"[0-9]*\"/version=\"2\"/" "$1" > "$tmp"
mv "$tmp" "$1"
""" + "#" * 80 + "\n"


class Failure(Exception):
    pass


KINDS = ("random", "after-commit", "installer-start")


class Campaign:
    def __init__(self, args, index, points, stop):
        self.args = args
        self.index = index
        self.started = time.monotonic()
        self.points = points
        self.stop = stop  # set by the first worker that fails
        self.rng = random.Random(args.seed + index)
        self.work = tempfile.mkdtemp(prefix="kestrup-crash-")
        self.host = os.path.abspath(os.path.join(args.build, "bin", "kestrup-host"))
        self.data = os.path.join(self.work, "data")
        self.registry = os.path.join(self.work, "registry.xml")
        self.launches = os.path.join(self.work, "launches.log")
        self.store = os.path.join(self.data, "kvstore-%s.sqlite" % DOMAIN)
        self.kills = dict.fromkeys(KINDS, 0)
        self.cycles = 0
        self.roads = 0
        self.pairs = 0
        self.pairs_refused = 0
        self.server = None
        self.last_state = None

    # --- setting up -------------------------------------------------------------
    def prepare(self):
        mirror_root = os.path.join(self.work, "mirror")
        os.makedirs(mirror_root)
        installer = os.path.join(mirror_root, "setup.sh")
        body = INSTALLER % {"launches": self.launches}
        body += ("# padding so that the download takes a while\n" * 6000)
        with open(installer, "w") as f:
            f.write(body)
        digest = hashlib.sha256(body.encode()).hexdigest()
        source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        server = os.path.join(source, "tests", "services", "loopback_server.py")
        self.server = subprocess.Popen([sys.executable, server, "--root", mirror_root,
                                        "--log", os.path.join(self.work, "mirror.log")],
                                       stdout=subprocess.PIPE, text=True)
        port = int(self.server.stdout.readline().split()[1])
        url = "http://127.0.0.1:%d/slow/setup.sh?chunk=16384&delay=15" % port
        with open(os.path.join(self.work, "feed.xml"), "w") as f:
            f.write('<updateFeed><application id="%s"><release version="2" label="2.0">'
                    '<arguments>"%s" %s</arguments><digest>%s</digest><mirror url="%s"/>'
                    '</release></application></updateFeed>\n' % (APP, self.registry, APP, digest, url))
        with open(os.path.join(self.work, "kestrup-host.ini"), "w") as f:
            f.write("[Kestrup]\nInactivityTimeout=-1\nDownloadRetries=3\nDownloadRetryInterval=1\n"
                    "CheckForUpdateInterval=0\nInstallRetries=%d\n[Identities]\nDomainID=%s\n"
                    "[Host]\nRegistryFile=registry.xml\nFeedUrl=feed.xml\nDataFolder=data\n"
                    "StallTimeout=10\n" % (INSTALL_RETRIES, DOMAIN))
        self.reset_registry()

    def reset_registry(self):
        with open(self.registry + ".tmp", "w") as f:
            f.write('<serviceOfferings><serviceOffering id="%s" version="1"/></serviceOfferings>\n' % APP)
        os.replace(self.registry + ".tmp", self.registry)

    def registry_version(self):
        with open(self.registry) as f:
            match = re.search(r'version="(\d+)"', f.read())
        return int(match.group(1)) if match else None

    # --- running the host -------------------------------------------------------
    def start(self, command):
        return subprocess.Popen([self.host, command, "--app", APP, "--config",
                                 os.path.join(self.work, "kestrup-host.ini"), "--timeout", "60"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)

    def wal_size(self):
        try:
            return os.stat(self.store + "-wal").st_mtime_ns, os.path.getsize(self.store + "-wal")
        except OSError:
            return None

    def launch_count(self):
        try:
            with open(self.launches) as f:
                return sum(1 for _ in f)
        except OSError:
            return 0

    def kill_cycle(self):
        """One run of the host, killed by one of the three strategies (or left to
        end if it ends first)."""
        command = "status" if self.rng.random() < 0.2 else "update"
        strategies = ["random", "random", "after-commit"]
        if self.last_state in (3, 4):  # a launch can only come from a download under way or done
            strategies += ["installer-start"] * 3
        strategy = self.rng.choice(strategies)
        deadline = time.monotonic() + 20
        wal, launches = self.wal_size(), self.launch_count()
        instant = time.monotonic() + self.rng.uniform(0.0, 1.0)
        process = self.start(command)
        killed = False
        while process.poll() is None and time.monotonic() < deadline:
            if strategy == "random" and time.monotonic() >= instant:
                killed = True
            elif strategy == "after-commit" and self.wal_size() != wal:
                killed = True
            elif strategy == "installer-start" and self.launch_count() != launches:
                killed = True
            if killed:
                process.send_signal(signal.SIGKILL)
                break
            time.sleep(0.002)
        if not killed and process.poll() is None:
            process.send_signal(signal.SIGKILL)  # ran past its time: counted as a random kill
            killed = True
        _, err = process.communicate()
        if killed and process.returncode == -signal.SIGKILL:
            self.kills[strategy] += 1
        else:
            self.expect_clean_end(command, process.returncode, err)
        self.cycles += 1

    def expect_clean_end(self, command, code, err, second_of_two=False):
        if code is not None and code < 0:
            raise Failure("%s ended by signal %d: %s" % (command, -code, err))
        allowed = {0, 2, 6} | ({70} if second_of_two else set())
        if code not in allowed:
            raise Failure("%s ended with %s: %s" % (command, code, err.strip()))

    def concurrent_pair(self):
        """Two hosts at once on one data folder: at most one runs the road."""
        first, second = self.start("update"), self.start("update")
        # Wait for one to give way (on a loaded machine neither may have reached the
        # lock yet after a fixed pause), then kill the other at a random instant.
        deadline = time.monotonic() + 10
        while first.poll() is None and second.poll() is None and time.monotonic() < deadline:
            time.sleep(0.005)
        time.sleep(self.rng.uniform(0.0, 0.6))
        for process in (first, second):
            if process.poll() is None:
                process.send_signal(signal.SIGKILL)
        results = [(p.wait(), p.communicate()[1]) for p in (first, second)]
        refused = [r for r in results if r[0] == 70]
        for code, err in results:
            if code == 70 and "is using the data folder" not in err:
                raise Failure("exit 70 without naming the other host: " + err)
            if code != -signal.SIGKILL:
                self.expect_clean_end("update (pair)", code, err, second_of_two=True)
        self.pairs += 1
        self.pairs_refused += 1 if refused else 0
        self.cycles += 1

    # --- checks -----------------------------------------------------------------
    def check_store(self):
        if not os.path.exists(self.store):
            return None
        db = sqlite3.connect(self.store, timeout=10)
        try:
            ok = db.execute("PRAGMA integrity_check").fetchone()[0]
            if ok != "ok":
                raise Failure("integrity_check: " + ok)
            if not db.execute("SELECT 1 FROM sqlite_master WHERE name='KSPersistentStateSchema'").fetchone():
                return None
            rows = db.execute("SELECT key, value FROM KSPersistentStateSchema").fetchall()
        finally:
            db.close()
        keys = {}
        for key, value in rows:
            if key in keys:
                raise Failure("key %s stored twice" % key)
            keys[key] = value if isinstance(value, str) else bytes(value).decode("utf-8", "replace")
        if not keys:
            return None  # emptied on the way to Idle; the next start writes Idle
        if "state" not in keys:
            raise Failure("no state among %s" % sorted(keys))
        match = re.search(r"<IntWrapper>\s*<data>(-?\d+)</data>", keys["state"])
        state = int(match.group(1)) if match else None
        if state not in STATES:
            raise Failure("undefined state %r" % keys["state"])
        present = set(keys) - {"state"}
        if not REQUIRED[state] <= present or not present <= ALLOWED[state]:
            raise Failure("%s holds %s" % (STATES[state], sorted(present)))
        return state

    def check_launches(self):
        per_file = {}
        try:
            with open(self.launches) as f:
                for line in f:
                    per_file[line.split()[1]] = per_file.get(line.split()[1], 0) + 1
        except OSError:
            return
        for name, count in per_file.items():
            if count > INSTALL_RETRIES + 1:
                raise Failure("downloaded file %s started %d times (limit %d)" % (name, count, INSTALL_RETRIES + 1))

    def wait_for_installers(self):
        """Waits until no installer a killed host left behind still runs, so that
        none moves the registry after the next road has reset it."""
        try:
            with open(self.launches) as f:
                pids = [int(line.split()[2]) for line in f]
        except OSError:
            return
        deadline = time.monotonic() + 20
        while any(map(process_runs, pids)) and time.monotonic() < deadline:
            time.sleep(0.01)

    def finish_road(self):
        process = self.start("update")
        _, err = process.communicate(timeout=120)
        self.expect_clean_end("final update", process.returncode, err)
        deadline = time.monotonic() + 20
        while self.registry_version() != 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        if self.registry_version() != 2:
            raise Failure("the road did not end with version 2 (final update: %d)" % process.returncode)
        process = self.start("status")
        _, err = process.communicate(timeout=120)
        if process.returncode != 2:
            raise Failure("status after the road: exit %d (%s)" % (process.returncode, err.strip()))
        if self.check_store() not in (1, None):
            raise Failure("the road did not end Idle")
        self.roads += 1

    def run(self):
        """Runs roads until this worker's share of kill points is reached; returns
        the figures, with the failure if a check did not hold."""
        self.prepare()
        failure = None
        try:
            while self.points_done() < self.points and not self.stop.is_set():
                self.reset_registry()
                os.path.exists(self.launches) and os.remove(self.launches)
                self.last_state = None
                for _ in range(self.rng.randint(1, 6)):
                    if self.points_done() >= self.points:
                        break
                    if self.rng.random() < 0.1:
                        self.concurrent_pair()
                    else:
                        self.kill_cycle()
                    self.last_state = self.check_store()
                    self.check_launches()
                self.wait_for_installers()
                self.finish_road()
                self.check_launches()
                if self.args.progress and self.roads % self.args.progress == 0:
                    print("  worker %d: %d kill points, %d roads, %.0f s" % (
                        self.index, self.points_done(), self.roads, time.monotonic() - self.started), flush=True)
        except (Failure, subprocess.TimeoutExpired) as error:
            failure = "after %d kill points, road %d: %s (work folder kept: %s)" % (
                self.points_done(), self.roads + 1, error, self.work)
            self.args.keep = True
            self.stop.set()
        finally:
            if self.server:
                self.server.kill()
                self.server.wait()
            if not self.args.keep:
                shutil.rmtree(self.work, ignore_errors=True)
        return {"kills": self.kills, "cycles": self.cycles, "roads": self.roads, "pairs": self.pairs,
                "pairs_refused": self.pairs_refused, "failure": failure}

    def points_done(self):
        return sum(self.kills.values())


def process_runs(pid):
    """True while the process exists and is not a zombie waiting to be reaped."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return False


def run_worker(args, index, points, stop, results):
    try:
        results.put(Campaign(args, index, points, stop).run())
    except BaseException as error:  # anything else still reaches the summary, or it would wait forever
        stop.set()
        results.put({"kills": dict.fromkeys(KINDS, 0), "cycles": 0, "roads": 0, "pairs": 0,
                     "pairs_refused": 0, "failure": "worker %d stopped: %r" % (index, error)})
        raise


def run_campaign(args):
    """Splits the points among the workers and sums up their figures."""
    context = multiprocessing.get_context("fork")
    stop, results = context.Event(), context.Queue()
    shares = [args.points // args.workers + (1 if i < args.points % args.workers else 0)
              for i in range(args.workers)]
    workers = [context.Process(target=run_worker, args=(args, i, share, stop, results))
               for i, share in enumerate(shares) if share]
    started = time.monotonic()
    for worker in workers:
        worker.start()
    figures = [results.get() for _ in workers]
    for worker in workers:
        worker.join()
    elapsed = time.monotonic() - started
    failures = [f["failure"] for f in figures if f["failure"]]
    kills = {kind: sum(f["kills"][kind] for f in figures) for kind in KINDS}
    points = sum(kills.values())
    total = {key: sum(f[key] for f in figures) for key in ("cycles", "roads", "pairs", "pairs_refused")}
    if not failures and points >= 150:
        failures += ["no kill point of kind %s in %d points" % (kind, points)
                     for kind in KINDS if not kills[kind]]
    print("crash campaign: %d kill points (%s), %d cycles, %d roads ended at version 2, "
          "%d concurrent pairs (%d with one host refused), %d workers, %.0f s (%.2f s per point)" % (
              points, ", ".join("%s %d" % (kind, kills[kind]) for kind in sorted(KINDS)), total["cycles"],
              total["roads"], total["pairs"], total["pairs_refused"], len(workers), elapsed,
              elapsed / max(points, 1)))
    for failure in failures:
        print("FAILED " + failure, file=sys.stderr)
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--points", type=int, default=300)
    parser.add_argument("--workers", type=int, default=1)
    parser.add_argument("--progress", type=int, default=0, metavar="ROADS",
                        help="print each worker's figures every ROADS roads")
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    args = parser.parse_args()
    if args.workers < 1 or args.points < 1:
        parser.error("--points and --workers must be at least 1")
    print("crash campaign: seed %d" % args.seed, flush=True)
    return run_campaign(args)


if __name__ == "__main__":
    sys.exit(main())
