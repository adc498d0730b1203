#!/usr/bin/env python3
"""Measures the updater against the tools a user would reach for; see bench/README.md.

Run through scripts/bench, which builds what this needs. Everything it writes goes below
--work; releases come from generate.py with fixed seeds and are published with the release tool.
Exits non-zero only when the harness itself cannot measure (a tool fails, an update fails, a
result is wrong); a target missed is reported as "over" and is no failure.
"""

import argparse
import glob
import hashlib
import json
import math
import os
import random
import re
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import generate  # noqa: E402

CLIENT_TYPE = "client_linux_amd64"
MIB = 2**20
START_LINE = "Starting update process"
END_LINE = "Temporary files removed."
SUCCESS_LINE = "Update successfully finished"
# The lines that open each stage of a run.
STAGE_LINES = [
    ("ini", "Download / check product ini"),
    ("list", "Compiling download and replace list"),
    ("download", "Downloading files"),
    ("download", "No downloads needed"),
    ("replace", "Starting file updates"),
    ("delete", "Starting deleting files"),
    ("cleanup", "Remove temporary files..."),
]
# One line per file of a stage, for its pace.
PACED_STEPS = {
    "download": lambda text: text.startswith("Downloading ") and text.endswith(" finished")
    and CLIENT_TYPE not in text,
    "replace": lambda text: text.startswith("add/replace "),
}
GAP_LINE = re.compile(r"bench: longest GUI gap ([\d.]+) ms")
STALL_LINE = re.compile(r"bench: GUI gap ([\d.]+) ms, ([\d.]+) ms of it busy")
LOG_LINE = re.compile(r"^\s*(\d+\.\d+) (.*)$")
MEMORY_LIMIT_MIB = 100
GUI_GAP_LIMIT_MS = 50
RESUME_KILL_AT = 0.9
MIRRORS = 3
# The 2,000 small files at 80 ms want over a hundred requests in flight; HTTP/2 mirrors carry them
# as streams on one connection each, as many as the updater takes without a "streams" key.
# The largest file the updater fetches as an HTTP/2 stream: its read buffer.
HTTP2_LARGEST = 256 * 1024
RELAY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "relay.py")
# release: round trip (ms), rate towards the client (Mbit/s), target over the link's limit for
# mirrors marked http2=true with no "streams" key, and for plain HTTP/1.1 mirrors with
# streams=6 the target and what it is over ("curl -P6" or "link limit").
WAN_LINES = {
    "wan-mixed": (40, 100, 1.5, 1.1, "curl -P6"),
    "wan-4k": (80, 50, 2.0, 1.1, "curl -P6"),
    "wan-huge": (20, 200, 1.15, 1.15, "link limit"),
}
# curl alone on this release must reach this share of the line's rate, or the relay is what is
# measured.
RELAY_CHECK = ("wan-huge", 0.95)

# name: (version, files, smallest, largest, total, compressed). "4k-Nx" are N times the smallest.
PROFILES = {
    "full": {
        "runs": 5,
        "releases": {
            "mixed": (1, 2000, "1KiB", "1MiB", "300MB", False),
            "mixed-gz": (2, 2000, "1KiB", "1MiB", "300MB", True),
            "4k-1x": (3, 1000, "4KiB", "4KiB", None, False),
            "4k-5x": (4, 5000, "4KiB", "4KiB", None, False),
            "4k-20x": (5, 20000, "4KiB", "4KiB", None, False),
            "huge": (6, 1, "2GiB", "2GiB", None, False),
            "huge-gz": (7, 1, "2GiB", "2GiB", None, True),
        },
        # The secondary target for many small files: twice curl + md5sum + cp.
        "targets": {"4k-20x": 2.0},
        # With a release manifest the no-op compares by SHA-256, which these CPUs take at twice
        # the speed of MD5.
        "noop_targets": {"mixed": 0.7},
    },
    "small": {
        "runs": 3,
        "releases": {
            "mixed": (1, 500, "1KiB", "1MiB", "75MB", False),
            "mixed-gz": (2, 500, "1KiB", "1MiB", "75MB", True),
            "4k-1x": (3, 250, "4KiB", "4KiB", None, False),
            "4k-5x": (4, 1250, "4KiB", "4KiB", None, False),
            "4k-20x": (5, 5000, "4KiB", "4KiB", None, False),
            "huge": (6, 1, "256MiB", "256MiB", None, False),
            "huge-gz": (7, 1, "256MiB", "256MiB", None, True),
        },
    },
    # Through bench/relay.py, each release on its own line; see WAN_LINES.
    "wan": {
        "runs": 3,
        "releases": {
            "wan-mixed": (11, 500, "1KiB", "256KiB", None, False),
            "wan-4k": (12, 2000, "4KiB", "4KiB", None, False),
            "wan-huge": (13, 1, "200MB", "200MB", None, False),
        },
    },
}
SEED = 20240611
# gui-gap-patches: two versions of two large files, the second published as binary deltas from
# the first, so that the update applies both patches at once; below the tool's limit for deltas.
PATCH_VERSIONS = (21, 22)
PATCH_FILE_SIZE = 40 * 2**20


class HarnessError(Exception):
    pass


def say(text):
    print(text, flush=True)


def run(command, **kwargs):
    """Runs a command; a failure is a harness failure, with its output."""
    try:
        result = subprocess.run(command, capture_output=True, text=True, **kwargs)
    except subprocess.TimeoutExpired as expired:
        raise HarnessError(f"{' '.join(map(str, command))} did not end within "
                           f"{expired.timeout:.0f} s") from None
    if result.returncode != 0:
        raise HarnessError(f"{' '.join(map(str, command))} failed ({result.returncode}):\n"
                           f"{result.stdout[-2000:]}{result.stderr[-2000:]}")
    return result


class Trash:
    """Deletes trees of many files only after the measurements.

    On ext4 without a journal (the disk of the machine this was written on), a new inode skips
    every inode of its group deleted in the last minute (six while not written back), one by one:
    creating thousands of files just after deleting thousands costs their product, and each run
    would be slowed by the one before. Such trees are moved aside instead, and deleted when the
    measurements are done or when the disk needs the room."""

    FEW = 100

    def __init__(self, directory, budget):
        self.directory = directory
        self.budget = budget
        self.bytes = 0
        self.next = 0
        shutil.rmtree(directory, ignore_errors=True)
        os.makedirs(directory)

    def discard(self, path):
        if not os.path.lexists(path):
            return
        entries, size = 0, 0
        for folder, subfolders, files in os.walk(path):
            entries += len(files) + len(subfolders)
            size += sum(os.lstat(os.path.join(folder, f)).st_size for f in files)
        if entries <= self.FEW:
            shutil.rmtree(path)
            return
        if self.bytes + size > self.budget and self.bytes:
            say(f"bench: deleting {self.bytes // MIB} MiB of earlier runs to make room; "
                "the next runs may be slower for it")
            self.empty()
        os.rename(path, os.path.join(self.directory, str(self.next)))
        self.next += 1
        self.bytes += size

    def empty(self):
        shutil.rmtree(self.directory, ignore_errors=True)
        os.makedirs(self.directory)
        self.bytes = 0


TRASH = None  # the Trash of the run, once there is one


def discard(path):
    if TRASH:
        TRASH.discard(path)
    else:
        shutil.rmtree(path, ignore_errors=True)


