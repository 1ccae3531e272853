#!/usr/bin/python3
"""Rewrites every corpus file of a kind through the library and checks the results.

For each PE32 file with resources in the Wine package's i386-windows folder
(--kind pe32, opened as the exports open) or each PE32+ file with resources
in its x86_64-windows folder (--kind pe32plus, opened as vornres opens),
rewrite_tool adds one RT_RCDATA resource to a copy (at least a
SectionAlignment of bytes, so every later section moves in the file and in
memory), removes it again from a copy of that, and commits an untouched copy.
Against the original, independent readers then check each result:

  pefile    every resource with its bytes, the added one too; the headers equal
            the original's with only what the move calls for changed
  bytes     everything before the resource section unchanged, everything after
            it (sections, symbol table, appended data) unchanged at its new place
  objdump   the COFF symbol table decodes as before
  Wine      a 64-bit Wine process loads each result as a data file and finds,
            loads and sizes every resource as pefile expects

and the removal must give the same bytes as committing the original unchanged.

Run with Debian's /usr/bin/python3, which has python3-pefile.
"""

import argparse
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_corpus import KINDS, MAX_SHOWN, corpus_folder, optional_magic, pefile  # noqa: E402

RESOURCE_INDEX = 2
CERTIFICATE_INDEX = 4
RT_RCDATA = 10
NAME_IS_STRING = 0x80000000


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def pattern(size, ident):
    """The bytes rewrite_tool gives the added resource."""
    return bytes((((i * 2654435761) + ident) & 0xFFFFFFFF) >> 24 for i in range(size))


class Failure(Exception):
    pass


def resource_sections(pe):
    """(index of the resource section, its data directory) or (None, None)."""
    rsrc = pe.OPTIONAL_HEADER.DATA_DIRECTORY[RESOURCE_INDEX]
    if rsrc.VirtualAddress == 0 or rsrc.Size == 0:
        return None, None
    for i, s in enumerate(pe.sections):
        if s.VirtualAddress == rsrc.VirtualAddress and s.PointerToRawData:
            return i, rsrc
    return None, None


def key_part(pe, entry):
    """'#id', or '$' and the name's UTF-16 units in hex, as wine_map_check prints them."""
    if not entry.struct.Name & NAME_IS_STRING:
        return "#%d" % (entry.struct.Name & 0xFFFF)
    units = entry.name.get_pascal_16_length()
    raw = pe.get_data(entry.name.get_rva() + 2, 2 * units)
    return "$" + "".join("%04x" % u for u in struct.unpack("<%dH" % units, raw))


def resources(pe, rsrc):
    """pefile's walk: a sorted list of (type, name, language, codePage, bytes)."""
    before = len(pe.get_warnings())
    pe.parse_data_directories(directories=[RESOURCE_INDEX])
    problems = pe.get_warnings()[before:]
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    if root is None or problems:
        raise Failure("pefile cannot walk the resources: %s" % (problems[:MAX_SHOWN] or "no root"))
    found = []
    for t in root.entries:
        for n in getattr(t, "directory", None) and t.directory.entries or []:
            for lang in getattr(n, "directory", None) and n.directory.entries or []:
                data = getattr(lang, "data", None)
                if data is None:
                    raise Failure("resource %s/%s: a directory where data belongs" % (key_part(pe, t), key_part(pe, n)))
                rva, size = data.struct.OffsetToData, data.struct.Size
                if not (rsrc.VirtualAddress <= rva and rva + size <= rsrc.VirtualAddress + rsrc.Size):
                    raise Failure("resource data at RVA 0x%x (+%d) outside the resource directory" % (rva, size))
                found.append((key_part(pe, t), key_part(pe, n), lang.struct.Name & 0xFFFF,
                              data.struct.CodePage, pe.get_data(rva, size)))
    return sorted(found)


