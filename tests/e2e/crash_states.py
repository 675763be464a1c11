"""What a power cut may leave of a run: the run's file-system operations,
recorded with strace, replayed into every state the disk may hold after a
cut under ext4's default rules, bounded as follows.

- A sync of the file system (syncfs) puts everything before it on the
  disk, data and names.
- File data written since the file's last fsync may be missing or partly
  there: each state takes, for every file at once, none of it, half of it
  (in bytes, in the order written) or all of it. Mode changes go with the
  data they follow.
- Operations on names (create, link, rename, unlink, mkdir, rmdir, symlink)
  reach the disk in the order made: each state keeps a prefix of them, at
  least up to the last one synced by an fsync of a folder it touches. A
  rename is atomic.
- Every point between two operations is a place to cut.

States that come out the same are built once. Times are not modelled."""
import hashlib
import os
import re
import shutil
import subprocess

TRACED = ("openat,open,creat,close,write,pwrite64,writev,pwritev,pwritev2,lseek,read,pread64,readv,"
          "copy_file_range,sendfile,splice,fsync,fdatasync,sync_file_range,sync,syncfs,rename,renameat,"
          "renameat2,link,linkat,unlink,unlinkat,mkdir,mkdirat,rmdir,chmod,fchmod,fchmodat,ftruncate,truncate,"
          "dup,dup2,dup3,fcntl,fallocate,symlink,symlinkat,utimensat")
CUTS = (0.0, 0.5, 1.0)
UMASK = os.umask(0o022)
os.umask(UMASK)


class Unmodelled(Exception):
    pass


