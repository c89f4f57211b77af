"""zelk end to end: a list beside the executable, what is printed, the exit status, what is left."""
import os
import re
import shutil
import signal
import subprocess
import time
import unittest

from harness import (BANNER, CURRENT_DIR, DELETED, FOUND, LIST_NOT_FOUND, LIST_UNREADABLE,
                     MISSING, NO_PATH, NO_SUCH_FILE, NOT_ON_PATH, REMAINS, UNEXPECTED, E2ECase)


class ListRuns(E2ECase):
    def test_empty_list(self):
        self.box.write_list([])
        r = self.box.run()
        self.assertOutput(r, "", 0)
        self.assertEqual(r.err, b"")
        self.assertFalse(self.box.list_path.exists())

    def test_file_tree_and_path_with_spaces(self):
        b = self.box
        paths = [b.file("plain.txt"), b.tree("tree"), b.tree("with space/old data")]
        keep = b.file("keep.txt")
        b.write_list([b.entry(p) for p in paths])
        r = b.run()
        self.assertOutput(r, "".join(DELETED.format(b.entry(p)) for p in paths), 0)
        self.assertFalse(any(p.exists() for p in paths))
        self.assertTrue(keep.exists() and (b.data / "with space").is_dir())
        self.assertFalse(b.list_path.exists())

    def test_missing_list(self):
        b = self.box
        cwd = b.data
        if self.target.name == "linux":
            # Linux has no 256-byte limit of its own on the current folder.
            cwd = b.data / ("x" * 200) / ("y" * 100)
            cwd.mkdir(parents=True)
        r = b.run(cwd=cwd)
        self.assertOutput(r, b.entry(b.list_path) + "\n" + LIST_NOT_FOUND + LIST_UNREADABLE +
                          CURRENT_DIR.format(b.entry(cwd)) + UNEXPECTED + FOUND, 68)
        self.assertFailurePause(r)

    def test_missing_entry_stops_the_list(self):
        b = self.box
        first, later = b.tree("first"), b.file("later")
        missing = b.data / "missing"
        b.write_list([b.entry(first), b.entry(missing), b.entry(later)])
        r = b.run()
        self.assertOutput(r, DELETED.format(b.entry(first)) + MISSING.format(b.entry(missing)) +
                          FOUND, 8)
        self.assertTrue(later.exists())
        self.assertFalse(b.list_path.exists())
        self.assertFailurePause(r)

    def test_trailing_blank_line(self):
        b = self.box
        f = b.file("f")
        b.write_list([b.entry(f), ""])
        self.assertOutput(b.run(), DELETED.format(b.entry(f)) + MISSING.format("") + FOUND, 8)
        self.assertFalse(f.exists())

    def test_line_ends_and_ctrl_z(self):
        b = self.box
        if self.target.name == "windows":
            # Text mode: its names cannot hold CR or Ctrl-Z.
            a, c, after = b.file("a"), b.tree("c"), b.file("after")
            b.write_list_bytes((b.entry(a) + "\r\n" + b.entry(c) + "\r\n\x1a" + b.entry(after) +
                                "\r\n").encode(self.target.list_encoding))
            self.assertOutput(b.run(), DELETED.format(b.entry(a)) + DELETED.format(b.entry(c)), 0)
            self.assertTrue(after.exists())
            # A Ctrl-Z inside a line would cut it to its parent: the line is no path.
            sub = b.file("a/sub")
            line = b.entry(sub.parent) + "\x1a\\sub"
            b.write_list_bytes((line + "\r\n").encode(self.target.list_encoding))
            self.assertOutput(b.run(), MISSING.format(line) + FOUND, 8)
            self.assertTrue(sub.exists())
            return
        # Linux names may hold both bytes: a line ends at LF only, and no listed name may be
        # read as a shorter one (its parent folder above all).
        keep, ctrl_z = b.file("shared/keep"), b.file("shared/\x1aold.tmp")
        cr = b.file("shared/keep\r")
        b.write_list(["shared/\x1aold.tmp", "shared/keep\r"])
        self.assertOutput(b.run(cwd=b.data), DELETED.format("shared/\x1aold.tmp") +
                          DELETED.format("shared/keep\r"), 0)
        self.assertEqual((keep.exists(), ctrl_z.exists(), cr.exists()), (True, False, False))
        # So a CR LF list names paths that end in CR: nothing is found, nothing deleted.
        b.write_list([b.entry(keep)], newline="\r\n")
        self.assertOutput(b.run(), MISSING.format(b.entry(keep) + "\r") + FOUND, 8)
        self.assertTrue(keep.exists())

    def test_lone_cr_does_not_split_a_line(self):
        b = self.box
        a, c = b.file("a"), b.file("c")
        b.write_list([b.entry(a) + "\r" + b.entry(c)])
        self.assertOutput(b.run(), MISSING.format(b.entry(a) + "\r" + b.entry(c)) + FOUND, 8)
        self.assertTrue(a.exists() and c.exists())

    def test_list_that_cannot_be_read_is_kept(self):
        """A folder or (Linux) a FIFO bearing the list's name, or a list the user may not read:
        never deleted, since its job was never read (68)."""
        b = self.box
        kinds = ["folder"] + (["fifo", "unreadable"] if self.target.name == "linux" else [])
        for kind in kinds:
            if kind == "folder":
                b.list_path.mkdir()
                (b.list_path / "inside").write_bytes(b"x")
            elif kind == "fifo":
                os.mkfifo(b.list_path)
            else:
                if os.geteuid() != 0:
                    continue
                b.write_list(["x"])
                os.chmod(b.list_path, 0)
            args = []
            if kind == "unreadable":
                for d in (b.root, b.app, b.data):
                    os.chmod(d, 0o755)
                args = ["--reuid=65534", "--regid=65534", "--clear-groups", "--", str(b.app / "zelk")]
            r = b.run(args, exe=shutil.which("setpriv") if args else None)
            unreadable = LIST_UNREADABLE if kind == "unreadable" else ""
            self.assertOutput(r, b.entry(b.list_path) + "\n" + unreadable +
                              CURRENT_DIR.format(b.entry(b.data)) + UNEXPECTED + FOUND, 68)
            self.assertTrue(os.path.lexists(b.list_path), kind)
            subprocess.call(["rm", "-rf", str(b.list_path)])

    def test_list_that_names_its_own_folder(self):
        """An uninstall list naming zelk's own folder: the list goes with it, which is what was
        asked: no failure, no pause."""
        self.only_on("linux")  # Windows keeps a running program's folder
        b = self.box
        b.write_list([str(b.app)])
        r = b.run(cwd=b.data)
        self.assertOutput(r, DELETED.format(b.app), 0)
        self.assertFalse(b.app.exists())

    def test_list_in_the_current_folder_is_ignored(self):
        b = self.box
        listed, decoy_target = b.file("listed"), b.file("decoy-target")
        (b.data / "zelk.lst").write_bytes((b.entry(decoy_target) + "\n").encode())
        b.write_list([b.entry(listed)])
        self.assertOutput(b.run(cwd=b.data), DELETED.format(b.entry(listed)), 0)
        self.assertTrue(decoy_target.exists() and (b.data / "zelk.lst").exists())

    def test_debug_banner_only_for_slash_d(self):
        for args, banner in ((["/d"], True), (["/D"], True), (["x", "/D", "y"], True),
                             (["/Dx"], False), (["-D"], False), (["D"], False), (["//"], False),
                             ([], False)):
            self.box.write_list([])
            r = self.box.run(args)
            self.assertEqual(r.status, 0, args)
            self.assertEqual(r.err, self.enc(BANNER) if banner else b"", args)

    def test_debug_failure_prints_the_run_code(self):
        r = self.box.run(["/D"])
        self.assertEqual(r.status, 68)
        tool = self.box.entry(self.box.app) + self.target.dir_separator + self.target.tool
        self.assertTrue(r.out.endswith(self.enc(
            UNEXPECTED + "Searching-> %s\n%s is found.\n" % (tool, self.target.tool) + FOUND +
            "Return Code: -68\n")))


