#!/usr/bin/python3
"""vornres keeps its promises on the inputs that once broke them: a failing
command leaves the file as it was (no side files, no OUT), --from-json takes
only what --json writes, --strip-signature strips, refusals exit with their
documented codes. Read back with pefile, osslsigncode and vornres itself."""
import argparse
import copy
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import pefile

INPUTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "regressions", "tool")
RT_ICON, RT_GROUP_ICON, RT_VERSION = 3, 14, 16
ARGS = argparse.Namespace()


def side_files(path):
    return [p for p in (path + ".vornres-journal", path + ".vornres-new") if os.path.exists(p)]


def leaves(path, type_id):
    """((name, language), bytes) of every resource of the type, as pefile reads them."""
    pe = pefile.PE(path)
    return [((n.id, leaf.id), pe.get_data(leaf.data.struct.OffsetToData, leaf.data.struct.Size))
            for t in pe.DIRECTORY_ENTRY_RESOURCE.entries if t.id == type_id
            for n in t.directory.entries for leaf in n.directory.entries]


class PromiseTest(unittest.TestCase):
    def setUp(self):
        os.makedirs(ARGS.work, exist_ok=True)
        self.work = tempfile.mkdtemp(prefix="promise-", dir=ARGS.work)
        self.addCleanup(shutil.rmtree, self.work, True)
        self.exe = self.input("t64_unmodified.exe")

    def input(self, name):
        shutil.copyfile(os.path.join(INPUTS, name), os.path.join(self.work, name))
        return os.path.join(self.work, name)

    def tool(self, *args, code=0):
        r = subprocess.run([ARGS.vornres, *args], capture_output=True, text=True, timeout=120)
        self.assertEqual(r.returncode, code, "vornres %s\n%s%s" % (" ".join(args)[:300], r.stdout, r.stderr))
        return r

    def refused(self, code, path, *args, out=None):
        """Exits `code` and leaves `path` byte-identical, with no side files and no OUT."""
        before = Path(path).read_bytes()
        err = self.tool(*args, code=code).stderr
        self.assertTrue(Path(path).read_bytes() == before, "a refused command changed the file")
        self.assertEqual(side_files(path), [])
        self.assertFalse(out and (os.path.exists(out) or side_files(out)), "a refused command left OUT")
        return err

    def json_file(self, document):
        Path(self.work, "v.json").write_text(json.dumps(document))
        return os.path.join(self.work, "v.json")

    def info(self, path):
        return json.loads(self.tool("version", path, "--json").stdout)["versionInfo"]


