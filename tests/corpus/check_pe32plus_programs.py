#!/usr/bin/python3
"""vornres edits of Wine's own programs, read and run under Wine.

Icons: PE32+ files of the Wine package's x86_64-windows folder that have an
icon group, a dozen at most (those whose first group is named, then others
evenly spread over the folder), are copied and get `vornres icon COPY --from
ICO`. wine_icon_check.exe, under 64-bit Wine, then reads each copy's first
icon group (the one vornres replaces) with FindResource, LookupIconIdFromDirectoryEx,
CreateIconFromResourceEx and LoadImage: every image must be accepted and
the group must list the .ico's images, entry for entry and byte for byte.

Programs: console programs of that folder (and GUI ones that print to the
console) that print something deterministic without input are run, then a
copy of each gets `vornres version COPY --file-version 9.8.7.6 --set
ProductName=Test --set CustomKey=x`, and `vornres icon COPY --from ICO` when
it has an icon group. pefile must find the edits in the copy, the copy's
icon group is read by wine_icon_check as above, and the copy, run the same
way, must give the original's exit code, standard output and standard error.
The copies carry a name of their own: Wine runs a file that carries its
builtin marker under a builtin's name from its own folder instead of from
where it lies. A control copy whose entry point returns 42 at once shows that
Wine runs the copy's own bytes.

The same runs are made with the PE32 programs of the i386-windows folder
under 32-bit Wine when that can start a program here; otherwise that part is
reported skipped. Exit status 77: every part was skipped.

Run with Debian's /usr/bin/python3, which has python3-pefile.
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_corpus import KINDS, MAX_SHOWN, corpus_folder, optional_magic, pefile  # noqa: E402

SKIPPED = 77
MAX_ICON_FILES = 12
RT_GROUP_ICON = 14
NAME_IS_STRING = 0x80000000
RUN_TIMEOUT = 120
# The version edit, and what pefile must then find in the copy.
VERSION_EDIT = ["--file-version", "9.8.7.6", "--set", "ProductName=Test", "--set", "CustomKey=x"]
VERSION_STRINGS = {b"FileVersion": b"9.8.7.6", b"ProductName": b"Test", b"CustomKey": b"x"}
FILE_VERSION = ((9 << 16) | 8, (7 << 16) | 6)
# Programs that print the same without input every time, with their
# arguments: two exit with a code other than 0, and cmd.exe and the GUI
# programs winecfg.exe and regedit.exe have an icon group. None prints its
# own path, which differs for the copy (expand.exe /? does).
PROGRAMS = [
    ("hostname.exe", []),
    ("cmd.exe", ["/c", "echo", "vornres"]),
    ("attrib.exe", ["/?"]),
    ("xcopy.exe", ["/?"]),
    ("reg.exe", ["/?"]),
    ("net.exe", ["help"]),
    ("find.exe", ["/?"]),
    ("sc.exe", []),
    ("winecfg.exe", ["/v"]),
    ("regedit.exe", ["/?"]),
]
# mov eax, 42; ret: the control copy's entry point, for x86 and x86-64 alike.
RETURN_42 = bytes([0xB8, 42, 0, 0, 0, 0xC3])
CONTROL_CODE = 42


class Failure(Exception):
    pass


def to_windows(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def group_key(entry):
    """'#id' or the name, as vornres and wine_icon_check take a group."""
    if not entry.struct.Name & NAME_IS_STRING:
        return "#%d" % (entry.struct.Name & 0xFFFF)
    return str(entry.name)


def resource_root(pe):
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    return getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)


def first_icon_group(path):
    """The first icon group in directory order, as pefile walks it, or None."""
    pe = pefile.PE(path, fast_load=True)
    try:
        root = resource_root(pe)
        for t in root.entries if root else []:
            if not t.struct.Name & NAME_IS_STRING and t.struct.Name == RT_GROUP_ICON and t.directory.entries:
                return group_key(t.directory.entries[0])
        return None
    finally:
        pe.close()


def read_ico(path):
    """The .ico's images: (width, height, colours, planes, bits, size, bytes) each."""
    with open(path, "rb") as f:
        data = f.read()
    reserved, kind, count = struct.unpack_from("<HHH", data)
    if reserved != 0 or kind != 1 or count == 0:
        sys.exit("check_pe32plus_programs: %s is no icon file" % path)
    images = []
    for i in range(count):
        width, height, colours, _, planes, bits, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        images.append((width, height, colours, planes, bits, size, data[offset:offset + size]))
    return images


