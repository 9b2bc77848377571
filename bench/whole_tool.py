#!/usr/bin/env python3
"""Whole-tool benchmark: Dorvane against reading the bytes and against relinking.

  bench/whole_tool.py --build BUILD_DIR [--work DIR] [--repeat 9] [--small 1400 --medium 500 --large 100]
                      [--every N] [--checksums N] [--order forward|backward|shuffled]

BUILD_DIR holds Dorvane, make_samples and tests/peak_rss (a Release build).
It generates a corpus with the tests' image builder (images of 4 KiB to 6 MiB
of data, a HIGHLOW or DIR64 relocation every 16 bytes of every --every-th
page, every --checksums-th one with a checksum), then on the same files,
warm cache, takes the median of several
runs of (each measure run in turn with the one it is compared with):
  (a) Dorvane rebasing the whole list (alternating bases, so every run moves
      every image);
  (b) cat of every file to /dev/null;
  (c) lld-link relinking a subset of DLLs at a new base, against (a) on the
      same subset;
  (d) Dorvane /CHECK over the list, against (e) reading the first 4 KiB of
      every file.
and prints the ratios and the peak RSS of (a).
"""
import argparse
import os
import shutil
import statistics
import subprocess
import tempfile
import time


def run_once(command, stdin_path=None):
    with open(stdin_path or os.devnull, "rb") as stdin:
        started = time.perf_counter()
        subprocess.run(command, stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return time.perf_counter() - started


def timed(command, stdin_path=None, repeat=5):
    return statistics.median(run_once(command, stdin_path) for _ in range(repeat))


def rebase_command(tool, i):
    # Alternating bases, so that every run moves every image.
    return [tool, "/BASE:%X" % (0x20000000 if i % 2 == 0 else 0x12000000)]


def alternating_rebase(tool, listing, repeat):
    return statistics.median(run_once(rebase_command(tool, i), listing) for i in range(repeat))


def interleaved(first, second, listing, repeat):
    """Runs first(i) and second(i) in turn, so that a slow spell of the
    machine weighs on both; returns their medians and the median, lowest and
    highest of the ratios of each pair."""
    a, b = [], []
    for i in range(repeat):
        a.append(run_once(first(i), listing))
        b.append(run_once(second(i), listing))
    ratios = sorted(x / y for x, y in zip(a, b))
    return statistics.median(a), statistics.median(b), statistics.median(ratios), ratios[0], ratios[-1]


def make_corpus(build, work, counts, every, checksums, order):
    paths = []
    for name, (count, scale) in counts.items():
        directory = os.path.join(work, name)
        os.makedirs(directory, exist_ok=True)
        out = subprocess.run([os.path.join(build, "make_samples"), directory, str(count), str(scale), str(every),
                              str(checksums), order], capture_output=True, check=True)
        paths += out.stdout.decode().split()
    return paths


POINTER_SOURCE = """
static int cells[%(n)d];
int *table[%(n)d] = { %(init)s };
__declspec(dllexport) int *get(int i) { return table[i]; }
"""


def relink_subset(build, work, count, repeat):
    """Median time per DLL to relink with lld-link and to rebase with Dorvane."""
    if not (shutil.which("clang") and shutil.which("lld-link")):
        return None
    directory = os.path.join(work, "linked")
    os.makedirs(directory, exist_ok=True)
    dlls, objs = [], []
    for i in range(count):
        n = 1024 * (1 + i % 8)  # 4 KiB to 32 KiB of pointers
        source = os.path.join(directory, "p%d.c" % i)
        with open(source, "w") as f:
            f.write(POINTER_SOURCE % {"n": n, "init": ", ".join("&cells[%d]" % k for k in range(n))})
        obj = source[:-2] + ".obj"
        subprocess.run(["clang", "--target=i686-pc-windows-msvc", "-O1", "-c", source, "-o", obj], check=True)
        objs.append(obj)
        dlls.append(source[:-2] + ".dll")
    def link(base):
        for obj, dll in zip(objs, dlls):
            subprocess.run(["lld-link", "/dll", "/noentry", "/nodefaultlib", "/base:0x%X" % base, "/out:" + dll, obj],
                           check=True, capture_output=True)
    link(0x10000000)
    listing = os.path.join(directory, "list.txt")
    with open(listing, "w") as f:
        f.write("".join(d + "\n" for d in dlls))
    relink = statistics.median(timed_call(lambda b=b: link(b)) for b in [0x20000000, 0x30000000] * repeat)
    rebase = alternating_rebase(os.path.join(build, "Dorvane"), listing, repeat)
    return relink / count, rebase / count


def timed_call(fn):
    started = time.perf_counter()
    fn()
    return time.perf_counter() - started


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--work")
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--small", type=int, default=1400)
    parser.add_argument("--medium", type=int, default=500)
    parser.add_argument("--large", type=int, default=100)
    parser.add_argument("--relink", type=int, default=20)
    parser.add_argument("--every", type=int, default=1, help="relocations on every N-th data page")
    parser.add_argument("--checksums", type=int, default=2, help="a checksum in every N-th image (0: none)")
    parser.add_argument("--order", choices=["forward", "backward", "shuffled"], default="forward",
                        help="the order of each image's relocation blocks")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    tool = os.path.join(build, "Dorvane")
    work = args.work or tempfile.mkdtemp(prefix="dorvane-bench-")
    paths = make_corpus(build, work, {"small": (args.small, 1), "medium": (args.medium, 8), "large": (args.large, 64)},
                        args.every, args.checksums, args.order)
    listing = os.path.join(work, "list.txt")
    with open(listing, "w") as f:
        f.write("".join(p + "\n" for p in paths))
    total = sum(os.path.getsize(p) for p in paths)
    print("corpus: %d images, %.1f MiB" % (len(paths), total / 2**20))

    timed(["xargs", "cat"], listing, 2)  # warm the cache
    a, b, ab, ab_low, ab_high = interleaved(lambda i: rebase_command(tool, i),
                                            lambda i: ["sh", "-c", "xargs cat > /dev/null"], listing, args.repeat)
    check, heads, de, de_low, de_high = interleaved(lambda i: [tool, "/CHECK"],
                                                    lambda i: ["sh", "-c", "xargs head -q -c 4096 > /dev/null"],
                                                    listing, args.repeat)
    peak = subprocess.run([os.path.join(build, "tests", "peak_rss"), tool], stdin=open(listing, "rb"),
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    rss = int(peak.stderr.split(b"peak_rss_kib ")[-1])

    print("(a) rebase whole list      %8.3f s" % a)
    print("(b) cat every file         %8.3f s" % b)
    print("    a/b                    %8.2f  (pairs: %.2f to %.2f)" % (ab, ab_low, ab_high))
    print("(d) check whole list       %8.3f s" % check)
    print("(e) first 4 KiB of each    %8.3f s" % heads)
    print("    d/e                    %8.2f  (pairs: %.2f to %.2f)" % (de, de_low, de_high))
    print("    peak RSS of (a)        %8d KiB" % rss)
    relinked = relink_subset(build, work, args.relink, max(1, args.repeat // 2))
    if relinked:
        per_link, per_rebase = relinked
        print("(c) relink per DLL         %8.2f ms, rebase per DLL %.3f ms" % (per_link * 1e3, per_rebase * 1e3))
        print("    c/a                    %8.1f" % (per_link / per_rebase))
    if not args.work:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