def fresh_dir(path):
    discard(path)
    os.makedirs(path)
    return path


def manifest_key_file(key_file):
    """The development manifest key, beside the development RSA key."""
    return os.path.join(os.path.dirname(key_file), "development_manifest_private.pem")


def md5_of(path):
    digest = hashlib.md5()
    with open(path, "rb") as data:
        while chunk := data.read(MIB):
            digest.update(chunk)
    return digest.hexdigest()


# ---------------------------------------------------------------------------------------------
# Releases


class Release:
    def __init__(self, name, shape, mirror_root):
        self.name = name
        (self.version, self.count, smallest, largest, total, self.compressed) = shape
        self.smallest = generate.parse_size(smallest)
        self.largest = generate.parse_size(largest)
        self.total = generate.parse_size(total) if total else None
        self.shape = f"{self.count} x {smallest}" if self.smallest == self.largest else \
            f"{self.count} files, {smallest}-{largest}" + (f", {total}" if total else "")
        if self.compressed:
            self.shape += ", gzip"
        self.mirror_root = mirror_root
        self.entries = []  # (mirror path, md5 on the mirror, installed name, installed md5)
        self.bytes = 0     # installed
        self.mirror_bytes = 0

    def key(self):
        return json.dumps([self.version, self.count, self.smallest, self.largest, self.total,
                           self.compressed, SEED, generate.CHUNK, "manifest"])

    def estimated_bytes(self):
        installed = self.total or self.count * self.largest
        on_mirror = installed * (0.55 if self.compressed else 1.0)
        return installed, on_mirror

    def publish(self, tool, key_file, scratch):
        client = os.path.join(scratch, f"client-{self.name}")
        shutil.rmtree(client, ignore_errors=True)
        generate.generate(client, SEED, self.count, self.smallest, self.largest, self.total)
        changelog = os.path.join(scratch, "changelog.txt")
        with open(changelog, "w") as out:
            out.write(f"Benchmark release {self.name}\n")
        shutil.rmtree(os.path.join(self.mirror_root, str(self.version)), ignore_errors=True)
        command = [tool, "--client-version", str(self.version), "--client-type", CLIENT_TYPE,
                   "--key", key_file, "--manifest-key", manifest_key_file(key_file),
                   "--changelog", changelog]
        if self.compressed:
            command += ["--compress", "*"]
        run(command + [client, self.mirror_root])
        discard(client)

    def read(self):
        """The files from the product ini: sections are mirror directories, keys file names."""
        ini = os.path.join(self.mirror_root, str(self.version), CLIENT_TYPE + ".ini")
        section = None
        with open(ini, encoding="utf-8") as lines:
            for line in lines:
                line = line.strip()
                if line.startswith("[") and line.endswith("]"):
                    section = line[1:-1]
                    continue
                if not line or section == "delete" or "=" not in line:
                    continue
                key, value = line.split("=", 1)
                key = key.replace("\\", "/")
                fields = value.split("::")
                md5, size = fields[0], int(fields[1])
                installed, installed_md5, installed_size = key, md5, size
                if len(fields) >= 5:
                    installed_md5, installed_size, installed = fields[2], int(fields[3]), fields[4]
                self.entries.append((f"{self.version}/{section}/{key}", md5, installed,
                                     installed_md5))
                self.bytes += installed_size
                self.mirror_bytes += size
        if not self.entries:
            raise HarnessError(f"{ini} lists no files")

    def verify_installed(self, root):
        for _, _, installed, md5 in self.entries:
            path = os.path.join(root, installed)
            if not os.path.isfile(path) or md5_of(path) != md5:
                raise HarnessError(f"{self.name}: {installed} is missing or wrong in {root}")


def prepare_releases(releases, build, source, work):
    """Publishes what is not published yet with the same shape and seed."""
    mirror_root = os.path.join(work, "mirror")
    os.makedirs(mirror_root, exist_ok=True)
    stamp_file = os.path.join(work, "releases.json")
    stamps = {}
    if os.path.exists(stamp_file):
        with open(stamp_file) as data:
            stamps = json.load(data)
    tool = os.path.join(build, "tools", "sonavelle-release")
    key_file = os.path.join(source, "keys", "development_private.key")
    for release in releases:
        version_dir = os.path.join(mirror_root, str(release.version))
        if stamps.get(str(release.version)) != release.key() or not os.path.isdir(version_dir):
            started = time.monotonic()
            stamps.pop(str(release.version), None)
            release.publish(tool, key_file, work)
            stamps[str(release.version)] = release.key()
            with open(stamp_file, "w") as out:
                json.dump(stamps, out)
            say(f"bench: published {release.name} ({release.shape}) "
                f"in {time.monotonic() - started:.1f} s")
        release.read()


def plan_for_disk(releases, work):
    """Drops the largest releases until the rest fits on the disk, saying so; returns them and
    the room left for the trees of earlier runs."""
    stamp_file = os.path.join(work, "releases.json")
    stamps = {}
    if os.path.exists(stamp_file):
        with open(stamp_file) as data:
            stamps = json.load(data)
    free = shutil.disk_usage(work).free
    kept = list(releases)
    needed = 0
    while kept:
        # Published ones already take their space; a run needs the installed root, the session
        # or download directory and, while unpacking, the files twice.
        publish = sum(r.estimated_bytes()[1] for r in kept
                      if stamps.get(str(r.version)) != r.key())
        largest = max(r.estimated_bytes()[0] for r in kept)
        needed = publish + 3 * largest + 512 * MIB
        if needed <= free:
            break
        dropped = max(kept, key=lambda r: r.estimated_bytes()[0])
        kept = [r for r in kept if r.estimated_bytes()[0] < dropped.estimated_bytes()[0]]
        say(f"bench: skipping the {dropped.shape} releases: the disk of {work} has "
            f"{free // MIB} MiB free, {needed // MIB} MiB needed")
    return kept, max(0, free - needed)


# ---------------------------------------------------------------------------------------------
# Mirrors


