"""Fails unless each Windows executable imports only DLLs that every Windows has."""
import re
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "msvcrt.dll", "advapi32.dll", "ntdll.dll"}
SYSTEM_PREFIXES = ("api-ms-win-crt-", "ucrtbase")


def imports(exe):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], check=True,
                          capture_output=True, text=True).stdout
    return [m.lower() for m in re.findall(r"DLL Name: (\S+)", dump)]


bad = {exe: [d for d in imports(exe) if d not in SYSTEM_DLLS and not d.startswith(SYSTEM_PREFIXES)]
       for exe in sys.argv[1:]}
for exe, dlls in bad.items():
    if dlls:
        print("%s needs %s" % (exe, ", ".join(dlls)))
sys.exit(1 if any(bad.values()) else 0)
