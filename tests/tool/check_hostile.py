#!/usr/bin/env python3
"""vornres on files whose headers or resources lie, and under the limits of
the machine: each either gets the edit it asked for, with everything else
kept, or is refused with the file as it was. The inputs are real programs
with one or two fields changed (tests/regressions/tool); pefile reads the
results."""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import pefile

ARGS = None
INPUTS = Path(__file__).resolve().parents[1] / 'regressions' / 'tool'
RT_VERSION = 16


def vornres(*args):
    return subprocess.run([ARGS.vornres, *map(str, args)], capture_output=True, text=True, timeout=120)


def copy(name, as_name=None):
    path = os.path.join(ARGS.work, as_name or name)
    for stale in (path, path + '.out', path + '.vornres-journal', path + '.vornres-new'):
        if os.path.exists(stale):
            os.remove(stale)
    shutil.copyfile(INPUTS / name, path)
    return path


def resources(data):
    """(type, name, language) -> bytes, as the loader sees them: zeros past a section's raw data."""
    pe = pefile.PE(data=data)
    found = {}
    if not hasattr(pe, 'DIRECTORY_ENTRY_RESOURCE'):
        return found
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for n in t.directory.entries:
            for lang in n.directory.entries:
                entry = lang.data.struct
                section = pe.get_section_by_rva(entry.OffsetToData)
                start = entry.OffsetToData - section.VirtualAddress
                raw = section.get_data()[start:start + entry.Size]
                key = (t.id if t.name is None else str(t.name), n.id if n.name is None else str(n.name), lang.id)
                found[key] = raw + bytes(entry.Size - len(raw))
    return found


