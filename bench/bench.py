#!/usr/bin/env python3
"""Times our deltree against rm -rf and find -delete, and zelk against a dash loop of rm -rf.

Every measurement builds a fresh tree and times one deletion of it; the tools take turns
(A B C A B C ...) so that slow drifts of the machine hit all of them alike. Before each timed run
the benchmark waits until the machine is quiet, and it counts what other processes used while
the run went on. Reported: the median with min-max over the runs and the ratio of medians
ours/peer, beside the floors of this machine: the start of a static program that does nothing,
and, for the "tree" shape, two threads removing the tree by names known in advance (no listing).
Warm (after sync) and, as root, cold (page, dentry and inode caches dropped before each deletion).

As root the trees live on a fresh ext4 image with a journal, mounted from a file, so that the
filesystem's age and mount options do not favour anyone.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

FULL = {"tree": (100, 10, 100), "flat": 100_000, "deep": 2000, "fat": (20, 10, 5 << 20),
        "zelk_entries": 1000, "starts": 100, "start_rounds": 15}
QUICK = {"tree": (10, 5, 20), "flat": 2000, "deep": 200, "fat": (4, 5, 64 << 10),
         "zelk_entries": 50, "starts": 20, "start_rounds": 3}

# What we aim for, as ratios of medians measured in one run (printed, never enforced: a noisy
# host moves them).
GOALS = {"tree": 0.70, "flat": 0.65, "deep": 0.75, "fat": 1.00, "zelk": 0.47, "start": 1.05,
         "two threads/one": 1.05}


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


# A quiet machine.
TICK = os.sysconf("SC_CLK_TCK")


def busy_seconds():
    """CPU seconds all processors have spent busy since boot, and the runnable tasks now."""
    running = 0
    with open("/proc/stat") as f:
        first = f.readline().split()
        for line in f:
            if line.startswith("procs_running"):
                running = int(line.split()[1])
    user, nice, system, idle, iowait, irq, softirq, steal = map(int, first[1:9])
    return (user + nice + system + irq + softirq + steal) / TICK, running


class Quiet:
    """Waits for a quiet machine before each timed run, and keeps what others used during it."""

    WINDOW = 0.3        # seconds over which the machine is looked at
    THRESHOLD = 0.05    # busy fraction of one processor that still counts as quiet
    def __init__(self, enabled, timeout=20.0):
        self.enabled = enabled
        self.timeout = timeout  # after this, the run goes ahead and is counted as noisy
        self.noisy_runs = 0
        self.others = []  # CPU seconds used by others during each timed run

    def wait(self):
        if not self.enabled:
            return
        deadline = time.monotonic() + self.timeout
        while True:
            before, _ = busy_seconds()
            time.sleep(self.WINDOW)
            after, running = busy_seconds()
            # Reading /proc/stat makes this process itself the one running task.
            if after - before <= self.THRESHOLD * self.WINDOW and running <= 1:
                return
            if time.monotonic() > deadline:
                self.noisy_runs += 1
                return

    def note(self, busy, own):
        self.others.append(max(0.0, busy - own))

    def summary(self):
        if not self.others:
            return {}
        return {"noisy_runs": self.noisy_runs, "runs": len(self.others),
                "others_cpu_ms_median": statistics.median(self.others) * 1e3,
                "others_cpu_ms_max": max(self.others) * 1e3}


# Running.
def timed(argv, quiet, env=None, stdin=None):
    """Seconds of one run of argv, started once the machine is quiet."""
    quiet.wait()
    busy_before, _ = busy_seconds()
    start = time.perf_counter()
    child = subprocess.Popen(argv, env=env, stdin=stdin, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    busy_after, _ = busy_seconds()
    quiet.note(busy_after - busy_before, usage.ru_utime + usage.ru_stime)
    if status != 0:
        raise SystemExit("%s failed with %d" % (argv[0], os.waitstatus_to_exitcode(status)))
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

    def as_json(self):
        return {"median_ms": self.median * 1e3, "min_ms": min(self.times) * 1e3,
                "max_ms": max(self.times) * 1e3, "runs_ms": [t * 1e3 for t in self.times]}


def tree_tools(args, shape, sizes):
    one_thread = dict(os.environ, DELTREE_THREADS="1")
    tools = [("deltree", lambda t: [args.deltree, "/Y", str(t)], None),
             ("deltree-1", lambda t: [args.deltree, "/Y", str(t)], one_thread)]
    if args.compare:
        tools.append(("deltree@compare", lambda t: [args.compare_deltree, "/Y", str(t)], None))
    tools += [("rm -rf", lambda t: ["rm", "-rf", str(t)], None),
              ("find -delete", lambda t: ["find", str(t), "-delete"], None)]
    if shape == "tree":
        outer, inner, files = sizes["tree"]
        tools.append(("floor", lambda t: [args.floor_remove, str(t), str(outer), str(inner),
                                          str(files), "2"], None))
    return tools


def bench_trees(args, root, sizes, modes, quiet):
    results = {}
    for shape in args.shapes:
        tools = tree_tools(args, shape, sizes)
        for cold in modes:
            stats = {name: Stats() for name, _, _ in tools}
            for run in range(args.runs):
                # Each tool in turn, the order rotated every run.
                order = tools[run % len(tools):] + tools[:run % len(tools)]
                for name, argv, env in order:
                    top = build(shape, root, sizes)
                    settle(cold)
                    stats[name].add(timed(argv(top), quiet, env))
                    if top.exists():
                        raise SystemExit("%s left %s behind" % (name, top))
            results["%s, %s" % (shape, "cold" if cold else "warm")] = report_trees(shape, cold,
                                                                                  stats)
    return results


def report_trees(shape, cold, stats):
    rm = stats["rm -rf"].median
    print("\n%s, %s" % (shape, "cold" if cold else "warm"))
    for name, s in stats.items():
        ratio = "" if name == "rm -rf" else "   %s/rm = %.2f" % (name, s.median / rm)
        if name == "floor":
            ratio += "   (two threads, names known, no listing)"
        print("  %-16s %s%s" % (name, s.show(), ratio))
    two_on_one = stats["deltree"].median / stats["deltree-1"].median
    print("  two threads/one thread = %.2f" % two_on_one)
    sys.stdout.flush()
    return {"tools": {name: s.as_json() for name, s in stats.items()},
            "ratios_to_rm": {name: s.median / rm for name, s in stats.items() if name != "rm -rf"},
            "two_threads_over_one": two_on_one}


def zelk_app(folder, zelk, deltree):
    """A folder holding zelk and the deltree it runs, and the PATH that finds that deltree."""
    folder.mkdir(parents=True)
    shutil.copy2(zelk, folder / "zelk")
    shutil.copy2(deltree, folder / "deltree")
    return folder, dict(os.environ, PATH="%s:/usr/bin:/bin" % folder)


def bench_zelk(args, root, sizes, quiet):
    """zelk on a list of folders against the shell loop a user would write instead."""
    count = sizes["zelk_entries"]
    work = root / "zelk"
    apps = {"zelk": zelk_app(work / "app", args.zelk, args.deltree)}
    if args.compare:
        apps["zelk@compare"] = zelk_app(work / "compare", args.compare_zelk,
                                        args.compare_deltree)
    loop_env = dict(os.environ, PATH="/usr/bin:/bin")
    # The floor: one do-nothing start per entry, in the same turns, since each entry starts one
    # deltree and no zelk can be faster per entry than the quickest start.
    names = list(apps) + ["dash loop", "start floor"]
    stats = {name: Stats() for name in names}
    loop = 'while IFS= read -r p; do rm -rf -- "$p"; done'
    entries = [work / "data" / ("e%04d" % i) for i in range(count)]
    listing = "".join("%s\n" % e for e in entries)
    for run in range(args.runs):
        for name in names[run % len(names):] + names[:run % len(names)]:
            if name == "start floor":
                stats[name].add(timed([args.spawn_loop, str(count), args.do_nothing], quiet))
                continue
            for e in entries:
                make_files(e, 10)
            settle(False)
            if name in apps:
                app, env = apps[name]
                (app / "zelk.lst").write_text(listing)
                stats[name].add(timed([str(app / "zelk")], quiet, env))
            else:
                (work / "list").write_text(listing)
                with open(work / "list") as stdin:
                    stats[name].add(timed(["dash", "-c", loop], quiet, loop_env, stdin))
            if any(e.exists() for e in entries):
                raise SystemExit("%s left entries behind" % name)
    loop_median = stats["dash loop"].median
    print("\nzelk over %d entries (folders of 10 files), warm" % count)
    result = {"entries": count, "tools": {}}
    for name, s in stats.items():
        ratio = "" if name == "dash loop" else "   %s/loop = %.2f" % (name, s.median / loop_median)
        if name == "start floor":
            ratio += "   (a static do-nothing program started once per entry)"
        print("  %-16s %s   %.3f ms/entry%s" % (name, s.show(), s.median * 1e3 / count, ratio))
        result["tools"][name] = dict(s.as_json(), ms_per_entry=s.median * 1e3 / count,
                                     ratio_to_loop=s.median / loop_median)
    for e in entries:
        make_files(e, 10)
    app, env = apps["zelk"]
    (app / "zelk.lst").write_text(listing)
    result["peak_kib"] = peak_kib(args, [str(app / "zelk")], env)
    print("  zelk peak memory: %.1f MiB" % (result["peak_kib"] / 1024))
    shutil.rmtree(work)
    return result


def peak_kib(args, argv, env=None):
    """Peak memory of one run, started from our small launcher so that its own size does not
    count (the kernel counts the launcher's memory as the child's until the child starts)."""
    out = subprocess.run([args.spawn_loop, "1"] + argv, capture_output=True, text=True,
                         check=True, env=env).stdout
    return int(out.split()[1])


def bench_starts(args, sizes, quiet):
    """Start-up cost: deltree on a missing path against a static program that does nothing,
    started in turns within one loop (A B A B ...), so that both meet the same machine."""
    n, rounds = sizes["starts"], sizes["start_rounds"]
    missing = "/nonexistent/zelk-bench"
    commands = {"deltree": [args.deltree, "/Y", missing], "do-nothing": [args.do_nothing]}
    if args.compare:
        commands["deltree@compare"] = [args.compare_deltree, "/Y", missing]
    argv = [args.spawn_loop, str(n)]
    for command in commands.values():
        argv += command + ["--"]
    per_start = {name: [] for name in commands}
    for _ in range(rounds):
        quiet.wait()
        lines = subprocess.run(argv[:-1], capture_output=True, text=True,
                               check=True).stdout.splitlines()
        for name, line in zip(commands, lines):
            per_start[name].append(float(line.split()[0]))
    floor = statistics.median(per_start["do-nothing"])
    print("\nstarts (median of %d loops of %d starts each, in turns)" % (rounds, n))
    result = {}
    for name, times in per_start.items():
        median = statistics.median(times)
        ratio = "" if name == "do-nothing" else "   %s/do-nothing = %.3f" % (name, median / floor)
        print("  %-16s %.3f ms [%.3f-%.3f]%s" % (name, median, min(times), max(times), ratio))
        result[name] = {"median_ms": median, "min_ms": min(times), "max_ms": max(times),
                        "ratio_to_do_nothing": median / floor}
    return result


def report_goals(figures):
    """The goals beside what this run measured; a noisy machine can miss them, so they only
    print."""
    warm = {shape: figures["trees"]["%s, warm" % shape] for shape in ("tree", "flat", "deep", "fat")
            if "%s, warm" % shape in figures["trees"]}
    measured = {shape: w["ratios_to_rm"]["deltree"] for shape, w in warm.items()}
    if warm:
        measured["two threads/one"] = max(w["two_threads_over_one"] for w in warm.values())
    if "zelk" in figures:
        measured["zelk"] = figures["zelk"]["tools"]["zelk"]["ratio_to_loop"]
    if "starts" in figures:
        measured["start"] = figures["starts"]["deltree"]["ratio_to_do_nothing"]
    print("\ngoals (ratio of medians: measured / goal)")
    for name, value in measured.items():
        print("  %-16s %.2f / %.2f  %s" % (name, value, GOALS[name],
                                          "met" if value <= GOALS[name] else "MISSED"))
    return {name: {"measured": value, "goal": GOALS[name]} for name, value in measured.items()}


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
                self.where = "a fresh ext4 image with a journal"
                return
            self.mount.rmdir()
            self.mount = None
        self.root = Path(tempfile.mkdtemp(prefix="zelk-bench-", dir="/var/tmp"))
        fs = subprocess.run(["stat", "-f", "-c", "%T", str(self.root)], capture_output=True,
                            text=True).stdout.strip()
        self.where = "a folder on %s" % fs

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
    p.add_argument("--quick", action="store_true",
                   help="small trees, no waiting for a quiet machine: a smoke run")
    p.add_argument("--runs", type=int, help="runs per tool and shape (default 5, quick 3)")
    p.add_argument("--shapes", nargs="*", default=["tree", "flat", "deep", "fat"])
    p.add_argument("--no-image", action="store_true", help="do not mount an ext4 image")
    p.add_argument("--no-cold", action="store_true", help="warm runs only")
    p.add_argument("--no-zelk", action="store_true", help="leave out zelk and the starts")
    p.add_argument("--bin", type=Path, default=default_bin)
    p.add_argument("--compare", type=Path, metavar="DIR",
                   help="also time the deltree and zelk in DIR (another build), taking turns")
    p.add_argument("--json", type=Path, metavar="FILE", help="write the figures to FILE too")
    p.add_argument("--quiet-timeout", type=float, default=20.0, metavar="SECONDS",
                   help="longest wait for a quiet machine before a run (default 20)")
    args = p.parse_args()
    args.deltree = str(args.bin / "deltree")
    args.zelk = str(args.bin / "zelk")
    args.spawn_loop = str(args.bin / "spawn_loop")
    args.do_nothing = str(args.bin / "do_nothing")
    args.floor_remove = str(args.bin / "floor_remove")
    if args.compare:
        args.compare_deltree = str(args.compare / "deltree")
        args.compare_zelk = str(args.compare / "zelk")
    sizes = QUICK if args.quick else FULL
    args.runs = args.runs or (3 if args.quick else 5)
    cold = os.geteuid() == 0 and not args.no_cold and not args.quick
    modes = [False, True] if cold else [False]
    quiet = Quiet(not args.quick, args.quiet_timeout)

    scratch = Scratch(not args.quick and not args.no_image, 3 << 30)
    figures = {"where": scratch.where, "runs": args.runs, "processors": os.cpu_count(),
               "quick": args.quick}
    try:
        print("trees on %s; %d runs each; %d processors" % (scratch.where, args.runs,
                                                            os.cpu_count()))
        if not cold:
            print("(warm runs only%s)" % ("" if os.geteuid() == 0 else ": cold needs root"))
        figures["trees"] = bench_trees(args, scratch.root, sizes, modes, quiet)
        if "flat" in args.shapes:
            top = build("flat", scratch.root, sizes)
            figures["deltree_peak_kib_flat"] = peak_kib(args, [args.deltree, "/Y", str(top)])
            print("\ndeltree peak memory on flat: %.1f MiB"
                  % (figures["deltree_peak_kib_flat"] / 1024))
        if not args.no_zelk:
            figures["zelk"] = bench_zelk(args, scratch.root, sizes, quiet)
            figures["starts"] = bench_starts(args, sizes, quiet)
    finally:
        scratch.close()
    figures["quiet"] = quiet.summary()
    if figures["quiet"]:
        q = figures["quiet"]
        print("\nothers used %.1f ms of CPU per timed run (median; max %.1f); %d of %d runs "
              "started without a quiet machine%s"
              % (q["others_cpu_ms_median"], q["others_cpu_ms_max"], q["noisy_runs"], q["runs"],
                 ": the figures are noisy" if q["noisy_runs"] else ""))
    figures["goals"] = report_goals(figures)
    if args.json:
        args.json.write_text(json.dumps(figures, indent=2) + "\n")


if __name__ == "__main__":
    main()
