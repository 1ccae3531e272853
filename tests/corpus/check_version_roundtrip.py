#!/usr/bin/python3
"""Reads and writes back the version information of every corpus file.

For each PE32 file of the Wine package's i386-windows folder that has an
RT_VERSION resource, the library (libvornutils.so, through ctypes) reads the
version block and writes it unchanged into a copy; every tenth file, and
every file with several version resources, also gets a changed block in a
second copy. pefile and Wine's own version functions
(wine_version_read.exe under 64-bit Wine) then read the originals and the
copies: every other resource must be byte-identical, and the version
information must be what the original held plus exactly the block's changes.

Run with Debian's /usr/bin/python3, which has python3-pefile.
"""

import argparse
import ctypes
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_corpus import optional_magic, wine_folder, PE32_MAGIC, RT_VERSION  # noqa: E402

try:
    import pefile
except ImportError:
    sys.exit("check_version_roundtrip: %s cannot import pefile; install python3-pefile and run "
             "this script with /usr/bin/python3" % sys.executable)

MAX_SHOWN = 10
EDIT_EVERY = 10
# The block's texts and the keys the library stores them under.
SLOTS = [("fileVersion", "FileVersion"), ("fileDescription", "FileDescription"),
         ("legalCopyright", "LegalCopyright"), ("companyName", "CompanyName"),
         ("comments", "Comments"), ("legalTrademarks", "LegalTrademarks")]
FIXED_FIELDS = ["Signature", "StrucVersion", "FileVersionMS", "FileVersionLS", "ProductVersionMS",
                "ProductVersionLS", "FileFlagsMask", "FileFlags", "FileOS", "FileType", "FileSubtype",
                "FileDateMS", "FileDateLS"]
MASK, FLAGS = FIXED_FIELDS.index("FileFlagsMask"), FIXED_FIELDS.index("FileFlags")


class VersionInfoBlock(ctypes.Structure):
    _pack_ = 1
    _fields_ = [(name, ctypes.c_uint16) for name in
                ("versionMajor", "versionMinor", "versionRelease", "versionBuild", "language", "codePage")]
    _fields_ += [(slot, ctypes.c_char * 256) for slot, _ in SLOTS]


def load_library(path):
    if ctypes.sizeof(VersionInfoBlock) != 1548:
        sys.exit("check_version_roundtrip: the block mirror is %d bytes, not 1548" % ctypes.sizeof(VersionInfoBlock))
    lib = ctypes.CDLL(path)
    lib.CUtil_22.argtypes = [ctypes.c_char_p, ctypes.POINTER(VersionInfoBlock)]
    lib.CUtil_23.argtypes = [ctypes.c_char_p, ctypes.POINTER(VersionInfoBlock)]
    lib.CUtil_22.restype = lib.CUtil_23.restype = ctypes.c_int32
    return lib


def read_block(lib, path):
    block = VersionInfoBlock()
    return lib.CUtil_22(os.fsencode(path), ctypes.byref(block)), block


def edited(block, index, name):
    """The block with new numbers and texts; FileVersion follows the numbers,
    Comments stays empty (an empty text leaves the file's string alone)."""
    new = VersionInfoBlock.from_buffer_copy(block)
    numbers = (block.versionMajor ^ 0x5A5A, block.versionMinor ^ 0x0F0F, (block.versionRelease + 7) & 0xFFFF, index)
    new.versionMajor, new.versionMinor, new.versionRelease, new.versionBuild = numbers
    new.fileVersion = ("%d.%d.%d.%d" % numbers).encode()
    new.fileDescription = ("Rewritten %s, %d" % (name, index)).encode()
    new.companyName = "Grüße GmbH".encode()
    new.comments = b""
    return new


def block_strings(block):
    """(key, UTF-8 text) of the block's non-empty texts."""
    return [(key, getattr(block, slot)) for slot, key in SLOTS if getattr(block, slot)]


def resources(pe):
    """(type, name, language) -> (data entry, bytes), in directory order."""
    found = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for t in root.entries if root else []:
        for n in t.directory.entries:
            for lang in n.directory.entries:
                key = (str(t.name) if t.name else t.id, str(n.name) if n.name else n.id, lang.id)
                found[key] = (lang.data.struct, pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size))
    return found


