#!/usr/bin/env python3
"""Times nvxfix-cli --recursive over a tree of generated shows (bundle
folders and archives in turn, nested up to three folders deep, every tenth
beside a backup of an earlier fix) on fresh copies of one tree, against the
same shows fixed by one nvxfix-cli per show, the contenders taking turns in
each round. Scenarios:

  fix       the first run, which fixes every show
  again     a second run over the fixed tree, which finds every show fixed
  check     --check on a fresh tree

Prints median and best times, the time per show, peak memory and the ratio
of the recursive run's median to that of one program per show.

  tree_mode.py [--shows 300] [--size-mb 0.5] [--files 12] [--rounds 3] [--cli PATH]
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_presentation  # noqa: E402
from folder_mode import bench_setup, timed  # noqa: E402

# The placeholder note each start would print says nothing new.
EACH = 'for show; do "$0" "$show" >/dev/null 2>&1 || exit 1; done'


def options(p):
    p.add_argument("--shows", type=int, default=300)
    p.set_defaults(size_mb=0.5, files=12)


def master_tree(work, shows, size_mb, files):
    """The tree and the paths of its shows."""
    source = os.path.join(work, "source")
    bundle = make_presentation.make_bundle(source, "Show", size_mb, files, 256, True, 9)
    archive = make_presentation.zip_bundle(bundle)
    root = os.path.join(work, "master")
    paths = []
    for i in range(shows):
        folder = os.path.join(root, "year%d" % (i % 5), *["level%d" % d for d in range(i % 3)])
        os.makedirs(folder, exist_ok=True)
        name = os.path.join(folder, "Show%03d" % i)
        if i % 2 == 0:
            paths.append(name + ".app")
            for copy in [paths[-1]] + [name + ".app.bak"] * (i % 10 == 0):
                shutil.copytree(bundle, copy, symlinks=True)
        else:
            paths.append(name + ".zip")
            for copy in [paths[-1]] + [name + ".bak.zip"] * (i % 10 == 1):
                shutil.copy(archive, copy)
    shutil.rmtree(source)
    return root, paths


def fresh_copy(work, master, label):
    copy = tempfile.mkdtemp(prefix=label + "-", dir=work)
    tree = os.path.join(copy, "tree")
    shutil.copytree(master, tree, symlinks=True)
    # The copy's write-back should not land on the contender's clock.
    subprocess.run(["sync"])
    return tree


def report(name, times, peak, shows, theirs=None):
    line = "  %-26s median %7.3f s, best %7.3f s, %5.1f ms a show, peak %6.1f MB" % (
        name, statistics.median(times), min(times), statistics.median(times) * 1000 / shows, peak / 1024)
    if theirs:
        line += ", ratio %.2f" % (statistics.median(times) / theirs)
    print(line)


def main():
    a, cli, _ = bench_setup(__doc__, 3, options)
    work = tempfile.mkdtemp(prefix="nvxfix-treebench-")
    try:
        master, paths = master_tree(work, a.shows, a.size_mb, a.files)
        size = sum(os.path.getsize(os.path.join(top, n)) for top, _, names in os.walk(master) for n in names)
        contenders = {
            "--recursive": lambda tree: [cli, "--recursive", tree],
            "one nvxfix-cli per show": lambda tree: ["sh", "-c", EACH, cli] +
                                                    [os.path.join(tree, os.path.relpath(p, master)) for p in paths],
        }
        names = list(contenders)
        results = {name: [] for name in names + ["--recursive, again", "--recursive --check"]}
        peaks = {name: 0 for name in results}

        def run(name, cmd):
            t, peak = timed(cmd)
            results[name].append(t)
            peaks[name] = max(peaks[name], peak)

        for r in range(a.rounds):
            # Each contender goes first in turn, so that a warm cache favours none.
            for name in names[r % 2:] + names[:r % 2]:
                tree = fresh_copy(work, master, "round")
                run(name, contenders[name](tree))
                if name == "--recursive":
                    run("--recursive, again", [cli, "--recursive", tree])
                shutil.rmtree(os.path.dirname(tree))
            tree = fresh_copy(work, master, "check")
            run("--recursive --check", [cli, "--recursive", "--check", tree])
            shutil.rmtree(os.path.dirname(tree))
        print("%d shows (%d folders, %d archives), %.1f MB with the earlier backups, %d rounds, %d processors" % (
            a.shows, (a.shows + 1) // 2, a.shows // 2, size / 1e6, a.rounds, os.cpu_count()))
        theirs = statistics.median(results["one nvxfix-cli per show"])
        for name in results:
            report(name, results[name], peaks[name], a.shows, theirs if name == "--recursive" else None)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
