"""The signature checker and the signed shows it is trusted to judge: a
fixture checks clean, one changed byte anywhere sealed is found and named,
and the checker agrees with the linker's own signatures."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import codesign_check as cc
import signed_show
from e2e_support import VIEWER
import make_presentation

SKIP = 77  # ctest's SKIP_RETURN_CODE


def flip(path, at):
    """Changes one bit at offset at, or just after the first bytes at names."""
    if isinstance(at, bytes):
        at = cc.read(path).index(at) + len(at)
    with open(path, "r+b") as f:
        f.seek(at)
        byte = f.read(1)
        f.seek(at)
        f.write(bytes([byte[0] ^ 0x01]))


class SignedShows(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="codesign-check-test-")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def show(self, **kw):
        folder = tempfile.mkdtemp(dir=self.dir)
        return signed_show.make_signed_show(folder, **kw)

    def test_variants_check_clean(self):
        variants = {"both hashes": {}, "SHA-256 only": dict(hashes=("sha256",)),
                    "viewer unsealed": dict(viewer_sealed=False), "binary seals": dict(binary_seal=True),
                    "extra seal file": dict(extra_seal_file=True), "launcher without room": dict(launcher_no_room=True),
                    "i386 slices, 64-bit fat header": dict(payload_kinds=("i386", "x86_64", "arm64"),
                                                           launcher_kinds=("i386", "x86_64"), fat64=True),
                    "thin programs": dict(payload_kinds=("arm64",), launcher_kinds=("x86_64",))}
        for name, kw in variants.items():
            with self.subTest(name):
                show = self.show(**kw)  # raises where the show is not consistent
                for info in cc.signature_info(os.path.join(show, "Contents", "MacOS", "Show")):
                    self.assertEqual((info["identifier"], info["flags"]), (signed_show.SHOW_ID, cc.ADHOC))
        show = self.show(launcher_no_room=True)
        with self.assertRaises(cc.NoRoom):
            cc.sign(os.path.join(show, "Contents", "MacOS", "Show"), signed_show.SHOW_ID, b"", b"", signed_show.BOTH)

    def test_changes_are_found_and_named(self):
        def code_page(show):
            viewer = os.path.join(show, VIEWER)
            arm64 = cc.slices(cc.read(viewer))[-1]
            flip(viewer, arm64.offset + 5000)  # the second page of the last slice
            return "ZuvOrudad5 (arm64) sha1 CodeDirectory: code page 1"

        def info_plist(show):
            flip(os.path.join(show, "Contents", "Info.plist"), b"com.exam")
            return "Show.app/Contents/MacOS/Show (x86_64) sha256 CodeDirectory: special slot 1 differs"

        def seal(show):
            flip(os.path.join(show, "Contents", cc.SEAL), b'cdhash H"')
            return "Show.app/Contents/MacOS/Show (arm64) sha256 CodeDirectory: special slot 3 differs"

        def resource(show):
            flip(os.path.join(show, "Contents", "Resources", "images", "item001.jpg"), 7)
            return "Show.app/Contents/Resources/images/item001.jpg: hash differs from the seal's (files2 hash2)"

        def unsealed(show):
            make_presentation.write(os.path.join(show, "Contents", "Resources", "late.txt"), b"added")
            return "Show.app/Contents/Resources/late.txt: a file the rules seal, missing from files2"

        def relinked(show):
            link = os.path.join(show, "Contents", "Resources", "cover.jpg")
            os.remove(link)
            os.symlink("images/item002.jpg", link)
            return "Show.app/Contents/Resources/cover.jpg: not the link files2 seals"

        def flattened(show):
            return "Frameworks/Player.framework: nested code's program is not signed code"

        for change in (code_page, info_plist, seal, resource, unsealed, relinked, flattened):
            with self.subTest(change.__name__):
                show = self.show(flattened_links=change is flattened)
                expected = change(show)
                problems = cc.check_show(show)
                self.assertTrue(any(expected in p for p in problems), "\n".join(problems))

    def test_command_line_on_archives(self):
        good = make_presentation.zip_bundle(self.show())  # links stay links
        show = self.show()
        flip(os.path.join(show, "Contents", "Resources", "slideshow.dat"), 3)
        bad = make_presentation.zip_bundle(show)
        result = subprocess.run([sys.executable, cc.__file__, good, bad], stdout=subprocess.PIPE, text=True)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout.splitlines()[0], good + ": consistent")
        self.assertIn(bad + ": Show.app/Contents/Resources/slideshow.dat: hash differs", result.stdout)

    def test_agrees_with_the_linker(self):
        for kinds in (("x86_64",), ("arm64",), ("x86_64", "arm64")):
            with self.subTest(kinds):
                path = os.path.join(self.dir, "-".join(kinds))
                with open(path, "wb") as f:
                    f.write(signed_show.joined_by_lipo(kinds))
                self.assertEqual(cc.check_file(path, path)[1], [])
                linker = [cc.code_directories(sl.signature(cc.read(path)))[1][0] for sl in cc.slices(cc.read(path))]
                self.assertEqual({cd.flags for cd in linker}, {0x20000 | cc.ADHOC})
                cc.sign(path, "relinked", hash_types=("sha256",), flags=0x20002, requirements=False, cms=False)
                ours = [cc.code_directories(sl.signature(cc.read(path)))[1][0] for sl in cc.slices(cc.read(path))]
                self.assertEqual([[cd.slot(i) for i in range(cd.n_code)] for cd in ours],
                                 [[cd.slot(i) for i in range(cd.n_code)] for cd in linker])
                self.assertEqual([(cd.exec_base, cd.exec_limit, cd.exec_flags) for cd in ours],
                                 [(cd.exec_base, cd.exec_limit, cd.exec_flags) for cd in linker])


if __name__ == "__main__":
    missing = signed_show.missing_tools()
    if missing:
        print("skipped: %s not installed" % ", ".join(missing))
        sys.exit(SKIP)
    unittest.main(verbosity=2)