class ToolSearch(E2ECase):
    def trace_missing(self, path):
        return "Search Error:\n  %s\n  Path is Not Found.\n" % self.box.entry(path)

    def trace_found(self, folder):
        t = self.target
        return "Searching-> %s%s%s\n%s is found.\n" % (self.box.entry(folder), t.dir_separator,
                                                       t.tool, t.tool)

    def test_debug_success_reports_the_search(self):
        b = self.box
        missing = b.root / "missing"
        b.path_dirs = [missing, b.app]
        f = b.file("f")
        b.write_list([b.entry(f)])
        r = b.run(["/D"])
        # On Windows the system's own folders come first in PATH, and are traced too.
        self.assertTrue(r.out.startswith(self.enc(DELETED.format(b.entry(f)))))
        self.assertTrue(r.out.endswith(self.enc(self.trace_missing(missing) +
                                                self.trace_found(b.app) + "Command Search: 1\n")))
        self.assertEqual(r.status, 0)

    def test_debug_failure_without_the_tool_on_path(self):
        b = self.box
        nowhere = b.root / "nowhere"
        b.path_dirs = [nowhere]
        f = b.file("f")
        b.write_list([b.entry(f)])
        r = b.run(["/D"])
        diagnosis = NOT_ON_PATH.format(self.target.tool)
        if self.target.name == "linux":
            self.assertOutput(r, NO_SUCH_FILE + self.trace_missing(nowhere) + diagnosis +
                              "Return Code: -17\n", 17)
        else:
            # The system's own PATH folders follow ours and are traced too.
            self.assertTrue(r.out.startswith(self.enc(NO_SUCH_FILE + self.trace_missing(nowhere))))
            self.assertTrue(r.out.endswith(self.enc(diagnosis + "Return Code: -17\n")))
            self.assertEqual(r.status, 17)


