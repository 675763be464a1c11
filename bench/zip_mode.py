#!/usr/bin/env python3
"""Times the ZIP mode of nvxfix-cli (default jobs and --jobs 1) against the
same job done by `cp -p Show.zip Show.bak.zip` plus Info-ZIP's
`zip -q Show.zip <viewer path>` (which replaces that one entry and copies
the others as they are), and by that pipeline followed by `sync` of both
files (the fix waits for the disk as it does), on fresh copies of one
generated archive, the contenders taking turns in each round. Scenarios:

  big      a 200 MB show (--size-mb, --files)
  small    a show of --small-files files of about 3 KB each
  already  nvxfix-cli on the big show once it has fixed it

Prints median and best times, peak memory and the ratio of each median to
the pipeline's without sync.

  zip_mode.py [--only big|small|already] [--size-mb 200] [--files 400]
              [--small-files 20000] [--rounds 3] [--cli PATH]
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_presentation  # noqa: E402
from folder_mode import bench_setup, timed  # noqa: E402

VIEWER = "Show.app/" + make_presentation.VIEWER
PIPELINE = 'cp -p "$1" "${1%.zip}.bak.zip" && cd "$2" && zip -q "$1" "$3"'
# The same, waiting as the fix does until both files are on the disk.
DURABLE = PIPELINE + ' && sync "$1" "${1%.zip}.bak.zip"'


def options(p):
    p.add_argument("--only", choices=("big", "small", "already"))
    p.add_argument("--small-files", type=int, default=20000)


def master_archive(work, name, size_mb, files, seed):
    bundle = make_presentation.make_bundle(os.path.join(work, name), "Show", size_mb, files, 4096, True, seed)
    archive = make_presentation.zip_bundle(bundle)
    shutil.rmtree(bundle)
    return archive


def fresh_copy(work, master, label):
    folder = tempfile.mkdtemp(prefix=label + "-", dir=work)
    archive = os.path.join(folder, "Show.zip")
    shutil.copy(master, archive)
    # The copy's write-back should not land on the contender's clock.
    subprocess.run(["sync"])
    return archive


def check_viewer(archive, payload, who):
    """Both roads must leave the same viewer, executable, for the race to be fair."""
    with zipfile.ZipFile(archive) as z, open(payload, "rb") as f:
        info = z.getinfo(VIEWER)
        if z.read(info) != f.read() or (info.external_attr >> 16) & 0o777 != 0o755:
            sys.exit("%s left another viewer in %s" % (who, archive))


def report(name, times, peak, theirs=None):
    line = "  %-20s median %6.3f s, best %6.3f s, peak %6.1f MB" % (
        name, statistics.median(times), min(times), peak / 1024)
    if theirs:
        line += ", ratio %.2f" % (statistics.median(times) / theirs)
    print(line)


def race(title, work, master, cli, payload, rounds):
    # The pipeline's new viewer waits at the entry's path, as zip wants it.
    scratch = tempfile.mkdtemp(prefix="scratch-", dir=work)
    viewer = os.path.join(scratch, VIEWER)
    os.makedirs(os.path.dirname(viewer))
    shutil.copyfile(payload, viewer)
    os.chmod(viewer, 0o755)
    commands = {
        "nvxfix-cli": lambda archive: [cli, archive],
        "nvxfix-cli --jobs 1": lambda archive: [cli, "--jobs", "1", archive],
        "cp + zip": lambda archive: ["sh", "-c", PIPELINE, "sh", archive, scratch, VIEWER],
        "cp + zip + sync": lambda archive: ["sh", "-c", DURABLE, "sh", archive, scratch, VIEWER],
    }
    names = list(commands)
    results = {name: [] for name in names}
    peaks = {name: 0 for name in names}
    for r in range(rounds):
        # Each contender goes first in turn, so that a warm cache favours none.
        for name in names[r % len(names):] + names[:r % len(names)]:
            archive = fresh_copy(work, master, "round")
            t, peak = timed(commands[name](archive))
            results[name].append(t)
            peaks[name] = max(peaks[name], peak)
            if r == 0:
                check_viewer(archive, payload, name)
            shutil.rmtree(os.path.dirname(archive))
    shutil.rmtree(scratch)
    with zipfile.ZipFile(master) as z:
        entries = len(z.infolist())
    print("%s: %.1f MB packed, %d entries, %d rounds, %d processors" % (
        title, os.path.getsize(master) / 1e6, entries, rounds, os.cpu_count()))
    theirs = statistics.median(results["cp + zip"])
    for name in names:
        report(name, results[name], peaks[name], theirs if name != "cp + zip" else None)


def already_fixed(work, master, cli, rounds):
    times, peak = [], 0
    for _ in range(rounds):
        archive = fresh_copy(work, master, "fixed")
        subprocess.run([cli, archive], check=True, stdout=subprocess.DEVNULL)
        t, p = timed([cli, archive])
        times.append(t)
        peak = max(peak, p)
        shutil.rmtree(os.path.dirname(archive))
    print("already fixed: %.1f MB packed, %d rounds (target under 0.1 s)" % (os.path.getsize(master) / 1e6, rounds))
    report("nvxfix-cli", times, peak)


def main():
    a, cli, payload = bench_setup(__doc__, 3, options)
    work = tempfile.mkdtemp(prefix="nvxfix-zipbench-")
    try:
        if a.only in (None, "big", "already"):
            big = master_archive(work, "big", a.size_mb, a.files, 5)
        if a.only in (None, "big"):
            race("%g MB show" % a.size_mb, work, big, cli, payload, a.rounds)
        if a.only in (None, "small"):
            small = master_archive(work, "small", a.small_files * 3 / 1024, a.small_files, 6)
            race("%d small files" % a.small_files, work, small, cli, payload, a.rounds)
        if a.only in (None, "already"):
            already_fixed(work, big, cli, a.rounds)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
