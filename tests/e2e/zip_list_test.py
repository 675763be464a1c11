"""nvxzip l on archives made by Info-ZIP zip, 7z and Python's zipfile,
compared entry by entry with what Python's zipfile reads from them."""
import argparse
import io
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

from e2e_support import Program

ARGS = None

METHODS = {0: "Stored", 8: "Deflated"}
HOSTS = ["FAT", "Amiga", "VMS", "Unix", "VM/CMS", "Atari", "HPFS", "Mac", "Z-Sys", "CP/M",
         "NTFS", "MVS", "VSE", "Acorn", "VFAT", "MVS2", "BeOS", "Tandem", "OS/400", "OSX"]


def printable(text):
    return "".join("\\x%02X" % ord(c) if ord(c) < 0x20 or 0x7f <= ord(c) < 0xa0 else c for c in text)


def zip_text(raw, utf8):
    """Bytes without the UTF-8 flag are UTF-8 too when they decode as such (as macOS and Linux tools write them)."""
    if not utf8 and not raw.isascii():
        try:
            return raw.decode("utf-8")
        except UnicodeDecodeError:
            return raw.decode("cp437")
    return raw.decode("utf-8" if utf8 else "cp437")


def expected_listing(path):
    """The entries and archive comment as zipfile reads them, in the listing's terms."""
    with zipfile.ZipFile(path) as z:
        entries = []
        for i in z.infolist():
            utf8 = i.flag_bits & 0x800
            entries.append({
                "method": METHODS.get(i.compress_type, "#%d" % i.compress_type),
                "packed": i.compress_size,
                "size": i.file_size,
                "crc": "%08X" % i.CRC,
                "time": "%04d-%02d-%02d %02d:%02d:%02d" % i.date_time,
                "host": HOSTS[i.create_system] if i.create_system < len(HOSTS) else "#%d" % i.create_system,
                "attrs": "%08X" % i.external_attr,
                "flags": "%04X" % i.flag_bits,
                "name": i.orig_filename if utf8 else zip_text(i.orig_filename.encode("cp437"), False),
                "comment": printable(zip_text(i.comment, utf8)),
            })
        comment = printable(zip_text(z.comment, False))
    return entries, comment


def split_entry(line):
    # Nine space-separated fields, then the name, which may hold spaces.
    fields = line.split(None, 9)
    prefix_end = 0
    for field in fields[:9]:
        prefix_end = line.index(field, prefix_end) + len(field)
    return fields[:9] + [line[prefix_end + 1:]]


def parse_listing(text):
    lines = text.splitlines()
    entries, comment = [], ""
    for line in lines[1:]:
        if line.startswith("  comment: "):
            entries[-1]["comment"] = line[len("  comment: "):]
        elif line.startswith("Archive comment: "):
            comment = line[len("Archive comment: "):]
        elif line.startswith("Other data in front of the archive: "):
            continue
        else:
            method, packed, size, crc, day, clock, host, attrs, flags, name = split_entry(line)
            entries.append({"method": method, "packed": int(packed), "size": int(size), "crc": crc,
                            "time": day + " " + clock, "host": host, "attrs": attrs, "flags": flags,
                            "name": name, "comment": ""})
    return lines[0], entries, comment