# The warnings vornres gives on edits that succeed: shown, not failures.
WARNINGS = []


def vornres(args, *arguments):
    result = subprocess.run([args.vornres] + list(arguments), capture_output=True)
    if result.returncode != 0:
        raise Failure("vornres %s exits with %d: %s" % (
            " ".join(arguments[:1]), result.returncode, result.stderr.decode(errors="replace").strip()))
    WARNINGS.extend(line for line in result.stderr.decode(errors="replace").splitlines() if "warning" in line)


def check_version_edit(path):
    """pefile must find the version edit in path."""
    pe = pefile.PE(path, fast_load=True)
    try:
        pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
        fixed = getattr(pe, "VS_FIXEDFILEINFO", None)
        if not fixed or (fixed[0].FileVersionMS, fixed[0].FileVersionLS) != FILE_VERSION:
            raise Failure("pefile finds no file version 9.8.7.6")
        tables = [table.entries for info in getattr(pe, "FileInfo", []) for block in info
                  if getattr(block, "Key", b"") == b"StringFileInfo" for table in block.StringTable]
        if not any(all(t.get(k) == v for k, v in VERSION_STRINGS.items()) for t in tables):
            raise Failure("pefile finds no string table with %s; tables: %s" % (VERSION_STRINGS, tables))
    finally:
        pe.close()


def wine_icon_view(args, files, work):
    """wine_icon_check's reading of (path, group) pairs: {path: [lines]}."""
    listing, output = os.path.join(work, "icon-list.txt"), os.path.join(work, "icon-out.txt")
    with open(listing, "w") as f:
        f.writelines("%s\t%s\n" % (to_windows(p), g) for p, g in files)
    with open(os.path.join(work, "icon-wine.log"), "wb") as log:
        # Output through files: the Wine server outlives the program and
        # would hold a pipe open.
        try:
            code = subprocess.run(["sh", args.wine_run, "wine64", args.icon_check, to_windows(listing), to_windows(output)],
                                  stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                  timeout=RUN_TIMEOUT * 4).returncode
        except subprocess.TimeoutExpired:
            code = "a timeout"
    try:
        with open(output, encoding="utf-8", errors="surrogateescape") as f:
            lines = f.read().splitlines()
    except OSError:
        lines = []
    if code != 0 or not lines or lines[-1] != "END":
        with open(os.path.join(work, "icon-wine.log"), errors="replace") as f:
            sys.exit("check_pe32plus_programs: wine_icon_check exited with %s after %d lines:\n%s" % (
                code, len(lines), f.read()[-3000:]))
    by_windows = {to_windows(p): p for p, _ in files}
    views, current = {}, None
    for line in lines[:-1]:
        if line.startswith("FILE "):
            current = views.setdefault(by_windows[line[5:]], [])
        else:
            current.append(line)
    return views


