#!/usr/bin/env python3
"""Checks a fixed archive against the one it was made from: the same
entries, each stored as it was (data, method, time, extra fields,
comment), except the viewer, which holds the payload and is a Unix program.

  check_download.py FIXED ORIGINAL PAYLOAD
"""
import stat
import sys
import zipfile

VIEWER = "/Contents/Resources/Viewer.app/Contents/MacOS/ZuvOrudad5"


def stored(info):
    return (info.compress_type, info.compress_size, info.CRC, info.date_time, info.extra, info.comment)


def main():
    fixed, original, payload = sys.argv[1:4]
    with open(payload, "rb") as f:
        carried = f.read()
    with zipfile.ZipFile(fixed) as new, zipfile.ZipFile(original) as old:
        names = [i.filename for i in old.infolist()]
        if [i.filename for i in new.infolist()] != names:
            sys.exit("the fixed archive's entries differ from the original's")
        viewers = [n for n in names if n.endswith(VIEWER)]
        if len(viewers) != 1:
            sys.exit("no single viewer entry")
        for name in names:
            if name == viewers[0]:
                info = new.getinfo(name)
                if new.read(name) != carried:
                    sys.exit("the viewer is not the payload")
                if (info.external_attr >> 16) & 0o777 != 0o755 or not stat.S_ISREG(info.external_attr >> 16):
                    sys.exit("the viewer is not a Unix program: mode %o" % (info.external_attr >> 16))
            elif new.read(name) != old.read(name):
                sys.exit("entry %s changed" % name)
            elif (new.getinfo(name).external_attr >> 16) != (old.getinfo(name).external_attr >> 16):
                sys.exit("entry %s lost its mode" % name)
            elif stored(new.getinfo(name)) != stored(old.getinfo(name)):
                sys.exit("entry %s is stored differently" % name)


if __name__ == "__main__":
    main()
