#!/usr/bin/env python3
"""Checks the code signatures of Mac bundles by Apple's rules, independently
of the fix: every page of every slice of a bundle's programs, the special
slots (Info.plist, requirements, the seal) and every entry of the seal,
_CodeSignature/CodeResources. Also a reference signer and sealer that the
fixtures are made with.

  codesign_check.py PATH...     (bundle folders or .zip archives holding them)
"""
import hashlib
import os
import plistlib
import re
import shutil
import stat
import struct
import sys
import tempfile
import zipfile

SUPERBLOB, CODEDIRECTORY, REQUIREMENTS, CMS_WRAPPER = 0xFADE0CC0, 0xFADE0C02, 0xFADE0C01, 0xFADE0B01
SLOT_CD, SLOT_REQUIREMENTS, SLOT_ALTERNATE, SLOT_CMS = 0, 2, 0x1000, 0x10000
SLOT_INFO, SLOT_RESOURCES = 1, 3
SHA1, SHA256 = 1, 2
HASH_NAMES = {SHA1: "sha1", SHA256: "sha256"}
HASH_TYPES = {v: k for k, v in HASH_NAMES.items()}
HASH_SIZES = {SHA1: 20, SHA256: 32}
EMPTY_REQUIREMENTS = struct.pack(">III", REQUIREMENTS, 12, 0)
LC_SEGMENT, LC_SEGMENT_64, LC_CODE_SIGNATURE = 0x1, 0x19, 0x1D
MH_EXECUTE = 2
CPU_NAMES = {7: "i386", 0x01000007: "x86_64", 12: "arm", 0x0100000C: "arm64", 18: "ppc", 0x01000012: "ppc64"}
CD_HEADER = ">IIIIIIIIIBBBBIIIIQQQQ"  # CodeDirectory up to version 0x20400: 88 bytes
PAGE_SHIFT = 12
CD_VERSION = 0x20400
ADHOC = 0x2
SEAL = "_CodeSignature/CodeResources"

# Apple's default resource rules, as a seal carries them (paths under Contents/).
RULES = {
    "^Resources/": True,
    r"^Resources/.*\.lproj/": {"optional": True, "weight": 1000.0},
    r"^Resources/.*\.lproj/locversion.plist$": {"omit": True, "weight": 1100.0},
    r"^Resources/Base\.lproj/": {"weight": 1010.0},
    "^version.plist$": True,
}
RULES2 = {
    r".*\.dSYM($|/)": {"weight": 11.0},
    r"^(.*/)?\.DS_Store$": {"omit": True, "weight": 2000.0},
    "^(Frameworks|SharedFrameworks|PlugIns|Plug-ins|XPCServices|Helpers|MacOS|Library/(Automator|Spotlight|LoginItems))/":
        {"nested": True, "weight": 10.0},
    "^.*": True,
    r"^Info\.plist$": {"omit": True, "weight": 20.0},
    r"^PkgInfo$": {"omit": True, "weight": 20.0},
    "^Resources/": {"weight": 20.0},
    r"^Resources/.*\.lproj/": {"optional": True, "weight": 1000.0},
    r"^Resources/.*\.lproj/locversion.plist$": {"omit": True, "weight": 1100.0},
    r"^Resources/Base\.lproj/": {"weight": 1010.0},
    "^[^/]+$": {"nested": True, "weight": 10.0},
    r"^embedded\.provisionprofile$": {"weight": 20.0},
    r"^version\.plist$": {"weight": 20.0},
}


class NoRoom(Exception):
    pass


def read(path):
    with open(path, "rb") as f:
        return f.read()


def digest(kind, data):
    return hashlib.new(HASH_NAMES[kind], data).digest()


# ---- Mach-O ----