def check_icon_view(lines, ico):
    """Checks wine_icon_check's lines of one file against the .ico; returns
    (images CreateIconFromResourceEx accepted at their size, images equal to
    the .ico's, problems)."""
    if not lines or not lines[0].startswith("GROUP "):
        return 0, 0, ["Wine reads no group: %s" % (lines[:2] if lines else "nothing",)]
    count = int(lines[0].split()[1])
    # Each IMAGE line, with the DATA line that follows it when the bytes loaded.
    images, rest = [], []
    for line in lines[1:]:
        if line.startswith("IMAGE "):
            images.append([line.split(), None])
        elif line.startswith("DATA ") and images and images[-1][1] is None:
            images[-1][1] = bytes.fromhex(line[5:])
        else:
            rest.append(line)
    problems = []
    if count != len(ico) or len(images) != count:
        problems.append("Wine finds %d images in the group and lists %d, the .ico has %d" % (count, len(images), len(ico)))
    ids, accepted, equal = [], 0, 0
    for i, ((width, height, colours, planes, bits, size, data), (image, dump)) in enumerate(zip(ico, images)):
        if len(image) < 9 or image[8] == "FAIL" or dump is None:
            problems.append("image %d: Wine cannot find or load it: %s" % (i, " ".join(image)))
            continue
        ids.append(image[1])
        entry = tuple(int(v) for v in image[2:8])
        if entry != (width, height, colours, planes, bits, size):
            problems.append("image %d: the group entry (width, height, colours, planes, bits, bytes) is %s, "
                            "the .ico's %s" % (i, entry, (width, height, colours, planes, bits, size)))
        elif dump != data:
            problems.append("image %d (id %s): the %d bytes Wine loads differ from the .ico's %d" % (
                i, image[1], len(dump), size))
        else:
            equal += 1
        if "FAIL" in image:
            problems.append("image %d (id %s): %s" % (i, image[1], " ".join(image[image.index("FAIL"):])))
        elif (int(image[10]), int(image[11])) != (width or 256, height or 256):
            problems.append("image %d: CreateIconFromResourceEx makes %sx%s of a %dx%d image" % (
                i, image[10], image[11], width or 256, height or 256))
        else:
            accepted += 1
    lookups = [line.split() for line in rest if line.startswith("LOOKUP ")]
    if len(lookups) != 4 or any(w[3] not in ids for w in lookups):
        problems.append("LookupIconIdFromDirectoryEx picks ids %s, the group has %s" % ([w[3:] for w in lookups], ids))
    load = [line for line in rest if not line.startswith("LOOKUP ")]
    if load != ["LOAD 32 32"]:
        problems.append("LoadImage at 32x32: %s" % load)
    return accepted, equal, problems


def run_program(args, loader, program, arguments, work, tag):
    """(exit code, stdout, stderr) of a program under Wine, from work."""
    out, err = os.path.join(work, tag + ".out"), os.path.join(work, tag + ".err")
    with open(out, "wb") as o, open(err, "wb") as e:
        try:
            code = subprocess.run(["sh", args.wine_run, loader, program] + arguments, stdout=o, stderr=e,
                                  stdin=subprocess.DEVNULL, cwd=work, timeout=RUN_TIMEOUT).returncode
        except subprocess.TimeoutExpired:
            code = "timeout"
    with open(out, "rb") as o, open(err, "rb") as e:
        return code, o.read(), e.read()


def shown(result):
    code, out, err = result
    return "exit %s, stdout %r, stderr %r" % (code, out[:120], err[:120])


def with_entry_returning(source, target):
    """A copy of source whose entry point returns CONTROL_CODE at once."""
    shutil.copyfile(source, target)
    pe = pefile.PE(target, fast_load=True)
    offset = pe.get_offset_from_rva(pe.OPTIONAL_HEADER.AddressOfEntryPoint)
    pe.close()
    with open(target, "r+b") as f:
        f.seek(offset)
        f.write(RETURN_42)


def edit_program(args, source, copy):
    """The version edit, and the icon when the program has a group; returns
    the group edited or None."""
    shutil.copyfile(source, copy)
    vornres(args, "version", copy, *VERSION_EDIT)
    group = first_icon_group(source)
    if group:
        vornres(args, "icon", copy, "--from", args.ico)
    check_version_edit(copy)
    return group


