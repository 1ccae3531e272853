#!/usr/bin/python3
"""vornres version end to end: edits of multi-language fixtures, and the
--from-json round trip over Wine's PE files.

pefile finds the resources; their version blocks are walked here, apart from
the tool's parser. Wine's GetFileVersionInfoW and VerQueryValueW read what
Explorer would show (wine_version_query.exe under 64-bit Wine). Without
Wine those parts are skipped and the script exits 77.

Run with Debian's /usr/bin/python3, which has python3-pefile.
"""

import argparse
import concurrent.futures
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(os.path.dirname(HERE), "corpus")]
from check_corpus import optional_magic, wine_folder  # noqa: E402
from check_vornres import digest, group_images, parse_ico  # noqa: E402

RT_VERSION = 16
ARCHES = ("pe32", "pe32plus")
EXPLORER_KEYS = ["CompanyName", "FileDescription", "FileVersion", "InternalName", "LegalCopyright",
                 "OriginalFilename", "ProductName", "ProductVersion", "Comments", "LegalTrademarks"]
OPTS = argparse.Namespace()


def run(args, cwd=None):
    """Through files: a wineserver inherits them and outlives the program."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.call(args, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        out.seek(0)
        err.seek(0)
        return code, out.read().decode("utf-8", "replace"), err.read().decode("utf-8", "replace")


def read(path):
    with open(path, "rb") as f:
        return f.read()


# ---- The version blocks, walked here ----

def align4(x):
    return (x + 3) & ~3


def block(data, at, end):
    k = at + 6
    while k + 2 <= end and data[k:k + 2] != b"\0\0":
        k += 2
    return {"key": data[at + 6:k].decode("utf-16-le", "surrogatepass"), "raw": data[at:end],
            "value_at": align4(k + 2), "value_length": struct.unpack_from("<H", data, at + 2)[0], "end": end}


def blocks(data, at, end):
    out = []
    while at + 6 <= end:
        length = struct.unpack_from("<H", data, at)[0]
        if length < 6 or at + length > end:
            break
        out.append(block(data, at, at + length))
        at = align4(at + length)
    return out


def text(data, b):
    units = data[b["value_at"]:b["end"]] if b["value_at"] < b["end"] else b""
    units = units[:len(units) & ~1].decode("utf-16-le", "surrogatepass")
    return units.split("\0", 1)[0]


def walk(data):
    """Fixed words and the root's children: tables with their strings, vars with their pairs."""
    root = block(data, 0, len(data))
    view = {"fixed": struct.unpack_from("<13I", data, root["value_at"]), "children": []}
    for child in blocks(data, align4(root["value_at"] + 52), struct.unpack_from("<H", data)[0]):
        child["items"] = blocks(data, child["value_at"], child["end"])
        for item in child["items"]:
            if child["key"] == "StringFileInfo":
                item["strings"] = [(s["key"], text(data, s), s["raw"]) for s in blocks(data, item["value_at"], item["end"])]
            else:
                value = data[item["value_at"]:item["value_at"] + item["value_length"]]
                item["pairs"] = [struct.unpack_from("<HH", value, i) for i in range(0, len(value) - 3, 4)]
        view["children"].append(child)
    return view


def tables(view):
    return [t for c in view["children"] if c["key"] == "StringFileInfo" for t in c["items"]]


def strings(table):
    return [(k, v) for k, v, _ in table["strings"]]


def raw_string(table, key):
    return next(r for k, _, r in table["strings"] if k == key)


def varfileinfo_raw(view):
    return [c["raw"] for c in view["children"] if c["key"] != "StringFileInfo"]


def version_text(ms, ls):
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def explorer(view, keys, queries=()):
    """What VerQueryValue should give: the first StringFileInfo's table of each
    pair of the first VarFileInfo's Translation, keys ignoring case."""
    def lookup(table_key, key):
        first = next((c for c in view["children"] if c["key"].lower() == "stringfileinfo"), {"items": []})
        table = next((t for t in first["items"] if t["key"].lower() == table_key.lower()), None)
        return next((v for k, v, _ in table["strings"] if k.lower() == key.lower()), None) if table else None
    vfi = next((c for c in view["children"] if c["key"].lower() == "varfileinfo"), {"items": []})
    pairs = next((["%04X%04X" % p for p in v["pairs"]] for v in vfi["items"] if v["key"] == "Translation"), [])
    return {"fixed": tuple(view["fixed"]), "translation": pairs,
            "strings": {(p, k): lookup(p, k) for p in pairs for k in keys},
            "queries": {q: lookup(*q.split("\\")[2:4]) for q in queries}}


