#!/usr/bin/env python3
"""Writes a small file that looks like a Mac program to the build: a Mach-O
header and a little body. It does not run; tests embed it as a viewer that
is not the placeholder, and check how the build tells files apart.

  make_macho.py OUTPUT [--kind thin64|thin32-big|universal|object|java]
"""
import argparse
import struct

MH_EXECUTE, MH_OBJECT = 2, 1
CPU_X86_64, CPU_ARM64, CPU_PPC = 0x01000007, 0x0100000C, 18
BODY = b"NvxFix test viewer: a Mach-O header and nothing to run.\n" * 4


def thin64(filetype=MH_EXECUTE, cpu=CPU_X86_64):
    # mach_header_64, little-endian as on Intel and Apple silicon
    return struct.pack("<IiiIIIII", 0xFEEDFACF, cpu, 3, filetype, 0, 0, 0, 0) + BODY


def kinds():
    return {
        "thin64": thin64(),
        "object": thin64(MH_OBJECT),
        # mach_header, big-endian as on PowerPC
        "thin32-big": struct.pack(">IiiIIII", 0xFEEDFACE, CPU_PPC, 0, MH_EXECUTE, 0, 0, 0) + BODY,
        # fat_header and two fat_arch records in front of two thin programs
        "universal": struct.pack(">II", 0xCAFEBABE, 2)
        + struct.pack(">iiIII", CPU_X86_64, 3, 4096, len(thin64()), 12)
        + struct.pack(">iiIII", CPU_ARM64, 0, 8192, len(thin64(cpu=CPU_ARM64)), 14)
        + b"\0" * (4096 - 48) + thin64() + b"\0" * (4096 - len(thin64())) + thin64(cpu=CPU_ARM64),
        # a Java class file starts with the same magic number
        "java": struct.pack(">IHH", 0xCAFEBABE, 0, 52) + BODY,
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("output")
    parser.add_argument("--kind", default="thin64", choices=sorted(kinds()))
    args = parser.parse_args()
    with open(args.output, "wb") as f:
        f.write(kinds()[args.kind])


if __name__ == "__main__":
    main()
