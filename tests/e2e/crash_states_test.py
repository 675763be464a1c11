"""A power cut at any point of a fix, a restore or the making of the archive
to send leaves, at the show's name, the original or the fixed show whole;
a fixed show there has a whole backup of the original beside it; and a fix
or restore run afterwards ends in a sound show and leaves nothing of the
cut behind. The states are those crash_states.py builds from the run's
recorded operations."""
import collections
import os
import shutil
import sys
import tempfile
import zipfile
import zlib

import crash_states
from e2e_support import Program, make_bundle, parse_args
import make_presentation

STAGED = ".nvxfix-new"


def folder_version(path):
    """relative path -> (kind, bytes or link text, mode) of a bundle folder,
    staged files aside."""
    out = {}
    for top, dirs, files in os.walk(path):
        for n in dirs + files:
            p = os.path.join(top, n)
            rel = os.path.relpath(p, path)
            if STAGED in n:
                continue
            if os.path.islink(p):
                out[rel] = ("link", os.readlink(p), None)
            elif os.path.isdir(p):
                out[rel] = ("dir", None, None)
            else:
                with open(p, "rb") as f:
                    out[rel] = ("file", f.read(), os.stat(p).st_mode & 0o777)
    return out


def zip_version(path):
    """name -> (bytes, mode) of an archive every entry of which checks; None
    when it is no archive or an entry fails its checksum."""
    try:
        with zipfile.ZipFile(path) as z:
            return {i.filename: (z.read(i), i.external_attr >> 16) for i in z.infolist()}
    except (zipfile.BadZipFile, OSError, EOFError, ValueError, NotImplementedError, zlib.error):
        return None


def version(path):
    if not os.path.lexists(path):
        return None
    return folder_version(path) if os.path.isdir(path) else zip_version(path)


def folder_is(found, versions):
    """A bundle folder each file of which is one of the versions' (no fix
    writes a file in two)."""
    if found is None or not any(set(found) == set(v) for v in versions):
        return False
    return all(any(v.get(rel) == entry for v in versions) for rel, entry in found.items())


class Scenario:
    def __init__(self, name, show, args, rerun, prepare=None, expect_after="fixed", rerun_status=(0,)):
        self.name, self.show, self.args, self.rerun = name, show, args, rerun
        self.prepare = prepare
        self.expect_after = expect_after  # what a run afterwards leaves at the name
        self.rerun_status = rerun_status


class Checker:
    def __init__(self, program, scenario):
        self.program, self.s = program, scenario
        self.versions = {}

    def version(self, path):
        if self.s.name == "damage" and os.path.isfile(path):
            with open(path, "rb") as f:
                return f.read()  # no archive to read whole: its bytes stay
        return version(path)

    def is_version(self, found, which):
        want = self.versions[which]
        if found is None or want is None:
            return False
        if self.s.show.endswith(".app"):
            return folder_is(found, [want])
        return found == want

    def holds(self, path):
        """Which version path holds whole, or None."""
        found = self.version(path)
        for which in self.versions:
            if self.is_version(found, which):
                return which
        if self.s.show.endswith(".app") and folder_is(found, list(self.versions.values())):
            return "mixed"
        return None

    def backups(self, folder):
        base = self.s.show[:-4]
        return [os.path.join(folder, n) for n in os.listdir(folder)
                if n != self.s.show and n.startswith(base) and ".bak" in n and STAGED not in n]

    def problems(self, folder, after_run):
        found = []
        at_name = self.holds(os.path.join(folder, self.s.show))
        if at_name not in ("original", "fixed"):
            found.append("the show's name holds %s" % ("a mix of both" if at_name else "neither version whole"))
        other = {"original": "fixed", "fixed": "original"}.get(at_name)
        # The fixed show beside no backup of the original would have lost it;
        # a restore keeps the fixed show it replaces.
        if at_name == "fixed" or (at_name == "original" and self.s.name == "restore" and after_run):
            if not any(self.holds(b) == other for b in self.backups(folder)):
                found.append("the show's name holds the %s show and no backup holds the %s one whole" %
                             (at_name, other))
        for top, dirs, files in os.walk(folder):
            for n in dirs + files:
                if n.endswith(".zip") and n.startswith(self.s.show[:-4]) and STAGED not in n and \
                        self.s.name != "damage":
                    if zip_version(os.path.join(top, n)) is None:
                        found.append("%s is no whole archive" % n)
                if after_run and (STAGED in n or "nvxfix" in n.lower()):
                    found.append("left behind: %s" % os.path.relpath(os.path.join(top, n), folder))
        return found

    def check_state(self, tree, folder):
        crash_states.materialize(tree, folder)
        found = self.problems(folder, False)
        status, out, err = self.program.run(*self.s.rerun, os.path.join(folder, self.s.show), cwd=folder)
        if status not in self.s.rerun_status:
            found.append("the run afterwards ended with %d: %s" % (status, (out + err).strip()))
        after = self.problems(folder, True)
        found += ["after a run: " + p for p in after]
        if not after and self.s.expect_after and \
                self.holds(os.path.join(folder, self.s.show)) != self.s.expect_after:
            found.append("after a run the show is not the %s one" % self.s.expect_after)
        return found


