#!/usr/bin/env python3
"""Checks of bench/delta.py that need no build or network: python3 bench/test_delta.py"""

import os
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import delta  # noqa: E402
from bench import HarnessError  # noqa: E402

DATA = {
    "a/edited": (64, ("edits",)),
    "a/inserted": (64, ("insertion",)),
    "b/same": (32, ()),
    "b/new": (16, ("new",)),
    "b/removed": (16, ("removed",)),
}


class Trees(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.programs = []
        for name in ("old-program", "new-program", "library"):
            path = os.path.join(self.dir.name, name)
            with open(path, "wb") as out:
                out.write(name.encode() * 100)
            self.programs.append(path)

    def make(self, suffix=""):
        old, new = (os.path.join(self.dir.name, f"{v}{suffix}") for v in ("old", "new"))
        delta.make_trees(old, new, self.programs[:2], [("libX.so.6", self.programs[2])],
                         data=DATA, unit=1024)
        return delta.tree_digests(old), delta.tree_digests(new), old, new

    def test_changes_between_the_versions_are_those_described(self):
        old, new, old_dir, new_dir = self.make()
        compared = delta.compare_trees(old, new)
        self.assertEqual(compared["unchanged"], ["b/same", "lib/libX.so.6"])
        self.assertEqual(compared["changed"], ["a/edited", "a/inserted", delta.PROGRAM])
        self.assertEqual((compared["new"], compared["removed"]), (["b/new"], ["b/removed"]))
        with open(os.path.join(old_dir, "a/edited"), "rb") as a, \
                open(os.path.join(new_dir, "a/edited"), "rb") as b:
            before, after = a.read(), b.read()
        self.assertEqual(len(before), len(after))
        differing = sum(x != y for x, y in zip(before, after))
        self.assertLessEqual(differing, delta.EDITS * delta.EDIT_BYTES[1])
        self.assertEqual(os.path.getsize(os.path.join(new_dir, "a/inserted")),
                         64 * 1024 + delta.INSERTION)

    def test_the_same_seed_makes_the_same_trees(self):
        self.assertEqual(self.make()[:2], self.make("-again")[:2])

    def test_an_installed_tree_must_equal_the_release(self):
        _, new, _, new_dir = self.make()
        own = {"update.ini"}
        with open(os.path.join(new_dir, "update.ini"), "w") as out:
            out.write("[update]\n")
        delta.verify_tree(new_dir, new, own)
        def append(name):
            with open(os.path.join(new_dir, name), "ab") as out:
                out.write(b"x")
        for breaking in (lambda: append("b/removed"), lambda: append("b/same"),
                         lambda: os.remove(os.path.join(new_dir, "b/new"))):
            breaking()
            with self.assertRaises(HarnessError):
                delta.verify_tree(new_dir, new, own)
            _, new, _, new_dir = self.make()

    def test_the_largest_source_of_a_patch_is_found_by_its_digest(self):
        old, _, old_dir, _ = self.make()
        manifest_dir = os.path.join(self.dir.name, "mirror", str(delta.VERSION_DELTA))
        os.makedirs(manifest_dir)
        with open(os.path.join(manifest_dir, delta.CLIENT_TYPE + ".manifest"), "w") as out:
            out.write(f"file\ta/edited\t{'0' * 64}\t10\n"
                      f"patch\ta/edited\t{old['a/edited']}\tpatches/x/a/edited\t{'1' * 64}\t7\n"
                      f"patch\tb/s\t{old['b/same']}\tpatches/y/b/s\t{'2' * 64}\t5\n"
                      f"patch-with\tsuffix\tb/t\t{'3' * 64}\tpatches/z/b/t\t{'4' * 64}\t3\n")
        patches = delta.manifest_patches(os.path.join(self.dir.name, "mirror"),
                                         delta.VERSION_DELTA)
        self.assertEqual([(p[2], p[3], p[4]) for p in patches],
                         [("patches/x/a/edited", 7, "zstd"), ("patches/y/b/s", 5, "zstd"),
                          ("patches/z/b/t", 3, "suffix")])
        self.assertEqual(delta.largest_source(patches, old_dir), 64 * 1024)


class Tools(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def test_a_release_tool_without_the_option_is_told_from_one_with_it(self):
        tool = os.path.join(self.dir.name, "tool")
        for help_text, expected in (("  --compress <pattern>", False),
                                    ("  --delta-from <earlier>", True)):
            with open(tool, "w") as out:
                out.write(f"#!/bin/sh\necho '{help_text}'\n")
            os.chmod(tool, 0o755)
            self.assertEqual(delta.tool_has_deltas(tool), expected)

    def test_commits_missing_from_a_short_history_are_a_harness_failure(self):
        repo = self.dir.name
        git = ["git", "-C", repo, "-c", "user.name=b", "-c", "user.email=b@b"]
        subprocess.run(git + ["init", "-q"], check=True)
        for i in range(3):
            subprocess.run(git + ["commit", "-q", "--allow-empty", "-m", str(i)], check=True)
        head = delta.commit_id(repo, "HEAD")
        first = delta.commit_id(repo, "HEAD~2")
        self.assertEqual(delta.resolve_commits(repo, "HEAD~2,HEAD"), (first, head))
        with self.assertRaises(HarnessError):
            delta.resolve_commits(repo, "HEAD~7,HEAD")
        with self.assertRaises(HarnessError):  # neither the fixed pair nor HEAD~30
            delta.resolve_commits(repo)

    def test_a_cached_build_is_not_built_again(self):
        place = os.path.join(self.dir.name, f"{'a' * 40}-{delta.BUILD_TYPE.lower()}")
        os.makedirs(place)
        open(os.path.join(place, "update"), "w").close()
        self.assertEqual(delta.build_update("/nonexistent", "a" * 40, self.dir.name),
                         (os.path.join(place, "update"), False))
        with self.assertRaises(HarnessError):
            delta.build_update("/nonexistent", "b" * 40, self.dir.name)


class Pairs(unittest.TestCase):
    def test_the_lines_of_patch_speed_and_of_the_release_tool_are_read(self):
        apply = delta.parse_patch_speed(
            "patch-speed apply: 120000000 bytes in 0.400 s: 300 MB/s, peak RssAnon 51200 KiB")
        self.assertEqual((apply["bytes"], apply["seconds"], apply["mbps"], apply["kib"]),
                         (120000000, 0.4, 300.0, 51200))
        make = delta.parse_patch_speed(
            "patch-speed make: 4242 bytes in 1.50 s, peak memory 900 KiB")
        self.assertEqual((make["what"], make["mbps"], make["kib"]), ("make", None, 900))
        self.assertIsNone(delta.parse_patch_speed("patch-speed: zstd: 64 MB/s"))
        for text, expected in (("deltas made within 1.5 GB of memory", 1500000000),
                               ("x\ndeltas made within 812 bytes of memory\n", 812),
                               ("deltas from 21: 1 patch", None)):
            self.assertEqual(delta.tool_memory_bytes(text), expected)

    def test_the_rows_of_a_pair_are_its_ratios_or_none_when_unmeasured(self):
        pair = delta.Pair("big", ["old", "new"], (41, 42, 43), "")
        self.assertEqual({name: ratio for name, _, ratio, _ in pair.rows()},
                         dict.fromkeys(["pair-big-vs-bsdiff", "pair-big-bytes",
                                        "pair-big-apply-speed", "pair-big-apply-memory",
                                        "pair-big-make-time", "pair-big-make-memory"]))
        pair.patch_bytes, pair.bsdiff_bytes = 3, 4
        pair.ways[0].sent, pair.ways[1].sent = [100, 300], [20]
        pair.apply = {"mbps": 400.0, "kib": 50 * 1024}
        pair.tool_seconds, pair.tool_kib = 60, 2**20  # no line of its own: wait4's figure
        self.assertEqual([ratio for _, _, ratio, _ in pair.rows()],
                         [0.75, 0.1, 0.5, 0.5, 0.5, 0.25])
        pair.name = "small"
        self.assertEqual(len(pair.rows()), 3)

    def test_the_sums_of_a_source_package_are_those_of_its_version(self):
        text = ("Package: p\nVersion: 1-1\nChecksums-Sha256:\n aa 1 p_1.orig.tar.gz\n\n"
                "Package: p\nVersion: 1-2\nChecksums-Sha256:\n bb 1 p_1.orig.tar.gz\n"
                " cc 2 p_1-2.debian.tar.xz\nHomepage: x\n")
        self.assertEqual(delta.sources_sums(text, "p", "1-2"),
                         {"p_1.orig.tar.gz": "bb", "p_1-2.debian.tar.xz": "cc"})
        self.assertEqual(delta.sources_sums(text, "q", "1-2"), {})


if __name__ == "__main__":
    unittest.main()
