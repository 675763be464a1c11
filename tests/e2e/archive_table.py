#!/usr/bin/env python3
"""Archives as users' tools make them, each with the outcome every front end
must reach, and the check of a fixed archive against its original, made on
the raw bytes of the central directory and the local headers.

  archive_table.py make OUTDIR                 (prints the table as JSON)
  archive_table.py check ORIGINAL FIXED PAYLOAD
"""
import copy
import json
import os
import shutil
import struct
import subprocess
import sys
import zipfile
import zlib

from e2e_support import MARKER, VIEWER, Unseekable, make_bundle

FIXED, REFUSED, ERROR = "fixed", "refused", "error"


def read(path):
    with open(path, "rb") as f:
        return f.read()


# ---- makers: (src folder holding Show.app, archive path) ----

def walk_bundle(src, bundle="Show.app"):
    """(path, archive name) of every folder and file of src/<bundle>, folders first, by name."""
    out = []
    for root, dirs, files in os.walk(os.path.join(src, bundle)):
        dirs.sort()
        rel = os.path.relpath(root, src).replace(os.sep, "/")
        out.append((root, rel + "/"))
        out += [(os.path.join(root, n), rel + "/" + n) for n in sorted(files)]
    return out


def run_in(src, *command, **kw):
    return subprocess.run(list(command), cwd=src, check=True, stdout=kw.get("stdout", subprocess.DEVNULL))


def infozip(*options):
    return lambda src, path: run_in(src, "zip", "-q", *options, path, "Show.app")


def infozip_streamed(src, path):
    with open(path, "wb") as f:
        # Links go stored, which zip cannot do on a pipe: they are followed.
        f.write(run_in(src, "zip", "-qr", "-", "Show.app", stdout=subprocess.PIPE).stdout)


def python_zip(method, streamed=False, before=(), after=(), bundle="Show.app"):
    """The bundle by zipfile, with (name, bytes) entries before and after it."""
    def make(src, path):
        with open(path, "wb") as raw, zipfile.ZipFile(Unseekable(raw) if streamed else raw, "w", method) as z:
            for name, data in before:
                z.writestr(name, data)
            for full, name in walk_bundle(src, bundle):
                z.write(full, name)
            for name, data in after:
                z.writestr(name, data)
    return make


UT = b"UT\x05\x00\x03" + struct.pack("<I", 1467000000)
UX = b"ux\x0b\x00\x01\x04" + struct.pack("<I", 501) + b"\x04" + struct.pack("<I", 20)


def finder_zip(src, path):
    """As the Mac's own archiver makes them: folder entries, resource forks under
    __MACOSX, UT and ux fields, data descriptors, and comments."""
    with open(path, "wb") as raw, zipfile.ZipFile(Unseekable(raw), "w", zipfile.ZIP_DEFLATED) as z:
        for full, name in walk_bundle(src):
            info = zipfile.ZipInfo.from_file(full, name)
            info.create_system = 3
            info.extra = UT + UX
            if name.endswith("Info.plist"):
                info.comment = "caf\u00e9".encode("utf-8")  # UTF-8 without the flag
            if info.is_dir():
                z.writestr(info, b"")
            else:
                with open(full, "rb") as f:
                    z.writestr(info, f.read(), zipfile.ZIP_DEFLATED)
        z.writestr("__MACOSX/Show.app/._Contents", b"\x00\x05\x16\x07fork")
        z.comment = b"made on a Mac \x82"


