#!/usr/bin/env python3
"""vornres commits safely: signatures (read back by osslsigncode), PE
checksums (pefile), installers' CRCs (read here and by the installers under
Wine), -o, and edits of a file with a 256 MiB tail killed at any moment."""
import argparse
import collections
import functools
import hashlib
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib
from pathlib import Path

import pefile

ARGS = None
ARCHES = ('pe32', 'pe32plus')
TAIL_MIB = 256
KILLS = 50


def read(path):
    return Path(path).read_bytes()


def digest(path, limit=None):
    """SHA-1 of the file, or of its first `limit` bytes; None when it is missing."""
    if not os.path.exists(path):
        return None
    with open(path, 'rb') as f:
        return (hashlib.sha1(f.read(limit)) if limit else hashlib.file_digest(f, 'sha1')).hexdigest()


def pe_of(path):
    return pefile.PE(data=read(path))


def side_files(path):
    return [p for p in (path + '.vornres-new', path + '.vornres-journal') if os.path.exists(p)]


def vornres(*args, expect=0):
    r = subprocess.run([ARGS.vornres, *map(str, args)], capture_output=True, text=True, timeout=120)
    if expect is not None and r.returncode != expect:
        raise AssertionError(f'vornres {" ".join(map(str, args))}: exit {r.returncode}, expected {expect}\n{r.stderr}')
    return r


def work(name, arch=None, data=None):
    """A fresh path in the work folder, to a copy of a fixture, to `data` or to nothing yet."""
    path = os.path.join(ARGS.work, name)
    for stale in [path] + side_files(path):
        if os.path.exists(stale):
            os.remove(stale)
    if arch:
        shutil.copyfile(os.path.join(ARGS.fixtures, f'program-{arch}.exe'), path)
    elif data is not None:
        Path(path).write_bytes(data)
    return path