class Original:
    """What the checks need of an original file, read once."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        self.pe = pefile.PE(data=self.data, fast_load=True)
        self.index, rsrc = resource_sections(self.pe)
        self.resources = resources(self.pe, rsrc)


def patch(buffer, structure, field, value):
    struct.pack_into("<I", buffer, structure.get_field_absolute_offset(field), value & 0xFFFFFFFF)


def expected_bytes_before(orig, new_size):
    """The original up to its resource section with the headers a rewrite to a
    directory of new_size bytes calls for: later sections moved in the file
    and in memory, and every header value that points past the section."""
    pe, r = orig.pe, orig.index
    oh = pe.OPTIONAL_HEADER
    fa, sa = oh.FileAlignment, oh.SectionAlignment
    rs = pe.sections[r]
    old_raw, new_raw = rs.SizeOfRawData, align(new_size, fa)
    old_file_end = rs.PointerToRawData + old_raw
    old_memory_end = rs.VirtualAddress + align(rs.Misc_VirtualSize or old_raw, sa)
    file_delta = new_raw - old_raw
    memory_delta = align(new_size, sa) - align(rs.Misc_VirtualSize or old_raw, sa)

    def moved_offset(value):
        return value + file_delta if value and value >= old_file_end else value

    out = bytearray(orig.data[:rs.PointerToRawData])
    fh = pe.FILE_HEADER
    patch(out, fh, "PointerToSymbolTable", moved_offset(fh.PointerToSymbolTable))
    patch(out, oh, "SizeOfImage", oh.SizeOfImage + memory_delta)
    patch(out, oh, "SizeOfInitializedData", oh.SizeOfInitializedData + file_delta)
    for i, d in enumerate(oh.DATA_DIRECTORY):
        if i == RESOURCE_INDEX:
            patch(out, d, "Size", new_size)
        elif i == CERTIFICATE_INDEX:
            patch(out, d, "VirtualAddress", moved_offset(d.VirtualAddress))
        elif d.VirtualAddress >= old_memory_end:
            patch(out, d, "VirtualAddress", d.VirtualAddress + memory_delta)
    for i, s in enumerate(pe.sections):
        if i == r:
            patch(out, s, "Misc_VirtualSize", new_size)
            patch(out, s, "SizeOfRawData", new_raw)
        elif s.VirtualAddress >= old_memory_end:
            patch(out, s, "VirtualAddress", s.VirtualAddress + memory_delta)
        for field in ("PointerToRawData", "PointerToRelocations", "PointerToLinenumbers"):
            patch(out, s, field, moved_offset(getattr(s, field)))
    return bytes(out), file_delta, memory_delta


def header_differences(expected, actual):
    """Which header fields differ, by pefile's reading of both."""
    a, b = pefile.PE(data=expected, fast_load=True), pefile.PE(data=actual, fast_load=True)
    structures = [("file header", a.FILE_HEADER, b.FILE_HEADER), ("optional header", a.OPTIONAL_HEADER, b.OPTIONAL_HEADER)]
    structures += [("directory %d" % i, x, y) for i, (x, y) in
                   enumerate(zip(a.OPTIONAL_HEADER.DATA_DIRECTORY, b.OPTIONAL_HEADER.DATA_DIRECTORY))]
    structures += [("section %s" % x.Name.rstrip(b"\0").decode(errors="replace"), x, y)
                   for x, y in zip(a.sections, b.sections)]

    def shown(value):
        return "0x%x" % value if isinstance(value, int) else repr(value)

    found = []
    for what, x, y in structures:
        for field in x.__keys__:
            p, q = getattr(x, field[-1]), getattr(y, field[-1])
            if p != q:
                found.append("%s %s: expected %s, got %s" % (what, field[-1], shown(p), shown(q)))
    if not found:
        at = next((i for i, (p, q) in enumerate(zip(expected, actual)) if p != q), min(len(expected), len(actual)))
        found.append("byte 0x%x differs outside the header fields" % at)
    return "; ".join(found[:MAX_SHOWN])


