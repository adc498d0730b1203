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
import tempfile
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


def build_update(source, commit, builds, build_type=BUILD_TYPE):
    """The update program of commit, built once; returns its path and whether it was built now.
    Only the program is kept, under a name that exists once the build is complete."""
    place = os.path.join(builds, f"{commit}-{build_type.lower()}")
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
    configure = ["cmake", "-S", src, "-B", build, f"-DCMAKE_BUILD_TYPE={build_type}",
                 "-DSONAVELLE_WERROR=OFF", "-DSONAVELLE_BUILD_TESTS=OFF"]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    if shutil.which("ccache"):
        configure += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"]
    started = time.monotonic()
    say(f"bench: building update at {commit[:7]} ({build_type}) in {build}; once")
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
# Real program pairs

# A large program at two points of its history, from Debian's sources: the unit-test program of
# protobuf (187 MB with -g; protoc alone is 48 MB even with -g3), as upstream released it, and
# with the patches of Debian's bookworm package. On amd64 they change it only by the lines they add
# to map.h and descriptor.cc (line tables, the lines that checks compile in), as a small fix in a
# header would. Not CMake: bookworm's 3.25.1-1 patches only CMake modules, so its two builds are
# the same file, and the mirror no longer serves the upstream source of trixie's 3.31.6.
DEBIAN = "http://deb.debian.org/debian"
BIG_SUITE = "bookworm"
BIG_PACKAGE, BIG_VERSION, BIG_REVISION = "protobuf", "3.21.12", "3+deb12u1"
BIG_TARGET = "tests"
BIG_BUILD_TYPE = "Debug"
BIG_MIN_BYTES = 100 * 10**6
DEBUGINFO_MIN_BYTES = 10 * 10**6
# Static, with zlib, and Debian's GoogleTest (scripts/setup installs both).
BIG_CONFIGURE = ["-Dprotobuf_BUILD_TESTS=ON", "-Dprotobuf_USE_EXTERNAL_GTEST=ON",
                 "-Dprotobuf_BUILD_SHARED_LIBS=OFF", "-Dprotobuf_WITH_ZLIB=ON"]


def big_files():
    base = f"{BIG_PACKAGE}_{BIG_VERSION}"
    return {"orig": f"{base}.orig.tar.gz", "debian": f"{base}-{BIG_REVISION}.debian.tar.xz"}


def pool_url(name, package=BIG_PACKAGE):
    return f"{DEBIAN}/pool/main/{package[0]}/{package}/{name}"


def sources_sums(text, package, version):
    """Name: SHA-256 of the files of package at version, from a Sources index."""
    for stanza in text.split("\n\n"):
        fields = {}
        key = None
        for line in stanza.splitlines():
            if line[:1] in (" ", "\t") and key:
                fields[key].append(line.strip())
            elif ":" in line:
                key, _, value = line.partition(":")
                fields[key] = [value.strip()] if value.strip() else []
        if fields.get("Package") == [package] and fields.get("Version") == [version]:
            return {parts[2]: parts[0] for parts in
                    (entry.split() for entry in fields.get("Checksums-Sha256", []))
                    if len(parts) == 3}
    return {}


