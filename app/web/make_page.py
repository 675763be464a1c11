#!/usr/bin/env python3
"""Writes the web page: index.html with the worker and the core beside it
(for a web host), and nvxfix.html, one file that also works opened from
the disk (the worker and the core, the wasm inside, carried in the page).

  make_page.py PAGE_SOURCES CORE_BUILD_DIR OUTPUT_DIR [SINGLE_CORE]

With SINGLE_CORE (the name of a one-file core script) only nvxfix.html is
written, around that core: the tests' page around another viewer.
"""
import os
import shutil
import sys


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def page(sources, worker_block):
    html = read(os.path.join(sources, "page.html"))
    return (html.replace("/*STYLE*/", read(os.path.join(sources, "style.css")))
            .replace("/*SCRIPT*/", read(os.path.join(sources, "page.js")))
            .replace("<!--WORKER-->", worker_block))


def main():
    sources, core, out = sys.argv[1:4]
    single = sys.argv[4] if len(sys.argv) > 4 else None
    os.makedirs(out, exist_ok=True)
    worker = read(os.path.join(sources, "worker.js"))

    if not single:
        with open(os.path.join(out, "index.html"), "w", encoding="utf-8") as f:
            f.write(page(sources, ""))
        with open(os.path.join(out, "nvxfix-worker.js"), "w", encoding="utf-8") as f:
            f.write(worker + "\nimportScripts('nvxfix-core.js');\n")
        for name in ("nvxfix-core.js", "nvxfix-core.wasm"):
            shutil.copyfile(os.path.join(core, name), os.path.join(out, name))

    carried = worker + "\n" + read(os.path.join(core, single or "nvxfix-core-single.js"))
    # The script block ends at the first "</script"; the core has none.
    if "</script" in carried.lower():
        sys.exit("make_page.py: the worker's script holds '</script' and cannot be carried in the page")
    block = '<script id="worker-source" type="text/plain">\n' + carried + "\n</script>"
    with open(os.path.join(out, "nvxfix.html"), "w", encoding="utf-8") as f:
        f.write(page(sources, block))


if __name__ == "__main__":
    main()