def check_result(orig, path, added):
    """Checks one rewritten file against its original; added is the resource
    it must carry beyond the original's, or None."""
    with open(path, "rb") as f:
        data = f.read()
    pe = pefile.PE(data=data, fast_load=True)
    index, rsrc = resource_sections(pe)
    if index != orig.index:
        raise Failure("resource section is number %s, was %s" % (index, orig.index))
    new_size = rsrc.Size
    before, file_delta, memory_delta = expected_bytes_before(orig, new_size)
    start = len(before)
    if data[:start] != before:
        raise Failure("headers or earlier sections: " + header_differences(before, data[:start]))
    old_end = start + orig.pe.sections[orig.index].SizeOfRawData
    new_end = start + align(new_size, pe.OPTIONAL_HEADER.FileAlignment)
    if any(data[start + new_size:new_end]):
        raise Failure("resource section padding is not zero")
    if data[new_end:] != orig.data[old_end:]:
        at = next((i for i, (p, q) in enumerate(zip(data[new_end:], orig.data[old_end:])) if p != q), None)
        raise Failure("the %d bytes after the resource section are not at their new place: %s" % (
            len(orig.data) - old_end, "length %d" % (len(data) - new_end) if at is None else "first difference at +0x%x" % at))
    if added and orig.index + 1 < len(pe.sections):
        sa = pe.OPTIONAL_HEADER.SectionAlignment
        if memory_delta < sa or file_delta <= 0:
            raise Failure("later sections moved by only 0x%x in memory, 0x%x in the file" % (memory_delta, file_delta))

    expected = sorted(orig.resources + [added]) if added else orig.resources
    got = resources(pe, rsrc)
    if got != expected:
        missing = [r[:4] for r in expected if r not in got]
        extra = [r[:4] for r in got if r not in expected]
        raise Failure("resources differ: missing or changed %s; unexpected %s" % (missing[:MAX_SHOWN], extra[:MAX_SHOWN]))


def start_objdump(objdump, paths, work, name):
    """Runs `objdump -t` over paths in the background, into a file."""
    output = open(os.path.join(work, name), "w+b")
    return subprocess.Popen([objdump, "-t"] + paths, stdout=output, stderr=subprocess.DEVNULL), output, paths


def symbol_listings(started):
    """Each file's `objdump -t` listing, its name line left out, as (symbol
    count, sha1); objdump lists the files in the order given."""
    process, output, paths = started
    process.wait()
    output.seek(0)
    text = output.read()
    output.close()
    heads = []
    at = 0
    for path in paths:
        head = b"\n" + os.fsencode(path) + b":     file format "
        found = text.find(head, at)
        if found >= 0:
            at = found + len(head)
            heads.append((path, found, text.find(b"\n", at)))
    listings = {}
    for (path, _, start), (_, end, _) in zip(heads, heads[1:] + [(None, len(text), None)]):
        body = text[start:end].strip()
        listings[path] = (body.count(b"\n["), hashlib.sha1(body).hexdigest())
    return listings


