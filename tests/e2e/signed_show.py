#!/usr/bin/env python3
"""Signed shows whose launcher and viewer are real Mach-O programs, linked
with clang and ld64.lld and signed by codesign_check's reference signer,
and a signed viewer payload.

  signed_show.py OUT_DIR [--payload FILE]
"""
import atexit
import functools
import os
import plistlib
import shutil
import struct
import subprocess
import sys
import tempfile

import codesign_check as cc
from e2e_support import VIEWER, make_bundle

TOOLS = ("clang-14", "ld64.lld-14", "llvm-lipo-14")
TARGETS = {"x86_64": ("x86_64-apple-macos10.12", "10.12"), "arm64": ("arm64-apple-macos11", "11.0")}
FAT_ALIGN = {"i386": 12, "x86_64": 12, "arm64": 14}
SEGMENT_ALIGN = 0x4000
IDENTIFIER_ROOM = 128
VIEWER_ID, SHOW_ID, PLAYER_ID = "com.example.viewer", "com.example.show", "com.example.player"
BOTH = ("sha256", "sha1")


def missing_tools():
    return [t for t in TOOLS if shutil.which(t) is None]


@functools.lru_cache(maxsize=None)
def _work():
    work = tempfile.mkdtemp(prefix="signed-show-")
    atexit.register(shutil.rmtree, work, True)
    return work


@functools.lru_cache(maxsize=None)
def linked(arch, kind="execute", signed=True, value=0):
    """A thin program of one arch ("execute" or "dylib") as ld64.lld writes it;
    i386, which ld64.lld does not write, comes from i386_program."""
    if arch == "i386":
        return i386_program(value, signed)
    work = _work()
    base = os.path.join(work, "%s-%s-%d-%d" % (arch, kind, signed, value))
    with open(base + ".c", "w") as f:
        f.write("int main(void) { return %d; }\nint nvx_value(void) { return %d; }\n" % (value, value * 7))
    target, version = TARGETS[arch]
    subprocess.run(["clang-14", "-target", target, "-c", base + ".c", "-o", base + ".o"], check=True)
    link = ["ld64.lld-14", "-arch", arch, "-platform_version", "macos", version, version,
            "-adhoc_codesign" if signed else "-no_adhoc_codesign", "-undefined", "dynamic_lookup"]
    link += ["-dylib", "-install_name", "@rpath/nvx.dylib"] if kind == "dylib" else ["-execute", "-e", "_main"]
    subprocess.run(link + [base + ".o", "-o", base], check=True)
    return cc.read(base)


def i386_program(value=0, signed=True, room=0x200):
    """A 32-bit Intel program: mach_header, __TEXT and __LINKEDIT segments
    and (signed) LC_CODE_SIGNATURE at the end, its signature space zero."""
    room = room if signed else 0
    header = struct.pack("<IiiIIII", 0xFEEDFACE, 7, 3, cc.MH_EXECUTE, 2 + signed, 112 + 16 * signed, 0)
    text = struct.pack("<II16sIIIIiiII", cc.LC_SEGMENT, 56, b"__TEXT", 0x1000, 0x1000, 0, 0x1000, 5, 5, 0, 0)
    linkedit = struct.pack("<II16sIIIIiiII", cc.LC_SEGMENT, 56, b"__LINKEDIT", 0x2000, SEGMENT_ALIGN, 0x1000, room,
                           1, 1, 0, 0)
    signature = struct.pack("<IIII", cc.LC_CODE_SIGNATURE, 16, 0x1000, room)
    body = (header + text + linkedit + signature * signed + b"\x55\x89\xe5\xb8" + struct.pack("<I", value) + b"\x5d\xc3")
    return body.ljust(0x1000, b"\x90") + bytes(room)