def commented_zip(src, path):
    """Entry comments, an extra field no reader knows, and a long archive comment."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for i, (full, name) in enumerate(walk_bundle(src)):
            info = zipfile.ZipInfo.from_file(full, name)
            info.extra = struct.pack("<HH", 0xCAFE, 6) + b"nvx%03d" % (i % 1000)
            info.comment = b"entry %d" % i
            if info.is_dir():
                z.writestr(info, b"")
            else:
                with open(full, "rb") as f:
                    z.writestr(info, f.read(), zipfile.ZIP_DEFLATED)
        z.comment = b"slides for the club " * 40


def modeless_zip(host=0):
    """No Unix mode: as a Windows archiver makes them (DOS attributes), or
    made on Unix with a mode of 0; the viewer is no program until the fix
    makes it one."""
    def make(src, path):
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
            for full, name in walk_bundle(src):
                info = zipfile.ZipInfo.from_file(full, name)
                info.create_system, info.external_attr = host, 0x10 if info.is_dir() else 0x20
                if info.is_dir():
                    z.writestr(info, b"")
                else:
                    with open(full, "rb") as f:
                        z.writestr(info, f.read(), zipfile.ZIP_DEFLATED)
    return make


# Names no Windows file can take: the fix writes one entry, so they do not matter.
WINDOWS_NAMES = ["Readme.txt", "README.TXT", "notes.txt.", "nul.png", "Icon\r", "slide: one.jpg", "bad\x01name"]
TEXT = b"caption credits music timeline " * 700
DAMAGED = "Show.app/Contents/Resources/text/credits.txt"


def damage(how):
    """A deflated show with a text entry listed after the viewer, broken."""
    def make(src, path):
        python_zip(zipfile.ZIP_DEFLATED, after=[(DAMAGED, TEXT)])(src, path)
        data = bytearray(read(path))
        entries = central_directory(bytes(data))[0]
        names = [e.name for e in entries]
        target = entries[names.index(DAMAGED.encode())]
        assert names.index(("Show.app/" + VIEWER).encode()) < names.index(DAMAGED.encode())
        if how == "crc":  # in the local header and the central record alike
            data[target.offset + 14] ^= 0x01
            data[target.at + 16] ^= 0x01
        else:
            start = target.offset + 30 + len(target.name) + struct.unpack("<H", data[target.offset + 28:][:2])[0]
            data[start + target.packed // 2] ^= 0xFF
        with open(path, "wb") as f:
            f.write(data)
        try:
            zipfile.ZipFile(path).read(DAMAGED)
        except Exception:  # zipfile raises several kinds
            return
        raise AssertionError("the damage to %s went unseen" % path)
    return make


class Case:
    """shown: the bundle as a fixed outcome names it; notes: how many it has;
    commands: how many Terminal lines they call for; starts: whether the fixed
    show can start on a current Mac."""

    def __init__(self, key, make, outcome=FIXED, archive="Show.zip", bundle="Show", damaged=None, shown=None,
                 notes=0, commands=0, starts=True):
        self.key, self.make, self.outcome, self.archive, self.bundle = key, make, outcome, archive, bundle
        self.damaged, self.shown, self.notes, self.commands, self.starts = damaged, shown, notes, commands, starts
        self.path = self.original = None

    @property
    def backup(self):
        return os.path.join(os.path.dirname(self.path), self.archive[:-4] + ".bak.zip")

    def describe(self):
        return {"key": self.key, "path": self.path, "outcome": self.outcome, "damaged": self.damaged,
                "notes": self.notes, "commands": self.commands, "starts": self.starts}


def no_marker(src, path):
    os.remove(os.path.join(src, "Show.app", MARKER))
    python_zip(zipfile.ZIP_DEFLATED)(src, path)


TWIN_NOTES = [("Twins.app/contents/notes.txt", b"notes")]
LAUNCHER = "Contents/MacOS/Show"


def finder_again(src, path):
    """A Windows zip unpacked on a Mac (files 0644, folders 0755) and compressed
    again in the Finder: Unix modes, and none of them runs."""
    for full, _ in walk_bundle(src):
        if not os.path.islink(full):
            os.chmod(full, 0o755 if os.path.isdir(full) else 0o644)
    finder_zip(src, path)


def script_launcher(src, path):
    """A shell script starts the show; it and a helper script lost their execute bits."""
    resources = os.path.join(src, "Show.app", "Contents")
    for name, mode in ((LAUNCHER[len("Contents/"):], 0o644), ("Resources/helper.sh", 0o640)):
        with open(os.path.join(resources, name), "wb") as f:
            f.write(b"#!/bin/sh\nexec true\n")
        os.chmod(os.path.join(resources, name), mode)
    python_zip(zipfile.ZIP_DEFLATED)(src, path)


def folder_down(*others):
    """The folder the show was exported to, zipped whole: the show one folder down."""
    def make(src, path):
        export = os.path.join(src, "My Presentation")
        os.makedirs(export)
        for name in ("Show",) + others:
            if name != "Show":
                make_bundle(src, name)
            shutil.move(os.path.join(src, name + ".app"), export)
        with open(os.path.join(export, "ReadMe.txt"), "wb") as f:
            f.write(b"double-click Show")
        python_zip(zipfile.ZIP_DEFLATED, bundle="My Presentation")(src, path)
    return make


def launcher_32_bit(src, path):
    """A launcher of i386 code only, which no Mac since macOS 10.15 starts."""
    with open(os.path.join(src, "Show.app", LAUNCHER), "wb") as f:
        f.write(struct.pack("<IiiIIII", 0xFEEDFACE, 7, 3, 2, 0, 0, 0) + b"i386 code" * 64)
    python_zip(zipfile.ZIP_DEFLATED)(src, path)


def seal_unread(src, path):
    """A signed show whose seal is a binary property list: signed again on the Mac."""
    seal = os.path.join(src, "Show.app", "Contents", "_CodeSignature")
    os.makedirs(seal)
    with open(os.path.join(seal, "CodeResources"), "wb") as f:
        f.write(b"bplist00" + bytes(40))
    python_zip(zipfile.ZIP_DEFLATED)(src, path)


def no_launcher(src, path):
    os.remove(os.path.join(src, "Show.app", LAUNCHER))
    python_zip(zipfile.ZIP_DEFLATED)(src, path)

TABLE = [
    Case("infozip-ry", infozip("-ry")),
    Case("infozip-D", infozip("-ryD")),
    Case("infozip-X", infozip("-ryX")),
    Case("infozip-fz-zip64", infozip("-ry", "-fz")),
    Case("infozip-streamed", infozip_streamed),
    Case("python-stored", python_zip(zipfile.ZIP_STORED)),
    Case("python-deflated", python_zip(zipfile.ZIP_DEFLATED)),
    Case("python-descriptors", python_zip(zipfile.ZIP_DEFLATED, streamed=True)),
    Case("7z", lambda src, path: run_in(src, "7z", "a", "-tzip", "-bd", path, "Show.app")),
    Case("bsdtar", lambda src, path: run_in(src, "bsdtar", "--format", "zip", "-cf", path, "Show.app")),
    Case("finder", finder_zip),
    Case("comments-and-extra-fields", commented_zip),
    Case("made-on-windows", modeless_zip()),
    Case("beside-the-bundle", python_zip(zipfile.ZIP_DEFLATED, before=[("ReadMe.txt", b"read me")],
                                         after=[("__MACOSX/._Show.app", b"\x00\x05\x16\x07fork")])),
    Case("windows-names", python_zip(zipfile.ZIP_DEFLATED, after=[("Show.app/Contents/" + n, b"content %d" % i)
                                                                  for i, n in enumerate(WINDOWS_NAMES)])),
    # Folders apart only by case are one folder, as on a Mac.
    Case("twins-notes-first", python_zip(zipfile.ZIP_DEFLATED, before=TWIN_NOTES, bundle="Twins.app"),
         archive="Twins.zip", bundle="Twins"),
    Case("twins-notes-last", python_zip(zipfile.ZIP_DEFLATED, after=TWIN_NOTES, bundle="Twins.app"),
         archive="Twins.zip", bundle="Twins"),
    Case("finder-again", finder_again),
    Case("zero-modes", modeless_zip(host=3)),
    Case("script-launcher", script_launcher),
    Case("folder-down", folder_down(), archive="My Presentation.zip", shown="My Presentation/Show.app"),
    Case("two-folder-down", folder_down("Other"), REFUSED, archive="My Presentation.zip", notes=1),
    Case("no-launcher", no_launcher, notes=1, starts=False),
    Case("seal-unread", seal_unread, notes=1, commands=3),
    Case("launcher-32-bit", launcher_32_bit, notes=1, starts=False),
    Case("no-marker", no_marker, REFUSED),
    Case("damaged-crc-after-viewer", damage("crc"), ERROR, damaged=DAMAGED),
    Case("damaged-data-after-viewer", damage("data"), ERROR, damaged=DAMAGED),
]


def make(folder):
    """Every archive of the table in folder/<key>/, each alone in its folder;
    gives the cases with path and original bytes."""
    cases = []
    for case in map(copy.copy, TABLE):
        src = os.path.join(folder, ".src", case.key)
        make_bundle(src, case.bundle, links=True)
        os.makedirs(os.path.join(src, case.bundle + ".app", "Contents", "Resources", "Empty"))
        os.makedirs(os.path.join(folder, case.key))
        case.path = os.path.join(folder, case.key, case.archive)
        case.make(src, case.path)
        case.original = read(case.path)
        cases.append(case)
    shutil.rmtree(os.path.join(folder, ".src"))
    return cases


# ---- the raw check ----

class Entry:
    """One central directory record: where it is, and the fields the check needs."""

    def __init__(self, data, at):
        self.at = at
        (_, self.made_by, _, self.flags, self.method, _, _, self.crc, packed, _, name_length, extra_length,
         comment_length, _, _, self.attributes, offset) = struct.unpack("<IHHHHHHIIIHHHHHII", data[at:at + 46])
        self.name = data[at + 46:at + 46 + name_length]
        self.extra = data[at + 46 + name_length:at + 46 + name_length + extra_length]
        self.end = at + 46 + name_length + extra_length + comment_length
        self.record = bytearray(data[at:self.end])
        self.record[42:46] = b"\0" * 4  # where the local header is may change
        self.packed, self.offset = packed, offset
        # ZIP64 values stand in the order size, packed size, offset, for the fields that say 0xFFFFFFFF.
        field = find_extra(self.extra, 1)
        if field is not None:
            at64 = 46 + name_length + field
            if struct.unpack("<I", data[at + 24:at + 28])[0] == 0xFFFFFFFF:
                at64 += 8
            if packed == 0xFFFFFFFF:
                self.packed = struct.unpack("<Q", self.record[at64:at64 + 8])[0]
                at64 += 8
            if offset == 0xFFFFFFFF:
                self.offset = struct.unpack("<Q", self.record[at64:at64 + 8])[0]
                self.record[at64:at64 + 8] = b"\0" * 8


# The central record's fixed part, field by field.
FIELDS = [("signature", 4), ("version made by", 2), ("version needed", 2), ("flags", 2), ("method", 2),
          ("time", 2), ("date", 2), ("crc", 4), ("packed size", 4), ("size", 4), ("name length", 2),
          ("extra length", 2), ("comment length", 2), ("disk", 2), ("internal attributes", 2),
          ("external attributes", 4), ("offset", 4)]


def record_changes(old, new):
    changes, at = [], 0
    for name, size in FIELDS:
        a, b = (int.from_bytes(r[at:at + size], "little") for r in (old, new))
        if a != b:
            changes.append("%s %#x -> %#x" % (name, a, b))
        at += size
    if old[46:] != new[46:]:
        changes.append("name, extra or comment %s -> %s" % (old[46:].hex(), new[46:].hex()))
    return ", ".join(changes)


def find_extra(extra, kind):
    """Where the data of the first extra field of kind starts, or None."""
    at = 0
    while at + 4 <= len(extra):
        tag, length = struct.unpack("<HH", extra[at:at + 4])
        if tag == kind:
            return at + 4
        at += 4 + length
    return None


def central_directory(data):
    """The records in order and the archive comment."""
    end = len(data)
    while True:
        end = data.rfind(b"PK\x05\x06", 0, end)
        if end < 0:
            raise ValueError("no end of central directory")
        if end + 22 <= len(data) and end + 22 + struct.unpack("<H", data[end + 20:end + 22])[0] == len(data):
            break
    count, size, start = struct.unpack("<HII", data[end + 10:end + 20])
    comment = data[end + 22:]
    if end >= 20 and data[end - 20:end - 16] == b"PK\x06\x07":
        at = struct.unpack("<Q", data[end - 12:end - 4])[0]
        if data[at:at + 4] != b"PK\x06\x06":
            raise ValueError("the ZIP64 locator points at no ZIP64 end record")
        count, size, start = struct.unpack("<QQQ", data[at + 32:at + 56])
    entries, at = [], start
    for _ in range(count):
        if data[at:at + 4] != b"PK\x01\x02":
            raise ValueError("no central record at %d" % at)
        entries.append(Entry(data, at))
        at = entries[-1].end
    if at != start + size:
        raise ValueError("the central directory is not the size the end record says")
    return entries, comment


def stored(data, entry):
    """The entry's local header (with name and extra), its data and its data descriptor, as bytes."""
    at = entry.offset
    if data[at:at + 4] != b"PK\x03\x04":
        raise ValueError("no local header for %r" % entry.name)
    name_length, extra_length = struct.unpack("<HH", data[at + 26:at + 30])
    body = at + 30 + name_length + extra_length
    header, content = data[at:body], data[body:body + entry.packed]
    descriptor = b""
    if entry.flags & 0x8:
        sizes = 16 if find_extra(data[at + 30 + name_length:body], 1) is not None else 8
        tail = body + entry.packed
        length = 4 + 4 + sizes if data[tail:tail + 4] == b"PK\x07\x08" else 4 + sizes
        descriptor = data[tail:tail + length]
        if struct.unpack("<I", descriptor[length - 4 - sizes:][:4])[0] != entry.crc:
            raise ValueError("the data descriptor of %r does not hold its CRC" % entry.name)
    return header, content, descriptor


