"""Our deltree end to end: what goes, what stays, what it says, and links it must not follow."""
import os
import random
import shutil
import subprocess
import threading
import time
import unittest

from harness import E2ECase


def grow_random_tree(folder, rng, depth):
    """A folder with up to 10 files and up to 4 subfolders, and so on `depth` levels down."""
    folder.mkdir()
    for i in range(rng.randint(0, 10)):
        (folder / ("f%d" % i)).write_bytes(b"")
    for i in range(rng.randint(1, 4) if depth > 0 else 0):
        grow_random_tree(folder / ("d%d" % i), rng, depth - 1)


def swap_race(test, seconds, least_rounds=4):
    """Deletes trees again and again for `seconds` (and at least `least_rounds` times, however
    slow a loaded machine makes each) while a helper swaps their folders for links to a canary
    outside; the canary must come through untouched. How many rounds fit is never judged."""
    b = test.box
    canary = b.tree("canary")
    canary_files = sorted(p.relative_to(canary) for p in canary.rglob("*"))
    deadline = time.monotonic() + seconds
    rounds = 0
    while time.monotonic() < deadline or rounds < least_rounds:
        tree = b.data / "tree"
        for i in range(40):
            b.tree("tree/d%d" % i, files=["f1", "f2", "sub/f3"])
        stop = threading.Event()

        def swap():
            # Moves a folder away and puts a link to the canary in its place, again and again,
            # while deltree works on the tree.
            rng = random.Random(rounds)
            while not stop.is_set():
                d = tree / ("d%d" % rng.randrange(40))
                try:
                    os.rename(d, str(d) + ".away")
                    os.symlink(canary, d)
                    os.unlink(d)
                    os.rename(str(d) + ".away", d)
                except OSError:
                    pass

        swapper = threading.Thread(target=swap)
        swapper.start()
        r = b.deltree("/Y", str(tree))
        stop.set()
        swapper.join()
        # Failures are allowed, as lines of its own: a sanitizer's report also ends with 1.
        test.assertIn(r.status, (0, 1), r.err)
        test.assertEqual([line for line in r.err.splitlines() if not line.startswith(b"deltree: ")],
                         [], r.err)
        shutil.rmtree(tree, ignore_errors=True)
        if os.path.lexists(tree):
            os.unlink(tree)
        test.assertEqual(sorted(p.relative_to(canary) for p in canary.rglob("*")), canary_files)
        rounds += 1