def make_ico(path, n=64):
    """An .ico of one 32-bit image, larger than the fixtures' icon."""
    image = (struct.pack('<IiiHHIIiiII', 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
             + bytes(range(256)) * (n * n // 64) + bytes(n * n // 8))
    Path(path).write_bytes(struct.pack('<HHHBBBBHHII', 0, 1, 1, n, n, 0, 0, 1, 32, len(image), 22) + image)
    return path


def make_png_ico(path, size):
    """An .ico of one 256 px PNG image of `size` bytes: images are copied as they are."""
    image = b'\x89PNG\r\n\x1a\n' + bytes((i * 7 + 3) & 0xFF for i in range(size - 8))
    Path(path).write_bytes(struct.pack('<HHHBBBBHHII', 0, 1, 1, 0, 0, 0, 0, 1, 32, len(image), 22) + image)
    return path


# One edit that makes the resource section grow, so that everything after it
# moves, and one that fits in the section as it is.
EDITS = {
    'icon': lambda path: ['icon', path, '--from', ARGS.big_icon],
    'version': lambda path: ['version', path, '--set', 'Comments=safety'],
}


# Edits killed on their way, each moving the tail its own way: by less than
# the piece it moves at a time and by more, growing and shrinking.
KILL_EDITS = dict(EDITS, **{
    'icon-large': lambda path: ['icon', path, '--from', ARGS.huge_icon],
    # With no checksum to sum on the way, the tail is copied inside the kernel.
    'icon-large-unsummed': lambda path: ['icon', path, '--from', ARGS.huge_icon, '--checksum', 'zero'],
    'icon-shrink': lambda path: ['icon', path, '--from', ARGS.small_icon],  # on a file holding the big icon
})


def image_end(pe):
    return max(s.PointerToRawData + s.SizeOfRawData for s in pe.sections if s.SizeOfRawData)


def installer_crc(data):
    """(first header offset, flags, stored CRC, CRC of the bytes it covers):
    the first header lies at a multiple of 512 after the image, its length
    counts to the end of the CRC, which covers the file from byte 512."""
    at = (image_end(pefile.PE(data=data, fast_load=True)) + 511) // 512 * 512
    while at + 28 <= len(data):
        flags, signature, magic, _, length = struct.unpack_from('<II12sII', data, at)
        if signature == 0xDEADBEEF and magic == b'NullsoftInst':
            end = at + length
            return at, flags, struct.unpack_from('<I', data, end - 4)[0], zlib.crc32(data[512:end - 4])
        at += 512
    raise AssertionError('no installer data after the image')


def wine(loader, *args):
    """Runs under Wine with the test's prefix. Output goes to a file: the
    server Wine starts may outlive the program and would hold a pipe."""
    env = dict(os.environ, WINEPREFIX=ARGS.wineprefix)
    with tempfile.TemporaryFile() as log:
        try:
            return subprocess.run(['sh', ARGS.wine_run, loader, *map(str, args)], env=env, stdout=log, stderr=log,
                                  timeout=240).returncode
        except subprocess.TimeoutExpired:
            return -1


@functools.cache
def wine_runs(loader, arch):
    """Whether Wine runs programs of `arch` here: the fixture is run once."""
    found = shutil.which(loader) or os.path.exists(f'/usr/lib/wine/{loader}')
    return bool(found) and wine(loader, os.path.join(ARGS.fixtures, f'program-{arch}.exe')) == 0


class Signatures(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not (ARGS.osslsigncode and ARGS.openssl):
            raise unittest.SkipTest('skipped: osslsigncode or openssl is missing')
        cls.key, cls.cert = os.path.join(ARGS.work, 'key.pem'), os.path.join(ARGS.work, 'cert.pem')
        subprocess.run([ARGS.openssl, 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', cls.key, '-out',
                        cls.cert, '-days', '30', '-subj', '/CN=VornUtils safety test'], check=True, capture_output=True)

    def sign(self, source, target):
        subprocess.run([ARGS.osslsigncode, 'sign', '-certs', self.cert, '-key', self.key, '-in', source,
                        '-out', target], check=True, capture_output=True)
        return target

    def verifies(self, path):
        return subprocess.run([ARGS.osslsigncode, 'verify', '-CAfile', self.cert, '-in', path],
                              capture_output=True).returncode == 0

    def signed(self, arch, kind):
        path = self.sign(work(f'unsigned-{arch}.exe', arch), work(f'signed-{kind}-{arch}.exe'))
        self.assertTrue(self.verifies(path))
        return path

    def test_edit_of_signed_file_is_refused(self):
        out = os.path.join(ARGS.work, 'refused-out.exe')
        for arch in ARCHES:
            for kind, edit in EDITS.items():
                with self.subTest(arch=arch, edit=kind):
                    path = self.signed(arch, kind)
                    before = digest(path)
                    for extra in ([], ['-o', out]):
                        self.assertIn('--strip-signature', vornres(*edit(path), *extra, expect=77).stderr)
                    self.assertEqual(digest(path), before)
                    self.assertFalse(os.path.exists(out))
                    self.assertEqual(side_files(path), [])

    def test_stripped_file_can_be_signed_again(self):
        for arch in ARCHES:
            for kind, edit in EDITS.items():
                with self.subTest(arch=arch, edit=kind):
                    path = self.signed(arch, kind)
                    vornres(*edit(path), '--strip-signature')
                    pe = pe_of(path)
                    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[4]
                    self.assertEqual((security.VirtualAddress, security.Size), (0, 0))
                    self.assertEqual(os.path.getsize(path), image_end(pe))
                    self.assertIsNone(pe.get_overlay_data_start_offset())
                    self.assertTrue(pe.verify_checksum())  # osslsigncode had set one
                    self.assertTrue(self.verifies(self.sign(path, work('resigned.exe'))))

    def test_kept_signature_moves_and_no_longer_holds(self):
        for arch in ARCHES:
            for kind, edit in EDITS.items():
                with self.subTest(arch=arch, edit=kind):
                    path = self.signed(arch, kind)
                    old = read(path)
                    was = pe_of(path).OPTIONAL_HEADER.DATA_DIRECTORY[4]
                    self.assertIn('warning', vornres(*edit(path), '--keep-signature').stderr)
                    new = read(path)
                    pe = pefile.PE(data=new)
                    now = pe.OPTIONAL_HEADER.DATA_DIRECTORY[4]
                    self.assertEqual(now.Size, was.Size)
                    self.assertEqual(new[now.VirtualAddress:now.VirtualAddress + now.Size],
                                     old[was.VirtualAddress:was.VirtualAddress + was.Size])
                    self.assertEqual(now.VirtualAddress + now.Size, len(new))
                    if kind == 'icon':
                        self.assertGreater(now.VirtualAddress, was.VirtualAddress)
                    self.assertTrue(pe.verify_checksum())
                    self.assertFalse(self.verifies(path))


class Checksum(unittest.TestCase):
    def test_checksum_handling(self):
        # Whether the file has a checksum, the options, what it must be after: valid, kept or 0.
        # 'tail': 2 MiB + 1 of data after the image, which an edit in place moves.
        cases = {'set': (True, [], 'valid'), 'zero': (False, [], 0), 'keep': (True, ['--checksum', 'keep'], 'kept'),
                 'update': (False, ['--checksum', 'update'], 'valid'), 'zeroed': (True, ['--checksum', 'zero'], 0),
                 'tail': (True, [], 'valid')}
        for arch in ARCHES:
            for kind, edit in EDITS.items():
                for case, (set_before, options, want) in cases.items():
                    with self.subTest(arch=arch, edit=kind, case=case):
                        path = work('sum.exe', arch)
                        if case == 'tail':
                            with open(path, 'ab') as f:
                                f.write(random.Random(7).randbytes((2 << 20) + 1))
                        pe = pe_of(path)
                        pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum() if set_before else 0
                        path = work('sum.exe', data=bytes(pe.write()))
                        self.assertEqual(pe_of(path).verify_checksum(), set_before)
                        vornres(*edit(path), *options)
                        now = pe_of(path)
                        meant = {'valid': now.generate_checksum(), 'kept': pe.OPTIONAL_HEADER.CheckSum}.get(want, want)
                        self.assertEqual(now.OPTIONAL_HEADER.CheckSum, meant)


NSIS_SCRIPT = r'''Unicode true
Name "VornUtils safety"
OutFile "{out}"
Target {target}
CRCCheck on
SilentInstall silent
RequestExecutionLevel user
InstallDir "$TEMP\vornres-safety"
VIProductVersion "1.2.3.4"
VIAddVersionKey "ProductName" "Safety installer"
VIAddVersionKey "FileVersion" "1.2.3.4"
Section
  SetOutPath "$INSTDIR"
  File payload.bin
  File readme.txt
  SetOutPath "$INSTDIR\sub"
  File numbers.txt
SectionEnd
'''
# Each installer's Target, the Wine loader that runs it, the kind of program it is.
NSIS_TARGETS = {'x86-unicode': ('wine', 'pe32'), 'amd64-unicode': ('wine64', 'pe32plus')}


class Installers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not ARGS.makensis:
            raise unittest.SkipTest('skipped: makensis is missing')
        cls.dir = os.path.join(ARGS.work, 'nsis')
        os.makedirs(cls.dir)
        cls.payload = {'payload.bin': random.Random(7).randbytes(300_000), 'readme.txt': b'VornUtils safety\r\n',
                       os.path.join('sub', 'numbers.txt'): ''.join(f'{i}\n' for i in range(20000)).encode()}
        for name, data in cls.payload.items():
            Path(cls.dir, os.path.basename(name)).write_bytes(data)
        for target in NSIS_TARGETS:
            Path(cls.dir, 'setup.nsi').write_text(NSIS_SCRIPT.format(out=f'setup-{target}.exe', target=target))
            subprocess.run([ARGS.makensis, '-V2', 'setup.nsi'], cwd=cls.dir, check=True, capture_output=True)

    def install(self, loader, installer, name):
        """Runs the installer into a new folder; its exit status and every file it installed."""
        folder = os.path.join(self.dir, name)
        code = wine(loader, installer, '/D=Z:' + folder.replace('/', '\\'))
        return code, {os.path.relpath(os.path.join(root, f), folder): read(os.path.join(root, f))
                      for root, _, files in os.walk(folder) for f in files}

    def crc_holds(self, data):
        at, flags, stored, computed = installer_crc(data)
        self.assertEqual(stored, computed)
        return at, flags

    def test_crc_after_edits_and_the_installer_runs(self):
        for target, (loader, arch) in NSIS_TARGETS.items():
            with self.subTest(target=target):
                original = read(os.path.join(self.dir, f'setup-{target}.exe'))
                header, flags = self.crc_holds(original)  # as makensis wrote it: the reading is right
                self.assertEqual(flags & 4, 0, 'the installer checks its CRC')
                # With a PE checksum too: it must be computed over the new CRC.
                pe = pefile.PE(data=original)
                pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
                path = work(f'edited-{target}.exe', data=bytes(pe.write()))

                vornres('icon', path, '--from', ARGS.big_icon)
                self.assertGreater(self.crc_holds(read(path))[0], header)
                vornres('version', path, '--set', 'ProductName=Edited', '--file-version', '2.3.4.5')
                edited = read(path)
                self.crc_holds(edited)
                pe = pefile.PE(data=edited)
                self.assertTrue(pe.verify_checksum())
                strings = {k: v for info in pe.FileInfo[0] if info.Key == b'StringFileInfo'
                           for table in info.StringTable for k, v in table.entries.items()}
                self.assertEqual(strings[b'ProductName'], b'Edited')

                if not wine_runs(loader, arch):
                    print(f'skipped: running the {target} installer: Wine cannot run {arch} programs here')
                    continue
                self.assertEqual(self.install(loader, path, f'installed-{target}'), (0, self.payload))
                # The control: one byte off, in padding that only the CRC covers.
                broken = bytearray(edited)
                broken[installer_crc(edited)[0] - 1] ^= 0xFF
                code, files = self.install(loader, work(f'broken-{target}.exe', data=bytes(broken)), f'broken-{target}')
                self.assertNotEqual(code, 0)
                self.assertEqual(files, {})

    def test_unknown_appended_data_is_kept(self):
        extra = random.Random(11).randbytes(100_001)
        for arch in ARCHES:
            for kind, edit in EDITS.items():
                with self.subTest(arch=arch, edit=kind):
                    path = work(f'appended-{arch}.exe', data=read(work('plain.exe', arch)) + extra)
                    stderr = vornres(*edit(path)).stderr
                    self.assertIn('warning', stderr)
                    self.assertIn(str(len(extra)), stderr)
                    pe = pe_of(path)
                    self.assertEqual(pe.get_overlay(), extra)
                    self.assertTrue(pe.verify_checksum())


class Output(unittest.TestCase):
    def test_output_leaves_input_and_equals_in_place_result(self):
        for arch in ARCHES:
            for kind, edit in EDITS.items():
                with self.subTest(arch=arch, edit=kind):
                    source, in_place = work(f'source-{arch}.exe', arch), work(f'in-place-{arch}.exe', arch)
                    for path in (source, in_place):
                        os.chmod(path, 0o751)
                    before = digest(source)
                    vornres(*edit(in_place))
                    out = work('out.exe', data=b'an older file, to be replaced')
                    vornres(*edit(source), '-o', out)
                    self.assertEqual(digest(source), before)
                    self.assertEqual(read(out), read(in_place))
                    self.assertNotEqual(digest(out), before)
                    for path in (source, in_place, out):
                        self.assertEqual(os.stat(path).st_mode & 0o7777, 0o751, path)
                    self.assertEqual(side_files(out) + side_files(source), [])
                    # An edit that changes nothing writes OUT all the same.
                    same = work('same.exe')
                    vornres('version', source, '--set', 'CompanyName=VornUtils sample', '-o', same)
                    self.assertEqual(digest(same), before)


class CrashSafety(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        free = shutil.disk_usage(ARGS.work).free
        if free < 4 * (TAIL_MIB << 20):
            raise unittest.SkipTest(f'skipped: {free >> 20} MiB free in the work folder, too little')
        # Every 4 KiB of the tail says where it belongs.
        base = bytearray(random.Random(3).randbytes(1 << 20))
        tail = hashlib.sha1()
        cls.pristine = work('crash-pristine.exe', 'pe32plus')
        with open(cls.pristine, 'ab') as f:
            for mib in range(TAIL_MIB):
                for k in range(0, 1 << 20, 4096):
                    struct.pack_into('<II', base, k, mib, k)
                f.write(base)
                tail.update(base)
        cls.big_pristine = work('crash-pristine-big.exe')
        vornres('icon', cls.pristine, '--from', ARGS.big_icon, '-o', cls.big_pristine)
        cls.tail, cls.results = tail.hexdigest(), {}
        cls.originals = {path: digest(path) for path in (cls.pristine, cls.big_pristine)}

    def start(self, kind):
        """The file an edit of this kind is made on, and its digest."""
        path = self.big_pristine if kind == 'icon-shrink' else self.pristine
        return path, self.originals[path]

    def uncut(self, kind, output=False):
        """Runs to their end: how long one takes, the hashes of the result and of its first MiB."""
        if (kind, output) not in self.results:
            target = os.path.join(ARGS.work, 'crash.exe')
            made = os.path.join(ARGS.work, 'crash-out.exe') if output else target
            durations, hashes = [], set()
            pristine, original = self.start(kind)
            for _ in range(2):  # the longer of two runs, the load on the machine varies
                shutil.copyfile(pristine, target)
                inode = os.stat(target).st_ino
                start = time.monotonic()
                vornres(*KILL_EDITS[kind](target), *(['-o', made] if output else []))
                durations.append(time.monotonic() - start)
                if not output:
                    self.assertEqual(os.stat(target).st_ino, inode, 'edited in the file itself')
                hashes.add(digest(made))
            self.assertEqual(len(hashes), 1, 'the same edit twice, the same bytes')
            with open(made, 'rb') as f:
                pefile.PE(data=f.read(1 << 20), fast_load=True)
                f.seek(-(TAIL_MIB << 20), os.SEEK_END)
                self.assertEqual(hashlib.file_digest(f, 'sha1').hexdigest(), self.tail, 'the tail, whole at the end')
            self.results[kind, output] = max(durations), hashes.pop(), digest(made, 1 << 20)
            self.assertNotEqual(self.results[kind, output][1], original)
        return self.results[kind, output]

    def kill_runs(self, kind, output):
        target = os.path.join(ARGS.work, 'crash.exe')
        out = os.path.join(ARGS.work, 'crash-out.exe') if output else None
        written = out or target
        duration, result, result_head = self.uncut(kind, output)
        pristine, original = self.start(kind)
        untouched = None if out else original
        heads = (None if out else digest(pristine, 1 << 20), result_head)
        phases, outcomes = collections.Counter(), collections.Counter()
        restore = True
        for i in range(KILLS):
            if restore:
                shutil.copyfile(pristine, target)
            if out and os.path.exists(out):
                os.remove(out)
            # Denser early on, where the journal or the new file is begun.
            delay = duration * 1.3 * (i / (KILLS - 1)) ** 1.5
            process = subprocess.Popen([ARGS.vornres, *KILL_EDITS[kind](target), *(['-o', out] if out else [])],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(delay)
            finished = process.poll() is not None
            if not finished:
                os.kill(process.pid, signal.SIGKILL)
            code = process.wait()
            where = f'{kind}, kill {i} at {delay:.3f}s'
            pending = side_files(written)
            if pending:
                phase = 'during'
                outcomes['torn'] += digest(written, 1 << 20) not in heads
            else:
                state = digest(written)
                if state not in (untouched, result):
                    self.fail(f'{where}: {written} is neither as it was nor the result, with nothing to recover')
                phase = 'before' if state == untouched else 'after'
            if finished:
                self.assertEqual((code, phase), (0, 'after'), where)
            phases[phase] += 1
            # The next command on the file puts it right.
            vornres('info', written, expect=None if out else 0)
            self.assertEqual(side_files(written), [], where)
            if pending:
                state = digest(written)
                self.assertIn(state, (untouched, result), where)
            outcomes['result' if state == result else 'as before'] += 1
            if out:
                self.assertEqual(digest(target), original, where)
            restore = not out and state != original
        print(f'\n{kind}{" -o" if out else ""}: {KILLS} kills over {duration:.2f}s: {phases["before"]} before the '
              f'write, {phases["during"]} during ({outcomes["torn"]} left torn until recovered), {phases["after"]} '
              f'after; then {outcomes["as before"]} as before, {outcomes["result"]} the result', flush=True)
        self.assertGreater(phases['during'], 0, 'no kill landed while the edit was writing')

    def test_killed_edits(self):
        # Icons that move the tail, a version edit that moves nothing, and one to -o.
        for kind, output in [(kind, False) for kind in KILL_EDITS] + [('version', True)]:
            with self.subTest(edit=kind, output=output):
                self.kill_runs(kind, output)
        self.assertEqual(self.uncut('version', True)[1], self.uncut('version')[1])

    def test_command_during_an_edit_leaves_it_alone(self):
        """Another command on the file while an edit writes must not take
        that edit for one that was killed."""
        target = os.path.join(ARGS.work, 'crash.exe')
        for kind in EDITS:
            with self.subTest(edit=kind):
                side = '.vornres-journal'
                result = self.uncut(kind)[1]
                shutil.copyfile(self.pristine, target)
                process = subprocess.Popen([ARGS.vornres, *EDITS[kind](target)], stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL)
                while not os.path.exists(target + side) and process.poll() is None:
                    time.sleep(0.001)
                if process.poll() is not None:
                    print(f'skipped: the {kind} edit ended before it could be watched')
                    continue
                time.sleep(0.02)
                vornres('info', target)
                code = process.wait()
                state = digest(target)
                self.assertEqual(state, result if code == 0 else self.originals[self.pristine],
                                 f'{kind} edit, exit {code}: the file is ' +
                                 ('as before' if state == self.originals[self.pristine] else 'neither as before nor the result'))


    def test_journal_is_not_played_onto_another_file(self):
        """A file put in place of one whose edit was killed (restored, rebuilt,
        of another length or of the very length the edit left) is left as it
        is, and the journal is kept aside and named: killed as the journal
        appears, and halfway through a move of the tail."""
        target = os.path.join(ARGS.work, 'crash.exe')
        small = read(work('replacement.exe', 'pe32plus'))

        def rebuilt(length):
            data = bytearray(read(self.pristine)[:length].ljust(length, b'\0'))
            data[0x600] ^= 0xFF  # other code at the same place
            return bytes(data)

        replacements = {'another length, renamed over': (lambda n: small, True),
                        'rebuilt, renamed over': (rebuilt, True),
                        'rebuilt, written over': (rebuilt, False),
                        'zeros, written over': (lambda n: bytes(n), False)}
        for kind, share in (('version', 0), ('icon', 0.5)):
            for way, (make, rename) in replacements.items():
                with self.subTest(edit=kind, replacement=way):
                    delay = self.uncut(kind)[0] * share
                    shutil.copyfile(self.pristine, target)
                    process = subprocess.Popen([ARGS.vornres, *EDITS[kind](target)], stdout=subprocess.DEVNULL,
                                               stderr=subprocess.DEVNULL)
                    while not os.path.exists(target + '.vornres-journal') and process.poll() is None:
                        time.sleep(0.001)
                    time.sleep(delay)
                    os.kill(process.pid, signal.SIGKILL)
                    process.wait()
                    if not os.path.exists(target + '.vornres-journal'):
                        self.skipTest(f'skipped: the {kind} edit ended before it could be killed')
                    # A journal cut short as it was written is dropped: nothing had been written under it.
                    journal = read(target + '.vornres-journal')
                    static = struct.unpack_from('<I', journal, 8)[0] if len(journal) >= 12 else len(journal) + 1
                    complete = len(journal) >= -(-static // 4096) * 4096 + 40
                    replacement = make(os.path.getsize(target))
                    if rename:
                        Path(target + '.tmp').write_bytes(replacement)
                        os.replace(target + '.tmp', target)
                    else:
                        with open(target, 'r+b') as f:
                            f.write(replacement)
                            f.truncate()
                    r = vornres('info', target, expect=None)
                    self.assertEqual(read(target), replacement)
                    self.assertEqual(side_files(target), [])
                    kept = target + '.vornres-journal.unmatched'
                    self.assertEqual(os.path.exists(kept), complete, 'a whole journal is kept aside')
                    if complete:
                        self.assertIn(kept, r.stderr)
                        os.remove(kept)


class Result(unittest.TextTestResult):
    passed = 0  # tests that ran and passed, not skipped

    def addSuccess(self, test):
        super().addSuccess(test)
        Result.passed += 1


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__)
    for option in ('vornres', 'fixtures', 'work', 'wine-run', 'wineprefix'):
        parser.add_argument('--' + option, required=True)
    for option in ('osslsigncode', 'openssl', 'makensis'):  # a missing one skips what needs it
        parser.add_argument('--' + option, type=lambda path: path if os.access(path, os.X_OK) else None)
    ARGS, rest = parser.parse_known_args()
    shutil.rmtree(ARGS.work, ignore_errors=True)
    os.makedirs(ARGS.work)
    ARGS.big_icon = make_ico(os.path.join(ARGS.work, 'big.ico'))
    ARGS.huge_icon = make_png_ico(os.path.join(ARGS.work, 'huge.ico'), 3 << 19)  # more than 1 MiB
    ARGS.small_icon = make_ico(os.path.join(ARGS.work, 'small.ico'), 16)
    runner = unittest.TextTestRunner(verbosity=2, resultclass=Result)
    result = unittest.main(argv=[sys.argv[0], *rest], testRunner=runner, exit=False).result
    if not result.wasSuccessful():
        return 1  # the work folder is kept, to be looked at
    shutil.rmtree(ARGS.work, ignore_errors=True)
    return 0 if Result.passed else 77  # 77: everything skipped


if __name__ == '__main__':
    sys.exit(main())