def fetch(url, path):
    if os.path.exists(path):
        return
    result = subprocess.run(["curl", "-fsSL", "--retry", "2", "-o", path + ".part", url],
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise HarnessError(f"cannot download {url} ({result.stderr.strip()}): fetch it into "
                           f"{os.path.dirname(path)}/ by hand, or run where the network works")
    os.rename(path + ".part", path)


def download_big(downloads):
    """The two source archives of the big program, checked against the suite's Sources."""
    os.makedirs(downloads, exist_ok=True)
    index = os.path.join(downloads, f"Sources-{BIG_SUITE}.xz")
    fetch(f"{DEBIAN}/dists/{BIG_SUITE}/main/source/Sources.xz", index)
    text = subprocess.run(["xz", "-dc", index], capture_output=True, check=True).stdout
    sums = sources_sums(text.decode("utf-8", "replace"), BIG_PACKAGE,
                        f"{BIG_VERSION}-{BIG_REVISION}")
    paths = {}
    for kind, name in big_files().items():
        if name not in sums:
            raise HarnessError(f"{BIG_SUITE}'s Sources lists no {name}; remove {index} if it "
                               "is old")
        path = paths[kind] = os.path.join(downloads, name)
        fetch(pool_url(name), path)
        if sha256_of(path) != sums[name]:
            os.remove(path)
            raise HarnessError(f"{name} does not have the SHA-256 that {BIG_SUITE}'s Sources "
                               "gives; removed, so the next run downloads it again")
    return paths


def big_place(point, builds):
    name = f"{BIG_PACKAGE}-{BIG_VERSION}" + (f"-{BIG_REVISION}" if point == "debian" else "")
    return name, os.path.join(builds, f"{name}-{BIG_BUILD_TYPE.lower()}")


def big_flags(builds):
    """The debug flags the big program was built with: those of a point already built."""
    for point in ("upstream", "debian"):
        try:
            with open(os.path.join(big_place(point, builds)[1], "flags")) as kept:
                return kept.read().strip()
        except FileNotFoundError:
            pass
    return None


def build_big(point, builds, downloads):
    """The big program at point "upstream" or "debian", built once; only the program is kept,
    under a name that exists once the build is complete. Both points build in the same folder,
    so that their debug information names the same paths (as a reproducible build's would) and
    ccache serves what did not change."""
    name, place = big_place(point, builds)
    program = os.path.join(place, BIG_TARGET)
    if os.path.isfile(program):
        return program
    archives = download_big(downloads)
    work = os.path.join(builds, f"{BIG_PACKAGE}-work")
    shutil.rmtree(work, ignore_errors=True)
    src, build = os.path.join(work, "src"), os.path.join(work, "build")
    os.makedirs(work)
    run(["tar", "-xzf", archives["orig"], "-C", work])
    os.rename(os.path.join(work, f"{BIG_PACKAGE}-{BIG_VERSION}"), src)
    if point == "debian":
        run(["tar", "-xJf", archives["debian"], "-C", src])
        with open(os.path.join(src, "debian", "patches", "series")) as series:
            for patch in series.read().split("\n"):
                patch = patch.split("#")[0].strip()
                if patch:
                    run(["patch", "-p1", "-s", "-d", src, "-i",
                         os.path.join(src, "debian", "patches", patch.split()[0])])
    # C++17, g++'s default, as Debian builds it: its patches to the tests need more than the
    # C++11 that upstream's CMakeLists.txt sets.
    cmake_lists = os.path.join(src, "CMakeLists.txt")
    with open(cmake_lists) as lists:
        text = lists.read()
    with open(cmake_lists, "w") as lists:
        lists.write(text.replace("set(CMAKE_CXX_STANDARD 11)", "set(CMAKE_CXX_STANDARD 17)"))
    started = time.monotonic()
    # The other point's flags, so that the two differ by their source alone.
    flags = big_flags(builds) or "-g"
    while True:
        say(f"bench: building {BIG_TARGET} of {name} ({BIG_BUILD_TYPE}, {flags}); once")
        shutil.rmtree(build, ignore_errors=True)
        configure = ["cmake", "-S", src, "-B", build, f"-DCMAKE_BUILD_TYPE={BIG_BUILD_TYPE}",
                     f"-DCMAKE_C_FLAGS_DEBUG={flags}", f"-DCMAKE_CXX_FLAGS_DEBUG={flags}",
                     *BIG_CONFIGURE]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        if shutil.which("ccache"):
            configure += ["-DCMAKE_C_COMPILER_LAUNCHER=ccache",
                          "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"]
        run(configure, timeout=900)
        run(["cmake", "--build", build, "--parallel", str(os.cpu_count() or 2), "--target",
             BIG_TARGET], timeout=4 * 3600)
        built = os.path.join(build, BIG_TARGET)
        if os.path.getsize(built) >= BIG_MIN_BYTES or flags == "-g3":
            break
        # Short of the size wanted: the macros' definitions in the debug information too.
        say(f"bench: {BIG_TARGET} is {os.path.getsize(built) / 1e6:.1f} MB with {flags}, "
            f"under {BIG_MIN_BYTES / 1e6:.0f} MB: building it again with -g3")
        flags = "-g3"
    os.makedirs(place, exist_ok=True)
    with open(os.path.join(place, "flags"), "w") as kept:
        kept.write(flags + "\n")
    shutil.copy2(built, program + ".copying")
    os.rename(program + ".copying", program)
    shutil.rmtree(work)
    say(f"bench: built {name} ({os.path.getsize(program) / 1e6:.1f} MB, {flags}) in "
        f"{time.monotonic() - started:.0f} s")
    return program


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
            delta_from=None, compress=COMPRESS, measured=False):
    """Publishes tree as version; returns what the tool printed, and with measured its wall
    seconds and peak RSS in KiB too."""
    shutil.rmtree(os.path.join(mirror_root, str(version)), ignore_errors=True)
    command = [tool, "--client-version", str(version), "--client-type", CLIENT_TYPE,
               "--key", key_file, "--manifest-key", bench.manifest_key_file(key_file),
               "--changelog", changelog]
    for pattern in compress:
        command += ["--compress", pattern]
    if previous:
        command += ["--previous", previous]
    if delta_from:
        command += ["--delta-from", str(delta_from)]
    if measured:
        return timed(command + [tree, mirror_root], timeout=3600)
    return run(command + [tree, mirror_root], timeout=1800).stdout