class MendedFaults(E2ECase):
    def test_positive_status_does_not_hide_a_missing_entry(self):
        b = self.box
        b.use_stand_in(status=10, remove=1)
        a, missing = b.file("a"), b.data / "missing"
        b.write_list([b.entry(a), b.entry(missing)])
        r = b.run()
        self.assertOutput(r, DELETED.format(b.entry(a)) + MISSING.format(b.entry(missing)) + FOUND,
                          8)
        self.assertFailurePause(r)

    def test_positive_status_does_not_hide_a_remaining_path(self):
        b = self.box
        b.use_stand_in(status=5)
        a = b.file("a")
        b.write_list([b.entry(a)])
        self.assertOutput(b.run(), REMAINS.format(b.entry(a)) + FOUND, 32)
        self.assertTrue(a.exists())

    def test_positive_status_of_a_last_entry_is_kept(self):
        b = self.box
        b.use_stand_in(status=3, remove=1)
        a = b.file("a")
        b.write_list([b.entry(a)])
        self.assertOutput(b.run(), DELETED.format(b.entry(a)), 3)

    def test_overlong_line_is_one_missing_entry(self):
        b = self.box
        b.use_stand_in(remove=1)
        victim = b.file("victim")
        # Cut at the path limit, the line would leave the victim's path as a fragment.
        head = b.entry(b.data) + "/" * (self.target.path_limit - 1 - len(b.entry(b.data)))
        line = head + b.entry(victim)
        b.write_list([line, b.entry(victim)])
        self.assertOutput(b.run(), MISSING.format(line[:self.target.path_limit - 1]) + FOUND, 8)
        self.assertTrue(victim.exists())
        self.assertIsNone(b.recorded_arguments())

    def test_line_with_nul_is_one_missing_entry(self):
        b = self.box
        b.use_stand_in(remove=1)
        folder = b.tree("t")
        b.write_list_bytes((b.entry(folder) + "\0/x\n").encode(self.target.list_encoding))
        self.assertOutput(b.run(), MISSING.format(b.entry(folder)) + FOUND, 8)
        self.assertTrue(folder.exists())
        self.assertIsNone(b.recorded_arguments())

    def test_path_arrives_byte_for_byte(self):
        b = self.box
        # The stand-in, not the real deltree: an entry like "$HOME" must never reach a real one
        # if the path were interpreted after all.
        b.use_stand_in(remove=1)
        # Listed relative to the current folder, so that some entries begin with '-'.
        names = self.hostile_names()
        for n in names:
            b.tree(n, files=("f",))
        b.write_list(names)
        r = b.run(cwd=b.data)
        self.assertOutput(r, "".join(DELETED.format(n) for n in names), 0)
        self.assertEqual(os.listdir(b.data), [])
        self.assertFalse((b.root / "P").exists() or (b.app / "P").exists())

    def hostile_names(self):
        common = ["$(touch P)", "a`touch P`b", "x;touch P", "x&touch P", "it's", "-rf", "--help",
                  "$HOME", "100%done", "/Y"[1:]]
        if self.target.name == "linux":
            return common + ['q"uote', "back\\slash", "pipe|touch P", "tab\there", "end\\"]
        return common

    def test_deltree_missing_from_path(self):
        b = self.box
        a = b.file("a")
        b.path_dirs = [b.root / "nowhere"]
        b.write_list([b.entry(a)])
        r = b.run()
        self.assertOutput(r, NO_SUCH_FILE + NOT_ON_PATH.format(self.target.tool), 17)
        self.assertTrue(a.exists())
        self.assertFailurePause(r)

    def test_path_search_takes_only_absolute_folders_and_files_that_run(self):
        """A relative PATH entry ("." or empty) holding a deltree, a folder named deltree, a file
        without execute permission, a broken link: all passed over for the one that can run."""
        b = self.box
        tool = self.target.tool
        linux = self.target.name == "linux"
        # Under Wine a file is a program whatever its mode, and links are not for Wine's tests.
        odd = [b.root / n for n in (("folder", "plain", "broken") if linux else ("folder",))]
        for d in odd:
            d.mkdir()
        (b.root / "folder" / tool).mkdir()
        if linux:
            (b.root / "plain" / tool).write_bytes(b"#!/bin/sh\nexit 0\n")
            os.symlink(b.root / "nowhere", b.root / "broken" / tool)
        here = b.data / "here"
        here.mkdir()
        shutil.copy2(self.target.bin_dir / self.target.exe("stand_in_deltree"), here / tool)
        relative = [".", ""] if linux else ["."]
        b.path_dirs = relative + odd + [b.app]
        a = b.tree("a")
        b.write_list([b.entry(a)])
        marker = b.root / "PLANTED"
        r = b.run(cwd=here, env={"STAND_IN_RECORD": str(marker)})
        self.assertOutput(r, DELETED.format(b.entry(a)), 0)
        self.assertFalse(marker.exists())
        if not linux:
            # A quoted entry is read without its quotes, as Windows reads it.
            a = b.tree("a")
            b.write_list([b.entry(a)])
            r = b.run(cwd=here, env={"WINEPATH": '"%s"' % b.entry(b.app)})
            self.assertOutput(r, DELETED.format(b.entry(a)), 0)

    def test_deltree_planted_in_the_current_folder_never_runs(self):
        """Only the deltree that the PATH search finds runs: never one someone left in the
        current folder (cmd.exe looks there first; on Linux an empty PATH entry means it)."""
        b = self.box
        work = b.data / "work"
        work.mkdir()
        marker = b.root / "PLANTED"
        if self.target.name == "windows":
            shutil.copy2(self.target.bin_dir / "stand_in_deltree.exe", work / "deltree.exe")
            for ext in (".bat", ".cmd"):
                (work / ("deltree" + ext)).write_bytes(
                    ("@echo x> %s\r\n" % b.entry(marker)).encode())
            env = {"STAND_IN_RECORD": b.entry(marker)}
        else:
            (work / "deltree").write_text("#!/bin/sh\ntouch %s\n" % marker)
            os.chmod(work / "deltree", 0o755)
            b.path_dirs = ["", b.app]
            env = {}
        a = b.tree("a")
        b.write_list([b.entry(a)])
        self.assertOutput(b.run(cwd=work, env=env), DELETED.format(b.entry(a)), 0)
        self.assertFalse(marker.exists())

    def test_redirected_log_keeps_its_order(self):
        b = self.box
        b.use_stand_in(remove=1, say="STAND-IN")
        tool = b.entry(b.stand_in_dir) + self.target.dir_separator + self.target.tool
        search = "Searching-> %s\n%s is found.\nCommand Search: 1\n" % (tool, self.target.tool)
        # With both streams in one file, the debug banner too comes before the commands' lines.
        for args, merged, before, after in (([], False, "", ""), (["/D"], True, BANNER, search)):
            a, c = b.file("a"), b.file("c")
            b.write_list([b.entry(a), b.entry(c)])
            self.assertOutput(b.run(args, merged=merged),
                              before + "STAND-IN\n" + DELETED.format(b.entry(a)) + "STAND-IN\n" +
                              DELETED.format(b.entry(c)) + after, 0)