def can_run(args, loader, folder, work):
    """None when the loader runs a program of folder here, else why not."""
    probe = os.path.join(folder, PROGRAMS[0][0])
    if not os.path.isfile(probe):
        return "%s not found" % probe
    code, out, err = run_program(args, loader, probe, [], work, "probe-" + loader)
    if code != 0 or not out.strip():
        return "%s cannot run %s here (%s)" % (loader, PROGRAMS[0][0], shown((code, out, err)))
    return None


def program_part(args, kind, loader, folder, work, failures, icon_files):
    """Runs the programs of one kind, original and edited copy; returns
    (programs run identical, programs run)."""
    os.makedirs(work, exist_ok=True)
    identical = 0
    for name, arguments in PROGRAMS:
        source = os.path.join(folder, name)
        what = "%s %s" % (kind, " ".join([name] + arguments))
        if not os.path.isfile(source) or optional_magic(source) != KINDS[kind][2]:
            failures.append("%s: no %s program %s" % (what, kind, source))
            continue
        # Not under the builtin's name, or Wine would run its own file.
        copy, control = os.path.join(work, "vorn-" + name), os.path.join(work, "control-" + name)
        try:
            group = edit_program(args, source, copy)
        except Failure as e:
            failures.append("%s: %s" % (what, e))
            continue
        if group:
            icon_files.append((copy, group))
        with_entry_returning(source, control)
        original = run_program(args, loader, source, arguments, work, name + ".original")
        edited = run_program(args, loader, copy, arguments, work, name + ".edited")
        checked = run_program(args, loader, control, arguments, work, name + ".control")
        if checked[0] != CONTROL_CODE:
            failures.append("%s: the control copy gives %s, not exit %d: Wine does not run the copy's bytes" % (
                what, shown(checked), CONTROL_CODE))
        elif not original[1] and not original[2]:
            failures.append("%s: the original prints nothing (%s)" % (what, shown(original)))
        elif edited != original:
            failures.append("%s: the edited copy gives %s; the original %s" % (what, shown(edited), shown(original)))
        else:
            identical += 1
            print("  %s: exit %s, %d bytes of output, identical" % (what, original[0], len(original[1]) + len(original[2])))
    return identical, len(PROGRAMS)