def sections_contiguous(test, data):
    pe = pefile.PE(data=data)
    alignment = pe.OPTIONAL_HEADER.SectionAlignment
    for before, after in zip(pe.sections, pe.sections[1:]):
        size = before.Misc_VirtualSize or before.SizeOfRawData
        test.assertEqual(after.VirtualAddress, -(-(before.VirtualAddress + size) // alignment) * alignment,
                         f'{after.Name} follows {before.Name} without a gap')
    for s in pe.sections:
        test.assertLessEqual(s.PointerToRawData + s.SizeOfRawData, len(data), f'{s.Name} lies in the file')


class Refused(unittest.TestCase):
    """Files that cannot be edited without damage: each command is refused
    with its documented code, one message, and the file as it was, with no
    output or side file left."""

    def refused(self, name, code, *command, output=True):
        for out in ((False, True) if output else (False,)):
            path = copy(name)
            args = [command[0], path, *command[1:]] + (['-o', path + '.out'] if out else [])
            with self.subTest(file=name, command=' '.join(command), output=out):
                r = vornres(*args)
                self.assertEqual(r.returncode, code, r.stderr)
                self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
                self.assertTrue(r.stderr.startswith('vornres: '), r.stderr)
                self.assertEqual(Path(path).read_bytes(), (INPUTS / name).read_bytes())
                self.assertEqual([p for p in os.listdir(ARGS.work) if p.startswith(os.path.basename(path) + '.')], [])

    def test_sections_claiming_data_past_the_end(self):
        # .data claims 1.7 GB of raw data; a new section would go after it.
        self.refused('rawsize_past_eof.exe', 13, 'version', '--set', 'X=1')
        self.refused('rawsize_past_eof.exe', 13, 'icon', '--from', ARGS.icon)

    def test_new_resources_below_the_code_base(self):
        # The file could not be read again: its resources would lie below BaseOfCode.
        self.refused('norsrc_basecode_high.exe', 6, 'version', '--set', 'X=1')
        self.refused('norsrc_basecode_high.exe', 6, 'icon', '--from', ARGS.icon)

    def test_version_resource_with_a_lying_length(self):
        # A String's wLength is short by a few bytes: what was set would not read back.
        for command in (('version', '--set', 'Comments=Hello'), ('version', '--set', 'Comments=Hello', '--all-languages'),
                        ('version', '--file-version', '1.2.3.4')):
            self.refused('lying_string_len.exe', 15, *command)
        self.refused('lying_string_len.exe', 15, 'rcedit', '--set-version-string', 'Comments', 'Hello', output=False)

    def test_resources_that_would_change_identity(self):
        # A type id of 0x7FFFFFFE (ids are 16 bits), a name of no characters.
        for name in ('resid_above_ffff.dll', 'empty_name.exe'):
            self.refused(name, 13, 'version', '--set', 'X=1')
            self.refused(name, 13, 'icon', '--from', ARGS.icon)

    def test_reshaped_resource_tree(self):
        # The version resource's name entry leads straight to its data entry.
        path = copy('t64_unmodified.exe', 'reshaped.exe')
        data = bytearray(Path(path).read_bytes())
        pe = pefile.PE(data=bytes(data))
        version = next(t for t in pe.DIRECTORY_ENTRY_RESOURCE.entries if t.id == RT_VERSION)
        name = version.directory.entries[0]
        struct.pack_into('<I', data, name.struct.get_file_offset() + 4, name.directory.entries[0].struct.OffsetToData)
        Path(path).write_bytes(data)
        original = bytes(data)
        for command in (('version', path, '--set', 'X=1'), ('icon', path, '--from', ARGS.icon)):
            with self.subTest(command=command[0]):
                r = vornres(*command)
                self.assertEqual(r.returncode, 13, r.stderr)
                self.assertEqual(Path(path).read_bytes(), original)


class Kept(unittest.TestCase):
    """Files whose oddities the edit can work around: it succeeds, and keeps
    every other byte that matters."""

    def test_debug_directory_that_is_not_entries(self):
        # Size 0x200: the "entries" past the real ones are strings in .rdata.
        path = copy('debugdir_oversized.exe')
        r = vornres('icon', path, '--from', ARGS.big_icon)
        self.assertEqual(r.returncode, 0, r.stderr)
        before, after = pefile.PE(str(INPUTS / 'debugdir_oversized.exe')), pefile.PE(path)
        self.assertGreater(len(after.__data__), len(before.__data__), 'the section grew, so the data after it moved')
        for old, new in zip(before.sections, after.sections):
            if old.Name.startswith(b'.rsrc'):
                break
            self.assertEqual(old.get_data(), new.get_data(), f'{old.Name} is unchanged')

    def test_resource_raw_size_short_of_its_data(self):
        # .rsrc's raw data ends 0x3F0 bytes before its directory says; 1 KiB is appended.
        name = 'rsrc_rawsize_short.exe'
        path = copy(name)
        original = (INPUTS / name).read_bytes()
        r = vornres('version', path, '--set', 'X=1')
        self.assertEqual(r.returncode, 0, r.stderr)
        result = Path(path).read_bytes()
        raw_end = max(s.PointerToRawData + s.SizeOfRawData for s in pefile.PE(data=original).sections)
        self.assertTrue(result.endswith(original[raw_end:]), 'the appended bytes are kept')
        before, after = resources(original), resources(result)
        self.assertEqual({k: v for k, v in before.items() if k[0] != RT_VERSION},
                         {k: v for k, v in after.items() if k[0] != RT_VERSION})
        self.assertEqual(vornres('version', path, '--get', 'X').stdout.strip(), '1')

    def test_new_section_after_an_unaligned_last_section(self):
        # The last section's raw size is 0x1001 with FileAlignment 0x1000; data follows at its end.
        name = 'lastsec_rawsize_unaligned.dll'
        path = copy(name)
        original = (INPUTS / name).read_bytes()
        r = vornres('version', path, '--set', 'X=1')
        self.assertEqual(r.returncode, 0, r.stderr)
        result = Path(path).read_bytes()
        sections_contiguous(self, result)
        pe = pefile.PE(data=result)
        added = pe.sections[-1]
        self.assertEqual(added.Name.rstrip(b'\0'), b'.rsrc')
        appended = original[0xD001:]
        self.assertEqual(result[added.PointerToRawData + added.SizeOfRawData:], appended, 'appended data follows, whole')
        self.assertEqual(result[0x1000:0xD001], original[0x1000:0xD001], 'the sections are as they were')
        self.assertEqual(result[0xD001:added.PointerToRawData].count(0), added.PointerToRawData - 0xD001)
        self.assertLess(len(result) - len(original), 2 * pe.OPTIONAL_HEADER.FileAlignment, 'grew by what it needs')
        self.assertEqual(vornres('version', path, '--get', 'X').stdout.strip(), '1')


class Limits(unittest.TestCase):
    """A file-size limit or a full disk ends the edit with 5, one message and
    the file as it was."""

    def big(self, folder):
        path = os.path.join(folder, 'big.exe')
        shutil.copyfile(INPUTS / 't64_unmodified.exe', path)
        with open(path, 'ab') as f:
            f.write(os.urandom(8 << 20))
        return path

    def check_failed(self, path, r, original):
        self.assertEqual(r.returncode, 5, r.stderr)
        self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
        self.assertIn('room', r.stderr)
        self.assertEqual(Path(path).read_bytes(), original)
        self.assertEqual([p for p in os.listdir(os.path.dirname(path)) if 'vornres' in p], [])

    def test_file_size_limit(self):
        path = self.big(ARGS.work)
        original = Path(path).read_bytes()
        for limit in (len(original) + 100, len(original) - 4096):
            with self.subTest(limit=limit):
                r = subprocess.run(['prlimit', f'--fsize={limit}', ARGS.vornres, 'icon', path, '--from', ARGS.big_icon],
                                   capture_output=True, text=True, timeout=120)
                self.check_failed(path, r, original)

    def test_full_disk(self):
        folder = tempfile.mkdtemp(dir=ARGS.work)
        if subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=16m', 'tmpfs', folder], capture_output=True).returncode != 0:
            self.skipTest('skipped: a small file system cannot be mounted here (needs root)')
        try:
            path = self.big(folder)
            original = Path(path).read_bytes()
            for room in (64 << 10, 512 << 10, 2 << 20):
                with self.subTest(room=room):
                    filler = os.path.join(folder, 'filler')
                    if os.path.exists(filler):
                        os.remove(filler)
                    vfs = os.statvfs(folder)
                    with open(filler, 'wb') as f:
                        f.write(bytes(max(0, vfs.f_bavail * vfs.f_frsize - room)))
                    r = vornres('icon', path, '--from', ARGS.big_icon)
                    if r.returncode == 0:
                        continue  # it had room enough
                    os.remove(filler)
                    self.check_failed(path, r, original)
        finally:
            subprocess.run(['umount', folder])


def make_icon(path, size):
    """An .ico of one 32-bit image of `size` bytes."""
    image = struct.pack('<IiiHHIIiiII', 40, 64, 128, 1, 32, 0, 0, 0, 0, 0, 0) + os.urandom(size - 40)
    Path(path).write_bytes(struct.pack('<HHH', 0, 1, 1) + struct.pack('<BBBBHHII', 64, 64, 0, 0, 1, 32, size, 22) + image)
    return path


class Result(unittest.TextTestResult):
    passed = 0

    def addSuccess(self, test):
        super().addSuccess(test)
        Result.passed += 1


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--vornres', required=True)
    parser.add_argument('--work', required=True)
    ARGS, rest = parser.parse_known_args()
    shutil.rmtree(ARGS.work, ignore_errors=True)
    os.makedirs(ARGS.work)
    icons = tempfile.mkdtemp()
    ARGS.icon = make_icon(os.path.join(icons, 'small.ico'), 1 << 10)
    ARGS.big_icon = make_icon(os.path.join(icons, 'big.ico'), 600 << 10)
    runner = unittest.TextTestRunner(verbosity=2, resultclass=Result)
    result = unittest.main(argv=[sys.argv[0], *rest], testRunner=runner, exit=False).result
    shutil.rmtree(icons, ignore_errors=True)
    if not result.wasSuccessful():
        return 1
    return 0 if Result.passed else 77


if __name__ == '__main__':
    sys.exit(main())
