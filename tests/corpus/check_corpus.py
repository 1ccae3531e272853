#!/usr/bin/python3
"""Checks the resource table loader against pefile over a real corpus.

--kind pe32 (the exports' reading): every PE32 file of the Wine package's
i386-windows folder is opened by the library (through resource_dump) and
read by pefile; the result codes must be the ones the headers call for and
the loaded table must equal pefile's walk of the resource tree, record by
record. The PE32+ files of the x86_64-windows folder must all be refused as
not PE32.

--kind pe32plus (vornres's reading): the same for every PE32+ file of the
x86_64-windows folder, opened as PE32 or PE32+; and with --lib, the exports
of the shared library still refuse each of them as not PE32 and leave a
copy of each unchanged.

Run with Debian's /usr/bin/python3, which has python3-pefile.
"""

import argparse
import collections
import ctypes
import glob
import json
import os
import shutil
import struct
import subprocess
import sys
import time

try:
    import pefile
except ImportError:
    sys.exit("check_corpus: %s cannot import pefile; install python3-pefile and run "
             "this script with /usr/bin/python3" % sys.executable)

PE32_MAGIC = 0x10B
PE32PLUS_MAGIC = 0x20B
MIN_IMAGE_SIZE = 308
OPTIONAL_HEADER_SIZE = 224
# Where the data directories start in each kind of optional header.
DIRECTORY_OFFSETS = {PE32_MAGIC: 96, PE32PLUS_MAGIC: 112}
NOT_PE32 = 3
RT_ICON, RT_VERSION = 3, 16
MAX_SHOWN = 5


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


def wine_folder(packages, leaf, override):
    """The folder of the package's PE files; the fullest candidate wins, as
    stray copies of a single file may sit in the other architecture's tree."""
    if override:
        return override if os.path.isdir(override) else None
    found = set()
    for package in packages:
        try:
            listing = subprocess.run(["dpkg", "-L", package], capture_output=True, text=True).stdout
        except OSError:
            listing = ""
        found.update(line for line in listing.splitlines()
                     if line.endswith("/wine/" + leaf) and os.path.isdir(line))
    if not found:
        found.update(glob.glob("/usr/lib/*/wine/" + leaf) + glob.glob("/usr/lib/wine/" + leaf))
    return max(sorted(found), key=lambda d: len(os.listdir(d)), default=None)