def is_program(name, packed, entry):
    """What a Mac must be able to start: a file right in a Contents/MacOS
    folder, a Mach-O program or a script, by its first bytes."""
    parts = name.split(b"/")
    if len(parts) >= 3 and parts[-3].lower() == b"contents" and parts[-2].lower() == b"macos":
        return True
    data = packed if entry.method == 0 else zlib.decompressobj(-15).decompress(packed, 8)
    return data[:2] == b"#!" or data[:4] in (b"\xcf\xfa\xed\xfe", b"\xce\xfa\xed\xfe", b"\xfe\xed\xfa\xcf",
                                             b"\xfe\xed\xfa\xce")


def mode_after_fix(data, entry, bundle):
    """The Unix mode a fix gives an entry (bundle: its folder's name and '/'),
    or None where the entry keeps what it has: without a mode, one by kind;
    with one, a program of the bundle runs for whoever may read it."""
    if not has_mode(entry):
        return (0o40755 if entry.name.endswith(b"/") else
                0o100755 if is_program(entry.name, stored(data, entry)[1], entry) else 0o100644)
    mode = entry.attributes >> 16
    if (entry.name.startswith(bundle) and not entry.name.endswith(b"/") and mode & 0o170000 in (0, 0o100000) and
            is_program(entry.name, stored(data, entry)[1], entry)):
        return mode | (mode & 0o444) >> 2
    return None


