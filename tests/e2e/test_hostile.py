"""Hostile lists, hostile trees and injected faults: nothing deleted that was not listed, nothing
listed reported deleted while it still exists, every failure reported."""
import fcntl
import os
import random
import re
import shutil
import struct
import subprocess
import termios
import threading
import time
import unittest
from pathlib import Path

from harness import DELETED, FOUND, MISSING, REMAINS, UNEXPECTED, E2ECase, Sandbox
from test_deltree import grow_random_tree

# setpriv's arguments that run a command as the unprivileged user "nobody".
NOBODY = ["--reuid=65534", "--regid=65534", "--clear-groups", "--"]


def in_sandboxes(target, work, cases):
    """work(box, case) for each case, each in a sandbox of its own and all side by side (failed
    runs pause five seconds); their results, in order. The first exception is raised again."""
    results = [None] * len(cases)

    def run(i):
        box = Sandbox(target)
        try:
            results[i] = work(box, cases[i])
        except BaseException as e:  # raised again below, in the test's own thread
            results[i] = e
        finally:
            box.close()

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(cases))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for result in results:
        if isinstance(result, BaseException):
            raise result
    return results


def give_to_nobody(*paths):
    for p in paths:
        os.chown(p, 65534, 65534)


def open_up(box):
    """Lets an unprivileged user reach the sandbox."""
    for d in (box.root, box.app, box.data):
        os.chmod(d, 0o755)


