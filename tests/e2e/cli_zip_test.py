"""nvxfix-cli on ZIP archives, end to end, with the external readers."""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unicodedata
import unittest
import zipfile

from e2e_support import VIEWER, Program, make_bundle, parse_args
import archive_table
import make_presentation

ARGS = None
DONE = "Done!"
ALREADY_FIXED = "Already fixed"
REFUSED = "Slideshow damaged or made not in NVX 8.0"


def done(backup="Show.bak.zip", bundle=None, programs=0):
    restored = "execute permission restored on %d program%s; " % (programs, "s" * (programs != 1)) if programs else ""
    return "%s (%s%sbackup: %s)" % (DONE, "fixed %s; " % bundle if bundle else "", restored, backup)


def read(path):
    with open(path, "rb") as f:
        return f.read()


class CliZipMode(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="nvxfix-e2e-zip-")
        self.cli = Program(ARGS.program, ARGS.runner)
        self.payload = read(ARGS.payload)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def archive(self, name="Show", bundle_name=None, links=True, size_mb=0.2):
        """A Mac user's archive <name>.zip holding <bundle_name>.app."""
        src = os.path.join(self.dir, "src-" + name)
        bundle = make_bundle(src, bundle_name or name, links=links and not self.cli.windows, size_mb=size_mb)
        made = make_presentation.zip_bundle(bundle)
        target = os.path.join(self.dir, name + ".zip")
        shutil.move(made, target)
        return target, bundle

    def fix(self, path):
        return self.cli.run(self.cli.arg(path))

    def assertUnchangedAfterError(self, path, before):
        code, out, err = self.fix(path)
        self.assertEqual(code, 2, out + err)
        self.assertIn(": error: ", err)
        self.assertEqual(read(path), before)
        stray = [n for n in os.listdir(os.path.dirname(path)) if n.startswith(os.path.basename(path)) and
                 n != os.path.basename(path)]
        self.assertEqual(stray, [], "files left beside the archive")
        return err

    def test_progress_shows_on_a_terminal_only(self):
        if self.cli.windows:
            self.skipTest("a terminal is made for the native build only")
        import pty
        path, _ = self.archive(size_mb=4)
        pid, fd = pty.fork()
        if pid == 0:
            os.execv(self.cli.path, [self.cli.path, path])
        output = b""
        while True:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            output += chunk
        _, status = os.waitpid(pid, 0)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0, output)
        # The window's stage texts, each drawn at once and then at most ten
        # times a second.
        for stage in (rb"Checking\.\.\. \d+% +\[", rb"Writing\.\.\. \d+% +\[", rb"Done!"):
            self.assertRegex(output, stage)
        self.assertLess(output.count(b"\r"), 40, output)
        code, out, err = self.fix(path)  # standard error is a pipe here
        self.assertEqual((code, err), (0, ""))

    def test_the_bundle_is_found_as_the_user_would_find_it(self):
        # A browser's second download holds the bundle under its first name.
        path, _ = self.archive("Show")
        second = os.path.join(self.dir, "Show (1).zip")
        shutil.move(path, second)
        code, out, err = self.fix(second)
        self.assertEqual((code, out.strip()), (0, self.cli.arg(second) + ": " + done("Show (1).bak.zip", "Show.app")),
                         err)
        # Two other bundles: which one was meant cannot be told, so both are named.
        path, _ = self.archive("Trip", "Holiday")
        with zipfile.ZipFile(path, "a") as z:
            for name in zipfile.ZipFile(second).namelist():
                z.writestr(name, b"x")
        original = read(path)
        code, out, _ = self.fix(path)
        said = self.cli.arg(path) + ": "
        self.assertEqual((code, out.strip()), (1, said + REFUSED + "\n" + said + 'note: this archive holds 2 shows, '
                                                '"Holiday.app" and "Show.app": only an archive of one show can be '
                                                'fixed; zip each on its own'))
        self.assertEqual(read(path), original)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "Trip.bak.zip")))

    def test_check_changes_nothing_and_json_is_for_scripts(self):
        # Made on Windows: no modes, so the launcher would lose its execute bit.
        path, _ = self.archive()
        with zipfile.ZipFile(path) as z:
            entries = [(i, z.read(i)) for i in z.infolist()]
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
            for info, data in entries:
                info.create_system, info.external_attr = 0, 0x10 if info.is_dir() else 0x20
                z.writestr(info, data)
        os.utime(path, (1500000000, 1500000000))
        before = read(path)
        code, out, err = self.cli.run("--check", "--json", self.cli.arg(path), self.cli.arg(self.dir + "/none.zip"))
        self.assertEqual(code, 2, err)
        checked, missing = [json.loads(line) for line in out.splitlines()]
        self.assertEqual((checked["outcome"], checked["backup"], checked["programs"]), ("needs fixing", None, 1))
        self.assertEqual(missing["outcome"], "error")
        self.assertEqual((read(path), os.stat(path).st_mtime), (before, 1500000000))
        self.assertEqual(sorted(os.listdir(self.dir)), ["Show.zip", "src-Show"])
        code, out, err = self.cli.run("--json", self.cli.arg(path))
        fixed = json.loads(out)
        self.assertEqual((code, fixed["outcome"], os.path.basename(fixed["backup"].replace("\\", "/"))),
                         (0, "done", "Show.bak.zip"))
        self.assertIn("execute permission restored on 1 program;", fixed["text"])
        with zipfile.ZipFile(path) as z:
            modes = {i.filename: (i.create_system, i.external_attr >> 16) for i in z.infolist()}
        self.assertEqual(modes["Show.app/Contents/MacOS/Show"], (3, 0o100755))
        self.assertEqual(modes["Show.app/" + VIEWER], (3, 0o100755))
        self.assertEqual(modes["Show.app/Contents/Info.plist"], (3, 0o100644))

    def test_second_fix_is_already_fixed_and_every_backup_stays(self):
        path, _ = self.archive()
        with open(os.path.join(self.dir, "Show.bak.zip"), "wb") as f:
            f.write(b"an older show")
        original = read(path)
        code, out, err = self.fix(path)
        self.assertEqual((code, out.strip()), (0, self.cli.arg(path) + ": " + done("Show.bak (2).zip")), err)
        self.assertEqual(read(os.path.join(self.dir, "Show.bak (2).zip")), original)
        self.assertEqual(read(os.path.join(self.dir, "Show.bak.zip")), b"an older show")
        files = {n: read(os.path.join(self.dir, n)) for n in os.listdir(self.dir) if n.endswith(".zip")}
        code, out, err = self.cli.run(self.cli.arg(path), self.cli.arg(path))
        self.assertEqual((code, out.splitlines()), (0, [self.cli.arg(path) + ": " + ALREADY_FIXED] * 2), err)
        self.assertEqual({n: read(os.path.join(self.dir, n)) for n in os.listdir(self.dir) if n.endswith(".zip")}, files)
        self.assertEqual(sorted(n for n in os.listdir(self.dir) if not n.startswith("src-")), sorted(files))

    def test_restore_takes_the_newest_original_and_refuses_a_damaged_backup(self):
        path, _ = self.archive()
        first = read(path)
        self.assertEqual(self.fix(path)[0], 0)
        # Another show under the same name, fixed in turn.
        other, _ = self.archive("Other", "Show")
        second = read(other)
        shutil.move(other, path)
        self.assertEqual(self.fix(path)[0], 0)
        fixed = read(path)
        code, out, err = self.cli.run("--restore", self.cli.arg(path))
        self.assertEqual((code, out.strip()), (0, self.cli.arg(path) + ": Restored (from Show.bak (2).zip; "
                                                "fixed show kept as Show.bak (3).zip)"), err)
        self.assertEqual((read(path), read(os.path.join(self.dir, "Show.bak (3).zip"))), (second, fixed))
        self.assertEqual(self.cli.run("--restore", self.cli.arg(path))[0], 0)
        self.assertEqual(read(path), first)
        # A byte of an entry's data flipped in the backup a restore would take.
        backup = os.path.join(self.dir, "Show.bak (2).zip")
        with zipfile.ZipFile(backup) as z:
            entry = z.infolist()[0]
        damaged = bytearray(read(backup))
        damaged[entry.header_offset + 30 + len(entry.filename.encode()) + len(entry.extra) + 3] ^= 0xFF
        with open(backup, "wb") as f:
            f.write(damaged)
        names = sorted(os.listdir(self.dir))
        code, out, err = self.cli.run("--restore", "--json", self.cli.arg(path))
        refused = json.loads(out)
        self.assertEqual((code, refused["outcome"], refused["text"]), (1, "backup damaged", "Backup damaged (Show.bak (2).zip)"), err)
        self.assertIn("does not match its checksum", refused["notes"][0])
        self.assertEqual((read(path), read(backup), sorted(os.listdir(self.dir))), (first, bytes(damaged), names))

    def test_name_with_several_dots(self):
        path, _ = self.archive("a.b")
        self.assertEqual(self.fix(path)[0], 0)
        self.assertTrue(os.path.exists(os.path.join(self.dir, "a.b.bak.zip")))

    def test_two_users_one_after_the_other(self):
        if self.cli.windows or os.geteuid() != 0 or not shutil.which("setpriv"):
            self.skipTest("needs root to act as a second user")
        os.chmod(self.dir, 0o777)
        env = {k: v for k, v in os.environ.items() if k not in ("TMPDIR", "TMP", "TEMP")}
        for name, user in (("First", []), ("Second", ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"])):
            path, _ = self.archive(name)
            os.chmod(path, 0o666)
            result = subprocess.run(user + [self.cli.path, path], env=env, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, timeout=300)
            self.assertEqual(result.returncode, 0, result.stderr.decode("utf-8", "replace"))
            with zipfile.ZipFile(path) as z:
                self.assertEqual(z.read("%s.app/%s" % (name, VIEWER)), self.payload)

    def test_damaged_archives_give_an_error_and_stay_as_they_were(self):
        path, _ = self.archive()
        good = read(path)
        with zipfile.ZipFile(path) as z:
            infos = z.infolist()
        first = infos[0]
        start = first.header_offset + 30 + len(first.filename.encode()) + len(first.extra)
        # A flipped byte inside the first entry's data: the CRC no longer matches.
        wrong_crc = bytearray(good)
        wrong_crc[start + 3] ^= 0xFF
        # A local header whose name differs from its directory record.
        other = infos[len(infos) // 2]
        mismatch = bytearray(good)
        mismatch[other.header_offset + 30 + len(other.filename.encode()) - 1] ^= 0x01
        # A local header whose CRC differs from its directory record's.
        local_crc = bytearray(good)
        local_crc[other.header_offset + 14] ^= 0x01
        # Two directory records for one local header.
        end = len(good) - 22
        count, size, offset = struct.unpack("<HII", good[end + 10:end + 20])
        record_length = 46 + sum(struct.unpack("<HHH", good[offset + 28:offset + 34]))
        record = good[offset:offset + record_length]
        shared = (good[:end] + record + good[end:end + 8] + struct.pack("<HHII", count + 1, count + 1, size + record_length, offset) +
                  good[end + 20:])
        # Damage that a scan over local headers would "repair" into a show
        # without its modes, links and later entries, or that would lose data.
        cases = {
            "name mismatch": (bytes(mismatch), "damaged"),
            "shared local header": (shared, "damaged"),
            "local header disagrees": (bytes(local_crc), "its local header gives another CRC-32"),
            "tail cut": (good[:-300], "central directory is missing"),
            "cut at an entry boundary": (good[: infos[len(infos) // 2].header_offset], "central directory is missing"),
            "half": (good[: len(good) // 2], "central directory is missing"),
            "wrong-crc": (bytes(wrong_crc), "The entry \"%s\" is damaged: its data does not match" % first.filename),
        }
        for name, (data, text) in cases.items():
            with self.subTest(name):
                damaged = os.path.join(self.dir, "Show.zip")
                if os.path.exists(os.path.join(self.dir, "Show.bak.zip")):
                    os.remove(os.path.join(self.dir, "Show.bak.zip"))
                with open(damaged, "wb") as f:
                    f.write(data)
                err = self.assertUnchangedAfterError(damaged, data)
                self.assertIn(text, err)
                self.assertNotIn(DONE, err)
                if "central directory" in text:  # found before anything was copied
                    self.assertFalse(os.path.exists(os.path.join(self.dir, "Show.bak.zip")))

    def test_entries_that_cannot_be_unpacked_are_named_with_the_cause(self):
        marker = "Show.app/Contents/Resources/slideshow.dat"
        cases = {"method": ("compression method 14 (LZMA)", zipfile.ZIP_LZMA, 0),
                 "password": ("is password-protected", zipfile.ZIP_DEFLATED, 1)}
        for name, (text, method, flags) in cases.items():
            with self.subTest(name):
                path = os.path.join(self.dir, "Show.zip")
                # A show: an archive of another kind is passed by whatever its entries.
                with zipfile.ZipFile(path, "w") as z:
                    z.writestr("Show.app/Contents/Info.plist", b"<plist/>")
                    z.writestr("Show.app/" + VIEWER, b"OLD")
                    z.writestr(marker, b"slides" * 100, method)
                data = bytearray(read(path))
                if flags:  # the encryption bit, in the local and the central header
                    for sig, at in ((b"PK\x03\x04", 6), (b"PK\x01\x02", 8)):
                        pos = data.rindex(sig)
                        data[pos + at] |= flags
                data = bytes(data)
                with open(path, "wb") as f:
                    f.write(data)
                err = self.assertUnchangedAfterError(path, data)
                self.assertIn('The entry "%s"' % marker, err)
                self.assertIn(text, err)

    def test_garbage_and_empty_archives_are_refused_with_nothing_created(self):
        for name, data in (("garbage", b"PK\x03\x04" + os.urandom(3000)), ("empty", b"")):
            with self.subTest(name):
                path = os.path.join(self.dir, "Show.zip")
                with open(path, "wb") as f:
                    f.write(data)
                code, out, err = self.fix(path)
                self.assertIn(code, (1, 2), out + err)
                self.assertIn("damaged", out + err)
                self.assertEqual(read(path), data)
                self.assertEqual(os.listdir(self.dir), ["Show.zip"])

    def test_unsafe_entry_names_are_refused(self):
        for name in ("../evil.txt", "/abs/evil.txt", "C:/evil.txt", "Show.app/../../evil.txt"):
            with self.subTest(name):
                path = os.path.join(self.dir, "Show.zip")
                with zipfile.ZipFile(path, "w") as z:
                    z.writestr("Show.app/Contents/Resources/slideshow.dat", b"x")
                    z.writestr("Show.app/" + VIEWER, b"OLD")
                    z.writestr(name, b"evil")
                err = self.assertUnchangedAfterError(path, read(path))
                self.assertIn("Unsafe entry name", err)
                self.assertFalse(os.path.exists(os.path.join(os.path.dirname(self.dir), "evil.txt")))

    def test_jobs_change_the_threads_not_the_archive(self):
        path, _ = self.archive()
        original = read(path)
        code, out, err = self.cli.run("--jobs", "0", self.cli.arg(path))
        self.assertEqual(code, 2, out + err)
        self.assertIn("--jobs takes a number from 1 to 64", err)
        self.assertEqual(read(path), original)
        entries = []
        for jobs in ("1", "3"):
            with open(path, "wb") as f:
                f.write(original)
            code, out, err = self.cli.run("--jobs", jobs, self.cli.arg(path))
            self.assertEqual(code, 0, out + err)
            with zipfile.ZipFile(path) as z:
                entries.append([(i.filename, i.CRC, i.compress_size, i.header_offset) for i in z.infolist()])
        self.assertEqual(entries[0], entries[1])

    def test_fixed_archive_keeps_the_archives_permissions(self):
        if self.cli.windows:
            self.skipTest("modes are a POSIX matter")
        path, _ = self.archive()
        os.chmod(path, 0o600)
        self.assertEqual(self.fix(path)[0], 0)
        self.assertEqual(os.stat(path).st_mode & 0o777, 0o600)

    def test_read_only_archive_is_refused_before_anything_happens(self):
        path, _ = self.archive()
        before = read(path)
        os.chmod(path, 0o444)
        try:
            err = self.assertUnchangedAfterError(path, before)
            # The path named once, as given.
            code, _, relative = self.cli.run("Show.zip", cwd=self.dir)
        finally:
            os.chmod(path, 0o644)
        self.assertIn("cannot be written", err)
        self.assertEqual((code, relative.split(" (")[0]), (2, "Show.zip: error: Cannot fix it: it cannot be written"))
        self.assertFalse(os.path.exists(os.path.join(self.dir, "Show.bak.zip")))

    def test_archive_made_by_infozip_keeps_its_utf8_names(self):
        name = "Pr\u00e4sentation"
        src = os.path.join(self.dir, "src")
        make_bundle(src, name, links=not self.cli.windows)
        path = os.path.join(self.dir, name + ".zip")
        subprocess.run(["zip", "-qry", path, name + ".app"], cwd=src, check=True)

        def stored_names(p):
            with zipfile.ZipFile(p) as z:
                # Without the UTF-8 flag zipfile decodes as cp437; encoding back gives the stored bytes.
                return {(i.orig_filename.encode("utf-8" if i.flag_bits & 0x800 else "cp437"), i.flag_bits & 0x800)
                        for i in z.infolist() if not i.is_dir()}

        before = stored_names(path)
        self.assertIn(("Pr\u00e4sentation.app/Contents/PkgInfo".encode(), 0), before)
        code, out, err = self.fix(path)
        self.assertEqual((code, out.strip()), (0, self.cli.arg(path) + ": " + done(name + ".bak.zip")), err)
        self.assertEqual(stored_names(path), before)
        # A bundle made on a Mac has a decomposed name; one typed on Windows, a composed one.
        decomposed = unicodedata.normalize("NFD", name)
        shutil.rmtree(src)
        make_bundle(src, decomposed, links=not self.cli.windows)
        os.remove(path)
        subprocess.run(["zip", "-qry", path, decomposed + ".app"], cwd=src, check=True)
        code, out, err = self.fix(path)
        self.assertEqual(code, 0, out + err)
        with zipfile.ZipFile(path) as z:
            wanted = (decomposed + ".app/" + VIEWER).encode()
            viewer = [i for i in z.infolist() if i.orig_filename.encode("utf-8" if i.flag_bits & 0x800 else "cp437") == wanted]
            self.assertEqual(z.read(viewer[0]), self.payload)

    def test_forward_slashes_are_separators(self):
        os.mkdir(os.path.join(self.dir, "wz3"))
        path, _ = self.archive()
        shutil.move(path, os.path.join(self.dir, "wz3", "Show.zip"))
        path = os.path.join(self.dir, "wz3", "Show.zip")
        absolute = self.cli.arg(path).replace("\\", "/")
        original = read(path)
        for given in ("wz3/Show.zip", absolute):
            with self.subTest(given):
                with open(path, "wb") as f:
                    f.write(original)
                code, out, err = self.cli.run(given, cwd=self.dir)
                self.assertEqual(code, 0, err)
                self.assertTrue(out.startswith(given + ": " + DONE), out)
                self.assertTrue(os.path.exists(os.path.join(self.dir, "wz3", "Show.bak.zip")))


    def test_a_picked_link_fixes_its_target_and_stays_a_link(self):
        if self.cli.windows:
            self.skipTest("POSIX links")
        os.makedirs(os.path.join(self.dir, "real"))
        path, _ = self.archive()
        real = os.path.join(self.dir, "real", "Show.zip")
        shutil.move(path, real)
        os.symlink(real, path)
        code, out, err = self.fix(path)
        self.assertEqual(code, 0, out + err)
        self.assertTrue(os.path.islink(path))
        with zipfile.ZipFile(real) as z:
            self.assertEqual(z.read("Show.app/" + VIEWER), self.payload)
        self.assertTrue(os.path.exists(os.path.join(self.dir, "real", "Show.bak.zip")))

    def test_root_fixing_a_users_archive_keeps_its_owner(self):
        if self.cli.windows or os.geteuid() != 0:
            self.skipTest("needs root")
        path, _ = self.archive()
        os.chown(path, 65534, 65534)
        os.chmod(path, 0o640)
        self.assertEqual(self.fix(path)[0], 0)
        st = os.stat(path)
        self.assertEqual((st.st_uid, st.st_gid, st.st_mode & 0o777), (65534, 65534, 0o640))

    # Archives as users' tools make them: each ends as the table says.
    def test_every_archive_of_the_table_ends_as_the_table_says(self):
        for case in archive_table.make(os.path.join(self.dir, "table")):
            with self.subTest(case.key):
                code, out, err = self.fix(case.path)
                said = self.cli.arg(case.path) + ": "
                lines = out.strip().splitlines()
                self.assertEqual([line[len(said):].split(": ")[0] for line in lines[1:]],
                                 ["note"] * case.notes + ["terminal"] * case.commands, out)
                if case.outcome == archive_table.FIXED:
                    programs = archive_table.programs_without_mode(case.original)
                    self.assertEqual((code, lines[0], err),
                                     (0, said + done(os.path.basename(case.backup), case.shown, programs), ""))
                elif case.outcome == archive_table.REFUSED:
                    self.assertEqual((code, lines[0]), (1, said + REFUSED), err)
                else:
                    self.assertEqual(code, 2, out + err)
                    self.assertIn(": error: ", err)
                    self.assertIn(case.damaged, err)
                self.assertEqual(archive_table.check_on_disk(case, self.payload), [])


if __name__ == "__main__":
    ARGS, rest = parse_args(sys.argv[1:])
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
