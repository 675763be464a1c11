#!/usr/bin/env python3
"""Times nvxfix-cli on a presentation archive against the same job done by
Info-ZIP (copy the archive, unzip, replace the viewer, zip -r -D -5), on
fresh copies of one generated archive, in one run; prints both times, their
ratio and the peak memory of each.

  zip_mode.py [--size-mb 200] [--files 400] [--rounds 2] [--cli PATH]
"""
import os
import shutil
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
        results = {"nvxfix-cli": [], "Info-ZIP": []}
        peaks = {"nvxfix-cli": 0, "Info-ZIP": 0}
        for r in range(a.rounds):
            for turn in (("nvxfix-cli", "Info-ZIP") if r % 2 == 0 else ("Info-ZIP", "nvxfix-cli")):
                folder = os.path.join(work, "round%d-%s" % (r, turn))
                os.makedirs(folder)
                archive = os.path.join(folder, "Show.zip")
                shutil.copy(master, archive)
                if turn == "nvxfix-cli":
                    t, peak = timed([cli, archive])
                else:
                    t, peak = timed(["sh", "-c", INFO_ZIP_JOB, "sh", archive, payload,
                                     "Show.app/" + make_presentation.VIEWER, os.path.join(folder, "unpacked")])
                results[turn].append(t)
                peaks[turn] = max(peaks[turn], peak)
                shutil.rmtree(folder)
        size = os.path.getsize(master) / 1e6
        print("archive: %.0f MB packed, %.0f MB of files, %d files" % (size, a.size_mb, a.files))
        for name in results:
            print("%-11s: %.2f s (best of %d), peak %.1f MB" % (name, min(results[name]), a.rounds, peaks[name] / 1024))
        print("ratio (nvxfix-cli / Info-ZIP): %.2f" % (min(results["nvxfix-cli"]) / min(results["Info-ZIP"])))
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