def icon_candidates(folder):
    """(path, first group) of the PE32+ files with an icon group: those whose
    first group is named first, then the others evenly spread, a dozen at most."""
    found = []
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if os.path.isfile(path) and optional_magic(path) == KINDS["pe32plus"][2]:
            group = first_icon_group(path)
            if group:
                found.append((path, group))
    named = [f for f in found if not f[1].startswith("#")][:MAX_ICON_FILES]
    others = [f for f in found if f[1].startswith("#")]
    room = MAX_ICON_FILES - len(named)
    step = max(1, -(-len(others) // room)) if room > 0 else 0
    return sorted(named + (others[::step][:room] if room > 0 else [])), len(found)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--vornres", required=True, help="the vornres program")
    parser.add_argument("--icon-check", required=True, help="wine_icon_check.exe")
    parser.add_argument("--wine-run", required=True, help="cmake/wine-run.sh")
    parser.add_argument("--ico", required=True, help="the icon to put in: samples/badge.ico")
    parser.add_argument("--work", required=True, help="scratch folder, emptied first; kept when a check fails")
    parser.add_argument("--x64-dir", help="folder of the PE32+ files (default: found from the Wine packages)")
    parser.add_argument("--i386-dir", help="folder of the PE32 files (default: found from the Wine packages)")
    args = parser.parse_args()
    started = time.monotonic()
    # The programs run in the work folder.
    for option in ("vornres", "icon_check", "wine_run", "ico", "work"):
        setattr(args, option, os.path.abspath(getattr(args, option)))
        if option != "work" and not os.path.isfile(getattr(args, option)):
            sys.exit("check_pe32plus_programs: --%s %s not found" % (option.replace("_", "-"), getattr(args, option)))
    ico = read_ico(args.ico)
    x64 = corpus_folder("pe32plus", args.x64_dir, "check_pe32plus_programs")
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    failures, skipped, icon_files = [], [], []

    # Which Wine starts a program here: 64-bit Wine for the PE32+ parts,
    # 32-bit Wine for the PE32 programs.
    parts = [("pe32plus", "wine64", x64)]
    try:
        parts.append(("pe32", "wine", corpus_folder("pe32", args.i386_dir, "check_pe32plus_programs")))
    except SystemExit as e:
        skipped.append("PE32 programs: %s" % e)
    runnable = []
    for kind, loader, folder in parts:
        why = can_run(args, loader, folder, args.work)
        if why:
            skipped.append("%s: %s" % ("PE32+ icons and programs" if kind == "pe32plus" else "PE32 programs", why))
        else:
            runnable.append((kind, loader, folder))
    x64_runs = bool(runnable) and runnable[0][0] == "pe32plus"

    # The icon edits of files with an icon group.
    candidates, with_groups = icon_candidates(x64) if x64_runs else ([], 0)
    if x64_runs and not candidates:
        sys.exit("check_pe32plus_programs: no PE32+ file with an icon group in %s" % x64)
    icon_work = os.path.join(args.work, "icons")
    os.makedirs(icon_work)
    for i, (path, group) in enumerate(candidates):
        # A name of its own: a data file under a loaded module's name might
        # be taken for that module.
        copy = os.path.join(icon_work, "%02d-%s" % (i, os.path.basename(path)))
        shutil.copyfile(path, copy)
        try:
            vornres(args, "icon", copy, "--from", args.ico)
            icon_files.append((copy, group))
        except Failure as e:
            failures.append("%s: %s" % (path, e))
    edited_icon_files = len(icon_files)

    # The programs; the edited programs' icon groups join the Wine reading.
    figures = {}
    for kind, loader, folder in runnable:
        print("%s programs of %s under %s:" % (kind, folder, loader))
        figures[kind] = program_part(args, kind, loader, folder, os.path.join(args.work, kind), failures, icon_files)

    # 64-bit Wine reads every edited group, PE32 files as data files too.
    views = wine_icon_view(args, icon_files, args.work) if x64_runs and icon_files else {}
    accepted = equal = images = correct = 0
    for copy, group in icon_files if x64_runs else []:
        images += len(ico)
        a, e, problems = check_icon_view(views.get(copy), ico)
        accepted, equal, correct = accepted + a, equal + e, correct + (not problems)
        failures.extend("%s (group %s): %s" % (copy, group, p) for p in problems[:2])

    print("icon edits: %d of the %d PE32+ files with an icon group (%d edited), and %d edited programs" % (
        len(candidates), with_groups, edited_icon_files, len(icon_files) - edited_icon_files))
    print("icon groups read by Wine: %d, as expected: %d" % (len(views), correct))
    print("icons accepted by CreateIconFromResourceEx: %d of %d images; equal to the .ico's byte for byte: %d" % (
        accepted, images, equal))
    for kind, (identical, run) in sorted(figures.items()):
        print("programs run identical (%s): %d of %d" % (kind, identical, run))
    if WARNINGS:
        print("vornres warnings on edits that succeeded: %d, the first: %s" % (len(WARNINGS), WARNINGS[0]))
    for line in skipped:
        print("skipped: " + line)
    print("time: %.1f s" % (time.monotonic() - started))
    if failures:
        print("\n%d failures; the first %d (files kept in %s):" % (len(failures), min(len(failures), MAX_SHOWN), args.work))
        for failure in failures[:MAX_SHOWN]:
            print("  " + failure)
        return 1
    shutil.rmtree(args.work, ignore_errors=True)
    if not runnable:
        return SKIPPED
    print("all pass")
    return 0


if __name__ == "__main__":
    sys.exit(main())
