#!/usr/bin/env bash
# Builds the Python package for the companion application's developers, with Debian's own
# packaging tools and nothing downloaded, one honest artefact of each kind:
#   dist/vestrel_tray-VERSION-py3-none-win_amd64.whl   the package with the built vestrel-tray.exe,
#                                                        for 64-bit Windows (Root-Is-Purelib: false)
#   dist/vestrel_tray-VERSION.tar.gz                     the Python part alone (sdist); a wheel
#                                                        built from it is pure (py3-none-any) and
#                                                        carries no program (python/setup.py)
# VERSION is the CMake project version, and the package's web host the build's VESTREL_WEB_HOST.
# Builds the program first where it is missing or out of date. Both archives are reproducible:
# their times come from SOURCE_DATE_EPOCH, else from the time of the last commit, and their
# modes and order are fixed, so the same commit gives the same bytes
# (scripts/check-reproducible.sh checks it).
#
#   scripts/package.sh [--build-dir DIR] [--out DIR] [--no-setup]
#                      [--pkcs12 FILE [--password-file FILE] [--timestamp URL]]
#
# Without --build-dir it uses the 'mingw' preset's build tree (configured if need be). It runs
# scripts/setup-debian.sh first (apt-get, through sudo when not root) unless given --no-setup.
#
# Signing: given a certificate, the copy of vestrel-tray.exe that goes into the wheel is signed
# with Authenticode (SHA-256 digest) by Debian's osslsigncode before the wheel is built, so the
# wheel's RECORD carries the signed program's hash; the build tree's program stays unsigned.
#   --pkcs12 FILE          the certificate and its private key, PKCS#12    (VESTREL_SIGN_PKCS12)
#   --password-file FILE   a file holding its password                    (VESTREL_SIGN_PASSWORD_FILE)
#                          or the password itself in VESTREL_SIGN_PASSWORD; it never goes on a
#                          command line
#   --timestamp URL        an RFC 3161 time-stamp server, so that the signature stays valid
#                          after the certificate expires                  (VESTREL_SIGN_TIMESTAMP)
# The signature's signing time is SOURCE_DATE_EPOCH. For Smart App Control the certificate must
# be an RSA one (it does not accept elliptic-curve signatures) issued for code signing by an
# authority that Windows trusts; a certificate of one's own signs, but Windows trusts it nowhere
# else. Without a certificate the program goes into the wheel unsigned, byte for byte as built.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

build_dir=build/mingw
out=dist
setup=1
pkcs12=${VESTREL_SIGN_PKCS12:-}
password_file=${VESTREL_SIGN_PASSWORD_FILE:-}
timestamp=${VESTREL_SIGN_TIMESTAMP:-}
usage="usage: $0 [--build-dir DIR] [--out DIR] [--no-setup] [--pkcs12 FILE [--password-file FILE] [--timestamp URL]]"
while [ $# -gt 0 ]; do
    case $1 in
    --build-dir) build_dir=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --no-setup) setup=0; shift ;;
    --pkcs12) pkcs12=$2; shift 2 ;;
    --password-file) password_file=$2; shift 2 ;;
    --timestamp) timestamp=$2; shift 2 ;;
    *) echo "$usage" >&2; exit 2 ;;
    esac
done
if [ -z "$pkcs12" ] && { [ -n "$password_file" ] || [ -n "$timestamp" ]; }; then
    echo "a password or a time-stamp server without a certificate: give --pkcs12 FILE" >&2
    exit 2
fi
if [ -n "$pkcs12" ] && [ ! -f "$pkcs12" ]; then
    echo "no certificate at $pkcs12" >&2
    exit 2
fi
if [ -n "$password_file" ] && [ ! -f "$password_file" ]; then
    echo "no password file at $password_file" >&2
    exit 2
fi

if [ $setup -eq 1 ]; then
    scripts/setup-debian.sh
fi
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    cmake --preset mingw -B "$build_dir" >/dev/null
fi
cmake --build "$build_dir" --target vestrel-tray >/dev/null
build_dir=$(cd "$build_dir" && pwd)
config=$build_dir/python/vestrel_tray/_build_config.py
version=$(sed -n 's/^VERSION = "\(.*\)"$/\1/p' "$config")
if [ -z "$version" ]; then
    echo "no version in $config" >&2
    exit 1
fi

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    if ! SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null); then
        echo "set SOURCE_DATE_EPOCH: $root is not a git checkout" >&2
        exit 1
    fi
