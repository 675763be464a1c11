#!/usr/bin/env python3
"""Signed shows through nvxfix-cli built around a signed viewer: after a fix
every seal and signature of the show checks by Apple's rules (the checker
shares no code with the fix), a second fix changes nothing and a restore
gives the original back; where a show cannot be signed consistently,
nothing but the viewer changes and a note says why."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

import codesign_check as cc
import signed_show
from e2e_support import VIEWER, Program, parse_args, tree

SHOW_PROGRAM = "Show.app/Contents/MacOS/Show"
SHOW_SEAL = "Show.app/Contents/_CodeSignature/CodeResources"
VIEWER_IN_ZIP = "Show.app/" + VIEWER


def files(bundle):
    """Kind, contents and mode of every entry; times a copy keeps only to the 100 ns."""
    return {path: entry[:3] for path, entry in tree(bundle).items()}


def entries(path):
    with zipfile.ZipFile(path) as z:
        return {i.filename: (z.read(i), i.external_attr) for i in z.infolist()}


class SignedShows(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="nvxfix-e2e-signed-")
        self.cli = Program(ARGS.program, ARGS.runner)
        self.payload = cc.read(ARGS.payload)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def show(self, key, **variant):
        return signed_show.make_signed_show(os.path.join(self.dir, key), **variant)

    def zipped(self, bundle):
        subprocess.run(["zip", "-qry", "Show.zip", "Show.app"], cwd=os.path.dirname(bundle), check=True)
        shutil.rmtree(bundle)
        return os.path.join(os.path.dirname(bundle), "Show.zip")

    def fix(self, *args):
        code, out, err = self.cli.run(*[self.cli.arg(a) if os.path.exists(a) else a for a in args])
        self.assertEqual((code, err), (0, ""), out)
        return out

    def assertSealed(self, show_app, hashes):
        self.assertEqual(cc.check_show(show_app), [])
        for path, identifier in ((os.path.join(show_app, VIEWER), signed_show.VIEWER_ID),
                                 (os.path.join(show_app, "Contents", "MacOS", "Show"), signed_show.SHOW_ID)):
            for sl in cc.signature_info(path):
                self.assertEqual((sl["identifier"], sl["flags"], sorted(sl["hash_types"])),
                                 (identifier, 0x2, sorted(hashes)), path)

    def check_folder(self, hashes):
        """A signed show as a folder: sealed again, then already fixed, and restored whole."""
        bundle = self.show("folder-" + hashes[-1], hashes=hashes)
        before = files(bundle)
        out = self.fix(bundle)
        self.assertIn("Done!", out)
        self.assertIn("note: signed again ad hoc; the first start needs Open Anyway (see the steps)", out)
        self.assertNotIn("terminal:", out)
        self.assertSealed(bundle, hashes)
        self.assertIn("Already fixed", self.fix(bundle))
        self.fix("--restore", bundle)
        self.assertEqual(files(bundle), before)

    # Folder and archive, with one hash kind and both: sealed again, then
    # already fixed, and restored byte for byte.
    def test_a_signed_show_is_signed_again_consistently_and_restores_whole(self):
        for hashes in (signed_show.BOTH, ("sha256",)):
            # Folders with links are fixed on the systems that keep them.
            with self.subTest(hashes=hashes, form="folder"):
                if not self.cli.windows:
                    self.check_folder(hashes)
            with self.subTest(hashes=hashes, form="archive"):
                archive = self.zipped(self.show("zip-" + hashes[-1], hashes=hashes))
                original = cc.read(archive)
                self.assertIn("signed again ad hoc", self.fix(archive))
                fixed = entries(archive)
                # Only the viewer, the show's seal and its program change.
                changed = {n for n, e in entries(os.path.join(os.path.dirname(archive), "Show.bak.zip")).items()
                           if fixed.get(n) != e}
                self.assertEqual(changed, {VIEWER_IN_ZIP, SHOW_SEAL, SHOW_PROGRAM})
                unpacked = os.path.join(self.dir, "unpacked-" + hashes[-1])
                cc.unpack(archive, unpacked)
                self.assertSealed(os.path.join(unpacked, "Show.app"), hashes)
                self.assertIn("Already fixed", self.fix(archive))
                self.fix("--restore", archive)
                self.assertEqual(cc.read(archive), original)

    # Each show the fix cannot sign consistently: the viewer is the payload
    # as it is, every other file stays, and the note names the cause and
    # gives the Terminal lines.
    def test_what_cannot_be_signed_again_changes_only_the_viewer_and_says_why(self):
        if self.cli.windows:
            self.skipTest("folders with links are fixed on the systems that keep them")
        variants = {
            "launcher_no_room": "no room in the show's program's signature",
            "binary_seal": "seal is not in a form this fix reads",
            "extra_seal_file": "a _CodeSignature folder holds more than its seal",
            "flattened_links": "frameworks' links were made files",
            "viewer_sealed": "Viewer.app has no seal",
        }
        for key, cause in variants.items():
            with self.subTest(key):
                bundle = self.show(key, **{key: key != "viewer_sealed"})
                before = files(bundle)
                out = self.fix(bundle)
                self.assertIn(cause, out)
                self.assertEqual(out.count("terminal: "), 3, out)
                after = files(bundle)
                self.assertEqual(after.pop(VIEWER)[1], self.payload)
                before.pop(VIEWER)
                self.assertEqual(after, before)
                self.assertIn("Already fixed", self.fix(bundle))


if __name__ == "__main__":
    ARGS, rest = parse_args(sys.argv[1:])
    if signed_show.missing_tools():
        print("skipped: " + ", ".join(signed_show.missing_tools()) + " missing")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
