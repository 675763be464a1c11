"""nvxfix-cli on bundle folders, end to end."""
import argparse
import hashlib
import json
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest
import zipfile

from e2e_support import MARKER, VIEWER, Program, mac_unpack, make_bundle, parse_args, tree
import make_macho
import make_presentation

ARGS = None
DONE = "Done!"
ALREADY_FIXED = "Already fixed"
REFUSED = "Slideshow damaged or made not in NVX 8.0"


def read(path):
    with open(path, "rb") as f:
        return f.read()


def done(backup):
    return "%s (backup: %s)" % (DONE, os.path.basename(backup))


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
        self.assertEqual(out.strip(), self.cli.arg(bundle + "/") + ": " + done(bundle + ".bak"))
        with open(os.path.join(bundle, VIEWER), "rb") as f:
            self.assertEqual(f.read(), self.payload)
        if not self.cli.windows:
            self.assertEqual(os.stat(os.path.join(bundle, VIEWER)).st_mode & 0o777, 0o755)
        self.assertSameTree(before, tree(bundle + ".bak"))
        after = tree(bundle)
        del after[VIEWER], before[VIEWER]
        self.assertEqual({k: v[:2] for k, v in after.items()}, {k: v[:2] for k, v in before.items()})

    def test_second_fix_is_already_fixed_and_every_backup_stays(self):
        bundle = make_bundle(self.dir)
        os.makedirs(bundle + ".bak")
        with open(os.path.join(bundle + ".bak", "note.txt"), "w") as f:
            f.write("an older backup of another show")
        older = tree(bundle + ".bak")
        original = tree(bundle)
        code, out, err = self.fix(bundle)
        self.assertEqual((code, out.strip(), err), (0, self.cli.arg(bundle) + ": " + done(bundle + ".bak (2)"), ""))
        self.assertSameTree(original, tree(bundle + ".bak (2)"))
        self.assertEqual(tree(bundle + ".bak"), older, "the older backup was merged into")
        snapshot = {name: tree(os.path.join(self.dir, name)) for name in os.listdir(self.dir)}
        # One path twice on one command line, as a second run would.
        code, out, err = self.fix(bundle, bundle)
        self.assertEqual((code, out.splitlines()), (0, [self.cli.arg(bundle) + ": " + ALREADY_FIXED] * 2), err)
        self.assertEqual({name: tree(os.path.join(self.dir, name)) for name in os.listdir(self.dir)}, snapshot)

    def test_what_is_no_presentation_is_refused_before_anything_is_copied(self):
        for missing in (MARKER, VIEWER):
            with self.subTest(missing=missing):
                bundle = make_bundle(os.path.join(self.dir, os.path.basename(missing)))
                os.remove(os.path.join(bundle, missing))
                code, out, err = self.fix(bundle)
                self.assertEqual((code, out.strip()), (1, self.cli.arg(bundle) + ": " + REFUSED))
                self.assertFalse(os.path.exists(bundle + ".bak"))
        # An empty path (an unset variable) is no folder, least of all the current one.
        work = os.path.join(self.dir, "work")
        os.makedirs(work)
        code, out, err = self.cli.run("", cwd=work)
        self.assertEqual((code, out), (2, ""), err)
        self.assertIn("empty path", err)
        self.assertEqual(sorted(os.listdir(self.dir)), ["ZuvOrudad5", "slideshow.dat", "work"])

    def test_restore_gives_the_tree_back_and_keeps_the_fixed_one(self):
        bundle = make_bundle(self.dir, links=not self.cli.windows)
        before = tree(bundle)
        self.assertEqual(self.fix(bundle)[0], 0)
        fixed = tree(bundle)
        code, out, err = self.cli.run("--restore", self.cli.arg(bundle))
        self.assertEqual((code, out.strip()), (0, self.cli.arg(bundle) + ": Restored (from Show.app.bak; "
                                                  "fixed show kept as Show.app.bak (2))"), err)
        self.assertSameTree(before, tree(bundle))
        self.assertEqual(tree(bundle + ".bak (2)"), fixed)
        # Every backup left holds a fixed show.
        code, out, err = self.cli.run("--restore", self.cli.arg(bundle))
        self.assertEqual((code, out.strip()), (0, self.cli.arg(bundle) + ": Nothing to restore"), err)
        self.assertEqual(sorted(os.listdir(self.dir)), ["Show.app", "Show.app.bak (2)"])

    def test_read_only_viewer_is_replaced(self):
        bundle = make_bundle(self.dir)
        os.chmod(os.path.join(bundle, VIEWER), 0o555)
        self.assertEqual(self.fix(bundle)[0], 0)
        with open(os.path.join(bundle, VIEWER), "rb") as f:
            self.assertEqual(f.read(), self.payload)

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
        self.assertEqual(out.splitlines(),
                         [self.cli.arg(good) + ": " + ALREADY_FIXED, self.cli.arg(other) + ": " + REFUSED])
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

    def test_failed_backup_removes_only_what_it_made(self):
        if self.cli.windows:
            self.skipTest("no named pipes in a Windows folder")
        bundle = make_bundle(self.dir)
        os.mkfifo(os.path.join(bundle, "Contents", "pipe"))
        os.makedirs(os.path.join(bundle + ".bak", "older"))
        before = tree(bundle)
        code, out, err = self.fix(bundle)
        self.assertEqual((code, out), (2, ""))
        self.assertIn(": error: Cannot create backup \"%s.bak (2)\": " % self.cli.arg(bundle), err)
        self.assertEqual(tree(bundle), before)
        self.assertEqual(sorted(os.listdir(self.dir)), ["Show.app", "Show.app.bak"])
        self.assertEqual(os.listdir(bundle + ".bak"), ["older"])

    def test_a_folder_the_user_cannot_search_fails_the_fix(self):
        if self.cli.windows or os.geteuid() != 0 or not shutil.which("setpriv"):
            self.skipTest("needs root to act as an ordinary user")
        import subprocess
        bundle = make_bundle(self.dir)
        for root, dirs, files in os.walk(self.dir):
            os.chown(root, 65534, 65534)
            for n in files:
                os.chown(os.path.join(root, n), 65534, 65534)
        hidden = os.path.join(bundle, "Contents", "Resources", "text")
        os.chmod(hidden, 0o644)  # its names can be read, its entries not reached
        os.chmod(self.dir, 0o777)
        result = subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", self.cli.path, bundle],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
        out, err = result.stdout.decode(), result.stderr.decode()
        self.assertEqual((result.returncode, out), (2, ""), err)
        self.assertIn("Cannot create backup", err)
        self.assertNotIn(DONE, out + err)
        os.chmod(hidden, 0o755)
        with open(os.path.join(bundle, VIEWER), "rb") as f:
            self.assertTrue(f.read().startswith(b"OLD VIEWER"))
        self.assertEqual(sorted(os.listdir(self.dir)), ["Show.app"])

    def test_links_are_followed_only_where_the_user_pointed(self):
        if self.cli.windows:
            self.skipTest("POSIX links")
        real = os.path.join(self.dir, "real")
        bundle = make_bundle(real)
        os.makedirs(os.path.join(self.dir, "desk"))
        os.symlink(bundle, os.path.join(self.dir, "desk", "Show.app"))
        # A picked link is fixed where it leads and stays a link.
        code, out, err = self.fix(os.path.join(self.dir, "desk", "Show.app"))
        self.assertEqual(code, 0, out + err)
        self.assertTrue(os.path.islink(os.path.join(self.dir, "desk", "Show.app")))
        with open(os.path.join(bundle, VIEWER), "rb") as f:
            self.assertEqual(f.read(), self.payload)
        self.assertTrue(os.path.isdir(bundle + ".bak"))
        # After a link, ".." is the parent of where it leads, as the shell means.
        decoy = make_bundle(self.dir, "Other")
        os.makedirs(os.path.join(real, "sub"))
        os.symlink(os.path.join(real, "sub"), os.path.join(self.dir, "desk", "ln"))
        other = make_bundle(real, "Other")
        code, out, err = self.fix(os.path.join(self.dir, "desk", "ln", "..", "Other.app"))
        self.assertEqual(code, 0, out + err)
        with open(os.path.join(other, VIEWER), "rb") as f:
            self.assertEqual(f.read(), self.payload)
        with open(os.path.join(decoy, VIEWER), "rb") as f:
            self.assertTrue(f.read().startswith(b"OLD VIEWER"))
        # A viewer folder linked out of the bundle is refused; nothing is written there.
        outside = make_bundle(os.path.join(self.dir, "outside"), "Elsewhere")
        third = make_bundle(os.path.join(self.dir, "third"))
        viewer_app = os.path.join(third, "Contents", "Resources", "Viewer.app")
        shutil.rmtree(viewer_app)
        os.symlink(os.path.join(outside, "Contents", "Resources", "Viewer.app"), viewer_app)
        mine = tree(outside)
        code, out, err = self.fix(third)
        self.assertEqual((code, out), (2, ""))
        self.assertIn("is a link", err)
        self.assertEqual(tree(outside), mine)
        self.assertFalse(os.path.exists(third + ".bak"))

    def test_zip_makes_the_archive_a_mac_needs_beside_the_folder(self):
        bundle = make_bundle(self.dir, links=not self.cli.windows)
        theirs = os.path.join(self.dir, "Show.zip")
        with open(theirs, "wb") as f:
            f.write(b"theirs")
        code, out, err = self.cli.run("--zip", self.cli.arg(bundle))
        self.assertEqual((code, err), (0, ""))
        self.assertEqual(out.strip(), self.cli.arg(bundle) + ": Done! (backup: Show.app.bak; to send: Show (2).zip)")
        self.assertEqual(read(theirs), b"theirs")
        unpacked = os.path.join(self.dir, "unpacked")
        mac_unpack(os.path.join(self.dir, "Show (2).zip"), unpacked)
        self.assertEqual(os.listdir(unpacked), ["Show.app"])
        folder, packed = tree(bundle), tree(os.path.join(unpacked, "Show.app"))
        for program in ("Contents/MacOS/Show", VIEWER):
            self.assertEqual(packed[program][2], 0o755, program)
        # Windows keeps no modes to compare: there only the programs' are known.
        kept = 2 if self.cli.windows else 3
        self.assertEqual({k: v[:kept] for k, v in packed.items()}, {k: v[:kept] for k, v in folder.items()})

        code, out, _ = self.cli.run("--zip", "--json", self.cli.arg(bundle))
        self.assertEqual(json.loads(out)["to_send"], self.cli.arg(os.path.join(self.dir, "Show (3).zip")))
        # An archive is what to send already; a check makes nothing.
        code, out, _ = self.cli.run("--zip", "--json", self.cli.arg(os.path.join(self.dir, "Show (3).zip")))
        self.assertEqual((code, json.loads(out)["outcome"], json.loads(out)["to_send"]), (0, "already fixed", None))
        self.assertEqual(self.cli.run("--zip", "--check", self.cli.arg(bundle))[0], 2)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "Show (4).zip")))

    def test_usage(self):
        self.assertEqual(self.cli.run()[0], 2)
        code, out, _ = self.cli.run("--help")
        self.assertEqual(code, 0)
        self.assertIn("Usage: nvxfix-cli", out)
        self.assertEqual(self.cli.run("--bogus")[0], 2)
        code, out, _ = self.cli.run("--version")
        self.assertTrue(out.startswith("nvxfix-cli "))


