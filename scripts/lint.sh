#!/usr/bin/env bash
# Checks the formatting of every C++ file and runs clang-tidy over the program's sources, against
# the MinGW headers of the cross build (build/mingw must be configured).
set -euo pipefail
cd "$(dirname "$0")/.."

files=$(git ls-files '*.cpp' '*.h')
clang-format --dry-run -Werror $files

# clang cannot parse GCC's own intrinsic headers; the C++ library and the Windows headers suffice.
includes=()
while read -r dir; do
    case $dir in */gcc/x86_64-w64-mingw32/*/include) continue ;; esac
    includes+=("--extra-arg=-isystem$dir")
done < <(echo | x86_64-w64-mingw32-g++-posix -xc++ -E -v - 2>&1 |
    sed -n '/#include <...> search starts here:/,/End of search list./p' | grep '^ ' | sed 's/^ //')
clang-tidy -p build/mingw --quiet 2>/dev/null --extra-arg=--target=x86_64-w64-mingw32 --extra-arg=-nostdinc++ \
    "${includes[@]}" $(git ls-files 'src/*.cpp')