def timed(command, timeout):
    """Runs command; returns its output, its wall seconds and its own peak RSS in KiB (from
    wait4, so no other child counts)."""
    with open(os.devnull, "rb") as nothing, tempfile.TemporaryFile("w+") as out:
        started = time.monotonic()
        process = subprocess.Popen(command, stdin=nothing, stdout=out,
                                   stderr=subprocess.STDOUT, text=True)
        deadline = started + timeout
        while True:
            pid, status, usage = os.wait4(process.pid, os.WNOHANG)
            if pid:
                break
            if time.monotonic() > deadline:
                process.kill()
                os.wait4(process.pid, 0)
                raise HarnessError(f"{' '.join(command)} did not end within {timeout} s")
            time.sleep(0.05)
        seconds = time.monotonic() - started
        process.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        said = out.read()
    if process.returncode != 0:
        raise HarnessError(f"{' '.join(command)} failed ({process.returncode}):\n{said[-3000:]}")
    return said, seconds, usage.ru_maxrss


def savings_lines(said):
    return [line.strip() for line in said.splitlines()
            if line.strip().startswith(("deltas from", "deltas made")) or "saved" in line]


def manifest_patches(mirror_root, version):
    """(target, source SHA-256, patch path, patch size, method) of every patch record: "patch"
    ones are zstd, "patch-with" ones name their method first."""
    path = os.path.join(mirror_root, str(version), CLIENT_TYPE + ".manifest")
    patches = []
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            fields = line.rstrip("\n").split("\t")
            if fields[0] == "patch" and len(fields) == 6:
                fields = ["patch-with", "zstd"] + fields[1:]
            if fields[0] == "patch-with" and len(fields) == 7:
                patches.append((fields[2], fields[3], fields[4], int(fields[6]), fields[1]))
    return patches


def largest_source(patches, old_tree):
    """Bytes of the largest installed file that a patch applies to; 0 without patches."""
    sizes = {digest: os.path.getsize(os.path.join(old_tree, path))
             for path, digest in tree_digests(old_tree).items()}
    return max((sizes.get(source, 0) for _, source, *_ in patches), default=0)


# ---------------------------------------------------------------------------------------------
# Real program pairs: what is measured

# The client of a pair holds this program alone, compressed on the mirror as a program is.
PAIR_PROGRAM = "bin/program"
PAIR_COMPRESS = ["bin/*"]
PAIR_VERSIONS = {"update-debuginfo": (31, 32, 33), "big": (41, 42, 43),
                 "update-consecutive": (51, 52, 53)}
# Two commits one apart, as two consecutive releases would be: without and with hashing once.
CONSECUTIVE_COMMITS = ("9cd18ecb059a2aef3b484b3d1abab8910985c09d",
                       "a47118c0193cafe08de18e41b48d27414b21edb9")
