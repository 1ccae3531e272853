#!/usr/bin/python3
"""End-to-end checks of vornres on copies of the samples and of Wine's PE files.

What the tool reports and writes is read back with pefile and wrestool; .ico
files are parsed here. With --wine-run the tool is a Windows build and only
the cases marked for Wine run, each through the Wine loader.

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
import tempfile
import unittest

import pefile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SAMPLES = os.path.join(ROOT, "samples")
sys.path[:0] = [os.path.join(ROOT, "tests", "corpus"), os.path.join(ROOT, "tests", "kinds", "version")]
from check_corpus import entry_text, optional_magic, wine_folder  # noqa: E402
from read_version import join_surrogates  # noqa: E402

RT_ICON, RT_GROUP_ICON = 3, 14
OPTS = argparse.Namespace(command=[], wrestool="wrestool", wine=False)


def run(args, cwd=None):
    """Exit status, stdout and stderr. Output goes through files: a wineserver
    started by the loader inherits them and outlives the tool, and pipes would
    not close until it leaves."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.call(args, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        out.seek(0)
        err.seek(0)
        return code, out.read().decode("utf-8", "replace"), err.read().decode("utf-8", "replace")


def wine_case(test):
    test.wine = True
    return test


def load(path):
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    return pe


def label(pe, entry):
    return entry_text(pe, entry) or entry.struct.Name & 0xFFFF


def resources(pe):
    """Every leaf as the tool's info lists it, with its bytes."""
    out = []
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else []:
        for n in t.directory.entries:
            for leaf in n.directory.entries:
                d = leaf.data.struct
                out.append(({"type": label(pe, t), "name": label(pe, n), "language": leaf.id,
                             "codePage": d.CodePage, "size": d.Size}, pe.get_data(d.OffsetToData, d.Size)))
    return out


def group_images(path, group=None):
    """The directory entries and RT_ICON bytes an icon group lists, as pefile sees them."""
    pe = load(path)
    found = resources(pe)
    data = next(b for r, b in found if r["type"] == RT_GROUP_ICON and (group is None or group in (r["name"],
                "#%s" % r["name"])))
    icons = {r["name"]: b for r, b in reversed(found) if r["type"] == RT_ICON}
    count = struct.unpack_from("<H", data, 4)[0]
    out = []
    for i in range(count):
        w, h, colors, _, planes, bits, _, ident = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        out.append(((w, h, colors, planes, bits), icons[ident]))
    return out


def digest(images):
    """Entries, lengths and hashes: equal exactly when the images are, and short to print."""
    return [(entry, len(image), hashlib.sha256(image).hexdigest()[:16]) for entry, image in images]


def parse_ico(data):
    reserved, kind, count = struct.unpack_from("<HHH", data)
    assert (reserved, kind) == (0, 1), "not an icon header: %d %d" % (reserved, kind)
    out = []
    for i in range(count):
        w, h, colors, _, planes, bits, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        assert 6 + 16 * count <= offset and offset + size <= len(data), "image %d outside the file" % i
        out.append(((w, h, colors, planes, bits), data[offset:offset + size]))
    return out


class Corpus:
    """Wine's PE files, chosen by what they hold; found once, when first asked."""
    _files = None

    @classmethod
    def files(cls):
        if cls._files is None:
            folder = wine_folder(["libwine:i386", "wine32:i386", "wine32"], "i386-windows", None)
            if not folder:
                raise unittest.SkipTest("no Wine i386-windows folder")
            cls._files = [os.path.join(folder, f) for f in sorted(os.listdir(folder))]
        return cls._files

    @classmethod
    def first(cls, wanted):
        for path in cls.files():
            if optional_magic(path) == 0x10B and hasattr(load(path), "DIRECTORY_ENTRY_RESOURCE"):
                found = resources(load(path))
                if wanted(found):
                    return path
        raise unittest.SkipTest("no corpus file fits")

    @staticmethod
    def groups(found):
        return [r["name"] for r, _ in found if r["type"] == RT_GROUP_ICON]


class VornresTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="vornres-")
        self.addCleanup(shutil.rmtree, self.work)

    def copy(self, source, name=None):
        name = name or os.path.basename(source)
        shutil.copyfile(source, os.path.join(self.work, name))
        return name

    def path(self, name):
        return os.path.join(self.work, name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return name

    def run_tool(self, *args, code=0):
        # Relative names from the work folder, so that Wine needs no drive mapping.
        status, out, err = run(OPTS.command + list(args), self.work)
        self.assertEqual(status, code, "vornres %s\nstdout: %s\nstderr: %s" % (" ".join(args), out, err))
        if code:
            self.assertTrue(err.startswith("vornres: "), "stderr: %r" % err)
        return out, err

    def fails(self, code, concerned, *args):
        """A failure reported once, naming the file concerned; the target untouched."""
        before = self.read(args[1]) if os.path.isfile(self.path(args[1])) else None
        _, err = self.run_tool(*args, code=code)
        self.assertEqual(len(err.strip().splitlines()), 1, err)
        self.assertIn(concerned, err)
        if before is not None:
            self.assertEqual(self.read(args[1]), before, "failed %s changed %s" % (args[0], args[1]))

    def json_of(self, *args):
        return json.loads(self.run_tool(*(args + ("--json",)))[0])

    def version_json(self, name, *args):
        """The version information vornres reads, and the strings of its first table."""
        info = self.json_of("version", name, *args)["versionInfo"]
        tables = [t for b in info["blocks"] for t in b.get("StringFileInfo", [])] if info else []
        return info, tables[0]["strings"] if tables else {}

    def pefile_version(self, name):
        """Fixed file version and the string tables (key lowercased), as pefile reads them."""
        pe = pefile.PE(self.path(name))
        fixed = pe.VS_FIXEDFILEINFO[0]
        ms, ls = fixed.FileVersionMS, fixed.FileVersionLS
        tables = {t.LangID.decode().lower(): {k.decode(): join_surrogates(v.decode()) for k, v in t.entries.items()}
                  for info in pe.FileInfo[0] for t in getattr(info, "StringTable", [])}
        return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF), tables

    def assert_icon_file(self, ico, expected):
        """An .ico whose entries and images are the expected ones, in order."""
        self.assertEqual(digest(parse_ico(self.read(ico))), digest(expected))


class CommandLine(VornresTest):
    @wine_case
    def test_version_and_help(self):
        out, _ = self.run_tool("--version")
        self.assertRegex(out.strip(), r"^vornres (\S+) \(VornUtils \1\)$")
        for args in ([], ["info"], ["version"], ["icon"], ["icons"], ["extract-icon"]):
            self.assertTrue(self.run_tool(*(args + ["--help"]))[0].strip(), args)

    def test_usage_errors(self):
        exe = self.copy(os.path.join(SAMPLES, "sample.exe"))
        ico = self.copy(os.path.join(SAMPLES, "sample.ico"))
        for args in ([], ["frobnicate", exe], ["info"], ["info", exe, "--bogus"],
                     ["version", exe, "--file-version", "1.2.3.4.5"], ["version", exe, "--file-version", "1.2.3.65536"],
                     ["version", exe, "--file-version", "1.x.3.4"], ["version", exe, "--set", "Comments"],
                     ["version", exe, "--get", "Comments", "--set", "Comments=x"], ["version", exe, "--language", "abc"],
                     ["version", exe, "--create", "--set", "Comments=x"], ["version", exe, "--file-flags", "fast"],
                     ["icon", exe], ["icon", exe, "--from", ico, "--from-module", exe],
                     ["extract-icon", exe]):
            with self.subTest(args=args):
                self.run_tool(*args, code=64)
        self.assertEqual(self.read(exe), self.read(os.path.join(SAMPLES, "sample.exe")))


