#!/usr/bin/env python3
"""Kills `lumifold apply` and `lumifold restore --force` with SIGKILL at random moments on a
sandbox home, and after each kill checks that (1) every .DS_Store holds its old bytes or a
complete store and every preferences or domain file its old bytes or a complete property list;
(2) while no snapshot has its manifest, nothing outside <home>/.lumifold changed; (3) otherwise
a plain `restore` (no --force: what Apply or Restore wrote themselves is never another
program's change) exits 0 and gives back every file's bytes, owner, group, permission bits and
extended attributes, leaves none of our temporary files anywhere in the home, ~/.lumifold
included, and leaves the lock free. Half the kills hit a restore after a whole apply; then
restore runs again. Folders Apply made for the per-host domains, which Restore leaves empty, are
counted apart.

Short form (ctest):  python3 tests/crash/crash_harness.py build/dev/cli/lumifold --kills 40 --files 300
Long form, by hand:  python3 tests/crash/crash_harness.py build/dev/cli/lumifold --kills 1000

Exits 0 when every kill passed, 1 on any fault, 77 when this machine cannot run it.
"""
import argparse
import fcntl
import glob
import json
import os
import plistlib
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from sandbox import FINDER_INFO, OTHER_OWNER, build_home, differences, fingerprint

TAIL = 1.1  # delays run a little past the measured duration, so the very end is covered too
SHOWN = 12  # faults printed per kill


def watched_files(home):
    """The stores, preferences and domain files Apply and Restore may rewrite or remove."""
    found = []
    for folder, dirs, files in os.walk(home):
        if folder == home:
            dirs[:] = [d for d in dirs if d != ".lumifold"]
        for name in files:
            path = os.path.join(folder, name)
            if name == ".DS_Store" or (name.endswith(".plist") and not os.path.islink(path)):
                found.append(path)
    return found


def manifests(home):
    return glob.glob(os.path.join(home, ".lumifold/backups/*/manifest.json"))


def torn_files(lumifold, home, originals):
    """Stores and property lists that hold neither their old bytes nor a whole file."""
    torn = []
    for path in watched_files(home):
        with open(path, "rb") as f:
            data = f.read()
        if data == originals.get(path):
            continue
        if path.endswith(".DS_Store"):
            dump = subprocess.run([lumifold, "dsstore", "dump", path], capture_output=True)
            if dump.returncode != 0:
                torn.append(f"{path}: not a complete store ({dump.stderr.decode().strip()})")
        else:
            try:
                plistlib.loads(data)
            except Exception as error:  # plistlib raises several kinds for damaged input
                torn.append(f"{path}: not a complete property list ({error})")
    for manifest in manifests(home):
        try:
            with open(manifest) as f:
                json.load(f)
        except ValueError as error:
            torn.append(f"{manifest}: not a complete manifest ({error})")
    return torn


TEMPORARY = re.compile(r"^\..+\.tmp\.[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$")


def leftovers(home):
    """Our temporary files (".<name>.tmp.<UUID>") anywhere in the home, ~/.lumifold included,
    and the lock when someone still holds it."""
    found = []
    for folder, dirs, files in os.walk(home):
        found += [os.path.relpath(os.path.join(folder, name), home)
                  for name in files if TEMPORARY.match(name)]
    lock = os.path.join(home, ".lumifold/lock")
    if os.path.exists(lock):
        with open(lock) as f:
            try:
                fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                found.append(".lumifold/lock (still held)")
    return found


def has_hidden_extension(path):
    try:
        info = os.getxattr(path, FINDER_INFO, follow_symlinks=False)
    except OSError:
        return False
    return len(info) == 32 and bool(int.from_bytes(info[8:10], "big") & 0x0010)