def to_windows(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine_view(args, paths, work):
    """wine_map_check's listing of each file: sorted (type, name, language,
    size, crc32) lines, or a failure text."""
    listing, output = os.path.join(work, "wine-list.txt"), os.path.join(work, "wine-out.txt")
    with open(listing, "w") as f:
        f.writelines(to_windows(p) + "\n" for p in paths)
    # A prefix that Wine sets up while another test sets up its own can come
    # out unable to load kernel32.dll on its first run: that run is made again.
    for attempt in range(2):
        with open(os.path.join(work, "wine.log"), "wb") as log:
            # Output through files: the Wine server outlives the program and
            # would hold a pipe open.
            code = subprocess.run(["sh", args.wine_run, "wine64", args.wine_check, to_windows(listing), to_windows(output)],
                                  stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL).returncode
        try:
            with open(output, encoding="utf-8", errors="surrogateescape") as f:
                lines = f.read().splitlines()
        except OSError:
            lines = []
        if lines:
            break
    if code != 0 or not lines or lines[-1] != "END":
        with open(os.path.join(work, "wine.log"), errors="replace") as f:
            sys.exit("check_rewrite: wine_map_check exited with %d after %d lines:\n%s" % (code, len(lines), f.read()[-3000:]))
    by_windows = {to_windows(p): p for p in paths}
    views, current = {}, None
    for line in lines[:-1]:
        if line.startswith("FILE "):
            current = views.setdefault(by_windows[line[5:]], [])
        else:
            current.append(line)
    return {p: sorted(v) for p, v in views.items()}


def readable(line):
    """A listing line with its "$<hex>" names as text."""
    return " ".join(repr(bytes.fromhex(w[1:]).decode("utf-16-be", "replace")) if w.startswith("$") else w
                    for w in line.split())


def wine_expected(records):
    return sorted("RES %s %s %d %d %08x" % (t, n, lang, len(data), zlib.crc32(data)) for t, n, lang, _, data in records)


def corpus_files(folder, magic):
    paths = []
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if os.path.isfile(path) and optional_magic(path) == magic:
            pe = pefile.PE(path, fast_load=True)
            if resource_sections(pe)[0] is not None:
                paths.append(path)
            pe.close()
    return paths


def check_file(path, stem, outcome):
    """The pefile and byte checks of one file's three results; returns what
    Wine must list for each result and the original's symbol count."""
    codes = (outcome["add"], outcome["del"], outcome["same"])
    if codes != (0, 0, 0):
        raise Failure("result codes: add %d, remove %d, unchanged commit %d" % codes)
    orig = Original(path)
    added = ("#%d" % RT_RCDATA, "#%d" % outcome["id"], outcome["language"], 0, pattern(outcome["size"], outcome["id"]))
    views = {}
    for suffix, extra in ((".add", added), (".del", None)):
        try:
            check_result(orig, stem + suffix, extra)
        except Failure as e:
            raise Failure("%s: %s" % ("added" if extra else "removed", e))
        views[stem + suffix] = wine_expected(orig.resources + ([extra] if extra else []))
    with open(stem + ".del", "rb") as a, open(stem + ".same", "rb") as b:
        if a.read() != b.read():
            raise Failure("removing the added resource differs from committing the original unchanged")
    os.remove(stem + ".same")
    return views, orig.pe.FILE_HEADER.NumberOfSymbols


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tool", required=True, help="the rewrite_tool program")
    parser.add_argument("--wine-check", required=True, help="wine_map_check.exe")
    parser.add_argument("--wine-run", required=True, help="cmake/wine-run.sh")
    parser.add_argument("--work-dir", required=True, help="scratch folder, emptied first; kept when a check fails")
    parser.add_argument("--kind", choices=sorted(KINDS), default="pe32", help="which files, opened as which reader")
    parser.add_argument("--objdump", help="default: the MinGW-w64 objdump of the kind's machine")
    parser.add_argument("--dir", help="folder of the kind's files (default: found from the Wine packages)")
    args = parser.parse_args()
    started = time.monotonic()

    folder = corpus_folder(args.kind, args.dir, "check_rewrite")
    label, machine = ("PE32", "i686") if args.kind == "pe32" else ("PE32+", "x86_64")
    args.objdump = args.objdump or machine + "-w64-mingw32-objdump"
    if not shutil.which(args.objdump):
        sys.exit("check_rewrite: %s not found; install binutils-mingw-w64-%s" % (args.objdump, machine.replace("_", "-")))
    paths = corpus_files(folder, KINDS[args.kind][2])
    if not paths:
        sys.exit("check_rewrite: no %s file with resources in %s" % (label, folder))
    shutil.rmtree(args.work_dir, ignore_errors=True)
    os.makedirs(args.work_dir)
    stems = [os.path.join(args.work_dir, "%03d-%s" % (i, os.path.basename(p))) for i, p in enumerate(paths)]
    if any(c in s for s in stems + paths for c in "\t\n:"):
        sys.exit("check_rewrite: a path holds a tab, a newline or a colon")

    # The tool rewrites the next file while this one is checked.
    original_symbols = start_objdump(args.objdump, paths, args.work_dir, "objdump-originals.txt")
    with open(os.path.join(args.work_dir, "tool-input.txt"), "w+") as listing:
        listing.writelines("%s\t%s\n" % ps for ps in zip(paths, stems))
        listing.seek(0)
        tool = subprocess.Popen([args.tool] + ["--any-kind"] * (args.kind == "pe32plus"), stdin=listing,
                                stdout=subprocess.PIPE)
    failures, wine_expects, symbol_counts, done = {}, {}, {}, 0
    for (path, stem), line in zip(zip(paths, stems), tool.stdout):
        done += 1
        try:
            views, symbol_counts[path] = check_file(path, stem, json.loads(line))
            wine_expects.update(views)
        except Failure as e:
            failures[path] = str(e)
    if tool.wait() != 0 or done != len(paths):
        sys.exit("check_rewrite: %s exited with %d after %d of %d files" % (args.tool, tool.returncode, done, len(paths)))
    checked = time.monotonic()

    # Symbol values are section-relative, so no listing may change at all.
    results = [s + x for s in stems for x in (".add", ".del")]
    rewritten_symbols = start_objdump(args.objdump, results, args.work_dir, "objdump-results.txt")
    views = wine_view(args, sorted(wine_expects), args.work_dir)
    listings = symbol_listings(original_symbols)
    listings.update(symbol_listings(rewritten_symbols))
    with_symbols = 0
    for path, stem in zip(paths, stems):
        if path in failures:
            continue
        count, digest = listings.get(path, (0, None))
        with_symbols += count > 0
        if symbol_counts[path] and not count:
            failures[path] = "objdump lists no symbols of the original, which has %d" % symbol_counts[path]
        for suffix in (".add", ".del"):
            if listings.get(stem + suffix) != (count, digest):
                failures.setdefault(path, "%s: objdump -t lists %d symbols, differently from the original's %d" % (
                    suffix, listings.get(stem + suffix, (0,))[0], count))
    for result, expected in wine_expects.items():
        got = views.get(result)
        if got != expected:
            path = paths[stems.index(result.rsplit(".", 1)[0])]
            missing = [line for line in expected if line not in (got or [])]
            extra = [line for line in got or [] if line not in expected]
            failures.setdefault(path, "Wine reads %s differently: missing %s; unexpected %s" % (
                os.path.basename(result), [readable(m) for m in missing[:3]], [readable(e) for e in extra[:3]]))
    finished = time.monotonic()

    print("corpus: %s, %d %s files with resources" % (folder, len(paths), label))
    print("files checked: %d (%d with COFF symbols), rewrites passed: %d, failures: %d" % (
        len(paths), with_symbols, len(paths) - len(failures), len(failures)))
    print("results read by Wine: %d" % len(views))
    print("time: %.1f s (rewrite with pefile and byte checks %.1f, objdump and Wine %.1f)" % (
        finished - started, checked - started, finished - checked))
    if failures:
        # Only the failing files' results are kept.
        for name in os.listdir(args.work_dir):
            if not any(name.startswith(os.path.basename(stems[paths.index(p)]) + ".") for p in failures):
                os.remove(os.path.join(args.work_dir, name))
        print("\nthe first %d failures (results kept in %s):" % (min(len(failures), MAX_SHOWN), args.work_dir))
        for path in sorted(failures)[:MAX_SHOWN]:
            print("  %s: %s" % (path, failures[path]))
        return 1
    shutil.rmtree(args.work_dir, ignore_errors=True)
    print("all files pass")
    return 0


if __name__ == "__main__":
    sys.exit(main())
