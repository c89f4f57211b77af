#!/bin/sh
# Installs and packages the builds that scripts/test.sh made, and checks what a user gets:
# the installed deltree deletes a tree, the binaries are stripped, the man pages render, the
# .deb passes lintian and installs, the Windows .zip holds what it should.
set -eu
cd "$(dirname "$0")/.."
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

tree() {  # a small tree to delete
    mkdir -p "$1/sub/deeper"
    echo x >"$1/f1"
    echo x >"$1/sub/deeper/f2"
}

echo "== install (linux, --strip)"
cmake --install build/linux --prefix "$scratch/prefix" --strip >/dev/null
for exe in bin/deltree libexec/zelk/zelk; do
    file "$scratch/prefix/$exe" | grep -q ", stripped" || { echo "$exe is not stripped"; exit 1; }
done
tree "$scratch/t1"
"$scratch/prefix/bin/deltree" /Y "$scratch/t1"
[ ! -e "$scratch/t1" ] || { echo "the installed deltree left its tree"; exit 1; }
for page in zelk deltree; do
    warnings=$(MANWIDTH=80 man --warnings -l "$scratch/prefix/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "$page.1: $warnings"; exit 1; }
done
find "$scratch/prefix" -type f | sed "s|$scratch/prefix/||" | sort

echo "== packages (linux)"
cpack --preset linux >/dev/null
deb=$(ls build/linux/packages/zelk_*_amd64.deb)
ls -l "$deb" build/linux/packages/zelk-*.tar.gz
dpkg-deb -c "$deb" | awk '{print $6}'
if lintian --version >/dev/null 2>&1; then
    lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v "root privileges" || true
    if lintian "$deb" 2>/dev/null | grep -q "^E:"; then echo "lintian found errors"; exit 1; fi
fi
if [ "$(id -u)" -eq 0 ] && ! dpkg-query -W zelk >/dev/null 2>&1; then
    dpkg -i "$deb" >/dev/null
    tree "$scratch/t2"
    /usr/bin/deltree /Y "$scratch/t2"
    status=0
    [ ! -e "$scratch/t2" ] && [ -x /usr/libexec/zelk/zelk ] || status=1
    dpkg -r zelk >/dev/null
    [ $status -eq 0 ] || { echo "the installed package did not work"; exit 1; }
    echo "the .deb installs, its deltree deletes a tree, and it removes again"
fi

echo "== package (windows)"
cpack --preset windows >/dev/null
python3 - build/windows/packages/zelk-*-windows-x86_64.zip <<'PY'
import sys, zipfile
names = {i.filename.split("/", 1)[1]: i.file_size for i in zipfile.ZipFile(sys.argv[1]).infolist()}
for name, size in sorted(names.items()):
    print(size, name)
assert set(names) == {"zelk.exe", "deltree.exe", "integration.md", "LICENSE"}, names
assert all(names[exe] < 400 * 1024 for exe in ("zelk.exe", "deltree.exe")), "not stripped"
PY