def record(cmd, root, cwd, env=None):
    """Runs cmd under strace; returns (exit status, the trace's lines)."""
    log = os.path.join(os.path.dirname(root), os.path.basename(root) + ".strace")
    env = dict(env or os.environ)
    # The leak checker cannot run under ptrace.
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    full = ["strace", "-f", "-qq", "-y", "-xx", "-s", "4194304", "-e", "trace=" + TRACED,
            "-e", "raw=read,pread64,readv", "-o", log] + cmd
    result = subprocess.run(full, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
    with open(log, encoding="latin-1") as f:
        lines = f.read().splitlines()
    os.remove(log)
    return result.returncode, result.stdout.decode("utf-8", "replace"), lines


def unhex(text):
    return re.sub(rb"\\x([0-9a-f]{2})", lambda m: bytes([int(m.group(1), 16)]), text.encode("latin-1"))


def split_args(text):
    args, depth, start = [], 0, 0
    for i, c in enumerate(text):
        if c in "{[(<":
            depth += 1
        elif c in "}])>":
            depth -= 1
        elif c == "," and depth == 0:
            args.append(text[start:i].strip())
            start = i + 1
    if text[start:].strip():
        args.append(text[start:].strip())
    return args


def string_arg(arg):
    if arg == "NULL":
        return None
    assert arg.startswith('"'), arg
    return unhex(arg[1:arg.rindex('"')])


def fd_arg(arg):
    """(fd number, path strace gave it) of '3</path>' or 'AT_FDCWD</cwd>'."""
    m = re.match(r"(AT_FDCWD|-?\d+|0x[0-9a-f]+)(?:<(.*)>)?$", arg)
    if not m:
        return None, None
    number = -100 if m.group(1) == "AT_FDCWD" else int(m.group(1), 0)
    return number, unhex(m.group(2)).decode("utf-8", "surrogateescape") if m.group(2) is not None else None


LINE = re.compile(r"^(\d+)\s+(\w+)\((.*)\)\s+=\s+(-?\w+)(?:<(.*?)>)?(.*)$")


def calls(lines):
    """(name, args, result, result path) in the order the calls ended."""
    pending = {}
    for line in lines:
        m = re.match(r"^(\d+)\s+(.*) <unfinished \.\.\.>$", line)
        if m:
            pending[m.group(1)] = m.group(2)
            continue
        m = re.match(r"^(\d+)\s+<\.\.\. \w+ resumed>(.*)$", line)
        if m:
            line = m.group(1) + " " + pending.pop(m.group(1)) + m.group(2)
        m = LINE.match(line)
        if not m:
            continue
        result = m.group(4)
        value = int(result, 0) if re.match(r"^-?(0x[0-9a-f]+|\d+)$", result) else None
        path = unhex(m.group(5)).decode("utf-8", "surrogateescape") if m.group(5) is not None else None
        yield m.group(2), split_args(m.group(3)), value, path


class Inode:
    def __init__(self, kind, data=b"", mode=0o644, target=None):
        self.kind, self.data, self.mode, self.target = kind, bytearray(data), mode, target


class Trace:
    """The operations of a run on the files below root, and the tree before it."""

    def __init__(self, root, cwd):
        self.root = os.path.abspath(root)
        self.cwd = cwd
        self.inodes = {}
        self.born = {}
        self.names = {}  # path relative to root -> inode number, as the run goes
        self.initial = {}
        self.ops = []  # ("name", op...) ("data", ino, op...) ("fsync", ino) ("dsync", folder) ("syncall",)
        self.descriptions = []
        self._scan()
        self.initial = dict(self.names)
        self.fds = {}

    def replay(self, lines):
        for call in calls(lines):
            self._call(*call)

    def final_tree(self):
        """The tree as the whole run left it."""
        return self._tree(len(self.ops), [i for i, op in enumerate(self.ops) if op[0] == "name"], 1.0, {})

    def _new(self, kind, **kw):
        number = len(self.inodes) + 1
        self.inodes[number] = Inode(kind, **kw)
        # What it held when it came: the replay changes it.
        self.born[number] = (kind, bytes(self.inodes[number].data), self.inodes[number].mode, kw.get("target"))
        return number

    def _scan(self):
        self.names[""] = self._new("dir", mode=os.stat(self.root).st_mode & 0o7777)
        for top, dirs, files in os.walk(self.root):
            for n in dirs + files:
                p = os.path.join(top, n)
                rel = os.path.relpath(p, self.root)
                st = os.lstat(p)
                if os.path.islink(p):
                    self.names[rel] = self._new("link", target=os.readlink(p))
                elif os.path.isdir(p):
                    self.names[rel] = self._new("dir", mode=st.st_mode & 0o7777)
                else:
                    with open(p, "rb") as f:
                        self.names[rel] = self._new("file", data=f.read(), mode=st.st_mode & 0o7777)

    def rel(self, path, base=None):
        """The path relative to root, or None outside it."""
        full = os.path.normpath(os.path.join(base or self.cwd, path))
        if full == self.root:
            return ""
        if not full.startswith(self.root + os.sep):
            return None
        return full[len(self.root) + 1:]

    def _at(self, fd_text, path_text):
        fd, base = fd_arg(fd_text)
        path = string_arg(path_text).decode("utf-8", "surrogateescape")
        return self.rel(path, base)

    def _two_paths(self, name, args):
        """The old and new names of a rename or link, either form."""
        if name in ("rename", "link"):
            return tuple(self.rel(string_arg(a).decode("utf-8", "surrogateescape")) for a in args[:2])
        return self._at(args[0], args[1]), self._at(args[2], args[3])

    def _add(self, op, text):
        self.ops.append(op)
        self.descriptions.append(text)

    def _name(self, op, *args):
        """Applies a name operation to the names as the run goes, and notes it."""
        apply_name(self.names, (op,) + args)
        self._add(("name", op) + args, op + " " + " -> ".join(str(a) for a in args if isinstance(a, str)))

    def _data(self, ino, op, *args, text):
        apply_data(self.inodes[ino], (op,) + args)
        self._add(("data", ino, op) + args, text)

    def _call(self, name, args, result, result_path):
        failed = result is None or result < 0
        if name in ("open", "openat", "creat"):
            if failed:
                return
            if name == "openat":
                rel, flags = self._at(args[0], args[1]), args[2]
            else:
                rel = self.rel(string_arg(args[0]).decode("utf-8", "surrogateescape"))
                flags = args[1] if name == "open" else "O_CREAT|O_WRONLY|O_TRUNC"
            if rel is None:
                return
            ino = self.names.get(rel)
            if ino is None:
                mode = int(args[-1], 8) if "O_CREAT" in flags else 0o644
                ino = self._new("file", mode=mode & ~UMASK)
                self._name("create", rel, ino)
            elif "O_TRUNC" in flags and self.inodes[ino].data:
                self._data(ino, "truncate", 0, text="truncate " + rel + " 0")
            self.fds[result] = {"ino": ino, "pos": [0], "append": "O_APPEND" in flags, "path": rel}
        elif name == "close":
            self.fds.pop(fd_arg(args[0])[0], None)
        elif name in ("dup", "dup2", "dup3") or (name == "fcntl" and "F_DUPFD" in args[1]):
            fd = fd_arg(args[0])[0]
            if not failed and fd in self.fds:
                self.fds[result] = self.fds[fd]
        elif name == "lseek":
            fd = fd_arg(args[0])[0]
            if fd in self.fds and not failed:
                self.fds[fd]["pos"][0] = result
        elif name in ("read", "readv"):
            fd = int(args[0], 0)
            if fd in self.fds and not failed:
                self.fds[fd]["pos"][0] += result
        elif name in ("write", "pwrite64"):
            fd = fd_arg(args[0])[0]
            if fd not in self.fds or failed:
                return
            entry = self.fds[fd]
            data = string_arg(args[1])[:result]
            if len(data) != result:
                raise Unmodelled("a write's data was cut short in the trace")
            if name == "pwrite64":
                at = int(args[3])
            else:
                at = len(self.inodes[entry["ino"]].data) if entry["append"] else entry["pos"][0]
                entry["pos"][0] = at + result
            self._data(entry["ino"], "write", at, data, text="write %s %d+%d" % (entry["path"], at, result))
        elif name == "copy_file_range":
            source, target = fd_arg(args[0])[0], fd_arg(args[2])[0]
            if target not in self.fds or failed:
                return
            if args[1] != "NULL" or args[3] != "NULL" or source not in self.fds:
                raise Unmodelled("copy_file_range with offsets or from outside the tree")
            src, dst = self.fds[source], self.fds[target]
            data = bytes(self.inodes[src["ino"]].data[src["pos"][0]:src["pos"][0] + result])
            at = dst["pos"][0]
            src["pos"][0] += result
            dst["pos"][0] += result
            self._data(dst["ino"], "write", at, data, text="copy into %s %d+%d" % (dst["path"], at, result))
        elif name == "ftruncate":
            fd = fd_arg(args[0])[0]
            if fd in self.fds and not failed:
                size = int(args[1])
                self._data(self.fds[fd]["ino"], "truncate", size, text="truncate %s %d" % (self.fds[fd]["path"], size))
        elif name == "truncate":
            rel = self.rel(string_arg(args[0]).decode("utf-8", "surrogateescape"))
            if rel is not None and not failed:
                self._data(self.names[rel], "truncate", int(args[1]), text="truncate %s %s" % (rel, args[1]))
        elif name in ("fsync", "fdatasync"):
            fd, path = fd_arg(args[0])
            if failed:
                return
            if fd in self.fds:
                self._add(("fsync", self.fds[fd]["ino"]), "fsync " + self.fds[fd]["path"])
            elif path is not None and self.rel(path) is not None and os.path.isdir(path):
                self._add(("dsync", self.rel(path)), "sync folder " + (self.rel(path) or "."))
        elif name in ("chmod", "fchmodat", "fchmod"):
            if failed:
                return
            if name == "fchmod":
                fd = fd_arg(args[0])[0]
                ino, rel = (self.fds[fd]["ino"], self.fds[fd]["path"]) if fd in self.fds else (None, None)
            else:
                rel = self.rel(string_arg(args[0]).decode()) if name == "chmod" else self._at(args[0], args[1])
                ino = self.names.get(rel) if rel is not None else None
            if ino is not None:
                mode = int(args[1 if name != "fchmodat" else 2], 8)
                self._data(ino, "mode", mode, text="chmod %s %o" % (rel, mode))
        elif name in ("rename", "renameat", "renameat2"):
            if failed:
                return
            old, new = self._two_paths(name, args)
            if name == "renameat2" and "RENAME_EXCHANGE" in args[4]:
                raise Unmodelled("RENAME_EXCHANGE")
            if old is None or new is None:
                if old is not None or new is not None:
                    raise Unmodelled("a rename across the tree's edge")
                return
            self._name("rename", old, new)
        elif name in ("link", "linkat"):
            if failed:
                return
            old, new = self._two_paths(name, args)
            if new is not None:
                if old is None:
                    raise Unmodelled("a link from outside the tree")
                self._name("link", new, self.names[old])
        elif name in ("unlink", "unlinkat", "rmdir"):
            if failed:
                return
            if name == "unlinkat":
                rel = self._at(args[0], args[1])
                folder = "AT_REMOVEDIR" in args[2]
            else:
                rel = self.rel(string_arg(args[0]).decode("utf-8", "surrogateescape"))
                folder = name == "rmdir"
            if rel is not None:
                self._name("rmdir" if folder else "unlink", rel)
        elif name in ("mkdir", "mkdirat"):
            if failed:
                return
            rel = self.rel(string_arg(args[0]).decode()) if name == "mkdir" else self._at(args[0], args[1])
            if rel is not None:
                mode = int(args[-1], 8) & ~UMASK
                self._name("mkdir", rel, self._new("dir", mode=mode))
        elif name in ("symlink", "symlinkat"):
            if failed:
                return
            target = string_arg(args[0]).decode("utf-8", "surrogateescape")
            rel = self.rel(string_arg(args[1]).decode()) if name == "symlink" else self._at(args[1], args[2])
            if rel is not None:
                self._name("symlink", rel, self._new("link", target=target))
        elif name in ("sync", "syncfs"):
            # The whole file system: every file's data and every name so far.
            if not failed:
                self._add(("syncall",), name)
        elif name in ("writev", "pwritev", "pwritev2", "sendfile", "splice", "fallocate"):
            if not failed and (fd_arg(args[0])[0] in self.fds or
                               (name in ("sendfile", "splice") and fd_arg(args[0 if name == "sendfile" else 2])[0]
                                in self.fds)):
                raise Unmodelled(name)
        elif name == "utimensat":
            pass  # times are not modelled

    # The states.

    def states(self):
        """Yields (description, tree) for every distinct state a cut may leave;
        tree: relative path -> (kind, bytes or link text, mode)."""
        seen = set()
        content = {}
        for end in range(len(self.ops) + 1):
            names = [i for i in range(end) if self.ops[i][0] == "name"]
            durable = 0
            for i in range(end):
                if self.ops[i][0] == "syncall":
                    durable = max(durable, len([j for j in names if j < i]))
                if self.ops[i][0] == "dsync":
                    folder = self.ops[i][1]
                    for k, j in enumerate(names):
                        if j < i and touches(self.ops[j], folder):
                            durable = max(durable, k + 1)
            for kept in range(durable, len(names) + 1):
                for cut in CUTS:
                    tree = self._tree(end, names[:kept], cut, content)
                    key = hashlib.sha256(repr(sorted(tree.items())).encode()).hexdigest()
                    if key in seen:
                        continue
                    seen.add(key)
                    yield self._describe(end, names, kept, durable, cut), tree

    def _tree(self, end, kept_names, cut, cache):
        names = dict(self.initial)
        for i in kept_names:
            apply_name(names, self.ops[i][1:])
        tree = {}
        for rel, ino in names.items():
            if rel == "":
                continue
            kind, data, mode = self._inode_at(ino, end, cut, cache)
            tree[rel] = (kind, data, mode)
        return tree

    def _inode_at(self, ino, end, cut, cache):
        ops = [i for i in range(end)
               if self.ops[i][0] == "syncall" or (self.ops[i][0] in ("data", "fsync") and self.ops[i][1] == ino)]
        key = (ino, len(ops), cut)
        if key not in cache:
            kind, data, mode, target = self.born[ino]
            inode = Inode(kind, data, mode, target)
            synced = max([k + 1 for k, i in enumerate(ops) if self.ops[i][0] in ("fsync", "syncall")], default=0)
            for i in ops[:synced]:
                if self.ops[i][0] == "data":
                    apply_data(inode, self.ops[i][2:])
            rest = [self.ops[i][2:] for i in ops[synced:] if self.ops[i][0] == "data"]
            weight = [len(op[2]) if op[0] == "write" else 1 for op in rest]
            budget = int(sum(weight) * cut)
            for op, w in zip(rest, weight):
                if budget <= 0:
                    break
                if op[0] == "write" and w > budget:
                    op = ("write", op[1], op[2][:budget])
                apply_data(inode, op)
                budget -= w
            cache[key] = (inode.kind, inode.target if inode.kind == "link" else bytes(inode.data), inode.mode)
        return cache[key]

    def _describe(self, end, names, kept, durable, cut):
        def listed(ops):
            shown = [self.descriptions[i] for i in ops]
            return "; ".join(shown if len(shown) <= 4 else shown[:2] + ["(%d more)" % (len(shown) - 3)] + shown[-1:])

        text = ["cut after operation %d of %d (%s)" % (end, len(self.ops),
                                                        self.descriptions[end - 1] if end else "none made")]
        if len(names) > durable:
            text.append("unsynced names kept: [%s]" % listed(names[durable:kept]))
            text.append("lost: [%s]" % listed(names[kept:]))
        text.append("unflushed data kept: %s" % {0.0: "none", 0.5: "half", 1.0: "all"}[cut])
        return "; ".join(text)


def touches(op, folder):
    paths = [a for a in op[2:] if isinstance(a, str)]
    return any(os.path.dirname(p) == folder for p in paths)


def apply_name(names, op):
    kind = op[0]
    if kind in ("create", "mkdir", "symlink", "link"):
        names[op[1]] = op[2]
    elif kind in ("unlink", "rmdir"):
        names.pop(op[1], None)
    elif kind == "rename":
        old, new = op[1], op[2]
        moved = {p: i for p, i in names.items() if p == old or p.startswith(old + os.sep)}
        for p in [p for p in names if p == new or p.startswith(new + os.sep)]:
            del names[p]
        for p, i in moved.items():
            del names[p]
            names[new + p[len(old):]] = i


def apply_data(inode, op):
    if op[0] == "write":
        at, data = op[1], op[2]
        if len(inode.data) < at:
            inode.data.extend(bytes(at - len(inode.data)))
        inode.data[at:at + len(data)] = data
    elif op[0] == "truncate":
        size = op[1]
        del inode.data[size:]
        inode.data.extend(bytes(size - len(inode.data)))
    elif op[0] == "mode":
        inode.mode = op[1]


def materialize(tree, folder):
    """Writes a state into an empty folder."""
    if os.path.exists(folder):
        shutil.rmtree(folder, onerror=lambda f, p, e: (os.chmod(os.path.dirname(p), 0o755), f(p)))
    os.makedirs(folder)
    folders = []
    for rel in sorted(tree):
        kind, data, mode = tree[rel]
        path = os.path.join(folder, rel)
        if not os.path.isdir(os.path.dirname(path)):
            continue  # below a folder the cut lost
        if kind == "dir":
            os.mkdir(path)
            folders.append((path, mode))
        elif kind == "link":
            os.symlink(data, path)
        else:
            with open(path, "wb") as f:
                f.write(data)
            os.chmod(path, mode)
    for path, mode in reversed(folders):
        os.chmod(path, mode | 0o700)
