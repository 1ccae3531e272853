#!/usr/bin/python3
"""vornres edits against cp of the same file, in one run.

For a program with an appended tail (256 MiB, 1 GiB) and icons that grow
its resource section by about 4 KiB, 200 KiB and 4 MiB, page cache warm and
cold: `vornres icon FILE` (the file itself, edited in place behind its
journal) and `vornres icon FILE -o OUT`, each as a ratio to `cp FILE COPY`
timed in the same round, and the tool's peak RSS. Then the small-file edit
(the bundled sample) against cp of that file, and a version edit that fits
in the old section of the 1 GiB file (made in place) against the
small-file edit. Last, a 200 MiB resource put into a 100 MiB program
(`vornres resource FILE --set RCDATA NODE_SEA_BLOB --from BLOB`, as a
single-executable application is made), against cp of the result.

Every figure is a median; every time is a whole process, from fork to exit
(bench/measure.c). Nothing calls fsync but the benchmark itself, between
rounds. Figures only: nothing is asserted.

  bench/tool_bench.py --vornres BUILD/src/tool/vornres --measure BUILD/bench/measure [--dir DIR] [--runs N]
"""

import argparse
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLE = os.path.join(ROOT, "samples", "sample.exe")
MIB = 1 << 20
TAILS = (256, 1024)  # MiB
GROWTHS = (("4 KiB", 4 << 10), ("200 KiB", 200 << 10), ("4 MiB", 4 << 20))


def ico(path, image_bytes):
    """An .ico file of one 256 px PNG-like image of that many bytes; the tool
    copies images as they are, so only the directory must be right."""
    image = b"\x89PNG\r\n\x1a\n" + bytes((i * 7 + 3) & 0xFF for i in range(image_bytes - 8))
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, 1))
        f.write(struct.pack("<BBBBHHII", 0, 0, 0, 0, 1, 32, len(image), 6 + 16))
        f.write(image)


def program_with_tail(path, tail_mib, checksum):
    """The sample with a tail; its PE checksum zeroed unless `checksum`, as
    most linkers leave it (a set checksum costs one more read of the file)."""
    block = bytearray(os.urandom(MIB))
    with open(SAMPLE, "rb") as s, open(path, "wb") as f:
        program = bytearray(s.read())
        if not checksum:
            field = struct.unpack_from("<I", program, 0x3C)[0] + 24 + 64
            program[field:field + 4] = bytes(4)
        f.write(program)
        for i in range(tail_mib):
            block[:8] = struct.pack("<Q", i)
            f.write(block)


def evict(*paths):
    """Writes the files out and drops them from the page cache."""
    for path in paths:
        if os.path.exists(path):
            fd = os.open(path, os.O_RDONLY)
            os.fsync(fd)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            os.close(fd)


def warm(path):
    with open(path, "rb") as f:
        while f.read(8 * MIB):
            pass