def optional_magic(path):
    """The optional header's Magic, or None for a file that is no PE image."""
    with open(path, "rb") as f:
        dos = f.read(64)
        if len(dos) < 64 or dos[:2] != b"MZ":
            return None
        f.seek(struct.unpack_from("<I", dos, 60)[0])
        head = f.read(4 + 20 + 2)
    if len(head) < 26 or head[:4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", head, 24)[0]


def entry_text(pe, entry):
    """The name of a named entry, or None when the library counts the entry
    as an ID entry: no name, an empty one or one that is not valid UTF-16.
    Long names are kept whole."""
    if entry.name is None:
        return None
    units = entry.name.get_pascal_16_length()
    text = entry.name.decode("utf-8")
    if len(text.encode("utf-16-le", "surrogatepass")) != 2 * units:
        # pefile stops at an embedded NUL and escapes lone surrogates; the
        # library keeps the former and refuses the latter.
        try:
            text = pe.get_data(entry.name.get_rva() + 2, 2 * units).decode("utf-16-le")
        except UnicodeDecodeError:
            return None
    return text or None


class Walk:
    """pefile's tree flattened the way the library's table is defined, with
    every structure checked to lie inside the resource directory's bytes."""

    def __init__(self, pe, rva, size, offset):
        self.pe, self.rva, self.size, self.offset = pe, rva, size, offset
        self.entries, self.problems = [], []
        self.type_count = self.has_icons = self.has_version = 0

    def inside(self, what, file_offset, length):
        if not (self.offset <= file_offset and file_offset + length <= self.offset + self.size):
            self.problems.append("%s at file offset 0x%x (+%d) outside the resource bytes" %
                                 (what, file_offset, length))

    def directory(self, node, record, level):
        self.inside("directory", node.struct.get_file_offset(), 16)
        record = dict(record)  # siblings overwrite their level's fields, as in the library
        for entry in node.entries:
            self.inside("entry", entry.struct.get_file_offset(), 8)
            text = entry_text(self.pe, entry)
            ident = entry.struct.Name & 0xFFFF
            if level == 0:
                record["typeId"], record["typeName"] = (-1, text) if text else (ident, None)
                self.type_count += 1
                self.has_icons |= int(not text and ident == RT_ICON)
                self.has_version |= int(not text and ident == RT_VERSION)
            elif level == 1:
                record["nameId"], record["name"] = (-1, text) if text else (ident, None)
            elif level == 2 and not text:
                record["language"] = ident
            if hasattr(entry, "directory"):
                self.directory(entry.directory, record, level + 1)
            elif hasattr(entry, "data"):
                self.leaf(node.struct, entry.data.struct, record)
            else:
                self.problems.append("entry without directory or data")

    def leaf(self, header, data_entry, record):
        self.inside("data entry", data_entry.get_file_offset(), 16)
        rva, size = data_entry.OffsetToData, data_entry.Size
        if not (self.rva <= rva and rva - self.rva + size <= self.size):
            self.problems.append("data at RVA 0x%x (+%d) outside the resource directory" % (rva, size))
            return
        data = self.pe.get_data(rva, size)
        if len(data) != size:
            self.problems.append("data at RVA 0x%x: %d of %d bytes readable" % (rva, len(data), size))
        self.entries.append(dict(record, ordinal=len(self.entries), codePage=data_entry.CodePage,
                                 size=size, characteristics=header.Characteristics,
                                 timeDateStamp=header.TimeDateStamp, majorVersion=header.MajorVersion,
                                 minorVersion=header.MinorVersion, fnv=fnv1a64(data)))


EMPTY_RECORD = {"typeId": 0, "typeName": None, "nameId": 0, "name": None, "language": 0}


def expect_image(path, any_kind=False):
    """What pefile says the library must give: (code, layout, table, problems).
    any_kind: opened as vornres opens, PE32 or PE32+ with any optional header
    that holds its directories' start."""
    try:
        pe = pefile.PE(path, fast_load=True)
    except pefile.PEFormatError as e:
        return NOT_PE32, None, None, ["pefile refuses the file: %s" % e]
    fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    directories = DIRECTORY_OFFSETS.get(oh.Magic)
    if any_kind:
        if directories is None or fh.SizeOfOptionalHeader < directories:
            return NOT_PE32, None, None, []
        count = min(oh.NumberOfRvaAndSizes, (fh.SizeOfOptionalHeader - directories) // 8, 16)
    elif os.path.getsize(path) < MIN_IMAGE_SIZE or fh.SizeOfOptionalHeader != OPTIONAL_HEADER_SIZE or oh.Magic != PE32_MAGIC:
        return NOT_PE32, None, None, []
    else:
        count = 16
    if count <= 2 or len(oh.DATA_DIRECTORY) <= 2:
        return 4, None, None, []
    rsrc = oh.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]]
    if rsrc.VirtualAddress == 0 or rsrc.Size == 0:
        return 4, None, None, []
    if oh.BaseOfCode > rsrc.VirtualAddress:
        return 6, None, None, []
    section = next((s for s in pe.sections[:fh.NumberOfSections] if s.VirtualAddress == rsrc.VirtualAddress), None)
    if section is None or section.PointerToRawData == 0:
        return 4, None, None, []
    layout = {
        "fileAlignment": oh.FileAlignment,
        "sectionAlignment": oh.SectionAlignment,
        "sectionCount": fh.NumberOfSections,
        "optionalHeaderOffset": pe.DOS_HEADER.e_lfanew + 24,
        "dataDirectoryOffset": pe.DOS_HEADER.e_lfanew + 24 + directories,
        "resourceRva": rsrc.VirtualAddress,
        "resourceSize": rsrc.Size,
        "resourceOffset": section.PointerToRawData,
    }
    if section.PointerToRawData + rsrc.Size > len(pe.__data__):
        return 13, layout, None, ["resource directory runs past the end of the file"]

    warnings_before = len(pe.get_warnings())
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    walk = Walk(pe, rsrc.VirtualAddress, rsrc.Size, section.PointerToRawData)
    walk.problems += pe.get_warnings()[warnings_before:]
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    if root is None:
        walk.problems.append("pefile cannot read the root directory")
    else:
        walk.directory(root, EMPTY_RECORD, 0)
    table = {"typeCount": walk.type_count, "hasIcons": walk.has_icons,
             "hasVersion": walk.has_version, "entries": walk.entries}
    pe.close()
    return (13 if walk.problems else 0), layout, table, walk.problems