class FailuresLeaveTheFile(PromiseTest):
    def test_rcedit_checks_every_input_before_writing(self):
        ico = os.path.join(INPUTS, "one.ico")
        self.refused(8, self.exe, "rcedit", self.exe, "--set-version-string", "ProductName", "Changed",
                     "--set-icon", os.path.join(self.work, "absent.ico"))
        bad = self.input("rcedit_bad_group.exe")
        self.refused(9, bad, "rcedit", bad, "--set-version-string", "ProductName", "Changed", "--set-icon", ico)
        # Both edits in the one write that succeeds.
        self.tool("rcedit", self.exe, "--set-version-string", "ProductName", "Changed", "--set-file-version", "4.3.2.1",
                  "--set-icon", ico)
        self.assertEqual(self.tool("version", self.exe, "--get", "ProductName").stdout, "Changed\n")
        self.assertEqual(self.info(self.exe)["fileVersion"], "4.3.2.1")
        data = Path(ico).read_bytes()
        group, icons = leaves(self.exe, RT_GROUP_ICON)[0][1], dict((n, b) for (n, _), b in leaves(self.exe, RT_ICON))
        image = data[int.from_bytes(data[18:22], "little"):][:int.from_bytes(data[14:18], "little")]
        self.assertEqual((group[4:6], icons[int.from_bytes(group[18:20], "little")]), (b"\1\0", image))

    def test_version_refusals_leave_no_output(self):
        out = os.path.join(self.work, "out.exe")
        for args, code in ((["--from-json", self.json_file({"versionInfo": {}})], 64),
                           (["--language", "1031", "--set", "Comments=x"], 65),
                           (["--set", "Comments=" + "x" * 40000], 14),
                           (["--file-version", ""], 64), (["--product-version", ""], 64)):
            with self.subTest(args=args[0]):
                for stale in [p for p in [out] + side_files(out) if os.path.exists(p)]:
                    os.remove(stale)  # left by a case that failed
                self.refused(code, self.exe, "version", self.exe, *args, "-o", out, out=out)
        for args in (["--set-file-version", ""], ["--set-product-version", ""], ["--set-icon", ""]):
            self.refused(64, self.exe, "rcedit", self.exe, "--set-version-string", "ProductName", "x", *args)

    def test_files_of_2_gib_are_refused_as_such(self):
        head = Path(self.exe).read_bytes()
        try:
            os.truncate(self.exe, 2 << 30)  # sparse: only the program's bytes take room
        except OSError as error:
            self.skipTest("skipped: no 2 GiB file in the work folder: %s" % error)
        for args in (["info"], ["version", "--set", "Comments=x"], ["icon", "--from", os.path.join(INPUTS, "one.ico")]):
            with self.subTest(args=args[0]):
                self.assertIn("2 GiB", self.tool(args[0], self.exe, *args[1:], code=5).stderr)
                with open(self.exe, "rb") as f:
                    self.assertTrue(f.read(len(head)) == head and os.path.getsize(self.exe) == 2 << 30)
                self.assertEqual(side_files(self.exe), [])


class FromJson(PromiseTest):
    def test_what_json_never_writes_is_refused_by_its_path(self):
        for name, says in (("from_json_empty_object.json", "versionInfo is missing"),
                           ("from_json_null.json", "not an object")):
            self.assertIn(says, self.refused(64, self.exe, "version", self.exe, "--from-json", os.path.join(INPUTS, name)))
        own = {"versionInfo": self.info(self.exe)}
        var = lambda d: d["versionInfo"]["blocks"][1]["VarFileInfo"][0]  # noqa: E731
        table = lambda d: d["versionInfo"]["blocks"][0]["StringFileInfo"][0]  # noqa: E731
        cases = [
            (lambda d: d.clear(), "versionInfo is missing"),
            (lambda d: d.update(file="x", versionInfo={}), "versionInfo.resource is missing"),
            (lambda d: d.update(versionInfo=None), "--delete"),
            (lambda d: d["versionInfo"]["resource"].pop("language"), "versionInfo.resource.language is missing"),
            (lambda d: d["versionInfo"].pop("fileVersion"), "versionInfo.fileVersion is missing"),
            (lambda d: d["versionInfo"].update(fileType="1"), "versionInfo.fileType is not a number"),
            (lambda d: d["versionInfo"].update(fileVersoin="1"), "versionInfo.fileVersoin is not a member"),
            (lambda d: var(d).update(values=[[1033, 70000]]),
             "versionInfo.blocks[1].VarFileInfo[0].values[0] is not a pair of numbers 0..65535"),
            (lambda d: var(d).update(hex="00"), "versionInfo.blocks[1].VarFileInfo[0] has both values and hex"),
            (lambda d: table(d).pop("strings"), "versionInfo.blocks[0].StringFileInfo[0].strings is missing"),
            (lambda d: d["versionInfo"]["blocks"].append({}), "versionInfo.blocks[2] is not an object of one block"),
        ]
        for change, says in cases:
            with self.subTest(says):
                document = copy.deepcopy(own)
                change(document)
                self.assertIn(says, self.refused(64, self.exe, "version", self.exe, "--from-json", self.json_file(document)))
        # What --json wrote, edited, is written (no "file": it is optional).
        table(own)["strings"]["ProductName"] = "Via JSON"
        own["versionInfo"]["fileVersion"] = "7.6.5.4"
        self.tool("version", self.exe, "--from-json", self.json_file(own))
        self.assertEqual(self.info(self.exe), own["versionInfo"])
        self.assertEqual(pefile.PE(self.exe).VS_FIXEDFILEINFO[0].FileVersionMS, 0x70006)

    def test_delete(self):
        self.refused(64, self.exe, "version", self.exe, "--delete", "--set", "Comments=x")
        self.refused(65, self.exe, "version", self.exe, "--delete", "--language", "1031")
        for scope in (["--language", "1031"], ["--all-languages"]):
            self.tool("version", self.exe, "--language", "1031", "--create", "--set", "Comments=Hallo")
            self.tool("version", self.exe, "--delete", *scope)
        self.assertEqual(leaves(self.exe, RT_VERSION), [])
        self.assertEqual(len(leaves(self.exe, RT_ICON)), 7)
        self.refused(65, self.exe, "version", self.exe, "--delete")


