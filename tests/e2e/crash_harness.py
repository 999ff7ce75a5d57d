#!/usr/bin/env python3
"""Kills a delivered program with SIGKILL just before and just after each of its changes
to the installation's files, runs it again to the end, and checks that no database was
lost: every live database is there, passes `jetdb check` and holds the rows it held before
the first run; no compacted copy or temporary file is left; a backup, where there is one,
is whole.

The program runs on a virtual screen (Xvfb) and is clicked through as a user would
(xdotool), on an installation in a temporary drive folder (WINEPREFIX), as in
gathering_run.sh. syscall_tracer.py numbers the changes and does the killing; one run under
strace lists the same changes independently, so a change the tracer does not see shows.

Usage: crash_harness.py BIN_DIR support|emailing [--jobs N] [--keep] [--work DIR] [--only REGEX]
                        [--rerun-bin DIR]
Prints a grid of kill points and outcomes; exits 1 on any failure, 77 when it cannot run
here (crash_harness.sh checks the tools first).
"""

import argparse
import collections
import concurrent.futures
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field

HERE = os.path.dirname(os.path.abspath(__file__))
TRACER = os.path.join(HERE, "syscall_tracer.py")

DATA_PASSWORD = "wexo4m"
VARIANTS = {
    "support": dict(program="Kelbrook_7-7", title="Kelbrook v7-7", suffix="SUPPORT_FILES",
                    gathered=["duvura-d-7-7.mdb", "duvura-h-7-7.mdb"]),
    "emailing": dict(program="Kelbrook_Emailing_7-7", title="Kelbrook for emailing v7-7",
                     suffix="EMAIL_FILES", gathered=["duvura-d-7-7.mdb"]),
}
# The two databases: live file L, compacted copy N, backup B (relative to the root).
DATABASES = {
    "data": dict(live="data/duvura-d-7-7.mdb", compacted="data/duvura-d-7-7new.mdb",
                 backup="Old Software/duvura-d-7-7.mdb", password=DATA_PASSWORD),
    "history": dict(live="history/duvura-h-7-7.mdb", compacted="history/duvura-h-7-7new.mdb",
                    backup="Old Software/duvura-h-7-7.mdb", password=None),
}
DEBUG_FILES = {"instrument.log": "run 1 finished\n", "sub/crash.txt": "crash report\n"}
CONTINUE_AT, CLOSE_AT = (102, 144), (274, 144)  # button centres in the window's pixels
WRITE_CALLS = {"write", "pwrite64", "writev", "pwritev", "pwritev2", "sendfile", "copy_file_range"}
LOCK_FILE = ".ldb"  # a Jet database's lock file, beside it with the same stem
# Temporary files: "." + name + ".kelbrook-tmp-" + suffix, the older ".kelbrook-copy-" + suffix,
# and the older engine's "<destination>.compacting".
TEMPORARY = re.compile(r"^\..*\.kelbrook-tmp-|^\.kelbrook-copy-|\.compacting$")
RANDOM_SUFFIX = re.compile(r"(\.kelbrook-tmp-|\.kelbrook-copy-)[^/]*$")


def rel(path, root):
    return os.path.relpath(path, root) if path and (path + "/").startswith(root + "/") else path


def normal(path, root):
    """A path relative to the root with a temporary file's random suffix replaced by '*'."""
    return RANDOM_SUFFIX.sub(r"\1*", rel(path, root) or "?")


def run(argv, **kwargs):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kwargs)


# ---------------------------------------------------------------- the installation

def lay_out(jetdb, drive):
    root = os.path.join(drive, "Tarvel", "KT500")
    for folder in ("data/Debug Files/sub", "history", "Old Software"):
        os.makedirs(os.path.join(root, folder))
    # The live databases, and the backups an earlier run left (other rows).
    for profile, rows, seed, name, kind in (("instrument-data", 150, 5, "data", "live"),
                                            ("instrument-history", 120, 6, "history", "live"),
                                            ("instrument-data", 60, 15, "data", "backup"),
                                            ("instrument-history", 50, 16, "history", "backup")):
        out = os.path.join(root, DATABASES[name][kind])
        result = run([jetdb, "generate", "--profile", profile, "--rows", str(rows), "--deleted-fraction", "0.3",
                      "--seed", str(seed), out])
        if result.returncode != 0:
            raise SystemExit(f"FAIL: jetdb generate ({name}): {result.stdout}")
    for name, text in DEBUG_FILES.items():
        with open(os.path.join(root, "data/Debug Files", name), "w") as out:
            out.write(text)
    return root