fi
export SOURCE_DATE_EPOCH

# The package is put together in a folder of its own: the build writes its egg-info and build
# folders there, never into the source tree. Fixed file modes, so that the umask of the machine
# does not reach the archive.
stage=$(mktemp -d "${TMPDIR:-/tmp}/vestrel-package.XXXXXX")
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/src"
cp python/pyproject.toml python/setup.py python/README.md "$stage/"
cp -r python/src/vestrel_tray "$stage/src/"
find "$stage" -name __pycache__ -prune -exec rm -rf {} +
cp "$config" "$stage/src/vestrel_tray/_build_config.py"
find "$stage" -type d -exec chmod 755 {} +
find "$stage" -type f -exec chmod 644 {} +

build() {  # build --sdist|--wheel: the Debian python3-build frontend, with what is installed
    if ! /usr/bin/python3 -m build --no-isolation "$1" --outdir "$stage/dist" "$stage" \
        >"$stage/build.log" 2>&1; then
        cat "$stage/build.log" >&2
        exit 1
    fi
}
# The sdist as setuptools makes it takes the files' times, owners and order, and the time of
# the build into its gzip header: it is written again with the members in name order, the time
# SOURCE_DATE_EPOCH, no owner, and modes 644 (755 for folders).
normalise_sdist() {
    /usr/bin/python3 - "$1" <<'PYTHON'
import gzip, io, os, sys, tarfile
path, epoch = sys.argv[1], int(os.environ["SOURCE_DATE_EPOCH"])
with tarfile.open(path, "r:gz") as source:
    members = [(member, source.extractfile(member).read() if member.isfile() else None)
               for member in source.getmembers()]
tar = io.BytesIO()
with tarfile.open(fileobj=tar, mode="w", format=tarfile.PAX_FORMAT) as target:
    for member, data in sorted(members, key=lambda item: item[0].name):
        member.mtime, member.uid, member.gid, member.uname, member.gname = epoch, 0, 0, "", ""
        member.mode = 0o755 if member.isdir() else 0o644
        member.pax_headers = {}
        target.addfile(member, None if data is None else io.BytesIO(data))
with open(path, "wb") as file:
    with gzip.GzipFile(filename="", mode="wb", fileobj=file, mtime=epoch) as archive:
        archive.write(tar.getvalue())
PYTHON
}

# sign FILE: FILE signed in place with Authenticode, SHA-256, by the certificate given.
sign() {
    local signed=$stage/signed.exe pass=$stage/password
    (umask 077; : >"$pass")
    if [ -n "$password_file" ]; then
        cat "$password_file" >"$pass"
    elif [ -n "${VESTREL_SIGN_PASSWORD:-}" ]; then
        printf '%s' "$VESTREL_SIGN_PASSWORD" >"$pass"
    fi
    local args=(sign -pkcs12 "$pkcs12" -readpass "$pass" -h sha256 -n "Vestrel tray companion"
                -time "$SOURCE_DATE_EPOCH")
    if [ -n "$timestamp" ]; then
        args+=(-ts "$timestamp")
    fi
    if ! osslsigncode "${args[@]}" -in "$1" -out "$signed" >"$stage/sign.log" 2>&1; then
        cat "$stage/sign.log" >&2
        echo "signing $1 failed" >&2
        exit 1
    fi
    rm -f "$pass"
    mv "$signed" "$1"
}

build --sdist
# Only the platform wheel carries the program.
cp "$build_dir/vestrel-tray.exe" "$stage/src/vestrel_tray/vestrel-tray.exe"
if [ -n "$pkcs12" ]; then
    sign "$stage/src/vestrel_tray/vestrel-tray.exe"
    echo "signed vestrel-tray.exe with $pkcs12${timestamp:+, time-stamped by $timestamp}" >&2
fi
chmod 644 "$stage/src/vestrel_tray/vestrel-tray.exe"
build --wheel

wheel=vestrel_tray-$version-py3-none-win_amd64.whl
sdist=vestrel_tray-$version.tar.gz
for file in "$wheel" "$sdist"; do
    if [ ! -f "$stage/dist/$file" ]; then
        echo "the build made $(ls "$stage/dist"), not $file" >&2
        exit 1
    fi
done
normalise_sdist "$stage/dist/$sdist"
mkdir -p "$out"
cp "$stage/dist/$wheel" "$stage/dist/$sdist" "$out/"
echo "$out/$wheel"
echo "$out/$sdist"
