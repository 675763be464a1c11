"""nvxfix-cli on ZIP archives, end to end, with the external readers."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

from e2e_support import VIEWER, Program, make_bundle, parse_args
import make_presentation

ARGS = None
DONE = "Done!"
REFUSED = "Slideshow damaged or made not in NVX 8.0"


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

    def archive(self, name="Show", bundle_name=None, links=True):
        """A Mac user's archive <name>.zip holding <bundle_name>.app."""
        src = os.path.join(self.dir, "src-" + name)
        bundle = make_bundle(src, bundle_name or name, links=links and not self.cli.windows)
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

    def test_round_trip_keeps_everything_but_the_viewer(self):
        path, bundle = self.archive()
        original = read(path)
        code, out, err = self.fix(path)
        self.assertEqual((code, out.strip(), err), (0, self.cli.arg(path) + ": " + DONE, ""))
        self.assertEqual(read(os.path.join(self.dir, "Show.bak.zip")), original)
        with zipfile.ZipFile(path) as z:
            self.assertIsNone(z.testzip())
            names = z.namelist()
            self.assertEqual({n.split("/")[0] for n in names}, {"Show.app"})
            before = {i.filename: i for i in zipfile.ZipFile(io_bytes(original)).infolist()}
            self.assertEqual(sorted(names), sorted(before))
            for info in z.infolist():
                data = z.read(info)
                if info.filename == "Show.app/" + VIEWER:
                    self.assertEqual(data, self.payload)
                    self.assertEqual((info.create_system, info.external_attr >> 16), (3, 0o100755))
                    continue
                old = before[info.filename]
                self.assertEqual(data, zipfile.ZipFile(io_bytes(original)).read(old), info.filename)
                self.assertEqual((info.create_system, info.external_attr), (old.create_system, old.external_attr),
                                 info.filename)
        for tool in (["unzip", "-tq", path], ["7z", "t", path]):
            self.assertEqual(subprocess.run(tool, stdout=subprocess.DEVNULL).returncode, 0, tool[0])

    def test_progress_shows_on_a_terminal_only(self):
        if self.cli.windows:
            self.skipTest("a terminal is made for the native build only")
        import pty
        path, _ = self.archive()
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
        for stage in (b"backup [", b"unpack [", b"pack [", b"100%", b"Done!"):
            self.assertIn(stage, output)
        code, out, err = self.fix(path)  # standard error is a pipe here
        self.assertEqual((code, err), (0, ""))

    def test_archive_without_its_bundle_is_refused_and_left_alone(self):
        path, _ = self.archive("Trip", "Holiday")
        original = read(path)
        code, out, _ = self.fix(path)
        self.assertEqual((code, out.strip()), (1, self.cli.arg(path) + ": " + REFUSED))
        self.assertEqual(read(path), original)

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
        cases = {"truncated": good[: len(good) // 2]}
        # A flipped byte inside the first entry's data: the CRC no longer matches.
        with zipfile.ZipFile(path) as z:
            first = z.infolist()[0]
            start = first.header_offset + 30 + len(first.filename.encode()) + len(first.extra)
        broken = bytearray(good)
        broken[start + 3] ^= 0xFF
        cases["wrong-crc"] = bytes(broken)
        for name, data in cases.items():
            with self.subTest(name):
                damaged = os.path.join(self.dir, "Show.zip")
                with open(damaged, "wb") as f:
                    f.write(data)
                self.assertUnchangedAfterError(damaged, data)

    def test_garbage_is_no_presentation(self):
        path = os.path.join(self.dir, "Show.zip")
        data = b"PK\x03\x04" + os.urandom(3000)
        with open(path, "wb") as f:
            f.write(data)
        code, out, err = self.fix(path)
        self.assertIn(code, (1, 2), out + err)
        self.assertEqual(read(path), data)

    def test_unsafe_entry_names_are_refused(self):
        for name in ("../evil.txt", "/abs/evil.txt", "C:/evil.txt", "Show.app/a:stream", "Show.app/bad\x01name"):
            with self.subTest(name):
                path = os.path.join(self.dir, "Show.zip")
                with zipfile.ZipFile(path, "w") as z:
                    z.writestr("Show.app/Contents/Resources/slideshow.dat", b"x")
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


def io_bytes(data):
    import io
    return io.BytesIO(data)


if __name__ == "__main__":
    ARGS, rest = parse_args(sys.argv[1:])
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
