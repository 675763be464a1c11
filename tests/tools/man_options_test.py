#!/usr/bin/env python3
"""The manual pages document what the programs' usage texts list: the same
options, commands and exit codes, no more and no fewer. The lists are read
from the built programs, so an option added to the program fails this test
until its page describes it.

  man_options_test.py --cli NVXFIX_CLI --nvxzip NVXZIP --pages DOCS_MAN [--runner RUNNER]
"""
import argparse
import re
import shlex
import subprocess
import sys


def usage_text(runner, program):
    done = subprocess.run(runner + [program, "--help"], capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        sys.exit(f"{program} --help exited with {done.returncode}: {done.stderr}")
    return done.stdout


def usage_lists(text):
    """Options, commands (nvxzip's one-letter ones) and exit codes of a usage text."""
    options = set(re.findall(r"(?<![\w-])--[a-z][a-z0-9-]*", text))
    commands = set(re.findall(r"^  ([a-z]) ARCHIVE", text, re.M))
    status = text.split("Exit status:", 1)[1] if "Exit status:" in text else ""
    codes = set(re.findall(r"(?:^|[,\n])\s*(\d+) ", status))
    return options, commands, codes


def sections(page):
    """The page's source, by section name."""
    found, name = {}, None
    for line in page.splitlines():
        if line.startswith(".Sh "):
            name = line[4:].strip().strip('"')
            found[name] = []
        elif name:
            found[name].append(line)
    return found


def flag(argument):
    # mdoc's Fl puts one dash before its argument; \- is a dash in the source.
    return "-" + argument.replace("\\-", "-")


def page_lists(page):
    """What the page documents: the items of its OPTIONS, COMMANDS and EXIT
    STATUS lists, and the options and commands of its SYNOPSIS."""
    parts = sections(page)
    items = lambda name, macro: {m.group(1) for line in parts.get(name, [])
                                 for m in [re.match(r"\.It %s(\S+)" % macro, line)] if m}
    synopsis = " ".join(parts.get("SYNOPSIS", []))
    return {
        "OPTIONS": {flag(o) for o in items("OPTIONS", "Fl ")},
        "COMMANDS": items("COMMANDS", "Cm "),
        "EXIT STATUS": {c for c in items("EXIT STATUS", "") if c.isdigit()},
        "SYNOPSIS options": {flag(o) for o in re.findall(r"\bFl (\S+)", synopsis)},
        "SYNOPSIS commands": set(re.findall(r"\bCm (\S+)", synopsis)),
    }


def differences(name, usage, page):
    """What the page and the usage text disagree on, one line each."""
    options, commands, codes = usage_lists(usage)
    documented = page_lists(page)
    expected = {"OPTIONS": options, "SYNOPSIS options": options, "EXIT STATUS": codes}
    if commands:
        expected.update({"COMMANDS": commands, "SYNOPSIS commands": commands})
    found = []
    for part, want in expected.items():
        have = documented[part]
        if not want:
            found.append(f"{name}: the usage text lists no {part.split()[-1].lower()}; is it still read right?")
        for missing in sorted(want - have):
            found.append(f"{name}(1) {part} lacks {missing}, which --help lists")
        for extra in sorted(have - want):
            found.append(f"{name}(1) {part} has {extra}, which --help does not list")
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--nvxzip", required=True)
    parser.add_argument("--pages", required=True)
    parser.add_argument("--runner", default="")
    args = parser.parse_args()
    runner = shlex.split(args.runner)

    failures = []
    for name, program in (("nvxfix-cli", args.cli), ("nvxzip", args.nvxzip)):
        usage = usage_text(runner, program)
        with open(f"{args.pages}/{name}.1", encoding="utf-8") as f:
            page = f.read()
        failures += differences(name, usage, page)
        # The comparison itself must see a page that leaves out an option.
        first = re.search(r"^\.It Fl .*\n", page, re.M)
        if not first or not differences(name, usage, page.replace(first.group(0), "", 1)):
            failures.append(f"{name}: a page without its first option passes the comparison")

    for failure in failures:
        print(failure)
    if not failures:
        print("nvxfix-cli(1) and nvxzip(1) list what --help lists")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
