#!/usr/bin/python3
"""vornres resources and vornres resource, read back with pefile.

Any resource by type and name: string and numbered keys, languages, the
refusals and their codes, a file without resources; and a 200 MiB blob put
into a 100 MiB PE32+ program (one of Wine's, with data appended, as a
single-executable application carries it), read back byte for byte by
pefile, after which the program must run under 64-bit Wine as before
(skipped, and said so, where Wine cannot start it).

Run with Debian's /usr/bin/python3, which has python3-pefile.
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import unittest

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "corpus"))
from check_corpus import KINDS, wine_folder  # noqa: E402

ARGS = None
MIB = 1 << 20


def vornres(*arguments):
    return subprocess.run([ARGS.vornres, *arguments], capture_output=True)


def resources(path):
    """{(type, name, language): bytes} as pefile reads them."""
    pe = pefile.PE(path)
    found = {}
    key = lambda e: str(e.name) if e.name is not None else e.id  # noqa: E731
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for t in root.entries if root else []:
        for n in t.directory.entries:
            for lang in n.directory.entries:
                data = lang.data.struct
                found[(key(t), key(n), lang.id)] = pe.get_data(data.OffsetToData, data.Size)
    pe.close()
    return found


class Resource(unittest.TestCase):
    def setUp(self):
        self.work = os.path.join(ARGS.work, self.id().rsplit(".", 1)[-1])
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.exe = os.path.join(self.work, "sample.exe")
        shutil.copyfile(ARGS.sample, self.exe)
        self.blob = os.path.join(self.work, "blob")
        with open(self.blob, "wb") as f:
            f.write(os.urandom(70001))

    def ok(self, *arguments):
        r = vornres(*arguments)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        return r

    def test_keys_languages_and_refusals(self):
        with open(self.blob, "rb") as f:
            blob = f.read()
        self.ok("resource", self.exe, "--set", "RCDATA", "NODE_SEA_BLOB", "--from", self.blob)
        self.ok("resource", self.exe, "--set", "#10", "7", "--language", "1031", "--from", self.blob)
        self.ok("resource", self.exe, "--set", "10", "7", "--language", "1033", "--from", ARGS.sample)
        found = resources(self.exe)
        self.assertEqual(found[(10, "NODE_SEA_BLOB", 0)], blob)
        self.assertEqual(found[(10, 7, 1031)], blob)
        with open(ARGS.sample, "rb") as f:
            self.assertEqual(found[(10, 7, 1033)], f.read())
        # What was there before is still there.
        before = resources(ARGS.sample)
        self.assertEqual({k: v for k, v in found.items() if k in before}, before)
        # The language Windows shows: 1033 before the others, a string name ignoring case.
        self.assertEqual(self.ok("resource", self.exe, "--get", "rt_rcdata", "Node_Sea_Blob").stdout, blob)
        with open(ARGS.sample, "rb") as f:
            self.assertEqual(self.ok("resource", self.exe, "--get", "10", "7").stdout, f.read())
        listed = json_list(self.exe)
        self.assertIn({"type": 10, "typeLabel": "RCDATA", "name": "NODE_SEA_BLOB", "language": 0, "codePage": 0,
                       "size": len(blob)}, listed)

        unchanged = read(self.exe)
        for code, arguments in ((65, ["--get", "RCDATA", "MISSING"]), (65, ["--remove", "RCDATA", "MISSING"]),
                                (64, ["--remove", "10", "7"]), (64, ["--set", "RCDATA", "X"]),
                                (64, ["--get", "RCDATA", "70000"])):
            r = vornres("resource", self.exe, *arguments)
            self.assertEqual(r.returncode, code, (arguments, r.stderr))
            self.assertEqual(read(self.exe), unchanged)
        self.ok("resource", self.exe, "--remove", "10", "7", "--language", "1031")
        self.ok("resource", self.exe, "--remove", "RCDATA", "NODE_SEA_BLOB")
        found = resources(self.exe)
        self.assertNotIn((10, 7, 1031), found)
        self.assertIn((10, 7, 1033), found)
        self.ok("resource", self.exe, "--remove", "10", "7", "--all-languages")
        self.assertEqual(resources(self.exe), before)

    def test_file_without_resources(self):
        bare = next((p for p in corpus_files() if not has_resources(p)), None)
        if bare is None:
            self.skipTest("no Wine file without resources found")
        copy = os.path.join(self.work, "bare" + os.path.splitext(bare)[1])
        shutil.copyfile(bare, copy)
        self.assertEqual(self.ok("resources", copy, "--json").stdout.strip(), b"[]")
        out = os.path.join(self.work, "out" + os.path.splitext(bare)[1])
        self.ok("resource", copy, "--set", "HTML", "INDEX", "--from", self.blob, "-o", out)
        self.assertEqual(read(copy), read(bare))
        with open(self.blob, "rb") as f:
            self.assertEqual(resources(out), {(23, "INDEX", 0): f.read()})


class LargeBlob(unittest.TestCase):
    def test_200_mib_blob_in_a_100_mib_program(self):
        program = os.path.join(corpus_folder("pe32plus") or "", "hostname.exe")
        if not os.path.exists(program):
            self.skipTest("Wine's x86_64 hostname.exe is not installed")
        work = os.path.join(ARGS.work, "large")
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
        exe, blob = os.path.join(work, "stamped.exe"), os.path.join(work, "blob")
        with open(program, "rb") as f, open(exe, "wb") as out:
            out.write(f.read())
            out.write(b"\x5a" * (100 * MIB - out.tell()))
        digest = hashlib.sha256()
        with open(blob, "wb") as f:
            for i in range(200):
                chunk = bytes([i]) * (MIB - 1) + os.urandom(1)
                digest.update(chunk)
                f.write(chunk)
        r = vornres("resource", exe, "--set", "RCDATA", "NODE_SEA_BLOB", "--from", blob)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        os.remove(blob)
        got = resources(exe)[(10, "NODE_SEA_BLOB", 0)]
        self.assertEqual(hashlib.sha256(got).hexdigest(), digest.hexdigest())
        del got
        # A new prefix's first starts fail now and then while another
        # test's Wine starts: a difference is tried again before it counts.
        for _ in range(3):
            before, after = run_under_wine(program, work), run_under_wine(exe, work)
            if before is None or before[0] != 0 or after == before:
                break
        if before is None or before[0] != 0:
            self.skipTest("64-bit Wine cannot run hostname.exe here: %r" % (before,))
        self.assertEqual(after, before)


def run_under_wine(program, work):
    """(exit code, stdout) of program under 64-bit Wine; None without Wine."""
    if not ARGS.wine_run:
        return None
    env = dict(os.environ, WINEPREFIX=os.path.join(work, "wineprefix"))
    try:
        r = subprocess.run(["sh", ARGS.wine_run, "wine64", program], capture_output=True, cwd=work, env=env,
                           stdin=subprocess.DEVNULL, timeout=300)
    except (OSError, subprocess.TimeoutExpired):
        return None
    return r.returncode, r.stdout


def corpus_folder(kind):
    leaf, packages, _ = KINDS[kind]
    return wine_folder(packages, leaf, None)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def json_list(path):
    import json
    return json.loads(vornres("resources", path, "--json").stdout)


def corpus_files():
    for kind in ("pe32plus", "pe32"):
        folder = corpus_folder(kind)
        if folder:
            for name in sorted(os.listdir(folder)):
                if name.endswith((".dll", ".exe")):
                    yield os.path.join(folder, name)


def has_resources(path):
    try:
        pe = pefile.PE(path, fast_load=True)
    except pefile.PEFormatError:
        return True
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[2]
    pe.close()
    return directory.VirtualAddress != 0 and directory.Size != 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--vornres", required=True)
    parser.add_argument("--sample", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--wine-run")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