def first_difference(ours, theirs):
    """A short account of where two tables first differ."""
    for key in ("typeCount", "hasIcons", "hasVersion"):
        if ours.get(key) != theirs[key]:
            return "%s: library %r, pefile %r" % (key, ours.get(key), theirs[key])
    a, b = ours.get("entries", []), theirs["entries"]
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            keys = sorted(k for k in set(x) | set(y) if x.get(k) != y.get(k))
            return "entry %d differs in %s:\n      library %s\n      pefile  %s" % (
                i, ", ".join(keys), json.dumps(x, ensure_ascii=False), json.dumps(y, ensure_ascii=False))
    return "entry count: library %d, pefile %d" % (len(a), len(b))


def run_dump(dump, paths, any_kind=False):
    if any("\n" in p for p in paths):
        sys.exit("check_corpus: a corpus path holds a newline and cannot be passed to the dump")
    stdin = b"".join(os.fsencode(p) + b"\n" for p in paths)
    result = subprocess.run([dump] + ["--any-kind"] * any_kind, input=stdin, capture_output=True)
    lines = result.stdout.decode("utf-8", "surrogateescape").splitlines()
    if result.returncode != 0 or len(lines) != len(paths):
        sys.exit("check_corpus: %s exited with %d after %d of %d files\n%s" % (
            dump, result.returncode, len(lines), len(paths), result.stderr.decode(errors="replace")))
    dumped = [json.loads(line) for line in lines]
    for path, record in zip(paths, dumped):
        if record["path"] != path:
            sys.exit("check_corpus: dump out of step at %s" % path)
    return dumped


I386_PACKAGES = ["libwine:i386", "wine32:i386", "wine32"]
X64_PACKAGES = ["libwine:amd64", "libwine", "wine64"]
# Per kind: the corpus folder, its packages, the optional header magic.
KINDS = {"pe32": ("i386-windows", I386_PACKAGES, PE32_MAGIC),
         "pe32plus": ("x86_64-windows", X64_PACKAGES, PE32PLUS_MAGIC)}


def corpus_folder(kind, override, script):
    """The corpus folder of a kind, or an exit naming the package to install."""
    leaf, packages, _ = KINDS[kind]
    folder = wine_folder(packages, leaf, override)
    if not folder:
        sys.exit("%s: the Wine %s folder was not found; install %s (package %s)" % (
            script, leaf, "wine32:i386" if kind == "pe32" else "wine64", packages[0]))
    return folder