def resources(path):
    """(type, name, language) and bytes of every leaf, in directory order."""
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    out = []
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else []:
        for n in t.directory.entries:
            for leaf in n.directory.entries:
                d = leaf.data.struct
                out.append(((t.id, str(n.name) if n.name else n.id, leaf.id), pe.get_data(d.OffsetToData, d.Size)))
    pe.close()
    return out


# ---- Wine ----

class Wine:
    ready = None  # None: not tried; else why it cannot run, or ""

    @classmethod
    def read(cls, requests, work):
        """requests: (path, keys, queries); the readings in the same order."""
        if cls.ready is None:
            cls.ready = "" if OPTS.reader else "no Wine reader given"
        if cls.ready:
            raise unittest.SkipTest(cls.ready)
        wine_path = lambda p: "Z:" + os.path.abspath(p).replace("/", "\\")  # noqa: E731
        listing, output = os.path.join(work, "wine-list.txt"), os.path.join(work, "wine-read.txt")
        with open(listing, "w", encoding="utf-8") as f:
            for path, keys, queries in requests:
                f.write("file %s\n" % wine_path(path))
                f.writelines("key %s\n" % k for k in keys)
                f.writelines("query %s\n" % q for q in queries)
        env = dict(os.environ, WINEPREFIX=OPTS.wineprefix, LANG="C", LC_ALL="C")
        os.makedirs(OPTS.wineprefix, exist_ok=True)
        with tempfile.TemporaryFile() as log:
            code = subprocess.call(["sh", OPTS.wine_run, "wine64", OPTS.reader, wine_path(listing), wine_path(output)],
                                   env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            log.seek(0)
            why = log.read().decode("utf-8", "replace").strip()
        if code != 0 and not os.path.exists(output):
            cls.ready = "64-bit Wine cannot run the reader: %s" % (why.splitlines() or ["status %d" % code])[-1]
            raise unittest.SkipTest(cls.ready)
        readings, current = [], None
        unit_text = lambda h: struct.pack("<%dH" % (len(h) // 4), *(int(h[i:i + 4], 16) for i in range(0, len(h), 4))
                                          ).decode("utf-16-le", "surrogatepass")  # noqa: E731
        for line in read(output).decode("utf-8").splitlines():
            word, _, rest = line.partition(" ")
            if word == "file":
                current = {"file": rest, "fixed": None, "translation": [], "strings": {}, "queries": {}}
                readings.append(current)
            elif word == "error":
                current["error"] = rest
            elif word == "fixed":
                current["fixed"] = tuple(int(w, 16) for w in rest.split()) if rest != "-" else None
            elif word == "translation":
                current["translation"] = rest.split()
            elif word in ("string", "query"):
                name, _, value = rest.rpartition(" ")
                value = unit_text(value[1:]) if value.startswith("=") else None
                if word == "string":
                    current["strings"][tuple(name.split(" ", 1))] = value
                else:
                    current["queries"][name] = value
        assert [r["file"] for r in readings] == [wine_path(p) for p, _, _ in requests], "Wine read other files"
        for r in readings:
            r.pop("file")
        return readings


# ---- Edits of the fixtures ----

class ToolTest(unittest.TestCase):
    def setUp(self):
        os.makedirs(OPTS.work, exist_ok=True)
        self.work = tempfile.mkdtemp(prefix="edit-", dir=OPTS.work)
        self.addCleanup(shutil.rmtree, self.work)

    def fixture(self, name, arch, ext="exe", copy="copy"):
        path = os.path.join(self.work, "%s-%s-%s.%s" % (name, arch, copy, ext))
        shutil.copyfile(os.path.join(OPTS.fixtures, "%s-%s.%s" % (name, arch, ext)), path)
        return path

    def tool(self, *args, code=0):
        status, out, err = run([OPTS.vornres] + list(args))
        self.assertEqual(status, code, "vornres %s\nstdout: %s\nstderr: %s" % (" ".join(args)[:300], out, err))
        return out, err

    def refused(self, code, *args):
        before = read(args[1])
        _, err = self.tool(*args, code=code)
        self.assertTrue(read(args[1]) == before, "a refused edit changed the file")
        return err

    def version_json(self, path, *args):
        info = json.loads(self.tool("version", path, "--json", *args)[0])
        info.pop("file")
        return info

    def assert_only_changed(self, before, after, changed):
        """Every resource but `changed` (added or edited) byte for byte as it was."""
        self.assertEqual([k for k, _ in after if k not in changed], [k for k, _ in before if k not in changed])
        self.assertEqual([b for k, b in after if k not in changed], [b for k, b in before if k not in changed])

    def assert_explorer(self, cases, keys=EXPLORER_KEYS):
        """cases: (path, version bytes Wine should find, queries)."""
        readings = Wine.read([(p, keys, q) for p, _, q in cases], self.work)
        for (path, data, queries), got in zip(cases, readings):
            self.assertEqual(got, explorer(walk(data), keys, queries), path)


V1033, V1031, V1041, V2 = (16, 1, 1033), (16, 1, 1031), (16, 1, 1041), (16, 2, 1033)


class Edits(ToolTest):
    def test_default_edit_reaches_the_shown_table_only(self):
        cases = []
        for arch in ARCHES:
            path = self.fixture("multi", arch)
            before = resources(path)
            self.tool("version", path, "--set", "ProductName=Renamed", "--set", "OriginalFilename=renamed.exe",
                      "--set", "InternalName=renamed", "--set", "Build Tag=nightly \u2602", "--file-version", "10.7",
                      "--product-version", "3.0.1")
            after = resources(path)
            self.assert_only_changed(before, after, [V1033])
            old, new = walk(dict(before)[V1033]), walk(dict(after)[V1033])
            self.assertEqual((version_text(*new["fixed"][2:4]), version_text(*new["fixed"][4:6])), ("10.7.0.0", "3.0.1.0"))
            # Edited in place: no table added for the pair, the key keeps its case.
            self.assertEqual([t["key"] for t in tables(new)], ["040704B0", "040904B0", "041104B0"])
            self.assertEqual([t["raw"] for t in tables(new)[::2]], [t["raw"] for t in tables(old)[::2]])
            self.assertEqual(varfileinfo_raw(new), varfileinfo_raw(old))
            edited = {"ProductName": "Renamed", "OriginalFilename": "renamed.exe", "InternalName": "renamed",
                      "FileVersion": "10.7", "ProductVersion": "3.0.1"}
            want = [(k, edited.get(k, v)) for k, v in strings(tables(old)[1])] + [("Build Tag", "nightly \u2602")]
            self.assertEqual(strings(tables(new)[1]), want)
            for key in ("CompanyName", "Comments", "LegalTrademarks"):
                self.assertEqual(raw_string(tables(new)[1], key), raw_string(tables(old)[1], key))
            cases.append((path, dict(after)[V1033], []))
        self.assert_explorer(cases, EXPLORER_KEYS + ["Build Tag"])

    def test_remove_empty_and_long_texts(self):
        long = "\u00dcnicode \U0001d11e \U0001f600 " * 60
        cases = []
        for arch in ARCHES:
            path = self.fixture("multi", arch)
            self.tool("version", path, "--remove", "internalname", "--set", "LegalCopyright=", "--set", "Comments=" + long)
            table = tables(walk(dict(resources(path))[V1033]))[1]
            self.assertNotIn("InternalName", dict(strings(table)))
            self.assertEqual((dict(strings(table))["LegalCopyright"], dict(strings(table))["Comments"]), ("", long))
            self.assertEqual(self.tool("version", path, "--get", "Comments")[0], long + "\n")
            self.refused(65, "version", path, "--get", "InternalName")
            cases.append((path, dict(resources(path))[V1033], []))
        self.assert_explorer(cases)

    def test_edits_that_change_nothing_leave_the_file_alone(self):
        for arch in ARCHES:
            path = self.fixture("multi", arch)
            original = read(path)
            for args in (["--set", "CompanyName=Multi Works"], ["--set", "companyname=Multi Works"],
                         ["--file-version", "1.2.3.4"], ["--file-flags", "0", "--file-type", "app"],
                         ["--remove", "NoSuchKey"], ["--language", "1031", "--set", "Comments=Stra\u00dfe"]):
                out, _ = self.tool("version", path, *args)
                self.assertIn("version information unchanged", out, args)
                self.assertTrue(read(path) == original, args)
            self.assertEqual(self.tool("rcedit", path, "--set-version-string", "ProductName", "Multi")[0], "")
            self.assertTrue(read(path) == original, "rcedit")

    def test_table_named_unlike_its_translation(self):
        cases = []
        for arch in ARCHES:
            path = self.fixture("mislabeled", arch)
            before = resources(path)
            self.tool("version", path, "--set", "ProductName=New", "--set", "Extra=1")
            old, new = walk(dict(before)[(16, 1, 0)]), walk(dict(resources(path))[(16, 1, 0)])
            self.assertEqual([t["key"] for t in tables(new)], ["080904b0", "041104b0"])
            self.assertEqual(strings(tables(new)[0]),
                             [("CompanyName", "Mislabelled Ltd"), ("ProductName", "New"), ("Extra", "1")])
            self.assertEqual((tables(new)[1]["raw"], varfileinfo_raw(new)), (tables(old)[1]["raw"], varfileinfo_raw(old)))
            self.assertEqual(self.tool("version", path, "--get", "ProductName")[0], "New\n")
            cases.append((path, dict(resources(path))[(16, 1, 0)], ["\\StringFileInfo\\080904b0\\ProductName"]))
        self.assert_explorer(cases, ["ProductName", "Extra"])

    def test_language_and_create(self):
        cases = []
        for arch in ARCHES:
            path = self.fixture("multi", arch)
            before = resources(path)
            self.tool("version", path, "--language", "1031", "--set", "Comments=Neu")
            self.assert_only_changed(before, resources(path), [V1031])
            german = tables(walk(dict(resources(path))[V1031]))
            self.assertEqual([(t["key"], strings(t)) for t in german],
                             [("040704E4", [("CompanyName", "Deutsche Werke"), ("Comments", "Neu")])])
            before = resources(path)
            self.refused(65, "version", path, "--language", "2052", "--set", "ProductName=\u4e2d\u6587")
            self.tool("version", path, "--language", "2052", "--create", "--code-page", "936",
                      "--set", "ProductName=\u4e2d\u6587")
            self.assert_only_changed(before, resources(path), [(16, 1, 2052)])
            made = walk(dict(resources(path))[(16, 1, 2052)])
            self.assertEqual([(t["key"], strings(t)) for t in tables(made)], [("080403a8", [("ProductName", "\u4e2d\u6587")])])
            self.assertEqual([(v["key"], v["pairs"]) for c in made["children"] if c["key"] == "VarFileInfo"
                              for v in c["items"]], [("Translation", [(2052, 936)])])
            self.assertEqual(self.tool("version", path, "--language", "2052", "--get", "ProductName")[0], "\u4e2d\u6587\n")

            # A resource of the language without a table of it.
            path = self.fixture("mislabeled", arch)
            self.refused(65, "version", path, "--language", "0", "--set", "Comments=x")
            old = walk(dict(resources(path))[(16, 1, 0)])
            self.tool("version", path, "--language", "0", "--create", "--set", "Comments=x")
            new = walk(dict(resources(path))[(16, 1, 0)])
            self.assertEqual([(t["key"], strings(t)) for t in tables(new)][2:], [("000004b0", [("Comments", "x")])])
            self.assertEqual([t["raw"] for t in tables(new)[:2]], [t["raw"] for t in tables(old)[:2]])
            cases.append((path, dict(resources(path))[(16, 1, 0)], []))
        self.assert_explorer(cases, ["Comments", "ProductName"])

    def test_all_languages(self):
        cases = []
        for arch in ARCHES:
            path = self.fixture("multi", arch)
            before = resources(path)
            self.tool("version", path, "--all-languages", "--set", "CompanyName=Everyone", "--file-version", "5.5")
            after = resources(path)
            versions = [k for k, _ in before if k[0] == RT_VERSION]
            self.assert_only_changed(before, after, versions)
            for key in versions:
                old, new = walk(dict(before)[key]), walk(dict(after)[key])
                self.assertEqual(version_text(*new["fixed"][2:4]), "5.5.0.0", key)
                self.assertEqual(varfileinfo_raw(new), varfileinfo_raw(old), key)
                for t_old, t_new in zip(tables(old), tables(new), strict=True):
                    want = dict(strings(t_old), CompanyName="Everyone", FileVersion="5.5")
                    self.assertEqual(dict(strings(t_new)), want, (key, t_old["key"]))
            cases.append((path, dict(after)[V1033], []))
        self.assert_explorer(cases, ["CompanyName", "FileVersion", "FileDescription"])

    def test_file_without_version_information(self):
        cases = []
        for arch in ARCHES:
            for ext, file_type in (("exe", 1), ("dll", 2)):
                path = self.fixture("noversion", arch, ext)
                before = resources(path)
                self.refused(65, "version", path, "--language", "1031", "--set", "ProductName=Fresh")
                self.tool("version", path, "--set", "ProductName=Fresh", "--file-version", "3.1")
                self.assert_only_changed(before, resources(path), [V1033])
                view = walk(dict(resources(path))[V1033])
                fixed = view["fixed"]
                self.assertEqual((version_text(*fixed[2:4]), version_text(*fixed[4:6]), fixed[8], fixed[9]),
                                 ("3.1.0.0", "3.1.0.0", 0x40004, file_type))
                self.assertEqual([(t["key"], dict(strings(t))) for t in tables(view)],
                                 [("040904b0", {"ProductName": "Fresh", "FileVersion": "3.1", "ProductVersion": "3.1"})])
                self.assertEqual([(v["key"], v["pairs"]) for c in view["children"] if c["key"] == "VarFileInfo"
                                  for v in c["items"]], [("Translation", [(1033, 1200)])])
                cases.append((path, dict(resources(path))[V1033], []))
            path = self.fixture("noversion", arch, copy="german")
            self.tool("version", path, "--language", "1031", "--create", "--set", "ProductName=Neu")
            self.assertEqual([(t["key"], strings(t)) for t in tables(walk(dict(resources(path))[V1031]))],
                             [("040704b0", [("ProductName", "Neu")])])
        self.assert_explorer(cases)

    def test_blocks_past_the_length_field_are_refused(self):
        for arch in ARCHES:
            path = self.fixture("multi", arch)
            err = self.refused(14, "version", path, "--set", "Comments=" + "x" * 40000)
            self.assertIn('"Comments"', err)
            self.assertIn("65535", self.refused(14, "version", path, "--set", "Comments=" + "x" * 32500))
            # The Japanese resource could take it, the shown one cannot: nothing is written.
            self.refused(14, "version", path, "--all-languages", "--set", "Comments=" + "x" * 32500)
            self.tool("version", path, "--language", "1041", "--set", "Comments=" + "x" * 32500)

    def test_rcedit(self):
        badge = os.path.join(os.path.dirname(os.path.dirname(HERE)), "samples", "badge.ico")
        cases = []
        for arch in ARCHES:
            path = self.fixture("multi", arch)
            before = resources(path)
            out, _ = self.tool("rcedit", path, "--set-version-string", "ProductName", "Peer Name",
                               "--set-version-string", "Build Tag", "b7", "--set-file-version", "4.3.2.1",
                               "--set-product-version", "9.9", "--set-icon", badge)
            self.assertEqual(out, "")
            after = resources(path)
            for key in (V1031, V1041, V2):
                self.assertEqual(dict(after)[key], dict(before)[key])
            view = walk(dict(after)[V1033])
            self.assertEqual((version_text(*view["fixed"][2:4]), version_text(*view["fixed"][4:6])), ("4.3.2.1", "9.9.0.0"))
            self.assertEqual({k: v for k, v in strings(tables(view)[1]) if k in ("ProductName", "Build Tag", "FileVersion",
                              "ProductVersion")}, {"ProductName": "Peer Name", "Build Tag": "b7", "FileVersion": "4.3.2.1",
                                                   "ProductVersion": "9.9"})
            self.assertEqual(digest(group_images(path)), digest(parse_ico(read(badge))))
            self.assertEqual(self.tool("rcedit", path, "--get-version-string", "ProductName")[0], "Peer Name\n")
            self.refused(65, "rcedit", path, "--get-version-string", "NoSuchKey")
            cases.append((path, dict(after)[V1033], []))
        self.assert_explorer(cases, ["ProductName", "Build Tag", "FileVersion", "ProductVersion"])

    def test_from_json_onto_other_files(self):
        for arch in ARCHES:
            source = self.fixture("multi", arch)
            want = self.version_json(source)
            with open(os.path.join(self.work, "v.json"), "w") as f:
                json.dump(want, f)
            for target in (self.fixture("noversion", arch), self.fixture("mislabeled", arch)):
                self.tool("version", target, "--from-json", os.path.join(self.work, "v.json"))
                self.assertEqual(self.version_json(target), want, target)
                old, new = walk(dict(resources(source))[V1033]), walk(dict(resources(target))[V1033])
                self.assertEqual(new["fixed"], old["fixed"])
                self.assertEqual([c["key"] for c in new["children"]], ["StringFileInfo", "VarFileInfo", "VarFileInfo"])
                self.assertEqual([(t["key"], strings(t)) for t in tables(new)], [(t["key"], strings(t)) for t in tables(old)])

    def test_from_json_of_another_language_replaces_it(self):
        path = self.fixture("multi", "pe32")
        german = self.version_json(path, "--language", "1031")
        with open(os.path.join(self.work, "de.json"), "w") as f:
            json.dump(german, f)
        self.tool("version", path, "--from-json", os.path.join(self.work, "de.json"))
        keys = [k for k, _ in resources(path)]
        self.assertEqual(len(keys), len(set(keys)), "duplicate resources: %s" % keys)
        self.assertEqual(self.version_json(path, "--language", "1031"), german)

    def test_own_json_leaves_the_file_byte_identical(self):
        for arch in ARCHES:
            for name in ("multi", "mislabeled"):
                path = self.fixture(name, arch)
                original = read(path)
                with open(os.path.join(self.work, "own.json"), "w") as f:
                    json.dump(self.version_json(path), f)
                out, _ = self.tool("version", path, "--from-json", os.path.join(self.work, "own.json"))
                self.assertTrue(read(path) == original, path)
                self.assertIn("version information unchanged", out)


# ---- The corpus round trip ----

class Corpus(ToolTest):
    """Every Wine PE32 (i386) and PE32+ (x86_64) file with version information:
    its JSON written onto a copy of itself that holds another file's version
    information, and onto a file without any; both read back."""

    @classmethod
    def setUpClass(cls):
        folders = [(wine_folder(["libwine:i386", "wine32:i386", "wine32"], "i386-windows", None), 0x10B, "pe32"),
                   (wine_folder(["libwine:amd64", "libwine", "wine64"], "x86_64-windows", None), 0x20B, "pe32plus")]
        if not all(f for f, _, _ in folders):
            raise unittest.SkipTest("Wine's i386-windows or x86_64-windows folder was not found")
        start = time.monotonic()
        os.makedirs(OPTS.work, exist_ok=True)
        cls.root = tempfile.mkdtemp(prefix="corpus-", dir=OPTS.work)
        files = [(os.path.join(f, n), arch) for f, magic, arch in folders for n in sorted(os.listdir(f))
                 if optional_magic(os.path.join(f, n)) == magic]
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            shown = list(pool.map(lambda fa: run([OPTS.vornres, "version", fa[0], "--json"]), files))
        jobs = []
        for (path, arch), (code, out, _) in zip(files, shown):
            info = json.loads(out)["versionInfo"] if code == 0 else None
            if info:
                jobs.append({"file": path, "arch": arch, "info": info, "at": os.path.join(cls.root, str(len(jobs)))})
        for i, job in enumerate(jobs):
            other = next(j for j in jobs[i + 1:] + jobs[:i + 1] if j["arch"] == job["arch"])
            job["before"] = dict(other["info"], resource=job["info"]["resource"])
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            list(pool.map(cls.round_trip, jobs))
        cls.wine_skip = None
        try:
            keys = lambda j: sorted({k for b in j["info"]["blocks"] for t in b.get("StringFileInfo", [])  # noqa: E731
                                     for k in t["strings"]})
            readings = iter(Wine.read([(p, keys(j), []) for j in jobs for p in [j["file"]] + list(j["trips"])],
                                      cls.root))
            for job in jobs:
                job["wine"] = next(readings)
                job["wine_trips"] = {path: next(readings) for path in job["trips"]}
        except unittest.SkipTest as skip:
            cls.wine_skip = str(skip)
        cls.jobs = jobs
        cls.seconds = time.monotonic() - start

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    @staticmethod
    def round_trip(job):
        """job["trips"]: each written file and what went wrong, or None."""
        os.makedirs(job["at"])

        def tool(path, name, info):
            with open(os.path.join(job["at"], name), "w") as f:
                json.dump({"file": "", "versionInfo": info}, f)
            return run([OPTS.vornres, "version", path, "--from-json", os.path.join(job["at"], name)])

        def problem(path, result):
            code, _, err = result
            if code == 0:
                code, out, err = run([OPTS.vornres, "version", path, "--json"])
            if code:
                return err.strip()
            got = json.loads(out)["versionInfo"]
            return None if got == job["info"] else "read back %s" % json.dumps(got)[:300]

        copy = job["copy"] = os.path.join(job["at"], os.path.basename(job["file"]))
        shutil.copyfile(job["file"], copy)
        code, _, err = tool(copy, "v.json", job["info"])
        job["noop"] = code == 0 and read(copy) == read(job["file"])
        job["trips"] = {}
        replaced = tool(copy, "before.json", job["before"])
        job["trips"][copy] = problem(copy, tool(copy, "v.json", job["info"]) if replaced[0] == 0 else replaced)
        ext = "dll" if job["file"].lower().endswith(".dll") else "exe"
        added = os.path.join(job["at"], "noversion." + ext)
        shutil.copyfile(os.path.join(OPTS.fixtures, "noversion-%s.%s" % (job["arch"], ext)), added)
        job["trips"][added] = problem(added, tool(added, "v.json", job["info"]))

    def test_round_trip(self):
        failed = ["%s onto %s: %s" % (j["file"], os.path.basename(p), why) for j in self.jobs
                  for p, why in j["trips"].items() if why]
        trips = sum(len(j["trips"]) for j in self.jobs)
        print("\ncorpus: %d files with version information (%d PE32, %d PE32+), %d of %d round trips passed "
              "(onto a copy of the file holding another's, and onto one without), %.0f s"
              % (len(self.jobs), sum(j["arch"] == "pe32" for j in self.jobs),
                 sum(j["arch"] == "pe32plus" for j in self.jobs), trips - len(failed), trips, self.seconds),
              file=sys.stderr)
        self.assertGreater(len(self.jobs), 100)
        self.assertEqual(failed, [])

    def test_wine_reads_the_same(self):
        if self.wine_skip:
            self.skipTest(self.wine_skip)
        # Wine shows the JSON's resource in the file without version
        # information only where it shows it in the original as well.
        compared, differ = 0, []
        for j in self.jobs:
            for path, reading in j["wine_trips"].items():
                if j["trips"][path] or (path != j["copy"] and j["wine"]["fixed"] != explorer_fixed(j["info"])):
                    continue
                compared += 1
                if reading != j["wine"]:
                    differ.append("%s onto %s" % (j["file"], os.path.basename(path)))
        print("\ncorpus: Wine read %d of %d written files as their originals"
              % (compared - len(differ), sum(len(j["trips"]) for j in self.jobs)), file=sys.stderr)
        self.assertGreater(compared, 100)
        self.assertEqual(differ, [])

    def test_own_json_is_a_no_op(self):
        changed = [j["file"] for j in self.jobs if not j["noop"]]
        print("\ncorpus: own JSON left %d of %d files byte-identical" % (len(self.jobs) - len(changed), len(self.jobs)),
              file=sys.stderr)
        self.assertEqual(changed, [])


def explorer_fixed(info):
    """The fixed words Wine prints for the JSON's fixed information."""
    split = lambda v: [int(x) for x in v.split(".")]  # noqa: E731
    fv, pv = split(info["fileVersion"]), split(info["productVersion"])
    return (0xFEEF04BD, info.get("strucVersion", 0x10000), fv[0] << 16 | fv[1], fv[2] << 16 | fv[3],
            pv[0] << 16 | pv[1], pv[2] << 16 | pv[3], info["fileFlagsMask"], info["fileFlags"], info["fileOS"],
            info["fileType"], info["fileSubtype"], info["fileDate"] >> 32, info["fileDate"] & 0xFFFFFFFF)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--vornres", required=True)
    parser.add_argument("--fixtures", required=True, help="the built fixtures")
    parser.add_argument("--work", required=True, help="a folder for copies")
    parser.add_argument("--reader", help="wine_version_query.exe (x86_64); without it the Wine reads are skipped")
    parser.add_argument("--wine-run", help="cmake/wine-run.sh")
    parser.add_argument("--wineprefix")
    args, rest = parser.parse_known_args()
    OPTS.__dict__.update(vars(args))
    OPTS.vornres = os.path.abspath(args.vornres)
    # Extra arguments pick tests by part of their name.
    suite = unittest.TestSuite(t for c in unittest.defaultTestLoader.loadTestsFromModule(sys.modules[__name__])
                               for t in c if not rest or any(r in t.id() for r in rest))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        sys.exit(1)
    sys.exit(77 if result.skipped else 0)


if __name__ == "__main__":
    main()