class Nginx:
    """Serves the mirror root on 3 ports, and again on 3 ports at a limited rate per connection;
    with http2, on 3 more that speak only HTTP/2 (with prior knowledge, no TLS)."""

    def __init__(self, work, mirror_root):
        self.work = fresh_dir(os.path.join(work, "nginx"))
        self.mirror_root = mirror_root
        self.process = None
        self.ports = []
        self.limited_ports = []
        self.http2_ports = []
        self.access_log = os.path.join(self.work, "access.log")

    def start(self, limited_rate, http2=False):
        for _ in range(5):
            ports = self.free_ports((3 if http2 else 2) * MIRRORS)
            self.ports, self.limited_ports = ports[:MIRRORS], ports[MIRRORS:2 * MIRRORS]
            self.http2_ports = ports[2 * MIRRORS:]
            self.write_config(limited_rate)
            self.process = subprocess.Popen(
                ["nginx", "-p", self.work, "-e", os.path.join(self.work, "error.log"), "-c",
                 os.path.join(self.work, "nginx.conf")],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if self.wait_listening():
                return
            self.stop()
        raise HarnessError(f"nginx did not start; see {self.work}/error.log")

    @staticmethod
    def free_ports(count):
        sockets = [socket.socket() for _ in range(count)]
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        ports = [s.getsockname()[1] for s in sockets]
        for s in sockets:
            s.close()
        return ports

    def write_config(self, limited_rate):
        w = self.work
        servers = "".join(f"    server {{ listen 127.0.0.1:{p}; root {self.mirror_root}; }}\n"
                          for p in self.ports)
        servers += "".join(f"    server {{ listen 127.0.0.1:{p}; root {self.mirror_root}; "
                           f"limit_rate {limited_rate}; }}\n" for p in self.limited_ports)
        servers += "".join(f"    server {{ listen 127.0.0.1:{p} http2; "
                           f"root {self.mirror_root}; }}\n" for p in self.http2_ports)
        with open(os.path.join(w, "nginx.conf"), "w") as out:
            out.write(f"""daemon off;
master_process off;
worker_processes 1;
pid {w}/nginx.pid;
error_log {w}/error.log;
events {{ worker_connections 1024; }}
http {{
    log_format bench '$server_port $request_uri $status $body_bytes_sent';
    access_log {self.access_log} bench;
    client_body_temp_path {w}/body;
    proxy_temp_path {w}/proxy;
    fastcgi_temp_path {w}/fastcgi;
    uwsgi_temp_path {w}/uwsgi;
    scgi_temp_path {w}/scgi;
    types {{ }}
    default_type application/octet-stream;
    sendfile on;
    keepalive_requests 100000;
{servers}}}
""")

    def wait_listening(self):
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                return False
            try:
                for port in self.ports + self.limited_ports + self.http2_ports:
                    socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                return True
            except OSError:
                time.sleep(0.05)
        return False

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def urls(self, limited=False):
        return [f"http://127.0.0.1:{p}/" for p in (self.limited_ports if limited else self.ports)]

    def log_size(self):
        return os.path.getsize(self.access_log) if os.path.exists(self.access_log) else 0

    def requests_since(self, offset):
        """(port, path, status, bytes sent) of every request logged after offset."""
        with open(self.access_log, "rb") as data:
            data.seek(offset)
            lines = data.read().decode(errors="replace").splitlines()
        result = []
        for line in lines:
            parts = line.split(" ")
            if len(parts) == 4:
                result.append((int(parts[0]), parts[1], int(parts[2]), int(parts[3])))
        return result


# ---------------------------------------------------------------------------------------------
# The updater


class Updater:
    """One application root and its own temporary and home directories. mirror_keys go into
    every mirror's section of mirrors.ini beside its url."""

    def __init__(self, program, place, mirror_urls, probe=False, streams=6, mirror_keys=None):
        self.program = program
        self.probe = probe
        self.place = place
        self.root = os.path.join(place, "root")
        self.tmp = os.path.join(place, "tmp")
        self.home = os.path.join(place, "home")
        self.mirror_urls = mirror_urls
        self.streams = streams
        self.mirror_keys = mirror_keys or {}

    def install_fresh(self):
        for path in (self.root, self.tmp, self.home):
            fresh_dir(path)
        shutil.copy2(self.program, os.path.join(self.root, "update"))
        self.write_mirrors()
        with open(os.path.join(self.root, "update.ini"), "w") as out:
            out.write("[update]\n" if self.streams is None else f"[update]\nstreams={self.streams}\n")
        script = os.path.join(self.root, "vq3client_runscript.sh")
        with open(script, "w") as out:
            out.write("#!/bin/sh\n# The benchmark starts no client.\n")
        os.chmod(script, 0o755)

    def write_mirrors(self):
        """mirrors.ini alone, so that an installed root can be pointed at other mirrors."""
        mirrors = f"[mirrors]\nsize={len(self.mirror_urls)}\n"
        groups = ""
        for i, url in enumerate(self.mirror_urls, 1):
            mirrors += f"{i}\\mirror=m{i}\n"
            groups += f"\n[m{i}]\nurl={url}\n"
            groups += "".join(f"{key}={value}\n" for key, value in self.mirror_keys.items())
        with open(os.path.join(self.root, "mirrors.ini"), "w") as out:
            out.write(mirrors + groups)

    def run(self, version, log_path, timeout, watch=None):
        """Runs one update. watch(), called every few milliseconds, may return True to end the
        program with SIGKILL. Returns the parsed log, or None after such a kill."""
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", QT_FORCE_STDERR_LOGGING="1",
                   QT_MESSAGE_PATTERN="%{time process} %{message}", LC_ALL="C.UTF-8",
                   TMPDIR=self.tmp, HOME=self.home)
        os.sync()  # what earlier runs wrote is not flushed during this one
        with open(log_path, "wb") as log_out, open(log_path, "rb") as log_in:
            process = subprocess.Popen(
                [os.path.join(self.root, "update"), "--nouser", CLIENT_TYPE, str(version)],
                cwd=self.root, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=log_out, start_new_session=True)
            log = UpdaterLog()
            deadline = time.monotonic() + timeout
            try:
                while True:
                    log.feed(log_in.read())
                    if log.has(SUCCESS_LINE) or log.has("Update cancelled"):
                        break
                    if process.poll() is not None:
                        log.feed(log_in.read())
                        break
                    if watch and watch():
                        process.kill()
                        process.wait()
                        return None
                    if time.monotonic() > deadline:
                        raise HarnessError(f"the update did not end within {timeout} s")
                    time.sleep(0.003)
                log.peak_rss_kib = peak_rss_kib(process.pid)
                # A gap line follows the success line at once in the probe build.
                if log.has(SUCCESS_LINE) and self.probe:
                    end = time.monotonic() + 5
                    while log.gap_ms() is None and time.monotonic() < end:
                        time.sleep(0.005)
                        log.feed(log_in.read())
            finally:
                if process.poll() is None:
                    process.terminate()
                    try:
                        process.wait(10)
                    except subprocess.TimeoutExpired:
                        process.kill()
                        process.wait()
        if not log.has(SUCCESS_LINE) or log.time_of(START_LINE) is None \
                or log.time_of(END_LINE) is None:
            tail = "\n".join(text for _, text in log.lines[-30:])
            raise HarnessError(f"the update failed (log {log_path}):\n{tail}")
        return log

    def session_files(self):
        return glob.glob(os.path.join(self.tmp, "sonavelle_temp_*", "**"), recursive=True)


def peak_rss_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