class BadInput(VornresTest):
    @wine_case
    def test_missing_file(self):
        ico = self.copy(os.path.join(SAMPLES, "sample.ico"))
        for args in (["info", "gone.exe"], ["version", "gone.exe"], ["icons", "gone.exe"],
                     ["version", "gone.exe", "--set", "Comments=x"], ["icon", "gone.exe", "--from", ico],
                     ["extract-icon", "gone.exe", "-o", "out.ico"]):
            with self.subTest(args=args):
                self.fails(3, "gone.exe", *args)
        self.assertFalse(os.path.exists(self.path("out.ico")))

    def test_not_a_program(self):
        """Each reason a file is no program is told apart, with the library's code."""
        os.mkdir(self.path("folder.exe"))
        good = open(os.path.join(SAMPLES, "sample.exe"), "rb").read()
        cases = {
            self.write("notes.txt", b"MZ just some text, long enough to be read as a header\n" * 10): "not a Windows program",
            self.write("empty.exe", b""): "is empty",
            self.write("cut.exe", good[:200]): "truncated",
            "folder.exe": "is a directory",
            "gone.exe": "does not exist",
        }
        unreadable = self.write("locked.exe", good)
        os.chmod(self.path(unreadable), 0)
        if not os.access(self.path(unreadable), os.R_OK):  # root reads anything
            cases[unreadable] = "cannot be read"
        for name, reason in cases.items():
            for args in (["info", name], ["version", name], ["icons", name], ["icon", name, "--from", "x.ico"]):
                with self.subTest(args=args):
                    self.fails(3, name, *args)
                    self.assertIn(reason, self.run_tool(*args, code=3)[1])

    def test_no_resource_section(self):
        """A file without resources gains a section for them, unless its headers have no room."""
        data = bytearray(open(Corpus.first(lambda found: True), "rb").read())
        e_lfanew = struct.unpack_from("<I", data, 60)[0]
        struct.pack_into("<II", data, e_lfanew + 24 + 96 + 2 * 8, 0, 0)
        full = bytearray(data)
        sections = struct.unpack_from("<H", data, e_lfanew + 6)[0]
        table_end = e_lfanew + 24 + struct.unpack_from("<H", data, e_lfanew + 20)[0] + 40 * sections
        full[table_end:table_end + 40] = b"\xAA" * 40
        crowded = self.write("crowded.dll", bytes(full))
        for args in (["version", crowded, "--set", "Comments=x"], ["icon", crowded, "--from", os.path.join(SAMPLES, "sample.ico")]):
            with self.subTest(args=args):
                self.fails(4, crowded, *args)

        name = self.write("bare.dll", bytes(data))
        self.assertIn("no version information", self.run_tool("version", name)[0])
        self.run_tool("version", name, "--set", "Comments=x", "--file-version", "3.1")
        self.run_tool("icon", name, "--from", os.path.join(SAMPLES, "sample.ico"))
        pe = pefile.PE(self.path(name))
        self.assertEqual(pe.sections[-1].Name.rstrip(b"\0"), b".rsrc")
        self.assertEqual(pe.FILE_HEADER.NumberOfSections, sections + 1)
        fixed = pe.VS_FIXEDFILEINFO[0]
        self.assertEqual((fixed.FileVersionMS, fixed.FileType, fixed.FileOS), (0x30001, 2, 0x40004))
        self.assertEqual(self.pefile_version(name)[1]["040904b0"],
                         {"Comments": "x", "FileVersion": "3.1", "ProductVersion": "3.1"})
        self.assertEqual(digest(group_images(self.path(name), 1)),
                         digest(parse_ico(self.read(self.copy(os.path.join(SAMPLES, "sample.ico"))))))
        # Everything the file held before is where it was.
        self.assertEqual(self.read(name)[:pe.sections[-1].PointerToRawData][table_end + 40:],
                         bytes(data)[table_end + 40:pe.sections[-1].PointerToRawData])

    def test_bad_icon_sources(self):
        exe = self.copy(os.path.join(SAMPLES, "sample.exe"))
        ico = self.read(self.copy(os.path.join(SAMPLES, "sample.ico")))
        cursor = self.write("cursor.ico", ico[:2] + b"\x02\x00" + ico[4:])
        short = self.write("short.ico", ico[:len(ico) - 100])
        cut = self.write("cut.ico", ico[:20])
        for source in (cursor, short, cut):
            with self.subTest(source=source):
                self.fails(10, source, "icon", exe, "--from", source)
        self.fails(8, "absent.ico", "icon", exe, "--from", "absent.ico")
        self.fails(8, "absent.dll", "icon", exe, "--from-module", "absent.dll")
        self.fails(8, "source.exe", "icon", exe, "--from-module", self.copy(os.path.join(SAMPLES, "sample.exe"),
                   "source.exe"), "--group", "NOSUCHGROUP")
        self.fails(5, "out.ico", "extract-icon", exe, "-o", os.path.join("no-folder", "out.ico"))

    def test_no_icon_group(self):
        name = self.copy(Corpus.first(lambda found: not Corpus.groups(found)), "plain.dll")
        self.fails(7, name, "extract-icon", name, "-o", "out.ico")
        self.assertEqual(self.json_of("icons", name)["groups"], [])
        # An icon for a file without one comes in as group 1.
        self.run_tool("icon", name, "--from", os.path.join(SAMPLES, "sample.ico"))
        self.assertEqual(self.json_of("icons", name)["groups"], ["#1"])
        self.assertEqual(digest(group_images(self.path(name), 1)),
                         digest(parse_ico(self.read(self.copy(os.path.join(SAMPLES, "sample.ico"))))))