class Harness:
    def __init__(self, args):
        self.lumifold = os.path.abspath(args.lumifold)
        self.args = args
        self.work = tempfile.mkdtemp(prefix="lumifold-crash-")
        self.template = os.path.join(self.work, "template")
        os.mkdir(self.template)
        build_home(self.template, self.lumifold, args.files)
        self.before = fingerprint(self.template)
        self.originals = {}
        for path in watched_files(self.template):
            with open(path, "rb") as f:
                self.originals[os.path.relpath(path, self.template)] = f.read()
        self.home = None
        self.clean = False  # the home matches the template outside .lumifold
        self.counts = dict.fromkeys(
            ["apply kills", "landed before manifest", "landed after manifest",
             "restore kills", "restore kills landed", "finished before the kill",
             "torn files", "restore failures", "leftovers", "differences",
             "folders left by design"], 0)
        self.phases = {}
        self.kept = []

    def run(self, *command):
        return subprocess.run([self.lumifold, "--home", self.home, *command],
                              capture_output=True, text=True)

    def fresh_home(self):
        """A sandbox equal to the template: the last one again when its check came out clean
        (every entry outside .lumifold compared equal), else a new copy."""
        if self.home and self.clean:
            if os.path.exists(os.path.join(self.home, ".lumifold")):  # a kill can come first
                shutil.rmtree(os.path.join(self.home, ".lumifold"))
        else:
            if self.home:
                shutil.rmtree(self.home)
            self.home = os.path.join(self.work, "home")
            subprocess.run(["cp", "-a", self.template, self.home], check=True)
        self.clean = False

    def set_aside(self, label):
        """Keeps a failing sandbox (with --keep) or removes it; it is never used again."""
        if self.args.keep:
            kept = os.path.join(self.work, label)
            os.rename(self.home, kept)
            self.kept.append(kept)
        else:
            shutil.rmtree(self.home)
        self.home = None

    def compare(self, strict):
        """The home against the template, as a list of faults. Unless `strict` (nothing may
        have changed at all), what Restore leaves by design is counted apart, not a fault."""
        faults, left = differences(self.before, fingerprint(self.home))
        if strict:
            faults, left = faults + left, []
        self.counts["differences"] += len(faults)
        self.counts["folders left by design"] += len(left)
        self.clean = not (faults or left)
        return faults

    def kill_after(self, delay, *command):
        """Starts the program and sends it SIGKILL after `delay` seconds; True when the kill
        landed (the program was still running)."""
        process = subprocess.Popen([self.lumifold, "--home", self.home, *command],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(delay)
        landed = process.poll() is None
        if landed:
            os.kill(process.pid, signal.SIGKILL)
        process.wait()
        return landed

    def measure(self, rounds=5):
        """Median wall times of a whole apply and a whole restore, each restore checked."""
        applies, restores = [], []
        for n in range(rounds):
            self.fresh_home()
            start = time.monotonic()
            applied = self.run("apply")
            applies.append(time.monotonic() - start)
            start = time.monotonic()
            restored = self.run("restore")
            restores.append(time.monotonic() - start)
            faults = self.compare(strict=False)
            if applied.returncode != 0 or restored.returncode != 0 or faults:
                print("An apply and a restore, neither killed, do not give the sandbox back:")
                for result in [applied, restored]:
                    if result.returncode != 0:
                        print(f"  {result.args[3]} exited {result.returncode}: {result.stderr}")
                for fault in faults:
                    print("  " + fault)
                self.counts["restore failures"] += restored.returncode != 0
                self.set_aside(f"failed-uninterrupted-{n}")
                return None
        return statistics.median(applies), statistics.median(restores)

    def phase(self):
        """Where a killed apply stopped, read from what it left in the snapshot store."""
        found = manifests(self.home)
        if not found:
            started = glob.glob(os.path.join(self.home, ".lumifold/backups/*"))
            return "snapshotting" if started else "before the snapshot"
        with open(found[0]) as f:
            manifest = json.load(f)
        if "finderPlistPostSHA256" in manifest:
            return "verifying"
        planned = [item["filePath"] for item in manifest["fileExtensionBackups"]]
        hidden = sum(has_hidden_extension(path) for path in planned)
        if hidden == 0:
            return "writing files"
        return "setting flags" if hidden < len(planned) else "recording checksums"

    def check(self, restore_kill):
        """Checks 1 to 3 after one kill; returns the faults found."""
        originals = {os.path.join(self.home, p): b for p, b in self.originals.items()}
        faults = torn_files(self.lumifold, self.home, originals)
        self.counts["torn files"] += len(faults)
        # A restore killed after a whole apply must still find that apply's manifest.
        if not manifests(self.home) and not restore_kill:
            return faults + [f"changed before any manifest: {d}" for d in self.compare(True)]
        restore = self.run("restore")
        if restore.returncode != 0:
            self.counts["restore failures"] += 1
            faults.append(f"restore exited {restore.returncode}: {restore.stderr.strip()}")
        left = leftovers(self.home)
        self.counts["leftovers"] += len(left)
        faults += [f"left behind: {path}" for path in left]
        return faults + [f"not given back: {d}" for d in self.compare(strict=False)]

    def trial(self, number, rng, apply_time, restore_time):
        """One kill: of an apply on even numbers, of a restore after a whole apply on odd."""
        restore_kill = number % 2 == 1
        what = "restore --force" if restore_kill else "apply"
        self.fresh_home()
        if restore_kill:
            self.counts["restore kills"] += 1
            applied = self.run("apply")
            if applied.returncode != 0:
                print(f"Kill {number}: apply exited {applied.returncode}: {applied.stderr}")
                self.set_aside(f"failed-{number}")
                return True
            delay = rng.uniform(0, restore_time * TAIL)
            landed = self.kill_after(delay, "restore", "--force")
            self.counts["restore kills landed"] += landed
        else:
            self.counts["apply kills"] += 1
            delay = rng.uniform(0, apply_time * TAIL)
            landed = self.kill_after(delay, "apply")
            where = self.phase() if landed else "finished first"
            self.phases[where] = self.phases.get(where, 0) + 1
            if landed:
                self.counts["landed " + ("after" if manifests(self.home) else "before")
                            + " manifest"] += 1
        self.counts["finished before the kill"] += not landed
        faults = self.check(restore_kill)
        if faults:
            print(f"Kill {number} ({what} after {delay * 1000:.1f} ms, seed {self.args.seed}):")
            for fault in faults[:SHOWN]:
                print("  " + fault)
            if len(faults) > SHOWN:
                print(f"  ... and {len(faults) - SHOWN} more")
            self.set_aside(f"failed-{number}")
        return bool(faults)


def supports_attributes():
    try:
        with tempfile.NamedTemporaryFile() as probe:
            os.setxattr(probe.name, "user.probe", b"1")
        return True
    except OSError:
        return False


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("lumifold", help="the lumifold program")
    parser.add_argument("--kills", type=int, default=100,
                        help="how many kills (even ones kill apply, odd ones restore)")
    parser.add_argument("--seed", type=int, default=20240601, help="seed of the kill delays")
    parser.add_argument("--start", type=int, default=0,
                        help="number of the first kill: --start K --kills 1 repeats kill K")
    parser.add_argument("--files", type=int, default=1500, help="files in the sandbox's folders")
    parser.add_argument("--keep", action="store_true", help="leave failing sandboxes behind")
    args = parser.parse_args()
    if not sys.platform.startswith("linux") or not supports_attributes():
        print("skipped: needs a Linux file system with user extended attributes")
        return 77
    if os.geteuid() != 0:
        print(f"note: not root, so no file belongs to uid {OTHER_OWNER[0]}")

    started = time.monotonic()
    harness = Harness(args)
    failed = 0
    try:
        measured = harness.measure()
        if measured is None:
            failed = 1
        else:
            apply_time, restore_time = measured
            print(f"seed {args.seed}; {len(harness.before)} entries in the sandbox; a whole "
                  f"apply takes {apply_time * 1000:.0f} ms, a restore {restore_time * 1000:.0f} ms")
            for number in range(args.start, args.start + args.kills):
                # One generator per kill, so any kill can be repeated on its own.
                rng = random.Random(f"{args.seed}-{number}")
                failed += harness.trial(number, rng, apply_time, restore_time)
    finally:
        if not harness.kept:
            shutil.rmtree(harness.work, ignore_errors=True)
    for name, value in harness.counts.items():
        print(f"  {name + ':':28} {value}")
    print("  apply kills by phase:      " +
          ", ".join(f"{k} {v}" for k, v in sorted(harness.phases.items())))
    print(f"  failing kills:             {failed}")
    print(f"  wall time:                 {time.monotonic() - started:.1f} s")
    if harness.kept:
        print("kept: " + " ".join(harness.kept))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
