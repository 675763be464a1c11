"""Archives other readers disagree about or that attack a reader, written
byte by byte so that every field is the one meant. Run as a script, it
writes them into a folder (the fuzzers' corpus takes them from there)."""
import os
import struct
import sys
import zlib

DOS_TIME, DOS_DATE = 0x6000, 0x5821  # 2024-01-01 12:00


def local_header(name, crc, packed, size, method=0, flags=0, extra=b""):
    return struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, method, DOS_TIME, DOS_DATE, crc, packed, size,
                       len(name), len(extra)) + name + extra


def central_header(name, crc, packed, size, offset, method=0, flags=0, extra=b"", mode=0o100644):
    return struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 3 << 8 | 20, 20, flags, method, DOS_TIME, DOS_DATE, crc,
                       packed, size, len(name), len(extra), 0, 0, 0, mode << 16, offset) + name + extra


def end_record(count, size, offset):
    return struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, size, offset, 0)


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


def archive(entries):
    out = bytearray()
    offsets = []
    for e in entries:
        offsets.append(len(out))
        field = lambda key, value: e.local.get(key, value)
        out += local_header(field("name", e.name), field("crc", e.crc), field("packed", e.packed),
                            field("size", e.size), e.method, field("flags", 0), field("extra", b""))
        out += e.data
    directory = len(out)
    for e, offset in zip(entries, offsets):
        packed, size = e.central_sizes or (e.packed, e.size)
        at = offset if e.central_offset is None else e.central_offset
        out += central_header(e.name, e.crc, packed, size, at, e.method, e.local.get("flags", 0), e.central_extra)
    out += end_record(len(entries), len(out) - directory, directory)
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
    for name, content, _ in cases():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(content)
