"""Fails unless each Windows executable imports only DLLs that every Windows has, and carries a
version resource whose FileVersion is the project's version.

check_executables.py VERSION EXE...
"""
import re
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "msvcrt.dll", "advapi32.dll", "ntdll.dll"}
SYSTEM_PREFIXES = ("api-ms-win-crt-", "ucrtbase")


def imports(exe):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], check=True,
                          capture_output=True, text=True).stdout
    return [m.lower() for m in re.findall(r"DLL Name: (\S+)", dump)]


def file_version(exe):
    """The FileVersion string of the VERSIONINFO resource: UTF-16 "FileVersion", its padding,
    then the value."""
    data = open(exe, "rb").read()
    m = re.search("FileVersion\0".encode("utf-16-le") + rb"(?:\0\0)*((?:[^\0]\0)+)\0\0", data)
    return m.group(1).decode("utf-16-le") if m else None


version, exes = sys.argv[1], sys.argv[2:]
failed = False
for exe in exes:
    dlls = [d for d in imports(exe) if d not in SYSTEM_DLLS and not d.startswith(SYSTEM_PREFIXES)]
    if dlls:
        print("%s needs %s" % (exe, ", ".join(dlls)))
    found = file_version(exe)
    if found != version:
        print("%s has FileVersion %r, not %r" % (exe, found, version))
    failed = failed or bool(dlls) or found != version
sys.exit(1 if failed else 0)
