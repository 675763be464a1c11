#!/usr/bin/env python3
"""Times nvxzip l, t and x on an archive of many small entries (65,535 by
default, the most the classic format counts) in an optimised build, and
prints the wall time and peak memory of each; then checks that all three
agree with zipfile on the entries.

  nvxzip_entries.py [--entries 65535] [--nvxzip PATH]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from folder_mode import optimised, timed  # noqa: E402


def make_archive(path, entries):
    """Entries spread over 256 folders, a few bytes each, deflated."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for i in range(entries):
            z.writestr("folder%03d/file%05d.txt" % (i % 256, i), "entry %d\n" % i)


def check_agreement(nvxzip, archive, out, entries):
    with zipfile.ZipFile(archive) as z:
        names = z.namelist()
    listed = subprocess.run([nvxzip, "l", archive], check=True, stdout=subprocess.PIPE, text=True).stdout
    assert [line.split()[-1] for line in listed.splitlines()[1:]] == names, "l disagrees with zipfile"
    tested = subprocess.run([nvxzip, "t", archive], check=True, stdout=subprocess.PIPE, text=True).stdout
    assert tested.endswith("No errors in %d entries\n" % entries), tested[-200:]
    extracted = sum(len(files) for _, _, files in os.walk(out))
    assert extracted == entries, "x made %d files" % extracted
    print("l, t and x agree with zipfile on all %d entries" % entries)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--entries", type=int, default=65535)
    p.add_argument("--nvxzip", default=None, help="nvxzip to time (default: an optimised build)")
    a = p.parse_args()
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    nvxzip = a.nvxzip or optimised(root, "nvxzip")
    work = tempfile.mkdtemp(prefix="nvxzip-bench-")
    try:
        archive = os.path.join(work, "many.zip")
        make_archive(archive, a.entries)
        print("%d entries, %.1f MB, %d processors" % (a.entries, os.path.getsize(archive) / 1e6, os.cpu_count()))
        out = os.path.join(work, "out")
        for command in (["l", archive], ["t", archive], ["x", archive, out]):
            seconds, peak = timed([nvxzip] + command)
            print("nvxzip %s: %6.2f s, peak %5.1f MB" % (command[0], seconds, peak / 1024))
        check_agreement(nvxzip, archive, out, a.entries)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
