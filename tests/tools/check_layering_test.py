#!/usr/bin/env python3
"""The layering check passes on a copy of the sources and fails on each kind
of wrong include planted in it.

Usage: check_layering_test.py SOURCE_ROOT
"""
import os
import shutil
import subprocess
import sys
import tempfile

# Where a file is planted, what it includes, and a part of the fault the
# check must name (None: the include is allowed and the check passes).
CASES = [
    ("lib/Streams/Planted.cpp", "<Archivers/Archive.h>", "from a subsystem above its own"),
    ("lib/Streams/Planted.cpp", "<Foundation/Types.h>", "in angle brackets"),
    ("lib/Archivers/Planted.cpp", '"../Archivers/Archive.h"', "by a relative path"),
    ("app/core/Planted.cpp", '"./Repack.h"', "by a relative path"),
    ("lib/Foundation/Planted.cpp", "<windows.h>", "system header"),
    ("lib/FileSystem/Planted.h", "<sys/stat.h>", "system header"),
    ("app/core/Planted.cpp", "<unistd.h>", "system header"),
    ("app/cli/Planted.cpp", "<pthread.h>", "system header"),
    ("app/window/Planted.cpp", '"Win32/SystemDialogs.h"', "private to lib/Win32"),
    ("tests/app/Planted.cpp", '"Win32/SystemDialogs.h"', "private to lib/Win32"),
    ("tests/lib/Posix/Planted.cpp", '"Win32/SystemDialogs.h"', "private to lib/Win32"),
    ("lib/Posix/Planted.cpp", '"Win32/SystemDialogs.h"', "private to lib/Win32"),
    # What the rules allow.
    ("lib/Posix/Planted.cpp", "<dirent.h>", None),
    ("app/window/Planted.cpp", "<windows.h>", None),
    ("tests/lib/Win32/Planted.cpp", '"Win32/SystemDialogs.h"', None),
    ("lib/Foundation/Planted.cpp", "<cstdio>", None),
    ("lib/Compression/Planted.cpp", "<zlib.h>", None),
]


def run_check(check, root):
    result = subprocess.run([sys.executable, check, root], capture_output=True, text=True)
    return result.returncode, result.stdout + result.stderr


def main():
    source = os.path.abspath(sys.argv[1])
    check = os.path.join(source, "tools", "check-layering.py")
    failures = []
    with tempfile.TemporaryDirectory() as temp:
        root = os.path.join(temp, "src")
        sources_only = shutil.ignore_patterns("corpus", "*.py", "*.js", "*.json", "*.sh")
        for folder in ("lib", "app", "tests"):
            shutil.copytree(os.path.join(source, folder), os.path.join(root, folder), ignore=sources_only)
        code, output = run_check(check, root)
        if code != 0:
            failures.append(f"the clean copy fails:\n{output}")
        for rel, included, fault in CASES:
            planted = os.path.join(root, rel)
            os.makedirs(os.path.dirname(planted), exist_ok=True)
            with open(planted, "w", encoding="utf-8") as f:
                f.write(f"#include {included}\n")
            code, output = run_check(check, root)
            os.remove(planted)
            if fault is None and code != 0:
                failures.append(f"{rel} including {included} fails:\n{output}")
            elif fault is not None and (code != 1 or f"{rel}: " not in output or fault not in output):
                failures.append(f"{rel} including {included} is not named with '{fault}' (exit {code}):\n{output}")
    for failure in failures:
        print(failure)
    print(f"{len(CASES) + 1 - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
