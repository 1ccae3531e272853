#!/usr/bin/python3
"""Checks the resource table loader against pefile over a real corpus.

Every PE32 file of the Wine package's i386-windows folder is opened by the
library (through resource_dump) and read by pefile; the result codes must be
the ones the headers call for and the loaded table must equal pefile's walk of
the resource tree, record by record. The PE32+ files of the x86_64-windows
folder must all be refused as not PE32.

Run with Debian's /usr/bin/python3, which has python3-pefile.
"""

import argparse
import collections
import glob
import json
import os
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


def expect_pe32(path):
    """What pefile says the library must give: (code, layout, table, problems)."""
    try:
        pe = pefile.PE(path, fast_load=True)
    except pefile.PEFormatError as e:
        return 3, None, None, ["pefile refuses the file: %s" % e]
    fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    if os.path.getsize(path) < MIN_IMAGE_SIZE or fh.SizeOfOptionalHeader != OPTIONAL_HEADER_SIZE:
        return 3, None, None, []
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
        "dataDirectoryOffset": pe.DOS_HEADER.e_lfanew + 24 + 96,
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


def run_dump(dump, paths):
    if any("\n" in p for p in paths):
        sys.exit("check_corpus: a corpus path holds a newline and cannot be passed to the dump")
    stdin = b"".join(os.fsencode(p) + b"\n" for p in paths)
    result = subprocess.run([dump], input=stdin, capture_output=True)
    lines = result.stdout.decode("utf-8", "surrogateescape").splitlines()
    if result.returncode != 0 or len(lines) != len(paths):
        sys.exit("check_corpus: %s exited with %d after %d of %d files\n%s" % (
            dump, result.returncode, len(lines), len(paths), result.stderr.decode(errors="replace")))
    dumped = [json.loads(line) for line in lines]
    for path, record in zip(paths, dumped):
        if record["path"] != path:
            sys.exit("check_corpus: dump out of step at %s" % path)
    return dumped


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dump", required=True, help="the resource_dump program")
    parser.add_argument("--i386-dir", help="folder of the PE32 files (default: found from the libwine:i386 package)")
    parser.add_argument("--x64-dir", help="folder of the PE32+ files (default: found from the libwine:amd64 package)")
    args = parser.parse_args()
    started = time.monotonic()

    i386 = wine_folder(["libwine:i386", "wine32:i386", "wine32"], "i386-windows", args.i386_dir)
    x64 = wine_folder(["libwine:amd64", "libwine", "wine64"], "x86_64-windows", args.x64_dir)
    if not i386 or not x64:
        sys.exit("check_corpus: the Wine PE folders were not found (i386-windows: %s, x86_64-windows: %s); "
                 "install wine32:i386 and wine64 (packages libwine:i386, libwine:amd64)" % (i386, x64))

    kinds = collections.Counter()
    pe32, others = [], []
    for folder in (i386, x64):
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            if not os.path.isfile(path):
                continue
            magic = optional_magic(path)
            kind = {PE32_MAGIC: "PE32", PE32PLUS_MAGIC: "PE32+"}.get(magic, "other")
            kinds[(folder, kind)] += 1
            (pe32 if kind == "PE32" else others).append(path)
    if kinds[(i386, "PE32")] == 0 or kinds[(x64, "PE32+")] == 0:
        sys.exit("check_corpus: the corpus is empty: %s" % dict(kinds))

    dumped = run_dump(args.dump, pe32 + others)
    codes = collections.Counter(d["code"] for d in dumped)
    failures = []
    equal = agreed_refusals = 0

    for record in dumped[len(pe32):]:
        if record["code"] != 3:
            failures.append("%s: not PE32, library gives %d, expected 3" % (record["path"], record["code"]))

    for path, record in zip(pe32, dumped):
        code, layout, table, problems = expect_pe32(path)
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
    print("PE32 files checked: %d, tables equal: %d, refused as damaged with pefile agreeing: %d" % (
        len(pe32), equal, agreed_refusals))
    print("other files: %d (all must give 3)" % len(others))
    print("result codes: %s" % ", ".join("%d: %d" % kv for kv in sorted(codes.items())))
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