PAIR_BYTES_TARGET = 0.15
PAIR_MAKE_SECONDS = 120
PAIR_MAKE_MEMORY = 4 * 2**30
PAIR_APPLY_MEMORY_MIB = 100

SPEED_LINE = re.compile(r"patch-speed (make|apply): (\d+) bytes in ([0-9.]+) s"
                        r"(?:: ([0-9.]+) MB/s)?, peak (?:memory|RssAnon) (\d+) KiB")
TOOL_MEMORY_LINE = re.compile(r"deltas made within ([0-9.]+) (bytes|[kMGT]B) of memory")
SI = {"bytes": 1, "kB": 10**3, "MB": 10**6, "GB": 10**9, "TB": 10**12}


def parse_patch_speed(text):
    """The figures of a "patch-speed make|apply" line: bytes, seconds, MB/s (apply only) and
    peak KiB; None without one."""
    match = SPEED_LINE.search(text)
    if not match:
        return None
    return {"what": match.group(1), "bytes": int(match.group(2)),
            "seconds": float(match.group(3)),
            "mbps": float(match.group(4)) if match.group(4) else None,
            "kib": int(match.group(5))}


def tool_memory_bytes(text):
    """The release tool's own peak memory, from its closing line; None without it."""
    match = TOOL_MEMORY_LINE.search(text)
    return round(float(match.group(1)) * SI[match.group(2)]) if match else None


