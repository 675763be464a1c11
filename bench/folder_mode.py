#!/usr/bin/env python3
"""Times the folder mode of nvxfix-cli (backup copy plus viewer replacement)
against `cp -a` of the same tree, synced to the disk as the fix's backup is
(`sync -f`), plus the same replacement, on fresh copies
of generated presentations, in one run: the 200 MB show of 400 files, and
one of 10,000 small files (--many-files, 0 to leave it out). Prints the
times, their ratio and the peak memory of each; with --earlier, another
nvxfix-cli (the build of an earlier commit, say) takes its turns too.

  folder_mode.py [--size-mb 200] [--files 400] [--many-files 10000] [--rounds 3]
                 [--cli PATH] [--earlier PATH]
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


def race(work, name, size_mb, files, contenders, payload, rounds):
    """Times each contender (label, argv before the bundle) against cp -a
    and a sync plus the replacement on fresh copies of one generated show."""
    master = make_presentation.make_bundle(os.path.join(work, name), "Show", size_mb, files, 4096, True, 3)
    # The fix's backup is on the disk before the show changes, so that a
    # power cut cannot take it: the peer's copy is synced likewise.
    script = 'cp -a "$1" "$1.bak" && sync -f "$1.bak" && rm -f "$2" && cp "$3" "$2" && chmod 755 "$2"'
    runners = [(label, lambda copy, argv=argv: argv + [copy]) for label, argv in contenders]
    runners.append(("cp -a + sync + replacement", lambda copy: [
        "sh", "-c", script, "sh", copy, os.path.join(copy, make_presentation.VIEWER), payload]))
    times = {label: [] for label, _ in runners}
    peaks = {label: 0 for label, _ in runners}
    for r in range(rounds):
        # Each round in another order, so that a warm cache favours none.
        for turn in range(len(runners)):
            label, argv = runners[(turn + r) % len(runners)]
            copy = os.path.join(work, "round%d-%d" % (r, turn), "Show.app")
            shutil.copytree(master, copy, symlinks=True)
            subprocess.run(["sync"])
            t, peak = timed(argv(copy))
            times[label].append(t)
            peaks[label] = max(peaks[label], peak)
            shutil.rmtree(os.path.dirname(copy))
    shutil.rmtree(os.path.dirname(master))
    print("presentation: %.0f MB, %d files" % (size_mb, files))
    theirs = times["cp -a + sync + replacement"]
    for label, _ in runners:
        ours = times[label]
        line = "  %-22s: best %.3f s, median %.3f s of %d, peak %.1f MB" % (
            label, min(ours), statistics.median(ours), rounds, peaks[label] / 1024)
        if ours is not theirs:
            line += "; ratio to cp -a + sync: best %.2f, median of pairs %.2f" % (
                min(ours) / min(theirs), statistics.median([o / t for o, t in zip(ours, theirs)]))
        print(line)


def main():
    def options(p):
        p.add_argument("--many-files", type=int, default=10000)
        p.add_argument("--earlier", default=None, help="another nvxfix-cli to time beside")

    a, cli, payload = bench_setup(__doc__, 3, options)
    contenders = [("nvxfix-cli folder mode", [cli])]
    if a.earlier:
        contenders.append(("earlier nvxfix-cli", [a.earlier]))
    work = tempfile.mkdtemp(prefix="nvxfix-bench-")
    try:
        race(work, "big", a.size_mb, a.files, contenders, payload, a.rounds)
        if a.many_files:
            race(work, "many", 40, a.many_files, contenders, payload, a.rounds)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