class Slice:
    """One Mach-O image: where it is in its file and the load commands a
    signature depends on. sig: (command offset, dataoff, datasize) or None;
    segments: name -> (command offset, fileoff, filesize, vmsize)."""

    def __init__(self, data, offset, size):
        self.offset, self.size = offset, size
        magic = data[offset:offset + 4]
        if magic in (b"\xce\xfa\xed\xfe", b"\xcf\xfa\xed\xfe"):
            self.e = "<"
        elif magic in (b"\xfe\xed\xfa\xce", b"\xfe\xed\xfa\xcf"):
            self.e = ">"
        else:
            raise ValueError("not a Mach-O image at %d" % offset)
        self.is64 = 0xCF in (magic[0], magic[3])
        self.cpu, self.subtype, self.filetype, ncmds, _ = struct.unpack_from(self.e + "iiIII", data, offset + 4)
        self.cpu_name = CPU_NAMES.get(self.cpu, "cpu %#x" % self.cpu)
        self.segments, self.sig = {}, None
        at = offset + (32 if self.is64 else 28)
        for _ in range(ncmds):
            cmd, cmdsize = struct.unpack_from(self.e + "II", data, at)
            if cmdsize < 8 or at + cmdsize > offset + size:
                raise ValueError("load commands cut short")
            if cmd in (LC_SEGMENT, LC_SEGMENT_64):
                name = data[at + 8:at + 24].rstrip(b"\0").decode("ascii", "replace")
                fmt = "QQQQ" if cmd == LC_SEGMENT_64 else "IIII"
                _, vmsize, fileoff, filesize = struct.unpack_from(self.e + fmt, data, at + 24)
                self.segments[name] = (at - offset, fileoff, filesize, vmsize)
            elif cmd == LC_CODE_SIGNATURE:
                self.sig = (at - offset,) + struct.unpack_from(self.e + "II", data, at + 8)
            at += cmdsize

    def signature(self, data):
        if self.sig is None:
            return None
        start = self.offset + self.sig[1]
        return data[start:start + self.sig[2]]


def slices(data):
    """Every slice of a thin or universal (fat 32 or 64) Mach-O file."""
    magic = struct.unpack_from(">I", data)[0] if len(data) >= 8 else 0
    if magic in (0xCAFEBABE, 0xCAFEBABF):
        count = struct.unpack_from(">I", data, 4)[0]
        if count > 30:  # a Java class file has the same magic number
            raise ValueError("not a Mach-O file")
        out, size = [], 32 if magic == 0xCAFEBABF else 20
        for i in range(count):
            at = 8 + i * size
            if magic == 0xCAFEBABF:
                _, _, offset, length, _ = struct.unpack_from(">iiQQI", data, at)
            else:
                _, _, offset, length, _ = struct.unpack_from(">iiIII", data, at)
            if offset + length > len(data):
                raise ValueError("a slice runs past the end of the file")
            out.append(Slice(data, offset, length))
        return out
    return [Slice(data, 0, len(data))]


# ---- signatures ----

class CodeDirectory:
    def __init__(self, blob):
        (self.magic, self.length, self.version, self.flags, self.hash_offset, ident_offset, self.n_special,
         self.n_code, self.code_limit, self.hash_size, self.hash_type, _, self.page_shift, _, _, _, _, _,
         self.exec_base, self.exec_limit, self.exec_flags) = struct.unpack_from(CD_HEADER, blob.ljust(88, b"\0"))
        if self.version < 0x20400:
            self.exec_base = self.exec_limit = self.exec_flags = None
        self.blob = blob[:self.length]
        end = blob.find(b"\0", ident_offset)
        self.identifier = blob[ident_offset:end].decode("utf-8", "replace")

    def slot(self, n):
        """Hash of code slot n, or of special slot -n."""
        at = self.hash_offset + n * self.hash_size
        return self.blob[at:at + self.hash_size]

    def cdhash(self):
        return digest(self.hash_type, self.blob)[:20]


def blobs(superblob):
    """type -> blob of an embedded signature; raises on a broken SuperBlob."""
    magic, length, count = struct.unpack_from(">III", superblob)
    if magic != SUPERBLOB:
        raise ValueError("no embedded signature (magic %#x)" % magic)
    if length > len(superblob) or 12 + 8 * count > length:
        raise ValueError("the signature is larger than its room")
    out = {}
    for i in range(count):
        kind, offset = struct.unpack_from(">II", superblob, 12 + 8 * i)
        blob_length = struct.unpack_from(">I", superblob, offset + 4)[0] if offset + 8 <= length else 0
        if offset + blob_length > length or blob_length < 8:
            raise ValueError("blob %#x lies outside the signature" % kind)
        out[kind] = superblob[offset:offset + blob_length]
    return out