def version_view(pe, data_entry):
    """pefile's reading of one version resource: fixed words, StringTables by
    upper-case key, Var entries. None if pefile cannot read it."""
    for attr in ("VS_VERSIONINFO", "VS_FIXEDFILEINFO", "FileInfo"):
        if hasattr(pe, attr):
            delattr(pe, attr)
    pe.parse_version_information(data_entry)
    if not getattr(pe, "VS_FIXEDFILEINFO", None) or not getattr(pe, "FileInfo", None):
        return None
    fixed = [getattr(pe.VS_FIXEDFILEINFO[0], f) for f in FIXED_FIELDS]
    tables, first_table, vars_ = {}, None, []
    for block in pe.FileInfo[0]:
        for table in getattr(block, "StringTable", []):
            key = table.LangID.decode().upper()
            tables.setdefault(key, {}).update(table.entries)
            first_table = table.entries if first_table is None else first_table
        vars_ += [sorted(v.entry.items()) for v in getattr(block, "Var", []) if hasattr(v, "entry")]
    return {"fixed": fixed, "tables": tables, "first": first_table or {}, "vars": vars_}


def open_pe(path):
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    return pe


def expected_tables(tables, block):
    """The StringTables after the block is written: its texts replace the
    strings of its pair (keys compared ignoring ASCII case) or join them."""
    result = {k: dict(v) for k, v in tables.items()}
    table = result.setdefault("%04X%04X" % (block.language, block.codePage), {})
    for key, text in block_strings(block):
        same = [k for k in table if k.decode().lower() == key.lower()]
        table[same[0] if same else key.encode()] = text
    return result


def compare_pefile(original, copy, block, edit):
    """Problems of the copy as pefile reads it, and how many strings it gained."""
    problems = []
    before, after = resources(original), resources(copy)
    versions = [k for k in before if k[0] == RT_VERSION]
    if set(before) != set(after):
        return ["resource keys differ: %s" % sorted(set(before) ^ set(after), key=str)], 0
    for key in before:
        if key != versions[0] and before[key][1] != after[key][1]:
            problems.append("resource %s changed" % (key,))
    old, new = version_view(original, before[versions[0]][0]), version_view(copy, after[versions[0]][0])
    if old is None or new is None:
        return problems + ["pefile cannot read the version resource (original %s, copy %s)" % (old, new)], 0

    want = list(old["fixed"])
    # The writer keeps no flags mask of its own: it writes the flags there.
    want[MASK] = want[FLAGS]
    if edit:
        want[2:4] = [block.versionMajor << 16 | block.versionMinor, block.versionRelease << 16 | block.versionBuild]
    for i, (a, b) in enumerate(zip(want, new["fixed"])):
        if a != b:
            problems.append("fixed %s: expected 0x%08x, pefile reads 0x%08x" % (FIXED_FIELDS[i], a, b))
    tables = expected_tables(old["tables"], block)
    flat = lambda tables: {(t, k): v for t, strings in tables.items() for k, v in strings.items()}  # noqa: E731
    problems += ["string %s: pefile reads %s" % d for d in differences(flat(tables), flat(new["tables"]))]
    if new["vars"] != old["vars"]:
        problems.append("Vars: expected %r, pefile reads %r" % (old["vars"], new["vars"]))
    gained = sum(len(t) for t in tables.values()) - sum(len(t) for t in old["tables"].values())
    return problems, gained


def check_block(block, original, version_key):
    """CUtil_22's block against pefile's reading of the original."""
    view = version_view(original, resources(original)[version_key][0])
    if view is None:
        return ["pefile cannot read the version resource"]
    problems = []
    numbers = (view["fixed"][2] >> 16, view["fixed"][2] & 0xFFFF, view["fixed"][3] >> 16, view["fixed"][3] & 0xFFFF)
    got = (block.versionMajor, block.versionMinor, block.versionRelease, block.versionBuild)
    if got != numbers:
        problems.append("CUtil_22 gives version %s, pefile %s" % (got, numbers))
    for key, text in ((key, getattr(block, slot)) for slot, key in SLOTS):
        if text != view["first"].get(key.encode(), b""):
            problems.append("CUtil_22 gives %s %r, pefile %r" % (key, text, view["first"].get(key.encode())))
    return problems


