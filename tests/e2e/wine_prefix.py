"""Starts or stops the Wine environment of the Windows end-to-end tests.

start: creates the prefix if needed and keeps one wineserver running for all tests (a fresh
wineserver holds the first program's output open for seconds). stop: ends that wineserver.
"""
import os
import subprocess
import sys
from pathlib import Path

WINE = "/usr/lib/wine/wine64"
SERVER = "/usr/lib/wine/wineserver64"
RELAY_CALLS = ("user32.GetForegroundWindow;user32.GetSystemMenu;user32.EnableMenuItem;"
               "kernel32.Sleep;kernel32.GetModuleFileNameW")


def wine_env(prefix):
    env = dict(os.environ)
    env.update(WINEPREFIX=str(prefix), WINEDEBUG="-all", LC_ALL="ja_JP.UTF-8",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    return env


def main(action, prefix):
    prefix = Path(prefix)
    env = wine_env(prefix)
    if action == "stop":
        return subprocess.call([SERVER, "-k"], env=env)
    prefix.mkdir(parents=True, exist_ok=True)
    log = prefix.parent / "wine-start.log"
    with open(log, "wb") as out:
        # A server left from an earlier run may not be persistent: start afresh.
        subprocess.call([SERVER, "-k"], env=env, stdout=out, stderr=out)
        subprocess.call([SERVER, "-w"], env=env, stdout=out, stderr=out)
        subprocess.check_call([SERVER, "-p"], env=env, stdout=out, stderr=out)
        subprocess.check_call([WINE, "wineboot", "-i"], env=env, stdout=out, stderr=out,
                              timeout=300)
        # The calls a relay trace (WINEDEBUG=+relay) shows: those of the close guard and the
        # run's pause, and the first act of the run proper.
        subprocess.check_call([WINE, "reg", "add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude",
                               "/t", "REG_SZ", "/d", RELAY_CALLS, "/f"], env=env, stdout=out,
                              stderr=out, timeout=120)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