class Bench:
    def __init__(self, args):
        self.args = args

    def run(self, command):
        out = subprocess.run([self.args.measure] + command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             check=True).stdout.split()
        micros, rss, status = (int(x) for x in out[-3:])
        if status != 0:
            sys.exit("tool_bench: %s exited with %d" % (" ".join(command), status))
        return micros / 1000.0, rss

    def prepare(self, original, work, cached):
        """A fresh copy for the edit, the cp target removed, all on disk."""
        shutil.copyfile(original, work)
        for stale in (work + ".cp", work + ".out"):
            if os.path.exists(stale):
                os.remove(stale)
        os.sync()
        if cached:
            warm(original)
            warm(work)
        else:
            evict(original, work)

    def round(self, original, work, edit, cached):
        """One cp and one edit, each after the same preparation. Returns
        (cp ms, edit ms, edit RSS KiB)."""
        self.prepare(original, work, cached)
        cp, _ = self.run(["cp", work, work + ".cp"])
        self.prepare(original, work, cached)
        ms, rss = self.run(edit(work))
        return cp, ms, rss

    def result_round(self, original, work, edit, result):
        """The edit, then cp of what it wrote, page cache warm. Returns
        (cp ms, edit ms, edit RSS KiB)."""
        self.prepare(original, work, True)
        ms, rss = self.run(edit(work))
        os.sync()
        warm(result(work))
        cp, _ = self.run(["cp", result(work), work + ".cp"])
        return cp, ms, rss

    def case(self, original, work, edit, cached, runs):
        rounds = [self.round(original, work, edit, cached) for _ in range(runs)]
        cp = statistics.median(r[0] for r in rounds)
        ms = statistics.median(r[1] for r in rounds)
        return cp, ms, max(r[2] for r in rounds)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--vornres", required=True)
    parser.add_argument("--measure", required=True, help="bench/measure built from measure.c")
    parser.add_argument("--dir", help="where the files go (a real disk, not a tmpfs); default: a folder in /var/tmp")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--tails", default=",".join(map(str, TAILS)), help="MiB, comma-separated; empty: none")
    args = parser.parse_args()
    tails = [int(t) for t in args.tails.split(",") if t]
    folder = tempfile.mkdtemp(prefix="tool-bench-", dir=args.dir or "/var/tmp")
    bench = Bench(args)
    vornres = os.path.abspath(args.vornres)
    try:
        icons = []
        for label, size in GROWTHS:
            path = os.path.join(folder, "grow-%d.ico" % size)
            ico(path, size)
            icons.append((label, path))

        print("tool edits against cp of the same file (medians of %d; ratio = tool / cp; RSS = peak of the tool)" % args.runs)
        print("  tail      growth   cache     mode        cp ms   tool ms  ratio   RSS KiB")
        results = {}
        for tail in tails:
            original = os.path.join(folder, "tail-%d.exe" % tail)
            program_with_tail(original, tail, checksum=False)
            work = os.path.join(folder, "work.exe")
            for label, icon in icons:
                for cached in (True, False):
                    for mode in ("in place", "-o"):
                        def edit(path, icon=icon, mode=mode):
                            extra = ["-o", path + ".out"] if mode == "-o" else []
                            return [vornres, "icon", path, "--from", icon] + extra
                        cp, ms, rss = bench.case(original, work, edit, cached, args.runs)
                        print("  %4d MiB  %-7s  %-8s  %-8s  %8.1f  %8.1f  %5.2f  %8d" % (
                            tail, label, "cached" if cached else "uncached", mode, cp, ms, ms / cp, rss))
                        sys.stdout.flush()
            results[tail] = original

        if tails:
            tail = tails[0]
            original = os.path.join(folder, "checksummed.exe")
            program_with_tail(original, tail, checksum=True)
            cp, ms, rss = bench.case(original, os.path.join(folder, "work.exe"),
                                     lambda p: [vornres, "icon", p, "--from", icons[1][1]], True, args.runs)
            print("  %4d MiB  %-7s  %-8s  %-8s  %8.1f  %8.1f  %5.2f  %8d   (checksum set: recomputed)" % (
                tail, icons[1][0], "cached", "in place", cp, ms, ms / cp, rss))
            os.remove(original)

        small_runs = max(args.runs * 6, 30)
        work = os.path.join(folder, "small.exe")
        cp, small, rss = bench.case(SAMPLE, work, lambda p: [vornres, "icon", p, "--from",
                                                               os.path.join(ROOT, "samples", "badge.ico")],
                                    True, small_runs)
        print("\nsmall file (%d KiB sample, icon replaced, cached, medians of %d): cp %.2f ms, tool %.2f ms, "
              "ratio %.2f, RSS %d KiB" % (os.path.getsize(SAMPLE) // 1024, small_runs, cp, small, small / cp, rss))

        if 1024 in results:
            work = os.path.join(folder, "work.exe")
            _, fitting, rss = bench.case(results[1024], work,
                                         lambda p: [vornres, "version", p, "--set", "Comments=fits"],
                                         True, small_runs)
            print("version edit that fits, 1 GiB file (in place, cached, medians of %d): %.2f ms, %.2f times the "
                  "small-file edit, RSS %d KiB" % (small_runs, fitting, fitting / small, rss))

        original, blob = os.path.join(folder, "program-100.exe"), os.path.join(folder, "blob")
        program_with_tail(original, 100, checksum=False)
        with open(blob, "wb") as f:
            for i in range(200):
                f.write(bytes([i]) * MIB)
        warm(blob)
        print("\n200 MiB resource into a 100 MiB program, against cp of the result (cached, medians of %d)" % args.runs)
        for mode in ("in place", "-o"):
            def edit(path, mode=mode):
                extra = ["-o", path + ".out"] if mode == "-o" else []
                return [vornres, "resource", path, "--set", "RCDATA", "NODE_SEA_BLOB", "--from", blob] + extra
            rounds = [bench.result_round(original, os.path.join(folder, "work.exe"), edit,
                                         lambda p, mode=mode: p + ".out" if mode == "-o" else p)
                      for _ in range(args.runs)]
            cp, ms = statistics.median(r[0] for r in rounds), statistics.median(r[1] for r in rounds)
            print("  %-8s  cp %8.1f ms  tool %8.1f ms  ratio %5.2f  RSS %d KiB" % (
                mode, cp, ms, ms / cp, max(r[2] for r in rounds)))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