def differences(want, got):
    """(key, 'V instead of W') for every key whose values differ."""
    return [(k, "%r instead of %r" % (got.get(k), want.get(k)))
            for k in sorted(set(want) | set(got), key=str) if want.get(k) != got.get(k)]


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run_wine(args, paths):
    """Wine's reading of each path, in one Wine run."""
    listing, output = os.path.join(args.work, "wine-list.txt"), os.path.join(args.work, "wine-read.txt")
    with open(listing, "w", encoding="ascii") as f:
        f.writelines(wine_path(p) + "\n" for p in paths)
    env = dict(os.environ, WINEPREFIX=args.wineprefix)
    # A sanitizer runtime preloaded for the library must not reach Wine.
    env.pop("LD_PRELOAD", None)
    with open(os.path.join(args.work, "wine-stderr.txt"), "wb") as log:
        code = subprocess.run(["sh", args.wine_run, "wine64", args.reader, wine_path(listing), wine_path(output)],
                              env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log).returncode
    if code != 0 or not os.path.exists(output):
        sys.exit("check_version_roundtrip: the Wine reader exited with %d; see %s" % (code, log.name))
    readings, current, acp = [], None, None
    with open(output, encoding="ascii") as f:
        for line in f:
            word, _, rest = line.rstrip("\n").partition(" ")
            if word == "file":
                current = {"path": rest}
            elif word == "end":
                readings.append(current)
            elif word == "acp":
                acp = int(rest)
            elif word == "string":
                pair, key, text = rest.split(" ")
                current[(pair, key)] = None if text == "-" else bytes.fromhex(text)
            else:
                current[word] = rest
    if [r["path"] for r in readings] != [wine_path(p) for p in paths] or acp is None:
        sys.exit("check_version_roundtrip: the Wine reader's output is out of step with its list")
    return readings, "cp%d" % acp


