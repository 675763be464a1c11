#!/usr/bin/env python3
"""Fails when a file of lib/, app/ or tests/ includes against the layering.

The subsystems, lowest first, are the folders of lib/; the start-up unit at
the top of lib/ sits above all of them. A platform file (lib/Win32,
lib/Posix) belongs to the subsystem whose header it implements; the
platform's private helpers belong to the lowest subsystem. The rules:
- a file of lib/ includes only from its own subsystem or those below, and
  names the folder from lib/;
- a platform folder's headers are included only from that folder and from
  the tests of it (tests/lib/Win32, tests/lib/Posix);
- system headers (anything but the C and C++ standard headers and the
  libraries the project builds on) are included only from the folders built
  for one platform (lib/Win32, lib/Posix, app/window, app/web) and from
  tests/, which set up on the system what the library meets;
- project headers take quotes, never angle brackets, and no include goes
  through a relative path ("../", "./").
Usage: check-layering.py [SOURCE_ROOT]  (default: this repository)
"""
import os
import re
import sys

ORDER = ["Foundation", "FileSystem", "Streams", "Formats", "Compression", "Archivers", "Dialogs"]
PLATFORMS = ("Win32", "Posix")
TOP = len(ORDER)  # lib/Startup.*
SCANNED = ("lib", "app", "tests")
# Platform files that implement no portable header of the same name.
PLATFORM_ONLY = {"SystemDialogs": "Dialogs"}
# Folders built for one platform only, as paths from the source root.
ONE_PLATFORM = ("lib/Win32/", "lib/Posix/", "app/window/", "app/web/")
# Headers outside the standard that portable code may use: zlib and the
# compiler's own runtime; GoogleTest in the tests.
LIBRARIES = ("zlib.h", "cxxabi.h", "gtest/", "gmock/")
C_STANDARD = {
    "assert.h", "complex.h", "ctype.h", "errno.h", "fenv.h", "float.h", "inttypes.h", "iso646.h",
    "limits.h", "locale.h", "math.h", "setjmp.h", "signal.h", "stdalign.h", "stdarg.h",
    "stdatomic.h", "stdbool.h", "stddef.h", "stdint.h", "stdio.h", "stdlib.h", "stdnoreturn.h",
    "string.h", "tgmath.h", "threads.h", "time.h", "uchar.h", "wchar.h", "wctype.h",
}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)


def portable_headers(lib):
    """Base name -> level of every portable header."""
    levels = {}
    for level, folder in enumerate(ORDER):
        for root, _, files in os.walk(os.path.join(lib, folder)):
            for name in files:
                if name.endswith(".h"):
                    levels[os.path.splitext(name)[0]] = level
    return levels


def level_of(parts, headers):
    """The level of a file of lib/, given its path parts below lib/."""
    if len(parts) == 1:
        return TOP
    if parts[0] in PLATFORMS:
        base = os.path.splitext(parts[-1])[0]
        if base in PLATFORM_ONLY:
            return ORDER.index(PLATFORM_ONLY[base])
        return headers.get(base, 0)
    return ORDER.index(parts[0])


def include_roots(root):
    """The folders the build searches for project headers."""
    roots = [os.path.join(root, "lib"), os.path.join(root, "tests")]
    app = os.path.join(root, "app")
    roots += [os.path.join(app, name) for name in sorted(os.listdir(app))]
    return [folder for folder in roots if os.path.isdir(folder)]


def is_project_header(included, roots):
    first = included.split("/")[0]
    if first in ORDER or first in PLATFORMS or included == "Startup.h":
        return True
    return any(os.path.isfile(os.path.join(folder, included)) for folder in roots)


def is_standard_or_library(included):
    if "/" not in included and "." not in included:
        return True  # <vector>, <cstdio>
    return included in C_STANDARD or included.startswith(LIBRARIES)


def faults_of(rel, text, roots, headers):
    """Every wrong include of one file; rel is its path from the source root."""
    parts = rel.split("/")
    in_lib = parts[0] == "lib"
    faults = []
    for bracket, included in INCLUDE.findall(text):
        steps = included.split("/")
        if "." in steps or ".." in steps:
            faults.append(f"{rel}: includes {included} by a relative path; name its folder from lib/")
            continue
        if not is_project_header(included, roots):
            if not is_standard_or_library(included) and not rel.startswith(ONE_PLATFORM + ("tests/",)):
                faults.append(f"{rel}: includes the system header {included}; only the platform folders do")
            continue
        if bracket == "<":
            faults.append(f"{rel}: includes the project header {included} in angle brackets; use quotes")
        first = steps[0]
        if first in PLATFORMS:
            if parts[:2] != ["lib", first] and parts[:3] != ["tests", "lib", first]:
                faults.append(f"{rel}: includes {included}, private to lib/{first}")
        elif not in_lib:
            continue
        elif first in ORDER:
            if ORDER.index(first) > level_of(parts[1:], headers):
                faults.append(f"{rel}: includes {included} from a subsystem above its own")
        elif included == "Startup.h":
            if level_of(parts[1:], headers) < TOP:
                faults.append(f"{rel}: includes the start-up unit, which sits above every subsystem")
        else:
            faults.append(f"{rel}: includes {included} without its subsystem folder")
    return faults


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    root = os.path.normpath(root)
    for folder in SCANNED:
        if not os.path.isdir(os.path.join(root, folder)):
            print(f"layering: {root} has no {folder}/")
            return 2
    headers = portable_headers(os.path.join(root, "lib"))
    roots = include_roots(root)
    faults = []
    for folder in SCANNED:
        for dirpath, dirs, files in os.walk(os.path.join(root, folder)):
            dirs.sort()
            for name in sorted(files):
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.join(dirpath, name)
                rel = os.path.relpath(path, root).replace(os.sep, "/")
                with open(path, encoding="utf-8") as source:
                    faults += faults_of(rel, source.read(), roots, headers)
    for fault in faults:
        print(fault)
    if faults:
        return 1
    print(f"layering: {', '.join(SCANNED)} of {root} hold to the order {' < '.join(ORDER)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
