#!/usr/bin/env python3
"""Whole-command campaign for vornres: mutates real PE files (Wine's, the
sample, the regression inputs), runs whole commands on them and checks what
the user was promised with pefile, a reader that shares no code with vornres.

  fuzz/tool_campaign.py --vornres PATH [--seed N] [--runs N] [--minutes M]
                        [--findings DIR] [--jobs N]

Each finding is kept once per (command, kind) under DIR/KIND/COMMAND/: the
input, the command and what was seen. Ends with 'N passed, M failed' (M the
findings); exit 0 without findings, 1 with, 77 when pefile is missing."""
import argparse
import collections
import glob
import json
import multiprocessing
import os
import random
import resource
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from types import SimpleNamespace as NS

try:
    import pefile
except ImportError:
    pefile = None

ROOT = Path(__file__).resolve().parent.parent
BADGE = str(ROOT / 'samples' / 'badge.ico')
REGRESSIONS = ROOT / 'tests' / 'regressions' / 'tool'
DOCUMENTED = set(range(1, 17)) | {64, 65, 77}
OUT_OF_MEMORY = 2
MEMORY_LIMIT = 64 << 20  # address space: a peak RSS measured from here would count Python's own
TIMEOUT = 20
RT_ICON, RT_GROUP_ICON, RT_VERSION = 3, 14, 16
WRITES = {'version-set', 'file-version', 'from-json', 'icon', 'rcedit'}
WEIGHTS = {'info': 1, 'version-json': 1, 'icons': 0.5, 'extract-icon': 1, 'version-set': 2,
           'file-version': 1.5, 'from-json': 1.5, 'icon': 2, 'rcedit': 1.5}
ARGS = None
SEEDS = []


def u16(b, o):
    return struct.unpack_from('<H', b, o)[0] if o + 2 <= len(b) else 0


def u32(b, o):
    return struct.unpack_from('<I', b, o)[0] if o + 4 <= len(b) else 0


