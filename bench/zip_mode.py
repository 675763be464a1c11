#!/usr/bin/env python3
"""Times nvxfix-cli on a presentation archive against the same job done by
Info-ZIP (copy the archive, unzip, replace the viewer, zip -r -D -5), on
fresh copies of one generated archive, in one run, the contenders taking
turns in each round; prints the median and best times, the ratios of the
medians and the peak memory of each. nvxfix-cli runs with its default number
of packing threads, and with --jobs 1 as well.

  zip_mode.py [--size-mb 200] [--files 400] [--rounds 2] [--cli PATH]
"""
import os
import shutil
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_presentation  # noqa: E402
from folder_mode import bench_setup, timed  # noqa: E402

INFO_ZIP_JOB = r'''
set -e
archive="$1"; payload="$2"; viewer="$3"; work="$4"
cp -p "$archive" "${archive%.zip}.bak.zip"
mkdir -p "$work" && cd "$work"
unzip -q "$archive"
rm -f "$viewer" && cp "$payload" "$viewer" && chmod 755 "$viewer"
rm -f "$archive"
zip -q -r -D -5 -y "$archive" "$(basename "${archive%.zip}").app"
'''


def main():
    a, cli, payload = bench_setup(__doc__, 2)
    work = tempfile.mkdtemp(prefix="nvxfix-zipbench-")
    try:
        bundle = make_presentation.make_bundle(os.path.join(work, "master"), "Show", a.size_mb, a.files, 4096, True, 5)
        master = make_presentation.zip_bundle(bundle)
        shutil.rmtree(bundle)
        commands = {
            "nvxfix-cli": lambda archive, folder: [cli, archive],
            "--jobs 1": lambda archive, folder: [cli, "--jobs", "1", archive],
            "Info-ZIP": lambda archive, folder: ["sh", "-c", INFO_ZIP_JOB, "sh", archive, payload,
                                                 "Show.app/" + make_presentation.VIEWER,
                                                 os.path.join(folder, "unpacked")],
        }
        names = list(commands)
        results = {name: [] for name in names}
        peaks = {name: 0 for name in names}
        for r in range(a.rounds):
            # Each contender goes first in turn, so that a warm cache favours none.
            for turn in names[r % len(names):] + names[:r % len(names)]:
                folder = os.path.join(work, "round%d-%d" % (r, names.index(turn)))
                os.makedirs(folder)
                archive = os.path.join(folder, "Show.zip")
                shutil.copy(master, archive)
                t, peak = timed(commands[turn](archive, folder))
                results[turn].append(t)
                peaks[turn] = max(peaks[turn], peak)
                shutil.rmtree(folder)
        size = os.path.getsize(master) / 1e6
        print("archive: %.0f MB packed, %.0f MB of files, %d files; %d processors" %
              (size, a.size_mb, a.files, os.cpu_count()))
        for name in names:
            print("%-11s: median %.2f s, best %.2f s of %d, peak %.1f MB" %
                  (name, statistics.median(results[name]), min(results[name]), a.rounds, peaks[name] / 1024))
        theirs = statistics.median(results["Info-ZIP"])
        for name in names[:2]:
            print("ratio (%s / Info-ZIP, medians): %.2f" % (name, statistics.median(results[name]) / theirs))
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
