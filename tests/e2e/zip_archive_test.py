"""The ZIP archive end to end: archives the library writes pass the tests of
Info-ZIP unzip, 7z and Python's zipfile; archives those tools make (encrypted
ones too) are read back exactly; nvxzip t tells good archives from damaged
ones and names the bad entry."""
import argparse
import glob
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile

import hostile_zips
from e2e_support import Program, Unseekable

ARGS = None
PASSWORD = "secret"


def run(*cmd, cwd=None, env=None):
    return subprocess.run(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)


def make_inputs(folder):
    plain = os.path.join(folder, "plain")
    os.makedirs(os.path.join(plain, "sub"))
    rng = random.Random(5)
    with open(os.path.join(plain, "text.txt"), "w") as f:
        f.write("".join("line %d of the slide show text\n" % i for i in range(4000)))
    with open(os.path.join(plain, "sub", "data.bin"), "wb") as f:
        f.write(bytes(rng.randrange(256) for _ in range(50000)))
    names = ["text.txt", "sub/data.bin"]
    for name, extra in (("encrypted-deflated.zip", []), ("encrypted-stored.zip", ["-0"])):
        result = run("zip", "-q", "-D", "-P", PASSWORD, *extra, os.path.join(folder, name), *names, cwd=plain)
        assert result.returncode == 0, result.stderr
    result = run("7z", "a", "-tzip", os.path.join(folder, "7z-made.zip"), *names, cwd=plain)
    assert result.returncode == 0, result.stdout
    with open(os.path.join(folder, "python-descriptors.zip"), "wb") as raw:
        with zipfile.ZipFile(Unseekable(raw), "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("first.txt", "first " * 3000)
            z.writestr("second.txt", "second " * 2000)
            z.writestr("third.bin", bytes(rng.randrange(256) for _ in range(30000)))


class ZipArchiveExchange(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="nvxzip-e2e-")
        cls.exchange = os.path.join(cls.dir, "exchange")
        make_inputs(cls.exchange)
        with zipfile.ZipFile(os.path.join(cls.exchange, "python-descriptors.zip")) as z:
            assert all(i.flag_bits & 8 for i in z.infolist()), "zipfile wrote no descriptors"
        cls.tool = Program(ARGS.program, ARGS.runner)
        tests = Program(ARGS.tests, ARGS.runner)
        env = dict(os.environ, NVX_ZIP_EXCHANGE=tests.arg(cls.exchange))
        cmd = ([tests.runner] if tests.runner else []) + [tests.path, "--gtest_filter=ZipExchange.*"]
        cls.writer = run(*cmd, env=env)
        cls.out = os.path.join(cls.exchange, "out")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def written(self):
        return sorted(glob.glob(os.path.join(self.out, "*.zip")))

    def test_library_side_ran(self):
        out = self.writer.stdout.decode("utf-8", "replace")
        self.assertEqual(self.writer.returncode, 0, out)
        self.assertIn("[  PASSED  ] 2 tests", out)
        self.assertNotIn("SKIPPED", out)

    def test_other_readers_accept_written_archives(self):
        self.assertEqual(len(self.written()), 6)
        for path in self.written():
            name = os.path.basename(path)
            encrypted = name.startswith("encrypted")
            result = run("unzip", "-tq", *(["-P", PASSWORD] if encrypted else []), path)
            self.assertEqual(result.returncode, 0, name + ": " + result.stdout.decode() + result.stderr.decode())
            result = run("7z", "t", *(["-p" + PASSWORD] if encrypted else []), path)
            self.assertEqual(result.returncode, 0, name + ": " + result.stdout.decode())
            with zipfile.ZipFile(path) as z:
                if encrypted:
                    z.setpassword(PASSWORD.encode())
                self.assertIsNone(z.testzip(), name)

    def test_written_archives_hold_what_was_meant(self):
        expected = {
            "two-level3.zip": (["a/b/one.txt", "two.bin"], 8),
            "two-level0.zip": (["a/b/one.txt", "two.bin"], 0),
            "delete-one-of-three.zip": (["docs/one.txt", "three.dat"], 8),
            "changed-python.zip": (["second.txt", "third.bin", "added/by-us.txt"], 8),
            "changed-7z.zip": (["text.txt", "sub/data.bin", "added.bin"], 8),
            "encrypted-written.zip": (["one.txt", "folder/two.bin"], 8),
        }
        for name, (names, method) in expected.items():
            with zipfile.ZipFile(os.path.join(self.out, name)) as z:
                # 7z orders what it packs its own way; additions come last.
                self.assertEqual(sorted(z.namelist()), sorted(names), name)
                self.assertEqual(z.namelist()[-1], names[-1], name)
                # Kept entries keep their method; ours are stored or deflated as asked.
                self.assertEqual(z.infolist()[-1].compress_type, method, name)
        with zipfile.ZipFile(os.path.join(self.out, "changed-7z.zip")) as z:
            with open(os.path.join(self.exchange, "plain", "sub", "data.bin"), "rb") as f:
                self.assertEqual(z.read("sub/data.bin"), f.read())

    def test_nvxzip_t_passes_good_archives(self):
        good = [p for p in self.written() if not os.path.basename(p).startswith("encrypted")]
        good += [os.path.join(self.exchange, n) for n in ("7z-made.zip", "python-descriptors.zip")]
        for path in good:
            code, out, err = self.tool.run("t", self.tool.arg(path))
            self.assertEqual(code, 0, path + ": " + out + err)
            self.assertIn("No errors in", out)

    def damaged(self, source, name, change):
        with open(os.path.join(self.out, source), "rb") as f:
            data = bytearray(f.read())
        change(data)
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return self.tool.run("t", self.tool.arg(path))

    def test_nvxzip_t_names_the_bad_entry(self):
        def entry(data, wanted):
            """Local header offset, data offset and central header offset of an entry."""
            end = data.rfind(b"PK\x05\x06")
            count, _, directory = struct.unpack_from("<HII", data, end + 10)
            at = directory
            for _ in range(count):
                name_len, extra_len, comment_len = struct.unpack_from("<HHH", data, at + 28)
                local = struct.unpack_from("<I", data, at + 42)[0]
                name = bytes(data[at + 46:at + 46 + name_len]).decode()
                if name == wanted:
                    local_name, local_extra = struct.unpack_from("<HH", data, local + 26)
                    return local, local + 30 + local_name + local_extra, at
                at += 46 + name_len + extra_len + comment_len
            raise KeyError(wanted)

        def flip_data(data):
            data[entry(data, "a/b/one.txt")[1] + 500] ^= 0x55

        def break_last_header(data):
            data[entry(data, "two.bin")[0]] = ord("X")

        def wrong_crc(data):  # in the local header and the directory alike
            local, _, central = entry(data, "two.bin")
            data[local + 14] ^= 1
            data[central + 16] ^= 1

        cases = [
            ("two-level3.zip", "flipped.zip", flip_data, "BAD  a/b/one.txt"),
            ("two-level3.zip", "last-header.zip", break_last_header, "BAD  two.bin: The entry \"two.bin\" is damaged: its local header is missing"),
            ("two-level0.zip", "crc.zip", wrong_crc, "BAD  two.bin: CRC doesn' match"),
        ]
        for source, name, change, expected in cases:
            code, out, err = self.damaged(source, name, change)
            self.assertEqual(code, 1, name + ": " + out + err)
            self.assertIn(expected, out, name)
            self.assertIn("1 of 2 entries are bad", out, name)

    def test_inconsistent_entries_agree_with_other_readers(self):
        """A local header naming another entry, and two directory records of one
        local header: zipfile or Info-ZIP refuse them, nvxzip t names them and
        x stops on them."""
        source = os.path.join(self.exchange, "python-descriptors.zip")
        with open(source, "rb") as f:
            data = f.read()
        with zipfile.ZipFile(source) as z:
            infos = z.infolist()
            directory = z.start_dir
        renamed = bytearray(data)
        renamed[infos[1].header_offset + 30] = ord("X")
        shared = bytearray(data)
        second = data.index(b"PK\x01\x02", directory + 1)
        struct.pack_into("<I", shared, second + 42, infos[0].header_offset)
        cases = (("renamed.zip", renamed, "second.txt", "its local header holds another name"),
                 ("shared.zip", shared, "first.txt", "another directory record points to the same local header"))
        for name, content, entry, cause in cases:
            path = os.path.join(self.dir, name)
            with open(path, "wb") as f:
                f.write(content)
            code, out, err = self.tool.run("t", self.tool.arg(path))
            self.assertEqual(code, 1, out + err)
            self.assertIn('BAD  %s: The entry "%s" is damaged: %s' % (entry, entry, cause), out)
            code, out, err = self.tool.run("x", self.tool.arg(path), self.tool.arg(os.path.join(self.dir, name + "-x")))
            self.assertEqual(code, 2, out + err)
            self.assertIn("is damaged: ", err)
            self.assertNotEqual(run("unzip", "-tq", path).returncode, 0, name)
        with zipfile.ZipFile(os.path.join(self.dir, "renamed.zip")) as z:
            # testzip names the first entry it cannot read.
            self.assertEqual(z.testzip(), "second.txt")

    def test_a_damaged_entry_is_named_with_every_character(self):
        """x names the damaged entry whole on the console, also under Windows,
        whose ANSI code page holds neither "日本" nor "ğ"."""
        entry = "Schöne Grüße/日本 ğ.app/Contents/x.txt"
        path = os.path.join(self.dir, "named.zip")
        with zipfile.ZipFile(path, "w") as z:
            z.writestr(entry, "slides " * 100)
        with open(path, "rb") as f:
            data = bytearray(f.read())
        name_len, extra_len = struct.unpack_from("<HH", data, 26)
        data[30 + name_len + extra_len + 3] ^= 0x55
        with open(path, "wb") as f:
            f.write(data)
        code, out, err = self.tool.run("x", self.tool.arg(path), self.tool.arg(os.path.join(self.dir, "named-x")))
        self.assertEqual(code, 2, out + err)
        self.assertIn('nvxzip: The entry "%s" is damaged: its data does not match its checksum' % entry, err)

    def test_nvxzip_t_after_a_recovery_scan_and_on_encrypted_entries(self):
        source = os.path.join(self.exchange, "python-descriptors.zip")
        with open(source, "rb") as f:
            data = f.read()
        with zipfile.ZipFile(source) as z:
            directory = z.start_dir
        # Without the directory the last entry's sizes come from its
        # descriptor, the file's last bytes; cut those too and it is damaged.
        for cut, bad in ((0, 0), (16, 1)):
            path = os.path.join(self.dir, "no-directory-%d.zip" % cut)
            with open(path, "wb") as f:
                f.write(data[:directory - cut])
            code, out, err = self.tool.run("t", self.tool.arg(path))
            self.assertEqual(code, 1, out + err)
            self.assertIn("The central directory is missing", out)
            self.assertEqual(out.count("OK   "), 3 - bad, out)
            if bad:
                self.assertIn("BAD  third.bin: ", out)
        code, out, err = self.tool.run("t", self.tool.arg(os.path.join(self.exchange, "encrypted-deflated.zip")))
        self.assertEqual(code, 3, out + err)
        self.assertIn('ENCR text.txt: The entry "text.txt" is encrypted, not tested', out)
        self.assertIn("2 encrypted entries were not tested", out)

    def test_nvxzip_t_refuses_what_is_no_archive(self):
        code, out, err = self.tool.run("t", self.tool.arg(os.path.join(self.dir, "missing.zip")))
        self.assertEqual(code, 2, out + err)
        self.assertIn("nvxzip: ", err)


class ModesKept(unittest.TestCase):
    """nvxzip c keeps what a Mac needs to start a program: every unpacker
    that honours Unix modes gives a program back 0755."""

    def test_other_tools_unpack_a_program_as_a_program(self):
        root = tempfile.mkdtemp(prefix="nvxzip-modes-")
        self.addCleanup(shutil.rmtree, root)
        source = os.path.join(root, "Show.app")
        os.makedirs(os.path.join(source, "Resources"))
        for name, data, mode in (("run.sh", b"#!/bin/sh\n", 0o755), ("Resources/text.txt", b"text", 0o644)):
            with open(os.path.join(source, name), "wb") as f:
                f.write(data)
            os.chmod(os.path.join(source, name), mode)
        tool = Program(ARGS.program, ARGS.runner)
        archive = os.path.join(root, "Show.zip")
        code, out, err = tool.run("c", tool.arg(archive), tool.arg(source), "--with-folder-name")
        self.assertEqual(code, 0, out + err)
        with zipfile.ZipFile(archive) as z:
            modes = {i.filename: (i.create_system, i.external_attr >> 16) for i in z.infolist()}
        self.assertEqual(modes["Show.app/run.sh"], (3, 0o100755))
        self.assertEqual(modes["Show.app/Resources/text.txt"], (3, 0o100644))
        for name, unpack in (("unzip", ["unzip", "-q", archive, "-d"]), ("bsdtar", ["bsdtar", "-xf", archive, "-C"])):
            dest = os.path.join(root, name)
            os.makedirs(dest)
            result = run(*unpack, dest)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(os.stat(os.path.join(dest, "Show.app", "run.sh")).st_mode & 0o777, 0o755, name)
            self.assertEqual(os.stat(os.path.join(dest, "Show.app", "Resources", "text.txt")).st_mode & 0o777, 0o644,
                             name)


class HostileArchives(unittest.TestCase):
    """Archives built to make a reader overflow, call damage OK, skip an
    entry or write what it refused: t names each one BAD (or the file no
    archive), and x refuses what t calls BAD, leaving only what it
    extracted before."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="nvxzip-hostile-")
        cls.tool = Program(ARGS.program, ARGS.runner)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def write(self, name, content):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(content)
        return path

    def run_tool(self, *args):
        code, out, err = self.tool.run(*args)
        # Raw control bytes would act on the terminal; sanitizer reports fail here too.
        self.assertNotIn("\x1b", out + err)
        self.assertNotIn("runtime error", err)
        return code, out, err

    def test_each_case_is_bad_for_t_and_refused_by_x(self):
        for name, content, what in hostile_zips.cases():
            with self.subTest(name, what=what):
                path = self.write(name, content)
                dest = os.path.join(self.dir, name + "-x")
                t = self.run_tool("t", self.tool.arg(path))
                x = self.run_tool("x", self.tool.arg(path), self.tool.arg(dest))
                if name.startswith("not-a-zip"):
                    message = 'nvxzip: "%s" is not a ZIP archive' % self.tool.arg(path)
                    for code, out, err in (t, x, self.run_tool("l", self.tool.arg(path))):
                        self.assertEqual(code, 2, out + err)
                        self.assertIn(message, err)
                    self.assertFalse(os.path.exists(dest))
                elif name.startswith("control-bytes"):
                    self.assertEqual(t[0], 0, t)
                    self.assertIn("OK   \\x1B[31mred\\x07.txt", t[1])
                    self.assertEqual(x[0], 2, x)
                    self.assertIn('Unsafe entry name "\\x1B[31mred\\x07.txt"', x[2])
                else:
                    self.assertEqual(t[0], 1, t)
                    self.assertIn("OK   ok.txt", t[1])
                    self.assertIn("1 of 2 entries are bad", t[1])
                    self.assertEqual(x[0], 2, x)
                    # Refused by name before anything is written, or after ok.txt.
                    left = sorted(os.listdir(dest)) if os.path.exists(dest) else []
                    self.assertIn(left, ([], ["ok.txt"]), name)
                    if name.startswith("local-header"):
                        field = {"crc": "CRC-32", "packed": "packed size", "size": "size",
                                 "name": "name"}[name.split("-")[2]]
                        self.assertRegex(t[1], "BAD  two.txt: .*its local header (gives|holds) another " + field)
                        # Judged before any data is read.
                        self.assertEqual(left, [])

    def test_every_reader_judges_alike(self):
        """One archive per kind of damage or doubt: l names it, t and x and
        the fixer's check and fix reach the one outcome its kind calls for,
        in the same words, and a refused archive is left as it was."""
        fixer = Program(ARGS.fixer, ARGS.runner)
        for name, content, kind, said, entry in hostile_zips.judged_cases():
            with self.subTest(name):
                folder = os.path.join(self.dir, name[:-4])
                os.makedirs(folder)
                path = os.path.join(folder, "Show.zip")
                with open(path, "wb") as f:
                    f.write(content)
                dest = os.path.join(folder, "x")
                text = {hostile_zips.DAMAGED_ENTRY: 'The entry "%s" is damaged: %s' % (entry, said),
                        hostile_zips.DAMAGED_ARCHIVE: "is damaged: " + said,
                        hostile_zips.UNSAFE: '%s "%s"' % (said, entry)}.get(kind, said)
                l, t = self.run_tool("l", self.tool.arg(path)), self.run_tool("t", self.tool.arg(path))
                x = self.run_tool("x", self.tool.arg(path), self.tool.arg(dest))
                self.assertEqual(l[0], 0, l)
                self.assertEqual(kind != hostile_zips.UNSAFE, text in l[2], l)
                self.assertEqual(t[0], 0 if kind == hostile_zips.UNSAFE else 1, t)
                self.assertEqual(kind != hostile_zips.UNSAFE, text in t[1] and "No errors" not in t[1], t)
                if kind == hostile_zips.DAMAGED_ENTRY:
                    self.assertIn("BAD  %s: " % entry, t[1])
                # Two readings: x takes the one it finds and says so; the rest is refused unwritten.
                readable = kind == hostile_zips.TWO_READINGS
                self.assertEqual((x[0], text in x[2], os.path.exists(dest)), (0 if readable else 2, True, readable), x)
                for options in (["--check"], []):
                    code, out, err = fixer.run(*options, fixer.arg(path))
                    self.assertEqual(code, 2, out + err)
                    self.assertIn(text.replace("The archive", "It"), err)
                    self.assertEqual(sorted(os.listdir(folder)), ["Show.zip"] + ["x"] * readable)
                with open(path, "rb") as f:
                    self.assertEqual(f.read(), content)

    def test_extraction_after_a_recovery_scan_says_so(self):
        content = hostile_zips.archive([hostile_zips.Entry("a.txt", b"first"), hostile_zips.Entry("b.txt", b"second")])
        directory = content.index(b"PK\x01\x02")
        path = self.write("no-directory.zip", content[:directory])
        dest = os.path.join(self.dir, "no-directory-x")
        code, out, err = self.run_tool("x", self.tool.arg(path), self.tool.arg(dest))
        self.assertEqual(code, 1, out + err)
        self.assertIn("the central directory is missing or damaged", err)
        self.assertEqual(sorted(os.listdir(dest)), ["a.txt", "b.txt"])
        self.assertEqual(self.run_tool("t", self.tool.arg(path))[0], 1)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--tests", required=True)
    parser.add_argument("--fixer", required=True)
    parser.add_argument("--runner", default="")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