def bundle_of(entries):
    """The name of the bundle folder the viewer is in, with its '/'."""
    return next(e.name[:-len(VIEWER)] for e in entries if is_viewer(e.name))


def programs_without_mode(original):
    """The programs a fix of original gives an execute bit, the viewer aside."""
    entries = central_directory(original)[0]
    bundle = bundle_of(entries)
    return sum(1 for e in entries
               if not e.name.endswith(b"/") and not is_viewer(e.name) and
               mode_after_fix(original, e, bundle) not in (None, e.attributes >> 16) and
               mode_after_fix(original, e, bundle) & 0o111)


def is_viewer(name):
    return name.endswith(b".app/" + VIEWER.encode())


def has_mode(entry):
    """Whether an entry carries a Unix mode: made elsewhere, or with a mode of 0, it has none."""
    return entry.made_by >> 8 == 3 and entry.attributes >> 16 != 0


def mac_mode(entry):
    """The mode the Mac's Archive Utility unpacks an entry with."""
    if has_mode(entry):
        return entry.attributes >> 16 & 0o7777
    return 0o755 if entry.name.endswith(b"/") else 0o644


def check_fixed(original, fixed_path, payload):
    """What is wrong with the fixed archive (bytes of original, path of the
    fixed one, the payload's bytes); an empty list when nothing is."""
    problems = []
    fixed = read(fixed_path)
    try:
        before, comment = central_directory(original)
        after, new_comment = central_directory(fixed)
    except ValueError as e:
        return ["cannot read the directory: %s" % e]
    if new_comment != comment:
        problems.append("the archive comment changed")
    if [e.name for e in after] != [e.name for e in before]:
        return problems + ["the entries differ or are in another order: %r" %
                           [e.name for e in after if e.name not in {b.name for b in before}]]
    viewers = [i for i, e in enumerate(before) if is_viewer(e.name)]
    if len(viewers) != 1:
        return problems + ["%d viewer entries" % len(viewers)]
    for i, (old, new) in enumerate(zip(before, after)):
        try:
            new_parts = stored(fixed, new)
        except ValueError as e:
            problems.append(str(e))
            continue
        if i in viewers:
            continue
        for part, a, b in zip(("local header", "data", "data descriptor"), stored(original, old), new_parts):
            if a != b:
                problems.append("%s of %r changed" % (part, old.name))
        expected = old.record
        mode = mode_after_fix(original, old, bundle_of(before))
        if mode is not None:
            # The mode a program needs is given in the record only.
            expected = bytearray(old.record)
            expected[5] = 3
            expected[38:42] = struct.pack("<I", mode << 16 | (old.attributes & 0xFFFF))
        if expected != new.record:
            problems.append("central record of %r changed: %s" % (old.name, record_changes(expected, new.record)))
    viewer = after[viewers[0]]
    with zipfile.ZipFile(fixed_path) as z:
        try:
            if z.read(z.infolist()[viewers[0]]) != payload:
                problems.append("the viewer is not the payload")
        except Exception as e:  # zipfile raises several kinds
            problems.append("the viewer cannot be read: %s" % e)
    if (viewer.made_by >> 8, viewer.attributes >> 16) != (3, 0o100755):
        problems.append("the viewer is not a Unix program: host %d, mode %o" % (viewer.made_by >> 8,
                                                                                viewer.attributes >> 16))
    launcher = bundle_of(after) + LAUNCHER.encode()
    for entry in after:
        if entry.name == launcher and mac_mode(entry) != 0o755:
            problems.append("the launcher unpacks on a Mac as %o" % mac_mode(entry))
    for tool in (["unzip", "-tq", fixed_path], ["7z", "t", fixed_path]):
        result = subprocess.run(tool, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if result.returncode != 0:
            problems.append("%s: %s" % (" ".join(tool[:-1]), result.stdout.decode("utf-8", "replace")[-500:]))
    return problems


def check_on_disk(case, payload):
    """For the programs that fix on the disk: a fixed archive passes the check
    and its backup is the original; otherwise nothing was written at all."""
    folder = os.path.dirname(case.path)
    left = sorted(os.listdir(folder))
    if case.outcome != FIXED:
        problems = [] if read(case.path) == case.original else ["the archive changed"]
        return problems + ([] if left == [case.archive] else ["left beside the archive: %s" % left])
    problems = check_fixed(case.original, case.path, payload)
    if not os.path.exists(case.backup) or read(case.backup) != case.original:
        problems.append("the backup is not the original")
    wanted = sorted([case.archive, os.path.basename(case.backup)])
    return problems + ([] if left == wanted else ["in the folder: %s, not %s" % (left, wanted)])


def main(argv):
    if len(argv) == 2 and argv[0] == "make":
        print(json.dumps([c.describe() for c in make(os.path.abspath(argv[1]))], indent=1))
        return 0
    if len(argv) == 4 and argv[0] == "check":
        problems = check_fixed(read(argv[1]), argv[2], read(argv[3]))
        for p in problems:
            print(p)
        return 1 if problems else 0
    print("\n".join(__doc__.strip().splitlines()[-2:]), file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