class CommandLine(E2ECase):
    """What deltree receives for hostile paths, through the same call zelk makes."""

    LINUX = ["$(touch P)", "`touch P`", 'a";touch P;"', "a\\", 'a\\"b', "$HOME", "a'b", "a\tb",
             "*", "?", "[x]", "-rf", "--help", "--", "/?", "/Y", "x|touch P", "x&touch P", "表\\"]
    WINDOWS = ["%ZELKTEST%", "100%done", "%%", "%CMDCMDLINE:~-1%&echo P>P", "&echo P>P",
               "%PATH%", "!TMP!", "^", "(x)", "a b", "C:\\DIR\\", "$(touch P)", "it's",
               "表\\"]

    def test_hostile_paths_reach_deltree_unchanged(self):
        b = self.box
        b.use_stand_in()
        probe = self.target.bin_dir / self.target.exe("command_probe")
        path_file = b.root / "path"
        for path in self.LINUX if self.target.name == "linux" else self.WINDOWS:
            raw = path.encode(self.target.list_encoding)
            path_file.write_bytes(raw)
            (b.root / "record").unlink(missing_ok=True)
            r = b.run([b.entry(path_file)], exe=probe, env={"ZELKTEST": "gone"})
            self.assertEqual(r.out.split()[0], b"0", path)
            self.assertEqual(b.recorded_arguments(), self.target.switches + [raw], path)
        self.assertFalse(any(d.joinpath("P").exists() for d in (b.root, b.app, b.data)))