class Content_Reader:
    """A database's rows, table by table, sorted; remembered by the file's bytes."""

    def __init__(self, jetdb):
        self.jetdb = jetdb
        self.known = {}
        self.lock = threading.Lock()

    def rows(self, path, password):
        """(content, problem): content is {table: sorted rows}; problem says what failed."""
        digest = file_digest(path)
        with self.lock:
            if digest in self.known:
                return self.known[digest]
        answer = self._read(path, password)
        with self.lock:
            self.known[digest] = answer
        return answer

    def _read(self, path, password):
        pw = ["--password", password] if password else []
        check = run([self.jetdb, "check", *pw, path])
        if check.returncode != 0:
            return None, "jetdb check fails: " + " / ".join(check.stdout.strip().splitlines()[:3])
        tables = run([self.jetdb, "tables", *pw, path])
        if tables.returncode != 0:
            return None, "jetdb tables fails: " + tables.stdout.strip()
        content = {}
        for table in tables.stdout.split("\n"):
            if not table:
                continue
            dump = run([self.jetdb, "json", *pw, path, table])
            if dump.returncode != 0:
                return None, f"jetdb json {table} fails: {dump.stdout.strip()}"
            content[table] = sorted(dump.stdout.splitlines())
        return content, None


def file_digest(path):
    digest = hashlib.sha1()
    with open(path, "rb") as data:
        for block in iter(lambda: data.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def compare(content, recorded):
    """What differs between a database's rows and the recorded ones, or None."""
    for table, rows in recorded.items():
        if table not in content:
            return f"table {table} missing"
        if content[table] != rows:
            return f"table {table} holds {len(content[table])} rows, not the {len(rows)} it held"
    extra = sorted(set(content) - set(recorded))
    return f"unexpected tables {extra}" if extra else None


def state_of(root):
    """Every entry under the root, with a content digest for files; temporary names normalised."""
    entries = []
    for folder, folders, files in os.walk(root):
        for name in sorted(folders):
            entries.append(("d", normal(os.path.join(folder, name), root), ""))
        for name in sorted(files):
            path = os.path.join(folder, name)
            entries.append(("f", normal(path, root), file_digest(path)))
    entries.sort()
    return hashlib.sha1(repr(entries).encode()).hexdigest(), entries


def summary(root):
    """Which of L, N and B exist for each database, and the temporaries: 'd:L+N-B+ h:... tmp:2'."""
    parts = []
    for name, db in DATABASES.items():
        marks = "".join(f"{key}{'+' if os.path.exists(os.path.join(root, db[field])) else '-'}"
                        for key, field in (("L", "live"), ("N", "compacted"), ("B", "backup")))
        parts.append(f"{name[0]}:{marks}")
    temporaries = sum(1 for _, _, files in os.walk(root) for name in files if TEMPORARY.search(name))
    if temporaries:
        parts.append(f"tmp:{temporaries}")
    return " ".join(parts)


# ---------------------------------------------------------------- the window

class Screen:
    """One Xvfb display; each worker has its own so that clicks never reach another window."""

    def __init__(self, work, number):
        # A display number of its own, well above those that other Xvfb servers on the same
        # machine pick first: two servers on one number take each other's socket.
        self.log = open(os.path.join(work, f"xvfb-{number}.log"), "w")
        for attempt in range(20):
            display = 200 + (number * 97 + attempt * 7919 + os.getpid()) % 3800
            read, write = os.pipe()
            # -noreset: the server would otherwise reset whenever its last client leaves (a
            # killed program, an xdotool call) and refuse a program that connects meanwhile.
            self.process = subprocess.Popen(["Xvfb", f":{display}", "-displayfd", str(write), "-screen", "0",
                                             "1024x768x24", "-nolisten", "tcp", "-noreset"], pass_fds=(write,),
                                            stdout=self.log, stderr=subprocess.STDOUT)
            os.close(write)
            with os.fdopen(read) as ready:
                started = ready.readline().strip()
            if started and self.process.poll() is None:
                self.display = ":" + started
                return
            self.process.wait()
        raise SystemExit("FAIL: Xvfb did not start (see xvfb-*.log)")

    def xdotool(self, *args):
        return run(["xdotool", *args], env=dict(os.environ, DISPLAY=self.display))

    def visible_windows(self):
        result = self.xdotool("search", "--onlyvisible", "--name", ".")
        return [w for w in result.stdout.split() if w.isdigit()]

    def click(self, window, at):
        self.xdotool("mousemove", "--window", window, str(at[0]), str(at[1]), "click", "1")

    def close(self):
        self.process.terminate()
        self.process.wait()
        self.log.close()


@dataclass
class Run_Result:
    status: object = None      # exit status, or None when it had to be ended
    message: str = None        # the title of a message box the program showed
    problem: str = None        # the window never came, the run hung
    finished: bool = False     # the output folder was completed
    seconds: float = 0.0


def click_through(screen, argv, prefix, root, variant, stub_bin, log_path, expect_kill=False):
    """Starts the program, presses "Click to Continue", waits for the run, presses "Click to Close".
    With expect_kill the program is expected to die during the run. A program that cannot
    reach the virtual screen (before it touches any file) is started again."""
    for _ in range(4):
        result = click_through_once(screen, argv, prefix, root, variant, stub_bin, log_path, expect_kill)
        with open(log_path, errors="replace") as log:
            if "could not connect to display" not in log.read():
                break
        result.problem = result.problem or "the program could not connect to the virtual screen"
        with RESTARTS_LOCK:
            RESTARTS[0] += 1
        time.sleep(0.2)
    return result


RESTARTS, RESTARTS_LOCK = [0], threading.Lock()  # programs started again for want of a screen


def click_through_once(screen, argv, prefix, root, variant, stub_bin, log_path, expect_kill):
    config = VARIANTS[variant]
    env = dict(os.environ, DISPLAY=screen.display, WINEPREFIX=prefix, PATH=stub_bin + ":" + os.environ["PATH"])
    marker = os.path.join(root, time.strftime("%Y-%m-%d") + " " + config["suffix"], "Debug files",
                          *sorted(DEBUG_FILES)[-1].split("/"))
    data_present = os.path.exists(os.path.join(root, DATABASES["data"]["live"]))
    result, started = Run_Result(), time.monotonic()
    with open(log_path, "w") as log:
        process = subprocess.Popen(argv, env=env, stdout=log, stderr=subprocess.STDOUT)
        try:
            window = wait_for_window(screen, process, config["title"])
            if window is None:
                if process.poll() is None:
                    result.problem = "the window did not open"
            else:
                time.sleep(0.15)
                screen.click(window, CONTINUE_AT)
                follow_run(screen, process, window, marker, data_present, expect_kill, result)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
            elif result.status is None and not result.message and not result.problem:
                result.status = process.returncode
    result.seconds = time.monotonic() - started
    return result


def wait_for_window(screen, process, title):
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and process.poll() is None:
        found = screen.xdotool("search", "--onlyvisible", "--name", "^" + re.escape(title) + "$").stdout.split()
        if found:
            return found[0]
        time.sleep(0.05)
    return None


def follow_run(screen, process, window, marker, data_present, expect_kill, result):
    deadline, done_at, next_close = time.monotonic() + 60, None, None
    while time.monotonic() < deadline:
        if process.poll() is not None:
            result.status, result.finished = process.returncode, os.path.exists(marker)
            return
        if not expect_kill or done_at is not None:
            dialogs = [w for w in screen.visible_windows() if w != window]
            if dialogs:
                result.message = screen.xdotool("getwindowname", dialogs[0]).stdout.strip()
                return
        # Without a data database the window only says so; with one, the run is over once
        # the last debug file is in the output folder (a later build may also put a lost
        # data database back and go on: the close button only answers once the run is over).
        if done_at is None and (os.path.exists(marker) or (not data_present and not expect_kill)):
            done_at = time.monotonic()
            next_close = done_at + (0.3 if os.path.exists(marker) else 0.6)
        if next_close is not None and time.monotonic() >= next_close:
            screen.click(window, CLOSE_AT)
            next_close = time.monotonic() + 1.0
        time.sleep(0.03)
    result.problem = "the run did not end within 60 s"


# ---------------------------------------------------------------- the changes and the kill points

def read_log(path):
    with open(path) as log:
        return [json.loads(line) for line in log if line.strip()]


@dataclass
class Point:
    index: int          # the change's number in the tracer's count
    when: str           # before | after
    label: str          # what the grid shows
    key: tuple          # (call, normalised paths) the kill must land on
    outcome: str = ""
    state: str = ""
    passed: bool = False


def describe(event, root):
    paths = [normal(p, root) for p in event["paths"]]
    return event["call"] + " " + " -> ".join(paths)


def kill_points(events, root):
    """Before and after every change; a run of writes to one file gives before its first
    write, before its middle write and after its last."""
    changes = [e for e in events if e.get("result", -1) >= 0]
    points, i = [], 0
    while i < len(changes):
        event = changes[i]
        run_end = i
        if event["call"] in WRITE_CALLS:
            while (run_end + 1 < len(changes) and changes[run_end + 1]["call"] in WRITE_CALLS
                   and changes[run_end + 1]["paths"] == event["paths"]):
                run_end += 1
        if run_end > i:
            count, middle = run_end - i + 1, changes[(i + run_end + 1) // 2]
            name = f"{count} writes to {normal(event['paths'][0], root)}"
            points.append(make_point(event, "before", f"{name}: before the first", root))
            points.append(make_point(middle, "before", f"{name}: before write {(run_end - i + 1) // 2 + 1}", root))
            points.append(make_point(changes[run_end], "after", f"{name}: after the last", root))
        else:
            text = describe(event, root)
            points.append(make_point(event, "before", text, root))
            points.append(make_point(event, "after", text, root))
        i = run_end + 1
    return points


def make_point(event, when, label, root):
    return Point(event["i"], when, label, (event["call"], tuple(normal(p, root) for p in event["paths"])))


STRACE_CALLS = ("open,openat,openat2,creat,write,pwrite64,writev,pwritev,pwritev2,sendfile,copy_file_range,"
                "truncate,ftruncate,fallocate,fsync,fdatasync,sync_file_range,syncfs,rename,renameat,renameat2,"
                "unlink,unlinkat,rmdir,mkdir,mkdirat,mknod,mknodat,link,linkat,symlink,symlinkat,chmod,fchmod,"
                "fchmodat,chown,fchown,lchown,fchownat,utime,utimes,futimesat,utimensat")


FD_CALLS = WRITE_CALLS | {"fsync", "fdatasync", "ftruncate", "fallocate", "fchmod", "fchown", "sync_file_range",
                          "syncfs"}


def strace_changes(trace_path, root):
    """The successful changes under the root in an `strace -f -y` log, as (call, paths)."""
    unfinished, changes = {}, []
    line_form = re.compile(r"^(\d+)\s+(.*)$")
    for line in open(trace_path, errors="replace"):
        match = line_form.match(line.rstrip("\n"))
        if not match:
            continue
        tid, text = match.groups()
        if text.endswith("<unfinished ...>"):
            unfinished[tid] = text[: -len("<unfinished ...>")]
            continue
        resumed = re.match(r"^<\.\.\. (\w+) resumed>(.*)$", text)
        if resumed:
            text = unfinished.pop(tid, resumed.group(1) + "(") + resumed.group(2)
        call = re.match(r"^(\w+)\((.*)\)\s+= (-?\d+)", text)
        if not call or int(call.group(3)) < 0:
            continue
        name, args = call.group(1), call.group(2)
        if name in ("open", "openat", "openat2") and not re.search(r"O_CREAT|O_TRUNC", args):
            continue
        if name in FD_CALLS:  # the file descriptor written, as -y shows it: 8</path>
            descriptors = re.findall(r"(?:^|, )\d+<(/[^>]*)>", args)
            paths = descriptors[-1:] if name == "copy_file_range" else descriptors[:1]
        else:  # quoted paths and the folders of directory descriptors
            paths = [a or b for a, b in re.findall(r'"((?:[^"\\]|\\.)*)"|<(/[^>]*)>', args)]
            paths = [p for p in paths if p.startswith("/")]
            if name.startswith("openat") or name in ("mkdirat", "unlinkat", "utimensat", "fchmodat"):
                paths = paths[1:] if len(paths) > 1 else paths
            if name in ("renameat", "renameat2", "linkat"):
                paths = [p for i, p in enumerate(paths) if i in (1, 3)] if len(paths) == 4 else paths
        if any((p + "/").startswith(root + "/") for p in paths):
            changes.append((name, tuple(normal(p, root) for p in paths)))
    return changes


# ---------------------------------------------------------------- the checks after a re-run

def check_after_rerun(root, variant, reader, recorded, rerun):
    """Everything wrong with the installation after a second, uninterrupted run."""
    problems = []
    if rerun.problem:
        problems.append(rerun.problem)
    if rerun.message is not None:
        problems.append(f"the re-run stopped at a message box '{rerun.message}'")
    elif rerun.status not in (0, None):
        problems.append(f"the re-run ended with status {rerun.status}")
    for name, db in DATABASES.items():
        live, compacted, backup = (os.path.join(root, db[k]) for k in ("live", "compacted", "backup"))
        if not os.path.isfile(live):
            left = [k for k, p in (("N", compacted), ("B", backup)) if os.path.exists(p)]
            problems.append(f"{name}: live database missing" + (f" ({'+'.join(left)} left)" if left else ""))
        else:
            problems += whole(f"{name}: live database", live, db["password"], reader, recorded[name])
        if os.path.exists(compacted):
            problems.append(f"{name}: compacted copy {db['compacted']} left")
        if os.path.isfile(backup):  # the live database's rows, or those of the earlier backup
            content, problem = reader.rows(backup, db["password"])
            if problem or (compare(content, recorded[name]) and compare(content, recorded[name + " backup"])):
                problems.append(f"{name}: backup: " + (problem or "holds the rows of neither the database nor"
                                                                  " the earlier backup"))
    left, notes = leftovers(root, variant)
    problems += left
    if rerun.finished:
        output = os.path.join(root, time.strftime("%Y-%m-%d") + " " + VARIANTS[variant]["suffix"])
        for gathered in VARIANTS[variant]["gathered"]:
            name = "data" if "-d-" in gathered else "history"
            copy = os.path.join(output, gathered)
            if not os.path.isfile(copy):
                problems.append(f"output folder: {gathered} missing")
            else:
                problems += whole(f"output folder: {gathered}", copy, DATABASES[name]["password"], reader,
                                  recorded[name])
    elif rerun.status == 0 and not rerun.message and os.path.exists(os.path.join(root, DATABASES["data"]["live"])):
        problems.append("the re-run made no output folder")
    return problems, notes


def whole(what, path, password, reader, recorded):
    content, problem = reader.rows(path, password)
    if problem:
        return [f"{what}: {problem}"]
    difference = compare(content, recorded)
    return [f"{what}: {difference}"] if difference else []


def leftovers(root, variant):
    """Temporaries anywhere under the root, and any file the installation did not have and a
    finished run does not make; and, as notes, the lock files a killed run leaves (as Jet
    leaves them: the next user of the database takes them over)."""
    expected_top = {"data", "history", "Old Software"}
    output_prefix = time.strftime("%Y-%m-%d") + " " + VARIANTS[variant]["suffix"]
    allowed = {db[k] for db in DATABASES.values() for k in ("live", "backup", "compacted")}  # N: told apart
    problems, notes = [], []
    for folder, folders, files in os.walk(root):
        for name in sorted(files):
            path = rel(os.path.join(folder, name), root)
            top = path.split("/")[0]
            if TEMPORARY.search(name):
                problems.append(f"temporary left: {path}")
            elif name.endswith(LOCK_FILE):
                notes.append(f"lock file left: {path}")
            elif not (path in allowed or path.startswith("data/Debug Files/") or top == output_prefix):
                problems.append(f"unexpected file left: {path}")
        if folder == root:
            for name in sorted(folders):
                if name not in expected_top and name != output_prefix:
                    problems.append(f"unexpected folder: {name}")
    return problems, notes


# ---------------------------------------------------------------- the harness

@dataclass
class Harness:
    bin_dir: str
    variant: str
    work: str
    jobs: int
    jetdb: str = ""
    template: str = ""
    recorded: dict = field(default_factory=dict)
    reader: Content_Reader = None
    stub_bin: str = ""
    screens: list = field(default_factory=list)
    memo: dict = field(default_factory=dict)
    memo_lock: threading.Lock = field(default_factory=threading.Lock)
    free_slots: list = field(default_factory=list)
    slot_lock: threading.Lock = field(default_factory=threading.Lock)

    rerun_bin_dir: str = ""  # the build that runs again after a kill (by default the same)

    def program(self, bin_dir=None):
        return os.path.join(bin_dir or self.bin_dir, VARIANTS[self.variant]["program"])

    def prepare(self):
        self.jetdb = os.path.join(self.bin_dir, "jetdb")
        self.reader = Content_Reader(self.jetdb)
        self.template = os.path.join(self.work, "template", "drive_c")
        root = lay_out(self.jetdb, self.template)
        for name, db in DATABASES.items():
            for kind, key in (("live", name), ("backup", name + " backup")):
                content, problem = self.reader.rows(os.path.join(root, db[kind]), db["password"])
                if problem:
                    raise SystemExit(f"FAIL: the generated {name} database ({kind}): {problem}")
                self.recorded[key] = content
        self.stub_bin = os.path.join(self.work, "bin")
        os.makedirs(self.stub_bin)
        with open(os.path.join(self.stub_bin, "xdg-open"), "w") as opener:
            opener.write("#!/bin/sh\nexit 0\n")  # the file manager the program starts at the end
        os.chmod(os.path.join(self.stub_bin, "xdg-open"), 0o755)
        for i in range(self.jobs):
            self.screens.append(Screen(self.work, i))
            self.free_slots.append(i)

    def fresh_installation(self, slot):
        place = os.path.join(self.work, f"slot{slot}")
        shutil.rmtree(place, ignore_errors=True)
        shutil.copytree(os.path.dirname(self.template), place, symlinks=True)
        drive = os.path.join(place, "drive_c")
        return place, drive, os.path.join(drive, "Tarvel", "KT500")

    def traced_run(self, slot, log, kill=None):
        place, drive, root = self.fresh_installation(slot)
        argv = [sys.executable, TRACER, "--root", root, "--log", log]
        if kill:
            argv += ["--kill-at", str(kill.index), "--when", kill.when]
        result = click_through(self.screens[slot], argv + ["--", self.program()], place, root, self.variant,
                               self.stub_bin, log + ".out", expect_kill=kill is not None)
        return result, root

    def enumerate(self):
        """One whole run under the tracer: the changes, numbered; the run itself must pass."""
        log = os.path.join(self.work, "enumeration.log")
        result, root = self.traced_run(0, log)
        problems, notes = check_after_rerun(root, self.variant, self.reader, self.recorded, result)
        if problems:
            raise SystemExit("FAIL: an uninterrupted run under the tracer fails its checks: " + "; ".join(problems))
        return read_log(log), root, ["an uninterrupted run leaves " + note for note in notes]

    def cross_check(self, events, root_of_enumeration):
        """The same run under strace: the tracer must have seen every change strace sees."""
        trace = os.path.join(self.work, "strace.log")
        argv = ["strace", "-f", "-qq", "-y", "-s", "256", "-e", "signal=none", "-e", "trace=" + STRACE_CALLS,
                "-o", trace, self.program()]
        # The click-through can lose a race with a window that is just closing (an X error
        # in xdotool); such a run says nothing about the changes, so it is made again.
        for _ in range(3):
            place, drive, root = self.fresh_installation(0)
            result = click_through(self.screens[0], argv, place, root, self.variant, self.stub_bin, trace + ".out")
            if result.status == 0:
                break
        if result.status != 0:
            return [f"the run under strace ended with {result.status or result.message or result.problem}"]
        seen_by_strace = sorted(strace_changes(trace, root))
        seen_by_tracer = sorted((e["call"], tuple(normal(p, root_of_enumeration) for p in e["paths"]))
                                for e in events if e.get("result", -1) >= 0)
        if seen_by_strace == seen_by_tracer:
            return []
        only_strace = list((collections.Counter(seen_by_strace) - collections.Counter(seen_by_tracer)).elements())
        only_tracer = list((collections.Counter(seen_by_tracer) - collections.Counter(seen_by_strace)).elements())
        return [f"strace and the tracer disagree ({len(seen_by_strace)} against {len(seen_by_tracer)} changes);"
                f" only strace: {only_strace[:5]}; only the tracer: {only_tracer[:5]}"]

    def take_slot(self):
        with self.slot_lock:
            return self.free_slots.pop()

    def give_slot(self, slot):
        with self.slot_lock:
            self.free_slots.append(slot)

    def try_point(self, point, events):
        slot = self.take_slot()
        try:
            self.kill_and_rerun(slot, point, events)
        except Exception as failure:  # a fault of the harness shows in the grid, not as a crash
            point.outcome, point.passed = f"harness error: {failure!r}", False
        finally:
            self.give_slot(slot)
        return point

    def kill_and_rerun(self, slot, point, events):
        log = os.path.join(self.work, f"kill-{point.index}-{point.when}.log")
        killed, root = self.traced_run(slot, log, kill=point)
        missed = self.missed(point, read_log(log), events, root, killed)
        if missed:
            point.outcome, point.passed = "MISSED: " + missed, False
            return
        point.state = summary(root)
        fingerprint, _ = state_of(root)
        with self.memo_lock:
            owner = fingerprint not in self.memo
            if owner:
                self.memo[fingerprint] = (threading.Event(), [])
            done, answer = self.memo[fingerprint]
        if owner:
            rerun = click_through(self.screens[slot], [self.program(self.rerun_bin_dir)], os.path.dirname(os.path.dirname(
                os.path.dirname(root))), root, self.variant, self.stub_bin, log + ".rerun")
            answer.extend(check_after_rerun(root, self.variant, self.reader, self.recorded, rerun))
            done.set()
        done.wait()
        problems, notes = answer
        point.passed = not problems
        point.outcome = ("pass" if point.passed else "FAIL: " + "; ".join(problems)) + "".join(
            f" ({note})" for note in notes)

    def missed(self, point, log, events, root, killed):
        """Why the kill did not land exactly on the change it was meant for, or None."""
        kill = [r for r in log if "killed" in r]
        if not kill:
            how = killed.problem or (f"message box '{killed.message}'" if killed.message else f"status {killed.status}")
            return f"the run went past change {point.index} without being killed ({how})"
        landed = (kill[0]["call"], tuple(normal(p, root) for p in kill[0]["paths"]))
        if kill[0]["killed"] != point.index or landed != point.key:
            return f"killed at {landed}, meant for {point.key}"
        before = [(e["call"], tuple(normal(p, root) for p in e["paths"])) for e in log if "i" in e]
        expected = [e["key"] for e in events
                    if e["i"] < point.index or (e["i"] == point.index and point.when == "after")]
        if before != expected[: len(before)] or len(before) < len(expected) - 1:
            return "the changes before the kill differ from those of the uninterrupted run"
        if killed.status not in (128 + signal.SIGKILL, -signal.SIGKILL):
            return f"the program ended with status {killed.status}, not by SIGKILL"
        return None


def tracer_self_check(work):
    """The tracer on a known program: killed before the second of three mkdir calls, the
    first folder is there and the second is not; killed after it, the second is there and
    the third is not. Returns what went wrong, or None."""
    program = "import os; [os.mkdir(name) for name in ('one', 'two', 'three')]"
    for when, expected in (("before", ["one"]), ("after", ["one", "two"])):
        place = tempfile.mkdtemp(prefix=f"tracer-{when}-", dir=work)
        run([sys.executable, TRACER, "--root", place, "--log", os.path.join(work, f"tracer-{when}.log"),
             "--kill-at", "1", "--when", when, "--", sys.executable, "-c", program], cwd=place)
        made = sorted(os.listdir(place), key=["one", "two", "three"].index)
        if made != expected:
            return f"the tracer killed {when} the second mkdir and left {made}, not {expected}"
    return None


def print_grid(points, seconds):
    width = max(len(p.label) for p in points)
    print("state after the kill: d(ata) and h(istory) database, L live, N compacted copy, B backup,"
          " + there / - not there; tmp: temporary files")
    print(f"{'#':>4}  {'kill':6}  {'change':{width}}  {'state after the kill':24}  re-run")
    for p in points:
        print(f"{p.index:>4}  {p.when:6}  {p.label:{width}}  {p.state:24}  {p.outcome}")
    failed = [p for p in points if not p.passed]
    print(f"{len(points)} kill points, {len(points) - len(failed)} pass, {len(failed)} fail ({seconds:.0f} s)")
    return failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("bin_dir")
    parser.add_argument("variant", choices=sorted(VARIANTS))
    parser.add_argument("--jobs", type=int, default=min(2, os.cpu_count() or 1))
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    parser.add_argument("--work", help="work folder (default: a new temporary one)")
    parser.add_argument("--only", help="only the kill points whose change matches this regular expression")
    parser.add_argument("--rerun-bin", help="run this build's program after each kill (what an earlier build"
                                            " left, taken up by a later one)")
    options = parser.parse_args()
    started = time.monotonic()
    work = options.work or tempfile.mkdtemp(prefix="kelbrook-crash-", dir=os.environ.get("TMPDIR"))
    os.makedirs(work, exist_ok=True)
    work = os.path.realpath(work)
    harness = Harness(os.path.abspath(options.bin_dir), options.variant, work, max(1, options.jobs),
                      rerun_bin_dir=os.path.abspath(options.rerun_bin) if options.rerun_bin else "")
    try:
        problem = tracer_self_check(work)
        if problem:
            raise SystemExit("FAIL: " + problem)
        harness.prepare()
        events, root, disagreements = harness.enumerate()
        for event in events:
            event["key"] = (event["call"], tuple(normal(p, root) for p in event["paths"]))
        points = kill_points(events, root)
        if options.only:
            points = [p for p in points if re.search(options.only, p.label)]
        print(f"{options.variant}: {sum(1 for e in events if e.get('result', -1) >= 0)} changes under the"
              f" installation root, {len(points)} kill points; work folder {work}", flush=True)
        disagreements += harness.cross_check(events, root)
        if not disagreements:
            print("strace, run on its own, saw the same changes", flush=True)
        for line in disagreements:
            print("FAIL: " + line)
        with concurrent.futures.ThreadPoolExecutor(harness.jobs) as pool:
            list(pool.map(lambda p: harness.try_point(p, events), points))
        failed = print_grid(points, time.monotonic() - started)
        print(f"{len(harness.memo)} distinct installation states after the kills were run again;"
              f" {RESTARTS[0]} program start(s) repeated because the virtual screen refused the connection")
    finally:
        for screen in harness.screens:
            screen.close()
        if not options.keep:
            shutil.rmtree(work, ignore_errors=True)
    sys.exit(1 if failed or disagreements else 0)


if __name__ == "__main__":
    main()