class HostileEntries(E2ECase):
    LINUX = ["a$(touch P)", "a`touch P`", 'a";touch P;"', "a\\", 'a\\"b', "$HOME", "a'b",
             "a\tb", "*", "?", "[x]", "-rf", "--help", "日本語",
             "\udc95\\\udc83\\", "n" * 255]  # the last but one: code page 932 bytes, as they are
    WINDOWS = ["%PATH%", "100%done", "%CMDCMDLINE~-1%&echo P", "!TMP!", "^", "(x)",
               "a$(touch P)", "a`touch P`", "$HOME", "a'b", "-rf", "--help", "日本語", "表示",
               "n" * 200, "&echo P"]

    def test_entries_arrive_exactly_as_written(self):
        b = self.box
        b.use_stand_in(remove=1)
        names = self.LINUX if self.target.name == "linux" else self.WINDOWS
        for n in names + ["trailing"]:
            b.tree(n, files=("f",))
        listed = names + ["trailing" + ("/" if self.target.name == "linux" else "\\")]
        b.write_list(listed)
        r = b.run(cwd=b.data, env={"ZELKTEST": "x"})
        enc = self.target.list_encoding
        self.assertEqual(r.status, 0, r.out.decode(enc, "replace"))
        expected = []
        for entry in listed:
            expected += self.target.switches + [entry.encode(enc, "surrogateescape")]
        self.assertEqual(b.recorded_arguments(), expected)
        self.assertEqual(os.listdir(b.data), [])
        self.assertFalse(any(d.joinpath("P").exists() for d in (b.root, b.app, b.data)))

    def test_roots_and_dot_folders_never_reach_the_command(self):
        if self.target.name == "linux":
            refused = ["/", "//", ".", "..", "d/..", "d/.", "d/../..",
                       # What they are, however spelled: the root through a link followed by
                       # its trailing slash, the current folder and the one above it, a device.
                       "rootlink/", "/proc/self/root/", "/proc/self/cwd/", "uplink/",
                       "../data", "d/../../data/", "/dev/null"]
            # Ordinary names here, and no such files.
            missing = ["/?", "/Y", "\\", "C:\\", "C:", "\\\\srv\\share\\", ". ", "...", "d/.. "]
        else:
            # As Win32 resolves them: trailing dots and spaces go, so ". " is "." and "..\. " the
            # parent; "C: " is a drive; the device namespace has roots of its own; and in code
            # page 932 the second byte of 表 is a backslash, which must not split a share's name.
            refused = ["\\", "C:\\", "C:", "\\\\srv\\share\\", ".", "..", "d\\..", "d\\.", "/",
                       "d/..", ". ", ".. ", "...", "..\\. ", "d\\.. ", "d\\ ..", "C: ", "C:. ",
                       "\\. ",
                       "\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\", "\\\\.\\Z:",
                       "\\\\?\\Volume{0a1b2c3d-0000-0000-0000-000000000000}\\", "\\\\srv\\表示",
                       "\\\\.\\X\\..\\Z:\\", "NUL", "d\\COM1.txt",
                       # Names Win32 would trim to another's ("foo " is "foo"), and a byte
                       # that is no character of code page 932 at all.
                       "foo ", "d\\bar.", ". \udc81",
                       # The current folder by identity, however spelled.
                       "..\\data", "d\\..\\..\\data\\", "D\\..\\..\\DATA"]
            # No Windows file can have these names: text no name can hold is no path, and it
            # never reaches the command line, whatever ".." steps would fold the rest away.
            missing = ["&echo P>P", "%CMDCMDLINE:~-1%&echo P>P", "a\"b", "/?", "/Y",
                       'victim"&rd/s/q keep&rem "\\..\\..\\..\\victim',
                       "victim<x\\..\\victim", "victim>P\\..\\victim",
                       "victim|echo P\\..\\victim", "vic*\\..\\victim", "vic?\\..\\victim",
                       "victim\x01\\..\\victim", "victim\t&rd keep\\..\\victim",
                       "victim\x1b\\..\\victim", "victim\r&rd keep\\..\\victim"]

        def run(box, entry):
            box.use_stand_in()  # records only: these entries must never be acted on
            (box.data / "d").mkdir()
            if self.target.name == "linux":
                os.symlink("/", box.data / "rootlink")
                os.symlink("..", box.data / "uplink")
            for kept in ("victim", "keep"):
                box.tree(kept, files=("f",))
            box.write_list([entry])
            r = box.run(cwd=box.data)
            return r, box.recorded_arguments(), sorted(os.listdir(box.data))

        entries = refused + missing
        for entry, (r, record, left) in zip(entries, in_sandboxes(self.target, run, entries)):
            self.assertIsNone(record, entry)
            self.assertTrue({"d", "keep", "victim"} <= set(left), entry)
            if entry in refused:
                self.assertOutput(r, REMAINS.format(entry) + FOUND, 32)
            else:
                self.assertOutput(r, MISSING.format(entry) + FOUND, 8)

    def test_no_spelling_of_a_protected_folder_reaches_the_command(self):
        """Thousands of spellings of the roots, the current folder and those above it, devices
        and plain folders, through other drive letters mapped onto the same folders: whatever
        Win32 resolves to a root, a device, the current folder or one above it, neither zelk nor
        deltree lets through (judge_probe asks all three, deleting nothing)."""
        self.only_on("windows")
        b = self.box
        here = b.data / "top" / "a" / "here"
        for rel in ("top/a/here/f", "top/other/f", "file.txt", "表/sub/f", "top/longfoldername/f"):
            b.file(rel)
        drives = {"q": b.data, "r": b.data / "top" / "a", "s": b.data / "top"}
        dosdevices = self.target.prefix / "dosdevices"
        links = [dosdevices / (letter + ":") for letter in drives]
        if any(os.path.lexists(link) for link in links):
            self.skipTest("drive letters q:, r: or s: are taken in this prefix")
        for letter, folder in drives.items():
            os.symlink(folder, dosdevices / (letter + ":"))
        try:
            spellings = self.spellings(b)
            listing = b.root / "spellings"
            listing.write_bytes(b"".join(s.encode("cp932", "surrogateescape") + b"\n"
                                         for s in spellings))
            r = b.run([b.entry(listing)], exe=self.target.bin_dir / "judge_probe.exe", cwd=here,
                      timeout=600)
        finally:
            for link in links:
                link.unlink()
        verdicts = r.out.decode("ascii").splitlines()
        self.assertEqual(len(verdicts), len(spellings), r.err)
        seen = {}
        for spelling, line in zip(spellings, verdicts):
            zelk, deltree, oracle = line.split()
            seen[oracle] = seen.get(oracle, 0) + 1
            if oracle in ("root", "protected", "device"):
                self.assertNotEqual(zelk, "go", (spelling, oracle))
                self.assertNotEqual(deltree, "go", (spelling, oracle))
        for oracle in ("root", "protected", "device", "ok"):
            self.assertGreater(seen.get(oracle, 0), 20, seen)
        # Plain folders stay deletable in their plain spellings.
        for spelling in ("Q:\\top\\other", "S:\\other", b.entry(b.data / "top" / "other"),
                         "Q:\\file.txt"):
            self.assertEqual(verdicts[spellings.index(spelling)].split()[:2], ["go", "go"],
                             spelling)

    def spellings(self, b):
        z = b.entry(b.data)  # Z:\...\data
        # Each folder of interest in every form that names it: Z:, the mapped letters, relative.
        bases = [
            z, z + "\\top", z + "\\top\\a", z + "\\top\\a\\here", z + "\\top\\other",
            z + "\\file.txt", z + "\\表", z + "\\top\\longfoldername",
            "Q:\\", "Q:\\top", "Q:\\top\\a", "Q:\\top\\a\\here", "Q:\\top\\other", "Q:\\file.txt",
            "Q:\\表\\sub", "R:\\", "R:\\here", "S:\\", "S:\\a", "S:\\a\\here", "S:\\other",
            "S:\\LONGFO~1", "Z:\\", "C:\\", "C:\\windows",
            ".", "..", "..\\..", "..\\..\\..", "..\\here", "..\\..\\a", "..\\..\\other",
            "..\\..\\..\\top", "R:", "S:", "Q:",
        ]
        forms = []
        for base in bases:
            forms += [base, base + "\\", base + "\\.", base + "\\.\\", base.lower(), base.upper(),
                      base.replace("\\", "/"), base + "\\sub\\..", base + "\\表\\..",
                      base + " ", base + ".", base + ". .", base + "::$DATA",
                      base + "::$INDEX_ALLOCATION", base + ":s", base + "\\\\",
                      base.replace("\\", "\\\\"), base + "\\..\\" + base.split("\\")[-1]]
        prefixed = []
        for form in forms:
            if len(form) > 2 and form[1] == ":":
                prefixed += ["\\\\?\\" + form, "\\\\.\\" + form, "\\??\\" + form]
        devices = ["NUL", "CON", "COM1", "LPT1.txt", "AUX:", "CONIN$", "nul.txt", "con ",
                   "\\\\.\\NUL", "\\\\.\\CON", "\\\\.\\C:", "\\\\.\\PhysicalDrive0",
                   "\\\\?\\GLOBALROOT\\Device\\Null", "\\\\.\\pipe\\x"]
        devices += [d + s for d in ("NUL", "COM1", "CON") for s in (".", ":", ".txt", "  ")]
        devices += ["here\\" + d for d in ("NUL", "CON", "COM1")]
        return list(dict.fromkeys(forms + prefixed + devices))

    def test_link_to_the_root_is_an_ordinary_entry(self):
        self.only_on("linux")
        b = self.box
        b.use_stand_in(remove=1)
        os.symlink("/", b.data / "root-link")
        b.write_list(["root-link"])
        self.assertOutput(b.run(cwd=b.data), DELETED.format("root-link"), 0)
        self.assertEqual(b.recorded_arguments(), [b"/Y", b"--", b"root-link"])
        self.assertFalse(os.path.lexists(b.data / "root-link"))


