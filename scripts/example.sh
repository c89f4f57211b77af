#!/bin/sh
# Builds zelk for Linux and runs it once on a sample tree in a scratch folder.
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh cmake g++ make libgtest-dev python3
cmake --preset linux >/dev/null
cmake --build --preset linux --target zelk deltree >/dev/null
bin="$PWD/build/linux/bin"

scratch=$(mktemp -d)
mkdir -p "$scratch/old build/obj" "$scratch/cache/a/b" "$scratch/keep"
echo data >"$scratch/old build/obj/main.o"
echo data >"$scratch/cache/a/b/blob"
echo data >"$scratch/notes.tmp"
echo data >"$scratch/keep/important.txt"

# The front end's part: the list of what to delete, beside the executable.
printf '%s\n' "$scratch/old build" "$scratch/cache" "$scratch/notes.tmp" >"$bin/zelk.lst"

echo "== before"
(cd "$scratch" && find . | sort)
echo "== zelk.lst"
cat "$bin/zelk.lst"
echo "== zelk"
status=0
PATH="$bin:$PATH" "$bin/zelk" || status=$?
echo "== exit status: $status"
echo "== after"
(cd "$scratch" && find . | sort)
[ -e "$bin/zelk.lst" ] || echo "(zelk.lst was deleted)"
rm -rf "$scratch"
