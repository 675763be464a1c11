"""nvxfix-cli on bundle folders, end to end."""
import argparse
import hashlib
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

from e2e_support import MARKER, VIEWER, Program, make_bundle, parse_args, tree
import make_macho

ARGS = None
DONE = "Done!"
REFUSED = "Slideshow damaged or made not in NVX 8.0"


class CliFolderMode(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="nvxfix-e2e-")
        self.cli = Program(ARGS.program, ARGS.runner)
        with open(ARGS.payload, "rb") as f:
            self.payload = f.read()

    def tearDown(self):
        for root, dirs, files in os.walk(self.dir):
            for n in dirs + files:
                p = os.path.join(root, n)
                if not os.path.islink(p):
                    os.chmod(p, 0o755 if os.path.isdir(p) else 0o644)
        shutil.rmtree(self.dir)

    def fix(self, *paths):
        return self.cli.run(*[self.cli.arg(p) for p in paths])

    def assertSameTree(self, original, copy):
        self.assertEqual(sorted(original), sorted(copy))
        for rel, (kind, data, mode, mtime) in original.items():
            ckind, cdata, cmode, cmtime = copy[rel]
            self.assertEqual((kind, data), (ckind, cdata), rel)
            if kind == "file":
                self.assertEqual(bool(mode & stat.S_IWUSR), bool(cmode & stat.S_IWUSR), rel + ": read-only flag")
                self.assertLess(abs(mtime - cmtime), 2_000_000, rel + ": time")  # within 2 ms
                if not self.cli.windows:
                    self.assertEqual(mode, cmode, rel + ": mode")

    def test_fixes_the_viewer_and_keeps_a_faithful_backup(self):
        bundle = make_bundle(self.dir, links=not self.cli.windows)
        os.chmod(os.path.join(bundle, "Contents/Resources/text/caption001.txt"), 0o444)
        before = tree(bundle)
        code, out, err = self.fix(bundle + "/")
        self.assertEqual((code, err), (0, ""))
        self.assertEqual(out.strip(), self.cli.arg(bundle + "/") + ": " + DONE)
        with open(os.path.join(bundle, VIEWER), "rb") as f:
            self.assertEqual(f.read(), self.payload)
        if not self.cli.windows:
            self.assertEqual(os.stat(os.path.join(bundle, VIEWER)).st_mode & 0o777, 0o755)
        self.assertSameTree(before, tree(bundle + ".bak"))
        after = tree(bundle)
        del after[VIEWER], before[VIEWER]
        self.assertEqual({k: v[:2] for k, v in after.items()}, {k: v[:2] for k, v in before.items()})

    def test_second_run_refreshes_the_backup_and_keeps_backup_only_files(self):
        bundle = make_bundle(self.dir)
        self.assertEqual(self.fix(bundle)[0], 0)
        with open(os.path.join(bundle + ".bak", "only-in-backup.txt"), "w") as f:
            f.write("keep")
        code, out, _ = self.fix(bundle)
        self.assertEqual(code, 0)
        with open(os.path.join(bundle + ".bak", VIEWER), "rb") as f:
            self.assertEqual(f.read(), self.payload)
        self.assertTrue(os.path.exists(os.path.join(bundle + ".bak", "only-in-backup.txt")))

    def test_folder_without_marker_or_viewer_is_refused_but_backed_up(self):
        for missing in (MARKER, VIEWER):
            with self.subTest(missing=missing):
                bundle = make_bundle(os.path.join(self.dir, os.path.basename(missing)))
                os.remove(os.path.join(bundle, missing))
                code, out, err = self.fix(bundle)
                self.assertEqual((code, out.strip()), (1, self.cli.arg(bundle) + ": " + REFUSED))
                self.assertTrue(os.path.isdir(bundle + ".bak"))
                if missing == MARKER:
                    with open(os.path.join(bundle, VIEWER), "rb") as f:
                        self.assertTrue(f.read().startswith(b"OLD VIEWER"))

    def test_read_only_viewer_is_replaced(self):
        bundle = make_bundle(self.dir)
        os.chmod(os.path.join(bundle, VIEWER), 0o555)
        self.assertEqual(self.fix(bundle)[0], 0)
        with open(os.path.join(bundle, VIEWER), "rb") as f:
            self.assertEqual(f.read(), self.payload)

    def test_failed_backup_changes_nothing_and_exits_2(self):
        bundle = make_bundle(self.dir)
        with open(bundle + ".bak", "w") as f:
            f.write("a file in the backup's way")
        before = tree(bundle)
        code, out, err = self.fix(bundle)
        self.assertEqual(code, 2)
        self.assertEqual(out, "")
        self.assertIn(": error: Cannot create backup", err)
        self.assertEqual(tree(bundle), before)

    def test_exit_status_of_mixed_lists(self):
        good = make_bundle(os.path.join(self.dir, "a"))
        other = os.path.join(self.dir, "photos")
        os.makedirs(other)
        missing = os.path.join(self.dir, "missing")
        archive = os.path.join(self.dir, "Show.ZIP")
        with open(archive, "wb") as f:
            f.write(b"PK")
        self.assertEqual(self.fix(good)[0], 0)
        code, out, err = self.fix(good, other)
        self.assertEqual(code, 1)
        self.assertEqual(out.splitlines(), [self.cli.arg(good) + ": " + DONE, self.cli.arg(other) + ": " + REFUSED])
        code, out, err = self.fix(missing, good, other)
        self.assertEqual(code, 2)
        self.assertEqual(len(out.splitlines()), 2, "a failing PATH does not stop the others")
        self.assertTrue(err.startswith(self.cli.arg(missing) + ": error: "), err)

    def test_odd_names_are_backed_up_byte_for_byte(self):
        if self.cli.windows:
            self.skipTest("names Windows does not allow")
        bundle = make_bundle(self.dir)
        res = os.path.join(bundle, "Contents", "Resources")
        for i, name in enumerate(["what?.txt", "whatx.txt", "a*b", "ab", os.fsdecode(b"caf\xe9")]):
            path = os.path.join(res, name)
            with open(path, "wb") as f:
                f.write(os.fsencode(name))
            os.utime(path, ns=(0, (1_600_000_000 + i * 86400) * 10**9))
        before = tree(bundle)
        self.assertEqual(self.fix(bundle)[0], 0)
        self.assertSameTree(before, tree(bundle + ".bak"))

    def test_named_pipe_fails_the_backup_at_once_and_changes_nothing(self):
        if self.cli.windows:
            self.skipTest("no named pipes in a Windows folder")
        bundle = make_bundle(self.dir)
        os.mkfifo(os.path.join(bundle, "Contents", "pipe"))
        before = tree(bundle)
        code, out, err = self.fix(bundle)
        self.assertEqual(code, 2)
        self.assertIn(": error: Cannot create backup", err)
        self.assertEqual(tree(bundle), before)

    def test_links_in_the_backup_never_lead_to_the_users_files(self):
        if self.cli.windows:
            self.skipTest("POSIX links")
        bundle = make_bundle(self.dir)
        os.symlink(bundle, bundle + ".bak")
        before = tree(bundle)
        self.assertEqual(self.fix(bundle)[0], 2)
        self.assertEqual(tree(bundle), before)
        os.remove(bundle + ".bak")
        outside = os.path.join(self.dir, "outside")
        os.makedirs(os.path.join(outside, "folder"))
        with open(os.path.join(outside, "file"), "w") as f:
            f.write("mine")
        os.makedirs(os.path.join(bundle + ".bak", "Contents", "Resources"))
        os.symlink(os.path.join(outside, "file"), os.path.join(bundle + ".bak", "Contents", "Resources", "slideshow.dat"))
        os.symlink(os.path.join(outside, "folder"), os.path.join(bundle + ".bak", "Contents", "Resources", "text"))
        mine = tree(outside)
        self.assertEqual(self.fix(bundle)[0], 0)
        self.assertEqual(tree(outside), mine)
        self.assertSameTree(before, tree(bundle + ".bak"))

    def test_usage(self):
        self.assertEqual(self.cli.run()[0], 2)
        code, out, _ = self.cli.run("--help")
        self.assertEqual(code, 0)
        self.assertIn("Usage: nvxfix-cli", out)
        self.assertEqual(self.cli.run("--bogus")[0], 2)
        code, out, _ = self.cli.run("--version")
        self.assertTrue(out.startswith("nvxfix-cli "))