class OddRuns(E2ECase):
    def test_odd_command_statuses_never_change_a_failure(self):
        """Windows crash codes and other statuses outside 0..255: a failure still ends with its
        own status, a -1 after the command ran says no stale reason, and a last negative status
        takes the failure path without overflow."""
        self.only_on("windows")
        #        status        removes  then a missing entry  output   exit status
        cases = [(-1073741819, 0, False, REMAINS.format("a"), 32),  # 0xC0000005
                 (-2147483645, 0, False, REMAINS.format("a"), 32),  # 0x80000003
                 (-32, 0, False, REMAINS.format("a"), 32),          # 0xFFFFFFE0, not 64
                 (-2, 1, True, DELETED.format("a") + MISSING.format("m"), 8),
                 (-1, 1, False, DELETED.format("a"), 1),  # it ran: not a failed start
                 (-3, 1, False, DELETED.format("a"), 3)]

        def run(box, case):
            status, removes, then_missing = case[:3]
            box.use_stand_in(status=status, remove=removes)
            box.file("a")
            box.write_list(["a", "m"] if then_missing else ["a"])
            return box.run(cwd=box.data)

        for case, r in zip(cases, in_sandboxes(self.target, run, cases)):
            self.assertOutput(r, case[3] + FOUND, case[4])

    def test_next_list_written_during_the_run_is_kept(self):
        """A front end that puts its next job in place (by a temporary name and a rename) while
        zelk runs: the list that was read goes, the new one stays for the next run."""
        b = self.box
        b.use_stand_in(remove=1, sleep_ms=2000)
        a = b.file("a")
        b.write_list([b.entry(a)])
        record = b.root / "record"

        def front_end():
            deadline = time.monotonic() + 60
            while not record.exists() and time.monotonic() < deadline:
                time.sleep(0.02)
            (b.app / "zelk.tmp").write_bytes(b"next job\n")
            os.replace(b.app / "zelk.tmp", b.list_path)

        writer = threading.Thread(target=front_end)
        writer.start()
        r = b.run()
        writer.join()
        self.assertOutput(r, DELETED.format(b.entry(a)), 0)
        self.assertEqual(b.list_path.read_bytes(), b"next job\n")


    def test_list_rewritten_in_place_is_read_as_it_was(self):
        """A front end that rewrites the list in place (the same size, its lines in another order)
        while zelk works on it, rather than renaming a new one into place: no line may be spliced
        from the two versions (a listed file's path cut to its folder), and the list is kept."""
        self.only_on("linux")
        b = self.box
        folder = b.data / ("v" * 80)
        folder.mkdir()
        (folder / "other").write_bytes(b"not listed")
        listed = b.file(folder.name + "/" + "k" * 100)
        pads = [b.file("p%03d%s" % (i, "x" * 90)) for i in range(170)]
        old = "".join("%s\n" % p for p in pads + [listed])
        new = "".join("%s\n" % p for p in [listed] + pads)
        self.assertGreater(len(old), 16384)
        b.write_list_bytes(old.encode())
        rewrite = b.root / "rewrite"
        rewrite.write_bytes(new.encode())
        wrapper = b.root / "wrapper"
        wrapper.mkdir()
        (wrapper / "deltree").write_text(
            "#!/bin/sh\n[ -e %s ] || { : > %s; /bin/cat %s > %s; }\nexec %s \"$@\"\n" % (
                b.root / "done", b.root / "done", rewrite, b.list_path, b.app / "deltree"))
        os.chmod(wrapper / "deltree", 0o755)
        b.path_dirs = [wrapper]
        r = b.run()
        self.assertEqual(r.status, 64, r.out.decode())
        self.assertTrue((folder / "other").exists())
        self.assertFalse(listed.exists() or any(p.exists() for p in pads))
        self.assertEqual(b.list_path.read_bytes(), new.encode())