class StripSignature(PromiseTest):
    """A signed file given --strip-signature is written even when the edits change nothing."""

    @classmethod
    def setUpClass(cls):
        if not (ARGS.osslsigncode and ARGS.openssl):
            raise unittest.SkipTest("skipped: osslsigncode or openssl is missing")
        os.makedirs(ARGS.work, exist_ok=True)
        cls.key, cls.cert = os.path.join(ARGS.work, "key.pem"), os.path.join(ARGS.work, "cert.pem")
        subprocess.run([ARGS.openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", cls.key, "-out",
                        cls.cert, "-days", "30", "-subj", "/CN=VornUtils promise test"], check=True, capture_output=True)

    def verify(self, path):
        return subprocess.run([ARGS.osslsigncode, "verify", "-CAfile", self.cert, "-in", path], capture_output=True,
                              text=True)

    def test_strip_without_a_change(self):
        out = os.path.join(self.work, "out.exe")
        cases = ([], ["--set", "CompanyName=Simple Launcher User"], ["--file-version", "1.1.0.14"], ["-o", out])
        for i, args in enumerate(cases):
            with self.subTest(args=args):
                signed = os.path.join(self.work, "signed-%d.exe" % i)
                subprocess.run([ARGS.osslsigncode, "sign", "-certs", self.cert, "-key", self.key, "-in", self.exe,
                                "-out", signed], check=True, capture_output=True)
                before, original = self.info(signed), Path(signed).read_bytes()
                self.assertEqual(self.verify(signed).returncode, 0)
                self.tool("version", signed, *args, "--strip-signature")
                result = out if args[:1] == ["-o"] else signed
                if result == out:
                    self.assertTrue(Path(signed).read_bytes() == original)
                check = self.verify(result)
                self.assertNotEqual(check.returncode, 0)
                self.assertIn("No signature found", check.stdout + check.stderr)
                pe = pefile.PE(result)
                security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[4]
                self.assertEqual((security.VirtualAddress, security.Size), (0, 0))
                self.assertTrue(pe.verify_checksum())  # osslsigncode set one
                self.assertEqual(self.info(result), before)
                self.assertEqual(side_files(result), [])


class Result(unittest.TextTestResult):
    passed = 0  # tests that ran and passed, not skipped

    def addSuccess(self, test):
        super().addSuccess(test)
        Result.passed += 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--vornres", required=True)
    parser.add_argument("--work", required=True, help="a folder for copies")
    for option in ("osslsigncode", "openssl"):  # a missing one skips what needs it
        parser.add_argument("--" + option, default=shutil.which(option),
                            type=lambda path: path if path and os.access(path, os.X_OK) else None)
    args, rest = parser.parse_known_args()
    ARGS.__dict__.update(vars(args), vornres=os.path.abspath(args.vornres))
    result = unittest.main(argv=[sys.argv[0], *rest], exit=False,
                           testRunner=unittest.TextTestRunner(verbosity=2, resultclass=Result)).result
    if not result.wasSuccessful():
        return 1
    return 0 if Result.passed else 77  # 77: everything skipped


if __name__ == "__main__":
    sys.exit(main())
