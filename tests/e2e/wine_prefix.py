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
        subprocess.check_call([SERVER, "-p"], env=env, stdout=out, stderr=out)
        subprocess.check_call([WINE, "wineboot", "-i"], env=env, stdout=out, stderr=out,
                              timeout=300)
        # One real program, so that nothing is left to set up when the tests start.
        subprocess.check_call([WINE, "cmd", "/c", "exit"], env=env, stdout=out, stderr=out,
                              timeout=120)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
