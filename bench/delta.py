#!/usr/bin/env python3
"""A realistic update over a wide-area line, by whole files and by binary deltas; see
bench/README.md ("Binary deltas").

Run through `scripts/bench delta`, which builds the updater and the release tool. This builds the
updater of two commits of the repository once each (cached below --work/builds, by commit id),
makes the client tree of an old and a new version around them, publishes the old version, the new
one by whole files and the new one again with deltas from the old, and measures the update from
the old to each new one through bench/relay.py.
"""

import argparse
import hashlib
import json
import os
import re
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tarfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import bench  # noqa: E402
import generate  # noqa: E402
from bench import CLIENT_TYPE, MIB, HarnessError, run, say  # noqa: E402

# The programs inside the client trees: the updater as it was at a commit 29 commits before the
# manifest's patch records, and at that commit. Fixed rather than taken from HEAD, so that the
# figures stay comparable as the history grows and the builds stay cached.
OLD_COMMIT = "32961290d10b673e0b07b18e4d91352974056976"  # 3296129, moves into place by rename
NEW_COMMIT = "c5367b1d03a7a75d1111a75ec9e35c8a9c537c68"  # c5367b1, manifest patch records
# Where a clone lacks them and cannot fetch them: this far back from HEAD, and HEAD.
FALLBACK_DISTANCE = 30
BUILD_TYPE = "Release"

VERSION_OLD, VERSION_FILES, VERSION_DELTA = 21, 22, 23
RTT_MS, MBIT = 40, 50
BYTES_TARGET, TIME_TARGET, MEMORY_TARGET = 0.30, 0.40, 1.0
# Patches are applied at least this fast, in MB of output per second.
APPLY_TARGET_MBPS = 200

# Libraries the client ships unchanged in both versions: real ones, as found beside the updater.
LIBRARIES = ["libQt6Core.so.6", "libQt6Network.so.6", "libQt6Gui.so.6", "libQt6Widgets.so.6"]
# Data of the client: MiB, and what the new version does to it.
DATA = {
    "data/maps/harbor.pak": (6, ("edits",)),
    "data/maps/canyon.pak": (5, ("insertion",)),
    "data/maps/island.pak": (2, ("new",)),
    "data/sounds/voice.bank": (4, ()),
    "data/sounds/ui.bank": (3, ("edits",)),
    "data/textures/atlas.tex": (6, ()),
    "data/lang/strings.db": (2, ("edits", "insertion")),
    "data/legacy/intro.pak": (3, ("removed",)),
}
COMPRESS = ["bin/*", "data/sounds/*", "data/textures/*"]
EDITS = 4                # small in-place edits per edited file
EDIT_BYTES = (8, 256)    # bytes each
INSERTION = 48 * 1024    # bytes inserted into a file at one place
# The program as a file of the client: named neither "update", which is the updater that runs,
# nor after any file that the updater replaces as itself and whose backup it leaves behind.
PROGRAM = "bin/sonavelle-update"


# ---------------------------------------------------------------------------------------------
# The two builds


def git(source, *arguments):
    return subprocess.run(["git", "-C", source, *arguments], capture_output=True, text=True)


def commit_id(source, revision):
    found = git(source, "rev-parse", "--verify", "--quiet", revision + "^{commit}")
    return found.stdout.strip() if found.returncode == 0 else None


def resolve_commits(source, wanted=None, fixed=(OLD_COMMIT, NEW_COMMIT)):
    """The full ids of the old and the new commit: those named in wanted ("OLD,NEW"), else the
    fixed pair; a shallow clone fetches what it lacks, and falls back to HEAD~30 and HEAD when
    that fails, saying so."""
    if wanted:
        names = wanted.split(",")
        if len(names) != 2:
            raise HarnessError(f"BENCH_DELTA_COMMITS needs two commits, OLD,NEW: {wanted!r}")
        ids = [commit_id(source, name) for name in names]
        if None in ids:
            raise HarnessError(f"{names[ids.index(None)]} is not a commit of {source}")
        return tuple(ids)
    missing = [c for c in fixed if not commit_id(source, c)]
    shallow = git(source, "rev-parse", "--is-shallow-repository").stdout.strip() == "true"
    if missing and shallow and "origin" in git(source, "remote").stdout.split():
        say(f"bench: {source} is a shallow clone; fetching {', '.join(c[:7] for c in missing)}")
        git(source, "fetch", "--quiet", "--depth=1", "origin", *missing)
        missing = [c for c in missing if not commit_id(source, c)]
    if not missing:
        return tuple(fixed)
    old, new = commit_id(source, f"HEAD~{FALLBACK_DISTANCE}"), commit_id(source, "HEAD")
    if old is None:
        raise HarnessError(
            f"commit {missing[0][:7]} is not in {source}, nor is HEAD~{FALLBACK_DISTANCE}: "
            "fetch the history (git fetch --unshallow) or name two commits in "
            "BENCH_DELTA_COMMITS=OLD,NEW")
    say(f"bench: commit {', '.join(c[:7] for c in missing)} is not in {source}; using "
        f"HEAD~{FALLBACK_DISTANCE} ({old[:7]}) and HEAD ({new[:7]}): the figures are not "
        "comparable with those in bench/README.md")
    return old, new


