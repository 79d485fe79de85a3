#!/usr/bin/env bash
# Checks that the build is reproducible: copies the working tree into two temporary folders of
# different names and lengths, configures and builds the program (vestrel-tray only) and the
# package (scripts/package.sh: the wheel and the sdist) in each, and compares the two
# vestrel-tray.exe, the two wheels and the two sdists byte for byte. Also checks that neither
# program holds the path of the folder it was built in. The archives' times come from
# SOURCE_DATE_EPOCH, else from the time of the last commit; the program does not depend on it.
# The wheels are unsigned, whatever VESTREL_SIGN_* the environment holds (scripts/package.sh).
#
#   scripts/check-reproducible.sh [--no-setup] [--keep]
#
# --keep leaves the two trees in place (their folder is printed) to look into a difference.
set -euo pipefail
cd "$(dirname "$0")/.."

setup=1
keep=0
while [ $# -gt 0 ]; do
    case $1 in
    --no-setup) setup=0; shift ;;
    --keep) keep=1; shift ;;
    *) echo "usage: $0 [--no-setup] [--keep]" >&2; exit 2 ;;
    esac
done
if [ $setup -eq 1 ]; then
    scripts/setup-debian.sh
fi
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
# The unsigned build is the reproducible one: a certificate in the environment stays out of it.
unset VESTREL_SIGN_PKCS12 VESTREL_SIGN_PASSWORD VESTREL_SIGN_PASSWORD_FILE VESTREL_SIGN_TIMESTAMP

work=$(mktemp -d "${TMPDIR:-/tmp}/vestrel-reproducible.XXXXXX")
cleanup() {
    if [ $keep -eq 1 ]; then
        echo "the two trees are in $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

# The files of the working tree as git sees them (tracked and new ones, not the ignored), with
# their current contents.
copy_tree() {
    mkdir -p "$1"
    git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' file; do
            [ -f "$file" ] && printf '%s\0' "$file"
        done |
        tar --null --files-from=- -cf - | tar -xf - -C "$1"
}

build_tree() {  # build_tree DIR: the program and the wheel, built in DIR
    local tree=$1
    copy_tree "$tree"
    (
        cd "$tree"
        # The program is built without SOURCE_DATE_EPOCH, which the linker would otherwise take
        # for the time in the PE header: its bytes must not depend on it.
        env -u SOURCE_DATE_EPOCH cmake --preset mingw -DVESTREL_BUILD_TESTS=OFF >"$tree.log" 2>&1
        env -u SOURCE_DATE_EPOCH cmake --build build/mingw --target vestrel-tray >>"$tree.log" 2>&1
        scripts/package.sh --no-setup --out dist >>"$tree.log" 2>&1
    ) || { cat "$tree.log" >&2; exit 1; }
}

first=$work/a/vestrel
second=$work/second-tree-with-a-longer-name/vestrel
build_tree "$first"
build_tree "$second"

status=0
wheel=$(cd "$first/dist" && ls vestrel_tray-*-py3-none-win_amd64.whl)
sdist=$(cd "$first/dist" && ls vestrel_tray-*.tar.gz)
for name in build/mingw/vestrel-tray.exe "dist/$wheel" "dist/$sdist"; do
    if cmp "$first/$name" "$second/$name"; then
        echo "same bytes: $name ($(stat -c %s "$first/$name") bytes," \
             "sha256 $(sha256sum <"$first/$name" | cut -c1-16))"
    else
        echo "DIFFERENT: $name" >&2
        status=1
    fi
done
for tree in "$first" "$second"; do
    exe=$tree/build/mingw/vestrel-tray.exe
    # Paths could be stored as bytes or as UTF-16 text.
    if { strings -a "$exe"; strings -a -el "$exe"; } | grep -F "$work"; then
        echo "$exe holds the path of its build folder" >&2
        status=1
    fi
done
exit $status
