"""Archives other readers disagree about or that attack a reader, written
byte by byte so that every field is the one meant. Run as a script, it
writes them into a folder (the fuzzers' corpus takes them from there)."""
import os
import struct
import sys
import zlib

from e2e_support import MARKER, VIEWER

DOS_TIME, DOS_DATE = 0x6000, 0x5821  # 2024-01-01 12:00


def local_header(name, crc, packed, size, method=0, flags=0, extra=b""):
    return struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, method, DOS_TIME, DOS_DATE, crc, packed, size,
                       len(name), len(extra)) + name + extra


def central_header(name, crc, packed, size, offset, method=0, flags=0, extra=b"", mode=0o100644):
    return struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 3 << 8 | 20, 20, flags, method, DOS_TIME, DOS_DATE, crc,
                       packed, size, len(name), len(extra), 0, 0, 0, mode << 16, offset) + name + extra


def end_record(count, size, offset, comment=b"", comment_length=None):
    length = len(comment) if comment_length is None else comment_length
    return struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, size, offset, length) + comment


class Entry:
    """One entry as stored: the directory's fields, and the local header's
    where a case makes them differ."""

    def __init__(self, name, data, method=0, local=None):
        self.name = name if isinstance(name, bytes) else name.encode()
        self.size = len(data)
        self.crc = zlib.crc32(data)
        if method == 8:
            packer = zlib.compressobj(9, zlib.DEFLATED, -15)
            data = packer.compress(data) + packer.flush()
        self.data, self.method, self.packed = data, method, len(data)
        self.local = local or {}  # name, crc, packed, size, flags, extra of the local header
        self.central_extra = b""
        self.central_sizes = None  # (packed, size) as the directory gives them
        self.central_offset = None
        self.central_name = None  # where the directory gives another name


def directory(entries, offsets):
    out = b""
    for e, offset in zip(entries, offsets):
        packed, size = e.central_sizes or (e.packed, e.size)
        at = offset if e.central_offset is None else e.central_offset
        out += central_header(e.central_name or e.name, e.crc, packed, size, at, e.method, e.local.get("flags", 0),
                              e.central_extra)
    return out


def archive(entries, comment=b"", comment_length=None, before_end=b""):
    """before_end: bytes between the directory and the end record."""
    out = bytearray()
    offsets = []
    for e in entries:
        offsets.append(len(out))
        field = lambda key, value: e.local.get(key, value)
        out += local_header(field("name", e.name), field("crc", e.crc), field("packed", e.packed),
                            field("size", e.size), e.method, field("flags", 0), field("extra", b""))
        out += e.data
    start = len(out)
    out += directory(entries, offsets)
    out += before_end + end_record(len(entries), len(out) - start, start, comment, comment_length)
    return bytes(out)


def zip64_field(*values):
    return struct.pack("<HH", 1, 8 * len(values)) + b"".join(struct.pack("<Q", v) for v in values)


def zip64_size(entry, size, packed=None, offset=None):
    """The directory gives its sizes (and offset) in a ZIP64 field, and the
    local header agrees."""
    values = [size] + ([packed] if packed is not None else []) + ([offset] if offset is not None else [])
    entry.central_extra = zip64_field(*values)
    entry.central_sizes = (0xFFFFFFFF if packed is not None else entry.packed, 0xFFFFFFFF)
    entry.local = {"size": 0xFFFFFFFF, "packed": 0xFFFFFFFF,
                   "extra": zip64_field(size, entry.packed if packed is None else packed)}
    if offset is not None:
        entry.central_offset = 0xFFFFFFFF
    return entry


# Each case: (file name, bytes, what it holds). nvxzip t must report it BAD
# (or refuse it as not an archive) and x must refuse it.
def cases():
    near = 2**64 - 1
    ok = Entry("ok.txt", b"a sound entry\n")
    yield ("zip64-size-near-2-64.zip", archive([ok, zip64_size(Entry("huge.bin", b""), near, near)]),
           "ZIP64 sizes of 2^64-1 and no data")
    yield ("zip64-packed-near-2-63.zip", archive([ok, zip64_size(Entry("huge.bin", b""), 2**63 - 2, 2**63 - 2)]),
           "ZIP64 sizes just below 2^63, whose sum with an offset overflows")
    for label, offset in (("2-64", near - 5), ("2-63", 2**63 - 20)):
        yield ("zip64-offset-near-%s.zip" % label, archive([ok, zip64_size(Entry("far.bin", b"x"), 1, 1, offset)]),
               "a ZIP64 offset near %s" % label)
    yield ("zip64-size-past-data.zip", archive([ok, zip64_size(Entry("long.bin", b"abc", 8), 2**62)]),
           "a ZIP64 size far beyond what the data gives")
    for label, name in (("empty", b""), ("backslash", b"\\"), ("slashes", b"//")):
        bad = Entry(name, b"data under an odd name " * 20, 8)
        bad.crc ^= 1
        yield ("odd-name-%s-bad-crc.zip" % label, archive([ok, bad]), "a bad CRC under the name %r" % name)
    broken = Entry(b"//", b"x" * 300, 8)
    broken.data = b"\xff" * 8 + broken.data[8:]
    yield ("odd-name-broken-deflate.zip", archive([ok, broken]), "broken deflate data under the name '//'")
    for field, value in (("crc", 0x12345678), ("packed", 3), ("size", 5), ("name", b"other.txt")):
        yield ("local-header-%s-differs.zip" % field, archive([ok, Entry("two.txt", b"second entry", local={field: value})]),
               "a local header whose %s differs from the directory's" % field)
    short = Entry("short.bin", bytes(100000), 8)
    short.size = 1000
    yield ("declared-size-too-small.zip", archive([ok, short]), "data that unpacks past its recorded size")
    yield ("control-bytes-in-name.zip", archive([Entry(b"\x1b[31mred\x07.txt", b"x")]),
           "a name with ESC and BEL, refused by x")
    yield ("not-a-zip-text.zip", b"Just a few lines of text,\nnot an archive at all.\n" * 20, "plain text")
    yield ("not-a-zip-gzip.zip", b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03" + zlib.compress(b"text" * 200)[2:],
           "a gzip stream")
    nowhere = bytearray(end_record(3, 138, 4000))
    yield ("not-a-zip-offsets-nowhere.zip", bytes(b"\0" * 500 + nowhere), "an end record whose directory is nowhere")