def build_update(source, commit, builds):
    """The update program of commit, built once; returns its path and whether it was built now.
    Only the program is kept, under a name that exists once the build is complete."""
    place = os.path.join(builds, f"{commit}-{BUILD_TYPE.lower()}")
    program = os.path.join(place, "update")
    if os.path.isfile(program):
        return program, False
    shutil.rmtree(place, ignore_errors=True)
    src, build = os.path.join(place, "src"), os.path.join(place, "build")
    os.makedirs(src)
    archive = os.path.join(place, "source.tar")
    run(["git", "-C", source, "archive", "--format=tar", "-o", archive, commit])
    with tarfile.open(archive) as tar:
        # The "data" filter, where this Python has it, refuses links out of the tree.
        tar.extractall(src, **({"filter": "data"} if hasattr(tarfile, "data_filter") else {}))
    os.remove(archive)
    configure = ["cmake", "-S", src, "-B", build, f"-DCMAKE_BUILD_TYPE={BUILD_TYPE}",
                 "-DSONAVELLE_WERROR=OFF", "-DSONAVELLE_BUILD_TESTS=OFF"]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    if shutil.which("ccache"):
        configure += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"]
    started = time.monotonic()
    say(f"bench: building update at {commit[:7]} ({BUILD_TYPE}) in {build}; once")
    run(configure, timeout=900)
    run(["cmake", "--build", build, "--parallel", str(os.cpu_count() or 2), "--target", "update"],
        timeout=3 * 3600)
    shutil.copy2(os.path.join(build, "update"), program + ".copying")
    os.rename(program + ".copying", program)
    shutil.rmtree(src)
    shutil.rmtree(build)
    say(f"bench: built update at {commit[:7]} in {time.monotonic() - started:.0f} s")
    return program, True


def shared_libraries(program, names=LIBRARIES):
    """The real files of the libraries in names that program loads, by ldd."""
    listed = run(["ldd", program]).stdout
    found = {}
    for line in listed.splitlines():
        fields = line.split()
        if len(fields) >= 3 and fields[0] in names and fields[1] == "=>":
            found[fields[0]] = os.path.realpath(fields[2])
    if not found:
        raise HarnessError(f"ldd finds none of {', '.join(names)} for {program}")
    return [(name, found[name]) for name in names if name in found]


# ---------------------------------------------------------------------------------------------
# The client trees


def changed(data, kinds, rng):
    """data after the new version's edits: a few short overwrites, and an insertion."""
    data = bytearray(data)
    if "edits" in kinds:
        for _ in range(EDITS):
            length = rng.randint(*EDIT_BYTES)
            at = rng.randrange(len(data) - length)
            data[at:at + length] = rng.randbytes(length)
    if "insertion" in kinds:
        at = rng.randrange(len(data))
        data[at:at] = rng.randbytes(INSERTION)
    return bytes(data)


