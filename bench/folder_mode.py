#!/usr/bin/env python3
"""Times the folder mode of nvxfix-cli (backup copy plus viewer replacement)
against `cp -a` of the same tree plus the same replacement, on fresh copies
of one generated presentation, in one run. Prints both times, their ratio
and the peak memory of each.

  folder_mode.py [--size-mb 200] [--files 400] [--rounds 3] [--cli PATH]
"""
import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_presentation  # noqa: E402


def timed(cmd):
    """Wall time and peak resident memory (KiB) of one command, the largest of
    its processes. GNU time measures the memory: a child forked from this
    Python would report Python's own size."""
    report = tempfile.NamedTemporaryFile(prefix="nvxfix-time-", delete=False).name
    start = time.perf_counter()
    subprocess.run(["/usr/bin/time", "-o", report, "-f", "%M"] + cmd, check=True, stdout=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    with open(report) as f:
        peak = int(f.read().split()[-1])
    os.remove(report)
    return elapsed, peak


def optimised(root, target):
    """Builds and returns one program of the optimised build."""
    subprocess.run(["cmake", "--preset", "linux-release"], cwd=root, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "build/linux-release", "--target", target, "-j2"], cwd=root,
                   check=True, stdout=subprocess.DEVNULL)
    return os.path.join(root, "build/linux-release", target)



def bench_setup(doc, rounds, extra=None):
    """The options both benchmarks take (extra(parser) adds more), the
    nvxfix-cli to time (built optimised unless --cli names one) and the
    payload it writes."""
    p = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--size-mb", type=float, default=200)
    p.add_argument("--files", type=int, default=400)
    p.add_argument("--rounds", type=int, default=rounds)
    p.add_argument("--cli", default=None, help="nvxfix-cli to time (default: an optimised build)")
    if extra:
        extra(p)
    a = p.parse_args()
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    cli = a.cli or optimised(root, "nvxfix-cli")
    payload = os.path.join(root, "app/payload/ZuvOrudad5")
    # A build made with another NVXFIX_PAYLOAD writes another viewer than the
    # one the rival is given.
    with open(payload, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    shown = subprocess.run([cli, "--version"], check=True, capture_output=True, text=True).stdout
    if digest not in shown.lower():
        sys.exit("%s carries another viewer than %s" % (cli, payload))
    return a, cli, payload


def main():
    a, cli, payload = bench_setup(__doc__, 3)

    work = tempfile.mkdtemp(prefix="nvxfix-bench-")
    try:
        master = make_presentation.make_bundle(os.path.join(work, "master"), "Show", a.size_mb, a.files, 4096, True, 3)
        ours, theirs = [], []
        peak_ours = peak_theirs = 0
        for r in range(a.rounds):
            # Alternate the order so that a warm cache favours neither.
            for turn in ((0, 1) if r % 2 == 0 else (1, 0)):
                copy = os.path.join(work, "round%d-%d" % (r, turn), "Show.app")
                shutil.copytree(master, copy, symlinks=True)
                subprocess.run(["sync"])
                if turn == 0:
                    t, peak = timed([cli, copy])
                    ours.append(t)
                    peak_ours = max(peak_ours, peak)
                else:
                    viewer = os.path.join(copy, make_presentation.VIEWER)
                    script = 'cp -a "$1" "$1.bak" && rm -f "$2" && cp "$3" "$2" && chmod 755 "$2"'
                    t, peak = timed(["sh", "-c", script, "sh", copy, viewer, payload])
                    theirs.append(t)
                    peak_theirs = max(peak_theirs, peak)
                shutil.rmtree(os.path.dirname(copy))
        best_ours, best_theirs = min(ours), min(theirs)
        print("presentation: %.0f MB, %d files" % (a.size_mb, a.files))
        print("nvxfix-cli folder mode : %.3f s (best of %d), peak %.1f MB" % (best_ours, a.rounds, peak_ours / 1024))
        print("cp -a + replacement    : %.3f s (best of %d), peak %.1f MB" % (best_theirs, a.rounds, peak_theirs / 1024))
        print("ratio (ours / cp -a)   : %.2f" % (best_ours / best_theirs))
        print("median of %d pairs     : %.3f s / %.3f s, ratio %.2f" % (
            a.rounds, statistics.median(ours), statistics.median(theirs),
            statistics.median([o / t for o, t in zip(ours, theirs)])))
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