class RecursiveRun(unittest.TestCase):
    """--recursive over a tree of shows, folders and archives, nested, beside
    backups and a staged file of earlier fixes, an archive of photos, a link
    loop, a link out of the tree and a folder its user cannot read."""

    SHOWS = 300

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="nvxfix-e2e-tree-")
        os.chmod(self.dir, 0o755)
        self.cli = Program(ARGS.program, ARGS.runner)
        # As another user where root can be one: only then is a folder unreadable.
        self.user = []
        if not self.cli.windows and os.geteuid() == 0 and shutil.which("setpriv"):
            self.user = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
        with open(ARGS.payload, "rb") as f:
            self.payload = f.read()

    def tearDown(self):
        os.chmod(self.dir, 0o755)
        for root, dirs, files in os.walk(self.dir):
            for n in dirs:
                os.chmod(os.path.join(root, n), 0o755)
        shutil.rmtree(self.dir)

    def run_tree(self, *args):
        env = {k: v for k, v in os.environ.items() if k not in ("TMPDIR", "TMP", "TEMP")}
        cmd = self.user + ([self.cli.runner] if self.cli.runner else []) + [self.cli.path, "--recursive"] + list(args)
        result = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
        return result.returncode, result.stdout.decode("utf-8", "replace"), result.stderr.decode("utf-8", "replace")

    def make_tree(self):
        master = make_bundle(os.path.join(self.dir, "master"), files=3, size_mb=0.01, links=not self.cli.windows)
        archive = make_presentation.zip_bundle(master)
        root = os.path.join(self.dir, "tree")
        expected, kept = [], []
        for i in range(self.SHOWS):
            folder = os.path.join(root, "year%d" % (i % 5), *["level%d" % d for d in range(i % 3)])
            os.makedirs(folder, exist_ok=True)
            name = os.path.join(folder, "Show%03d" % i)
            if i % 2 == 0:
                path, earlier = name + ".app", [name + ".app.bak"] if i % 10 == 0 else []
                for copy in [path] + earlier:
                    shutil.copytree(master, copy, symlinks=True)
                backup = "backup: " + name + ".app.bak" + (" (2)" if earlier else "")
            else:
                path, earlier = name + ".zip", [name + ".bak.zip", name + ".bak (2).zip"] if i % 10 == 1 else []
                # A staged copy a killed fix left: no show, and the fix of its archive removes it.
                for copy in [path] + earlier + [path + ".nvxfix-new"] * (i % 10 == 3):
                    shutil.copy(archive, copy)
                backup = "fixed Show.app; backup: " + name + (".bak (3).zip" if i % 10 == 1 else ".bak.zip")
            expected.append("%s: Done! (%s)" % (self.cli.arg(path), backup.replace(folder + os.sep, "")))
            kept += earlier
        with zipfile.ZipFile(os.path.join(root, "year0", "photos.zip"), "w") as z:
            z.writestr("beach.txt", "no show")
        outside = make_bundle(os.path.join(self.dir, "outside"), "Elsewhere")
        if not self.cli.windows:
            os.symlink("..", os.path.join(root, "year1", "loop"))
            os.symlink(os.path.dirname(outside), os.path.join(root, "year2", "elsewhere"))
        private = os.path.join(root, "year3", "private")
        if self.user:
            shutil.copytree(master, os.path.join(private, "Hidden.app"), symlinks=True)
            for top, dirs, files in os.walk(self.dir):
                for n in [""] + dirs + files:
                    os.lchown(os.path.join(top, n), 65534, 65534)
            os.chown(private, 0, 0)
            os.chmod(private, 0o700)
        kept += [outside] + [private] * bool(self.user)
        return root, sorted(expected), {p: tree(p) if os.path.isdir(p) else read(p) for p in kept}

    def test_every_show_is_fixed_once_and_a_second_run_writes_nothing(self):
        root, expected, kept = self.make_tree()
        passed = 0 if self.cli.windows else 2  # links
        code, out, err = self.run_tree(self.cli.arg(root))
        lines = out.splitlines()
        self.assertEqual(sorted(line for line in lines if ": Done! " in line), expected, err)
        self.assertEqual(code, 2 if self.user else 0, err)
        self.assertRegex(lines[-1], r"^%d shows: %d fixed, 0 already fixed, 0 given execute permission only, 0 refused, 0 failed; "
                                    r"1 without a presentation%s%s; \d+\.\d s$" % (
                                        self.SHOWS, self.SHOWS, ", 2 links not followed" if passed else "",
                                        ", 1 folder unreadable" if self.user else ""))
        skipped = [line.split(": skipped: ")[1] for line in lines if ": skipped: " in line]
        real = os.path.realpath(self.dir)
        self.assertEqual(skipped, ["a link loop: it leads back to %s/tree; not followed" % real,
                                   "a link out of the folder searched, to %s/outside; not followed" % real][:passed] +
                         ["holds no presentation"])
        self.assertEqual(err.count(": error: cannot be read: Access is denied"), 1 if self.user else 0, err)
        for path, before in kept.items():
            self.assertEqual(tree(path) if os.path.isdir(path) else read(path), before, path)
        with open(os.path.join(root, "year4", "level0", "level1", "Show014.app", VIEWER), "rb") as f:
            self.assertEqual(f.read(), self.payload)

        before = tree(root)
        code, out, err = self.run_tree("--json", self.cli.arg(root))
        objects = [json.loads(line) for line in out.splitlines()]
        self.assertEqual([o["outcome"] for o in objects[:-1]], ["already fixed"] * self.SHOWS, err)
        summary = objects[-1]
        self.assertEqual((summary["shows"], summary["already_fixed"], summary["without_presentation"],
                          summary["links_not_followed"], summary["unreadable"]),
                         (self.SHOWS, self.SHOWS, 1, passed, 1 if self.user else 0))
        self.assertEqual(tree(root), before)


    def test_each_show_counts_once_and_check_foresees_what_stops_the_fix(self):
        """Shows that need only execute bits, or a viewer too; archives of
        no show whatever their entries; and, as another user, a read-only
        archive and a show whose folder refuses its backup."""
        if self.cli.windows or not self.user:
            self.skipTest("needs modes and another user")
        root = os.path.join(self.dir, "tree")
        only = make_bundle(root, "Only", files=2, size_mb=0.01)
        shutil.copy(ARGS.payload, os.path.join(only, VIEWER))
        both = make_bundle(root, "Both", files=2, size_mb=0.01)
        for show in (only, both):
            os.chmod(os.path.join(show, "Contents", "MacOS", os.path.basename(show)[:-4]), 0o644)
        for name, method in (("lzma.zip", zipfile.ZIP_LZMA), ("sealed.zip", zipfile.ZIP_DEFLATED)):
            with zipfile.ZipFile(os.path.join(root, name), "w", method) as z:
                z.writestr("notes.txt", b"no show " * 50)
        data = bytearray(read(os.path.join(root, "sealed.zip")))
        for sig, at in ((b"PK\x03\x04", 6), (b"PK\x01\x02", 8)):  # encrypted, as far as readers know
            data[data.index(sig) + at] |= 1
        with open(os.path.join(root, "sealed.zip"), "wb") as f:
            f.write(data)
        locked = make_bundle(os.path.join(root, "locked"), "Locked", files=2, size_mb=0.01)
        readonly = make_presentation.zip_bundle(make_bundle(os.path.join(root, "ro"), "Show", files=2, size_mb=0.01))
        shutil.rmtree(os.path.join(root, "ro", "Show.app"))
        for top, dirs, files in os.walk(self.dir):
            for n in [""] + dirs + files:
                os.lchown(os.path.join(top, n), 65534, 65534)
        os.chown(os.path.dirname(locked), 0, 0)
        os.chmod(readonly, 0o444)
        keys = {"path", "outcome", "text", "backup", "to_send", "kept", "programs", "notes", "commands", "error"}

        def run(*args):
            code, out, err = self.run_tree("--json", *args, root)
            objects = [json.loads(line) for line in out.splitlines()]
            for o in objects[:-1]:
                self.assertEqual(set(o), keys, o)
            return code, {os.path.basename(o["path"]): o for o in objects[:-1]}, objects[-1]

        checked = run("--check")
        fixed = run()
        for code, shows, summary in (checked, fixed):
            self.assertEqual(code, 2)
            self.assertEqual([os.path.basename(p["path"]) for p in summary["passed_by"]], ["lzma.zip", "sealed.zip"])
            counts = {k: sum(o["outcome"] == k for o in shows.values()) for k in ("done", "needs fixing", "error")}
            self.assertEqual((summary["shows"], summary["failed"]), (len(shows), counts["error"]), summary)
            self.assertEqual(summary["fixed"] + summary["restored_permissions"] + summary["needs_fixing"],
                             counts["done"] + counts["needs fixing"], summary)
            for name, text in (("Locked.app", 'Cannot create backup "%s.bak": Access is denied' % locked),
                               ("Show.zip", "it cannot be written (Access is denied)")):
                self.assertIn(text, shows[name]["error"] or "", shows[name])
        self.assertEqual(fixed[2]["restored_permissions"], 1)
        self.assertEqual(fixed[1]["Both.app"]["text"], "Done! (execute permission restored on 1 program; "
                                                       "backup: Both.app.bak)")


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
        if not placeholder:
            self.assertIn("a Mac program (x86_64)", out)
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
        expected = {"thin64": "mac-program x86_64", "thin32-big": "not-current ppc",
                    "universal": "mac-program x86_64, arm64", "object": "placeholder", "java": "placeholder"}
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