def make_show(folder, name, damaged=False):
    # Damage the check meets while the fix writes: a larger archive.
    bundle = make_bundle(folder, files=60 if damaged else 8, size_mb=3 if damaged else 0.1)
    if name.endswith(".app"):
        return
    make_presentation.zip_bundle(bundle)
    shutil.rmtree(bundle)
    if damaged:
        # A byte in the middle of the last entry's data: only the check of
        # every entry finds it, while the fix writes.
        path = os.path.join(folder, name)
        with zipfile.ZipFile(path) as z:
            info = z.infolist()[-1]
        with open(path, "r+b") as f:
            f.seek(info.header_offset + 26)
            lengths = f.read(4)
            start = info.header_offset + 30 + lengths[0] + 256 * lengths[1] + lengths[2] + 256 * lengths[3]
            f.seek(start + info.compress_size // 2)
            byte = f.read(1)
            f.seek(-1, 1)
            f.write(bytes([byte[0] ^ 0xFF]))


def main(argv):
    a, rest = parse_args(argv)
    program = Program(a.program, a.runner)
    if program.windows or shutil.which("strace") is None:
        print("skipped: needs strace and a native program")
        return 77
    work = tempfile.mkdtemp(prefix="nvx-crash-")
    os.chmod(work, 0o755)

    def fixed_first(program, root):
        status, out, err = program.run(os.path.join(root, "Show.zip"))
        assert status == 0, out + err

    scenarios = [
        Scenario("folder", "Show.app", [], []),
        Scenario("zip-jobs1", "Show.zip", ["--jobs", "1"], ["--jobs", "1"]),
        Scenario("zip-jobs4", "Show.zip", ["--jobs", "4"], ["--jobs", "4"]),
        Scenario("damage", "Show.zip", ["--jobs", "4"], ["--jobs", "4"], expect_after="original",
                 rerun_status=(2,)),
        Scenario("restore", "Show.zip", ["--restore"], ["--restore"], prepare=fixed_first, expect_after=None,
                 rerun_status=(0, 1, 2)),
        Scenario("send", "Show.app", ["--zip"], ["--zip"]),
    ]
    only = rest[rest.index("--only") + 1].split(",") if "--only" in rest else None
    failures = 0
    for s in scenarios:
        if only and s.name not in only:
            continue
        failures += scenario(program, s, work)
    if failures == 0:
        shutil.rmtree(work, ignore_errors=True)
    else:
        print("states kept in", work)
    return 1 if failures else 0


def scenario(program, s, work):
    base = os.path.join(work, s.name)
    root = os.path.join(base, "run")
    os.makedirs(root)
    make_show(root, s.show, damaged=s.name == "damage")
    if s.prepare:
        s.prepare(program, root)
    checker = Checker(program, s)
    before = checker.version(os.path.join(root, s.show))
    cmd = [program.path] + s.args + [os.path.join(root, s.show)]
    trace = crash_states.Trace(root, root)
    status, out, lines = crash_states.record(cmd, root, root)
    after = checker.version(os.path.join(root, s.show))
    if s.name == "restore":
        checker.versions = {"fixed": before, "original": after}
    else:
        checker.versions = {"original": before, "fixed": after if s.name != "damage" else before}
    # The record of the run: replayed whole it must give the tree the run left.
    trace.replay(lines)
    replayed = {rel: (e[1], e[2] & 0o777) for rel, e in trace.final_tree().items() if e[0] == "file"}
    real = {rel: (e[1], e[2]) for rel, e in folder_version(root).items() if e[0] == "file"}
    if replayed != real:
        print("%s: the replayed record differs from what the run left: %s" %
              (s.name, sorted(set(replayed.items()) ^ set(real.items()))[:4]))
        return 1
    built = checked = failed = 0
    kinds = collections.Counter()
    folder = os.path.join(base, "state")
    for description, tree in trace.states():
        built += 1
        found = checker.check_state(tree, folder)
        checked += 1
        if found:
            failed += 1
            kinds.update(found)
            if failed <= 3:
                print("%s: FAILED state: %s\n    %s" % (s.name, description, "\n    ".join(found)))
                keep = os.path.join(base, "failed-%d" % failed)
                crash_states.materialize(tree, keep)
    for kind, count in kinds.most_common():
        print("%s: %d states: %s" % (s.name, count, kind))
    print("%s: exit %d, %d operations recorded, %d states built, %d checked, %d failed" %
          (s.name, status, len(trace.ops), built, checked, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