class ZipListing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="nvxzip-e2e-")
        cls.src = os.path.join(cls.dir, "src")
        cls.make_tree(cls.src)
        cls.tool = Program(ARGS.program, ARGS.runner)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    @staticmethod
    def make_tree(root):
        files = {
            "readme.txt": b"A small text that packs well. " * 200,
            "data/random.bin": os.urandom(70000),
            "data/empty.txt": b"",
            "caf\u00e9/na\u00efve \u20ac.txt": b"UTF-8 names",
            "\u65e5\u672c\u8a9e/\u30d5\u30a1\u30a4\u30eb.txt": "\u3053\u3093\u306b\u3061\u306f".encode("utf-8"),
            "with space/and more.txt": b"spaces",
        }
        for rel, data in files.items():
            path = os.path.join(root, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        os.makedirs(os.path.join(root, "empty folder"))
        os.chmod(os.path.join(root, "readme.txt"), 0o755)
        os.chmod(os.path.join(root, "data/random.bin"), 0o600)
        when = 1700000000  # 2023-11-14, an even second
        for base, dirs, names in os.walk(root):
            for n in dirs + names:
                os.utime(os.path.join(base, n), (when, when))

    def archive(self, name):
        return os.path.join(self.dir, name)

    def test_create_and_extract_a_folder(self):
        made = self.archive("made.zip")
        code, _, err = self.tool.run("c", self.tool.arg(made), self.tool.arg(self.src), "--with-folder-name")
        self.assertEqual(code, 0, err)
        with zipfile.ZipFile(made) as z:
            self.assertIsNone(z.testzip())
            names = z.namelist()
        self.assertTrue(all(n.startswith("src/") for n in names), names)
        self.assertIn("src/caf\u00e9/na\u00efve \u20ac.txt", names)
        # Each folder has its entry, before what it holds.
        self.assertIn("src/empty folder/", names)
        self.assertLess(names.index("src/caf\u00e9/"), names.index("src/caf\u00e9/na\u00efve \u20ac.txt"))
        out = os.path.join(self.dir, "extracted")
        code, _, err = self.tool.run("x", self.tool.arg(made), self.tool.arg(out))
        self.assertEqual(code, 0, err)
        self.assertTrue(os.path.isdir(os.path.join(out, "src", "empty folder")))
        for base, _, files in os.walk(self.src):
            for n in files:
                rel = os.path.relpath(os.path.join(base, n), self.src)
                with open(os.path.join(base, n), "rb") as a, open(os.path.join(out, "src", rel), "rb") as b:
                    self.assertEqual(a.read(), b.read(), rel)
        self.assertEqual(self.tool.run("c", self.tool.arg(made), self.tool.arg(self.archive("nowhere")))[0], 2)

    def check(self, path):
        code, out, err = self.tool.run("l", self.tool.arg(path))
        self.assertEqual(code, 0, err)
        self.assertEqual(err, "")
        header, entries, comment = parse_listing(out)
        self.assertTrue(header.startswith("Method"), header)
        want_entries, want_comment = expected_listing(path)
        self.assertEqual(len(entries), len(want_entries))
        for got, want in zip(entries, want_entries):
            self.assertEqual(got, want)
        self.assertEqual(comment, want_comment)
        return entries

    def test_more_entries_than_the_classic_end_record_counts(self):
        if self.tool.windows:
            self.skipTest("70,000 files take too long under wine")
        many = os.path.join(self.dir, "many")
        for d in range(70):
            os.makedirs(os.path.join(many, "d%02d" % d))
            for f in range(1000):
                open(os.path.join(many, "d%02d" % d, "f%03d" % f), "wb").close()
        made = self.archive("many.zip")
        code, _, err = self.tool.run("c", self.tool.arg(made), self.tool.arg(many))
        self.assertEqual(code, 0, err)
        for tool in (["unzip", "-tq", made], ["7z", "t", made]):
            self.assertEqual(subprocess.run(tool, stdout=subprocess.DEVNULL).returncode, 0, tool[0])
        self.assertEqual(self.tool.run("t", self.tool.arg(made))[0], 0)

    def test_entry_over_four_gib(self):
        if not os.environ.get("NVXFIX_LONG_TESTS"):
            self.skipTest("long: set NVXFIX_LONG_TESTS=1")
        big = os.path.join(self.dir, "big")
        os.makedirs(big)
        size = (4 << 30) + 12345
        with open(os.path.join(big, "zeros.bin"), "wb") as f:
            f.truncate(size)
        made = self.archive("big.zip")
        self.assertEqual(self.tool.run("c", self.tool.arg(made), self.tool.arg(big))[0], 0)
        with zipfile.ZipFile(made) as z:
            self.assertEqual(z.getinfo("zeros.bin").file_size, size)
        self.check(made)
        self.assertEqual(self.tool.run("t", self.tool.arg(made))[0], 0)
        self.assertEqual(subprocess.run(["unzip", "-tq", made], stdout=subprocess.DEVNULL).returncode, 0)
        out = os.path.join(self.dir, "big out")
        self.assertEqual(self.tool.run("x", self.tool.arg(made), self.tool.arg(out))[0], 0)
        self.assertEqual(os.path.getsize(os.path.join(out, "zeros.bin")), size)

    def test_extract_refuses_names_windows_cannot_hold_there(self):
        made = self.archive("names.zip")
        with zipfile.ZipFile(made, "w") as z:
            z.writestr("a/Readme.txt", b"1")
            z.writestr("a/README.TXT", b"2")
        out = os.path.join(self.dir, "names out")
        code, _, err = self.tool.run("x", self.tool.arg(made), self.tool.arg(out))
        if self.tool.windows:
            self.assertEqual(code, 2)
            self.assertIn('"a/Readme.txt", "a/README.TXT"', err)
            self.assertFalse(os.path.exists(out))
        else:
            self.assertEqual(code, 0, err)
            self.assertEqual(sorted(os.listdir(os.path.join(out, "a"))), ["README.TXT", "Readme.txt"])

    # ---- Info-ZIP zip

    def test_infozip_deflated_with_comments(self):
        path = self.archive("infozip.zip")
        subprocess.run(["zip", "-r", "-q", path, "."], cwd=self.src, check=True)
        subprocess.run(["zip", "-z", "-q", path], input=b"Archive comment from zip\n", check=True)
        # One entry comment, given on standard input.
        subprocess.run(["zip", "-c", "-q", path, "readme.txt"], input=b"about the readme\n", check=True)
        entries = self.check(path)
        self.assertIn("Deflated", {e["method"] for e in entries})
        self.assertIn("Unix", {e["host"] for e in entries})
        self.assertIn("about the readme", {e["comment"] for e in entries})

    def test_infozip_stored(self):
        path = self.archive("infozip-stored.zip")
        subprocess.run(["zip", "-r", "-q", "-0", path, "."], cwd=self.src, check=True)
        entries = self.check(path)
        self.assertEqual({e["method"] for e in entries}, {"Stored"})

    def test_infozip_streamed_with_data_descriptors(self):
        path = self.archive("infozip-stream.zip")
        # Into a pipe zip cannot seek back, so sizes and CRCs follow the data.
        with open(path, "wb") as out:
            with subprocess.Popen(["zip", "-r", "-q", "-", "."], cwd=self.src, stdout=subprocess.PIPE) as zipper:
                shutil.copyfileobj(zipper.stdout, out)
            self.assertEqual(zipper.returncode, 0)
        entries = self.check(path)
        self.assertTrue(any(int(e["flags"], 16) & 8 for e in entries))

    # ---- 7z

    def test_7z_deflated_and_stored(self):
        for name, options in (("7z-deflate.zip", ["-mm=Deflate"]), ("7z-store.zip", ["-mx0"])):
            path = self.archive(name)
            subprocess.run(["7z", "a", "-tzip", "-bd", path, "."] + options, cwd=self.src, check=True,
                           stdout=subprocess.DEVNULL)
            entries = self.check(path)
            self.assertIn("\u65e5\u672c\u8a9e/\u30d5\u30a1\u30a4\u30eb.txt", {e["name"] for e in entries})

    # ---- Python's zipfile

    def test_python_zipfile(self):
        path = self.archive("python.zip")
        with zipfile.ZipFile(path, "w") as z:
            z.comment = "Python's archive comment".encode()
            for base, dirs, names in sorted(os.walk(self.src)):
                for n in sorted(dirs + names):
                    full = os.path.join(base, n)
                    info = zipfile.ZipInfo.from_file(full, os.path.relpath(full, self.src))
                    info.compress_type = zipfile.ZIP_STORED if n.endswith(".bin") else zipfile.ZIP_DEFLATED
                    if n.startswith("na\u00efve"):
                        # The non-ASCII name makes zipfile set the UTF-8 flag.
                        info.comment = "Entry comment \u00e9".encode("utf-8")
                    if info.is_dir():
                        z.writestr(info, b"")
                    else:
                        with open(full, "rb") as f:
                            z.writestr(info, f.read())
        entries = self.check(path)
        self.assertIn("Entry comment \u00e9", {e["comment"] for e in entries})
        self.assertIn("Stored", {e["method"] for e in entries})

    def test_python_zipfile_unseekable_with_data_descriptors(self):
        class Unseekable(io.RawIOBase):
            def __init__(self, f):
                self.f = f

            def writable(self):
                return True

            def write(self, b):
                return self.f.write(b)

        path = self.archive("python-stream.zip")
        with open(path, "wb") as f:
            with zipfile.ZipFile(Unseekable(f), "w", zipfile.ZIP_DEFLATED) as z:
                z.writestr("streamed/one.txt", b"one " * 1000)
                z.writestr("streamed/\u00fcber.txt", b"two")
        entries = self.check(path)
        self.assertTrue(all(int(e["flags"], 16) & 8 for e in entries))

    # ---- failures

    def test_missing_archive_fails_with_message(self):
        code, out, err = self.tool.run("l", self.tool.arg(self.archive("no-such.zip")))
        self.assertEqual(code, 2)
        self.assertTrue(err.startswith("nvxzip: "), err)
        code, out, err = self.tool.run("q")
        self.assertEqual(code, 2)
        self.assertIn("nvxzip: unknown command q", err)
        code, out, err = self.tool.run("x", "only-one")
        self.assertEqual(code, 2)
        self.assertIn("nvxzip: wrong arguments for x", err)

    def test_archive_without_directory_is_scanned(self):
        path = self.archive("cut.zip")
        subprocess.run(["zip", "-r", "-q", "-0", path, "readme.txt", "with space"], cwd=self.src, check=True)
        with zipfile.ZipFile(path) as z:
            start = min(i.header_offset for i in z.infolist())
            names = [i.orig_filename for i in z.infolist()]
            directory = z.start_dir
        with open(path, "r+b") as f:
            f.truncate(directory)
        code, out, err = self.tool.run("l", self.tool.arg(path))
        self.assertEqual(code, 0, err)
        self.assertIn("scanning", err)
        self.assertEqual(start, 0)
        self.assertEqual([e["name"] for e in parse_listing(out)[1]], names)

    # ---- archives other readers read in their own ways

    def test_stub_false_end_record_and_unsafe_names(self):
        plain = self.archive("plain.zip")
        with zipfile.ZipFile(plain, "w", zipfile.ZIP_DEFLATED) as z:
            for name in ("/abs.txt", "dir//file.txt", "C:/drive.txt", "../up.txt", "ok.txt"):
                z.writestr(zipfile.ZipInfo(name, (2024, 1, 1, 12, 0, 0)), "data of " + name)
        with open(plain, "rb") as f:
            data = f.read()
        # A stub in front whose offsets were not adjusted: read shifted.
        stub = self.archive("stub.zip")
        with open(stub, "wb") as f:
            f.write(b"#!/bin/sh\necho self-extracting\nexit 0\n" * 7 + data)
        entries = self.check(stub)
        # Every name is listed as stored, none dropped.
        self.assertEqual([e["name"] for e in entries], ["/abs.txt", "dir//file.txt", "C:/drive.txt", "../up.txt",
                                                         "ok.txt"])
        self.assertIn("Other data in front of the archive: 266 bytes", self.tool.run("l", self.tool.arg(stub))[1])
        code, out, err = self.tool.run("t", self.tool.arg(stub))
        self.assertEqual(code, 0, out + err)
        self.assertIn("No errors in 5 entries", out)
        # Extraction refuses the unsafe names and writes nothing.
        dest = self.archive("unsafe-out")
        code, out, err = self.tool.run("x", self.tool.arg(stub), self.tool.arg(dest))
        self.assertEqual(code, 2, out + err)
        self.assertIn("nvxzip: Unsafe entry name", err)
        self.assertFalse(os.path.exists(os.path.join(dest, "ok.txt")))

        # An end record inside the comment is passed over. zipfile and
        # Info-ZIP take it for the real one and fail; the listing is that
        # of the archive without the comment.
        false_end = self.archive("false-end.zip")
        with zipfile.ZipFile(false_end, "w") as z:
            z.writestr("a.txt", "hello")
            z.writestr("b.txt", "world")
        want = self.check(false_end)
        with zipfile.ZipFile(false_end, "a") as z:
            z.comment = b"note PK\x05\x06 in the comment, and more text after it"
        code, out, err = self.tool.run("l", self.tool.arg(false_end))
        self.assertEqual((code, err), (0, ""))
        self.assertEqual(parse_listing(out)[1], want)
        self.assertEqual(self.tool.run("t", self.tool.arg(false_end))[0], 0)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--runner", default="")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
