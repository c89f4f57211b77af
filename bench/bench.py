#!/usr/bin/env python3
"""Times our deltree against rm -rf and find -delete, and zelk against a dash loop of rm -rf.

Every measurement builds a fresh tree and times one deletion of it; the tools take turns
(A B C A B C ...) so that slow drifts of the machine hit all of them alike. Reported: the median
with min-max over the runs and the ratio of medians ours/peer; warm (after sync) and, as root,
cold (page, dentry and inode caches dropped before each deletion).

As root the trees live on a fresh ext4 image with a journal, mounted from a file, so that the
filesystem's age and mount options do not favour anyone.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

FULL = {"tree": (100, 10, 100), "flat": 100_000, "deep": 2000, "fat": (20, 10, 5 << 20),
        "zelk_entries": 1000, "starts": 500}
QUICK = {"tree": (10, 5, 20), "flat": 2000, "deep": 200, "fat": (4, 5, 64 << 10),
         "zelk_entries": 50, "starts": 50}


# Trees.
def make_files(folder, count, size=0):
    folder.mkdir(parents=True, exist_ok=True)
    data = b"\x5a" * size
    for i in range(count):
        fd = os.open(folder / ("f%06d" % i), os.O_WRONLY | os.O_CREAT, 0o644)
        if size:
            os.write(fd, data)  # real data, as a build or a cache leaves it
        os.close(fd)


def build(shape, root, sizes):
    top = root / shape
    if shape == "tree":
        outer, inner, files = sizes["tree"]
        for i in range(outer):
            for j in range(inner):
                make_files(top / ("d%03d" % i) / ("s%02d" % j), files)
    elif shape == "flat":
        make_files(top, sizes["flat"])
    elif shape == "deep":
        top.mkdir()
        fd = os.open(top, os.O_RDONLY)
        for _ in range(sizes["deep"]):
            os.mkdir("d", dir_fd=fd)
            child = os.open("d", os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = child
        os.close(fd)
    elif shape == "fat":
        folders, per_folder, size = sizes["fat"]
        for i in range(folders):
            make_files(top / ("d%02d" % i), per_folder, size)
    return top


def settle(cold):
    os.sync()
    if cold:
        Path("/proc/sys/vm/drop_caches").write_text("3\n")


# Running.
def timed(argv, env=None, stdin=None):
    """Seconds of one run of argv."""
    start = time.perf_counter()
    status = subprocess.call(argv, env=env, stdin=stdin, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    seconds = time.perf_counter() - start
    if status != 0:
        raise SystemExit("%s failed with %d" % (argv[0], status))
    return seconds


class Stats:
    def __init__(self):
        self.times = []

    def add(self, seconds):
        self.times.append(seconds)

    @property
    def median(self):
        return statistics.median(self.times)

    def show(self):
        return "%8.1f ms [%.1f-%.1f]" % (self.median * 1e3, min(self.times) * 1e3,
                                        max(self.times) * 1e3)


def tree_tools(deltree):
    one_thread = dict(os.environ, DELTREE_THREADS="1")
    return [("deltree", lambda t: [deltree, "/Y", str(t)], None),
            ("deltree-1", lambda t: [deltree, "/Y", str(t)], one_thread),
            ("rm -rf", lambda t: ["rm", "-rf", str(t)], None),
            ("find -delete", lambda t: ["find", str(t), "-delete"], None)]


def bench_trees(args, root, sizes, modes):
    results = {}
    tools = tree_tools(args.deltree)
    for shape in args.shapes:
        for cold in modes:
            stats = {name: Stats() for name, _, _ in tools}
            for run in range(args.runs):
                # Each tool in turn, the order rotated every run.
                order = tools[run % len(tools):] + tools[:run % len(tools)]
                for name, argv, env in order:
                    top = build(shape, root, sizes)
                    settle(cold)
                    stats[name].add(timed(argv(top), env))
                    if top.exists():
                        raise SystemExit("%s left %s behind" % (name, top))
            results[(shape, cold)] = stats
            report_trees(shape, cold, stats)
    return results


def report_trees(shape, cold, stats):
    rm = stats["rm -rf"].median
    print("\n%s, %s" % (shape, "cold" if cold else "warm"))
    for name, s in stats.items():
        ratio = "" if name == "rm -rf" else "   %s/rm = %.2f" % (name, s.median / rm)
        print("  %-13s %s%s" % (name, s.show(), ratio))
    sys.stdout.flush()


def bench_zelk(args, root, sizes):
    """zelk on a list of folders against the shell loop a user would write instead."""
    count = sizes["zelk_entries"]
    work = root / "zelk"
    app = work / "app"
    app.mkdir(parents=True)
    zelk = app / "zelk"
    shutil.copy2(args.zelk, zelk)
    shutil.copy2(args.deltree, app / "deltree")
    env = dict(os.environ, PATH="%s:/usr/bin:/bin" % app)
    stats = {"zelk": Stats(), "dash loop": Stats()}
    loop = 'while IFS= read -r p; do rm -rf -- "$p"; done'
    for run in range(args.runs):
        for name in (("zelk", "dash loop") if run % 2 == 0 else ("dash loop", "zelk")):
            entries = [work / "data" / ("e%04d" % i) for i in range(count)]
            for e in entries:
                make_files(e, 10)
            listing = "".join("%s\n" % e for e in entries)
            settle(False)
            if name == "zelk":
                (app / "zelk.lst").write_text(listing)
                stats[name].add(timed([str(zelk)], env))
            else:
                (work / "list").write_text(listing)
                with open(work / "list") as stdin:
                    stats[name].add(timed(["dash", "-c", loop], env, stdin))
            if any(e.exists() for e in entries):
                raise SystemExit("%s left entries behind" % name)
    print("\nzelk over %d entries (folders of 10 files), warm" % count)
    for name, s in stats.items():
        ratio = "   zelk/loop = %.2f" % (s.median / stats["dash loop"].median) if name == "zelk" else ""
        print("  %-13s %s   %.3f ms/entry%s" % (name, s.show(), s.median * 1e3 / count, ratio))
    for e in entries:
        make_files(e, 10)
    (app / "zelk.lst").write_text(listing)
    print("  zelk peak memory: %.1f MiB" % (peak_kib(args, [str(zelk)], env) / 1024))
    shutil.rmtree(work)
    return stats


def peak_kib(args, argv, env=None):
    """Peak memory of one run, started from our small launcher so that its own size does not
    count (the kernel counts the launcher's memory as the child's until the child starts)."""
    out = subprocess.run([args.spawn_loop, "1"] + argv, capture_output=True, text=True,
                         check=True, env=env).stdout
    return int(out.split()[1])


def bench_starts(args, sizes):
    """Start-up cost: deltree on a missing path, started directly, many times."""
    n = sizes["starts"]
    missing = "/nonexistent/zelk-bench"
    best = []
    for _ in range(3):
        out = subprocess.run([args.spawn_loop, str(n), args.deltree, "/Y", missing],
                             capture_output=True, text=True, check=True).stdout
        best.append(float(out.split()[0]))
    per_start = statistics.median(best)
    print("\ndeltree on a missing path: %.3f ms per start (median of 3 x %d starts)"
          % (per_start, n))
    return per_start


# Where the trees live.
class Scratch:
    def __init__(self, use_image, image_size):
        self.mount = None
        self.image = None
        if use_image and os.geteuid() == 0 and shutil.which("mkfs.ext4"):
            self.image = Path(tempfile.mkdtemp(prefix="zelk-bench-", dir="/var/tmp")) / "ext4.img"
            with open(self.image, "wb") as f:
                f.truncate(image_size)
            subprocess.run(["mkfs.ext4", "-q", "-F", str(self.image)], check=True)
            self.mount = Path(tempfile.mkdtemp(prefix="zelk-bench-mnt-"))
            if subprocess.call(["mount", "-o", "loop", str(self.image), str(self.mount)]) == 0:
                self.root = self.mount
                self.where = "a fresh ext4 image with a journal, mounted from %s" % self.image
                return
            self.mount.rmdir()
            self.mount = None
        self.root = Path(tempfile.mkdtemp(prefix="zelk-bench-", dir="/var/tmp"))
        fs = subprocess.run(["stat", "-f", "-c", "%T", str(self.root)], capture_output=True,
                            text=True).stdout.strip()
        self.where = "%s (%s)" % (self.root, fs)

    def close(self):
        if self.mount:
            subprocess.call(["umount", str(self.mount)])
            self.mount.rmdir()
        else:
            shutil.rmtree(self.root, ignore_errors=True)
        if self.image:
            shutil.rmtree(self.image.parent, ignore_errors=True)


def main():
    here = Path(__file__).resolve().parent
    default_bin = here.parent / "build" / "linux" / "bin"
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="small trees: a smoke run")
    p.add_argument("--runs", type=int, help="runs per tool and shape (default 5, quick 3)")
    p.add_argument("--shapes", nargs="+", default=["tree", "flat", "deep", "fat"])
    p.add_argument("--no-image", action="store_true", help="do not mount an ext4 image")
    p.add_argument("--no-cold", action="store_true", help="warm runs only")
    p.add_argument("--bin", type=Path, default=default_bin)
    args = p.parse_args()
    args.deltree = str(args.bin / "deltree")
    args.zelk = str(args.bin / "zelk")
    args.spawn_loop = str(args.bin / "spawn_loop")
    sizes = QUICK if args.quick else FULL
    args.runs = args.runs or (3 if args.quick else 5)
    cold = os.geteuid() == 0 and not args.no_cold and not args.quick
    modes = [False, True] if cold else [False]

    scratch = Scratch(not args.quick and not args.no_image, 3 << 30)
    try:
        print("trees on %s; %d runs each; %d cores" % (scratch.where, args.runs, os.cpu_count()))
        if not cold:
            print("(warm runs only%s)" % ("" if os.geteuid() == 0 else ": cold needs root"))
        bench_trees(args, scratch.root, sizes, modes)
        if "flat" in args.shapes:
            top = build("flat", scratch.root, sizes)
            print("\ndeltree peak memory on flat: %.1f MiB" % (peak_kib(args, [args.deltree, "/Y",
                                                                            str(top)]) / 1024))
        bench_zelk(args, scratch.root, sizes)
        bench_starts(args, sizes)
    finally:
        scratch.close()


if __name__ == "__main__":
    main()