class UpdaterLog:
    """The lines of one run, read as they come; looked up by text in constant time, since it is
    polled every few milliseconds while the updater runs beside it."""

    def __init__(self):
        self.pending = b""
        self.lines = []  # (seconds since the program started or None, text)
        self.first = {}  # text: the time of its first line
        self.longest_gap_ms = None
        self.peak_rss_kib = None

    def feed(self, data):
        self.pending += data
        *complete, self.pending = self.pending.split(b"\n")
        for raw in complete:
            text = raw.decode(errors="replace")
            match = LOG_LINE.match(text)
            at, line = (float(match.group(1)), match.group(2)) if match else (None, text)
            self.lines.append((at, line))
            self.first.setdefault(line, at)
            gap = GAP_LINE.fullmatch(line)
            if gap:
                self.longest_gap_ms = float(gap.group(1))

    def has(self, text):
        return text in self.first

    def time_of(self, text):
        return self.first.get(text)

    def seconds(self):
        return self.time_of(END_LINE) - self.time_of(START_LINE)

    def stages(self):
        """Seconds per stage, from the line that opens it to the one that opens the next."""
        openers = {text: name for name, text in STAGE_LINES}
        marks = [(t, openers[text]) for t, text in self.lines if text in openers]
        marks.append((self.time_of(END_LINE), "end"))
        result = {}
        for (at, name), (following, _) in zip(marks, marks[1:]):
            result[name] = result.get(name, 0.0) + following - at
        return result

    def pace(self, is_step):
        """Milliseconds per step in the first and in the last tenth of the steps: a cost that
        grows with the work done shows as a later tenth slower than the first."""
        times = [t for t, text in self.lines if t is not None and is_step(text)]
        tenth = len(times) // 10
        if tenth < 10:
            return None
        return ((times[tenth] - times[0]) / tenth * 1000,
                (times[-1] - times[-1 - tenth]) / tenth * 1000)

    def paces(self):
        result = {}
        for name, is_step in PACED_STEPS.items():
            pace = self.pace(is_step)
            if pace:
                result[name] = pace
        return result

    def stalls(self):
        """(ms, ms of it busy, what held the thread) for each stall the probe logged: the log
        line after which the thread was silent the longest within the stall."""
        result = []
        for i, (at, text) in enumerate(self.lines):
            match = STALL_LINE.fullmatch(text)
            if not match or at is None:
                continue
            began = at - float(match.group(1)) / 1000
            timed = [(t, line) for t, line in self.lines[:i]
                     if t is not None and not line.startswith("bench:")]
            inside = [(t, line) for t, line in timed if t > began]
            before = [(t, line) for t, line in timed if t <= began][-1:]
            points = before + inside + [(at, "")]
            held = max(zip(points, points[1:]), key=lambda pair: pair[1][0] - pair[0][0],
                       default=((at, ""), (at, "")))[0][1]
            result.append((float(match.group(1)), float(match.group(2)), held))
        return result

    def gap_ms(self):
        return self.longest_gap_ms


# ---------------------------------------------------------------------------------------------
# Baselines


def write_curl_config(release, urls, config, sums=None):
    """A curl config that fetches every file of the release, spread over the mirrors in turn,
    and optionally an md5sum -c list of what it writes."""
    with open(config, "w") as cfg, open(sums or os.devnull, "w") as md5:
        for i, (mirror_path, md5sum, _, _) in enumerate(release.entries):
            local = mirror_path.split("/", 2)[2]  # the key: relative to the root as well
            cfg.write(f'url = "{urls[i % len(urls)]}{mirror_path}"\noutput = "{local}"\n')
            md5.write(f"{md5sum}  {local}\n")


def baseline_whole(release, nginx, place):
    """curl --parallel over the same URLs, md5sum -c, cp -r (and gunzip); seconds per step."""
    download = fresh_dir(os.path.join(place, "download"))
    root = fresh_dir(os.path.join(place, "root"))
    config = os.path.join(place, "curl.cfg")
    sums = os.path.join(place, "md5sums")
    write_curl_config(release, nginx.urls(), config, sums)
    steps = [
        ("curl", ["curl", "--parallel", "--parallel-max", "6", "--fail", "--silent",
                  "--show-error", "--create-dirs", "--config", config]),
        ("md5sum -c", ["md5sum", "-c", "--quiet", sums]),
        ("cp -r", ["cp", "-r", download + "/.", root]),
    ]
    if release.compressed:
        steps.append(("gunzip", ["sh", "-c", 'find "$1" -name "*.gz" -print0 | xargs -0 -r gunzip',
                                 "sh", root]))
    os.sync()
    seconds = {}
    for name, command in steps:
        started = time.monotonic()
        run(command, cwd=download)
        seconds[name] = time.monotonic() - started
    discard(download)
    discard(root)
    return seconds