class Payload(unittest.TestCase):
    """What a build carries: the repository's placeholder says so, a Mac
    program (here a generated Mach-O file) does not, and --version names
    either by size and SHA-256."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="nvxfix-payload-")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def check_build(self, cli, payload_file, placeholder):
        with open(payload_file, "rb") as f:
            payload = f.read()
        code, out, err = cli.run("--version")
        self.assertEqual((code, err), (0, ""))
        self.assertIn("viewer payload: %d bytes, SHA-256 %s" % (len(payload), hashlib.sha256(payload).hexdigest()),
                      out)
        self.assertEqual("placeholder" in out, placeholder, out)
        self.assertEqual(cli.notes, 1 if placeholder else 0, "placeholder notes on --version")
        # A fix writes the payload's bytes and nothing else; the note comes
        # once however many paths there are.
        bundles = [make_bundle(os.path.join(self.dir, name), name) for name in ("A", "B")]
        code, out, err = cli.run(*[cli.arg(b) for b in bundles])
        self.assertEqual((code, err), (0, ""), out)
        self.assertEqual(cli.notes, 1 if placeholder else 0, "placeholder notes on a fix of two shows")
        for bundle in bundles:
            with open(os.path.join(bundle, VIEWER), "rb") as f:
                self.assertEqual(f.read(), payload)

    def test_the_placeholder_build_says_so(self):
        self.check_build(Program(ARGS.program, ARGS.runner), ARGS.payload, ARGS.placeholder == "true")

    def test_a_build_with_a_mac_program_says_nothing(self):
        self.check_build(Program(PAYLOAD_ARGS.macho_program, ARGS.runner), PAYLOAD_ARGS.macho_payload, False)

    def test_only_a_mach_o_executable_counts_as_a_mac_program(self):
        expected = {"thin64": "mac-program", "thin32-big": "mac-program", "universal": "mac-program",
                    "object": "placeholder", "java": "placeholder"}
        for kind, data in make_macho.kinds().items():
            path = os.path.join(self.dir, kind)
            with open(path, "wb") as f:
                f.write(data)
            result = subprocess.run([PAYLOAD_ARGS.cmake, "-DFILE=" + path, "-P", KIND_SCRIPT],
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
            self.assertEqual(result.stdout.strip(), expected[kind], kind)


KIND_SCRIPT = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                           "cmake", "PayloadKind.cmake")

if __name__ == "__main__":
    ARGS, rest = parse_args(sys.argv[1:])
    payload_parser = argparse.ArgumentParser()
    for name in ("macho-program", "macho-payload", "cmake"):
        payload_parser.add_argument("--" + name, required=True)
    PAYLOAD_ARGS, rest = payload_parser.parse_known_args(rest)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
