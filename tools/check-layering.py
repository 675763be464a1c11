#!/usr/bin/env python3
"""Fails when a file of lib/ includes from a subsystem above its own.

The subsystems, lowest first, are the folders of lib/; the start-up unit at
the top of lib/ sits above all of them. A platform file (lib/Win32,
lib/Posix) belongs to the subsystem whose header it implements; the
platform's private helpers belong to the lowest subsystem.
Usage: check-layering.py [LIB_FOLDER]
"""
import os
import re
import sys

ORDER = ["Foundation", "FileSystem", "Streams", "Compression", "Archivers", "Dialogs"]
PLATFORMS = ("Win32", "Posix")
TOP = len(ORDER)  # lib/Startup.*
# Platform files that implement no portable header of the same name.
PLATFORM_ONLY = {"Dialogs": "Dialogs", "SystemDialogs": "Dialogs"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def portable_headers(lib):
    """Base name -> level of every portable header."""
    levels = {}
    for level, folder in enumerate(ORDER):
        for root, _, files in os.walk(os.path.join(lib, folder)):
            for name in files:
                if name.endswith(".h"):
                    levels[os.path.splitext(name)[0]] = level
    return levels


def level_of(path, lib, headers):
    parts = os.path.relpath(path, lib).split(os.sep)
    if len(parts) == 1:
        return TOP
    if parts[0] in PLATFORMS:
        base = os.path.splitext(parts[-1])[0]
        if base in PLATFORM_ONLY:
            return ORDER.index(PLATFORM_ONLY[base])
        return headers.get(base, 0)
    return ORDER.index(parts[0])


def main():
    lib = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "lib")
    lib = os.path.normpath(lib)
    headers = portable_headers(lib)
    faults = []
    for root, _, files in os.walk(lib):
        for name in sorted(files):
            if not name.endswith((".h", ".cpp")):
                continue
            path = os.path.join(root, name)
            own = level_of(path, lib, headers)
            with open(path, encoding="utf-8") as source:
                for included in INCLUDE.findall(source.read()):
                    first = included.split("/")[0]
                    if first in PLATFORMS:
                        if os.path.relpath(path, lib).split(os.sep)[0] != first:
                            faults.append(f"{path}: includes {included}, private to lib/{first}")
                    elif first in ORDER:
                        if ORDER.index(first) > own:
                            faults.append(f"{path}: includes {included} from a subsystem above its own")
                    elif included == "Startup.h":
                        if own < TOP:
                            faults.append(f"{path}: includes the start-up unit, which sits above every subsystem")
                    elif "/" not in included:
                        faults.append(f"{path}: includes {included} without its subsystem folder")
    for fault in faults:
        print(fault)
    if faults:
        return 1
    print(f"layering: {lib} holds to the order {' < '.join(ORDER)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