def code_directories(superblob):
    b = blobs(superblob)
    return b, [CodeDirectory(b[k]) for k in sorted(b) if k == SLOT_CD or SLOT_ALTERNATE <= k < SLOT_ALTERNATE + 5]


def check_slice(data, sl, label, components=None):
    """Problems of one slice's signature. components: special slot -> the
    bytes it names (None: absent); when None itself the slots are not checked."""
    if sl.sig is None:
        return ["%s: not signed" % label]
    problems = []
    _, dataoff, datasize = sl.sig
    linkedit = sl.segments.get("__LINKEDIT")
    if dataoff + datasize != sl.size:
        problems.append("%s: the signature does not end at the slice's end" % label)
    if linkedit is None or linkedit[1] + linkedit[2] != sl.size or dataoff < linkedit[1]:
        problems.append("%s: the signature is not last in __LINKEDIT at the slice's end" % label)
    try:
        parts, cds = code_directories(sl.signature(data))
    except (ValueError, struct.error) as e:
        return problems + ["%s: %s" % (label, e)]
    if not cds or SLOT_CD not in parts:
        return problems + ["%s: no CodeDirectory" % label]
    code = data[sl.offset:sl.offset + dataoff]
    text = sl.segments.get("__TEXT")
    for cd in cds:
        name = "%s %s CodeDirectory" % (label, HASH_NAMES.get(cd.hash_type, "hash type %d" % cd.hash_type))
        if cd.magic != CODEDIRECTORY or cd.hash_type not in HASH_SIZES or cd.hash_size != HASH_SIZES[cd.hash_type]:
            problems.append("%s: not a CodeDirectory of a known hash" % name)
            continue
        if cd.code_limit != dataoff:
            problems.append("%s: codeLimit %d is not the signature's offset %d" % (name, cd.code_limit, dataoff))
        page = 1 << cd.page_shift if cd.page_shift else len(code)
        if cd.n_code != (len(code) + page - 1) // page:
            problems.append("%s: %d code slots for %d pages" % (name, cd.n_code, (len(code) + page - 1) // page))
        bad = [i for i in range(cd.n_code) if cd.slot(i) != digest(cd.hash_type, code[i * page:(i + 1) * page])]
        if bad:
            problems.append("%s: code page %d (of %d) differs from its hash" % (name, bad[0], len(bad)))
        if cd.exec_base is not None and text is not None:
            main = cd.exec_flags & 1
            if (cd.exec_base, cd.exec_limit, main) != (text[1], text[2], int(sl.filetype == MH_EXECUTE)):
                problems.append("%s: exec segment fields are not those of __TEXT" % name)
        if cd.identifier != cds[0].identifier or cd.flags != cds[0].flags:
            problems.append("%s: identifier or flags differ from the first CodeDirectory's" % name)
        if components is None:
            continue
        wanted = dict(components)
        wanted[SLOT_REQUIREMENTS] = parts.get(SLOT_REQUIREMENTS)
        what = {SLOT_INFO: "Info.plist", SLOT_REQUIREMENTS: "requirements", SLOT_RESOURCES: SEAL}
        for slot in (SLOT_INFO, SLOT_REQUIREMENTS, SLOT_RESOURCES):
            held = cd.slot(-slot) if slot <= cd.n_special else b""
            present = held.strip(b"\0") != b""
            if wanted.get(slot) is None:
                if present:
                    problems.append("%s: special slot %d names a missing %s" % (name, slot, what[slot]))
            elif not present:
                problems.append("%s: %s is not bound (special slot %d empty)" % (name, what[slot], slot))
            elif held != digest(cd.hash_type, wanted[slot]):
                problems.append("%s: special slot %d differs from the hash of %s" % (name, slot, what[slot]))
    return problems


def check_file(path, label, components=None):
    """(whether the file carries any signature, problems); every slice must agree."""
    data = read(path)
    try:
        parts = slices(data)
    except (ValueError, struct.error) as e:
        return False, ["%s: %s" % (label, e)]
    signed = [sl.sig is not None for sl in parts]
    if not any(signed):
        return False, []
    problems = []
    for sl in parts:
        problems += check_slice(data, sl, "%s (%s)" % (label, sl.cpu_name), components)
    return True, problems


def signature_info(path):
    """Per slice: cpu, signed, and where signed identifier, flags, version,
    hash_types (names, the first at slot 0), special_slots (hash name -> slot
    -> bytes), cdhash (the first CodeDirectory's), page_size, code_limit,
    requirements (the blob or None) and cms (whether a CMS wrapper is there)."""
    data = read(path)
    out = []
    for sl in slices(data):
        info = {"cpu": sl.cpu_name, "cputype": sl.cpu, "signed": sl.sig is not None}
        if sl.sig is not None:
            parts, cds = code_directories(sl.signature(data))
            info.update(identifier=cds[0].identifier, flags=cds[0].flags, version=cds[0].version,
                        hash_types=[HASH_NAMES.get(cd.hash_type, cd.hash_type) for cd in cds],
                        special_slots={HASH_NAMES.get(cd.hash_type, cd.hash_type):
                                       {n: cd.slot(-n) for n in range(1, cd.n_special + 1)} for cd in cds},
                        cdhash=cds[0].cdhash(), page_size=1 << cds[0].page_shift, code_limit=cds[0].code_limit,
                        requirements=parts.get(SLOT_REQUIREMENTS), cms=SLOT_CMS in parts)
        out.append(info)
    return out


# ---- resource seals ----

def compile_rules(rules):
    """(regex, weight, flags) per rule; flags a set of omit, optional, nested, exclude."""
    out = []
    for pattern, value in rules.items():
        if isinstance(value, bool):
            out.append((re.compile(pattern), 1.0, set() if value else {"exclude"}))
        else:
            out.append((re.compile(pattern), float(value.get("weight", 1.0)),
                        {k for k in ("omit", "optional", "nested") if value.get(k)}))
    return out


def find_rule(rules, path):
    """The matching rule of greatest weight (the first of equals); None when none or an exclusion matches."""
    best = None
    for regex, weight, flags in rules:
        if regex.search(path):
            if "exclude" in flags:
                return None
            if best is None or weight > best[1]:
                best = (regex, weight, flags)
    return best


def scan(contents, rules, v2, main_executable):
    """What the rules seal under contents: {relative path: (kind, flags)},
    kind file, link (v2) or nested (v2: code sealed by its cdhash)."""
    rules, out = compile_rules(rules), {}
    for root, dirs, files in os.walk(contents):
        dirs.sort()
        rel_root = os.path.relpath(root, contents).replace(os.sep, "/")
        rel_root = "" if rel_root == "." else rel_root + "/"
        for d in list(dirs):
            rel = rel_root + d
            rule = find_rule(rules, rel)
            if os.path.islink(os.path.join(root, d)):
                dirs.remove(d)
                files.append(d)
            elif rel == "_CodeSignature" or (rule and "omit" in rule[2]):
                dirs.remove(d)
            elif v2 and rule and "nested" in rule[2] and "." in d:
                dirs.remove(d)
                out[rel] = ("nested", rule[2])
        for n in sorted(files):
            rel, full = rel_root + n, os.path.join(root, n)
            rule = find_rule(rules, rel)
            if rel == main_executable or rule is None or "omit" in rule[2]:
                continue
            if os.path.islink(full):
                if v2:
                    out[rel] = ("link", rule[2])
            elif v2 and "nested" in rule[2]:
                out[rel] = ("nested", rule[2])
            elif os.path.isfile(full):
                out[rel] = ("file", rule[2])
    return out


def bundle_executable(path):
    """The main program of a bundle folder (app or framework), or None."""
    for plist, folder in (("Contents/Info.plist", "Contents/MacOS"), ("Resources/Info.plist", ""),
                          ("Versions/Current/Resources/Info.plist", "Versions/Current")):
        try:
            with open(os.path.join(path, plist), "rb") as f:
                name = plistlib.load(f).get("CFBundleExecutable")
        except Exception:  # unreadable, or plistlib's several kinds
            continue
        if name:
            return os.path.join(path, folder, name)
    candidate = os.path.join(path, os.path.splitext(os.path.basename(path))[0])
    return candidate if os.path.isfile(candidate) else None


def nested_cdhash(path):
    """The cdhash of nested code (a program, or a bundle by its program): its first slice's first CodeDirectory."""
    exe = bundle_executable(path) if os.path.isdir(path) else path
    if exe is None or not os.path.isfile(exe):
        return None, None
    try:
        return exe, signature_info(exe)[0].get("cdhash")
    except (ValueError, struct.error):
        return exe, None


def seal_hash_types(seal):
    """The hash types a seal carries in files2 (SHA-1 as hash, SHA-256 as hash2)."""
    entries = [e for e in seal.get("files2", {}).values() if isinstance(e, dict) and ("hash" in e or "hash2" in e)]
    if not entries:
        return {SHA1, SHA256}
    return {t for t, key in ((SHA1, "hash"), (SHA256, "hash2")) if any(key in e for e in entries)}


def check_seal(contents, seal, main_executable, label):
    problems = []
    for files_key, rules_key, v2 in (("files", "rules", False), ("files2", "rules2", True)):
        files, rules = seal.get(files_key), seal.get(rules_key)
        if not isinstance(files, dict) or not isinstance(rules, dict):
            problems.append("%s: the seal has no %s or %s" % (label, files_key, rules_key))
            continue
        sealed = scan(contents, rules, v2, main_executable)
        for rel, entry in sorted(files.items()):
            name = "%s/Contents/%s" % (label, rel)
            full = os.path.join(contents, rel)
            entry = entry if isinstance(entry, dict) else {"hash": entry}
            if rel not in sealed:
                if os.path.lexists(full):
                    problems.append("%s: in %s, but the rules leave it out" % (name, files_key))
                elif not entry.get("optional"):
                    problems.append("%s: in %s, but missing" % (name, files_key))
                continue
            kind = sealed[rel][0]
            if "symlink" in entry:
                if kind != "link" or os.readlink(full) != entry["symlink"]:
                    problems.append("%s: not the link %s seals" % (name, files_key))
            elif "cdhash" in entry:
                exe, cdhash = nested_cdhash(full) if kind == "nested" else (None, None)
                if exe is None:
                    problems.append("%s: nested code without its program" % name)
                elif cdhash is None:
                    problems.append("%s: nested code's program is not signed code" % name)
                elif cdhash != entry["cdhash"]:
                    problems.append("%s: nested code's cdhash differs from %s" % (name, files_key))
                else:
                    problems += check_file(exe, name, None)[1]
                    if entry.get("requirement") not in (None, 'cdhash H"%s"' % cdhash.hex()):
                        problems.append("%s: requirement is not its cdhash" % name)
            elif kind != "file":
                problems.append("%s: a %s where %s seals a file" % (name, kind, files_key))
            else:
                data = read(full)
                for key, kind_ in (("hash", SHA1), ("hash2", SHA256)):
                    if key in entry and entry[key] != digest(kind_, data):
                        problems.append("%s: hash differs from the seal's (%s %s)" % (name, files_key, key))
                if not ("hash" in entry or "hash2" in entry):
                    problems.append("%s: %s holds no hash" % (name, files_key))
        for rel, (kind, _) in sorted(sealed.items()):
            if rel not in files:
                problems.append("%s/Contents/%s: a %s the rules seal, missing from %s" % (label, rel, kind, files_key))
            elif kind == "nested" and "cdhash" not in (files[rel] if isinstance(files[rel], dict) else {}):
                problems.append("%s/Contents/%s: nested code sealed without its cdhash" % (label, rel))
    return problems


def check_bundle(path):
    """Problems of a bundle folder's signature and seal; empty when consistent."""
    path = os.path.abspath(path).rstrip("/")
    label = os.path.basename(path)
    contents = os.path.join(path, "Contents")
    info = read(os.path.join(contents, "Info.plist")) if os.path.isfile(os.path.join(contents, "Info.plist")) else None
    try:
        executable = plistlib.loads(info).get("CFBundleExecutable") if info else None
    except Exception:  # plistlib raises several kinds
        return ["%s/Contents/Info.plist: not a property list" % label]
    if not executable:
        return ["%s: no CFBundleExecutable in Contents/Info.plist" % label]
    main = "MacOS/" + executable
    seal_path = os.path.join(contents, SEAL)
    seal_bytes = read(seal_path) if os.path.isfile(seal_path) else None
    problems, seal = [], None
    if seal_bytes is not None:
        try:
            seal = plistlib.loads(seal_bytes)
        except Exception:  # plistlib raises several kinds
            problems.append("%s/Contents/%s: not a property list" % (label, SEAL))
    exe = os.path.join(contents, main)
    if not os.path.isfile(exe):
        return problems + ["%s/Contents/%s: missing" % (label, main)]
    signed, found = check_file(exe, "%s/Contents/%s" % (label, main), {SLOT_INFO: info, SLOT_RESOURCES: seal_bytes})
    problems += found
    if not signed:
        if seal_bytes is not None:
            problems.append("%s/Contents/%s: not signed, but the bundle has a seal" % (label, main))
        return problems
    if seal_bytes is None:
        if os.path.isdir(os.path.join(contents, "Resources")):
            problems.append("%s: signed, but its resources are not sealed" % label)
        return problems
    if seal is not None:
        problems += check_seal(contents, seal, main, label)
        carried = seal_hash_types(seal)
        for s in signature_info(exe):
            for t in s.get("hash_types", []):
                if HASH_TYPES.get(t) not in carried:
                    problems.append("%s/Contents/%s (%s): a %s CodeDirectory, but the seal has no %s hashes" %
                                    (label, main, s["cpu"], t, t))
    return problems


def check_show(show_app):
    """Show.app and its Viewer.app, each as a bundle."""
    return check_bundle(show_app) + check_bundle(os.path.join(show_app, "Contents", "Resources", "Viewer.app"))


# ---- the reference signer ----

def code_directory(code, kind, identifier, flags, specials, text, main):
    size = HASH_SIZES[kind]
    n_special = max([s for s, v in specials.items() if v is not None], default=0)
    ident = identifier.encode("utf-8") + b"\0"
    hash_offset = 88 + len(ident) + n_special * size
    page = 1 << PAGE_SHIFT
    pages = [code[i:i + page] for i in range(0, len(code), page)]
    slots = b"".join(digest(kind, specials[s]) if specials.get(s) is not None else bytes(size)
                     for s in range(n_special, 0, -1))
    header = struct.pack(CD_HEADER, CODEDIRECTORY, hash_offset + len(pages) * size, CD_VERSION, flags, hash_offset,
                         88, n_special, len(pages), len(code), size, kind, 0, PAGE_SHIFT, 0, 0, 0, 0, 0,
                         text[0], text[1], 1 if main else 0)
    return header + ident + slots + b"".join(digest(kind, p) for p in pages)


def superblob(parts):
    out, at = b"", 12 + 8 * len(parts)
    index = b""
    for kind, blob in sorted(parts.items()):
        index += struct.pack(">II", kind, at)
        out += blob
        at += len(blob)
    return struct.pack(">III", SUPERBLOB, at, len(parts)) + index + out


def signature_for(data, sl, identifier, info_plist, resources, hash_types, flags, requirements, cms):
    code = data[sl.offset:sl.offset + sl.sig[1]]
    text = sl.segments.get("__TEXT", (0, 0, 0, 0))
    specials = {SLOT_INFO: info_plist, SLOT_REQUIREMENTS: EMPTY_REQUIREMENTS if requirements else None,
                SLOT_RESOURCES: resources}
    parts = {}
    for i, name in enumerate(hash_types):
        parts[SLOT_ALTERNATE + i - 1 if i else SLOT_CD] = code_directory(
            code, HASH_TYPES[name], identifier, flags, specials, text[1:3], sl.filetype == MH_EXECUTE)
    if requirements:
        parts[SLOT_REQUIREMENTS] = EMPTY_REQUIREMENTS
    if cms:
        parts[SLOT_CMS] = struct.pack(">II", CMS_WRAPPER, 8)
    return superblob(parts)


def sign(path, identifier, info_plist_bytes=None, resources_bytes=None, hash_types=("sha256",), flags=ADHOC,
         requirements=True, cms=True):
    """Signs every slice ad hoc within its signature's room (NoRoom when it
    does not fit); hash_types by name, the first at slot 0."""
    data = bytearray(read(path))
    for sl in slices(data):
        if sl.sig is None:
            raise ValueError("%s (%s) has no LC_CODE_SIGNATURE" % (path, sl.cpu_name))
        blob = signature_for(data, sl, identifier, info_plist_bytes, resources_bytes, hash_types, flags,
                             requirements, cms)
        _, dataoff, datasize = sl.sig
        if len(blob) > datasize:
            raise NoRoom("%s (%s): a signature of %d bytes in %d" % (path, sl.cpu_name, len(blob), datasize))
        data[sl.offset + dataoff:sl.offset + dataoff + datasize] = blob.ljust(datasize, b"\0")
    with open(path, "wb") as f:
        f.write(data)


def signature_size(code_limit, identifier_length, hash_types, special_slots=3):
    """The bytes sign() writes for a slice with this much code."""
    pages = (code_limit + (1 << PAGE_SHIFT) - 1) >> PAGE_SHIFT
    cds = sum(88 + identifier_length + 1 + (special_slots + pages) * HASH_SIZES[HASH_TYPES[t]] for t in hash_types)
    return 12 + 8 * (len(hash_types) + 2) + cds + len(EMPTY_REQUIREMENTS) + 8


def seal(bundle_path, hash_types=("sha256", "sha1"), binary=False):
    """Writes Contents/_CodeSignature/CodeResources with Apple's default
    rules; nested code must be signed already. Gives the bytes written."""
    contents = os.path.join(bundle_path, "Contents")
    with open(os.path.join(contents, "Info.plist"), "rb") as f:
        main = "MacOS/" + plistlib.load(f)["CFBundleExecutable"]
    files, files2 = {}, {}
    for rel, (kind, flags) in scan(contents, RULES, False, main).items():
        h = digest(SHA1, read(os.path.join(contents, rel)))
        files[rel] = {"hash": h, "optional": True} if "optional" in flags else h
    for rel, (kind, flags) in scan(contents, RULES2, True, main).items():
        full = os.path.join(contents, rel)
        if kind == "link":
            files2[rel] = {"symlink": os.readlink(full)}
        elif kind == "nested":
            exe, cdhash = nested_cdhash(full)
            if cdhash is None:
                raise ValueError("%s: nested code that is not signed" % full)
            files2[rel] = {"cdhash": cdhash, "requirement": 'cdhash H"%s"' % cdhash.hex()}
        else:
            data = read(full)
            entry = {key: digest(t, data) for key, t in (("hash", SHA1), ("hash2", SHA256)) if HASH_NAMES[t] in hash_types}
            if "optional" in flags:
                entry["optional"] = True
            files2[rel] = entry
    out = plistlib.dumps({"files": files, "files2": files2, "rules": RULES, "rules2": RULES2},
                         fmt=plistlib.FMT_BINARY if binary else plistlib.FMT_XML)
    os.makedirs(os.path.join(contents, "_CodeSignature"), exist_ok=True)
    with open(os.path.join(contents, SEAL), "wb") as f:
        f.write(out)
    return out


# ---- command line ----

def unpack(zip_path, dest):
    """Unpacks an archive with its links as links."""
    with zipfile.ZipFile(zip_path) as z:
        for info in z.infolist():
            target = os.path.join(dest, *[p for p in info.filename.split("/") if p not in ("", ".", "..")])
            mode = info.external_attr >> 16
            if info.is_dir():
                os.makedirs(target, exist_ok=True)
                continue
            os.makedirs(os.path.dirname(target), exist_ok=True)
            if stat.S_ISLNK(mode):
                os.symlink(z.read(info).decode("utf-8"), target)
            else:
                with open(target, "wb") as f:
                    f.write(z.read(info))


def check_path(path):
    """Problems of a folder (a show, or any bundle) or of every top-level bundle in a .zip."""
    if os.path.isdir(path):
        viewer = os.path.join(path, "Contents", "Resources", "Viewer.app")
        return check_show(path) if os.path.isdir(viewer) else check_bundle(path)
    temp = tempfile.mkdtemp(prefix="codesign-check-")
    try:
        unpack(path, temp)
        apps = [n for n in sorted(os.listdir(temp)) if n.endswith(".app")]
        if not apps:
            return ["%s: no bundle at the top of the archive" % path]
        return [p for a in apps for p in check_path(os.path.join(temp, a))]
    finally:
        shutil.rmtree(temp)


def main(argv):
    if not argv:
        print(__doc__.strip().splitlines()[-1].strip(), file=sys.stderr)
        return 2
    status = 0
    for path in argv:
        problems = check_path(path)
        for p in problems:
            print("%s: %s" % (path, p))
        if not problems:
            print("%s: consistent" % path)
        status |= bool(problems)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