def start_asking(test, path):
    """deltree without /Y on `path`, started, and waiting at its question (on standard error on
    Linux, on the console's output on Windows)."""
    b = test.box
    run = subprocess.Popen(test.target.launcher() + [str(b.app / test.target.tool), b.entry(path)],
                           env=test.target.env(b.path_dirs), cwd=b.data, stdin=subprocess.PIPE,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    question, asked = b"", run.stderr if test.target.name == "linux" else run.stdout
    while not question.endswith(b"[yn] "):
        byte = asked.read(1)
        test.assertTrue(byte, question)
        question += byte
    return run


def answer(run, text):
    """The answer to a started deltree's question; its status and the rest of its errors."""
    run.stdin.write(text)
    run.stdin.flush()
    return run.communicate(timeout=120)[1], run.returncode


class Deltree(E2ECase):
    def test_deletes_files_and_trees_silently(self):
        b = self.box
        paths = [b.file("f"), b.tree("t"), b.tree("with space")]
        r = b.deltree("/Y", *(b.entry(p) for p in paths))
        self.assertEqual((r.status, r.out, r.err), (0, b"", b""))
        self.assertEqual(os.listdir(b.data), [])

    def test_reports_each_failure_and_goes_on(self):
        b = self.box
        last = b.tree("last")
        # Without /Y, where a missing path is an error (with /Y it is done, as with rm -f).
        r = b.deltree("missing-1", "missing-2", "last", cwd=b.data, answer=b"y\n")
        self.assertEqual(r.status, 1)
        lines = r.err.decode(self.target.list_encoding).splitlines()  # the reason is the system's
        lines = [line for line in lines if not line.startswith("Delete ")]  # Linux asks here
        self.assertEqual(len(lines), 2, lines)
        self.assertIn("missing-1", lines[0])
        self.assertIn("missing-2", lines[1])
        self.assertFalse(last.exists())
        # With /Y, asked to make sure a path is gone, one that is already gone is done: a second
        # run on the same list ends 0.
        r = b.deltree("/Y", "missing-1", "last", cwd=b.data)
        self.assertEqual((r.status, r.err), (0, b""))
        # An empty path names nothing: it fails at once, with /Y too, and is never asked about.
        for args in (("/Y", ""), ("",)):
            r = b.deltree(*args, cwd=b.data, answer=b"y\n")
            self.assertEqual(r.status, 1, args)
            self.assertTrue(r.err.startswith(b"deltree: cannot remove '': "), (args, r.err))
            self.assertNotIn(b"[yn]", r.out + r.err, args)

    def test_refuses_current_and_parent_folder(self):
        b = self.box
        here = b.tree("a/b")
        r = b.deltree("/Y", ".", "..", "./", cwd=here)
        self.assertEqual(r.status, 1)
        self.assertEqual(len(r.err.splitlines()), 3)
        self.assertTrue((here / "sub/deeper/f3").exists())

    def test_asks_before_each_path_without_y(self):
        b = self.box
        kept, gone = b.tree("kept"), b.file("gone")
        r = b.deltree("kept", "gone", cwd=b.data, answer=b"n\ny\n")
        self.assertEqual(r.status, 1)
        self.assertTrue(kept.exists())
        self.assertFalse(gone.exists())
        # Asked on standard error on Linux, as rm -i asks; on the console's output on Windows.
        asked, other = (r.err, r.out) if self.target.name == "linux" else (r.out, r.err)
        self.assertIn(b'Delete directory "kept" and all its subdirectories? [yn] ', asked)
        self.assertNotIn(b"[yn]", other)
        # One answer is one whole line: a long "no" never answers the next question too.
        second = b.file("second")
        r = b.deltree("kept", "second", cwd=b.data, answer=b"nnnnnnnnnnnnnnnyes\n")
        self.assertEqual(r.status, 1)
        self.assertTrue(kept.exists() and second.exists())
        # A path that is not there is reported at once, not asked about.
        r = b.deltree("missing", cwd=b.data, answer=b"y\n")
        self.assertEqual(r.status, 1)
        self.assertNotIn(b"[yn]", r.out)
        self.assertIn(b"cannot remove 'missing'", r.err)
        # One that goes between the question and the answer (another program took it) is done.
        run = start_asking(self, b.file("taken"))
        os.remove(b.data / "taken")
        self.assertEqual(answer(run, b"y\n"), (b"", 0))

    def test_help_and_version_only_as_the_one_argument(self):
        b = self.box
        # "/?" would name a file in "/" on Linux, and none on Windows.
        names = ["-h", "--help", "--"]
        for name in names:
            b.file(name)
        for arg, text in (("/?", b"usage: deltree"), ("-h", b"usage: deltree"),
                          ("--help", b"DELTREE_THREADS"), ("--version", b"deltree 1.")):
            r = b.deltree(arg, cwd=b.data)
            self.assertEqual((r.status, r.err), (0, b""), arg)
            self.assertIn(text, r.out, arg)
            self.assertNotIn(b"[yn]", r.out, arg)
        self.assertTrue(all((b.data / n).exists() for n in names))
        # After /Y they are paths: files of those names go. On Linux the first "--" ends the
        # switches; on Windows it names the same file as the second.
        r = b.deltree("/Y", "--", "--", "-h", "--help", cwd=b.data)
        self.assertEqual((r.status, r.err), (0, b""))
        self.assertFalse(any((b.data / n).exists() for n in names))

    def test_random_tree_with_several_threads(self):
        b = self.box
        rng = random.Random(5)
        for threads in (1, 3, 8):
            top = b.data / ("t%d" % threads)
            grow_random_tree(top, rng, depth=4)
            # A big folder, whose first entries go while the rest is still being listed.
            big = top / "big"
            big.mkdir()
            for i in range(6000):
                (big / ("f%d" % i)).write_bytes(b"")
            for i in range(0, 6000, 500):
                grow_random_tree(big / ("d%d" % i), rng, depth=1)
            r = b.deltree("/Y", b.entry(top), env={"DELTREE_THREADS": str(threads)})
            self.assertEqual((r.status, r.err), (0, b""), threads)
            self.assertFalse(top.exists())

    def test_two_runs_on_one_tree(self):
        """Another program removing the same tree meanwhile: what is already gone is no failure,
        so both runs end with 0 and nothing is left."""
        b = self.box
        for attempt in range(3):
            top = b.data / "t"
            for d in range(30):
                b.tree("t/d%d" % d, files=["f%d" % i for i in range(60)] + ["sub/g1", "sub/g2"])
            # Both wait at their question and are answered together: a start slower than the
            # other run's whole removal would find the tree missing, which is a failure.
            runs = [start_asking(self, top) for _ in range(2)]
            for run in runs:
                run.stdin.write(b"y\n")
                run.stdin.flush()
            results = [(run.communicate(timeout=120)[1], run.returncode)[::-1] for run in runs]
            self.assertEqual(results, [(0, b""), (0, b"")], attempt)
            self.assertFalse(top.exists())

    def test_never_the_current_folder_or_above_whatever_the_spelling(self):
        """Relative steps, case, short names, trailing dots and spaces, the device namespace
        and links spell the same folder in many ways: deltree judges the folder itself."""
        b = self.box
        here = b.tree("a/b")
        # The current folder reached through a link: the folder above it is "a", not "j".
        os.mkdir(b.data / "j")
        os.symlink(here, b.data / "j" / "link")
        r = b.deltree("/Y", b.entry(b.data / "a"), cwd=b.data / "j" / "link")
        self.assertEqual(r.status, 1, r.err)
        self.assertTrue((here / "sub/deeper/f3").exists())
        if self.target.name == "linux":
            spellings = ["../b", "../../a", str(here), str(b.data / "a") + "/", "//" + str(here)]
        else:
            top = b.entry(b.data)
            spellings = [". ", "..\\. ", "...", "C: ", "..\\b", b.entry(here),
                         b.entry(here).upper(), top + "\\a\\b\\sub\\..", "\\\\.\\" + top + "\\a",
                         "\\\\?\\" + b.entry(here), "\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\",
                         "NUL", "COM1"]
        for path in spellings:
            r = b.deltree("/Y", path, cwd=here)
            self.assertEqual(r.status, 1, path)
            self.assertEqual(len(r.err.splitlines()), 1, (path, r.err))
            self.assertTrue((here / "sub/deeper/f3").exists(), path)
        if self.target.name == "windows":
            self.assertIn(b"is a device", r.err)

    def test_usage_error(self):
        # A "--" with no path after it gives none on Linux; on Windows it names a path.
        for args, status in (((), 2), (("/Y",), 2),
                             (("/Y", "--"), 2 if self.target.name == "linux" else 0)):
            r = self.box.deltree(*args, cwd=self.box.data)
            self.assertEqual(r.status, status, args)
            self.assertEqual(b"usage" in r.err, status == 2, args)


class DeltreeOnLinux(E2ECase):
    def setUp(self):
        self.only_on("linux")

    def test_names_with_control_characters_are_quoted_as_the_shell_reads_them(self):
        b = self.box
        b.file("a\nb\x1b[1m'c")
        # C1 controls (U+009B is CSI) and bytes of no UTF-8 character are escaped too.
        r = b.deltree("a\nb\x1b[1m'c", "missing\tx", "m\u009b", "\udc9b日本", cwd=b.data,
                      answer=b"n\n")
        self.assertEqual((r.status, r.out), (1, b""))
        self.assertEqual(r.err.split(b"deltree: cannot remove "), [
            b"Delete file 'a'$'\\n''b'$'\\033''[1m'\\''c'? [yn] ",
            b"'missing'$'\\t''x': No such file or directory\n",
            b"'m'$'\\302\\233': No such file or directory\n",
            b"$'\\233''\xe6\x97\xa5\xe6\x9c\xac': No such file or directory\n"])
        self.assertEqual(os.listdir(b.data), ["a\nb\x1b[1m'c"])

    def test_links_inside_a_tree_are_removed_not_followed(self):
        b = self.box
        canary = b.tree("canary")
        tree = b.tree("tree")
        os.symlink(canary, tree / "dir-link")
        os.symlink(canary / "f1", tree / "sub" / "file-link")
        os.symlink(b.data / "nowhere", tree / "dangling")
        r = b.deltree("/Y", str(tree))
        self.assertEqual((r.status, r.err), (0, b""))
        self.assertFalse(tree.exists())
        self.assertEqual(sorted(p.name for p in canary.rglob("*")),
                         ["deeper", "f1", "f2", "f3", "sub"])

    def test_listed_link_goes_alone_even_with_a_trailing_slash(self):
        b = self.box
        canary = b.tree("canary")
        for name in ("link", "link-slash"):
            os.symlink(canary, b.data / name)
        # A link that leads nowhere, to a file or to itself goes too, however it is named.
        os.symlink(b.data / "nowhere", b.data / "dangling")
        os.symlink(canary / "f1", b.data / "to-file")
        os.symlink("loop", b.data / "loop")
        r = b.deltree("/Y", "link", "link-slash/", "link-slash//", "dangling/", "to-file/",
                      "loop/", cwd=b.data)
        self.assertEqual((r.status, r.err), (0, b""))  # the third names a link already gone
        self.assertEqual(sorted(os.listdir(b.data)), ["canary"])
        self.assertTrue((canary / "sub/deeper/f3").exists())

    def test_deep_chain_under_a_low_descriptor_limit(self):
        b = self.box
        fd = os.open(b.data, os.O_RDONLY)
        os.mkdir("chain", dir_fd=fd)
        fd = os.open("chain", os.O_RDONLY, dir_fd=fd)
        for _ in range(2000):
            os.mkdir("d", dir_fd=fd)
            next_fd = os.open("d", os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = next_fd
        os.close(os.open("leaf", os.O_WRONLY | os.O_CREAT, dir_fd=fd))
        os.close(fd)
        deltree = str(b.app / "deltree")
        # The way back up takes no stack per level: 256 KiB are plenty for any depth.
        r = b.run(["-c", "ulimit -n 32 -s 256 && exec \"$0\" /Y chain", deltree], exe="/bin/bash")
        self.assertEqual((r.status, r.err), (0, b""))
        self.assertFalse((b.data / "chain").exists())

    def run_limited(self, nofile, threads, *args):
        """deltree under a descriptor limit and a thread count."""
        script = 'ulimit -n %d && exec "$0" "$@"' % nofile
        return self.box.run(["-c", script, str(self.box.app / "deltree")] + list(args),
                            exe="/bin/bash", env={"DELTREE_THREADS": str(threads)})

    def test_random_trees_with_threads_and_few_descriptors(self):
        b = self.box
        rng = random.Random(11)
        for threads, nofile in ((1, 24), (3, 24), (8, 40), (8, 1024)):
            top = b.data / ("t%d-%d" % (threads, nofile))
            grow_random_tree(top, rng, depth=5)
            # A wide folder, and a comb: every level a leaf folder beside the way on.
            for i in range(300):
                (top / ("w%d" % i)).mkdir()
            comb = top
            for _ in range(150):
                (comb / "leaf").mkdir()
                comb = comb / "next"
                comb.mkdir()
            r = self.run_limited(nofile, threads, "/Y", str(top))
            self.assertEqual((r.status, r.err), (0, b""), (threads, nofile))
            self.assertFalse(top.exists())

    def test_folder_swapped_for_a_link_never_redirects_the_deletion(self):
        swap_race(self, 4)

    def in_mount_namespace(self, script, *args):
        """Runs `script` as root in a private mount namespace: its mounts end with it."""
        self.needs_root()
        if not shutil.which("unshare") or subprocess.call(["unshare", "-m", "true"]) != 0:
            self.skipTest("no mount namespace here")
        return self.box.run(["-m", "sh", "-c", "mount --make-rprivate / && " + script] +
                            list(args), exe=shutil.which("unshare"),
                            env={"PATH": os.environ["PATH"]})

    def test_mount_point_is_not_entered(self):
        """Another filesystem, or a bind mount of this one (same device number), inside the tree:
        skipped with one line, and what it shows is kept. Also where statx tells no mount (a
        kernel before 5.8, a sandbox that refuses it: strace makes it fail)."""
        b = self.box
        canary = b.tree("canary")
        strace = shutil.which("strace")
        no_statx = ("%s -f -qq -o /dev/null -e inject=statx:error=ENOSYS " % strace) if strace else ""
        env = "ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=0 "  # LeakSanitizer cannot work under ptrace
        for mount, how in (("mount -t tmpfs none tree/mnt && touch tree/mnt/kept", ""),
                           ("mount --bind canary tree/mnt", ""),
                           ("mount --bind canary tree/mnt", no_statx)):
            tree = b.tree("tree")
            (tree / "mnt").mkdir()
            r = self.in_mount_namespace(mount + ' && ' + env + how + '"$0" /Y tree; s=$?; test -e '
                                        'tree/mnt/f1 -o -e tree/mnt/kept && exit $s; exit 99',
                                        str(b.app / "deltree"))
            self.assertEqual(r.status, 1, (mount, how, r.err))
            self.assertIn(b"'tree/mnt' is a mount point", r.err)
            self.assertFalse((tree / "f1").exists())
            shutil.rmtree(tree)
        self.assertTrue((canary / "sub/deeper/f3").exists())

    def test_current_folder_through_a_bind_mount_is_never_removed(self):
        """The current folder reached through a bind mount of a folder inside the tree: the
        folders above it along the way it was reached are not the tree's, but by device and inode
        the walk meets it, and never enters it."""
        b = self.box
        tree = b.tree("tree", files=("f", "sub/here/keep", "other/g"))
        (b.data / "elsewhere").mkdir()
        r = self.in_mount_namespace('mount --bind tree/sub elsewhere && cd elsewhere/here && '
                                    '"$0" /Y "$1"', str(b.app / "deltree"), str(tree))
        self.assertEqual(r.status, 1, r.err)
        self.assertIn(b"is the current folder or a folder above it; not entered", r.err)
        self.assertTrue((tree / "sub/here/keep").exists())
        self.assertFalse((tree / "f").exists() or (tree / "other").exists())

    def test_folder_moved_into_the_named_place_after_its_check(self):
        """A folder above the current one moved under the named name between the judgement and
        the opening (the opening held back by strace): the opened folder is judged again."""
        strace = shutil.which("strace")
        if not strace:
            self.skipTest("strace is not installed")
        b = self.box
        named = b.tree("named", files=("f",))
        above = b.tree("above", files=("here/keep",))
        deltree = [str(b.app / "deltree"), "/Y", str(named)]
        here = above / "here"
        # LeakSanitizer cannot work under ptrace.
        env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
        # The opening of the named folder to work in it: the call to hold back.
        log = b.root / "calls"
        subprocess.run([strace, "-qq", "-o", str(log), "-e", "trace=openat"] + deltree,
                       cwd=here, env=env, check=True)
        b.tree("named", files=("f",))
        calls = log.read_text().splitlines()
        nth = 1 + next(i for i, c in enumerate(calls) if '"named", O_RDONLY' in c)
        run = subprocess.Popen([strace, "-qq", "-o", "/dev/null", "-e",
                                "inject=openat:delay_enter=2000000:when=%d" % nth] + deltree,
                               cwd=here, env=env, stderr=subprocess.PIPE)
        time.sleep(1)
        os.rename(named, b.data / "named.away")
        os.rename(above, named)
        err = run.communicate(timeout=60)[1]
        self.assertEqual(run.returncode, 1, err)
        self.assertTrue((named / "here/keep").exists())

    def test_root_under_another_name_is_refused(self):
        """A bind mount of "/" is "/": tried in a chroot jail, whose "/" is the jail."""
        b = self.box
        deltree = b.app / "deltree"
        if subprocess.call(["ldd", str(deltree)], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL) == 0:
            self.skipTest("deltree is not static here: it cannot run in an empty jail")
        jail = b.tree("jail", files=("keep", "sub/keep"))
        shutil.copy2(deltree, jail / "deltree")
        (jail / "root").mkdir()
        r = self.in_mount_namespace('mount --bind "$0" "$0/root" && chroot "$0" /deltree /Y /root',
                                    str(jail))
        self.assertEqual(r.status, 1, r.err)
        self.assertIn(b"'/root' is the root of a drive or filesystem", r.err)
        self.assertTrue((jail / "sub/keep").exists() and (jail / "deltree").exists())


class DeltreeOnWindows(E2ECase):
    def setUp(self):
        self.only_on("windows")

    def test_device_namespace_paths(self):
        """"\\.\" is read like "\\?\"; a name with a trailing dot or space is refused in any
        spelling (Wine drops them even after "\\?\"), so its twin without one stays."""
        b = self.box
        tree, twin = b.tree("t"), b.tree("real")
        b.tree("real.")
        r = b.deltree("/Y", "\\\\.\\" + b.entry(tree), "\\\\?\\" + b.entry(b.data) + "\\real.")
        self.assertEqual(r.status, 1)
        self.assertEqual(len(r.err.splitlines()), 1, r.err)
        self.assertFalse(tree.exists())
        self.assertTrue((twin / "sub/deeper/f3").exists())


if __name__ == "__main__":
    unittest.main()
