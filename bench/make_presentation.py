#!/usr/bin/env python3
"""Generates a sample Mac presentation bundle (and optionally a ZIP of it).

The layout is the one the fixer checks: <Name>.app/Contents/Resources/
slideshow.dat and the viewer program at Contents/Resources/Viewer.app/
Contents/MacOS/ZuvOrudad5. The rest imitates a real show: pictures and video
that do not compress, text and program files that do.

  make_presentation.py OUT_DIR [--name Show] [--size-mb 1] [--files 40]
                       [--viewer-kb 64] [--zip] [--viewer-first] [--no-links] [--seed 1]
"""
import argparse
import os
import random
import stat
import zipfile

VIEWER = "Contents/Resources/Viewer.app/Contents/MacOS/ZuvOrudad5"
MARKER = "Contents/Resources/slideshow.dat"

WORDS = b"slide transition caption music timeline fade zoom pan title credits album photo " \
        b"holiday family summer beach mountain river city night morning".split()


def text_bytes(rng, size):
    out = bytearray()
    while len(out) < size:
        out += rng.choice(WORDS) + (b"\n" if rng.random() < 0.1 else b" ")
    return bytes(out[:size])


def program_bytes(rng, size):
    # Code-like: repeated instruction patterns with some variation.
    pattern = bytes(rng.randrange(256) for _ in range(64))
    out = bytearray()
    while len(out) < size:
        chunk = bytearray(pattern)
        chunk[rng.randrange(64)] = rng.randrange(256)
        out += chunk
    return bytes(out[:size])


def write(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)


def make_bundle(out_dir, name, size_mb, files, viewer_kb, links, seed):
    rng = random.Random(seed)
    bundle = os.path.join(out_dir, name + ".app")
    total = int(size_mb * 1024 * 1024)
    media_bytes = int(total * 0.7)
    other_bytes = total - media_bytes

    write(os.path.join(bundle, "Contents/Info.plist"),
          b'<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>'
          b"<key>CFBundleExecutable</key><string>" + name.encode() + b"</string></dict></plist>\n")
    write(os.path.join(bundle, "Contents/MacOS", name), program_bytes(rng, 16 * 1024), 0o755)
    write(os.path.join(bundle, "Contents/PkgInfo"), b"APPL????")
    write(os.path.join(bundle, MARKER), text_bytes(rng, max(1024, other_bytes // 8)))
    write(os.path.join(bundle, "Contents/Resources/Viewer.app/Contents/Info.plist"),
          b"<plist><dict><key>CFBundleVersion</key><string>8.0.10</string></dict></plist>\n")
    write(os.path.join(bundle, VIEWER), b"OLD VIEWER 8.0.10\n" + program_bytes(rng, viewer_kb * 1024), 0o755)

    media_files = max(1, files * 2 // 3)
    other_files = max(1, files - media_files)
    for i in range(media_files):
        kind, ext = ("images", "jpg") if i % 5 else ("video", "mp4")
        write(os.path.join(bundle, "Contents/Resources", kind, "item%03d.%s" % (i, ext)),
              rng.randbytes(media_bytes // media_files))
    for i in range(other_files):
        if i % 2:
            write(os.path.join(bundle, "Contents/Resources/text", "caption%03d.txt" % i),
                  text_bytes(rng, other_bytes // other_files // 2))
        else:
            write(os.path.join(bundle, "Contents/Resources/Viewer.app/Contents/Frameworks/lib%03d.dylib" % i),
                  program_bytes(rng, other_bytes // other_files // 2), 0o755)
    if links:
        framework = os.path.join(bundle, "Contents/Frameworks/Player.framework")
        write(os.path.join(framework, "Versions/A/Player"), program_bytes(rng, 4096), 0o755)
        os.symlink("A", os.path.join(framework, "Versions/Current"))
        os.symlink("Versions/Current/Player", os.path.join(framework, "Player"))
    return bundle


def zip_bundle(bundle, viewer_first=False):
    """Zips the bundle as a Mac user's archive: Unix attributes, links kept.
    With viewer_first the viewer is the archive's first entry, so that a fix
    rewrites all of it."""
    parent = os.path.dirname(bundle)
    base = os.path.basename(bundle)[:-4]
    archive = os.path.join(parent, base + ".zip")
    viewer = os.path.join(bundle, VIEWER)
    paths = []
    for root, dirs, names in os.walk(bundle):
        dirs.sort()
        paths += [os.path.join(root, n) for n in sorted(names + [d for d in dirs if os.path.islink(os.path.join(root, d))])]
    if viewer_first:
        paths = [viewer] + [p for p in paths if p != viewer]
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
        for path in paths:
            arc = os.path.relpath(path, parent)
            st = os.lstat(path)
            info = zipfile.ZipInfo(arc, date_time=(2017, 3, 14, 12, 0, 0))
            info.create_system = 3
            info.external_attr = (st.st_mode & 0xFFFF) << 16
            if stat.S_ISLNK(st.st_mode):
                z.writestr(info, os.readlink(path), zipfile.ZIP_STORED)
            else:
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as f:
                    z.writestr(info, f.read())
    return archive


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("out_dir")
    p.add_argument("--name", default="Show")
    p.add_argument("--size-mb", type=float, default=1)
    p.add_argument("--files", type=int, default=40)
    p.add_argument("--viewer-kb", type=int, default=64)
    p.add_argument("--zip", action="store_true", help="also write <name>.zip beside the bundle")
    p.add_argument("--viewer-first", action="store_true", help="the viewer as the archive's first entry")
    p.add_argument("--no-links", action="store_true", help="no symbolic links in the bundle")
    p.add_argument("--seed", type=int, default=1)
    a = p.parse_args()
    bundle = make_bundle(a.out_dir, a.name, a.size_mb, a.files, a.viewer_kb, not a.no_links, a.seed)
    print(bundle)
    if a.zip:
        print(zip_bundle(bundle, a.viewer_first))


if __name__ == "__main__":
    main()