class Pair:
    """Two builds of one real program, each the whole of a client, and what moving from the
    one to the other costs by the release tool's patch and by bsdiff's."""

    def __init__(self, name, programs, versions, about):
        self.name = name
        self.programs = programs   # old, new
        self.versions = versions   # old, new by whole files, new by deltas
        self.about = about
        self.tool_seconds = None
        self.tool_kib = None       # wait4's peak RSS of the tool's run
        self.tool_memory = None    # bytes, the tool's own line
        self.method = None
        self.patch_bytes = None
        self.bsdiff_bytes = None
        self.bsdiff_seconds = None
        self.bsdiff_kib = None
        self.apply = None          # parse_patch_speed of the apply
        self.said = []             # the release tool's lines on what its deltas save
        self.ways = [Way(f"pair-{name}-files", versions[1], "whole files"),
                     Way(f"pair-{name}-patches", versions[2], f"deltas from {versions[0]}")]

    def sizes(self):
        return [os.path.getsize(p) for p in self.programs]

    def rows(self):
        """(row, target, ratio or None, meaning) of the pair."""
        files, patches = self.ways
        rows = [
            (f"pair-{self.name}-vs-bsdiff", 1.0,
             self.patch_bytes / self.bsdiff_bytes
             if self.patch_bytes and self.bsdiff_bytes else None,
             "the release tool's patch ÷ bsdiff's, bytes"),
            (f"pair-{self.name}-bytes", PAIR_BYTES_TARGET,
             patches.median(patches.sent) / files.median(files.sent)
             if patches.sent and files.sent else None,
             "bytes over the line, by delta ÷ by the whole program compressed"),
            (f"pair-{self.name}-apply-speed", 1.0,
             APPLY_TARGET_MBPS / self.apply["mbps"]
             if self.apply and self.apply["mbps"] else None,
             f"{APPLY_TARGET_MBPS} MB/s ÷ the apply's MB/s of output "
             f"(patch-speed apply {self.method or '-'})"),
        ]
        if self.name == "big":
            memory = self.tool_memory or (self.tool_kib * 1024 if self.tool_kib else None)
            rows += [
                ("pair-big-apply-memory", 1.0,
                 self.apply["kib"] / 1024 / PAIR_APPLY_MEMORY_MIB if self.apply else None,
                 f"the apply's peak RssAnon ÷ {PAIR_APPLY_MEMORY_MIB} MiB"),
                ("pair-big-make-time", 1.0,
                 self.tool_seconds / PAIR_MAKE_SECONDS if self.tool_seconds else None,
                 f"the release tool's run with --delta-from, wall s ÷ {PAIR_MAKE_SECONDS} s"),
                ("pair-big-make-memory", 1.0, memory / PAIR_MAKE_MEMORY if memory else None,
                 "the release tool's peak memory ÷ 4 GiB"),
            ]
        return rows


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
        self.pairs = []

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
        self.pairs = self.prepare_pairs(builds) if deltas else []
        return old, new, deltas

    def prepare_pairs(self, builds):
        """Builds the real program pairs, publishes each, and makes bsdiff's patch and applies
        the tool's beside it."""
        debuginfo = [build_update(self.args.source, c, builds, "RelWithDebInfo")[0]
                     for c in self.commits]
        consecutive = resolve_commits(self.args.source, fixed=CONSECUTIVE_COMMITS)
        adjacent = [build_update(self.args.source, c, builds, "RelWithDebInfo")[0]
                    for c in consecutive]
        downloads = os.path.join(self.work, "downloads")
        big = [build_big(point, builds, downloads) for point in ("upstream", "debian")]
        flags = big_flags(builds)
        pairs = [
            Pair("update-debuginfo", debuginfo, PAIR_VERSIONS["update-debuginfo"],
                 f"update at {self.commits[0][:7]} and {self.commits[1][:7]}, RelWithDebInfo"),
            Pair("big", big, PAIR_VERSIONS["big"],
                 f"{BIG_TARGET} of {BIG_PACKAGE} {BIG_VERSION}, upstream and Debian "
                 f"{BIG_VERSION}-{BIG_REVISION} ({BIG_SUITE}), {BIG_BUILD_TYPE}, {flags}"),
            Pair("update-consecutive", adjacent, PAIR_VERSIONS["update-consecutive"],
                 f"update at {consecutive[0][:7]} and {consecutive[1][:7]}, one commit apart, "
                 "RelWithDebInfo"),
        ]
        for pair, least in zip(pairs, (DEBUGINFO_MIN_BYTES, BIG_MIN_BYTES, DEBUGINFO_MIN_BYTES)):
            sizes = pair.sizes()
            if min(sizes) < least:
                say(f"bench: pair {pair.name}: {min(sizes) / 1e6:.1f} MB, short of the "
                    f"{least / 1e6:.0f} MB it is meant to have")
            if sizes[0] == sizes[1] and sha256_of(pair.programs[0]) == \
                    sha256_of(pair.programs[1]):
                raise HarnessError(f"the two builds of pair {pair.name} are the same file")
            self.prepare_pair(pair)
        return pairs

    def prepare_pair(self, pair):
        place = os.path.join(self.trees, f"pair-{pair.name}")
        trees = [os.path.join(place, point) for point in ("old", "new")]
        for tree, program in zip(trees, pair.programs):
            shutil.rmtree(tree, ignore_errors=True)
            os.makedirs(os.path.join(tree, os.path.dirname(PAIR_PROGRAM)))
            shutil.copyfile(program, os.path.join(tree, PAIR_PROGRAM))
            os.chmod(os.path.join(tree, PAIR_PROGRAM), 0o755)
        pair.trees = trees
        pair.digests = [tree_digests(tree) for tree in trees]
        changelog = os.path.join(place, "changelog.txt")
        with open(changelog, "w") as out:
            out.write(f"Benchmark release of {pair.name}\n")
        old_version, files_version, delta_version = pair.versions
        arguments = (self.tool, self.key_file)
        publish(*arguments, trees[0], old_version, self.mirror_root, changelog,
                compress=PAIR_COMPRESS)
        publish(*arguments, trees[1], files_version, self.mirror_root, changelog, trees[0],
                compress=PAIR_COMPRESS)
        said, pair.tool_seconds, pair.tool_kib = publish(
            *arguments, trees[1], delta_version, self.mirror_root, changelog, trees[0],
            old_version, compress=PAIR_COMPRESS, measured=True)
        pair.tool_memory = tool_memory_bytes(said)
        pair.said = savings_lines(said)
        patches = manifest_patches(self.mirror_root, delta_version)
        if len(patches) != 1:
            raise HarnessError(f"version {delta_version} of pair {pair.name} lists "
                               f"{len(patches)} patches, not 1:\n{said}")
        _, _, path, pair.patch_bytes, pair.method = patches[0]
        say(f"bench: pair {pair.name}: the release tool made a {pair.method} patch of "
            f"{pair.patch_bytes / 1e6:.2f} MB in a run of {pair.tool_seconds:.1f} s")
        old, new = (os.path.join(tree, PAIR_PROGRAM) for tree in trees)
        scratch = os.path.join(place, "scratch")
        os.makedirs(scratch, exist_ok=True)
        made = os.path.join(scratch, "bsdiff.patch")
        if not shutil.which("bsdiff"):
            raise HarnessError("bsdiff is missing; scripts/setup installs it")
        _, pair.bsdiff_seconds, pair.bsdiff_kib = timed(["bsdiff", old, new, made], 3 * 3600)
        pair.bsdiff_bytes = os.path.getsize(made)
        say(f"bench: pair {pair.name}: bsdiff made {pair.bsdiff_bytes / 1e6:.2f} MB in "
            f"{pair.bsdiff_seconds:.1f} s")
        speed = os.path.join(self.args.build, "patch-speed")
        applied = os.path.join(scratch, "applied")
        said = run([speed, "apply", pair.method, old, os.path.join(
            self.mirror_root, str(delta_version), path), applied], timeout=1800).stdout
        pair.apply = parse_patch_speed(said)
        if not pair.apply or sha256_of(applied) != sha256_of(new):
            raise HarnessError(f"patch-speed apply of pair {pair.name} did not make the new "
                               f"program:\n{said}")
        shutil.rmtree(scratch)

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
            for pair in self.pairs:
                whole = max(pair.sizes())
                timeout = 120 + 10 * whole / (MBIT * 1e6 / 8)
                # One run each: the bytes hardly vary, and the time is not a row of a pair.
                done = [self.once(way, 0, local, remote, nginx, relay, *pair.digests, timeout,
                                  pair.versions[0]) for way in pair.ways]
                say(f"bench: pair {pair.name}: " + ", ".join(done))
        finally:
            relay.stop()
            nginx.stop()
        return ways, deltas

    def once(self, way, i, local, remote, nginx, relay, old, new, timeout,
             old_version=VERSION_OLD):
        """Installs the old version from the loopback mirrors, then updates through the line."""
        local.install_fresh()
        local.run(old_version, os.path.join(self.logs, f"delta-install-{way.name}-{i + 1}.log"),
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
        if self.pairs:
            lines += self.report_pairs()
        say("")
        for line in lines:
            say(line)

    def report_pairs(self):
        mb = 1e6
        say("")
        say("Real program pairs, each the whole of a client (the program compressed on the "
            "mirror); bsdiff is Debian's, on the same two files:")
        for pair in self.pairs:
            say(f"    {pair.name}: {pair.about}")
        say("")
        say("| pair | old | new | the tool's patch | bsdiff's patch | the tool's run "
            "| bsdiff | apply | update: whole / delta |")
        say("|---|---|---|---|---|---|---|---|---|")
        for pair in self.pairs:
            old, new = pair.sizes()
            memory = pair.tool_memory / mb if pair.tool_memory else pair.tool_kib * 1024 / mb
            sent = [f"{w.median(w.sent) / mb:.2f} MB" if w.sent else "FAILED"
                    for w in pair.ways]
            say(f"| {pair.name} | {old / mb:.1f} MB | {new / mb:.1f} MB | "
                f"{pair.patch_bytes / mb:.3f} MB, {pair.method} | "
                f"{pair.bsdiff_bytes / mb:.3f} MB | {pair.tool_seconds:.1f} s, "
                f"{memory:.0f} MB | {pair.bsdiff_seconds:.1f} s, "
                f"{pair.bsdiff_kib * 1024 / mb:.0f} MB | {pair.apply['mbps']:.0f} MB/s, "
                f"{pair.apply['kib'] / 1024:.1f} MiB RssAnon | {sent[0]} / {sent[1]} |")
        say("")
        for pair in self.pairs:
            for line in pair.said:
                say(f"{pair.name}, the release tool: {line}")
        return [self.verdict(*row) for pair in self.pairs for row in pair.rows()]

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
        failed = [w for w in ways + [w for p in self.pairs for w in p.ways] if w.failures]
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