class HostileTrees(E2ECase):
    def test_names_too_long_for_one_path(self):
        # Wine hands every path to Linux whole, and Linux takes no path over 4095 bytes: the
        # Windows side of this is the 260-character case of test_zelk.
        self.only_on("linux")
        b = self.box
        # 45 levels of 100-character names: more than any single path may hold.
        fd = os.open(b.data, os.O_RDONLY)
        os.mkdir("long", dir_fd=fd)
        fd = os.open("long", os.O_RDONLY, dir_fd=fd)
        for level in range(45):
            name = ("%02d" % level) * 50
            os.mkdir(name, dir_fd=fd)
            os.close(os.open("file", os.O_WRONLY | os.O_CREAT, dir_fd=fd))
            fd = os.open(name, os.O_RDONLY, dir_fd=fd)
        os.close(fd)
        r = b.deltree("/Y", "long", cwd=b.data)
        self.assertEqual((r.status, r.err), (0, b""))
        self.assertEqual(os.listdir(b.data), [])

    def test_many_files(self):
        b = self.box
        top = b.data / "many"
        top.mkdir()
        for i in range(5000):
            (top / ("f%d" % i)).write_bytes(b"")
        for i in range(250):
            (top / ("%040d" % i)).write_bytes(b"x")
        r = b.deltree("/Y", b.entry(top))
        self.assertEqual((r.status, r.err), (0, b""))
        self.assertFalse(top.exists())

    def test_folder_we_may_not_change_is_reported_once(self):
        """No write permission (EACCES), an immutable or append-only folder (EPERM): one line.
        An immutable file or folder in a folder we may change, another user's in a sticky folder
        (EPERM for that entry alone): a line each, and the rest goes."""
        self.only_on("linux")
        self.needs_root()
        b = self.box
        open_up(b)
        chattr = shutil.which("chattr")

        def attribute(flag, *names):
            def apply(sub):
                return chattr is not None and all(
                    subprocess.call([chattr, flag, str(sub / n)], stderr=subprocess.DEVNULL) == 0
                    for n in names)
            return apply

        def no_write(sub):
            os.chmod(sub, 0o555)
            return True

        def sticky_with_roots_entries(sub):
            for p in (sub, sub / "f1", sub / "e"):
                os.chown(p, 0, 0)
            os.chmod(sub, 0o1777)
            return True

        folder = (["cannot remove anything in 't/sub': "
                   "(Permission denied|Operation not permitted)"],
                  ["e", "f1", "f2", "f3", "inner", "sub"])
        entries = (["cannot remove 't/sub/e': Operation not permitted",
                    "cannot remove 't/sub/f1': Operation not permitted"], ["e", "f1", "sub"])
        # What is done to t/sub (which holds f1, f2, f3, inner/g1, inner/g2 and an empty e, all
        # nobody's), and what follows: the failure lines (sorted) and the names left under t.
        cases = [("chmod", no_write, folder), ("+i", attribute("+i", "."), folder),
                 ("+a", attribute("+a", "."), folder),
                 ("+i on f1 and e", attribute("+i", "f1", "e"), entries),
                 ("sticky", sticky_with_roots_entries, entries)]
        for how, change, (expected_lines, expected_left) in cases:
            top = b.tree("t", files=("a/f1", "a/f2", "b"))
            sub = top / "sub"
            for p in ("f1", "f2", "f3", "inner/g1", "inner/g2"):
                b.file(Path("t/sub") / p)
            (sub / "e").mkdir()
            for p in [top] + list(top.rglob("*")):
                give_to_nobody(p)
            try:
                if not change(sub):
                    continue  # a filesystem without these attributes
                r = b.run(NOBODY + [str(b.app / "deltree"), "/Y", "t"],
                          exe=shutil.which("setpriv"), cwd=b.data)
            finally:
                if chattr:
                    for p in (sub, sub / "f1", sub / "e"):
                        subprocess.call([chattr, "-i", "-a", str(p)], stderr=subprocess.DEVNULL)
                os.chmod(sub, 0o755)
            lines = sorted(r.err.decode().splitlines())
            self.assertEqual(r.status, 1, how)
            self.assertEqual(len(lines), len(expected_lines), (how, lines))
            for line, expected in zip(lines, expected_lines):
                self.assertRegex(line, "^deltree: %s$" % expected, how)
            self.assertEqual(sorted(p.name for p in top.rglob("*")), expected_left, how)
            shutil.rmtree(top)

    def test_unreadable_folders_on_the_way(self):
        """As an ordinary user: a folder above the current one that may be searched but not
        read (0311) still counts as above it, so nothing of the tree goes; and in a drop box
        (1733: write and search, no read) the user's own entries go."""
        self.only_on("linux")
        self.needs_root()
        b = self.box
        open_up(b)
        top = b.tree("t", files=("a/here/keep", "c/f"))
        drop = b.data / "drop"
        drop.mkdir()
        os.chmod(drop, 0o1733)
        mine = b.tree("drop/mine", files=("f", "sub/g"))
        for p in [top, mine] + list(top.rglob("*")) + list(mine.rglob("*")):
            give_to_nobody(p)
        os.chmod(top / "a", 0o311)
        setpriv = shutil.which("setpriv")
        deltree = str(b.app / "deltree")
        r = b.run(NOBODY + [deltree, "/Y", str(top)], exe=setpriv, cwd=top / "a" / "here")
        self.assertEqual(r.status, 1, r.err)
        self.assertIn(b"is the current folder or a folder above it", r.err)
        self.assertTrue((top / "c/f").exists() and (top / "a/here/keep").exists())
        r = b.run(NOBODY + [deltree, "/Y", "drop/mine"], exe=setpriv, cwd=b.data)
        self.assertEqual((r.status, r.err), (0, b""))
        self.assertFalse(mine.exists())

    def test_read_only_hidden_and_system_files(self):
        """All go; a read-only file's other name outside the tree (a hard link) stays, and stays
        read-only: the attribute is the file's, not the name's. Under Wine read-only is a file
        or folder without write permission."""
        self.only_on("windows")
        b = self.box
        top = b.tree("t", files=("r", "h", "s", "sub/rhs"))
        (top / "ro-folder").mkdir()
        for name, flags in (("r", "+r"), ("h", "+h"), ("s", "+s"), ("sub\\rhs", "+r +h +s")):
            subprocess.run(self.target.launcher() + ["cmd", "/c", "attrib %s %s\\%s" % (
                flags, b.entry(top), name)], env=self.target.env([]), check=True,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.chmod(top / "ro-folder", 0o555)
        outside = b.file("outside")
        os.chmod(outside, 0o444)
        os.link(outside, top / "sub" / "linked")
        r = b.deltree("/Y", b.entry(top))
        self.assertEqual((r.status, r.err), (0, b""))
        self.assertFalse(top.exists())
        self.assertEqual(os.stat(outside).st_mode & 0o222, 0)

    def test_long_race_against_a_link_swapper(self):
        seconds = float(os.environ.get("ZELK_RACE_SECONDS", "0"))
        if not seconds or self.target.name != "linux":
            self.skipTest("set ZELK_RACE_SECONDS to run the long race (Linux)")
        from test_deltree import swap_race
        swap_race(self, seconds)


class Faults(E2ECase):
    def setUp(self):
        self.only_on("linux")

    def shim_env(self, **faults):
        # Under AddressSanitizer the shim comes before its runtime, which it then must accept.
        env = {"LD_PRELOAD": str(self.target.bin_dir / "libfault_shim.so"),
               "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"}
        env.update({"FAULT_" + k.upper(): str(v) for k, v in faults.items()})
        return env

    def shim_run(self, top, nofile=None, **faults):
        """deltree with the faults, and with only `nofile` descriptors if given."""
        exe, args = self.target.bin_dir / "deltree_dynamic", ["/Y", str(top)]
        env = self.shim_env(**faults)
        if nofile:  # the shim only in deltree, not in the shell that limits it
            env["SHIM"] = env.pop("LD_PRELOAD")
            script = 'ulimit -n %d && LD_PRELOAD="$SHIM" exec "$0" "$@"' % nofile
            exe, args = "/bin/bash", ["-c", script, str(exe)] + args
        return self.box.run(args, exe=exe, env=env)

    # The calls the judgement makes before anything is removed, and the errors each is made to
    # fail with in turn.
    JUDGING_CALLS = ("openat", "newfstatat", "statx", "fstat", "faccessat", "faccessat2",
                     "readlink", "getdents64")
    ERRORS = ("EMFILE", "ENOMEM", "EACCES", "EIO")

    def test_checks_that_cannot_finish_refuse(self):
        """Each call of the judgement, made to fail in turn (too few descriptors, no memory, no
        permission, an I/O error): zelk and deltree refuse, and neither the current folder nor
        any folder above it nor anything outside the named trees goes."""
        strace = shutil.which("strace")
        if not strace:
            self.skipTest("strace is not installed")
        b = self.box
        here = b.data / "T" / "a" / "b"

        def lay_out():
            for rel in ("T/a/b/keep", "T/c/f", "S/x/f", "outside/keep"):
                if not (b.data / rel).exists():
                    b.file(rel)

        def intact():
            return all((b.data / rel).exists() for rel in ("T/a/b/keep", "outside/keep"))

        deltree = [str(b.app / "deltree"), "/Y", str(b.data / "T"), str(b.data / "S")]
        zelk = [str(b.app / "zelk")]
        # The failed run's pause is skipped: its sleep returns at once.
        no_pause = ["-e", "inject=clock_nanosleep,nanosleep:retval=0"]
        env = self.target.env(b.path_dirs)
        # LeakSanitizer cannot work under ptrace.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
        # Few descriptors left, as a front end that leaks them leaves: the soft limit alone, or
        # both limits.
        for limit in ("-Sn 4", "-n 4", "-Sn 5", "-n 6"):
            # zelk refuses, with its five-second pause: two of them are enough.
            for argv in (deltree, zelk) if limit in ("-Sn 4", "-n 6") else (deltree,):
                lay_out()
                b.write_list([str(b.data / "T")])
                subprocess.run(["/bin/bash", "-c", 'ulimit %s && exec "$@"' % limit, "-"] + argv,
                               cwd=here, env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=60)
                self.assertTrue(intact(), (argv[0], limit))
        for argv in (deltree, zelk):
            lay_out()
            b.write_list([str(b.data / "T")])
            log = b.root / "calls"
            subprocess.run([strace, "-f", "-qq", "-o", str(log), "-e",
                            "trace=%s,unlink,unlinkat,rmdir" % ",".join(self.JUDGING_CALLS)]
                           + no_pause + argv, cwd=here, env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=False, timeout=60)
            counts = {}
            for line in log.read_text().splitlines():
                name = line.split(None, 1)[1].split("(", 1)[0] if " " in line else ""
                if name in ("unlink", "unlinkat", "rmdir"):
                    break  # the first removal: the judgement is over
                if name in self.JUDGING_CALLS:
                    counts[name] = counts.get(name, 0) + 1
            self.assertTrue(counts, argv[0])
            self.assertTrue(intact(), argv[0])
            for name, count in counts.items():
                for nth in range(1, count + 1):
                    for error in self.ERRORS:
                        lay_out()
                        b.write_list([str(b.data / "T")])
                        subprocess.run([strace, "-f", "-qq", "-o", "/dev/null", "-e",
                                        "inject=%s:error=%s:when=%d" % (name, error, nth)]
                                       + no_pause + argv, cwd=here, env=env,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                       timeout=60)
                        self.assertTrue(intact(), (argv[0], name, nth, error))

    def test_progress_line_on_a_terminal_only(self):
        """A deletion that takes over half a second keeps one line up to date on a terminal,
        clears it before any other line (a failure is never glued onto it) and at the end, and
        stays within one row of a narrow terminal; with standard error redirected it writes
        nothing there."""
        b = self.box
        command = [str(self.target.bin_dir / "deltree_dynamic"), "/Y", str(b.data / "t")]
        #        faults (each removal takes a millisecond)    status  columns
        cases = [(dict(), 0, 30),
                 (dict(unlinkat_nth=1400), 1, 80)]  # well after the line is first shown
        for faults, status, columns in cases:
            env = dict(os.environ)
            env.update(self.shim_env(unlinkat_delay_us=1000, threads=1, **faults))
            b.tree("t", files=["d%d/f%d" % (i // 100, i) for i in range(1500)])
            terminal, end = os.openpty()
            fcntl.ioctl(end, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
            run = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=end, env=env)
            os.close(end)
            shown = b""
            while True:
                try:
                    chunk = os.read(terminal, 4096)
                except OSError:  # the terminal is gone with the program
                    break
                if not chunk:
                    break
                shown += chunk
            os.close(terminal)
            self.assertEqual(run.wait(timeout=60), status, shown[-200:])
            self.assertRegex(shown, rb"deltree: \d+ removed, \d+")
            draws = re.findall(rb"\r(deltree: \d+ removed[^\r\n]*)", shown)
            self.assertLess(max(map(len, draws)), columns)
            # Cleared at the end, or before a failure line that nothing followed.
            self.assertRegex(shown[-300:], rb"\r *\r(?:deltree: cannot [^\r\n]*\r\n)?\Z")
            # Each failure line comes after the progress line was cleared, at the margin.
            self.assertEqual(shown.count(b"deltree: cannot"), status, shown[-400:])
            self.assertEqual(len(re.findall(rb"\r +\rdeltree: cannot", shown)), status,
                             shown[-400:])
            shutil.rmtree(b.data / "t", ignore_errors=True)
        b.tree("t", files=["d%d/f%d" % (i // 100, i) for i in range(1500)])
        r = b.run(command[1:], exe=command[0], env=dict(
            os.environ, **self.shim_env(unlinkat_delay_us=1000, threads=1)))
        self.assertEqual((r.status, r.err), (0, b""))

    def test_one_failure_is_reported_and_the_rest_goes(self):
        """One thing goes wrong, with one thread: a removal or a listing fails, or a folder is
        moved away out of its parent while the walk had the parent closed (20 descriptors leave
        two folders open) and was deep inside the folder. One line names the failure's place by
        its whole path, the status is 1, and all that is left in the tree is under that place;
        the moved folder is kept where it went, and so is the rest of its former parent."""
        b = self.box
        outside = b.data / "outside"
        outside.mkdir()
        top = b.data / "t"
        chains = ["P/%s/x/y/z/deepest" % d for d in ("M", "S")]
        #        faults                                      descriptors  files  the line
        cases = [(dict(unlinkat_nth=7), None,
                  ["f%d" % i for i in range(20)] + ["sub/g%d" % i for i in range(20)],
                  "cannot remove '(.+)': Input/output error"),
                 # The first subfolder's listing.
                 (dict(getdents_nth=3), None, ["a/f1", "b/f2", "c/f3", "f4"],
                  "cannot list '(.+)': Input/output error"),
                 (dict(move_at="deepest", move_out_of=top / "P", move_to=outside / "moved"), 20,
                  chains, "'(.+)' was moved during the deletion; the rest of it is left")]
        for faults, nofile, files, line in cases:
            b.tree("t", files=files)
            r = self.shim_run(top, nofile, threads=1, **faults)
            lines = r.err.decode().splitlines()
            self.assertEqual((r.status, len(lines)), (1, 1), (faults, lines))
            place = re.fullmatch("deltree: " + line, lines[0]).group(1)
            left = [str(p) for p in top.rglob("*") if p.is_file()]
            self.assertEqual(len(left), 1, (faults, left))
            self.assertTrue(left[0] == place or left[0].startswith(place + "/"), (left, place))
            shutil.rmtree(top)
        self.assertEqual(place, str(top / "P"))
        # The folder moved first of the two, emptied, and the other one, untouched.
        self.assertEqual(os.listdir(outside / "moved"), [])
        self.assertIn(left[0], [str(top / c) for c in chains])

    def test_memory_running_out_is_reported_and_the_rest_goes(self):
        """Memory that runs out as the walk grows, at whatever allocation: no abort and no hang,
        status 1, nothing outside the tree touched, and every entry left is explained by a line
        (its own, or its folder's, by its whole path). A listing that cannot grow leaves only
        what it could not list."""
        if os.environ.get("ZELK_SANITIZE"):
            self.skipTest("a sanitizer's runtime does not start under a malloc preloaded "
                          "before it: the shim has no allocation faults in this build")
        b = self.box
        keep = b.file("keep")
        files = (["big/f%04d" % i for i in range(3000)] + ["a/f1", "a/b/g1", "a/b/c/h1"] +
                 ["d/e%d/x/k" % i for i in range(3)])
        line = re.compile(r"deltree: cannot (?:list|open folder|remove) '([^']+)': "
                          r"Cannot allocate memory")
        # A listing that cannot grow past 16 KiB; then every allocation from the walk's N-th on,
        # at points spread over the walk, with one thread and with two.
        cases = [dict(malloc_above=16384, threads=1)] + [
            dict(malloc_from=n, threads=t) for n in (3, 35, 50) for t in (1, 2)]
        for faults in cases:
            top = b.tree("t", files=files)
            r = self.shim_run(top, **faults)
            lines = r.err.decode().splitlines()
            named = [m.group(1) if m else None for m in map(line.fullmatch, lines)]
            left = [str(p) for p in top.rglob("*")] + ([str(top)] if top.exists() else [])
            self.assertEqual(r.status, 1, (faults, lines))
            self.assertNotIn(None, named, (faults, lines))
            self.assertTrue(keep.exists(), faults)

            def explained(p):
                return any(q in named for q in [p] + [str(a) for a in Path(p).parents])
            holders = {str(a) for p in left for a in Path(p).parents}
            self.assertEqual([p for p in left if not explained(p) and p not in holders], [],
                             (faults, lines))
            if "malloc_above" in faults:
                big = top / "big"
                self.assertEqual(lines, ["deltree: cannot list '%s': Cannot allocate memory" % big])
                self.assertEqual({os.path.dirname(p) for p in left} - {str(b.data), str(top)},
                                 {str(big)})
                self.assertLess(len(left), len(files) - 100)
            subprocess.call(["rm", "-rf", "--", str(top)])

    def test_threads_that_cannot_start_leave_the_work_to_the_others(self):
        b = self.box
        top = b.data / "t"
        grow_random_tree(top, random.Random(3), depth=4)
        r = self.shim_run(top, pthread_create_fails=1, threads=4)
        self.assertEqual((r.status, r.err), (0, b""))
        self.assertFalse(top.exists())

    def test_lost_output_never_cuts_the_run_short(self):
        """A full or closed output, a pipe nobody reads any more, a log at its size limit: every
        entry still goes (deltree too writes into it), the list too, and the status is the one a
        reader would have seen."""
        b = self.box
        b.use_stand_in(remove=1, say="STAND-IN")
        env = self.target.env(b.path_dirs)
        env.update(b.stand_in_env)
        unread, write_end = os.pipe()
        os.close(unread)
        try:
            for how, stdout in (("exec >/dev/full", None), ("exec >&-", None), ("", write_end),
                                ("ulimit -f 0 && exec >%s" % (b.root / "log"), None)):
                files = [b.file("f"), b.file("g")]
                b.write_list([str(p) for p in files])
                status = subprocess.call(
                    ["/bin/bash", "-c", how + '\nexec "$0" /D', str(b.app / "zelk")], env=env,
                    cwd=b.data, stdout=stdout, stderr=subprocess.DEVNULL, timeout=30)
                self.assertEqual(status, 0, how)
                self.assertFalse(any(p.exists() for p in files + [b.list_path]), how)
        finally:
            os.close(write_end)

    def test_unprivileged_runs(self):
        """The list cannot be deleted (64), an entry cannot be (32), deltree cannot be started
        because the user may start no more processes (17)."""
        self.needs_root()
        setpriv = shutil.which("setpriv")

        def run(box, kind):
            open_up(box)
            f = box.file("f")
            box.write_list([str(f)])
            if kind == "list":
                give_to_nobody(box.data, f)
                os.chmod(box.app, 0o555)
            elif kind == "entry":
                give_to_nobody(box.app, box.list_path)
            else:
                give_to_nobody(box.app, box.list_path, box.data, f)
            limit = "ulimit -u 0 && " if kind == "nproc" else ""
            # LeakSanitizer needs a process of its own at the end: not under this limit.
            env = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}
            r = box.run(NOBODY + ["/bin/bash", "-c", limit + 'exec "$0"', str(box.app / "zelk")],
                        exe=setpriv, env=env if kind == "nproc" else None)
            return r, f.exists(), box.list_path.exists()

        results = in_sandboxes(self.target, run, ["list", "entry", "nproc"])
        (r_list, f_list, l_list), (r_entry, f_entry, l_entry), (r_nproc, f_nproc, l_nproc) = results
        self.assertEqual(r_list.status, 64)
        self.assertTrue(r_list.out.endswith(self.enc(UNEXPECTED + FOUND)))
        self.assertEqual((f_list, l_list), (False, True))
        self.assertEqual(r_entry.status, 32)
        self.assertIn(self.enc("を削除できませんでした"), r_entry.out)
        self.assertEqual((f_entry, l_entry), (True, False))
        self.assertEqual(r_nproc.status, 17)
        self.assertEqual((f_nproc, l_nproc), (True, False))


class HeldFiles(E2ECase):
    """Under Wine: a file another program holds."""

    def setUp(self):
        self.only_on("windows")

    def hold(self, path, ms, share):
        ready = self.box.root / "held"
        holder = subprocess.Popen(self.target.launcher() + [
            str(self.target.bin_dir / "hold_file.exe"), self.box.entry(path), str(ms), share,
            self.box.entry(ready)], env=self.target.env([]), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        # It starts in well under a second; only a hang takes a minute.
        deadline = time.monotonic() + 60
        while not ready.exists() and holder.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        if not ready.exists():
            holder.kill()
            self.fail("the holder never held it (status %s)" % holder.wait())
        return holder

    def test_file_held_without_sharing_is_reported_in_bounded_time(self):
        """A holder that never lets go: deltree gives up on its own (the run's timeout is far
        shorter than the hold) with one failure line, and the read-only file keeps its mark;
        also while another program keeps making and removing a file beside it, which is no
        progress with what is left."""
        b = self.box
        for flicker in (False, True):
            top = b.tree("t", files=("held", "other"))
            os.chmod(top / "held", 0o444)  # read-only, under Wine
            holder = self.hold(top / "held", 3600 * 1000, "none")
            stop = threading.Event()

            def make_and_remove():
                while not stop.wait(0.3):
                    try:
                        (top / "tmp").write_bytes(b"")
                        time.sleep(0.3)
                        (top / "tmp").unlink()
                    except OSError:
                        pass

            flickering = threading.Thread(target=make_and_remove)
            if flicker:
                flickering.start()
            try:
                r = b.deltree("/Y", b.entry(top), timeout=150)
            finally:
                stop.set()
                if flicker:
                    flickering.join()
                holder.kill()
                holder.wait()
            self.assertEqual(r.status, 1, flicker)
            lines = r.err.splitlines()
            self.assertIn(b"cannot remove '%s\\held'" % b.entry(top).encode(), lines[-1])
            if not flicker:
                self.assertEqual(len(lines), 1, lines)
                self.assertEqual(sorted(os.listdir(top)), ["held"])
            self.assertEqual(os.stat(top / "held").st_mode & 0o222, 0)
            os.chmod(top / "held", 0o644)
            shutil.rmtree(top)
            (b.root / "held").unlink()

    def test_items_held_for_a_while_go(self):
        """Held past the quick retries, and let go while nobody else makes progress: a file,
        and a folder that cannot even be opened (walked at the end, after the rest)."""
        b = self.box
        #        held          ms    sharing
        cases = [("held",      300,  "delete"),
                 ("held",      1500, "none"),
                 ("sub",       1500, "none")]
        for held, ms, share in cases:
            top = b.tree("t", files=("held", "other", "sub/f", "sub/deeper/g"))
            holder = self.hold(top / held, ms, share)
            r = b.deltree("/Y", b.entry(top))
            holder.wait()
            self.assertEqual((r.status, r.err), (0, b""), (held, ms, share))
            self.assertFalse(top.exists())
            (b.root / "held").unlink()


class Memory(E2ECase):
    """valgrind over normal and failed runs of both programs (their dynamic builds)."""

    def setUp(self):
        self.only_on("linux")
        if not os.environ.get("ZELK_VALGRIND"):
            self.skipTest("valgrind runs only in the plain build")

    def valgrind(self, exe, args=(), cwd=None):
        b = self.box
        log = b.root / "valgrind.log"
        r = b.run(["--error-exitcode=99", "--leak-check=full",
                   "--errors-for-leak-kinds=definite,indirect,possible", "--log-file=%s" % log,
                   str(exe)] + list(args), exe=shutil.which("valgrind"), cwd=cwd)
        self.assertNotEqual(r.status, 99, log.read_text())
        return r

    def test_both_programs_normal_and_failed_runs(self):
        b = self.box
        bin_dir = self.target.bin_dir
        shutil.copy2(bin_dir / "zelk_dynamic", b.app / "zelk_dynamic")
        shutil.copy2(bin_dir / "deltree_dynamic", b.app / "deltree")
        tree = b.tree("t")
        b.write_list([str(tree)])
        self.assertEqual(self.valgrind(b.app / "zelk_dynamic").status, 0)
        self.assertEqual(self.valgrind(b.app / "zelk_dynamic", ["/D"]).status, 68)
        tree = b.tree("t")
        self.assertEqual(self.valgrind(b.app / "deltree", ["/Y", str(tree)]).status, 0)
        self.assertEqual(self.valgrind(b.app / "deltree", ["missing"], cwd=b.data).status, 1)


if __name__ == "__main__":
    unittest.main()