def make_trees(old_dir, new_dir, programs, libraries, seed=bench.SEED, data=DATA, unit=MIB):
    """The old and the new client: programs is (old, new), libraries (name, path) pairs copied
    into both; the data of each file comes from its own seed, so one entry more or less changes
    no other file."""
    for tree, program in zip((old_dir, new_dir), programs):
        shutil.rmtree(tree, ignore_errors=True)
        os.makedirs(os.path.join(tree, "lib"))
        os.makedirs(os.path.join(tree, os.path.dirname(PROGRAM)))
        shutil.copyfile(program, os.path.join(tree, PROGRAM))
        for name, path in libraries:
            shutil.copyfile(path, os.path.join(tree, "lib", name))
    for name, (size, kinds) in data.items():
        rng = random.Random(f"{seed}:{name}")
        old_path, new_path = os.path.join(old_dir, name), os.path.join(new_dir, name)
        if "new" in kinds:
            generate.write_file(new_path, size * unit, rng)
            continue
        generate.write_file(old_path, size * unit, rng)
        if "removed" in kinds:
            continue
        with open(old_path, "rb") as old:
            content = old.read()
        os.makedirs(os.path.dirname(new_path), exist_ok=True)
        with open(new_path, "wb") as new:
            new.write(changed(content, kinds, rng) if kinds else content)


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as data:
        while chunk := data.read(MIB):
            digest.update(chunk)
    return digest.hexdigest()


def tree_digests(root, leave_out=()):
    """Relative path: SHA-256 of every file below root."""
    result = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, root)
            if relative not in leave_out:
                result[relative] = sha256_of(path)
    return result


def compare_trees(old, new):
    """Given two tree_digests: the paths unchanged, changed, new and removed."""
    return {
        "unchanged": sorted(p for p in old if new.get(p) == old[p]),
        "changed": sorted(p for p in old if p in new and new[p] != old[p]),
        "new": sorted(p for p in new if p not in old),
        "removed": sorted(p for p in old if p not in new),
    }


def verify_tree(root, expected, own):
    """The files below root, less the updater's own, are exactly those of expected."""
    found = tree_digests(root, own)
    problems = compare_trees(expected, found)
    wrong = [f"{kind}: {', '.join(paths)}" for kind, paths in
             (("wrong", problems["changed"]), ("not expected", problems["new"]),
              ("missing", problems["removed"])) if paths]
    if wrong:
        raise HarnessError(f"the installed tree in {root} is not the release's; "
                           + "; ".join(wrong))


# ---------------------------------------------------------------------------------------------
# Publishing


def tool_has_deltas(tool):
    said = subprocess.run([tool, "--help"], capture_output=True, text=True)
    return "--delta-from" in said.stdout + said.stderr


def publish(tool, key_file, tree, version, mirror_root, changelog, previous=None,
            delta_from=None):
    """Publishes tree as version; returns what the tool printed."""
    shutil.rmtree(os.path.join(mirror_root, str(version)), ignore_errors=True)
    command = [tool, "--client-version", str(version), "--client-type", CLIENT_TYPE,
               "--key", key_file, "--manifest-key", bench.manifest_key_file(key_file),
               "--changelog", changelog]
    for pattern in COMPRESS:
        command += ["--compress", pattern]
    if previous:
        command += ["--previous", previous]
    if delta_from:
        command += ["--delta-from", str(delta_from)]
    return run(command + [tree, mirror_root], timeout=1800).stdout


def savings_lines(said):
    return [line.strip() for line in said.splitlines()
            if line.strip().startswith("deltas from") or "saved" in line]


def manifest_patches(mirror_root, version):
    """(target, source SHA-256, patch path, patch size) of every patch record."""
    path = os.path.join(mirror_root, str(version), CLIENT_TYPE + ".manifest")
    patches = []
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            fields = line.rstrip("\n").split("\t")
            if fields[0] == "patch" and len(fields) == 6:
                patches.append((fields[1], fields[2], fields[3], int(fields[5])))
    return patches


def largest_source(patches, old_tree):
    """Bytes of the largest installed file that a patch applies to; 0 without patches."""
    sizes = {digest: os.path.getsize(os.path.join(old_tree, path))
             for path, digest in tree_digests(old_tree).items()}
    return max((sizes.get(source, 0) for _, source, _, _ in patches), default=0)


# ---------------------------------------------------------------------------------------------
# Measuring


class Way:
    """One way from the old version to the new, over the runs."""

    def __init__(self, name, version, what):
        self.name = name
        self.version = version
        self.what = what
        self.times = []
        self.sent = []       # bytes the relay sent towards the updater
        self.bodies = []     # bytes of the replies' bodies in nginx's log
        self.requests = []   # (whole files, patches) requested
        self.rss_mib = []
        self.stages = []
        self.summary = []    # the updater's own lines on what deltas saved
        self.failures = []

    def median(self, values):
        return statistics.median(values) if values else None