# ---- one judgement: archives every reader must read alike ----

SHOW = [("Show.app/Contents/Info.plist", b"<plist/>"), ("Show.app/" + VIEWER, b"OLD viewer"),
        ("Show.app/" + MARKER, b"slides " * 40)]
# What each reader does with an archive of each kind.
DAMAGED_ENTRY, DAMAGED_ARCHIVE, UNSAFE, TWO_READINGS = "damaged entry", "damaged archive", "unsafe", "two readings"


def show(*more):
    return [Entry(name, data) for name, data in SHOW] + list(more)


def with_names(central, local):
    e = Entry(local, b"extra text")
    e.central_name = central.encode()
    return e


def folder_with_size(method, packed):
    e = Entry("Show.app/Contents/Stuff/", b"", method)
    e.data, e.packed, e.size = packed, len(packed), 68
    return e


def extra_past_field(where):
    e = Entry("Show.app/Contents/extra.txt", b"extra text")
    block = struct.pack("<HH", 0x5455, 9) + b"\x03\0\0\0\0"  # claims 9 bytes, holds 5
    if where == "central":
        e.central_extra = block
    else:
        e.local = {"extra": block}
    return e


def two_readings():
    """A second directory and end record, of the show without its last
    entry, in the archive comment: both end records fit the file."""
    entries = show(Entry("Show.app/Contents/Resources/more.txt", b"more"))
    body = archive(entries)
    start = body.rindex(b"PK\x01\x02")  # the last central record
    first = struct.unpack_from("<I", body, len(body) - 6)[0]
    full = body[first:len(body) - 22]
    second = full[:start - first]
    inner_at = len(body)  # where the second directory will stand
    inner = second + end_record(len(entries) - 1, len(second), inner_at)
    return body[:-22] + end_record(len(entries), len(full), first, inner)


def locator(offset):
    return struct.pack("<IIQI", 0x07064B50, 0, offset, 1)


# Each: (file name, bytes, kind, what the judgement says, the entry named).
def judged_cases():
    for method, packed, label in ((0, b"", "stored"), (8, b"\x03\x00", "deflated")):
        yield ("folder-with-size-%s.zip" % label, archive(show(folder_with_size(method, packed))), DAMAGED_ENTRY,
               "it is a folder but records 68 bytes of data", "Show.app/Contents/Stuff/")
    for label, central, local in (("dotdot", "../xt", "xt"), ("absolute", "/xt", "xt"), ("drive", "C:/xt", "xt"),
                                  ("backslash", "..\\xt", "xt"), ("local-unsafe", "xt", "../xt"),
                                  ("case", "Xt", "xt"), ("other", "xt", "xu")):
        yield ("names-differ-%s.zip" % label, archive(show(with_names(central, local))), DAMAGED_ENTRY,
               "its local header holds another name", central)
    for label, name in (("dotdot", "../../xt"), ("absolute", "/xt"), ("drive", "C:xt"), ("backslash", "..\\xt")):
        yield ("unsafe-name-%s.zip" % label, archive(show(Entry(name, b"evil"))), UNSAFE, "Unsafe entry name", name)
    yield ("two-readings.zip", two_readings(), TWO_READINGS, "can be read in two ways", None)
    for where, cause in (("central", "a block of its extra field in the directory runs past the field"),
                         ("local", "a block of its local header's extra field runs past the field")):
        yield ("extra-past-field-%s.zip" % where, archive(show(extra_past_field(where))), DAMAGED_ENTRY, cause,
               "Show.app/Contents/extra.txt")
    yield ("comment-past-end.zip", archive(show(), b"short", 40), DAMAGED_ARCHIVE,
           "its comment runs past the end of the file", None)
    for label, offset in (("past-end", 1 << 40), ("nowhere", 0)):
        yield ("zip64-locator-%s.zip" % label, archive(show(), before_end=locator(offset)), DAMAGED_ARCHIVE,
               "no ZIP64 end record stands where its ZIP64 locator points", None)


def zeros_bomb(size):
    """An archive of a few MB holding one entry of size zero bytes."""
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    chunk = bytes(1 << 24)
    data = bytearray()
    crc = 0
    for _ in range(size // len(chunk)):
        data += packer.compress(chunk)
        crc = zlib.crc32(chunk, crc)
    data += packer.flush()
    e = Entry("zeros.bin", b"", 8)
    e.data, e.packed, e.size, e.crc = bytes(data), len(data), size, crc
    return archive([e])


if __name__ == "__main__":
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    for name, content, *_ in list(cases()) + list(judged_cases()):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(content)