def check_exports(lib, paths, work):
    """The exports over PE32+ files: each must give 3 to CUtil_22, and a copy
    of each must give 3 to CUtil_21 and CUtil_23 and stay as it was. The
    copies are made one at a time, so the work folder holds one file."""
    from check_version_roundtrip import VersionInfoBlock, load_library
    # A bare name would send dlopen to the system's search path.
    library = load_library(os.path.abspath(lib))
    read_failures = ["%s: CUtil_22 gives %d, expected 3" % (path, code) for path, code in
                     ((p, library.CUtil_22(os.fsencode(p), ctypes.byref(VersionInfoBlock()))) for p in paths)
                     if code != NOT_PE32]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    write_failures = []
    for path in paths:
        copy = os.path.join(work, os.path.basename(path))
        shutil.copyfile(path, copy)
        block = VersionInfoBlock(versionMajor=9, fileDescription=b"changed")
        codes = (library.CUtil_21(os.fsencode(copy), os.fsencode(copy), 2, b"#1"),
                 library.CUtil_23(os.fsencode(copy), ctypes.byref(block)))
        with open(path, "rb") as a, open(copy, "rb") as b:
            unchanged = a.read() == b.read()
        os.remove(copy)
        if codes != (NOT_PE32, NOT_PE32) or not unchanged:
            write_failures.append("%s: CUtil_21 gives %d, CUtil_23 %d (expected 3), the copy %s" % (
                path, codes[0], codes[1], "unchanged" if unchanged else "changed"))
    shutil.rmtree(work, ignore_errors=True)
    print("exports: CUtil_22 refuses %d of %d PE32+ files as not PE32; CUtil_21 and CUtil_23 refuse %d of %d copies "
          "and leave them unchanged" % (len(paths) - len(read_failures), len(paths),
                                        len(paths) - len(write_failures), len(paths)))
    return read_failures + write_failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dump", required=True, help="the resource_dump program")
    parser.add_argument("--kind", choices=sorted(KINDS), default="pe32", help="which files to check, as which reader")
    parser.add_argument("--i386-dir", help="folder of the PE32 files (default: found from the libwine:i386 package)")
    parser.add_argument("--x64-dir", help="folder of the PE32+ files (default: found from the libwine:amd64 package)")
    parser.add_argument("--lib", help="pe32plus: libvornutils.so, whose exports must refuse every file")
    parser.add_argument("--work", help="pe32plus with --lib: scratch folder for the copies")
    args = parser.parse_args()
    started = time.monotonic()
    if args.lib and not args.work:
        parser.error("--lib needs --work")

    i386 = corpus_folder("pe32", args.i386_dir, "check_corpus")
    x64 = corpus_folder("pe32plus", args.x64_dir, "check_corpus")
    # The kind's own folder; pe32 also makes sure everything else is refused.
    folders = (i386, x64) if args.kind == "pe32" else (x64,)
    magic = KINDS[args.kind][2]
    label = "PE32" if args.kind == "pe32" else "PE32+"

    kinds = collections.Counter()
    checked, others = [], []
    for folder in folders:
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            if not os.path.isfile(path):
                continue
            found = optional_magic(path)
            kinds[(folder, {PE32_MAGIC: "PE32", PE32PLUS_MAGIC: "PE32+"}.get(found, "other"))] += 1
            (checked if found == magic else others).append(path)
    if kinds[(i386 if args.kind == "pe32" else x64, label)] == 0 or (args.kind == "pe32" and not kinds[(x64, "PE32+")]):
        sys.exit("check_corpus: the corpus is empty: %s" % dict(kinds))

    any_kind = args.kind == "pe32plus"
    dumped = run_dump(args.dump, checked, any_kind)
    if not any_kind:
        dumped += run_dump(args.dump, others)
    codes = collections.Counter(d["code"] for d in dumped)
    failures = []
    equal = agreed_refusals = 0

    for record in dumped[len(checked):]:
        if record["code"] != NOT_PE32:
            failures.append("%s: not PE32, library gives %d, expected 3" % (record["path"], record["code"]))

    for path, record in zip(checked, dumped):
        code, layout, table, problems = expect_image(path, any_kind)
        got = record["code"]
        if got != code:
            failures.append("%s: library gives %d, pefile calls for %d%s" % (
                path, got, code, "".join("\n    pefile: " + p for p in problems[:MAX_SHOWN])))
        elif code == 13:
            agreed_refusals += 1
        elif code == 0:
            if record["layout"] != layout:
                failures.append("%s: layout differs:\n    library %s\n    pefile  %s" % (
                    path, record["layout"], layout))
            elif all(record[k] == table[k] for k in table):
                equal += 1
            else:
                failures.append("%s: %s" % (path, first_difference(record, table)))

    print("corpus: %s" % ", ".join("%s %s: %d" % (folder, kind, n) for (folder, kind), n in sorted(kinds.items())))
    print("%s files checked: %d, tables equal: %d, refused as damaged with pefile agreeing: %d" % (
        label, len(checked), equal, agreed_refusals))
    if not any_kind:
        print("other files: %d (all must give 3)" % len(others))
    print("result codes: %s" % ", ".join("%d: %d" % kv for kv in sorted(codes.items())))
    if args.lib:
        failures += check_exports(args.lib, checked, args.work)
    print("time: %.1f s" % (time.monotonic() - started))
    if failures:
        print("\n%d mismatches; the first %d:" % (len(failures), min(len(failures), MAX_SHOWN)))
        for failure in failures[:MAX_SHOWN]:
            print("  " + failure)
        return 1
    print("all equal")
    return 0


if __name__ == "__main__":
    sys.exit(main())