def with_room(thin, room):
    """The thin program with room bytes of signature space (never less than it has)."""
    sl = cc.Slice(thin, 0, len(thin))
    at, dataoff, datasize = sl.sig
    seg_at, fileoff, filesize, vmsize = sl.segments["__LINKEDIT"]
    if dataoff + datasize != len(thin) or fileoff + filesize != len(thin):
        raise ValueError("the signature is not last in __LINKEDIT")
    if room <= datasize:
        return thin
    grown = bytearray(thin[:dataoff] + bytes(room))
    struct.pack_into(sl.e + "I", grown, at + 12, room)
    filesize += room - datasize
    vmsize = max(vmsize, -(-filesize // SEGMENT_ALIGN) * SEGMENT_ALIGN)
    fmt, off = (sl.e + "Q", 8) if sl.is64 else (sl.e + "I", 4)
    struct.pack_into(fmt, grown, seg_at + 24 + off, vmsize)
    struct.pack_into(fmt, grown, seg_at + 24 + 3 * off, filesize)
    return bytes(grown)


def universal(thins, fat64=False):
    """thins: (arch name, bytes); laid out at each arch's alignment."""
    entry = 32 if fat64 else 20
    out = bytearray(struct.pack(">II", 0xCAFEBABF if fat64 else 0xCAFEBABE, len(thins)) + bytes(entry * len(thins)))
    for i, (arch, data) in enumerate(thins):
        sl = cc.Slice(data, 0, len(data))
        align = FAT_ALIGN[arch]
        offset = -(-len(out) // (1 << align)) * (1 << align)
        out += bytes(offset - len(out)) + data
        fmt = ">iiQQII" if fat64 else ">iiIII"
        fields = (sl.cpu, sl.subtype, offset, len(data), align) + ((0,) if fat64 else ())
        struct.pack_into(fmt, out, 8 + i * entry, *fields)
    return bytes(out)


def room_for(thin, hash_types=BOTH):
    sl = cc.Slice(thin, 0, len(thin))
    return -(-cc.signature_size(sl.sig[1], IDENTIFIER_ROOM, hash_types) // 16) * 16


def program(kinds, kind="execute", signed=True, value=0, fat64=False, room=None):
    """A thin or universal program of the given archs with room for a
    signature (room: bytes per slice, default enough for both hashes)."""
    thins = [(k, linked(k, kind, signed, value)) for k in kinds]
    if signed:
        thins = [(k, with_room(t, room_for(t) if room is None else room(t))) for k, t in thins]
    if len(thins) == 1 and not fat64:
        return thins[0][1]
    return universal(thins, fat64)


def joined_by_lipo(kinds, kind="execute", value=0):
    """The same archs joined by llvm-lipo, as the linker signed them."""
    work = _work()
    paths = []
    for k in kinds:
        paths.append(os.path.join(work, "lipo-in-%s-%s-%d" % (k, kind, value)))
        with open(paths[-1], "wb") as f:
            f.write(linked(k, kind, True, value))
    out = os.path.join(work, "lipo-%s-%s-%d" % ("-".join(kinds), kind, value))
    subprocess.run(["llvm-lipo-14", "-create"] + paths + ["-output", out], check=True)
    return cc.read(out)


def write(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)


def info_plist(executable, identifier, **more):
    return plistlib.dumps(dict(CFBundleExecutable=executable, CFBundleIdentifier=identifier,
                               CFBundlePackageType="APPL", **more))


def signed_file(path, data, identifier, hash_types=BOTH, info=None, resources=None, mode=0o755):
    write(path, data, mode)
    cc.sign(path, identifier, info, resources, hash_types)


def make_signed_payload(path, identifier=VIEWER_ID, kinds=("x86_64", "arm64")):
    """A universal viewer signed ad hoc (SHA-256, no bundle slots), with room
    in every slice for a show's signature of both hashes."""
    signed_file(path, program(kinds, value=22), identifier, ("sha256",), mode=0o755)
    return path


def make_signed_show(folder, name="Show", payload_kinds=("x86_64", "arm64"), launcher_kinds=("x86_64", "arm64"),
                     hashes=BOTH, fat64=False, viewer_sealed=True, binary_seal=False, extra_seal_file=False,
                     launcher_no_room=False, flattened_links=False, check=True, **bundle_kw):
    """A signed show: payload_kinds and launcher_kinds the archs of the old
    viewer and of the launcher (x86_64, arm64, i386); hashes the hash types
    of seals and signatures, the first at slot 0; viewer_sealed False leaves
    Viewer.app without a seal and its viewer unsigned; binary_seal writes
    the seals as binary plists; extra_seal_file puts a file beside
    Show.app's CodeResources; launcher_no_room signs the launcher with
    SHA-256 only in exactly its room, so that one of both hashes does not
    fit; flattened_links turns the framework's links into files after
    signing (the show is then no longer consistent)."""
    bundle = make_bundle(folder, name, links=True, **bundle_kw)
    contents = os.path.join(bundle, "Contents")
    viewer_app = os.path.join(contents, "Resources", "Viewer.app")
    write(os.path.join(contents, "Info.plist"), info_plist(name, SHOW_ID))
    viewer_info = info_plist("ZuvOrudad5", VIEWER_ID, CFBundleVersion="8.0.10")
    write(os.path.join(viewer_app, "Contents", "Info.plist"), viewer_info)
    # Resources the default rules treat apart: optional, omitted, and a link.
    res = os.path.join(contents, "Resources")
    write(os.path.join(res, "en.lproj", "InfoPlist.strings"), b'"CFBundleName" = "Show";\n')
    write(os.path.join(res, "en.lproj", "locversion.plist"), plistlib.dumps({"LprojVersion": "1"}))
    write(os.path.join(res, "images", ".DS_Store"), b"\0\0\0\1Bud1")
    os.symlink("images/item001.jpg", os.path.join(res, "cover.jpg"))
    # Code in nested-code folders must be signed code.
    frameworks = os.path.join(viewer_app, "Contents", "Frameworks")
    for n in sorted(os.listdir(frameworks)) if os.path.isdir(frameworks) else []:
        signed_file(os.path.join(frameworks, n), program(("arm64",), "dylib"), "com.example." + n[:-6], hashes)
    player = os.path.join(contents, "Frameworks", "Player.framework")
    signed_file(os.path.join(player, "Versions", "A", "Player"), program(("arm64",), "dylib", value=3), PLAYER_ID,
                hashes)

    viewer = os.path.join(bundle, VIEWER)
    if viewer_sealed:
        write(viewer, program(payload_kinds, value=10, fat64=fat64), 0o755)
        cc.sign(viewer, VIEWER_ID, viewer_info, cc.seal(viewer_app, hashes, binary_seal), hashes)
    else:
        write(viewer, program(payload_kinds, signed=False, value=10, fat64=fat64), 0o755)
    launcher = os.path.join(contents, "MacOS", name)
    fit = (lambda t: cc.signature_size(cc.Slice(t, 0, len(t)).sig[1], len(SHOW_ID), ("sha256",))) \
        if launcher_no_room else None
    write(launcher, program(launcher_kinds, value=1, fat64=fat64, room=fit), 0o755)
    if extra_seal_file:
        write(os.path.join(contents, "_CodeSignature", "CodeRequirements"), cc.EMPTY_REQUIREMENTS)
    resources = cc.seal(bundle, hashes, binary_seal)
    cc.sign(launcher, SHOW_ID, read_info(contents), resources, ("sha256",) if launcher_no_room else hashes)
    if check:
        problems = cc.check_show(bundle)
        if problems:
            raise AssertionError("the signed show is not consistent:\n" + "\n".join(problems))
    if flattened_links:
        for link in ("Versions/Current", "Player"):
            full = os.path.join(player, link)
            target = os.readlink(full)
            os.remove(full)
            write(full, target.encode())
    return bundle


def read_info(contents):
    return cc.read(os.path.join(contents, "Info.plist"))


def main(argv):
    import argparse
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("out_dir", nargs="?", help="where to make a signed show")
    p.add_argument("--payload", help="write a signed viewer payload here")
    a = p.parse_args(argv)
    if missing_tools():
        print("missing: " + ", ".join(missing_tools()), file=sys.stderr)
        return 77
    if a.out_dir:
        print(make_signed_show(a.out_dir))
    if a.payload:
        print(make_signed_payload(a.payload))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