class DeltaBench:
    def __init__(self, args):
        self.args = args
        self.work = args.work
        self.runs = args.runs or 3
        self.logs = bench.fresh_dir(os.path.join(self.work, "logs"))
        self.mirror_root = os.path.join(self.work, "mirror")
        self.trees = os.path.join(self.work, "delta-trees")
        self.tool = os.path.join(args.build, "tools", "sonavelle-release")
        self.update = os.path.join(args.build, "update")
        self.key_file = os.path.join(args.source, "keys", "development_private.key")
        self.said = []
        self.source_bytes = 0

    def prepare(self):
        """Builds, trees and releases; returns the trees' digests and whether deltas exist."""
        for path in (self.update, self.tool):
            if not os.access(path, os.X_OK):
                raise HarnessError(f"{path} is missing; scripts/bench builds it")
        deltas = tool_has_deltas(self.tool)
        if not deltas:
            say("bench: sonavelle-release has no --delta-from: measuring the update by whole "
                "files only; the run fails at the end")
        commits = resolve_commits(self.args.source, self.args.commits)
        builds = os.path.join(self.work, "builds")
        self.programs = [build_update(self.args.source, c, builds)[0] for c in commits]
        self.commits = commits
        libraries = shared_libraries(self.update)
        old_tree, new_tree = (os.path.join(self.trees, str(v)) for v in (1, 2))
        make_trees(old_tree, new_tree, self.programs, libraries)
        self.old_tree, self.new_tree = old_tree, new_tree
        old, new = tree_digests(old_tree), tree_digests(new_tree)
        self.publish_all(deltas, old, new, [n for n, _ in libraries])
        return old, new, deltas

    def publish_all(self, deltas, old, new, libraries):
        """Publishes what is not published yet from the same trees, and keeps what the tool
        said, so that a kept mirror still reports the savings."""
        os.makedirs(self.mirror_root, exist_ok=True)
        stamp_file = os.path.join(self.work, "delta-releases.json")
        stamps = {}
        if os.path.exists(stamp_file):
            with open(stamp_file) as data:
                stamps = json.load(data)
        changelog = os.path.join(self.trees, "changelog.txt")
        with open(changelog, "w") as out:
            out.write("Benchmark release of binary deltas\n")
        releases = [(VERSION_OLD, self.old_tree, old, None, None),
                    (VERSION_FILES, self.new_tree, new, self.old_tree, None)]
        if deltas:
            releases.append((VERSION_DELTA, self.new_tree, new, self.old_tree, VERSION_OLD))
        for version, tree, digests, previous, delta_from in releases:
            # A rebuilt release tool may write the release differently: publish again.
            key = [digests, COMPRESS, delta_from, old if previous else None,
                   os.stat(self.tool).st_mtime_ns]
            stamp = stamps.get(str(version))
            if not stamp or stamp["key"] != key or \
                    not os.path.isdir(os.path.join(self.mirror_root, str(version))):
                started = time.monotonic()
                stamps.pop(str(version), None)
                said = publish(self.tool, self.key_file, tree, version, self.mirror_root,
                               changelog, previous, delta_from)
                stamp = stamps[str(version)] = {"key": key, "said": savings_lines(said)}
                with open(stamp_file, "w") as out:
                    json.dump(stamps, out)
                say(f"bench: published version {version} in {time.monotonic() - started:.1f} s")
            if delta_from:
                self.said = stamp["said"]
        if deltas:
            patches = manifest_patches(self.mirror_root, VERSION_DELTA)
            self.source_bytes = largest_source(patches, self.old_tree)
            if not patches:
                raise HarnessError(f"version {VERSION_DELTA} lists no patch in its manifest")

    def measure(self):
        old, new, deltas = self.prepare()
        ways = [Way("delta-files", VERSION_FILES, "whole files")]
        if deltas:
            ways.append(Way("delta-patches", VERSION_DELTA, f"deltas from {VERSION_OLD}"))
        self.compared = compare_trees(old, new)
        nginx = bench.Nginx(self.work, self.mirror_root)
        nginx.start(MIB)
        relay = bench.Relay(RTT_MS, MBIT, [str(p) for p in nginx.ports],
                            os.path.join(self.logs, "relay-delta.log"))
        try:
            place = os.path.join(self.work, "run")
            local = bench.Updater(self.update, place, nginx.urls())
            remote = bench.Updater(self.update, place, relay.urls())
            whole = sum(os.path.getsize(os.path.join(self.new_tree, p)) for p in new)
            timeout = 120 + 10 * whole / (MBIT * 1e6 / 8)
            for i in range(self.runs):
                done = []
                # Alternated, so that a machine that grows busier weighs on both alike.
                for way in ways if i % 2 == 0 else ways[::-1]:
                    done.append(self.once(way, i, local, remote, nginx, relay, old, new,
                                          timeout))
                say(f"bench: delta run {i + 1}: " + ", ".join(done))
        finally:
            relay.stop()
            nginx.stop()
        return ways, deltas

    def once(self, way, i, local, remote, nginx, relay, old, new, timeout):
        """Installs the old version from the loopback mirrors, then updates through the line."""
        local.install_fresh()
        local.run(VERSION_OLD, os.path.join(self.logs, f"delta-install-{way.name}-{i + 1}.log"),
                  timeout)
        installed = tree_digests(local.root)
        own = set(installed) - set(old)
        verify_tree(local.root, old, own)
        remote.write_mirrors()
        offset = nginx.log_size()
        log_path = os.path.join(self.logs, f"{way.name}-{i + 1}.log")
        log, counts = relay.measure(lambda: remote.run(way.version, log_path, timeout))
        if isinstance(log, HarnessError):
            way.failures.append(str(log))
            return f"{way.name} FAILED (log {log_path})"
        verify_tree(remote.root, new, own)
        requests = nginx.requests_since(offset)
        # The client's files and patches, not the product ini, its signature or the manifest.
        files = [r for r in requests
                 if r[1].startswith(f"/{way.version}/") and CLIENT_TYPE not in r[1]]
        patches = sum(1 for r in files if r[1].startswith(f"/{way.version}/patches/"))
        way.times.append(log.seconds())
        way.sent.append(counts["sent"])
        way.bodies.append(sum(r[3] for r in requests))
        way.requests.append((len(files) - patches, patches))
        way.rss_mib.append(log.peak_rss_kib / 1024)
        way.stages.append(log.stages())
        if not way.summary:
            way.summary = [text for _, text in log.lines if "saved" in text.lower()]
        return f"{way.name} {log.seconds():.3f} s, {counts['sent'] / 1e6:.2f} MB"

    def report(self, ways, deltas, started):
        files = ways[0]
        mb = 1e6
        say("")
        say(f"Profile delta, {self.runs} runs each, medians with [min–max]; "
            f"{time.monotonic() - started:.0f} s in all.")
        say(f"Line: {RTT_MS} ms round trip, {MBIT} Mbit/s, through bench/relay.py to 3 nginx "
            "mirrors; the updater with streams=6 over HTTP/1.1.")
        sizes = [os.path.getsize(p) / mb for p in self.programs]
        say(f"Programs ({PROGRAM}): update at {self.commits[0][:7]} ({sizes[0]:.1f} MB) and "
            f"{self.commits[1][:7]} ({sizes[1]:.1f} MB), {BUILD_TYPE}.")
        for kind, paths in self.compared.items():
            shown = ", ".join(paths) if len(paths) <= 6 else f"{len(paths)} files"
            say(f"Files {kind}: {shown or '-'}")
        say(f"Compressed on the mirror: {', '.join(COMPRESS)}")
        say("")
        if self.said:
            say("The release tool:")
            for line in self.said:
                say(f"    {line}")
            say("")
        say("| scenario | update | over the line | ÷ whole files | reply bodies "
            "| requests: whole / patch | time | ÷ whole files | peak RSS |")
        say("|---|---|---|---|---|---|---|---|---|")
        for way in ways:
            requests = way.requests[0] if way.requests else ("-", "-")
            failed = f", FAILED {len(way.failures)} of {self.runs}" if way.failures else ""
            over_bytes, over_time = (
                (f"{way.median(way.sent) / files.median(files.sent):.2f}",
                 f"{way.median(way.times) / files.median(files.times):.2f}")
                if way.times and files.times else ("-", "-"))
            say(f"| {way.name} | {VERSION_OLD} -> {way.version}, {way.what} | "
                f"{bench.spread([s / mb for s in way.sent], 'MB')} | {over_bytes} | "
                f"{bench.spread([b / mb for b in way.bodies], 'MB')} | "
                f"{requests[0]} / {requests[1]} | {bench.spread(way.times, 's')}{failed} | "
                f"{over_time} | {bench.spread(way.rss_mib, 'MiB')} |")
        say("")
        names = ["ini", "list", "download", "replace", "delete", "cleanup"]
        say("Updater stages, median seconds:")
        say("")
        say("| scenario | " + " | ".join(names) + " |")
        say("|---|" + "---|" * len(names))
        for way in ways:
            if way.stages:
                say(f"| {way.name} | " + " | ".join(
                    f"{statistics.median(s.get(n, 0.0) for s in way.stages):.3f}"
                    for n in names) + " |")
        for way in ways:
            for line in way.summary:
                say(f"{way.name}, the updater: {line}")
        say("")
        lines = []
        patched = ways[1] if deltas else None
        limit = bench.MEMORY_LIMIT_MIB + self.source_bytes / MIB
        rows = [
            ("delta-bytes", BYTES_TARGET, lambda p: p.median(p.sent) / files.median(files.sent),
             "bytes over the line, deltas ÷ whole files"),
            ("delta-time", TIME_TARGET, lambda p: p.median(p.times) / files.median(files.times),
             "updater time, deltas ÷ whole files"),
            ("delta-memory", MEMORY_TARGET, lambda p: max(p.rss_mib) / limit,
             f"largest peak RSS ÷ (100 MiB + {self.source_bytes / MIB:.1f} MiB, the largest "
             "source of a patch)" if deltas else "largest peak RSS ÷ (100 MiB + the largest "
             "source of a patch)"),
        ]
        for name, target, ratio_of, meaning in rows:
            measured = patched and patched.times and files.times
            ratio = ratio_of(patched) if measured else None
            lines.append(self.verdict(name, target, ratio, meaning))
        speed = self.apply_speed()
        lines.append(self.verdict(
            "delta-apply", 1.0, APPLY_TARGET_MBPS / speed if speed else None,
            f"{APPLY_TARGET_MBPS} MB/s ÷ the apply's {speed:.0f} MB/s of output (patch-speed)"
            if speed else "the apply's speed (patch-speed)"))
        say("")
        for line in lines:
            say(line)

    @staticmethod
    def verdict(name, target, ratio, meaning):
        shown = "-" if ratio is None else f"{ratio:.2f}"
        say(f"{name}: {meaning} = {shown}, target ≤ {target:.2f}")
        verdict = "failed" if ratio is None else "ok" if ratio <= target else "over"
        return f"bench {name} ratio={shown} target={target:.2f} {verdict}"

    def apply_speed(self):
        """MB of output per second, from patch-speed of the build; None without it."""
        program = os.path.join(self.args.build, "patch-speed")
        if not os.path.exists(program):
            return None
        result = subprocess.run([program], capture_output=True, text=True)
        say(result.stdout.strip() or result.stderr.strip())
        match = re.search(r"([0-9.]+) MB/s", result.stdout)
        return float(match.group(1)) if result.returncode == 0 and match else None

    def run(self):
        started = time.monotonic()
        try:
            ways, deltas = self.measure()
        finally:
            shutil.rmtree(os.path.join(self.work, "run"), ignore_errors=True)
        self.report(ways, deltas, started)
        failed = [w for w in ways if w.failures]
        for way in failed:
            say(f"bench: {way.name}: {len(way.failures)} of {self.runs} runs FAILED; the first: "
                + way.failures[0].splitlines()[0])
        if not deltas:
            raise HarnessError("sonavelle-release has no --delta-from option, so version "
                               f"{VERSION_DELTA} with deltas could not be published; only the "
                               "update by whole files was measured")
        return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True,
                        help="build directory with update and tools/sonavelle-release")
    parser.add_argument("--source", required=True, help="the repository (commits, keys)")
    parser.add_argument("--work", required=True, help="scratch directory")
    parser.add_argument("--runs", type=int, help="runs per way (default 3)")
    parser.add_argument("--commits", help="OLD,NEW: the commits whose update goes into the "
                        f"trees (default {OLD_COMMIT[:7]},{NEW_COMMIT[:7]})")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    args.work = os.path.abspath(args.work)
    os.makedirs(args.work, exist_ok=True)
    try:
        return DeltaBench(args).run()
    except HarnessError as error:
        print(f"bench: harness failure: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(main())