class Reports(VornresTest):
    def check_info(self, source):
        name = self.copy(source)
        info = self.json_of("info", name)
        pe = load(self.path(name))
        self.assertEqual(info["file"], name)
        self.assertEqual(info["sections"], [
            {"name": s.Name.rstrip(b"\0").decode(), "virtualAddress": s.VirtualAddress,
             "virtualSize": s.Misc_VirtualSize, "rawOffset": s.PointerToRawData, "rawSize": s.SizeOfRawData}
            for s in pe.sections])
        directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[2]
        self.assertEqual(info["resourceSection"], {"rva": directory.VirtualAddress, "size": directory.Size,
                                                   "offset": pe.get_offset_from_rva(directory.VirtualAddress)})
        end = max(s.PointerToRawData + s.SizeOfRawData for s in pe.sections if s.SizeOfRawData)
        self.assertEqual(info["appendedBytes"], os.path.getsize(self.path(name)) - end)
        self.assertIs(info["installerTag"], False)
        want = [dict(r, typeLabel=pefile.RESOURCE_TYPE.get(r["type"])) for r, _ in resources(pe)]
        key = lambda r: json.dumps(r, sort_keys=True)  # noqa: E731
        self.assertEqual(sorted(info["resources"], key=key), sorted(want, key=key))
        self.assertTrue(self.run_tool("info", name)[0].strip())

    @wine_case
    def test_info_sample(self):
        self.check_info(os.path.join(SAMPLES, "sample.exe"))

    def test_info_corpus(self):
        for wanted in (lambda f: any(isinstance(r["type"], str) for r, _ in f),
                       lambda f: len({r["language"] for r, _ in f}) > 1,
                       lambda f: len(Corpus.groups(f)) > 2):
            self.check_info(Corpus.first(wanted))

    def test_icons(self):
        name = self.copy(Corpus.first(lambda f: any(isinstance(g, str) for g in Corpus.groups(f))
                                      and len(Corpus.groups(f)) > 1))
        want = [g if isinstance(g, str) else "#%d" % g for g in Corpus.groups(resources(load(self.path(name))))]
        self.assertEqual(self.json_of("icons", name), {"file": name, "groups": want})
        self.assertEqual(self.json_of("icons", self.copy(os.path.join(SAMPLES, "sample.exe")))["groups"], ["#1"])

    def test_version_show(self):
        info, strings = self.version_json(self.copy(os.path.join(SAMPLES, "sample.exe")))
        fixed, tables = self.pefile_version("sample.exe")
        self.assertEqual((info["fileVersion"], info["resource"]), (fixed, {"name": 1, "language": 1033}))
        self.assertEqual(strings, tables["040904b0"])
        self.assertEqual(self.version_json(self.copy(os.path.join(SAMPLES, "no-version.exe"))), (None, {}))


class VersionWrite(VornresTest):
    @wine_case
    def test_set_strings_and_numbers(self):
        name = self.copy(os.path.join(SAMPLES, "sample.exe"))
        _, before = self.pefile_version(name)
        out, _ = self.run_tool("version", name, "--set", "FileDescription=Rewritten", "--set", "CompanyName=",
                               "--set", "Comments=Built by the tests", "--file-version", "5.6.7.65535")
        self.assertIn("Rewritten", out)
        info, strings = self.version_json(name)
        fixed, tables = self.pefile_version(name)
        want = dict(before["040904b0"], FileDescription="Rewritten", CompanyName="", Comments="Built by the tests",
                    FileVersion="5.6.7.65535")
        self.assertEqual((fixed, tables["040904b0"]), ("5.6.7.65535", want))
        self.assertEqual((info["fileVersion"], strings), ("5.6.7.65535", want))

    def test_text_outside_ascii(self):
        name = self.copy(os.path.join(SAMPLES, "sample.exe"))
        text = "Grüße \u00a9 \u65e5\u672c \U0001f600"
        self.run_tool("version", name, "--set", "LegalTrademarks=" + text)
        self.assertEqual(self.pefile_version(name)[1]["040904b0"]["LegalTrademarks"], text)
        self.assertEqual(self.version_json(name)[1]["LegalTrademarks"], text)

    def test_new_language_resource(self):
        name = self.copy(os.path.join(SAMPLES, "sample.exe"))
        self.fails(65, name, "version", name, "--language", "1031", "--set", "Comments=Hallo")
        self.run_tool("version", name, "--language", "1031", "--code-page", "1252", "--create", "--set", "Comments=Hallo")
        info, strings = self.version_json(name, "--language", "1031")
        self.assertEqual((info["fileVersion"], info["resource"]["language"], strings), ("1.2.3.4", 1031, {"Comments": "Hallo"}))
        self.assertEqual(self.version_json(name)[1], self.pefile_version(os.path.join(SAMPLES, "sample.exe"))[1]["040904b0"])

    def test_file_without_version(self):
        name = self.copy(os.path.join(SAMPLES, "no-version.exe"))
        self.run_tool("version", name, "--set", "CompanyName=Vorn", "--file-version", "2.0.0.1")
        fixed, tables = self.pefile_version(name)
        self.assertEqual((fixed, tables["040904b0"]),
                         ("2.0.0.1", {"CompanyName": "Vorn", "FileVersion": "2.0.0.1", "ProductVersion": "2.0.0.1"}))
        # Adding the version resource rebuilds the section; the icon must come through.
        self.assertEqual(digest(parse_ico(self.read(self.copy(os.path.join(SAMPLES, "sample.ico"))))),
                         digest(group_images(self.path(name))))