class WindowsOnly(E2ECase):
    def setUp(self):
        self.only_on("windows")

    def test_list_beside_an_executable_in_a_folder_named_with_hyo(self):
        b = self.box
        # The second byte of 表 in code page 932 is 0x5C, the byte of '\': taken for a
        # separator, it would put the list inside the executable's own name.
        app = b.root / "表"
        app.mkdir()
        (app / "表.exe").write_bytes((b.app / "zelk.exe").read_bytes())
        (app / "deltree.exe").write_bytes((b.app / "deltree.exe").read_bytes())
        listed = b.file("listed")
        (app / "zelk.lst").write_bytes((b.entry(listed) + "\n").encode("cp932"))
        b.path_dirs = [app]
        self.assertOutput(b.run(exe=app / "表.exe"), DELETED.format(b.entry(listed)), 0)
        self.assertFalse((app / "zelk.lst").exists())

    def test_japanese_names_in_the_list(self):
        b = self.box
        paths = [b.tree("データ/表示"), b.file("ソフト/予定表.txt"), b.tree("十能")]
        keep = b.file("データ/残す")
        b.write_list([b.entry(p) for p in paths])
        self.assertOutput(b.run(), "".join(DELETED.format(b.entry(p)) for p in paths), 0)
        self.assertFalse(any(p.exists() for p in paths))
        self.assertTrue(keep.exists())

    def test_read_only_file_inside_a_tree(self):
        b = self.box
        tree = b.tree("t")
        os.chmod(tree / "sub" / "f2", 0o444)
        b.write_list([b.entry(tree)])
        self.assertOutput(b.run(), DELETED.format(b.entry(tree)), 0)
        self.assertFalse(tree.exists())

    def test_percent_in_a_path_is_never_a_variable(self):
        b = self.box
        victim = b.tree("victim")
        paths = [b.tree("%ZELKTEST%"), b.tree("100%done"), b.tree("%%")]
        b.write_list([b.entry(p) for p in paths])
        r = b.run(env={"ZELKTEST": b.entry(victim)})
        self.assertOutput(r, "".join(DELETED.format(b.entry(p)) for p in paths), 0)
        self.assertTrue((victim / "sub/deeper/f3").exists())

    def test_long_path_inside_a_tree(self):
        b = self.box
        tree = b.tree("long", files=["/".join(["n" * 50] * 7) + "/leaf"])
        self.assertGreater(len(b.entry(tree)) + 7 * 51, 300)
        b.write_list([b.entry(tree)])
        self.assertOutput(b.run(), DELETED.format(b.entry(tree)), 0)
        self.assertFalse(tree.exists())

    def test_folder_named_with_a_trailing_backslash(self):
        b = self.box
        tree = b.tree("t")
        b.write_list([b.entry(tree) + "\\"])
        self.assertOutput(b.run(), DELETED.format(b.entry(tree) + "\\"), 0)
        self.assertFalse(tree.exists())

    def test_sample_launcher_follows_the_guide(self):
        """examples/launcher.cpp writes a code page 932 list by temporary name and rename, puts
        zelk's folder first on the child's PATH and starts zelk from a working folder of its own.
        Without the PATH step, no deltree is found: the guide's step matters."""
        b = self.box
        b.path_dirs = []  # only the system's own folders: the launcher adds zelk's
        launcher = self.target.bin_dir / "launcher.exe"
        work = b.root / "work"
        work.mkdir()
        for args, status in (([], 0), (["--no-path"], 17)):
            trees = [b.tree("データ/表示"), b.tree("old build")]
            r = b.run(args + [b.entry(b.app), b.entry(work)] + [b.entry(t) for t in trees],
                      exe=launcher, cwd=b.root)
            self.assertEqual(r.status, status, r.out.decode("utf-8", "replace"))
            self.assertEqual(any(t.exists() for t in trees), status != 0)
            self.assertFalse(b.list_path.exists())

    def test_close_guard_greys_first_and_enables_last(self):
        # Wine cannot change another process's system menu (GetSystemMenu answers 0 for it), so
        # a window's Close state cannot be read back here; the relay trace shows the real calls,
        # their arguments and their order instead.
        b = self.box
        relay = {"WINEDEBUG": "-all,+relay"}
        b.write_list([])
        success = self.guard_calls(b.run(env=relay))
        failure = self.guard_calls(b.run(env=relay))  # no list: a failed run, with its pause
        grey = ["GetForegroundWindow()", "GetSystemMenu(W,00000000)",
                "EnableMenuItem(M,0000f060,00000001)", "GetModuleFileNameW(00000000,B,00008000)"]
        enable = ["GetSystemMenu(W,00000000)", "EnableMenuItem(M,0000f060,00000000)"]
        self.assertEqual(success, grey + enable)
        self.assertEqual(failure, grey + ["Sleep(00001388)"] + enable)

    @staticmethod
    def guard_calls(result):
        """The traced calls made by zelk's own code (not its runtime's start-up, which loads
        at other addresses), with the window, menu and buffer values made comparable."""
        calls = []
        window = menu = None
        for line in result.err.decode("latin-1").splitlines():
            m = re.match(r"^\w+:(Call|Ret) +\w+\.(\w+)\((.*?)\)(?: retval=(\w+))? ret=(\w+)$",
                         line)
            if not m or not 0x140000000 <= int(m.group(5), 16) < 0x150000000:
                continue
            kind, name, args, retval, _ = m.groups()
            if kind == "Ret":
                if name == "GetForegroundWindow":
                    window = retval
                elif name == "GetSystemMenu":
                    menu = retval
                continue
            args = args.split(",") if args else []
            if name == "GetSystemMenu" and args[0] == window:
                args[0] = "W"
            elif name == "EnableMenuItem" and args[0] == menu:
                args[0] = "M"
            elif name == "GetModuleFileNameW":
                args[1] = "B"
            calls.append("%s(%s)" % (name, ",".join(args)))
        return calls

    def test_executable_path_too_long_or_not_in_the_code_page(self):
        """A path cut off, or one the code page cannot spell (the system's best fit for "Café"
        is "Cafe", another folder with another list), is no path: no list is touched."""
        b = self.box
        victim = b.file("victim")
        for app, elsewhere in ((b.root.joinpath(*["d" * 60] * 5), None),
                               (b.root / "Café", b.root / "Cafe")):
            for folder in (app, elsewhere):
                if folder:
                    folder.mkdir(parents=True)
                    (folder / "zelk.lst").write_bytes((b.entry(victim) + "\n").encode())
            (app / "zelk.exe").write_bytes((b.app / "zelk.exe").read_bytes())
            r = b.run(exe=app / "zelk.exe")
            self.assertOutput(r, NO_PATH + FOUND, 2)
            self.assertTrue(victim.exists() and (app / "zelk.lst").exists(), app)
            self.assertFailurePause(r)