def baseline_hash(release, root, parallel):
    """md5sum over the installed files, in one stream or on both cores."""
    names = os.path.join(os.path.dirname(root), "installed-names")
    with open(names, "wb") as out:
        for _, _, installed, _ in release.entries:
            out.write(installed.encode() + b"\0")
    command = ["xargs", "-0", "-a", names]
    if parallel:
        # Enough batches to keep both cores busy to the end, few enough to cost little.
        command += ["-P2", "-n", str(max(1, math.ceil(len(release.entries) / 16)))]
    started = time.monotonic()
    result = subprocess.run(command + ["md5sum"], cwd=root, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    elapsed = time.monotonic() - started
    if result.returncode != 0:
        raise HarnessError(f"md5sum over {root} failed: {result.stderr[-2000:]}")
    return elapsed


# ---------------------------------------------------------------------------------------------
# Wide-area scenarios


class Relay:
    """bench/relay.py in front of the mirrors, one line shared by all its ports. An upstream is a
    port, or "PLAIN,HTTP2" for an address that answers both."""

    def __init__(self, rtt_ms, mbit, upstreams, log_path):
        self.log = open(log_path, "w")
        self.process = subprocess.Popen(
            [sys.executable, RELAY, "--rtt-ms", str(rtt_ms), "--mbit", str(mbit)] + upstreams,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.log, text=True, bufsize=1)
        self.ports = self.answer()["ports"]

    def urls(self):
        return [f"http://127.0.0.1:{p}/" for p in self.ports]

    def answer(self, timeout=10):
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        line = self.process.stdout.readline() if ready else ""
        if not line:
            raise HarnessError(f"the relay did not answer; see {self.log.name}")
        return json.loads(line)

    def ask(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        return self.answer()

    def measure(self, action):
        """Runs action() on a quiet relay; returns its result or the HarnessError it raised,
        and, for what it did, the most connections open at once and those accepted per port,
        the bytes sent towards the clients, and the relay's CPU seconds and the wall seconds."""
        # A client that was just ended may have connections still closing.
        deadline = time.monotonic() + 10
        while any(p["open"] for p in self.ask("open")["ports"]):
            if time.monotonic() > deadline:
                raise HarnessError("connections through the relay stay open after their client "
                                   "ended")
            time.sleep(0.01)
        before = self.ask("stats")
        started = time.monotonic()
        try:
            result = action()
        except HarnessError as error:
            result = error
        wall = time.monotonic() - started
        after = self.ask("stats")
        return result, {key: [p[key] for p in after["ports"]]
                        for key in ("most", "accepted", "most_http2", "accepted_http2")} | {
                        "sent": after["sent"] - before["sent"],
                        "cpu": after["cpu"] - before["cpu"], "wall": wall}

    def stop(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


class WanClient:
    """What one client did in one scenario over the runs."""

    def __init__(self, name, ports, http2=False):
        self.name = name
        self.ports = ports  # the relay's ports it was given, as indexes
        self.http2 = http2  # given mirrors that answer HTTP/2 as well
        self.times = []
        self.rss_mib = []
        self.failures = []
        self.most = []      # per run, per mirror
        self.accepted = []
        self.accepted_http2 = []
        self.busy = []      # share of its time the line carried bytes, per run
        self.cpu = []       # share of a core the relay used in that time, per run

    def record(self, seconds, counts, rate):
        """seconds is None for a failed run, whose connections still count. The updater's
        time leaves out the fixed delays of its start, when nothing goes through the relay."""
        if seconds is not None:
            self.times.append(seconds)
            self.busy.append(counts["sent"] / rate / seconds)
        self.most.append([counts["most"][i] for i in self.ports])
        self.accepted.append([counts["accepted"][i] for i in self.ports])
        self.accepted_http2.append([counts["accepted_http2"][i] for i in self.ports])
        self.cpu.append(counts["cpu"] / (seconds or counts["wall"]))


class WanResult:
    def __init__(self, release, rtt_ms, mbit):
        self.release = release
        self.rtt_ms = rtt_ms
        self.mbit = mbit
        self.rate = mbit * 1e6 / 8
        self.limit = release.mirror_bytes / self.rate + rtt_ms / 1000
        self.clients = []
        self.targets = {}  # client name: (target, over what)


def baseline_curl(release, urls, place, parallel, timeout):
    """curl --parallel over plain HTTP/1.1, the files spread over the mirrors; seconds."""
    download = fresh_dir(os.path.join(place, "download"))
    config = os.path.join(place, "curl.cfg")
    write_curl_config(release, urls, config)
    os.sync()
    started = time.monotonic()
    run(["curl", "--http1.1", "--parallel", "--parallel-max", str(parallel), "--fail", "--silent",
         "--show-error", "--create-dirs", "--config", config], cwd=download, timeout=timeout)
    seconds = time.monotonic() - started
    return seconds, download


def verify_download(release, download):
    for mirror_path, md5, _, _ in release.entries:
        path = os.path.join(download, mirror_path.split("/", 2)[2])
        if not os.path.isfile(path) or md5_of(path) != md5:
            raise HarnessError(f"{release.name}: curl through the relay got {path} wrong")

# ---------------------------------------------------------------------------------------------
# Results


class Row:
    def __init__(self, name, baseline_name="", unit="s"):
        self.name = name
        self.baseline_name = baseline_name
        self.unit = unit
        self.updater = []
        self.baseline = []
        self.rss_mib = []
        self.stages = []
        self.paces = []
        self.baseline_steps = []
        self.target = None
        self.strict = False
        self.ratio_override = None
        self.note = ""
        self.failures = []  # a line for each run that failed

    def ratio(self):
        if self.ratio_override is not None:
            return self.ratio_override
        if not self.updater or not self.baseline:
            return None
        return statistics.median(self.updater) / statistics.median(self.baseline)


def spread(values, unit, digits=3):
    if not values:
        return "-"

    def fmt(v):
        return f"{v:.{digits}g}" if v < 100 else f"{v:.0f}"
    median = statistics.median(values)
    suffix = f" {unit}" if unit else ""
    if len(values) == 1:
        return f"{fmt(median)}{suffix}"
    return f"{fmt(median)}{suffix} [{fmt(min(values))}–{fmt(max(values))}]"


def updater_cell(row):
    if not row.failures:
        return spread(row.updater, row.unit)
    failed = f"FAILED {len(row.failures)} of {len(row.failures) + len(row.updater)}"
    return f"{spread(row.updater, row.unit)}, {failed}" if row.updater else failed


def connections_cell(client, http2):
    """Per mirror, the most connections open at once and, in brackets, those accepted and, for
    mirrors that answer HTTP/2, how many of them spoke it: the largest of the runs."""
    if not client.most:
        return "-"

    def largest(runs):
        return [max(run[m] for run in runs) for m in range(len(runs[0]))]
    cells = [f"{most} ({accepted}" for most, accepted in
             zip(largest(client.most), largest(client.accepted))]
    if http2:
        cells = [f"{cell}, {h2} HTTP/2" for cell, h2 in zip(cells, largest(client.accepted_http2))]
    return " / ".join(f"{cell})" for cell in cells)


def print_wan(results):
    say("Wide-area scenarios, through bench/relay.py; link limit = bytes ÷ rate + one round trip; "
        "medians:")
    say("")
    say("| scenario | link | client | time | ÷ curl -P6 | ÷ link limit | target | peak RSS "
        "| connections per mirror: most at once (accepted) | line busy | relay CPU |")
    say("|---|---|---|---|---|---|---|---|---|---|---|")
    for result in results:
        release = result.release
        curl6 = statistics.median(result.clients[0].times)
        link = (f"{result.rtt_ms} ms, {result.mbit} Mbit/s; {release.count} "
                f"file{'s' if release.count != 1 else ''}, {release.mirror_bytes / 1e6:.1f} MB")
        say(f"| {release.name} | {link} | link limit | {result.limit:.3g} s | "
            f"{result.limit / curl6:.2f} | 1.00 | | | | | |")
        for client in result.clients:
            if client.times:
                time_cell = spread(client.times, "s")
                median = statistics.median(client.times)
                over_curl = f"{median / curl6:.2f}"
                over_limit = f"{median / result.limit:.2f}"
            else:
                time_cell, over_curl, over_limit = "", "-", "-"
            if client.failures:
                failed = f"FAILED {len(client.failures)} of " \
                         f"{len(client.failures) + len(client.times)}"
                time_cell = f"{time_cell}, {failed}" if time_cell else failed
            target = ""
            if client.name in result.targets:
                value, over = result.targets[client.name]
                target = f"≤ {value:.2f} × {over}"
                if client.times:
                    base = curl6 if over == "curl -P6" else result.limit
                    target += " ok" if statistics.median(client.times) / base <= value \
                        else " over"
            rss = spread(client.rss_mib, "MiB") if client.rss_mib else "-"
            busy = f"{statistics.median(client.busy):.0%}" if client.times else "-"
            cpu = f"{max(client.cpu):.0%}" if client.cpu else "-"
            say(f"| {release.name} | | {client.name} | {time_cell} | {over_curl} | {over_limit} "
                f"| {target} | {rss} | {connections_cell(client, client.http2)} | {busy} "
                f"| {cpu} |")
    say("")
    say("line busy: the share of the client's time the line carried bytes to it (median); "
        "relay CPU: the relay's CPU time over the client's time (largest of the runs).")
    say("")


def print_report(rows, releases, profile, runs, started, load_at_start, wan_results=()):
    say("")
    say(f"Profile {profile}, {runs} runs each, medians with [min–max]; "
        f"{time.monotonic() - started:.0f} s in all.")
    say("Releases: " + "; ".join(f"{r.name} = {r.shape}" for r in releases))
    say(f"Machine: {os.cpu_count()} cores, load average {load_at_start:.2f} at the start, "
        f"{os.getloadavg()[0]:.2f} at the end.")
    say("")
    say("| scenario | updater | baseline | baseline time | ratio | peak RSS |")
    say("|---|---|---|---|---|---|")
    for row in rows:
        ratio = row.ratio()
        say(f"| {row.name} | {updater_cell(row)} | {row.baseline_name} | "
            f"{spread(row.baseline, row.unit)} | {'-' if ratio is None else f'{ratio:.2f}'} | "
            f"{spread(row.rss_mib, 'MiB') if row.rss_mib else '-'} |")
    say("")
    if wan_results:
        print_wan(wan_results)
    stage_rows = [r for r in rows if r.stages]
    if stage_rows:
        names = ["ini", "list", "download", "replace", "delete", "cleanup"]
        say("Updater stages, median seconds (from its log lines); baseline steps, median seconds:")
        say("")
        say("| scenario | " + " | ".join(names) + " | baseline steps |")
        say("|---|" + "---|" * (len(names) + 1))
        for row in stage_rows:
            cells = [f"{statistics.median(s.get(n, 0.0) for s in row.stages):.3f}" for n in names]
            steps = ""
            if row.baseline_steps:
                keys = row.baseline_steps[0].keys()
                steps = ", ".join(f"{k} {statistics.median(s[k] for s in row.baseline_steps):.3f}"
                                  for k in keys)
            say(f"| {row.name} | " + " | ".join(cells) + f" | {steps} |")
        say("")
    for row in rows:
        if row.note:
            say(f"{row.name}: {row.note}")
        paces = []
        for step in PACED_STEPS:
            found = [p[step] for p in row.paces if step in p]
            if found:
                first = statistics.median(f for f, _ in found)
                last = statistics.median(l for _, l in found)
                paces.append(f"{step} {first:.3f} -> {last:.3f}")
        if paces:
            say(f"{row.name}: ms per file in the first -> last tenth of the run: "
                + ", ".join(paces))
    say("")
    for row in rows:
        ratio = row.ratio()
        if row.target is None:
            continue
        if row.failures:
            shown = "-" if ratio is None else f"{ratio:.2f}"
            say(f"bench {row.name} ratio={shown} target={row.target:.2f} failed")
            continue
        if ratio is None:
            continue
        ok = ratio < row.target if row.strict else ratio <= row.target
        say(f"bench {row.name} ratio={ratio:.2f} target={row.target:.2f} "
            f"{'ok' if ok else 'over'}")


# ---------------------------------------------------------------------------------------------
# Scenarios


class Bench:
    def __init__(self, args):
        self.args = args
        self.profile = PROFILES[args.size]
        self.runs = args.runs or self.profile["runs"]
        self.work = args.work
        self.logs = fresh_dir(os.path.join(self.work, "logs"))
        self.rows = []
        self.releases = {}
        self.nginx = None
        self.update = os.path.join(args.build, "update")
        self.probes = os.path.join(args.build, "update-probes")

    def timeout(self, release):
        return 120 + release.bytes / (2 * MIB)

    def updater(self, probe=False, limited=False):
        return Updater(self.probes if probe else self.update, os.path.join(self.work, "run"),
                       self.nginx.urls(limited), probe)

    def log_path(self, name, i):
        return os.path.join(self.logs, f"{name}-{i + 1}.log")

    def whole_and_noop(self, release):
        whole = Row(f"whole-{release.name}", "curl + md5sum -c + cp -r" +
                    (" + gunzip" if release.compressed else ""))
        whole.target = self.profile.get("targets", {}).get(release.name, 1.0)
        updater = self.updater()
        place = os.path.join(self.work, "baseline")
        for i in range(self.runs):
            updater.install_fresh()
            log = updater.run(release.version, self.log_path(whole.name, i),
                              self.timeout(release))
            if i == 0:
                release.verify_installed(updater.root)
            whole.updater.append(log.seconds())
            whole.stages.append(log.stages())
            whole.paces.append(log.paces())
            whole.rss_mib.append(log.peak_rss_kib / 1024)
            steps = baseline_whole(release, self.nginx, fresh_dir(place))
            whole.baseline.append(sum(steps.values()))
            whole.baseline_steps.append(steps)
            say(f"bench: {whole.name} run {i + 1}: updater {whole.updater[-1]:.3f} s, "
                f"baseline {whole.baseline[-1]:.3f} s, peak RSS {whole.rss_mib[-1]:.0f} MiB")
        self.rows.append(whole)
        if release.compressed or release.count == 1:
            return whole, None
        # No-op: the installed root of the last run is current; the updater only checks it.
        noop = Row(f"noop-{release.name}", "xargs -P2 md5sum")
        single = Row(f"noop-{release.name}", "md5sum")
        for i in range(self.runs):
            log = updater.run(release.version, self.log_path(noop.name, i),
                              self.timeout(release))
            if not log.has("No downloads needed"):
                raise HarnessError(f"{noop.name}: the no-op run downloaded files")
            noop.updater.append(log.seconds())
            noop.stages.append(log.stages())
            noop.rss_mib.append(log.peak_rss_kib / 1024)
            noop.baseline.append(baseline_hash(release, updater.root, parallel=True))
            single.updater.append(log.seconds())
            single.baseline.append(baseline_hash(release, updater.root, parallel=False))
            say(f"bench: {noop.name} run {i + 1}: updater {noop.updater[-1]:.3f} s, "
                f"xargs -P2 md5sum {noop.baseline[-1]:.3f} s, md5sum {single.baseline[-1]:.3f} s")
        if release.name == "mixed":
            noop.target = self.profile.get("noop_targets", {}).get(release.name, 1.10)
        self.rows += [noop, single]
        return whole, noop

    def growth(self, rows_by_release, kind):
        small, large = self.releases.get("4k-1x"), self.releases.get("4k-20x")
        if not small or not large:
            return
        a, b = rows_by_release["4k-1x"], rows_by_release["4k-20x"]
        per_small = statistics.median(a.updater) / small.count * 1000
        per_large = statistics.median(b.updater) / large.count * 1000
        row = Row(f"growth-{kind}", f"per file at {small.count} files", unit="ms/file")
        row.updater = [per_large]
        row.baseline = [per_small]
        row.target = 1.2
        stage_notes = []
        for stage in ("download", "replace", "list"):
            s = statistics.median(x.get(stage, 0.0) for x in a.stages) / small.count * 1000
            t = statistics.median(x.get(stage, 0.0) for x in b.stages) / large.count * 1000
            if s > 0 or t > 0:
                stage_notes.append(f"{stage} {s:.3f} -> {t:.3f} ms/file")
        row.note = (f"{small.count} -> {large.count} files: " + ", ".join(stage_notes))
        self.rows.append(row)

    def memory(self, row, release):
        if row is None:
            return
        memory = Row(f"memory-{release.name}", f"limit {MEMORY_LIMIT_MIB} MiB", unit="MiB")
        memory.updater = [max(row.rss_mib)]
        memory.baseline = [MEMORY_LIMIT_MIB]
        memory.target = 1.0
        memory.note = "largest peak RSS of the whole-update runs"
        self.rows.append(memory)

    def publish_patched_pair(self):
        """Publishes the old version of the patch scenario whole and the new one with deltas."""
        trees = fresh_dir(os.path.join(self.work, "patch-trees"))
        old, new = os.path.join(trees, "old"), os.path.join(trees, "new")
        generate.generate(old, SEED, 2, PATCH_FILE_SIZE, PATCH_FILE_SIZE)
        shutil.copytree(old, new)
        rng = random.Random(SEED)
        changed = [path for path in glob.glob(os.path.join(new, "**"), recursive=True)
                   if os.path.isfile(path)]
        for path in sorted(changed):
            with open(path, "r+b") as out:
                for _ in range(16):
                    out.seek(rng.randrange(PATCH_FILE_SIZE - 4096))
                    out.write(rng.randbytes(4096))
        changelog = os.path.join(trees, "changelog.txt")
        with open(changelog, "w") as out:
            out.write("Benchmark release of two patched files\n")
        tool = os.path.join(self.args.build, "tools", "sonavelle-release")
        key_file = os.path.join(self.args.source, "keys", "development_private.key")
        mirror_root = os.path.join(self.work, "mirror")
        old_version, new_version = PATCH_VERSIONS
        for version, tree, extra in ((old_version, old, []),
                                     (new_version, new, ["--delta-from", str(old_version)])):
            shutil.rmtree(os.path.join(mirror_root, str(version)), ignore_errors=True)
            run([tool, "--client-version", str(version), "--client-type", CLIENT_TYPE,
                 "--key", key_file, "--manifest-key", manifest_key_file(key_file),
                 "--changelog", changelog] + extra + [tree, mirror_root])
        discard(trees)

    def gui_gap_patches(self):
        """The GUI thread while two large patches are applied at once."""
        self.publish_patched_pair()
        row = Row("gui-gap-patches", f"limit {GUI_GAP_LIMIT_MS} ms", unit="ms")
        row.target = 1.0
        row.strict = True
        row.note = f"two patches of {PATCH_FILE_SIZE // MIB} MiB files applied at once"
        updater = self.updater(probe=True)
        timeout = 120 + 2 * PATCH_FILE_SIZE / (2 * MIB)
        for i in range(self.runs):
            updater.install_fresh()
            updater.run(PATCH_VERSIONS[0], self.log_path("patch-base", i), timeout)
            log = updater.run(PATCH_VERSIONS[1], self.log_path(row.name, i), timeout)
            if not any(line.startswith("Downloading patches/") for _, line in log.lines):
                raise HarnessError(f"{row.name}: the update fetched no patch")
            gap = log.gap_ms()
            if gap is None:
                raise HarnessError(f"{row.name}: update-probes logged no GUI gap")
            row.updater.append(gap)
            row.baseline.append(GUI_GAP_LIMIT_MS)
            row.rss_mib.append(log.peak_rss_kib / 1024)
            say(f"bench: {row.name} run {i + 1}: longest GUI gap {gap:.1f} ms "
                f"(update {log.seconds():.3f} s)")
        self.rows.append(row)

    def gui_gap(self, release):
        row = Row(f"gui-gap-{release.name}", f"limit {GUI_GAP_LIMIT_MS} ms", unit="ms")
        row.target = 1.0
        row.strict = True
        updater = self.updater(probe=True)
        stalls = []
        for i in range(self.runs):
            updater.install_fresh()
            log = updater.run(release.version, self.log_path(row.name, i), self.timeout(release))
            gap = log.gap_ms()
            if gap is None:
                raise HarnessError(f"{row.name}: update-probes logged no GUI gap")
            row.updater.append(gap)
            row.baseline.append(GUI_GAP_LIMIT_MS)
            stalls += log.stalls()
            row.rss_mib.append(log.peak_rss_kib / 1024)
            say(f"bench: {row.name} run {i + 1}: longest GUI gap {gap:.1f} ms "
                f"(update {log.seconds():.3f} s)")
        if stalls:
            # What the thread was doing: the line before each stall, numbers left out.
            kinds = {}
            for ms, busy, before in stalls:
                kind = re.sub(r"\d+", "#", before)
                kinds[kind] = max(kinds.get(kind, (0.0, 0.0)), (ms, busy))
            worst = sorted(kinds.items(), key=lambda item: -item[1][0])[:3]
            row.note = (f"{len(stalls)} stalls of {GUI_GAP_LIMIT_MS} ms or more in {self.runs} "
                        "runs; the longest after: " + "; ".join(
                            f"\"{kind}\" ({ms:.0f} ms, {busy:.0f} ms of it busy)"
                            for kind, (ms, busy) in worst))
        self.rows.append(row)

    def resume(self, release):
        """SIGKILL at 90 % of the one large file, then count what the next run fetches of it."""
        row = Row(f"resume-{release.name}", "file size", unit="MiB")
        row.target = 0.15
        size = release.mirror_bytes
        mirror_path = "/" + release.entries[0][0]
        name = os.path.basename(mirror_path)
        fractions = []
        updater = self.updater(limited=True)
        for i in range(self.runs):
            updater.install_fresh()

            def arrived():
                for path in updater.session_files():
                    if os.path.basename(path) == name and os.path.isfile(path):
                        try:
                            return os.path.getsize(path) >= RESUME_KILL_AT * size
                        except OSError:
                            return False
                return False

            before = self.nginx.log_size()
            if updater.run(release.version, self.log_path(row.name + "-killed", i),
                           self.timeout(release), watch=arrived) is not None:
                raise HarnessError(f"{row.name}: the update ended before "
                                   f"{RESUME_KILL_AT:.0%} of the file had arrived")
            # nginx logs the cut transfer once it notices the closed connection.
            deadline = time.monotonic() + 10
            while not any(path == mirror_path
                          for _, path, _, _ in self.nginx.requests_since(before)):
                if time.monotonic() > deadline:
                    raise HarnessError(f"{row.name}: nginx did not log the cut transfer")
                time.sleep(0.02)
            offset = self.nginx.log_size()
            log = updater.run(release.version, self.log_path(row.name, i), self.timeout(release))
            if i == 0:
                release.verify_installed(updater.root)
            fetched = sum(sent for _, path, _, sent in self.nginx.requests_since(offset)
                          if path == mirror_path)
            fractions.append(fetched / size)
            row.updater.append(fetched / MIB)
            row.baseline.append(size / MIB)
            row.rss_mib.append(log.peak_rss_kib / 1024)
            say(f"bench: {row.name} run {i + 1}: the next run fetched {fetched / MIB:.1f} MiB "
                f"of {size / MIB:.0f} MiB ({fetched / size:.0%})")
        row.ratio_override = statistics.median(fractions)
        row.note = f"killed at {RESUME_KILL_AT:.0%}; ratio = share of the file fetched again"
        self.rows.append(row)

    def wan(self, release):
        """The curls and both updater variants through one relay with the release's line."""
        rtt_ms, mbit, http2_target, http1_target, http1_over = WAN_LINES[release.name]
        result = WanResult(release, rtt_ms, mbit)
        # Plain mirrors, then the same mirrors answering both HTTP/2 and HTTP/1.1 on one address.
        upstreams = [str(p) for p in self.nginx.ports] + [
            f"{plain},{http2}" for plain, http2 in zip(self.nginx.ports, self.nginx.http2_ports)]
        relay = Relay(rtt_ms, mbit, upstreams,
                      os.path.join(self.logs, f"relay-{release.name}.log"))
        try:
            self.wan_runs(result, relay, (http2_target, http1_target, http1_over))
        finally:
            relay.stop()
        return result

    def wan_runs(self, result, relay, targets):
        http2_target, http1_target, http1_over = targets
        release = result.release
        urls = relay.urls()
        plain, http2 = urls[:MIRRORS], urls[MIRRORS:]
        place = os.path.join(self.work, "baseline")
        curls = [(WanClient(f"curl -P{n}", range(MIRRORS)), n) for n in (6, 32)]
        first = WanClient("update, HTTP/1.1, streams=6", range(MIRRORS))
        second = WanClient("update, http2=true, no streams key",
                           range(MIRRORS, 2 * MIRRORS), http2=True)
        run_dir = os.path.join(self.work, "run")
        first_row = Row(f"{release.name}-http1", http1_over)
        first_row.target = http1_target
        second_row = Row(f"{release.name}-http2", "link limit")
        second_row.target = http2_target
        updaters = [
            (first, Updater(self.update, run_dir, plain, streams=6), first_row),
            (second, Updater(self.update, run_dir, http2, streams=None,
                             mirror_keys={"http2": "true"}), second_row),
        ]
        result.clients = [c for c, _ in curls] + [first, second]
        result.targets = {first.name: (http1_target, http1_over),
                          second.name: (http2_target, "link limit")}
        curl_timeout = 60 + 20 * result.limit
        verified = set()
        without_http2 = 0
        for i in range(self.runs):
            done = []
            for client, parallel in curls:
                fresh_dir(place)
                outcome, counts = relay.measure(lambda: baseline_curl(
                    release, plain, place, parallel, curl_timeout))
                if isinstance(outcome, HarnessError):
                    raise outcome
                seconds, download = outcome
                if i == 0:
                    verify_download(release, download)
                discard(download)
                client.record(seconds, counts, result.rate)
                done.append(f"{client.name} {seconds:.3f} s")
            # Room for an updater several times slower than curl, not for one that hangs.
            timeout = 120 + 10 * max(result.limit, statistics.median(curls[0][0].times))
            for client, updater, row in updaters:
                updater.install_fresh()
                log_path = self.log_path(row.name, i)
                log, counts = relay.measure(
                    lambda: updater.run(release.version, log_path, timeout))
                if client.http2 and not isinstance(log, HarnessError) and \
                        not any(counts["accepted_http2"][m] for m in client.ports):
                    # Its mirrors answer HTTP/1.1 as well, so such a run succeeds: say so.
                    without_http2 += 1
                if isinstance(log, HarnessError):
                    client.record(None, counts, result.rate)
                    client.failures.append(str(log))
                    row.failures.append(str(log))
                    done.append(f"{client.name} FAILED (log {log_path})")
                    continue
                if row.name not in verified:
                    release.verify_installed(updater.root)
                    verified.add(row.name)
                client.record(log.seconds(), counts, result.rate)
                client.rss_mib.append(log.peak_rss_kib / 1024)
                row.updater.append(log.seconds())
                row.stages.append(log.stages())
                row.paces.append(log.paces())
                row.rss_mib.append(client.rss_mib[-1])
                done.append(f"{client.name} {log.seconds():.3f} s")
            say(f"bench: {release.name} run {i + 1}: " + ", ".join(done))
        first_row.baseline = list(curls[0][0].times) if http1_over == "curl -P6" \
            else [result.limit]
        second_row.baseline = [result.limit]
        for row in (first_row, second_row):
            if row.failures:
                # The updater's last word says why; Qt's offscreen plugin adds noise after it.
                lines = row.failures[0].splitlines()
                said = [line.strip() for line in lines[1:] if line.strip()
                        and "propagateSizeHints" not in line and "Update cancelled" not in line]
                row.note = (f"{len(row.failures)} of {self.runs} runs FAILED; the first: "
                            + lines[0].rstrip(":") + (f": \"{said[-1]}\"" if said else ""))
        if without_http2 and release.largest <= HTTP2_LARGEST:
            # Such files all travel as HTTP/2 streams; without one, HTTP/2 is broken.
            raise HarnessError(f"{release.name}: {without_http2} of {self.runs} runs of the "
                               "http2=true variant opened no HTTP/2 connection")
        if without_http2:
            second_row.note = ((second_row.note + "; ") if second_row.note else "") + (
                f"{without_http2} of {self.runs} runs opened no HTTP/2 connection")
        self.rows += [first_row, second_row]
        rss = first.rss_mib + second.rss_mib
        if rss:
            memory = Row(f"memory-{release.name}", f"limit {MEMORY_LIMIT_MIB} MiB", unit="MiB")
            memory.updater = [max(rss)]
            memory.baseline = [MEMORY_LIMIT_MIB]
            memory.target = 1.0
            memory.note = "largest peak RSS of both updater variants"
            self.rows.append(memory)
        if release.name == RELAY_CHECK[0]:
            check = Row("wan-relay", "link limit")
            check.updater = list(curls[0][0].times)
            check.baseline = [result.limit]
            check.target = 1 / RELAY_CHECK[1]
            check.note = (f"curl -P6 through the relay over the link's limit: curl must reach "
                          f"{RELAY_CHECK[1]:.0%} of the line's rate, or the relay is the "
                          "bottleneck")
            self.rows.append(check)

    def run(self):
        started = time.monotonic()
        load_at_start = os.getloadavg()[0]
        for path in (self.update, self.probes):
            if not os.access(path, os.X_OK):
                raise HarnessError(f"{path} is missing; scripts/bench builds it")
        mirror_root = os.path.join(self.work, "mirror")
        releases = [Release(name, shape, mirror_root)
                    for name, shape in self.profile["releases"].items()]
        if self.args.only:
            wanted = self.args.only.split(",")
            unknown = set(wanted) - {r.name for r in releases}
            if unknown:
                raise HarnessError(f"no release named {', '.join(sorted(unknown))}")
            releases = [r for r in releases if r.name in wanted]
        releases, room = plan_for_disk(releases, self.work)
        global TRASH
        TRASH = Trash(os.path.join(self.work, "trash"), room)
        prepare_releases(releases, self.args.build, self.args.source, self.work)
        self.releases = {r.name: r for r in releases}

        huge = self.releases.get("huge")
        # The resume run's mirrors need about three seconds for the large file.
        limited_rate = max(1, (huge.mirror_bytes if huge else MIB) // 3)
        wan = self.args.size == "wan"
        self.nginx = Nginx(self.work, mirror_root)
        self.nginx.start(limited_rate, http2=wan)
        wan_results = []
        try:
            if wan:
                wan_results = [self.wan(release) for release in releases]
            else:
                self.local(releases)
        finally:
            self.nginx.stop()
            for place in ("run", "baseline", "trash"):
                shutil.rmtree(os.path.join(self.work, place), ignore_errors=True)
        print_report(self.rows, releases, self.args.size, self.runs, started, load_at_start,
                     wan_results)
        return self.failed_runs()

    def local(self, releases):
        """The scenarios of small and full, straight from the mirrors on loopback."""
        whole_rows, noop_rows = {}, {}
        for release in releases:
            whole_rows[release.name], noop_rows[release.name] = self.whole_and_noop(release)
        self.growth(whole_rows, "whole")
        self.growth(noop_rows, "noop")
        for name in ("4k-20x", "huge", "huge-gz"):
            if name in self.releases:
                self.memory(whole_rows[name], self.releases[name])
        if "mixed" in self.releases:
            self.gui_gap(self.releases["mixed"])
            self.gui_gap_patches()
        if "huge" in self.releases:
            self.resume(self.releases["huge"])

    def failed_runs(self):
        failed = [(row.name, len(row.failures)) for row in self.rows if row.failures]
        if failed:
            say("")
            say("bench: updater runs FAILED: " + ", ".join(
                f"{name} ({count} of {self.runs})" for name, count in failed)
                + f"; their logs are in {self.logs}")
        return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("size", choices=sorted(PROFILES), nargs="?", default="small")
    parser.add_argument("--build", required=True, help="build directory with update, "
                        "update-probes and tools/sonavelle-release")
    parser.add_argument("--source", default=os.path.dirname(os.path.dirname(
        os.path.abspath(__file__))), help="source tree (for the development key)")
    parser.add_argument("--work", required=True, help="scratch directory")
    parser.add_argument("--runs", type=int, help="runs per scenario (default: by size)")
    parser.add_argument("--only", help="these releases only, comma-separated: "
                        + ",".join(PROFILES["full"]["releases"]) + " (small, full); "
                        + ",".join(PROFILES["wan"]["releases"]) + " (wan)")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    args.work = os.path.abspath(args.work)
    os.makedirs(args.work, exist_ok=True)
    try:
        return Bench(args).run()
    except HarnessError as error:
        print(f"bench: harness failure: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(main())