class Icons(VornresTest):
    def replace_and_extract(self, source):
        name = self.copy(os.path.join(SAMPLES, "sample.exe"))
        ico = self.copy(source)
        self.run_tool("icon", name, "--from", ico)
        expected = parse_ico(self.read(ico))
        self.assertEqual(digest(group_images(self.path(name), 1)), digest(expected))
        self.assertEqual(self.json_of("icons", name)["groups"], ["#1"])
        self.run_tool("extract-icon", name, "-o", "out.ico")
        self.assert_icon_file("out.ico", expected)
        return name, parse_ico(self.read("out.ico"))

    @wine_case
    def test_replace_from_ico(self):
        self.replace_and_extract(os.path.join(SAMPLES, "sample.ico"))

    def test_replace_with_png_image_matches_wrestool(self):
        name, images = self.replace_and_extract(os.path.join(SAMPLES, "badge.ico"))
        self.assertTrue(any(image.startswith(b"\x89PNG") for _, image in images))
        ids = [r["name"] for r, _ in resources(load(self.path(name))) if r["type"] == RT_ICON]
        raw = [subprocess.run([OPTS.wrestool, "-x", "--raw", "--type=3", "--name=%d" % i, self.path(name)],
                              capture_output=True, check=True).stdout for i in ids]
        self.assertEqual(sorted(raw), sorted(image for _, image in images))

    def test_extract_sample(self):
        name = self.copy(os.path.join(SAMPLES, "sample.exe"))
        expected = group_images(self.path(name), 1)
        self.assertEqual(len(expected), 3)
        self.run_tool("extract-icon", name, "-o", "default.ico")
        self.assert_icon_file("default.ico", expected)
        self.run_tool("extract-icon", name, "--group", "#1", "-o", "named.ico")
        self.assertEqual(self.read("named.ico"), self.read("default.ico"))
        self.assertEqual(self.read(name), self.read(os.path.join(SAMPLES, "sample.exe")))

    def test_replace_from_module(self):
        # A numeric group that is not the module's first, so the choice shows.
        module = Corpus.first(lambda f: len([g for g in Corpus.groups(f) if isinstance(g, int)]) > 1)
        group = [g for g in Corpus.groups(resources(load(module))) if isinstance(g, int)][-1]
        name = self.copy(os.path.join(SAMPLES, "sample.exe"))
        source = self.copy(module)
        self.run_tool("icon", name, "--from-module", source, "--group", "#%d" % group)
        expected = group_images(module, group)
        self.assertEqual(digest(group_images(self.path(name), 1)), digest(expected))
        self.run_tool("extract-icon", source, "--group", "#%d" % group, "-o", "module.ico")
        self.assert_icon_file("module.ico", expected)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--vornres", required=True, help="the tool")
    parser.add_argument("--wine-run", help="cmake/wine-run.sh: the tool is a Windows program")
    parser.add_argument("--loader", default="wine64", help="the Wine loader for --wine-run")
    parser.add_argument("--wrestool", default="wrestool")
    args, rest = parser.parse_known_args()
    OPTS.command = [os.path.abspath(args.wine_run), args.loader] if args.wine_run else []
    OPTS.command.append(os.path.abspath(args.vornres))
    OPTS.wrestool, OPTS.wine = args.wrestool, bool(args.wine_run)
    if OPTS.wine:
        # A loader that cannot start says why once, for CTest's skip rule.
        status, _, err = run(OPTS.command + ["--version"])
        if status:
            sys.exit("check_vornres: %s cannot run: %s" % (args.vornres, err.strip()))
    # Extra arguments pick tests by part of their name.
    suite = unittest.TestSuite(
        t for c in unittest.defaultTestLoader.loadTestsFromModule(sys.modules[__name__]) for t in c
        if (not OPTS.wine or getattr(getattr(t, t._testMethodName), "wine", False))
        and (not rest or any(r in t.id() for r in rest)))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