class LinuxOnly(E2ECase):
    def setUp(self):
        self.only_on("linux")

    def test_links_are_removed_never_followed(self):
        b = self.box
        canary = b.tree("canary")
        tree = b.tree("tree")
        os.symlink(canary, tree / "to-canary")
        os.symlink(canary / "f1", tree / "to-file")
        listed = b.data / "listed-link"
        os.symlink(canary, listed)
        b.write_list([str(tree), str(listed) + "/"])
        self.assertOutput(b.run(), DELETED.format(tree) + DELETED.format(str(listed) + "/"), 0)
        self.assertFalse(os.path.lexists(listed) or tree.exists())
        self.assertTrue((canary / "sub/deeper/f3").exists())

    def test_started_through_a_link_reads_the_real_list(self):
        b = self.box
        elsewhere = b.root / "elsewhere"
        elsewhere.mkdir()
        os.symlink(b.app / "zelk", elsewhere / "zelk")
        listed, decoy_target = b.file("listed"), b.file("decoy-target")
        (elsewhere / "zelk.lst").write_text(str(decoy_target) + "\n")
        b.write_list([str(listed)])
        self.assertOutput(b.run(exe=elsewhere / "zelk"), DELETED.format(listed), 0)
        self.assertTrue(decoy_target.exists())

    def test_inherited_ignoring_of_child_exits(self):
        # A parent that ignores SIGCHLD passes that on; the wait for deltree must still work.
        b = self.box
        a = b.file("a")
        b.write_list([str(a)])
        env = b.target.env(b.path_dirs)
        r = subprocess.run([str(b.app / "zelk")], cwd=b.data, env=env, capture_output=True,
                           preexec_fn=lambda: signal.signal(signal.SIGCHLD, signal.SIG_IGN))
        self.assertEqual((r.returncode, r.stdout), (0, self.enc(DELETED.format(a))))

    def test_command_ended_by_a_signal(self):
        b = self.box
        b.use_stand_in(remove=1, signal=int(signal.SIGTERM))
        a = b.file("a")
        b.write_list([str(a)])
        self.assertOutput(b.run(), DELETED.format(a), 128 + signal.SIGTERM)

    def test_hangup_does_not_cut_a_deletion_short(self):
        b = self.box
        b.use_stand_in(remove=1, sleep_ms=1500)
        a, c = b.file("a"), b.file("c")
        b.write_list([str(a), str(c)])
        env = b.target.env(b.path_dirs)
        env.update(b.stand_in_env)
        # Its own process group, as a terminal would give it; the group gets the hangup.
        zelk = subprocess.Popen([str(b.app / "zelk")], cwd=b.data, env=env, start_new_session=True,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # The hangup comes while the first deletion runs, however slowly zelk started.
        deadline = time.monotonic() + 60
        while b.recorded_arguments() is None and time.monotonic() < deadline:
            time.sleep(0.02)
        os.killpg(zelk.pid, signal.SIGHUP)
        self.assertEqual(zelk.wait(timeout=30), 0)
        self.assertFalse(a.exists() or c.exists())

    def test_executable_path_too_long_to_get(self):
        b = self.box
        # Built one step at a time: no single call may take a path this long.
        fd = os.open(b.root, os.O_RDONLY)
        steps = []
        for _ in range(45):
            steps.append("d" * 100)
            os.mkdir(steps[-1], dir_fd=fd)
            fd = os.open(steps[-1], os.O_RDONLY, dir_fd=fd)
        with open(os.open("zelk", os.O_WRONLY | os.O_CREAT, 0o755, dir_fd=fd), "wb") as out:
            out.write((b.app / "zelk").read_bytes())
        os.open("zelk.lst", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
        listed = b.file("listed")
        r = b.run(exe="/bin/bash", args=["-c", " && ".join("cd " + s for s in steps) + " && ./zelk"],
                  cwd=b.root)
        self.assertOutput(r, NO_PATH + FOUND, 2)
        self.assertTrue(listed.exists())
        os.stat("zelk.lst", dir_fd=fd)  # the list is left alone
        self.assertFailurePause(r)


if __name__ == "__main__":
    unittest.main()