def expected_wine(reading, block, codec):
    """The original's Wine reading once the block is written."""
    want = dict(reading)
    fixed = want["fixed"].split(" ")
    fixed[MASK] = fixed[FLAGS]
    fixed[2:4] = ["%04x%04x" % (block.versionMajor, block.versionMinor),
                  "%04x%04x" % (block.versionRelease, block.versionBuild)]
    want["fixed"] = " ".join(fixed)
    pair = "%04X%04X" % (block.language, block.codePage)
    for key, text in block_strings(block):
        if (pair, key) in want:
            want[(pair, key)] = text.decode().encode(codec, "replace")
    return want


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lib", required=True, help="libvornutils.so")
    parser.add_argument("--reader", required=True, help="wine_version_read.exe (x86_64)")
    parser.add_argument("--wine-run", required=True, help="cmake/wine-run.sh")
    parser.add_argument("--wineprefix", required=True, help="Wine prefix of this check")
    parser.add_argument("--work", required=True, help="folder for the copies")
    parser.add_argument("--i386-dir", help="folder of the PE32 files (default: found from the libwine:i386 package)")
    args = parser.parse_args()
    started = time.monotonic()
    if not args.reader or not os.path.isfile(args.reader):
        sys.exit("check_version_roundtrip: the Wine reader was not built (%r); install the x86_64 MinGW-w64 "
                 "compiler (Debian package gcc-mingw-w64-x86-64) and reconfigure" % args.reader)
    lib = load_library(args.lib)

    folder = wine_folder(["libwine:i386", "wine32:i386", "wine32"], "i386-windows", args.i386_dir)
    if not folder:
        sys.exit("check_version_roundtrip: the i386-windows folder of Wine was not found; install wine32:i386")
    for sub in ("original", "same", "edited"):
        shutil.rmtree(os.path.join(args.work, sub), ignore_errors=True)
        os.makedirs(os.path.join(args.work, sub))

    failures = {}
    # Wine's version functions may read a module of the same base name instead
    # of the file named (zlib1.dll did), so every file Wine reads is renamed.
    cases = []  # (original, its link, same copy, edited copy or None, block, edited block, RT_VERSION keys)
    total = 0
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if not os.path.isfile(path) or optional_magic(path) != PE32_MAGIC:
            continue
        versions = [k for k in resources(open_pe(path)) if k[0] == RT_VERSION]
        if not versions:
            continue
        total += 1
        code, block = read_block(lib, path)
        if code != 0:
            failures[path] = ["CUtil_22 gives %d" % code]
            continue
        link, same = (os.path.join(args.work, sub, "v-" + name) for sub in ("original", "same"))
        os.symlink(path, link)
        shutil.copyfile(path, same)
        code = lib.CUtil_23(os.fsencode(same), ctypes.byref(block))
        if code:
            failures[path] = ["CUtil_23 gives %d" % code]
            continue
        again_code, again = read_block(lib, same)
        if again_code != 0 or bytes(again) != bytes(block):
            failures[path] = ["CUtil_22 on the copy gives %d and another block" % again_code]
        edit, new = None, None
        if total % EDIT_EVERY == 1 or len(versions) > 1:
            edit, new = os.path.join(args.work, "edited", "v-" + name), edited(block, total, name)
            shutil.copyfile(path, edit)
            code = lib.CUtil_23(os.fsencode(edit), ctypes.byref(new))
            if code:
                failures.setdefault(path, []).append("CUtil_23 with a changed block gives %d" % code)
                edit = None
        cases.append((path, link, same, edit, block, new, versions))

    gained_files = 0
    for path, _, same, edit, block, new, versions in cases:
        original = open_pe(path)
        problems = check_block(block, original, versions[0])
        found, gained = compare_pefile(original, open_pe(same), block, False)
        problems += found
        gained_files += gained > 0
        if edit:
            problems += ["edited: " + p for p in compare_pefile(original, open_pe(edit), new, True)[0]]
        if problems:
            failures.setdefault(path, []).extend(problems)

    paths = [p for case in cases for p in case[1:4] if p]
    readings, codec = run_wine(args, paths)
    by_path = {path: dict(reading, path=None) for path, reading in zip(paths, readings)}
    for path, link, same, edit, block, new, versions in cases:
        before, problems = by_path[link], []
        pair = "%04X%04X" % (block.language, block.codePage)
        if len(versions) == 1 and before.get("translation", "").split()[:1] != [pair]:
            problems.append("CUtil_22 gives the pair %s, Wine reads the translations %r" % (
                pair, before.get("translation")))
        for kind, copy, written in (("copy", same, block), ("edited copy", edit, new)):
            if not copy:
                continue
            got = by_path[copy]
            # Wine picks the version resource by language; in a file that has
            # several, it may read one that was not written.
            if "error" in before or "error" in got:
                problems.append("Wine cannot read the version information: original %s, %s %s" % (
                    before.get("error", "read"), kind, got.get("error", "read")))
            elif got != expected_wine(before, written, codec) and not (len(versions) > 1 and got == before):
                problems += ["%s: Wine reads %s %s" % ((kind,) + d)
                             for d in differences(expected_wine(before, written, codec), got)]
        if problems:
            failures.setdefault(path, []).extend(problems)

    print("corpus: %s" % folder)
    print("files with version information: %d; written back: %d; also with a changed block: %d" % (
        total, len(cases), sum(1 for case in cases if case[3])))
    print("files whose copy gained strings: %d" % gained_files)
    print("files read by Wine: %d (Wine's ANSI code page: %s)" % (len(paths), codec))
    print("time: %.1f s" % (time.monotonic() - started))
    if failures:
        print("\n%d files fail; the first %d:" % (len(failures), min(len(failures), MAX_SHOWN)))
        for path in list(failures)[:MAX_SHOWN]:
            print("  %s:\n    %s" % (path, "\n    ".join(failures[path])))
        return 1
    shutil.rmtree(args.work)
    print("all pass")
    return 0


if __name__ == "__main__":
    sys.exit(main())
