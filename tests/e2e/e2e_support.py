"""Shared pieces of the end-to-end tests: running a program of either build
(natively or under wine) and generating presentations."""
import os
import stat
import subprocess
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "bench"))
import make_presentation  # noqa: E402

VIEWER = make_presentation.VIEWER
# What a build that carries the repository's placeholder viewer says on
# standard error, once per run.
PLACEHOLDER_NOTE = "note: this build carries a placeholder viewer; see README"
MARKER = make_presentation.MARKER


def windows_path(path):
    """The path as a Windows program under wine sees it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Program:
    """A program under test; under wine paths are handed over as Z:\\..."""

    def __init__(self, path, runner=None):
        self.path = path
        self.runner = runner or None
        self.notes = 0  # placeholder notes the last run printed


    @property
    def windows(self):
        return self.runner is not None

    def arg(self, path):
        return windows_path(path) if self.windows else path

    def run(self, *args, cwd=None):
        cmd = ([self.runner] if self.runner else []) + [self.path] + list(args)
        result = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
        # The placeholder note is counted and left out, so that tests look
        # at what the run itself had to say.
        err = result.stderr.decode("utf-8", "replace").splitlines(keepends=True)
        kept = [line for line in err if line.rstrip("\r\n") != PLACEHOLDER_NOTE]
        self.notes = len(err) - len(kept)
        return result.returncode, result.stdout.decode("utf-8", "replace"), "".join(kept)


class Unseekable:
    """A file that zipfile cannot seek in, so that it writes data descriptors."""

    def __init__(self, f):
        self.f = f

    def write(self, data):
        return self.f.write(data)

    def flush(self):
        self.f.flush()


def make_bundle(folder, name="Show", links=False, **kw):
    return make_presentation.make_bundle(folder, name, kw.get("size_mb", 0.2), kw.get("files", 12), 16, links, 7)


def tree(folder):
    """Every entry under folder: relative path -> (kind, bytes or link text, mode, mtime_ns)."""
    out = {}
    for root, dirs, files in os.walk(folder):
        for n in dirs + files:
            p = os.path.join(root, n)
            rel = os.path.relpath(p, folder)
            st = os.lstat(p)
            if os.path.islink(p):
                out[rel] = ("link", os.readlink(p), None, None)
            elif os.path.isdir(p):
                out[rel] = ("dir", None, st.st_mode & 0o7777, None)
            elif not stat.S_ISREG(st.st_mode):
                out[rel] = ("special", None, st.st_mode & 0o7777, st.st_mtime_ns)
            else:
                with open(p, "rb") as f:
                    out[rel] = ("file", f.read(), st.st_mode & 0o7777, st.st_mtime_ns)
    return out


def mac_unpack(zip_path, dest):
    """Unpacks an archive into dest as the Mac's Archive Utility does: each
    entry with the Unix mode of its external attributes where it has one (a
    link as a link), else files 0644 and folders 0755."""
    folders = []
    with zipfile.ZipFile(zip_path) as z:
        for info in z.infolist():
            mode = info.external_attr >> 16 if info.create_system == 3 else 0
            path = os.path.join(dest, *info.filename.rstrip("/").split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            if info.is_dir() or stat.S_ISDIR(mode):
                os.makedirs(path, exist_ok=True)
                folders.append((path, stat.S_IMODE(mode) if mode else 0o755))
            elif stat.S_ISLNK(mode):
                os.symlink(z.read(info).decode("utf-8"), path)
            else:
                with open(path, "wb") as f:
                    f.write(z.read(info))
                os.chmod(path, stat.S_IMODE(mode) if mode else 0o644)
    # Deepest first, so that a folder without write permission is filled before.
    for path, mode in reversed(folders):
        os.chmod(path, mode)


def parse_args(argv):
    import argparse
    p = argparse.ArgumentParser()
    p.add_argument("--program", required=True)
    p.add_argument("--runner", default="")
    p.add_argument("--payload", required=True)
    p.add_argument("--placeholder", default="true", help="whether the build carries a placeholder viewer")
    a, rest = p.parse_known_args(argv)
    return a, rest
