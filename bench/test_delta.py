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
                      f"patch\tb/s\t{old['b/same']}\tpatches/y/b/s\t{'2' * 64}\t5\n")
        patches = delta.manifest_patches(os.path.join(self.dir.name, "mirror"),
                                         delta.VERSION_DELTA)
        self.assertEqual([p[3] for p in patches], [7, 5])
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


if __name__ == "__main__":
    unittest.main()