def align(v, a):
    return -(-v // a) * a if a else v


# ---- The file's layout, read here to place mutations and to check results --

def layout(data):
    """Header fields with their offsets, or None for a file that is no PE image."""
    if len(data) < 64 or data[:2] != b'MZ':
        return None
    nt = u32(data, 60)
    if nt + 24 > len(data) or data[nt:nt + 4] != b'PE\0\0':
        return None
    opt = nt + 24
    plus = u16(data, opt) == 0x20B
    dd = opt + (112 if plus else 96)
    L = NS(nt=nt, opt=opt, dd=dd, ndd=min(u32(data, dd - 4), 16), sa=u32(data, opt + 32), fa=u32(data, opt + 36),
           headers=u32(data, opt + 60), secs=[])
    at = opt + u16(data, nt + 20)
    for i in range(u16(data, nt + 6)):
        o = at + 40 * i
        if o + 40 > len(data):
            break
        L.secs.append(NS(off=o, name=data[o:o + 8], vs=u32(data, o + 8), va=u32(data, o + 12),
                         raw=u32(data, o + 16), ptr=u32(data, o + 20)))
    return L


def directory(data, L, i):
    return (u32(data, L.dd + 8 * i), u32(data, L.dd + 8 * i + 4)) if i < L.ndd else (0, 0)


def section_of(L, rva):
    # Where a damaged table lets ranges overlap, the section starting nearest wins.
    found = [(s.va, i) for i, s in enumerate(L.secs) if s.va <= rva < s.va + max(s.vs, s.raw)]
    return max(found)[1] if found else None


def file_offset(L, rva):
    i = section_of(L, rva)
    return None if i is None or rva - L.secs[i].va >= L.secs[i].raw else L.secs[i].ptr + rva - L.secs[i].va


def image_end(L, n):
    return min(n, max([s.ptr + s.raw for s in L.secs if s.raw], default=L.headers))


def layout_faults(L, n):
    """What Windows requires of the section table and this file breaks."""
    faults = set()
    raws = sorted((s.ptr, s.ptr + s.raw) for s in L.secs if s.raw)
    if any(end > n for _, end in raws):
        faults.add('raw-past-eof')
    if any(a[1] > b[0] for a, b in zip(raws, raws[1:])):
        faults.add('raw-overlap')
    spans = sorted((s.va, s.va + (s.vs or s.raw)) for s in L.secs)
    if any(a[1] > b[0] for a, b in zip(spans, spans[1:])):
        faults.add('va-overlap')
    # Loaders differ on whether raw data longer than VirtualSize counts: either will do.
    if L.sa and any(b.va not in (a.va + align(a.vs or a.raw, L.sa), a.va + align(max(a.vs, a.raw), L.sa))
                    for a, b in zip(L.secs, L.secs[1:])):
        faults.add('va-gap')
    return faults


def loader_bytes(L, data, rva, size):
    """A resource's bytes as the loader maps them: zeros past a section's raw data."""
    i = section_of(L, rva)
    if i is None:
        return None
    s = L.secs[i]
    start = rva - s.va
    size = min(size, max(s.vs, s.raw) - start)
    if size > 1 << 24:
        return ('oversized', size)
    have = data[s.ptr + start:s.ptr + min(s.raw, start + size)] if start < s.raw else b''
    return have + bytes(size - len(have))


# ---- What pefile sees ------------------------------------------------------

def aligned(L):
    """Alignments Windows accepts, which the sections follow: else any layout is the reader's guess."""
    def power(v):
        return v and not v & (v - 1)
    return (L is not None and power(L.fa) and power(L.sa) and L.fa <= min(L.sa, 0x10000)
            and (L.sa >= 0x1000 or L.fa == L.sa) and all(s.va % L.sa == 0 for s in L.secs))


def sane(L, data):
    """A layout that every reader maps alike: pefile rounds raw offsets as Windows does, and
    overlapping sections or an empty resource directory leave the reading to each reader."""
    return (aligned(L) and (L.fa < 0x200 or all(s.ptr % 0x200 == 0 for s in L.secs))
            and not {'raw-overlap', 'va-overlap'} & layout_faults(L, len(data))
            and (directory(data, L, 2)[1] or not directory(data, L, 2)[0]))


def parse(data):
    """pefile's view of the resources, or None when it cannot read the file as Windows would."""
    L = layout(data)
    if not sane(L, data):
        return None
    try:
        pe = pefile.PE(data=data, fast_load=True)
        before = len(pe.get_warnings())
        pe.parse_data_directories(directories=[2])
    except Exception:  # pefile raises more than PEFormatError on damaged input
        return None
    if len(pe.sections) != len(L.secs):  # pefile gave up on the section table
        return None
    res, beyond = collections.defaultdict(list), set()
    # Unsure: pefile stopped early, or an entry's flag and its place disagree on name or id.
    unsure = any('resource' in w.lower() or 'pascal' in w.lower() for w in pe.get_warnings()[before:])

    def key(e):
        return ('name', bytes(e.name.string or b'')) if e.name is not None else e.id

    def walk(d, path):
        nonlocal unsure
        for n, e in enumerate(d.entries):
            unsure |= bool(e.struct.Name >> 31) != (n < d.struct.NumberOfNamedEntries)
            p = path + (key(e),)
            if getattr(e, 'directory', None) is not None and len(p) < 3:
                walk(e.directory, p)
            elif getattr(e, 'data', None) is not None:
                # A data entry above the language level is kept as it is found.
                k, rva, size = p + (None,) * (3 - len(p)), e.data.struct.OffsetToData, e.data.struct.Size
                res[k].append(loader_bytes(L, data, rva, size))
                i = section_of(L, rva)
                if i is not None and rva - L.secs[i].va + size > L.secs[i].raw:
                    beyond.add(k)  # partly in the zeros the loader adds past the raw data

    root = getattr(pe, 'DIRECTORY_ENTRY_RESOURCE', None)
    if root:
        walk(root, ())
    return NS(pe=pe, L=L, res=dict(res), unsure=unsure, beyond=beyond)


def ico_images(b):
    if len(b) < 6 or u16(b, 2) != 1:
        return None
    out = []
    for i in range(u16(b, 4)):
        size, off = u32(b, 6 + 16 * i + 8), u32(b, 6 + 16 * i + 12)
        if 6 + 16 * i + 16 > len(b) or off + size > len(b):
            return None
        out.append(b[off:off + size])
    return out


def group_ids(g):
    return [u16(g, 6 + 14 * i + 12) for i in range(u16(g, 4) if isinstance(g, bytes) else 0) if 6 + 14 * i + 14 <= len(g)]


def group_matches(res, g, images):
    """True when the group's images are `images`, in order."""
    ids = group_ids(g)
    return len(ids) == len(images) and all(
        any(b == img for k, bs in res.items() if k[0] == RT_ICON and k[1] == i for b in bs)
        for i, img in zip(ids, images))


def fixed_versions(res):
    """(FileVersionMS, FileVersionLS) of each version resource."""
    out = []
    for k, bs in res.items():
        for b in bs:
            at = b.find(struct.pack('<I', 0xFEEF04BD)) if k[0] == RT_VERSION and isinstance(b, bytes) else -1
            if at >= 0:
                out.append((u32(b, at + 8), u32(b, at + 12)))
    return out


# ---- Mutations -------------------------------------------------------------

def sites(data):
    """(kind, offset, width, hint) of each field worth mutating."""
    L = layout(data)
    out = []
    if L is None:
        return out

    def add(kind, off, width=4, hint=None):
        if off is not None and 0 <= off and off + width <= len(data):
            out.append((kind, off, width, hint))
    add('nsections', L.nt + 6, 2)
    add('base-of-code', L.opt + 20)
    add('alignment', L.opt + 32)
    add('alignment', L.opt + 36)
    for s in L.secs:
        for field, kind in ((8, 'vsize'), (12, 'vaddr'), (16, 'rawsize'), (20, 'rawptr')):
            add(kind, s.off + field)
    for i in (2, 4, 6, 1, 5):
        add('dir-rva', L.dd + 8 * i)
        add('dir-size', L.dd + 8 * i + 4)
    rva, size = directory(data, L, 6)
    at = file_offset(L, rva)
    for i in range(min(size // 28, 8)) if at is not None else ():
        add('rawptr', at + 28 * i + 24)
        add('dir-rva', at + 28 * i + 20)
    base = file_offset(L, directory(data, L, 2)[0])
    if base is None:
        return out
    seen = set()

    def walk(d, level, type_id):
        if d in seen or d + 16 > len(data) or len(seen) > 200:
            return
        seen.add(d)
        add('res-count', d + 12, 2)
        add('res-count', d + 14, 2)
        for i in range(min(u16(data, d + 12) + u16(data, d + 14), 64)):
            e = d + 16 + 8 * i
            name, target = u32(data, e), u32(data, e + 4)
            add('res-name' if name >> 31 else 'res-id', e)
            if name >> 31:
                add('name-len', base + (name & 0x7FFFFFFF), 2)
            add('res-offset', e + 4)
            if target >> 31:
                sub = base + (target & 0x7FFFFFFF)
                first = u32(data, sub + 20)
                if level == 1 and u16(data, sub + 12) + u16(data, sub + 14) and not first >> 31:
                    add('reshape', e + 4, 4, first)  # the name entry points at its language's data entry
                walk(sub, level + 1, name if level == 0 else type_id)
            else:
                add('data-rva', base + target)
                add('data-size', base + target + 4)
                if level == 2 and type_id == RT_VERSION:
                    version_sites(data, L, base + target, add)
    walk(base, 0, None)
    return out


def version_sites(data, L, entry, add):
    """The wLength and wValueLength of every block of a version resource."""
    at, size = file_offset(L, u32(data, entry)), u32(data, entry + 4)
    if at is None or data[at + 6:at + 36] != 'VS_VERSION_INFO'.encode('utf-16le'):
        return

    def block(o, end, depth):
        while o + 6 <= end and depth < 6:
            length = u16(data, o)
            if length < 6:
                return
            add('version', o, 2)
            add('version', o + 2, 2)
            k = o + 6
            while k + 2 <= o + length and data[k:k + 2] != b'\0\0':
                k += 2
            v = align(k + 2 - at, 4) + at
            kids = align(v + u16(data, o + 2) * (2 if u16(data, o + 4) else 1) - at, 4) + at
            if depth < 3:
                block(kids, o + length, depth + 1)
            o = align(o + length - at, 4) + at
    block(at, at + min(size, len(data) - at), 0)


def values(kind, v, width, data, L, rng, hint):
    top = (1 << 8 * width) - 1
    fa, sa = L.fa or 0x200, L.sa or 0x1000
    chosen = {
        'rawsize': [v + 1, v - 1, v - fa, v + fa, v + 0x10000000, 0x672D1600, v // 2],
        'rawptr': [v + fa, v - fa, len(data), len(data) + fa, 0x7FFFFFFF, v + 1],
        'vsize': [v + sa, v + 0x100000, v - 0x1000, v + 1, 0],
        'vaddr': [v + sa, v - sa, v + 1],
        'alignment': [1, 2, 3, 0x200, 0x1000, 0x10000, 0x10000000, v * 2, v // 2],
        'nsections': [v + 1, v - 1, 0, 96, top],
        'base-of-code': [v + 0x10000, 0x7FFFFFFF] + [s.va + 0x10 for s in L.secs[-2:]],
        'dir-rva': [v + 4, v - 4, v + sa, 0x7FFFFFFF, len(data)],
        'dir-size': [v * 16, v + 0x200, 0x200, 0x7FFFFFFF, v + 28, 28],
        'res-id': [v | 0x10000, v + 0x10000, 0x7FFFFFFF, v ^ 0x80000000, v + 1],
        'res-name': [v + 2, v ^ 0x80000000, 0x80000000 | 0x7FFFFFF0],
        'name-len': [0, v + 1, v - 1, top],
        'res-offset': [v ^ 0x80000000, v + 8, v + 16, v - 16, 0x7FFFFFF0],
        'res-count': [v + 1, v - 1, 0, top],
        'data-rva': [v + 1, v + 0x1000, 0x7FFFFFFF, 0],
        'data-size': [v + 1, v - 1, v * 2, top, 0, v + 0x10000],
        'version': [v - 2, v - 8, v + 2, v + 8, 0, v // 2, top, 6],
        'reshape': [hint],
    }[kind]
    pick = rng.choice(chosen) if rng.random() < 0.75 or kind == 'reshape' else rng.choice([0, 1, top, rng.randrange(top + 1)])
    return pick & top


def mutate(data, rng):
    """A mutated copy and the list of operations that made it (replayable)."""
    ops = []
    count = rng.choices([0, 1, 2, 3], [5, 60, 25, 10])[0]
    for _ in range(count):
        L = layout(data)
        choice = rng.random()
        if L is None or choice < 0.12:
            n = rng.choice([1, 2, 4, 8])
            op = ('flip', [(rng.randrange(len(data)) if rng.random() < 0.5 else
                            rng.randrange(min(len(data), max(L.headers if L else 1024, 64))), rng.randrange(256))
                           for _ in range(n)])
        elif choice < 0.20:
            op = ('append', rng.randbytes(rng.choice([1, 7, 512, 4096, rng.randrange(1, 20000)])))
        elif choice < 0.25:
            end = image_end(L, len(data))
            op = ('truncate', end if end < len(data) and rng.random() < 0.7 else max(64, len(data) - rng.randrange(1, 4096)))
        elif choice < 0.29:
            op = ('sign', rng.randrange(1, 64) * 8)
        else:
            found = sites(data)
            kind = rng.choice(sorted({k for k, _, _, _ in found}))
            _, off, width, hint = rng.choice([s for s in found if s[0] == kind])
            v = int.from_bytes(data[off:off + width], 'little')
            op = ('set', kind, off, width, values(kind, v, width, data, L, rng, hint))
        ops.append(op)
        data = apply(data, op)
    return data, ops


def apply(data, op):
    b = bytearray(data)
    if op[0] == 'flip':
        for at, value in op[1]:
            if at < len(b):
                b[at] = value
    elif op[0] == 'append':
        b += op[1]
    elif op[0] == 'truncate':
        del b[op[1]:]
    elif op[0] == 'sign':
        # A certificate table at the end, as a signer leaves it.
        L = layout(data)
        b += bytes(-len(b) % 8)
        at = len(b)
        b += struct.pack('<IHH', 8 + op[1], 0x200, 2) + bytes((i * 37) & 0xFF for i in range(op[1]))
        if L and L.ndd > 4:
            struct.pack_into('<II', b, L.dd + 32, at, 8 + op[1])
    else:
        _, _, off, width, value = op
        b[off:off + width] = value.to_bytes(width, 'little')
    return bytes(b)


def describe(op):
    if op[0] == 'set':
        return f'set {op[1]} at 0x{op[2]:X} ({op[3]} bytes) to 0x{op[4]:X}'
    if op[0] == 'flip':
        return 'bytes ' + ', '.join(f'0x{a:X}=0x{v:02X}' for a, v in op[1])
    if op[0] == 'append':
        return f'append {len(op[1])} bytes'
    return f'{op[0]} {op[1]}'


# ---- Running vornres -------------------------------------------------------

def limits():
    # Bounded memory is the check; the file size limit keeps a runaway write off the disk.
    resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))
    resource.setrlimit(resource.RLIMIT_FSIZE, (64 << 20, 64 << 20))
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def run_tool(*args):
    try:
        r = subprocess.run([ARGS.vornres, *args], stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT,
                           preexec_fn=limits)
        rc, out, err, timed_out = r.returncode, r.stdout, r.stderr, False
    except subprocess.TimeoutExpired as e:
        rc, out, err, timed_out = None, e.stdout or b'', e.stderr or b'', True
    return NS(args=args, rc=rc, timed_out=timed_out, out=out.decode('utf-8', 'replace'),
              err=err.decode('utf-8', 'replace'))


def read(path):
    with open(path, 'rb') as f:
        return f.read()


class Run:
    """One command on one input, and what the oracle found."""

    def __init__(self, work, data, plan):
        self.work, self.data, self.plan, self.findings, self.skipped = work, data, plan, [], False
        self.file = os.path.join(work, 'target.exe')
        self.out = os.path.join(work, 'out.exe') if plan.get('out') else None
        for name in os.listdir(work):
            os.remove(os.path.join(work, name))
        Path(self.file).write_bytes(data)
        self.main = None

    def find(self, kind, detail, sub=None):
        self.findings.append((f'{kind}.{sub}' if sub else kind, detail))

    def call(self, *args):
        r = run_tool(*args)
        line = 'vornres ' + ' '.join(args)
        if r.timed_out:
            self.find('timeout', f'{line}: no answer in {TIMEOUT} s')
        elif r.rc == -signal.SIGXFSZ:
            self.find('file-growth', f'{line}: killed writing past 64 MiB')
        elif r.rc < 0:
            self.find('crash', f'{line}: killed by signal {-r.rc} (address space limited to {MEMORY_LIMIT >> 20} MiB)'
                      f'\n{r.err[-2000:]}')
        elif r.rc == OUT_OF_MEMORY:
            self.find('memory', f'{line}: out of memory within {MEMORY_LIMIT >> 20} MiB of address space')
        elif r.rc and r.rc not in DOCUMENTED:
            self.find('exit-code', f'{line}: exit {r.rc}\n{r.err[-2000:]}')
        return r

    def side_files(self):
        paths = [self.file + '.vornres-journal', self.file + '.vornres-new']
        if self.out:
            paths += [self.out + '.vornres-new']
        return [p for p in paths if os.path.exists(p)]

    def failed(self, r):
        """A refused command leaves everything as it was and says why, once."""
        line = 'vornres ' + ' '.join(r.args)
        if r.rc is None or r.rc < 0:
            return  # killed: what it left is the kill's doing
        if read(self.file) != self.data:
            self.find('failure-changed-file', f'{line}: exit {r.rc}, file changed\n{r.err}', f'exit-{r.rc}')
        for side in self.side_files():
            self.find('failure-left-side-file', f'{line}: exit {r.rc}, {os.path.basename(side)} left')
        if self.out and os.path.exists(self.out):
            self.find('failure-left-output', f'{line}: exit {r.rc}, OUT left')
        lines = r.err.splitlines()
        if len(lines) != 1 or not lines[0].startswith('vornres:'):
            self.find('failure-message', f'{line}: exit {r.rc}, stderr {r.err[:1000]!r}')

    def read_only(self, r, what):
        if read(self.file) != self.data:
            self.find('read-changed-file', f'vornres {" ".join(r.args)} changed the file')
        if r.rc == 0 and what == 'json':
            try:
                return json.loads(r.out)
            except ValueError:
                self.find('bad-json', f'vornres {" ".join(r.args)}: stdout is not JSON: {r.out[:300]!r}')
        return None

    def go(self):
        s, f = self.plan, self.file
        cmd = s['cmd']
        if cmd in ('info', 'version-json', 'icons'):
            args = {'info': ['info', f, '--json'], 'version-json': ['version', f, '--json'], 'icons': ['icons', f, '--json']}
            r = self.main = self.call(*args[cmd])
            shown = self.read_only(r, 'json')
            if r.rc:
                self.failed(r)
            elif cmd == 'info' and shown is not None:
                self.compare_info(shown, layout(self.data), 'input')
            return
        if cmd == 'extract-icon':
            ico = os.path.join(self.work, 'x.ico')
            r = self.main = self.call('extract-icon', f, '-o', ico)
            self.read_only(r, None)
            if r.rc:
                self.out = ico
                self.failed(r)
            else:
                self.check_extracted(read(ico))
            return
        write = self.out and ['-o', self.out] or []
        if s.get('keep'):
            write.append('--keep-signature')
        if cmd == 'version-set':
            args = ['version', f, '--set', f'{s["key"]}={s["value"]}'] + write
        elif cmd == 'file-version':
            args = ['version', f, '--file-version', '1.2.3.4'] + write
        elif cmd == 'icon':
            args = ['icon', f, '--from', s['icon']] + write
        elif cmd == 'rcedit':
            self.out = None
            args = ['rcedit', f, '--set-version-string', s['key'], s['value'], '--set-icon', s['icon']]
        else:
            source = s.get('json')
            if source is None:
                r = self.call('version', f, '--json')
                self.read_only(r, 'json')
                if r.rc:
                    self.main = r
                    self.failed(r)
                    return
                source = os.path.join(self.work, 'v.json')
                Path(source).write_text(r.out, encoding='utf-8')
            args = ['version', f, '--from-json', source] + write
        r = self.main = self.call(*args)
        if r.rc:
            self.failed(r)
            return
        if self.out and read(self.file) != self.data:
            self.find('output-changed-input', f'vornres {" ".join(args)}: the input changed')
        for side in self.side_files():
            self.find('success-left-side-file', f'vornres {" ".join(args)}: {os.path.basename(side)} left')
        if s.get('json') is not None:
            self.find('from-json-accepts-malformed', f'vornres {" ".join(args)} succeeded on {read(s["json"])[:100]!r}')
        self.check_write(args, self.out or f)

    # -- checks of a result ---------------------------------------------------

    def compare_info(self, shown, L, which):
        mine = [(x.va, x.vs, x.ptr, x.raw) for x in L.secs]
        theirs = [(x['virtualAddress'], x['virtualSize'], x['rawOffset'], x['rawSize']) for x in shown['sections']]
        if mine != theirs:
            self.find('info-mismatch', f'info --json of the {which}: sections {theirs} where the headers say {mine}')

    def check_extracted(self, ico):
        seen = parse(self.data)
        images = ico_images(ico)
        if seen is None:
            self.skipped = True
        elif images is None:
            self.find('extract-icon-mismatch', 'the .ico written is not a valid icon file')
        elif not any(group_matches(seen.res, g, images) for k, gs in seen.res.items() if k[0] == RT_GROUP_ICON for g in gs):
            self.find('extract-icon-mismatch', f'the {len(images)} images written are no icon group of the file')

    def check_write(self, args, result):
        line = 'vornres ' + ' '.join(args)
        data = read(result)
        r = self.call('info', result, '--json')
        if read(result) != data:
            self.find('read-changed-file', 'info --json changed the result')
        Li, Lo = layout(self.data), layout(data)
        if r.rc or Lo is None:
            self.find('result-unparsable', f'{line}: then info --json exits {r.rc}: {r.err.strip()}')
            return
        try:
            self.compare_info(json.loads(r.out), Lo, 'result')
        except ValueError:
            self.find('bad-json', f'info --json of the result: {r.out[:300]!r}')
        if self.plan['cmd'] in ('version-set', 'rcedit'):
            got = self.call('version', result, '--get', self.plan['key'])
            if got.rc or got.out != self.plan['value'] + '\n':
                self.find('edit-not-applied', f'{line}: succeeded, then --get {self.plan["key"]} gives exit {got.rc}, '
                          f'{got.out[:80]!r} for a value of {len(self.plan["value"])} characters')
        if not aligned(Li):
            self.skipped = True
            return
        for fault in sorted(layout_faults(Lo, len(data)) - layout_faults(Li, len(self.data))):
            self.find('layout-' + fault, f'{line}: the result\'s sections: {fault}; {sections_text(Lo)}')
        # Appended data: kept byte for byte, wherever it lands.
        a, b = self.data[image_end(Li, len(self.data)):], data[image_end(Lo, len(data)):]
        if a != b:
            self.find('overlay-changed', f'{line}: {len(a)} appended bytes before, {len(b)} after'
                      f'{"" if b.find(a) < 0 or not a else f" (found {b.find(a)} bytes in)"}')
        rva = directory(self.data, Li, 2)[0]
        # Where the section table is ambiguous, each section the resources may be in is the tool's to rewrite.
        rsrc = {j for j, x in enumerate(Li.secs) if rva and x.va <= rva < x.va + max(x.vs, x.raw)}
        if not {'raw-overlap', 'va-overlap'} & layout_faults(Li, len(self.data)):
            self.compare_sections(Li, Lo, data, rsrc, line)
        before, after = parse(self.data), parse(data)
        if before is None or before.unsure:
            self.skipped = True  # pefile cannot tell what the input held
            return
        if after is None or after.unsure:
            self.find('result-unparsable', f'{line}: pefile reads the input\'s resources, not the result\'s')
            return
        self.check_edit(result, after)
        # Growth: at most the whole new resource section beyond the old one's raw bytes.
        need = 4096 + sum(64 + (align(len(b), 8) if isinstance(b, bytes) else 0) for bs in after.res.values() for b in bs)
        need += sum(len(x[1]) + 2 for k in after.res for x in k if isinstance(x, tuple))
        i = section_of(Li, rva) if rva else None
        old = max(0, min(Li.secs[i].raw, len(self.data) - Li.secs[i].ptr)) if i is not None else 0
        limit = len(self.data) + max(0, need - old) + 2 * min(max(Li.fa, Lo.fa, 0x200), 0x10000) + 64
        if len(data) > limit:
            self.find('file-growth', f'{line}: {len(self.data)} -> {len(data)} bytes, at most {limit} expected')
        self.compare_resources(before, after, line)

    def check_edit(self, result, after):
        s = self.plan
        if s['cmd'] == 'file-version':
            if (0x00010002, 0x00030004) not in fixed_versions(after.res):
                self.find('edit-not-applied', f'--file-version 1.2.3.4 succeeded, the fixed versions are '
                          f'{fixed_versions(after.res)}')
        if s['cmd'] in ('icon', 'rcedit'):
            images = ico_images(read(s['icon']))
            if not any(group_matches(after.res, g, images) for k, gs in after.res.items() if k[0] == RT_GROUP_ICON
                       for g in gs):
                self.find('edit-not-applied', 'the icon command succeeded, no icon group holds the new images')
        if s['cmd'] == 'from-json' and s.get('json') is None:
            r = self.call('version', result, '--json')
            try:
                was = json.loads(read(os.path.join(self.work, 'v.json')))
                now = json.loads(r.out)
            except ValueError:
                return
            if was.get('versionInfo') != now.get('versionInfo'):
                self.find('json-round-trip', '--from-json of the file\'s own --json changed what --json shows')

    def compare_resources(self, before, after, line):
        """Every resource but the edited one keeps its bytes."""
        s = self.plan['cmd']
        edits = ({RT_VERSION} if s in ('version-set', 'file-version', 'from-json', 'rcedit') else set()) | \
                ({RT_GROUP_ICON} if s in ('icon', 'rcedit') else set())
        changed, wrong = collections.defaultdict(list), []
        for k in sorted(set(before.res) | set(after.res), key=repr):
            was, now = before.res.get(k), after.res.get(k)
            if was == now or (k[0] == RT_ICON and RT_GROUP_ICON in edits):
                continue
            if k[0] in edits:
                changed[k[0]].append(k)
            else:
                wrong.append(f'{k} {"lost" if now is None else "added" if was is None else "changed"} '
                             f'({sizes(was)} -> {sizes(now)} bytes)')
        many = [keys for keys in changed.values() if len(keys) > 1]
        if wrong or many:
            keys = [k for k in set(before.res) | set(after.res) if before.res.get(k) != after.res.get(k)]
            kinds = sorted({'data-beyond-raw' if k in before.beyond else key_class(k) for k in keys} - {'other'})
            kinds = kinds or ['other']
            self.find('resource-changed', f'{line}: ' + '; '.join(wrong + [f'one edit changed {len(k)} resources of '
                                                                     f'type {k[0][0]}: {k}' for k in many])[:1500],
                      kinds[0])
        if RT_GROUP_ICON in edits:
            # The images of the groups the edit left alone stay too.
            for k, gs in before.res.items():
                if k[0] == RT_GROUP_ICON and after.res.get(k) == gs:
                    for i in (i for g in gs for i in group_ids(g)):
                        was = [b for k2, bs in before.res.items() if k2[:2] == (RT_ICON, i) for b in bs]
                        now = [b for k2, bs in after.res.items() if k2[:2] == (RT_ICON, i) for b in bs]
                        if was != now:
                            self.find('resource-changed', f'{line}: icon {i} of the untouched group {k} changed',
                                      'icon-of-other-group')

    def compare_sections(self, Li, Lo, out, rsrc, line):
        """The other sections' bytes stay, but for debug entries' pointers that follow their data."""
        rva, size = directory(self.data, Li, 6)
        at = file_offset(Li, rva) if size else None
        fields = {}
        for m in range(min(size, 1 << 16) // 28 if at is not None else 0):
            fields[at + 28 * m + 20] = 'rva'
            fields[at + 28 * m + 24] = 'ptr'
        end_i, end_o = image_end(Li, len(self.data)), image_end(Lo, len(out))

        def moved(kind, v):
            if v == 0:
                return 0
            for j, s in enumerate(Li.secs):
                if j < len(Lo.secs) and Lo.secs[j].name == s.name:
                    base, lim = (s.va, max(s.vs, s.raw)) if kind == 'rva' else (s.ptr, s.raw)
                    if base <= v < base + lim:
                        return (Lo.secs[j].va if kind == 'rva' else Lo.secs[j].ptr) + v - base
            if kind == 'ptr' and end_i <= v < len(self.data):
                return end_o + v - end_i
            return v
        # Bytes the edit may rewrite: the headers and the resources' sections.
        busy = [(0, max(Li.headers, Li.secs[-1].off + 40 if Li.secs else 0))]
        busy += [(Li.secs[j].ptr, Li.secs[j].ptr + Li.secs[j].raw) for j in rsrc]
        for j, s in enumerate(Li.secs):
            if (j in rsrc or not s.raw or s.ptr + s.raw > len(self.data) or j >= len(Lo.secs)
                    or Lo.secs[j].name != s.name or any(s.ptr < e and b < s.ptr + s.raw for b, e in busy)):
                continue
            o = Lo.secs[j]
            a, b = self.data[s.ptr:s.ptr + s.raw], out[o.ptr:o.ptr + min(o.raw, s.raw)]
            if a == b:
                continue
            wrong = []
            for k in (k for k in range(len(b)) if a[k] != b[k]):
                q = next((q for q in range(s.ptr + k - 3, s.ptr + k + 1) if q in fields), None)
                if q is None or moved(fields[q], u32(self.data, q)) != u32(b, q - s.ptr):
                    wrong.append(k)
            if wrong or len(b) < len(a):
                first = s.ptr + (wrong or [len(b)])[0]
                debug = at is not None and at <= first < at + size
                self.find('section-data-changed', f'{line}: section {s.name.rstrip(bytes(1))!r}: {len(wrong)} bytes '
                          f'changed from offset 0x{first:X}{" (in the debug directory)" if debug else ""}',
                          'debug-directory' if debug else None)


def key_class(k):
    """The kind of resource name the key has: faults tend to follow it."""
    if None in k:
        return 'data-above-language'
    if any(isinstance(x, int) and x > 0xFFFF for x in k):
        return 'id-above-ffff'
    if any(x == ('name', b'') for x in k):
        return 'empty-name'
    return 'other'


def sizes(bs):
    return [len(b) if isinstance(b, bytes) else b for b in bs or []]


def sections_text(L):
    return ', '.join(f'{s.name.rstrip(bytes(1)).decode("latin-1")} va 0x{s.va:X}+0x{s.vs:X} raw 0x{s.ptr:X}+0x{s.raw:X}'
                     for s in L.secs)


# ---- The campaign ------------------------------------------------------------

def wine_folder(leaf):
    found = glob.glob('/usr/lib/*/wine/' + leaf) + glob.glob('/usr/lib/wine/' + leaf)
    return max(sorted(found), key=lambda d: len(os.listdir(d)), default=None)


def collect_seeds(per_arch):
    """Small PE files with resources: Wine's, the sample and the regression inputs."""
    seeds, skipped = [], []
    for leaf in ('i386-windows', 'x86_64-windows'):
        folder = wine_folder(leaf)
        if folder is None:
            skipped.append(f"Wine's {leaf} folder")
            continue
        found = []
        for p in sorted(glob.glob(folder + '/*')):
            if os.path.getsize(p) > 160_000:
                continue
            data = read(p)
            L = layout(data)
            if L and directory(data, L, 2)[1]:
                found.append(p)
        step = max(1, len(found) // per_arch)
        seeds += found[::step][:per_arch] + [p for p in found if os.path.basename(p) == 'hh.exe']
    seeds += [str(ROOT / 'samples' / 'sample.exe'), str(ROOT / 'samples' / 'no-version.exe')]
    if not ARGS.no_regression_seeds:
        seeds += sorted(str(p) for p in REGRESSIONS.glob('*') if p.suffix in ('.exe', '.dll'))
    return [(p, read(p)) for p in dict.fromkeys(seeds)], skipped


def make_plan(rng, work):
    cmd = rng.choices(list(WEIGHTS), list(WEIGHTS.values()))[0]
    plan = {'cmd': cmd, 'out': cmd in WRITES and cmd != 'rcedit' and rng.random() < 0.3,
            'keep': rng.random() < 0.25}
    if cmd in ('version-set', 'rcedit'):
        plan['key'] = rng.choice(['FileDescription', 'CompanyName', 'Comments', 'ProductName', 'FileVersion',
                                  'ProductVersion', 'InternalName', 'OriginalFilename', 'LegalCopyright',
                                  f'VornKey{rng.randrange(100)}'])
        length = rng.choice([0, 1, 5, 40, 300, rng.randrange(2000), 40000])
        plan['value'] = ''.join(rng.choice('abcXYZ 019.-_éü中') for _ in range(length))
    if cmd in ('icon', 'rcedit'):
        plan['icon'] = rng.choices([BADGE, str(REGRESSIONS / 'one.ico'), os.path.join(work, '..', 'bad.ico')],
                                   [6, 2, 2])[0]
    if cmd == 'from-json' and rng.random() < 0.1:
        plan['json'] = str(REGRESSIONS / rng.choice(['from_json_empty_object.json', 'from_json_null.json']))
    return plan


def job(index):
    rng = random.Random(f'{ARGS.seed}/{index}')
    # The regression inputs are the shapes that broke before: they come up three times as often.
    path, seed = rng.choices(SEEDS, [3 if Path(p).parent == REGRESSIONS else 1 for p, _ in SEEDS])[0]
    data, ops = mutate(seed, rng)
    plan = make_plan(rng, WORK)
    run = Run(WORK, data, plan)
    try:
        run.go()
    except Exception as e:  # the oracle's own fault: kept as a finding, the campaign goes on
        run.find('oracle-error', f'{type(e).__name__}: {e}')
    return dict(index=index, seed=path, ops=ops, plan=plan, data=data, rc=run.main.rc if run.main else None,
                args=run.main.args if run.main else (), findings=run.findings, skipped=run.skipped)


def init_worker(args, seeds, base):
    global ARGS, SEEDS, WORK
    ARGS, SEEDS = args, seeds
    WORK = tempfile.mkdtemp(prefix='run-', dir=base)


def minimal(result, kind, seeds):
    """The fewest of the run's mutations that still show `kind`."""
    ops = list(result['ops'])
    seed = dict(seeds)[result['seed']]
    for op in list(ops):
        trial = [o for o in ops if o is not op]
        data = seed
        for o in trial:
            data = apply(data, o)
        run = Run(WORK, data, result['plan'])
        run.go()
        if any(k == kind for k, _ in run.findings):
            ops = trial
    data = seed
    for o in ops:
        data = apply(data, o)
    return ops, data


def save(result, kind, detail, seeds):
    ops, data = minimal(result, kind, seeds)
    folder = Path(ARGS.findings) / kind / result['plan']['cmd']
    folder.mkdir(parents=True, exist_ok=True)
    (folder / 'input.exe').write_bytes(data)
    plan = result['plan']
    args = ' '.join(a.replace(WORK, '.') for a in result['args']).replace('./target.exe', 'input.exe')
    (folder / 'command.txt').write_text(
        f'vornres {args}\nseed file: {result["seed"]}\nrun {result["index"]} of --seed {ARGS.seed}\n'
        f'mutations: {"; ".join(map(describe, ops)) or "none"}\nplan: {json.dumps(plan, ensure_ascii=False)[:500]}\n')
    (folder / 'reason.txt').write_text(detail.replace(WORK + '/', '') + '\n')
    if plan.get('icon', '').endswith('bad.ico'):
        shutil.copyfile(plan['icon'], folder / 'bad.ico')
    return folder


def main():
    global ARGS, SEEDS, WORK
    p = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    p.add_argument('--vornres', required=True)
    p.add_argument('--seed', type=int, default=1)
    p.add_argument('--runs', type=int)
    p.add_argument('--minutes', type=float)
    p.add_argument('--findings', default='tool-campaign-findings')
    p.add_argument('--jobs', type=int, default=1)
    p.add_argument('--wine-per-arch', type=int, default=24)
    p.add_argument('--no-regression-seeds', action='store_true', help='mutate only Wine\'s files and the samples')
    ARGS = p.parse_args()
    if pefile is None:
        print('tool campaign skipped: python3-pefile is missing\n0 passed, 0 failed, 1 skipped')
        return 77
    if ARGS.runs is None and ARGS.minutes is None:
        ARGS.runs = 200
    ARGS.vornres = os.path.abspath(ARGS.vornres)
    findings = Path(ARGS.findings)
    if findings.exists() and not (findings / '.tool-campaign').exists() and any(findings.iterdir()):
        print(f'tool campaign: {findings} holds other files; name an empty or new folder', file=sys.stderr)
        return 64
    shutil.rmtree(findings, ignore_errors=True)  # an earlier campaign's findings
    findings.mkdir(parents=True)
    (findings / '.tool-campaign').touch()
    SEEDS, skipped = collect_seeds(ARGS.wine_per_arch)
    base = tempfile.mkdtemp(prefix='vornres-campaign-')
    ico = read(BADGE)
    Path(base, 'bad.ico').write_bytes(ico[:6] + struct.pack('<BBBBHHII', 32, 32, 0, 0, 1, 32, 1 << 30, 22) + ico[22:200])
    init_worker(ARGS, SEEDS, base)
    start = time.monotonic()
    stop = start + ARGS.minutes * 60 if ARGS.minutes else None
    indices = range(ARGS.runs) if ARGS.runs is not None else iter(int, 1)
    per_cmd = collections.defaultdict(lambda: collections.Counter())
    seen, counts, passed, skips, runs = {}, collections.Counter(), 0, 0, 0
    pool = multiprocessing.Pool(ARGS.jobs, init_worker, (ARGS, SEEDS, base)) if ARGS.jobs > 1 else None
    results = pool.imap(job, (i for i, _ in enumerate(indices)), 4) if pool else (job(i) for i, _ in enumerate(indices))
    try:
        for result in results:
            runs += 1
            c = per_cmd[result['plan']['cmd']]
            c['runs'] += 1
            c['ok' if result['rc'] == 0 else f'exit {result["rc"]}'] += 1
            if not result['findings']:
                passed += 0 if result['skipped'] else 1
                skips += result['skipped']
            for kind, detail in result['findings']:
                counts[kind] += 1
                key = (result['plan']['cmd'], kind)
                if key not in seen:
                    seen[key] = save(result, kind, detail, SEEDS)
                    print(f'finding: {kind} ({key[0]}) -> {seen[key]}\n  {detail.splitlines()[0][:300]}', flush=True)
            if stop and time.monotonic() > stop:
                break
    finally:
        if pool:
            pool.terminate()
        shutil.rmtree(base, ignore_errors=True)
    wall = time.monotonic() - start
    print(f'\ntool campaign: --seed {ARGS.seed}, {runs} runs in {wall:.0f} s, {len(SEEDS)} seed files, {ARGS.vornres}')
    for what in skipped:
        print(f'  skipped: {what} not found, its seeds are missing')
    for cmd in WEIGHTS:
        c = per_cmd.get(cmd)
        if c:
            failures = ', '.join(f'{k} x{v}' for k, v in sorted(c.items()) if k.startswith('exit'))
            print(f'  {cmd:13} {c["runs"]:5} runs, {c["ok"]:5} ok{", failed: " + failures if failures else ""}')
    for kind in sorted({k for _, k in seen}):
        cmds = sorted(c for c, k in seen if k == kind)
        print(f'  finding {kind}: {counts[kind]} times, in {", ".join(cmds)}')
    if skips:
        print(f'  {skips} runs whose input pefile cannot read were checked only in part')
    extra = len(skipped) + skips
    print(f'{passed} passed, {len(seen)} failed' + (f', {extra} skipped' if extra else ''))
    return 1 if seen else 0


if __name__ == '__main__':
    sys.exit(main())
