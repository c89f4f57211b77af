#!/bin/sh
# Installs and packages the builds that scripts/test.sh made, and checks what a user gets:
# the executables are hardened static-pie and stripped, the installed deltree deletes a tree,
# the man pages render, each .deb holds exactly its files, passes lintian with nothing beyond
# its overrides, installs in order and purges clean, the Windows .zip holds what it should.
set -eu
cd "$(dirname "$0")/.."
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

tree() {  # a small tree to delete
    mkdir -p "$1/sub/deeper"
    echo x >"$1/f1"
    echo x >"$1/sub/deeper/f2"
}
fail() { echo "$*"; exit 1; }

echo "== hardening (linux)"
# A static-pie executable is of type DYN with no interpreter; RELRO and BIND_NOW leave the
# relocated data read-only from the start. The stack protector shows in the compilers' record
# of our own units, the fortified calls as the C library's checked variants.
for exe in build/linux/bin/deltree build/linux/bin/zelk; do
    headers=$(readelf -hlW "$exe")
    echo "$headers" | grep -q "Type: *DYN" || fail "$exe is not position-independent"
    ! echo "$headers" | grep -q "INTERP" || fail "$exe is not static"
    echo "$headers" | grep -q "GNU_RELRO" || fail "$exe has no RELRO segment"
    readelf -dW "$exe" | grep -Eq "\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW" || fail "$exe is not BIND_NOW"
    readelf -p .debug_str "$exe" | grep -q -- "-fstack-protector-strong" ||
        fail "$exe has no stack protector"
    nm "$exe" | grep -Eq " T __[a-z0-9_]+_chk$" || fail "$exe has no fortified calls"
done

echo "== install (linux, --strip)"
cmake --install build/linux --prefix "$scratch/prefix" --strip >/dev/null
for exe in bin/deltree libexec/zelk/zelk; do
    description=$(file "$scratch/prefix/$exe")
    echo "$description" | grep -q ", stripped" || fail "$exe is not stripped"
    echo "$description" | grep -q "static-pie linked" || fail "$exe is not static-pie"
done
tree "$scratch/t1"
"$scratch/prefix/bin/deltree" /Y "$scratch/t1"
[ ! -e "$scratch/t1" ] || fail "the installed deltree left its tree"
for page in zelk deltree; do
    warnings=$(MANWIDTH=80 man --warnings -l "$scratch/prefix/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$page.1: $warnings"
done
find "$scratch/prefix" -type f | sed "s|$scratch/prefix/||" | sort

echo "== packages (linux)"
rm -rf build/linux/packages
cpack --preset linux >/dev/null
deltree_deb=$(ls build/linux/packages/deltree_*-*_amd64.deb)
zelk_deb=$(ls build/linux/packages/zelk_*-*_amd64.deb)
ls -l "$deltree_deb" "$zelk_deb" build/linux/packages/zelk-*.tar.gz
contents() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $6}' | sort | tr '\n' ' '; }
expected="./usr/bin/deltree ./usr/share/doc/deltree/changelog.Debian.gz \
./usr/share/doc/deltree/copyright ./usr/share/lintian/overrides/deltree \
./usr/share/man/man1/deltree.1.gz "
[ "$(contents "$deltree_deb")" = "$expected" ] ||
    fail "deltree's package holds: $(contents "$deltree_deb")"
expected="./usr/libexec/zelk/zelk ./usr/share/doc/zelk/README.md.gz \
./usr/share/doc/zelk/changelog.Debian.gz ./usr/share/doc/zelk/changelog.gz \
./usr/share/doc/zelk/copyright ./usr/share/doc/zelk/integration.md.gz \
./usr/share/lintian/overrides/zelk ./usr/share/man/man1/zelk.1.gz "
[ "$(contents "$zelk_deb")" = "$expected" ] || fail "zelk's package holds: $(contents "$zelk_deb")"
version=$(dpkg-deb -f "$deltree_deb" Version)
[ "$(dpkg-deb -f "$zelk_deb" Depends)" = "deltree (= $version)" ] ||
    fail "zelk depends on: $(dpkg-deb -f "$zelk_deb" Depends)"
if lintian --version >/dev/null 2>&1; then
    for deb in "$deltree_deb" "$zelk_deb"; do
        hints=$(lintian --pedantic --display-info --tag-display-limit 0 "$deb" 2>&1 |
                grep -v "root privileges" || true)
        [ -z "$hints" ] || fail "lintian on $deb: $hints"
    done
    echo "lintian: nothing beyond the overrides"
fi
# The archive stays whole: everything cmake --install puts, the license too.
tar -tzf build/linux/packages/zelk-*.tar.gz | sed 's|^[^/]*/||' | grep -v '/$' | sort >"$scratch/archive"
find "$scratch/prefix" -type f | sed "s|$scratch/prefix/||" | sort | diff - "$scratch/archive" ||
    fail "the archive does not hold what cmake --install installs"
installed() { dpkg-query -W "$1" >/dev/null 2>&1; }
if [ "$(id -u)" -eq 0 ] && ! installed deltree && ! installed zelk; then
    # zelk alone does not configure: it needs its deltree.
    if dpkg -i "$zelk_deb" >"$scratch/dpkg.log" 2>&1; then
        dpkg --purge zelk >/dev/null 2>&1
        fail "zelk installed without deltree"
    fi
    grep -q "depends on deltree" "$scratch/dpkg.log" || { cat "$scratch/dpkg.log"; fail "zelk failed for another reason"; }
    dpkg --purge zelk >/dev/null
    dpkg -i "$deltree_deb" >/dev/null
    dpkg -i "$zelk_deb" >/dev/null
    status=0
    tree "$scratch/t2"
    /usr/bin/deltree /Y "$scratch/t2" || status=1
    [ ! -e "$scratch/t2" ] && [ -x /usr/libexec/zelk/zelk ] || status=1
    # A list a front end left, and one it was still writing: a remove keeps them, a purge not.
    echo "$scratch/t3" >/usr/libexec/zelk/zelk.lst
    echo "$scratch/t3" >/usr/libexec/zelk/zelk.lst.tmp
    dpkg -r zelk >/dev/null 2>&1
    [ -f /usr/libexec/zelk/zelk.lst ] && [ ! -e /usr/libexec/zelk/zelk ] || status=2
    dpkg --purge zelk >/dev/null
    [ ! -e /usr/libexec/zelk ] || status=3
    dpkg --purge deltree >/dev/null
    [ ! -e /usr/bin/deltree ] || status=4
    case $status in
        0) echo "the packages install in order, deltree deletes a tree, a purge leaves no folder" ;;
        1) fail "the installed packages did not work" ;;
        2) fail "removing zelk did not keep the list a front end left" ;;
        3) fail "purging zelk left /usr/libexec/zelk" ;;
        *) fail "deltree did not remove" ;;
    esac
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
